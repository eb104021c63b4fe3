#include "file_result.hpp"

#include <gtest/gtest.h>

#include <utility>

namespace scanner_core {
namespace {

TEST(FileResultRecord, DefaultRecordIsAnEmptyPass) {
    const FileResult record;
    EXPECT_EQ(record.filepath, "");
    EXPECT_TRUE(record.errors.empty());
    EXPECT_TRUE(record.warnings.empty());
    EXPECT_TRUE(record.passed);
    EXPECT_EQ(repr(record), "<FileResult passed=True errors=0 warnings=0>");
}

TEST(FileResultRecord, TextFormCountsMessagesAndNeverShowsThem) {
    FileResult record;
    record.filepath = "plugins/\xff.py";
    record.errors.assign(12, "plugins/x.py:1: import interdit — 'os'");
    record.passed = false;
    EXPECT_EQ(repr(record), "<FileResult passed=False errors=12 warnings=0>");

    FileResult warned;
    warned.warnings = {"a", "b"};
    EXPECT_EQ(repr(warned), "<FileResult passed=True errors=0 warnings=2>");
}

TEST(FileResultRecord, CopiesAreIndependent) {
    FileResult original;
    original.filepath = "a.py";
    original.errors = {"e"};
    FileResult copy = original;
    copy.errors.push_back("more");
    copy.warnings.push_back("w");
    copy.passed = false;
    EXPECT_EQ(original.errors, std::vector<std::string>{"e"});
    EXPECT_TRUE(original.warnings.empty());
    EXPECT_TRUE(original.passed);
}

TEST(FileResultRecord, MovingCarriesTheMessages) {
    FileResult source;
    source.filepath = "a.py";
    source.warnings = {"w1", "w2"};
    const FileResult moved = std::move(source);
    EXPECT_EQ(moved.filepath, "a.py");
    EXPECT_EQ(moved.warnings, (std::vector<std::string>{"w1", "w2"}));
}

}  // namespace
}  // namespace scanner_core
