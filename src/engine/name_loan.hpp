// A long module name that a file's line scan gathers, lent to the file's
// audit, which reads the same bytes right after it: a name of megabytes is
// then held once, in the string the line scan gathers it in and its record
// keeps, and the audit neither copies it nor compares it again. The audit
// finds the bytes of its own names by where they lie in the file (a name
// token may be all of the line scan's name or any part of it, such as the
// parts of a dotted name), so both readers must count the file's bytes
// alike: the audit borrows nothing where it reads a text decoded otherwise.
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
    // Names are lent from this length on: a shorter one costs less to copy
    // than to share.
    static constexpr std::size_t kShortest = 16 * 1024;

    // Where a run of the file's bytes lies in a lent name.
    struct Place {
        const std::shared_ptr<std::string>* name = nullptr;  // null: in none
        std::size_t at = 0;                                  // of its first byte in *name
    };

    // The line scan's side. Lends the name that begins at offset `start` of
    // the file, which the line scan goes on gathering in `name` until
    // `settled`: in place of the one lent before, unless the audit still
    // borrows that one. Never fails.
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

    // The audit's side: where the byte at `offset` lies, in the name the
    // line scan has read it into (at its end when it has yet to read it
    // there). Never fails.
    Place find(std::uint64_t offset) const noexcept {
        for (const auto& [start, name] : {std::pair(last_start_, &last_), std::pair(kept_start_, &kept_)}) {
            if (*name && offset >= start && offset - start <= (*name)->size()) {
                return {name, static_cast<std::size_t>(offset - start)};
            }
        }
        return {};
    }
    // The bytes the line scan has read from `offset` on, as far as the name
    // it gathers them in goes, or nothing. Valid until the line scan reads
    // on. Never fails.
    std::string_view held(std::uint64_t offset) const noexcept {
        const Place place = find(offset);
        return place.name != nullptr ? std::string_view(**place.name).substr(place.at) : std::string_view();
    }
    // Whether the line scan may still add to the name that holds `offset`. Never fails.
    bool growing(std::uint64_t offset) const noexcept { return growing_ && find(offset).name == &last_; }
    // Whether any name is lent. Never fails.
    bool lending() const noexcept { return last_ != nullptr; }

    // The audit reads a name at `offset` from the loan, which keeps the
    // name that holds it until `returned`. Never fails.
    void borrow(std::uint64_t offset) noexcept {
        const Place place = find(offset);
        borrowing_ = place.name != nullptr;
        borrowed_start_ = place.name == &kept_ ? kept_start_ : last_start_;
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
