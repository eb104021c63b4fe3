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
    // `settled`, in place of the one lent before (which whoever shares it
    // keeps). Never fails.
    void lend(std::uint64_t start, std::shared_ptr<std::string> name) noexcept {
        if (last_ && start_ == start) return;
        start_ = start;
        last_ = std::move(name);
        growing_ = true;
    }
    // The name lent last is whole, its line decided. Never fails.
    void settled() noexcept { growing_ = false; }

    // The audit's side: where the byte at `offset` lies in the name lent
    // last, as far as the line scan has read it (at its end when it has yet
    // to read it there), if it lies there. Never fails.
    Place find(std::uint64_t offset) const noexcept {
        if (!last_ || offset < start_ || offset - start_ > last_->size()) return {};
        return {&last_, static_cast<std::size_t>(offset - start_)};
    }
    // The bytes the line scan has read from `offset` on, as far as the name
    // it gathers them in goes, or nothing. Valid until the line scan reads
    // on. Never fails.
    std::string_view held(std::uint64_t offset) const noexcept {
        const Place place = find(offset);
        return place.name != nullptr ? std::string_view(**place.name).substr(place.at) : std::string_view();
    }
    // Whether the line scan may still add to the name that holds `offset`. Never fails.
    bool growing(std::uint64_t offset) const noexcept { return growing_ && find(offset).name != nullptr; }
    // Whether a name is lent. Never fails.
    bool lending() const noexcept { return last_ != nullptr; }

    // Gives up the name lent. Never fails.
    void clear() noexcept {
        growing_ = false;
        last_.reset();
    }

private:
    std::uint64_t start_ = 0;  // of the name lent last
    std::shared_ptr<std::string> last_;
    bool growing_ = false;
};

}  // namespace scanner_core
