// The linear matchers against std::regex compiled from the very same pattern
// texts, on generated lines that favour the tricky parts, and on whole texts.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "import_extraction.hpp"
#include "import_patterns.hpp"
#include "reference_extraction.hpp"

namespace scanner_core {
namespace {

using testing::compiled;

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
        expect_same_as_regex(generate_line(random));
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
        const std::vector<RawImport> expected = testing::reference_extract_imports(text);
        const std::vector<RawImport> got = extract_imports(text);
        ASSERT_EQ(got.size(), expected.size()) << text;
        for (std::size_t k = 0; k < got.size(); ++k) {
            EXPECT_EQ(got[k].module, expected[k].module);
            EXPECT_EQ(got[k].line, expected[k].line);
            EXPECT_EQ(got[k].is_from, expected[k].is_from);
            EXPECT_EQ(got[k].is_relative, expected[k].is_relative);
        }
    }
}

}  // namespace
}  // namespace scanner_core
