// The linear matchers against std::regex compiled from the very same pattern
// texts, on generated lines that favour the tricky parts, and on whole texts;
// lines and texts also arrive cut into pieces, down to single bytes, as the
// reads of a file deliver them.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>

#include "line_scan/import_extraction.hpp"
#include "line_scan/import_patterns.hpp"
#include "reference_extraction.hpp"

namespace scanner_core {
namespace {

using testing::compiled;
using testing::every_byte;
using testing::extract_in_pieces;

constexpr std::uint32_t kSeed = 20261207;
constexpr int kGeneratedLines = 200000;

// Pieces that lines are assembled from, with the ones that decide matches
// (white space of every kind, dots, keywords and their near misses, and the
// bytes that end a name) drawn more often than the rest.
const std::vector<std::string>& pieces() {
    static const std::vector<std::string> all = {
        " ", " ", " ", "\t", "\t", "\r", "\v", "\f", "\n", ".", ".", "..", "...", "a", "b", "Z", "_", "9", "mod",
        "pkg.sub", "import", "import", "import", "from", "from", "importx", "Import", "FROM", "as", ",", ",", "#",
        ";", "(", ")", "\\", "*", "\x80", "\xff", "\xc3\xa9", std::string(1, '\0'), "'", "-", "=", "i", "f",
    };
    return all;
}

std::string generate_line(std::mt19937& random) {
    const std::vector<std::string>& all = pieces();
    std::uniform_int_distribution<std::size_t> pick(0, all.size() - 1);
    std::uniform_int_distribution<int> percent(0, 99);
    std::string line;
    // Most lines start like a statement, so the interesting paths are taken.
    const int lead = percent(random);
    if (lead < 40) line += std::string(static_cast<std::size_t>(percent(random) % 3), ' ');
    else if (lead < 50) line += "\t";
    const int start = percent(random);
    if (start < 40) line += "import ";
    else if (start < 75) line += "from ";
    else if (start < 80) line += "from .";
    const int length = percent(random) % 24;
    for (int i = 0; i < length; ++i) line += all[pick(random)];
    return line;
}

void expect_same_as_regex(const std::string& line) {
    for (const ImportPattern* pattern : {&RE_IMPORT, &RE_FROM_ABS, &RE_FROM_REL}) {
        std::smatch expected;
        const bool regex_matched = std::regex_search(line, expected, compiled(*pattern));
        PatternMatch got;
        const bool matched = pattern->match(line, got);
        ASSERT_EQ(matched, regex_matched) << pattern->text() << " on \"" << line << '"';
        if (!matched) continue;
        EXPECT_EQ(got.group1.data() - line.data(), expected.position(1)) << line;
        EXPECT_EQ(got.group1, expected[1].str()) << line;
        if (pattern->form() == ImportPattern::Form::from_relative) {
            EXPECT_EQ(got.group2.data() - line.data(), expected.position(2)) << line;
            EXPECT_EQ(got.group2, expected[2].str()) << line;
        }
    }
}

// A few cut points anywhere in a text of `size` bytes, in order.
std::vector<std::size_t> random_cuts(std::size_t size, std::mt19937& random) {
    std::vector<std::size_t> cuts;
    if (size < 2) return cuts;
    std::uniform_int_distribution<std::size_t> at(1, size - 1);
    const std::size_t count = 1 + at(random) % 6;
    for (std::size_t k = 0; k < count; ++k) cuts.push_back(at(random));
    std::sort(cuts.begin(), cuts.end());
    cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());
    return cuts;
}

// The line fed to the segmented matcher in the given pieces gives the record
// that the patterns give on the whole line.
void expect_segmented_same_as_regex(const std::string& line, const std::vector<std::size_t>& cuts) {
    RawImport expected;
    const bool regex_matched = testing::reference_line_import(line, 1, expected);
    SegmentedLineMatch match;
    std::size_t from = 0;
    for (const std::size_t cut : cuts) {
        match.feed(std::string_view(line).substr(from, cut - from));
        from = cut;
    }
    match.feed(std::string_view(line).substr(from));
    ASSERT_EQ(match.end() == SegmentedLineMatch::Verdict::matched, regex_matched) << '"' << line << '"';
    if (!regex_matched) return;
    EXPECT_EQ(match.is_from(), expected.is_from) << line;
    EXPECT_EQ(match.is_relative(), expected.is_relative) << line;
    EXPECT_EQ(match.take_module(), expected.module) << line;
}

void expect_same_records(const std::vector<RawImport>& got, const std::vector<RawImport>& expected,
                         const std::string& text) {
    ASSERT_EQ(got.size(), expected.size()) << text;
    for (std::size_t k = 0; k < got.size(); ++k) {
        EXPECT_EQ(got[k].module, expected[k].module) << text;
        EXPECT_EQ(got[k].line, expected[k].line) << text;
        EXPECT_EQ(got[k].column, expected[k].column) << text;
        EXPECT_EQ(got[k].is_from, expected[k].is_from) << text;
        EXPECT_EQ(got[k].is_relative, expected[k].is_relative) << text;
    }
}

// Whole, cut at random places and cut at every byte, the text gives the
// records of the line-by-line reference.
void expect_extraction_same_as_regex(const std::string& text, std::mt19937& random) {
    const std::vector<RawImport> expected = testing::reference_extract_imports(text);
    expect_same_records(extract_imports(text), expected, text);
    expect_same_records(extract_in_pieces(text, random_cuts(text.size(), random)), expected, text);
    expect_same_records(extract_in_pieces(text, every_byte(text.size())), expected, text);
}

TEST(PatternEquivalence, TextsAreTheSpecifiedOnes) {
    EXPECT_EQ(RE_IMPORT.text(), R"(^\s*import\s+([\w.]+)(?:\s|,|$))");
    EXPECT_EQ(RE_FROM_ABS.text(), R"(^\s*from\s+([\w.]+)\s+import)");
    EXPECT_EQ(RE_FROM_REL.text(), R"(^\s*from\s+(\.+)([\w.]*)\s+import)");
}

TEST(PatternEquivalence, AgreesWithRegexOnDocumentedLines) {
    for (const std::string line :
         {"import a", "import a.b.c as d", "import a, b", "import a,b", "import os;", "import os; import sys",
          "import os#x", "import .a", "import a.", "from a importx", "from . import x", "from ..pkg.sub import x",
          "from.a import b", "from .import b", "from a.b import c", "from a . b import c", "import caf\xc3\xa9",
          "from caf\xc3\xa9 import x", "import \\", "from a import \\", "from a import (b,", "import os\r",
          "from __future__ import annotations", "if x: import os", "try: import os", "Import os", "FROM a import b",
          "# import os", "\fimport a", "\vimport a", "\rimport a", "\xef\xbb\xbfimport a", "", " ", "import",
          "from", "from .", "from . import", "  \t from a import b", "import a\tb", "import\ta"}) {
        expect_same_as_regex(line);
    }
}

TEST(PatternEquivalence, AgreesWithRegexOnGeneratedLines) {
    std::mt19937 random(kSeed);
    for (int i = 0; i < kGeneratedLines; ++i) {
        const std::string line = generate_line(random);
        expect_same_as_regex(line);
        expect_segmented_same_as_regex(line, {});
        expect_segmented_same_as_regex(line, random_cuts(line.size(), random));
        expect_segmented_same_as_regex(line, every_byte(line.size()));
        if (::testing::Test::HasFatalFailure()) return;
    }
}

TEST(PatternEquivalence, ExtractionAgreesWithRegexOnGeneratedTexts) {
    std::mt19937 random(kSeed + 1);
    std::uniform_int_distribution<int> lines(0, 12);
    for (int i = 0; i < 20000; ++i) {
        std::string text;
        const int count = lines(random);
        for (int j = 0; j < count; ++j) text += generate_line(random) + (j + 1 < count || j % 2 ? "\n" : "");
        expect_extraction_same_as_regex(text, random);
        if (::testing::Test::HasFatalFailure()) return;
    }
}

// Extraction looks at the text in fixed-size blocks; statements, leading
// blanks and line ends that straddle block boundaries, and lines far longer
// than a block, must come out as the line-by-line reference has them.
TEST(PatternEquivalence, ExtractionAgreesWithRegexAcrossBlockBoundaries) {
    const std::vector<std::string> statements = {"import a.b", "from x import y", "from ..p import q", "if x:",
                                                 "import", "from", "fr", "i", "import a;", "x = 1", ""};
    const std::vector<std::string> leads = {"", " ", "\t", " \t "};
    std::mt19937 random(kSeed + 2);
    std::uniform_int_distribution<std::size_t> pick_statement(0, statements.size() - 1);
    std::uniform_int_distribution<std::size_t> pick_lead(0, leads.size() - 1);
    std::uniform_int_distribution<int> width(0, 150);
    for (int i = 0; i < 3000; ++i) {
        std::string text;
        const int count = 1 + i % 9;
        for (int j = 0; j < count; ++j) {
            std::string lead;
            const int repeat = width(random) % (j % 3 == 0 ? 140 : 4);
            for (int k = 0; k < repeat; ++k) lead += leads[pick_lead(random)];
            std::string statement = statements[pick_statement(random)];
            if (j % 4 == 1) statement += std::string(static_cast<std::size_t>(width(random)), 'w');
            text += lead + statement + (j + 1 < count || i % 2 ? "\n" : "");
        }
        expect_extraction_same_as_regex(text, random);
        if (::testing::Test::HasFatalFailure()) return;
    }
    // Long runs of names, dots and white space, ended by each kind of byte
    // at every offset, where the matchers stop walking byte by byte.
    const std::vector<std::string> runs = {"a", "Z9_", ".", "a.", " ", "\t", "\v\f\r "};
    // The bytes next to each range of the classes end the runs too.
    const std::vector<std::string> ends = {" ", ",", ";", "-", "\xc3\xa9", "\r", "", " import x", "\x7f", "/", ":",
                                           "@", "[", "`", "{", "^", "\x08", "\x0e", "\x80", std::string(1, '\0')};
    for (std::size_t length = 30; length < 140; ++length) {
        for (const std::string& run : runs) {
            std::string body;
            while (body.size() < length) body += run;
            for (const std::string& end : ends) {
                for (const char* head : {"import ", "from ", "from .", "import a", "from a"}) {
                    const std::string text = std::string(head) + body + end + "b import y\nimport z";
                    expect_extraction_same_as_regex(text, random);
                    if (::testing::Test::HasFatalFailure()) return;
                }
            }
        }
    }
    // Statements that start in the last blocks of a chunk of 4 KiB, which
    // the first pass classifies at once, and end in the next chunk.
    for (std::size_t at = 4096 - 140; at < 4096 + 8; ++at) {
        // A line that ended too late would read "from a... import c" as one.
        const std::string text = std::string(at - 1, '#') + "\nfrom " + std::string(at % 90, 'a') + "\nimport c\n" +
                                 std::string(200, '#') + "\n";
        expect_extraction_same_as_regex(text, random);
        if (::testing::Test::HasFatalFailure()) return;
    }
    // Every alignment of a statement after a long run of leading blanks.
    for (std::size_t pad = 0; pad < 200; ++pad) {
        const std::string text = "x\n" + std::string(pad, pad % 2 ? ' ' : '\t') + "import m\nfrom . import z";
        const std::vector<RawImport> got = extract_imports(text);
        ASSERT_EQ(got.size(), 2u) << pad;
        EXPECT_EQ(got[0].module, "m");
        EXPECT_EQ(got[0].line, 2);
        EXPECT_EQ(got[1].line, 3);
    }
}

}  // namespace
}  // namespace scanner_core
