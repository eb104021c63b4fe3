// The standard table and a policy's rows from outside the standard library,
// searched as one.
#include "policy/holding_table.hpp"

#include <algorithm>
#include <tuple>
#include <unordered_set>
#include <utility>

namespace scanner_core {
namespace {

bool row_before(const HoldingRow& a, const HoldingRow& b) noexcept {
    return std::tie(a.module, a.attribute) < std::tie(b.module, b.attribute);
}

}  // namespace

HoldingTable::HoldingTable(std::vector<HoldingRow> extra) : owned_(std::move(extra)) {
    // The standard table is the build's interpreter's word on a standard
    // module: a table made elsewhere neither adds to it nor contradicts it.
    owned_.erase(std::remove_if(owned_.begin(), owned_.end(),
                                [](const HoldingRow& row) {
                                    const Holdings standard = scanner_core::holdings_of(row.module);
                                    return standard.first != standard.last;
                                }),
                 owned_.end());
    std::stable_sort(owned_.begin(), owned_.end(), row_before);
    owned_.erase(std::unique(owned_.begin(), owned_.end(),
                             [](const HoldingRow& a, const HoldingRow& b) {
                                 return a.module == b.module && a.attribute == b.attribute;
                             }),
                 owned_.end());
    extra_.reserve(owned_.size());
    for (const HoldingRow& row : owned_) {
        extra_.push_back({row.module, row.attribute, row.target, row.is_module, row.starred});
        longest_attribute_ = std::max(longest_attribute_, row.attribute.size());
    }
}

std::size_t HoldingTable::standard_longest_attribute() noexcept {
    static const std::size_t kLongest = [] {
        std::size_t longest = 0;
        for (const Holding& held : all_holdings()) longest = std::max(longest, held.attribute.size());
        return longest;
    }();
    return kLongest;
}

const HoldingTable& HoldingTable::standard() noexcept {
    static const HoldingTable kStandard;
    return kStandard;
}

const Holding* HoldingTable::holding_of(std::string_view module, std::string_view attribute) const noexcept {
    if (const Holding* found = scanner_core::holding_of(module, attribute)) return found;
    if (extra_.empty()) return nullptr;
    const auto found = std::lower_bound(extra_.begin(), extra_.end(), 0, [module, attribute](const Holding& entry, int) {
        return std::tie(entry.module, entry.attribute) < std::tie(module, attribute);
    });
    if (found == extra_.end() || found->module != module || found->attribute != attribute) return nullptr;
    return &*found;
}

Holdings HoldingTable::holdings_of(std::string_view module) const noexcept {
    const Holdings standard = scanner_core::holdings_of(module);
    if (standard.first != standard.last || extra_.empty()) return standard;
    const auto first = std::lower_bound(extra_.begin(), extra_.end(), module,
                                        [](const Holding& entry, std::string_view name) { return entry.module < name; });
    const auto last = std::upper_bound(first, extra_.end(), module,
                                       [](std::string_view name, const Holding& entry) { return name < entry.module; });
    return {extra_.data() + (first - extra_.begin()), extra_.data() + (last - extra_.begin())};
}

std::vector<std::string> forbidden_reached_from(const ImportClassifier& classifier, const HoldingTable& table,
                                                std::string_view module) {
    // Each module of the table is gone through once, whatever the paths to it.
    std::vector<std::string> reached;
    std::unordered_set<std::string_view> seen{module};
    std::vector<std::string_view> next{module};
    while (!next.empty()) {
        const std::string_view at = next.back();
        next.pop_back();
        for (const Holding& held : table.holdings_of(at)) {
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

}  // namespace scanner_core
