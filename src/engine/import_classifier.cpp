#include "import_classifier.hpp"

#include <algorithm>
#include <cstdint>
#include <utility>

#include "module_name.hpp"

namespace scanner_core {

namespace {

std::size_t longest_of(const std::unordered_set<std::string>& names) noexcept {
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
      longest_exact(longest_of(this->allowed_exact)) {}

bool ImportClassifier::is_forbidden(const std::string& module) const {
    return forbidden.count(std::string(root_of(module))) != 0;
}

bool ImportClassifier::is_allowed(const std::string& module) const {
    return allows(module, std::string(root_of(module)));
}

bool ImportClassifier::allows(const std::string& module, const std::string& root) const {
    if (module.size() <= longest_exact && allowed_exact.count(module) != 0) return true;
    // The root is a leading part of the name: equal sizes mean equal strings.
    if (root.size() != module.size() && root.size() <= longest_exact && allowed_exact.count(root) != 0) return true;
    for (const std::string& prefix : allowed_prefixes) {
        if (prefix_matches(prefix, module)) return true;
    }
    return false;
}

ImportVerdict ImportClassifier::verdict_on(const std::string& module,
                                           const std::unordered_set<std::string>& local_modules) const {
    return verdict_on(module, local_modules, SIZE_MAX);
}

ImportVerdict ImportClassifier::verdict_on(const std::string& module,
                                           const std::unordered_set<std::string>& local_modules,
                                           std::size_t longest_local) const {
    // A set holds no name longer than its longest entry: a long name (a
    // hostile one runs to megabytes) is not hashed to find that out, nor
    // is its root copied when no set could hold it.
    const std::string_view root_view = root_of(module);
    const std::size_t root_size = root_view.size();
    const bool dotted = root_size != module.size();
    const bool root_wanted = root_size <= std::max({longest_local, longest_forbidden, longest_exact});
    const std::string root_copy = dotted && root_wanted ? std::string(root_view) : std::string();
    // A name without a dot is its own root: look it up once, not twice.
    const std::string& root = dotted ? root_copy : module;
    if (root_wanted) {
        if (root_size <= longest_local && local_modules.count(root) != 0) return ImportVerdict::silent;
        if (dotted && module.size() <= longest_local && local_modules.count(module) != 0) return ImportVerdict::silent;
        if (root_size <= longest_forbidden && forbidden.count(root) != 0) return ImportVerdict::forbidden;
        if (allows(module, root)) return ImportVerdict::silent;
        return ImportVerdict::unlisted;
    }
    // No set holds the root, nor then the longer name: only a prefix can allow it.
    for (const std::string& prefix : allowed_prefixes) {
        if (prefix_matches(prefix, module)) return ImportVerdict::silent;
    }
    return ImportVerdict::unlisted;
}

ImportVerdict ImportClassifier::judge(std::string_view module, const std::string* whole,
                                      const std::unordered_set<std::string>& local_modules,
                                      VerdictMemo& memo) const {
    memo.bind(this, &local_modules);
    // The sets are looked up with strings: a name the caller holds as one
    // is used as it is, a view is copied once, when the memo does not know it.
    const auto in_full = [&] {
        const std::size_t longest_local = memo.longest_local([&] { return longest_of(local_modules); });
        if (whole != nullptr) return verdict_on(*whole, local_modules, longest_local);
        std::string& name = memo.scratch();
        name.assign(module);
        return verdict_on(name, local_modules, longest_local);
    };
    if (!VerdictMemo::keeps(module)) return in_full();
    const std::uint64_t hash = VerdictMemo::hash(module);
    if (const ImportVerdict* known = memo.find(module, hash)) return *known;
    const ImportVerdict verdict = in_full();
    memo.remember(module, hash, verdict);
    return verdict;
}

}  // namespace scanner_core
