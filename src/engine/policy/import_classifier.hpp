// The import policy of a plugin host: the verdict on a module name.
//
// A classifier is built once from three collections (forbidden roots, names
// allowed exactly or as a root, allowed package prefixes) and never changes
// afterwards, so every member below is safe to call from any number of
// threads at once on one shared instance. Module names are byte strings
// compared byte for byte; the root of a name is the text before its first
// dot (the whole name when it has none). Reading files is not its business:
// the scans (scan_file.hpp, full_scan.hpp) ask it about the names they find.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "policy/verdict_memo.hpp"

namespace scanner_core {

class ImportClassifier {
public:
    // Takes the three collections as they are: nothing is trimmed, folded,
    // deduplicated or validated. Throws std::bad_alloc only.
    ImportClassifier(std::unordered_set<std::string> forbidden,
                     std::unordered_set<std::string> allowed_exact,
                     std::vector<std::string> allowed_prefixes);

    // Returns whether the root of `module` is a forbidden root. The whole
    // name is never looked up. Never fails except on exhausted memory.
    bool is_forbidden(const std::string& module) const;
    // is_forbidden without a copy of the name: a root longer than every
    // forbidden entry is none of them. Throws std::bad_alloc only; thread-safe.
    bool forbids(std::string_view module) const;

    // Returns whether an allow rule covers `module`: the whole name or its
    // root is in `allowed_exact`, or a prefix matches (equal to the name, or
    // followed in the name by a dot). Does not consult `forbidden`.
    bool is_allowed(const std::string& module) const;

    // The verdict on `module` (neither relative nor empty) under the policy
    // and `local_modules`: silent for a local name or one an allow rule
    // covers, forbidden when its root is, unlisted otherwise. Never fails
    // except on exhausted memory; thread-safe.
    ImportVerdict verdict_on(const std::string& module, const std::unordered_set<std::string>& local_modules) const;

    // verdict_on through `memo`, which this call binds to this policy and
    // `local_modules`: a name the memo keeps is judged in full once and
    // looked up afterwards, whichever recogniser asks. Whatever its length,
    // the name is copied no further than the longest entry of a set it may
    // be in. Throws std::bad_alloc only. The memo is the calling thread's own.
    ImportVerdict judge(std::string_view module, const std::unordered_set<std::string>& local_modules,
                        VerdictMemo& memo) const;

    // The verdict judge gives every name that begins with `start` and goes
    // on past it, when `start` alone settles it: when it is longer by two
    // bytes than every entry of the policy and of `local_modules` (the rest
    // of such a name changes neither its root nor any lookup). Nothing
    // otherwise. Throws std::bad_alloc only. The memo is the calling thread's own.
    std::optional<ImportVerdict> verdict_on_longer(std::string_view start,
                                                   const std::unordered_set<std::string>& local_modules,
                                                   VerdictMemo& memo) const;

private:
    // Whether `names`, whose longest entry has `longest` bytes, holds
    // `name`: a longer name is in no such set, and is neither copied (into
    // `scratch`, for the lookup) nor hashed to find that out.
    static bool holds(const std::unordered_set<std::string>& names, std::size_t longest, std::string_view name,
                      std::string& scratch);
    // is_allowed with the root of `module` at hand.
    bool allows(std::string_view module, std::string_view root, std::string& scratch) const;
    // allows, but for the exact entry of the whole name: its root's exact
    // entry, or a prefix.
    bool allows_below(std::string_view module, std::string_view root, std::string& scratch) const;
    // verdict_on knowing that no local module is longer than `longest_local`.
    ImportVerdict verdict_on(std::string_view module, const std::unordered_set<std::string>& local_modules,
                             std::size_t longest_local, std::string& scratch) const;

    const std::unordered_set<std::string> forbidden;
    const std::unordered_set<std::string> allowed_exact;
    const std::vector<std::string> allowed_prefixes;
    // The longest entry of each set: a longer name is in none, and needs no lookup.
    const std::size_t longest_forbidden;
    const std::size_t longest_exact;
    const std::size_t longest_prefix;
};

}  // namespace scanner_core
