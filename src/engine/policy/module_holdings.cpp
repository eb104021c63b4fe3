// The table of what the standard library's modules hold, searched by
// (module, attribute), and the modules that reach a forbidden one.
#include "policy/module_holdings.hpp"

#include "policy/holding_table.hpp"

#include <algorithm>
#include <iterator>
#include <tuple>
#include <unordered_map>

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
    return forbidden_reached_from(classifier, HoldingTable::standard(), module);
}

ReachingModules::ReachingModules(const ImportClassifier& classifier)
    : ReachingModules(classifier, HoldingTable::standard()) {}

ReachingModules::ReachingModules(const ImportClassifier& classifier, const HoldingTable& table) {
    // Backwards from the modules that hold a forbidden module or an object
    // of one, through the modules that hold those: each row is read once,
    // however long the chains of a table from outside the standard library.
    std::unordered_map<std::string_view, std::vector<std::string_view>> holders;
    std::vector<std::string_view> next;
    const auto read = [&](Holdings rows) {
        for (const Holding& entry : rows) {
            if (forbidden_module(classifier, entry.target)) {
                if (reaching_.insert(std::string(entry.module)).second) next.push_back(entry.module);
            } else if (entry.is_module) {
                holders[entry.target].push_back(entry.module);
            }
        }
    };
    read(all_holdings());
    read(table.extra());
    while (!next.empty()) {
        const auto found = holders.find(next.back());
        next.pop_back();
        if (found == holders.end()) continue;
        for (const std::string_view holder : found->second) {
            if (reaching_.insert(std::string(holder)).second) next.push_back(holder);
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
    // standard library holds is the standard module, whatever the plugin
    // names its files. With no local module, the verdict is its root's.
    return classifier.forbids(module);
}

}  // namespace scanner_core
