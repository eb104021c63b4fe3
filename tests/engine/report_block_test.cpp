// The pieces of the command's report blocks that the Python tests reach
// only through whole reports: line digests at the ends of files and
// pieces, and the escapes at every offset of the vector runs they skip, on
// every instruction set.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "instruction_sets.hpp"
#include "line_digest.hpp"
#include "report_block.hpp"
#include "sha256.hpp"

namespace scanner_core {
namespace {

class LineDigests : public ::testing::Test {
protected:
    std::string write(const std::string& content) {
        const ::testing::UnitTest& run = *::testing::UnitTest::GetInstance();
        const std::filesystem::path path =
            std::filesystem::temp_directory_path() /
            ("line_digests_" + std::to_string(run.random_seed()) + run.current_test_info()->name() +
             std::to_string(paths_.size()));
        std::ofstream(path, std::ios::binary) << content;
        paths_.push_back(path);
        return path.string();
    }
    void TearDown() override {
        for (const auto& path : paths_) std::filesystem::remove(path);
    }
    static std::string digest_of(const std::string& normalised) { return sha256_hex(normalised); }

private:
    std::vector<std::filesystem::path> paths_;
};

TEST_F(LineDigests, NormaliseWhitespaceAndCountTheLastLineAfterAFinalLineFeed) {
    const std::string path = write(" import\t os \r\n\nx\n");
    const std::vector<LineDigest> digests = line_digests(path, {1, 2, 3, 4, 5});
    ASSERT_EQ(digests.size(), 4u);  // line 5 is not there
    EXPECT_EQ(hex_of(digests[0].digest), digest_of("import os"));
    EXPECT_EQ(hex_of(digests[1].digest), digest_of(""));
    EXPECT_EQ(hex_of(digests[2].digest), digest_of("x"));
    EXPECT_EQ(digests[3].line, 4);  // the empty line after the last line feed
    EXPECT_EQ(hex_of(digests[3].digest), digest_of(""));
    const std::vector<LineDigest> empty = line_digests(write(""), {1, 2});
    ASSERT_EQ(empty.size(), 1u);
    EXPECT_EQ(hex_of(empty[0].digest), digest_of(""));
}

TEST_F(LineDigests, HashALineAcrossPiecesAsOneAndGiveNothingForAFileThatIsNotThere) {
    // Words and runs of whitespace falling across the pieces' ends.
    std::string line = "import os";
    std::string normalised = line;
    for (int k = 0; line.size() < 3 * 65536 + 100; ++k) {
        const std::string word = "w" + std::to_string(k);
        line += (k % 3 == 0 ? " \t\x0b" : k % 3 == 1 ? "\x0c " : " ") + word;
        normalised += " " + word;
    }
    const std::string path = write("\n" + line + "   \nimport json");
    const std::vector<LineDigest> digests = line_digests(path, {2, 3});
    ASSERT_EQ(digests.size(), 2u);
    EXPECT_EQ(hex_of(digests[0].digest), digest_of(normalised));
    EXPECT_EQ(hex_of(digests[1].digest), digest_of("import json"));
    EXPECT_TRUE(line_digests(path + ".gone", {1}).empty());
}

std::size_t code_points_of(const std::string& text) {
    std::size_t count = 0;
    for (const char byte : text) count += (static_cast<unsigned char>(byte) & 0xC0) != 0x80 ? 1 : 0;
    return count;
}

// The JSON string of printable ASCII, as json's encode_basestring_ascii writes it.
std::string json_of_ascii(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') out.push_back('\\');
        out.push_back(c);
    }
    return out + "\"";
}

TEST(Escapes, StopAtEverySpecialByteWhereverItFallsInARun) {
    const std::pair<std::string, std::string> specials[] = {
        {"\"", "\""}, {"\\", "\\\\"}, {"\x1f", "\\x1f"}, {"\x7f", "\\x7f"}, {"\x01", "\\x01"},
        {"\xff", "\\xff"}, {"\xc3\xa9", "\xc3\xa9"}, {"\xe2\x80\xae", "\\u202e"}, {"\xed\xa0\x80", "\\xed\\xa0\\x80"},
    };
    // Past a 64-byte vector, so that every set's whole and partial vectors are reached.
    for (const InstructionSet set : testing::available_instruction_sets()) {
        testing::ForcedInstructionSet forced(set);
        for (const auto& [raw, escaped] : specials) {
            for (std::size_t at = 0; at <= 70; ++at) {
                const std::string text = std::string(at, 'a') + raw + std::string(70 - at, 'b');
                const std::string expected = std::string(at, 'a') + escaped + std::string(70 - at, 'b');
                std::string out;
                append_escaped(text, TextOrigin::system, out);
                EXPECT_EQ(out, expected) << instruction_set_name(set) << " at " << at;
                std::string json;
                append_json_escaped(text, TextOrigin::system, json);
                std::string twice;
                append_json_string(expected, twice);
                EXPECT_EQ(json, twice) << instruction_set_name(set) << " at " << at;
                if (expected.find('\xc3') == std::string::npos) {
                    EXPECT_EQ(json, json_of_ascii(expected)) << instruction_set_name(set) << " at " << at;
                }
            }
        }
    }
    std::string module;
    append_escaped("a\xed\xb2\x80" "b\xed\xa0\x80", TextOrigin::module, module);  // lone surrogates
    EXPECT_EQ(module, "a\\x80b\\ud800");
}

TEST(Escapes, ShowALongTextAsItsHeadAndTailAroundAMarker) {
    std::string text(kShownAtMost, 'x');
    std::string out;
    append_shown(text, out);
    EXPECT_EQ(out, text);
    text = std::string(kShownHead, 'h') + "\xc3\xa9" + std::string(5000, 'm') + std::string(kShownTail, 't');
    out.clear();
    append_shown(text, out);
    EXPECT_EQ(out, std::string(kShownHead, 'h') + " [\xE2\x80\xA6 5001 characters not shown \xE2\x80\xA6] " +
                       std::string(kShownTail, 't'));
}

TEST(Escapes, ShownWithoutTheWholeEscapedTextAsShownFromIt) {
    // Lengths about the limits, escapes of every width falling on the head's
    // end and the tail's start.
    const std::string parts[] = {"a",           "\\",           "\x1b",         "\xff",
                                 "\xc3\xa9",     "\xe2\x80\xae", "\xf0\x9f\x98\x80", "\xed\xa0\x80"};
    std::uint32_t seed = 24;
    for (int round = 0; round < 3000; ++round) {
        seed = seed * 1103515245u + 12345u;
        const std::size_t length = 560 + (seed >> 8) % 700;
        std::string text;
        std::uint32_t pick = seed;
        while (code_points_of(text) < length) {
            pick = pick * 1103515245u + 12345u;
            const std::size_t which = (pick >> 16) % 24;
            text += which < sizeof(parts) / sizeof(parts[0]) ? parts[which] : "plain";
        }
        std::string escaped, expected, made;
        append_escaped(text, TextOrigin::system, escaped);
        append_shown(escaped, expected);
        append_escaped_shown(text, TextOrigin::system, made);
        ASSERT_EQ(made, expected) << round;
    }
}

}  // namespace
}  // namespace scanner_core
