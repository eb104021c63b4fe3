// The verdicts one scan has reached on module names. The same imports run
// through the files of a tree, and the verdict on a name depends on the name
// alone once the policy and the local modules are fixed, so a name met again
// is judged by one lookup here instead of up to five set lookups and a pass
// over the allowed prefixes. Bounded: past a number of names, or for long
// names, nothing more is kept and names are judged in full.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace scanner_core {

enum class ImportVerdict : unsigned char {
    silent,     // local or allowed: no message
    forbidden,  // an error
    unlisted,   // a warning
};

class VerdictMemo {
public:
    VerdictMemo() noexcept = default;
    VerdictMemo(const VerdictMemo&) = delete;
    VerdictMemo& operator=(const VerdictMemo&) = delete;

    // Whether a verdict on `name` can be remembered: long names are judged
    // in full each time, rather than hashed and kept. Never fails.
    static constexpr bool keeps(std::string_view name) noexcept {
        return !name.empty() && name.size() <= kLongestName;
    }

    // Returns the hash that find and remember take. Never fails.
    static std::uint64_t hash(std::string_view name) noexcept;

    // Ties the memo to one policy and one set of local modules, given by any
    // pointers that identify them; forgets everything when they change.
    void bind(const void* policy, const void* local_modules) noexcept;

    // Returns the verdict remembered for `name`, or null. Never fails.
    const ImportVerdict* find(std::string_view name, std::uint64_t hash) const noexcept;

    // Remembers `verdict` for `name` (not yet remembered), if there is room.
    // Throws std::bad_alloc.
    void remember(std::string_view name, std::uint64_t hash, ImportVerdict verdict);

    // The same for whether the audit follows the names bound to `name`
    // (what it reaches by attributes, the functions it holds that import):
    // a fact of the name under the policy too, asked of every import
    // statement. find_follows: 1 followed, 0 not, -1 not remembered.
    int find_follows(std::string_view name, std::uint64_t hash) const noexcept;
    void remember_follows(std::string_view name, std::uint64_t hash, bool follows);

    // The size of the longest bound local module name, counted by `count`
    // once per binding and kept until the binding changes.
    template <class Count>
    std::size_t longest_local(const Count& count) {
        if (!longest_local_known_) {
            longest_local_ = count();
            longest_local_known_ = true;
        }
        return longest_local_;
    }

    // A string for the name being judged in full, reused from name to name
    // so that judging a name seen as a view costs no allocation.
    std::string& scratch() noexcept { return scratch_; }

private:
    struct Slot {
        std::uint64_t hash;
        std::uint32_t offset;  // of the name in names_
        std::uint32_t size;    // 0: an empty slot
        ImportVerdict verdict;
        std::uint8_t known;  // kVerdict, kFollows: which of the two are remembered
        bool follows;
    };
    static constexpr std::uint8_t kVerdict = 1;
    static constexpr std::uint8_t kFollows = 2;
    // The slot of `name`, or null. Never fails.
    const Slot* slot_of(std::string_view name, std::uint64_t hash) const noexcept;
    // The slot of `name`, made if there is room, or null. Throws std::bad_alloc.
    Slot* slot_made(std::string_view name, std::uint64_t hash);
    static constexpr std::size_t kSlots = 1024;  // a power of two
    static constexpr std::size_t kMostNames = kSlots * 3 / 4;
    static constexpr std::size_t kLongestName = 128;
    static constexpr std::size_t kNameBytes = 32 * 1024;

    std::unique_ptr<Slot[]> slots_;
    std::unique_ptr<char[]> names_;
    std::size_t count_ = 0;
    std::size_t names_used_ = 0;
    const void* policy_ = nullptr;
    const void* local_modules_ = nullptr;
    std::size_t longest_local_ = 0;
    bool longest_local_known_ = false;
    std::string scratch_;
};

}  // namespace scanner_core
