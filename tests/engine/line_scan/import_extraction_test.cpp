#include "line_scan/import_extraction.hpp"

#include <gtest/gtest.h>

#include <algorithm>

#include <string>

#include "test_support.hpp"

namespace scanner_core {
namespace {

using namespace std::string_literals;

// One record as "<line>:<p|a|r>:<module>", so expectations read at a glance.
std::vector<std::string> summary(std::string_view text) {
    std::vector<std::string> out;
    for (const RawImport& record : extract_imports(text)) {
        const char* form = record.is_relative ? "r" : record.is_from ? "a" : "p";
        EXPECT_TRUE(!record.is_relative || record.is_from);
        out.push_back(std::to_string(record.line) + ":" + form + ":" + record.module);
    }
    return out;
}

using Lines = std::vector<std::string>;

TEST(LineNumbering, CountsEveryPhysicalLine) {
    EXPECT_EQ(summary("\n\nimport a\n"), Lines{"3:p:a"});
    EXPECT_EQ(summary("import a\n\n  \n\t\nx = 1\nimport b"), (Lines{"1:p:a", "6:p:b"}));
    EXPECT_EQ(summary("# c\nimport a\nimport a\n"), (Lines{"2:p:a", "3:p:a"}));
}

TEST(LineNumbering, NothingInEmptyOrBlankTexts) {
    EXPECT_TRUE(extract_imports("").empty());
    EXPECT_TRUE(extract_imports("\n\n\n").empty());
    EXPECT_TRUE(extract_imports("   \n\t\t\n \t \n").empty());
}

TEST(LineEnds, OnlyLineFeedsEndLines) {
    EXPECT_EQ(summary("import os\r\nfrom a import b\r\n"), (Lines{"1:p:os", "2:a:a"}));
    // Carriage returns alone do not split: one line, its first statement only.
    EXPECT_EQ(summary("import a\rimport b\rimport c"), Lines{"1:p:a"});
    EXPECT_EQ(summary("x = 1\rimport b\n"), Lines{});
}

TEST(LeadingWhiteSpace, BlanksAndTabsAreSkippedOtherSpaceIsNot) {
    EXPECT_EQ(summary("    import a\n\t\tfrom b import c\n \t import d"), (Lines{"1:p:a", "2:a:b", "3:p:d"}));
    EXPECT_EQ(summary("\fimport a\n\vimport b\n\rimport c\n"), Lines{});
    EXPECT_EQ(summary("\xef\xbb\xbfimport a\n"), Lines{});  // byte-order mark
}

TEST(PlainForm, CapturesTheDottedNameBeforeSpaceCommaOrEnd) {
    EXPECT_EQ(summary("import a.b.c as d"), Lines{"1:p:a.b.c"});
    EXPECT_EQ(summary("import a, b"), Lines{"1:p:a"});
    EXPECT_EQ(summary("import a,b"), Lines{"1:p:a"});
    EXPECT_EQ(summary("import a\t# comment"), Lines{"1:p:a"});
    EXPECT_EQ(summary("import   \t a"), Lines{"1:p:a"});
    EXPECT_EQ(summary("import .a"), Lines{"1:p:.a"});
    EXPECT_EQ(summary("import a."), Lines{"1:p:a."});
    EXPECT_EQ(summary("import ..."), Lines{"1:p:..."});
}

TEST(PlainForm, RejectsNamesFollowedByAnythingElse) {
    for (const char* line : {"import os;", "import os; import sys", "import os#x", "import caf\xc3\xa9",
                             "import a(b)", "import", "import ", "importx a", "import\\", "import *"}) {
        EXPECT_EQ(summary(line), Lines{}) << line;
    }
}

TEST(AbsoluteFromForm, CapturesTheNameAndIgnoresWhatFollowsImport) {
    EXPECT_EQ(summary("from a.b import c"), Lines{"1:a:a.b"});
    EXPECT_EQ(summary("from a importx"), Lines{"1:a:a"});
    EXPECT_EQ(summary("from a import (b,\n    c)\n"), Lines{"1:a:a"});
    EXPECT_EQ(summary("from __future__ import annotations"), Lines{"1:a:__future__"});
    EXPECT_EQ(summary("from a.b.\timport c"), Lines{"1:a:a.b."});
}

TEST(AbsoluteFromForm, RejectsMalformedStatements) {
    for (const char* line : {"from a . b import c", "from.a import b", "from a imp", "froma import b",
                             "from caf\xc3\xa9 import x", "from a", "from  import x", "from a\\"}) {
        EXPECT_EQ(summary(line), Lines{}) << line;
    }
    // Nothing after the keyword is examined, not even its presence.
    EXPECT_EQ(summary("from a import"), Lines{"1:a:a"});
}

TEST(RelativeFromForm, StoresTheNameAfterTheDotsOnly) {
    EXPECT_EQ(summary("from . import x"), Lines{"1:r:"});
    EXPECT_EQ(summary("from ..pkg.sub import x"), Lines{"1:r:pkg.sub"});
    EXPECT_EQ(summary("from .a.b. import x"), Lines{"1:r:a.b."});
    EXPECT_EQ(summary("from ... import x"), Lines{"1:r:"});
    EXPECT_EQ(summary("from .import b"), Lines{});
    EXPECT_EQ(summary("from .a import"), Lines{"1:r:a"});
    EXPECT_EQ(summary("from .a imp"), Lines{});
}

TEST(WhatYieldsNothing, CommentsCompoundLinesAndCapitals) {
    for (const char* line : {"# import os", "if x: import os", "try: import os", "Import os", "FROM a import b",
                             "x = 1", "print('import os')", "def f(): pass"}) {
        EXPECT_EQ(summary(line), Lines{}) << line;
    }
}

TEST(WhatYieldsNothing, StringsAreNotUnderstood) {
    // A statement on its own line inside a triple-quoted string counts.
    EXPECT_EQ(summary("doc = \"\"\"\nimport secret\n\"\"\"\n"), Lines{"2:p:secret"});
}

TEST(Continuations, OnlyTheFirstLineOfAStatementIsSeen) {
    EXPECT_EQ(summary("import \\\n    os\n"), Lines{});
    EXPECT_EQ(summary("from a import \\\n    b\n"), Lines{"1:a:a"});
}

TEST(AnyBytes, NulAndHighBytesAreOrdinaryNonMatchingBytes) {
    EXPECT_EQ(summary("import a\0b\nimport c"s), Lines{"2:p:c"});
    EXPECT_EQ(summary("import a \0\nfrom \0 import b\n"s), Lines{"1:p:a"});
    EXPECT_EQ(summary("\0\0\0\nimport x\n\xff\xfe\n"s), Lines{"2:p:x"});
    EXPECT_EQ(summary("from a\x80 import b\nimport z\x80"), Lines{});
}

TEST(Records, FlagsFollowTheForm) {
    const std::vector<RawImport> records = extract_imports("import p\nfrom a import x\nfrom .r import y\n");
    ASSERT_EQ(records.size(), 3u);
    EXPECT_FALSE(records[0].is_from);
    EXPECT_FALSE(records[0].is_relative);
    EXPECT_TRUE(records[1].is_from);
    EXPECT_FALSE(records[1].is_relative);
    EXPECT_TRUE(records[2].is_from);
    EXPECT_TRUE(records[2].is_relative);
}

// Candidate lines of 64 MB, each shaped to drive a backtracking matcher deep
// or long, scanned on a 256 KiB stack: a recursive matcher crashes here.
TEST(LongLines, AreScannedInConstantStack) {
    constexpr std::size_t kLength = 64u << 20;
    struct Case {
        std::string text;
        Lines expected;
    };
    std::vector<std::string> names = {"plain name", "blanks after import", "from and dots", "dots then import",
                                      "dotted name then import"};
    std::vector<Case> cases;
    cases.push_back({"import " + std::string(kLength, 'a') + "\nimport b", {"1:p:" + std::string(kLength, 'a'), "2:p:b"}});
    cases.push_back({"import" + std::string(kLength, ' ') + "x\n", {"1:p:x"}});
    cases.push_back({"from " + std::string(kLength, '.') + "\nimport b", {"2:p:b"}});
    cases.push_back({"from " + std::string(kLength, '.') + " import x", {"1:r:"}});
    std::string dotted;
    for (std::size_t i = 0; dotted.size() < kLength; ++i) dotted += "ab.";
    cases.push_back({"from " + dotted + "c import x;", {"1:a:" + dotted + "c"}});
    for (std::size_t i = 0; i < cases.size(); ++i) {
        Lines got;
        testing::run_with_stack(256 * 1024, [&] { got = summary(cases[i].text); });
        EXPECT_EQ(got, cases[i].expected) << names[i];
    }
}

// A sink that asks for room before long names, and notes what it is asked
// and what it is handed.
class RoomAsker final : public ImportSink {
public:
    // `room` before each long name, but only the first bytes of the one on line `cut_line`.
    RoomAsker(std::size_t room, std::int64_t cut_line) noexcept : room_(room), cut_line_(cut_line) {}
    std::size_t room_before(std::string_view start, std::int64_t line, bool is_from, bool is_relative) override {
        asked.push_back(std::to_string(line) + (is_relative ? ":r:" : is_from ? ":a:" : ":p:") + std::string(start));
        return line == cut_line_ ? NameRoom::kStartOnly : room_;
    }
    void found(const FoundImport& import) override {
        found_lines.push_back(std::to_string(import.line) + (import.cut ? ":cut:" : ":") + std::string(import.module));
        rooms.push_back(import.gathered != nullptr ? import.room : std::size_t{0});
        strings.push_back(import.gathered != nullptr ? import.gathered->data() : nullptr);
        // The name lies right after the room, in the string it was gathered in.
        if (import.gathered != nullptr) {
            EXPECT_EQ(import.module.data(), import.gathered->data() + import.room);
            EXPECT_EQ(import.gathered->size(), import.room + import.module.size());
        }
        if (take && import.gathered != nullptr) taken.push_back(std::move(*import.gathered));
    }
    std::vector<std::string> asked;
    std::vector<std::string> found_lines;
    std::vector<std::size_t> rooms;
    std::vector<const char*> strings;  // where each gathered name's string lies
    bool take = false;                 // whether to take the gathered strings away, into `taken`
    std::vector<std::string> taken;

private:
    std::size_t room_;
    std::int64_t cut_line_;
};

// A name that runs on past a piece is gathered with the room its sink asks
// for before it; the sink is asked once a name, with the name's first 4 KiB,
// the line and the form, and never while names are lent (they are shared).
// A name whose sink wants only its first bytes is handed those alone.
TEST(LongNames, AreGatheredAfterTheRoomTheSinkAsksForOnceAName) {
    std::string name;
    for (std::size_t i = 0; name.size() < (600u << 10); ++i) name += i % 9 == 8 ? '.' : static_cast<char>('a' + i % 26);
    const std::string text = "x = 1\nimport " + name + " as y\nfrom " + name + " import z\nfrom ." + name +
                             " import w\nimport short\n";
    const std::string start = name.substr(0, NameRoom::kStartShown);
    for (const std::size_t piece : {std::size_t{4096}, std::size_t{256} << 10, text.size()}) {
        for (const bool lending : {false, true}) {
            RoomAsker sink(57, 3);
            NameLoan loan;
            ImportExtractor extractor;
            if (lending) extractor.lend_to(&loan);
            for (std::size_t at = 0; at < text.size(); at += piece) {
                extractor.feed(std::string_view(text).substr(at, piece), sink);
            }
            extractor.finish(sink);
            const bool third_cut = std::any_of(sink.asked.begin(), sink.asked.end(),
                                               [](const std::string& asked) { return asked.rfind("3:", 0) == 0; });
            EXPECT_EQ(sink.found_lines,
                      (Lines{"2:" + name, third_cut ? "3:cut:" + start : "3:" + name, "4:" + name, "5:short"}))
                << piece;
            if (lending) {
                EXPECT_TRUE(sink.asked.empty()) << piece;
                continue;
            }
            // A name gathered is asked about; across pieces, each long one is.
            if (piece == text.size()) {
                EXPECT_EQ(static_cast<std::size_t>(std::count(sink.rooms.begin(), sink.rooms.end(), 57)),
                          sink.asked.size());
                continue;
            }
            EXPECT_EQ(sink.asked, (Lines{"2:p:" + start, "3:a:" + start, "4:r:" + start})) << piece;
            EXPECT_TRUE(third_cut);
            EXPECT_EQ(sink.rooms, (std::vector<std::size_t>{57, 0, 57, 0})) << piece;
        }
    }
}

// The room of a long name that no sink takes (its line reports nothing) is
// kept for the next long name, in the same text or the next one, which is
// gathered in it, its pages already the process's, and whole.
TEST(LongNames, ARoomNoSinkTookIsWhereTheNextLongNameIsGathered) {
    std::string first, second;
    for (std::size_t i = 0; first.size() < (600u << 10); ++i) {
        first += static_cast<char>('a' + i % 26);
        second += static_cast<char>('z' - i % 26);
    }
    const auto scan = [](const std::string& text, std::string& spare) {
        RoomAsker sink(0, 0);
        sink.take = true;
        ImportExtractor extractor;
        extractor.keep_spare(&spare);
        for (std::size_t at = 0; at < text.size(); at += 4096) {
            extractor.feed(std::string_view(text).substr(at, 4096), sink);
        }
        extractor.finish(sink);
        return sink;
    };
    std::string spare;
    EXPECT_TRUE(scan("from " + first + "\nx = 1\n", spare).found_lines.empty());
    ASSERT_GE(spare.capacity(), first.size()) << "the unreported name's room is kept";
    EXPECT_TRUE(spare.empty());
    const char* const room = spare.data();
    const RoomAsker next = scan("import " + second + "\nfrom " + first + "\n", spare);
    EXPECT_EQ(next.found_lines, Lines{"1:" + second});
    ASSERT_EQ(next.strings.size(), 1u);
    EXPECT_EQ(next.strings[0], room);
    // The sink kept that string; the line after it left a room of its own.
    EXPECT_NE(spare.data(), room);
    EXPECT_GE(spare.capacity(), first.size());
}

}  // namespace
}  // namespace scanner_core
