#include "policy/holding_table.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace scanner_core {
namespace {

HoldingRow row(std::string module, std::string attribute, std::string target, bool is_module) {
    return {std::move(module), std::move(attribute), std::move(target), is_module, false};
}

TEST(HoldingTable, AddsRowsOutsideTheStandardLibraryAndKeepsTheStandardOnes) {
    const HoldingTable table({row("pkg", "_o", "os", true), row("pkg", "Popen", "subprocess", false)});
    ASSERT_NE(table.holding_of("pkg", "_o"), nullptr);
    EXPECT_EQ(table.holding_of("pkg", "_o")->target, "os");
    EXPECT_EQ(table.holding_of("pkg", "missing"), nullptr);
    // The compiled-in rows answer as before.
    ASSERT_NE(table.holding_of("logging", "os"), nullptr);
    EXPECT_EQ(table.holding_of("logging", "os"), HoldingTable::standard().holding_of("logging", "os"));
    EXPECT_EQ(table.holdings_of("pkg").end() - table.holdings_of("pkg").begin(), 2);
}

TEST(HoldingTable, LeavesTheStandardModulesToTheCompiledTable) {
    // A table made elsewhere cannot take away or change what `logging` holds.
    const HoldingTable table({row("logging", "os", "json", true), row("logging", "extra", "socket", true)});
    EXPECT_EQ(table.holding_of("logging", "os")->target, "os");
    EXPECT_EQ(table.holding_of("logging", "extra"), nullptr);
    EXPECT_EQ(table.extra().begin(), table.extra().end());
}

TEST(HoldingTable, KeepsTheFirstOfRowsForTheSameAttributeAndSurvivesAMove) {
    // Short strings live inside the rows: a move must not leave the views dangling.
    HoldingTable first({row("p", "a", "os", true), row("p", "a", "json", true)});
    const HoldingTable table(std::move(first));
    ASSERT_NE(table.holding_of("p", "a"), nullptr);
    EXPECT_EQ(table.holding_of("p", "a")->target, "os");
}

TEST(HoldingTable, LongestAttributeCoversTheExtraRows) {
    const std::string long_name(300, 'x');
    const HoldingTable table({row("p", long_name, "os", true)});
    EXPECT_EQ(table.longest_attribute(), 300u);
    EXPECT_LT(HoldingTable::standard().longest_attribute(), 300u);
}

TEST(ReachingModules, FollowsAChainThroughExtraAndStandardModules) {
    const ImportClassifier classifier({"subprocess"}, {}, {"p"});
    // p.a → p.b → ... → p.z → logging, which holds nothing forbidden here; p.y holds an object of subprocess.
    std::vector<HoldingRow> rows;
    const std::string names = "abcdefghijklmnopqrstuvwxyz";
    for (std::size_t k = 0; k + 1 < names.size(); ++k) {
        rows.push_back(row("p." + names.substr(k, 1), "next", "p." + names.substr(k + 1, 1), true));
    }
    rows.push_back(row("p.y", "run", "subprocess", false));
    rows.push_back(row("p.z", "log", "logging", true));
    rows.push_back(row("q", "log", "logging", true));
    const HoldingTable table(std::move(rows));
    const ReachingModules reaching(classifier, table);
    EXPECT_TRUE(reaching.reaches("p.a"));
    EXPECT_TRUE(reaching.reaches("p.y"));
    EXPECT_FALSE(reaching.reaches("p.z"));
    EXPECT_FALSE(reaching.reaches("q"));
    EXPECT_EQ(forbidden_reached_from(classifier, table, "p.a"), std::vector<std::string>{"subprocess"});
    EXPECT_TRUE(forbidden_reached_from(classifier, table, "q").empty());
    // Through the standard table alone, none of them is known.
    EXPECT_FALSE(ReachingModules(classifier).reaches("p.a"));
}

}  // namespace
}  // namespace scanner_core
