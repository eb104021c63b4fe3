#include "import_classifier.hpp"

#include <utility>

#include "module_name.hpp"

namespace scanner_core {

ImportClassifier::ImportClassifier(std::unordered_set<std::string> forbidden,
                                   std::unordered_set<std::string> allowed_exact,
                                   std::vector<std::string> allowed_prefixes)
    : forbidden(std::move(forbidden)),
      allowed_exact(std::move(allowed_exact)),
      allowed_prefixes(std::move(allowed_prefixes)) {}

bool ImportClassifier::is_forbidden(const std::string& module) const {
    return forbidden.count(std::string(root_of(module))) != 0;
}

bool ImportClassifier::is_allowed(const std::string& module) const {
    return allows(module, std::string(root_of(module)));
}

bool ImportClassifier::allows(const std::string& module, const std::string& root) const {
    if (allowed_exact.count(module) != 0) return true;
    // The root is a leading part of the name: equal sizes mean equal strings.
    if (root.size() != module.size() && allowed_exact.count(root) != 0) return true;
    for (const std::string& prefix : allowed_prefixes) {
        if (prefix_matches(prefix, module)) return true;
    }
    return false;
}

ImportVerdict ImportClassifier::verdict_on(const std::string& module,
                                           const std::unordered_set<std::string>& local_modules) const {
    // A name without a dot is its own root: look it up once, not twice.
    const std::string_view root_view = root_of(module);
    const bool dotted = root_view.size() != module.size();
    const std::string root_copy = dotted ? std::string(root_view) : std::string();
    const std::string& root = dotted ? root_copy : module;
    if (local_modules.count(root) != 0) return ImportVerdict::silent;
    if (dotted && local_modules.count(module) != 0) return ImportVerdict::silent;
    if (forbidden.count(root) != 0) return ImportVerdict::forbidden;
    if (allows(module, root)) return ImportVerdict::silent;
    return ImportVerdict::unlisted;
}

ImportVerdict ImportClassifier::judge(std::string_view module, const std::string* whole,
                                      const std::unordered_set<std::string>& local_modules,
                                      VerdictMemo& memo) const {
    // The sets are looked up with strings: a name the caller holds as one
    // is used as it is, a view is copied once, when the memo does not know it.
    const auto in_full = [&] {
        if (whole != nullptr) return verdict_on(*whole, local_modules);
        std::string& name = memo.scratch();
        name.assign(module);
        return verdict_on(name, local_modules);
    };
    if (!VerdictMemo::keeps(module)) return in_full();
    memo.bind(this, &local_modules);
    const std::uint64_t hash = VerdictMemo::hash(module);
    if (const ImportVerdict* known = memo.find(module, hash)) return *known;
    const ImportVerdict verdict = in_full();
    memo.remember(module, hash, verdict);
    return verdict;
}

}  // namespace scanner_core
