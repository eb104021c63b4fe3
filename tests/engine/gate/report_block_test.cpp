// The pieces of the command's report blocks that the Python tests reach
// only through whole reports: line digests at the ends of files and
// pieces, read back or made as the scan reads, and the escapes at every
// offset of the vector runs they skip, on every instruction set.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>

#include "gate/full_scan.hpp"
#include "instruction_sets.hpp"
#include "gate/line_digest.hpp"
#include "gate/report_block.hpp"
#include "kernels/sha256.hpp"

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

// Findings reported to the digester on a schedule: each line when the
// given piece is fed (pieces counted from 1; finish counts as the last).
class Scheduled final : public FindingLines {
public:
    std::multimap<int, std::int64_t> at;
    int fed = 0;
    void made_since(std::vector<std::int64_t>& out) override {
        while (!at.empty() && at.begin()->first <= fed) {
            out.push_back(at.begin()->second);
            at.erase(at.begin());
        }
    }
};

// A text of lines of every shape a piece's end can cut: short and empty
// ones, runs of whitespace, and lines longer than a piece, some of them the
// line scan's candidates.
std::string random_text(std::mt19937& pick, std::size_t piece) {
    std::string text;
    const char* const spaces[] = {" ", "\t", "  \x0b", "\r", "\x0c "};
    while (text.size() < 12 * piece) {
        const unsigned kind = pick() % 10;
        std::string line = kind == 0 ? "import os" : kind == 1 ? "  from a.b import (" : "x =";
        const std::size_t words = kind < 3 && pick() % 4 == 0 ? 2 * piece / 3 + pick() % (2 * piece) : pick() % 12;
        for (std::size_t k = 0; k < words; ++k) line += std::string(spaces[pick() % 5]) + "w" + std::to_string(k % 97);
        text += line;
        if (pick() % 30 != 0) text += "\n";  // or runs on into the next
    }
    return text;
}

TEST_F(LineDigests, MadeAsPiecesPassForEveryLineHeldWhenItsFindingCameAndAlikeReadBack) {
    constexpr std::size_t kFull = 2048;
    std::mt19937 pick(24);
    for (int round = 0; round < 60; ++round) {
        std::string text = random_text(pick, kFull);
        if (round % 3 == 0) text.resize(text.size() / kFull * kFull);  // the last piece a full one
        if (round % 3 == 1 && text.back() != '\n') text += "\n";
        const std::string path = write(text);
        // Where each line starts and ends, and in which piece.
        std::vector<std::size_t> starts{0};
        for (std::size_t at = 0; at < text.size(); ++at) {
            if (text[at] == '\n') starts.push_back(at + 1);
        }
        const int pieces = static_cast<int>((text.size() + kFull - 1) / kFull);
        Scheduled scheduled;
        std::vector<std::int64_t> lines;
        std::vector<std::int64_t> must;  // held when its finding came: must be digested
        for (std::size_t index = 0; index < starts.size(); ++index) {
            if (pick() % 4 != 0) continue;
            const auto line = static_cast<std::int64_t>(index + 1);
            const int start_piece = static_cast<int>(starts[index] / kFull) + 1;
            const std::size_t end = index + 1 < starts.size() ? starts[index + 1] - 1 : text.size();
            const int end_piece = static_cast<int>(end / kFull) + 1;
            const bool last = start_piece >= pieces;
            int when = 0;
            switch (pick() % 5) {
                case 0: when = start_piece - 1 - static_cast<int>(pick() % 2); break;  // early
                case 1: when = start_piece; break;                               // as its piece comes
                case 2: when = end_piece + 1; break;                             // with the piece after its end
                case 3: when = pieces + 1; break;                                // at the finish
                default: when = end_piece + 3; break;                            // well after
            }
            scheduled.at.emplace(when, line);
            lines.push_back(line);
            const bool near_piece_end = end_piece == static_cast<int>((end + 1) / kFull) + 1 &&
                                        end % kFull + 512 >= kFull && end - starts[index] < 512;
            if (when <= start_piece || (last && end_piece == pieces) ||
                (when == end_piece + 1 && near_piece_end && text.size() % kFull != 0)) {
                must.push_back(line);
            }
        }
        LineDigester digester(scheduled, kFull);
        for (std::size_t at = 0; at < text.size(); at += kFull) {
            ++scheduled.fed;
            digester.feed(std::string_view(text).substr(at, kFull));
        }
        scheduled.fed = pieces + 100;  // every finding is made by the end
        digester.finish();
        std::sort(lines.begin(), lines.end());
        const std::vector<LineDigest> read = line_digests(path, lines);
        std::map<std::int64_t, std::string> expected;
        for (const LineDigest& digest : read) expected[digest.line] = hex_of(digest.digest);
        std::map<std::int64_t, std::string> made;
        for (const LineDigest& digest : digester.digests()) {
            made[digest.line] = hex_of(digest.digest);
            ASSERT_EQ(expected.count(digest.line), 1u) << "round " << round << " line " << digest.line;
            EXPECT_EQ(made[digest.line], expected[digest.line]) << "round " << round << " line " << digest.line;
        }
        for (const std::int64_t line : must) {
            EXPECT_EQ(made.count(line), 1u) << "round " << round << " line " << line;
        }
    }
}

