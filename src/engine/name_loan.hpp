// A long module name that a file's line scan gathers, lent to the file's
// audit, which reads the same bytes right after it: a name of megabytes is
// then held once, in the string the line scan gathers it in and its record
// keeps, and the audit neither copies it nor compares it again. Names are
// matched by where they begin in the file, so both readers must count the
// file's bytes alike (the audit borrows nothing where it reads a text
// decoded otherwise).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

namespace scanner_core {

class NameLoan {
public:
    // Lent names are at least this long: a shorter one costs less to copy
    // than to share.
    static constexpr std::size_t kShortest = 16 * 1024;

    // The line scan's side. Lends the name that begins at `start`, which
    // the line scan goes on gathering in `name` until `settled`: in place of
    // the one lent before, unless the audit still borrows that one. Never fails.
    void lend(std::uint64_t start, std::shared_ptr<std::string> name) noexcept {
        if (last_ && last_start_ == start) return;
        if (last_ && borrowing_ && borrowed_start_ == last_start_) {
            kept_start_ = last_start_;
            kept_ = std::move(last_);
        }
        last_start_ = start;
        last_ = std::move(name);
        growing_ = true;
    }
    // The name lent last is whole, its line decided. Never fails.
    void settled() noexcept { growing_ = false; }

    // The audit's side: the bytes of the name that begins at `start`, as far
    // as the line scan has read them, or nothing. Valid until the line scan
    // reads on. Never fails.
    std::string_view held(std::uint64_t start) const noexcept {
        const std::shared_ptr<std::string>* name = shared(start);
        return name != nullptr ? std::string_view(**name) : std::string_view();
    }
    // Whether the line scan may still add to that name. Never fails.
    bool growing(std::uint64_t start) const noexcept { return growing_ && last_ && last_start_ == start; }
    // The string that holds that name, to share, or null. Never fails.
    const std::shared_ptr<std::string>* shared(std::uint64_t start) const noexcept {
        if (last_ && last_start_ == start) return &last_;
        return kept_ && kept_start_ == start ? &kept_ : nullptr;
    }
    // The audit reads the name that begins at `start` from the loan, which
    // keeps it until `returned`. Never fails.
    void borrow(std::uint64_t start) noexcept {
        borrowing_ = true;
        borrowed_start_ = start;
    }
    void returned() noexcept {
        borrowing_ = false;
        kept_.reset();
    }

    // Gives up every name. Never fails.
    void clear() noexcept {
        borrowing_ = growing_ = false;
        last_.reset();
        kept_.reset();
    }

private:
    std::uint64_t last_start_ = 0;  // the name lent last
    std::shared_ptr<std::string> last_;
    bool growing_ = false;
    std::uint64_t kept_start_ = 0;  // the one before it, while the audit borrows it
    std::shared_ptr<std::string> kept_;
    bool borrowing_ = false;
    std::uint64_t borrowed_start_ = 0;
};

}  // namespace scanner_core
