// The one rule for a module name's root, shared by the classifier and the
// file scan: the text before the first dot, or the whole name without one.
#pragma once

#include <string_view>

namespace scanner_core {

// Returns a view into `module`: empty when the name is empty or begins with
// a dot. Never fails.
constexpr std::string_view root_of(std::string_view module) noexcept {
    return module.substr(0, module.find('.'));
}

// Returns whether `prefix` allows `module`: the two are equal, or `module`
// continues the prefix with a dot. Never fails.
constexpr bool prefix_matches(std::string_view prefix, std::string_view module) noexcept {
    if (module.size() == prefix.size()) return module == prefix;
    return module.size() > prefix.size() && module[prefix.size()] == '.' &&
           module.compare(0, prefix.size(), prefix) == 0;
}

}  // namespace scanner_core
