// A tree's records streamed in the caller's order read as scan_tree's, and
// a stream let go before its end stops its threads.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "gate/tree_stream.hpp"
#include "test_support.hpp"

namespace scanner_core {
namespace {

std::string described(const FullResult& result) {
    std::string seen = result.scan.filepath + (result.passed ? " passed" : " failed");
    for (const auto* findings : {&result.scan_findings, &result.findings}) {
        for (const AuditFinding& finding : *findings) seen += " | " + finding.message;
    }
    for (const LineDigest& digest : result.line_digests) seen += " digest " + std::to_string(digest.line);
    return seen;
}

class TreeStreamTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (int k = 0; k < 40; ++k) {
            dir_.write("pkg/m" + std::to_string(k) + ".py",
                       k % 4 == 0 ? "x = 1\n" : "import os\nfrom . import absent" + std::to_string(k % 3) + "\n");
        }
        dir_.write("pkg/__init__.py", "");
        dir_.write("pkg/old.pyc", "");                                                   // a problem of the walk
        std::filesystem::create_symlink(dir_.path() / "nowhere.py", dir_.path() / "pkg" / "gone.py");  // and another
    }

    LocalTree local() const { return LocalTree{{}, {"os", "socket"}}; }

    testing::ScratchDir dir_;
    const FullScanner scanner_{{"os"}, {}, {}, {}, {}, "error", true};
};

TEST_F(TreeStreamTest, RecordsComeInTheOrderAskedAndReadAsTheWholeTreesScan) {
    const LocalTree local_tree = local();
    const std::vector<FullResult> whole = scanner_.scan_tree(dir_.str(), {"pkg"}, 2, true, true, &local_tree);
    const WalkedTree walked = WalkedTree::walk(dir_.str());
    ASSERT_EQ(walked.size(), whole.size());
    std::map<std::string, std::string> expected;
    for (const FullResult& result : whole) expected[result.scan.filepath] = described(result);
    ASSERT_EQ(walked.size(), 43u);

    // Backwards by path: the walk's problems lie among its files.
    std::vector<std::size_t> order(walked.size());
    for (std::size_t index = 0; index < order.size(); ++index) order[index] = index;
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return walked.path(a) > walked.path(b); });
    TreeStream stream(scanner_, walked, order, {"pkg"}, 2, true, true, local());
    for (std::size_t position = 0; position < order.size(); ++position) {
        const FullResult made = stream.take(position);
        EXPECT_EQ(made.scan.filepath, walked.path(order[position]));
        EXPECT_EQ(described(made), expected[made.scan.filepath]);
    }
    EXPECT_THROW(stream.take(0), std::out_of_range);
    EXPECT_THROW(stream.take(order.size()), std::out_of_range);
}

TEST_F(TreeStreamTest, AnOrderThatIsNoListOfTheTreesRecordsIsRefused) {
    const WalkedTree walked = WalkedTree::walk(dir_.str());
    std::vector<std::size_t> order(walked.size());
    for (std::size_t index = 0; index < order.size(); ++index) order[index] = index;
    order[1] = 0;  // one twice, one never
    EXPECT_THROW(TreeStream(scanner_, walked, order, {}, 2, true, false, std::nullopt), std::invalid_argument);
    order.pop_back();
    EXPECT_THROW(TreeStream(scanner_, walked, order, {}, 2, true, false, std::nullopt), std::invalid_argument);
}

TEST_F(TreeStreamTest, AStreamLetGoBeforeItsEndStopsItsThreads) {
    const WalkedTree walked = WalkedTree::walk(dir_.str());
    std::vector<std::size_t> order(walked.size());
    for (std::size_t index = 0; index < order.size(); ++index) order[index] = index;
    for (int round = 0; round < 20; ++round) {
        TreeStream stream(scanner_, walked, order, {"pkg"}, 2, true, true, local());
        for (std::size_t position = 0; position < static_cast<std::size_t>(round); ++position) {
            EXPECT_EQ(stream.take(position).scan.filepath, walked.path(position));
        }
    }  // each joined here, a file at most read past what was taken
}

}  // namespace
}  // namespace scanner_core