TEST_F(LineDigests, OfAScanAreThoseReadBackOnLinesAcrossTheReadsPieces) {
    // Import statements at every offset around the ends of the pieces a
    // scan reads, spanning them, the audit's across lines, and a last line
    // with no line feed.
    std::string text;
    std::string filler = "x = 1\n";
    for (int k = 0; text.size() < 3 * 256 * 1024; ++k) {
        text += k % 7 == 0 ? "import os, yaml\n" : k % 11 == 0 ? "from toml import (\n  a,\n  b)\n" : filler;
        if (k % 13 == 0) text += "__import__(\n  'json' )\n";
        if (k % 1000 == 0) text += "import " + std::string(70000, 'n') + "\n";
        filler = "y = " + std::string(k % 150, 'z') + "\n";
    }
    text += "import yaml";
    const std::string path = write(text);
    const FullScanner scanner({"os"}, {"json"}, {});
    const FullResult result = scanner.scan_file(path, {}, true, 0, true);
    ASSERT_TRUE(result.digested);
    const std::vector<std::int64_t> lines = finding_lines(result);
    ASSERT_GT(lines.size(), 1000u);
    const std::vector<LineDigest> read = line_digests(path, lines);
    ASSERT_EQ(result.line_digests.size(), read.size());
    for (std::size_t k = 0; k < read.size(); ++k) {
        EXPECT_EQ(result.line_digests[k].line, read[k].line);
        EXPECT_EQ(hex_of(result.line_digests[k].digest), hex_of(read[k].digest)) << "line " << read[k].line;
    }
}

using JsonBlocks = LineDigests;

TEST_F(JsonBlocks, NamingModulesOfMegabytesWrittenTogetherReadAsEachWrittenAlone) {
    // Enough name to have the fingerprints made on every core first.
    const FullScanner scanner({"os"}, {}, {});
    std::vector<FullResult> records;
    for (int k = 0; k < 3; ++k) {
        const std::string name = std::string(2 * 1024 * 1024, static_cast<char>('a' + k));
        records.push_back(
            scanner.scan_file(write("import os\nimport " + name + "\n__import__('" + name + "')\n"), {}, true, 0, true));
    }
    std::vector<const FullResult*> all;
    for (const FullResult& record : records) all.push_back(&record);
    const std::vector<std::string> names = {"a.py", "b.py", "c.py"};
    std::string together;
    write_json_blocks(all, names, false, true, [&together](std::string_view piece) { together.append(piece); });
    std::string alone = "[\n";
    for (std::size_t k = 0; k < records.size(); ++k) {
        alone += (k == 0 ? "" : ",\n") + json_block(records[k], false, names[k]);
    }
    EXPECT_EQ(together.size(), alone.size());
    EXPECT_TRUE(together == alone);
    EXPECT_EQ(records[0].findings.size() + records[0].scan_findings.size(), 3u);
}

TEST_F(JsonBlocks, ManySmallFilesWrittenTogetherReadAsEachWrittenAloneInTheirOrder) {
    // Enough files to have runs of them made on every core, a number no
    // core count divides, and files without findings among them.
    const FullScanner scanner({"os"}, {}, {});
    std::vector<FullResult> records;
    std::vector<std::string> names;
    for (int k = 0; k < 101; ++k) {
        const std::string source = k % 3 == 0 ? "x = 1\n" : "import os\nimport os.path as p" + std::to_string(k) + "\n";
        records.push_back(scanner.scan_file(write(source), {}, true, 0, true));
        names.push_back("f" + std::to_string(k) + ".py");
    }
    std::vector<const FullResult*> all;
    for (const FullResult& record : records) all.push_back(&record);
    for (const bool first : {true, false}) {
        std::string together;
        write_json_blocks(all, names, false, first, [&together](std::string_view piece) { together.append(piece); });
        std::string alone = first ? "[\n" : ",\n";
        for (std::size_t k = 0; k < records.size(); ++k) {
            alone += (k == 0 ? "" : ",\n") + json_block(records[k], false, names[k]);
        }
        EXPECT_TRUE(together == alone) << "first " << first;
    }
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
