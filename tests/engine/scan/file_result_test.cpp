#include "scan/file_result.hpp"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace scanner_core
