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

}  // namespace scanner_core
