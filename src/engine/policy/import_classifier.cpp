#include "policy/import_classifier.hpp"

#include <algorithm>
#include <cstdint>
#include <utility>

#include "policy/module_name.hpp"

namespace scanner_core {

namespace {

template <class Names>
std::size_t longest_of(const Names& names) noexcept {
    std::size_t longest = 0;
    for (const std::string& name : names) longest = std::max(longest, name.size());
    return longest;
}

}  // namespace

ImportClassifier::ImportClassifier(std::unordered_set<std::string> forbidden,
                                   std::unordered_set<std::string> allowed_exact,
                                   std::vector<std::string> allowed_prefixes)
    : forbidden(std::move(forbidden)),
      allowed_exact(std::move(allowed_exact)),
      allowed_prefixes(std::move(allowed_prefixes)),
      longest_forbidden(longest_of(this->forbidden)),
      longest_exact(longest_of(this->allowed_exact)),
      longest_prefix(longest_of(this->allowed_prefixes)) {}

bool ImportClassifier::is_forbidden(const std::string& module) const {
    return forbidden.count(std::string(root_of(module))) != 0;
}

bool ImportClassifier::forbids(std::string_view module) const {
    std::string scratch;  // a root as short as the entries it may equal fits in place
    return holds(forbidden, longest_forbidden, root_of(module), scratch);
}

bool ImportClassifier::is_allowed(const std::string& module) const {
    // The name is a string already: looked up as it is, not copied.
    if (module.size() <= longest_exact && allowed_exact.count(module) != 0) return true;
    std::string scratch;
    return allows_below(module, root_of(module), scratch);
}

bool ImportClassifier::holds(const std::unordered_set<std::string>& names, std::size_t longest, std::string_view name,
                             std::string& scratch) {
    if (name.size() > longest) return false;
    scratch.assign(name);
    return names.count(scratch) != 0;
}

bool ImportClassifier::allows(std::string_view module, std::string_view root, std::string& scratch) const {
    return holds(allowed_exact, longest_exact, module, scratch) || allows_below(module, root, scratch);
}

bool ImportClassifier::allows_below(std::string_view module, std::string_view root, std::string& scratch) const {
    // The root is a leading part of the name: equal sizes mean equal strings.
    if (root.size() != module.size() && holds(allowed_exact, longest_exact, root, scratch)) return true;
    for (const std::string& prefix : allowed_prefixes) {
        if (prefix_matches(prefix, module)) return true;
    }
    return false;
}

ImportVerdict ImportClassifier::verdict_on(const std::string& module,
                                           const std::unordered_set<std::string>& local_modules) const {
    std::string scratch;
    return verdict_on(module, local_modules, SIZE_MAX, scratch);
}

ImportVerdict ImportClassifier::verdict_on(std::string_view module,
                                           const std::unordered_set<std::string>& local_modules,
                                           std::size_t longest_local, std::string& scratch) const {
    // A root longer than every entry of the sets is in none of them, like
    // any stand-in as long: the dot that ends it is looked for no further.
    const std::size_t longest = std::max({longest_local, longest_forbidden, longest_exact});
    const std::string_view root = longest < module.size() ? root_of(module.substr(0, longest + 1)) : root_of(module);
    const bool dotted = root.size() != module.size();
    if (holds(local_modules, longest_local, root, scratch)) return ImportVerdict::silent;
    if (dotted && holds(local_modules, longest_local, module, scratch)) return ImportVerdict::silent;
    if (holds(forbidden, longest_forbidden, root, scratch)) return ImportVerdict::forbidden;
    if (allows(module, root, scratch)) return ImportVerdict::silent;
    return ImportVerdict::unlisted;
}

ImportVerdict ImportClassifier::judge(std::string_view module, const std::unordered_set<std::string>& local_modules,
                                      VerdictMemo& memo) const {
    memo.bind(this, &local_modules);
    const auto in_full = [&] {
        const std::size_t longest_local = memo.longest_local([&] { return longest_of(local_modules); });
        return verdict_on(module, local_modules, longest_local, memo.scratch());
    };
    if (!VerdictMemo::keeps(module)) return in_full();
    const std::uint64_t hash = VerdictMemo::hash(module);
    if (const ImportVerdict* known = memo.find(module, hash)) return *known;
    const ImportVerdict verdict = in_full();
    memo.remember(module, hash, verdict);
    return verdict;
}

std::optional<ImportVerdict> ImportClassifier::verdict_on_longer(std::string_view start,
                                                                const std::unordered_set<std::string>& local_modules,
                                                                VerdictMemo& memo) const {
    memo.bind(this, &local_modules);
    const std::size_t longest_local = memo.longest_local([&] { return longest_of(local_modules); });
    const std::size_t longest = std::max({longest_local, longest_forbidden, longest_exact, longest_prefix});
    if (start.size() <= longest + 1) return std::nullopt;
    return verdict_on(start, local_modules, longest_local, memo.scratch());
}

}  // namespace scanner_core
