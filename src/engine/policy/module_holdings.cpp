// The table of what the standard library's modules hold, searched by
// (module, attribute), and the modules that reach a forbidden one.
#include "policy/module_holdings.hpp"

#include <algorithm>
#include <iterator>
#include <tuple>

namespace scanner_core {
namespace {

constexpr Holding kTable[] = {
#include "module_holdings_table.inc"
};

bool before(const Holding& entry, std::string_view module, std::string_view attribute) noexcept {
    return std::tie(entry.module, entry.attribute) < std::tie(module, attribute);
}

}  // namespace

const Holding* holding_of(std::string_view module, std::string_view attribute) noexcept {
    const Holding* found = std::lower_bound(
        std::begin(kTable), std::end(kTable), 0,
        [module, attribute](const Holding& entry, int) { return before(entry, module, attribute); });
    if (found == std::end(kTable) || found->module != module || found->attribute != attribute) return nullptr;
    return found;
}

Holdings holdings_of(std::string_view module) noexcept {
    const Holding* first = std::lower_bound(std::begin(kTable), std::end(kTable), module,
                                            [](const Holding& entry, std::string_view name) { return entry.module < name; });
    const Holding* last = std::upper_bound(first, std::end(kTable), module,
                                           [](std::string_view name, const Holding& entry) { return name < entry.module; });
    return {first, last};
}

Holdings all_holdings() noexcept { return {std::begin(kTable), std::end(kTable)}; }

std::vector<std::string> forbidden_reached_from(const ImportClassifier& classifier, std::string_view module) {
    // Each module of the table is gone through once, whatever the paths to it.
    std::vector<std::string> reached;
    std::unordered_set<std::string_view> seen{module};
    std::vector<std::string_view> next{module};
    while (!next.empty()) {
        const std::string_view at = next.back();
        next.pop_back();
        for (const Holding& held : holdings_of(at)) {
            if (forbidden_module(classifier, held.target)) {
                reached.emplace_back(held.target);
            } else if (held.is_module && seen.insert(held.target).second) {
                next.push_back(held.target);
            }
        }
    }
    std::sort(reached.begin(), reached.end());
    reached.erase(std::unique(reached.begin(), reached.end()), reached.end());
    return reached;
}

ReachingModules::ReachingModules(const ImportClassifier& classifier) {
    // Until nothing changes: a module reaches when it holds a forbidden
    // module or an object of one, or a module that reaches. The chains of
    // the standard library are a few attributes long, so this ends in a few
    // rounds over a table of a few thousand rows.
    for (bool changed = true; changed;) {
        changed = false;
        for (const Holding& entry : kTable) {
            std::string module(entry.module);
            if (reaching_.count(module) != 0) continue;
            if (forbidden_module(classifier, entry.target) || (entry.is_module && reaching_.count(std::string(entry.target)) != 0)) {
                reaching_.insert(std::move(module));
                changed = true;
            }
        }
    }
}

bool ReachingModules::reaches(std::string_view module) const {
    return !reaching_.empty() && reaching_.count(std::string(module)) != 0;
}

bool own_module(std::string_view module, const std::unordered_set<std::string>& local_modules) {
    if (local_modules.empty()) return false;
    return local_modules.count(std::string(module.substr(0, module.find('.')))) != 0 ||
           local_modules.count(std::string(module)) != 0;
}

bool forbidden_module(const ImportClassifier& classifier, std::string_view module) {
    // As an import of it is judged, but never as the plugin's own: what the
    // standard library holds is the standard module, whatever the plugin names its files.
    static const std::unordered_set<std::string> kNoLocalModules;
    return classifier.verdict_on(std::string(module), kNoLocalModules) == ImportVerdict::forbidden;
}

}  // namespace scanner_core
