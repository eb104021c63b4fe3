// The fast path of the audit (lines passed over 64 bytes at a time) must
// change nothing: for any text, in any pieces, the imports (with their
// columns) and the refusal are those of the token-by-token reading of the
// whole text. The texts here are longer than a block and put what the fast
// path must notice across block and piece boundaries; each is cut at every
// byte, and also fed a byte at a time.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "audit_support.hpp"
#include "instruction_sets.hpp"

namespace scanner_core {
namespace {

using testing::audit_text;

const std::string kPad(70, '#');  // a comment line longer than a block

// `depth` brackets, "(", "[" and "{" in turn, around a 1, each closed.
std::string nested(int depth) {
    std::string opens;
    for (int k = 0; k < depth; ++k) opens += "([{"[k % 3];
    std::string text = opens + "1";
    for (int k = depth - 1; k >= 0; --k) text += opens[k] == '(' ? ')' : opens[k] == '[' ? ']' : '}';
    return text;
}

struct Text {
    const char* why;
    std::string source;
    const char* expected;  // what the token-by-token reading gives
};

const std::vector<Text>& texts() {
    static const std::vector<Text> all = {
        {"strings and comments that say import, between real ones",
         "x = 'import os'  # import sys\nimport a\ny = \"\"\"\nimport b\n\"\"\"; import c\n" + kPad +
             "\nz = r'\\'' + b\"\\\\\"  # from d import e\nfrom f import g\n",
         "2 statement a\n5 statement c\n8 statement f\n"},
        {"an import in a field of an f-string that crosses a block",
         "x = 1\nf\"{" + std::string(70, ' ') + "__import__(y)}\"\nx = 1\n" + kPad + "\n",
         "2 other __import__\n"},
        {"f-strings with nested fields, format specifiers and quotes around a statement",
         "s = f'{x!r:>{width}} {{literal}} {f\"{y}\"}' ; t = f\"\"\"{\n  z # c\n}\"\"\"\n" + kPad +
             "\nu = f'{a:{b}.{c}}'; import os\n",
         "5 statement os\n"},
        {"line breaks of every kind, inside and outside strings",
         "x = 1\r\ny = '''\r\n\r\n'''\rz = 2\n'''\n\r'''\n" + kPad + "\r\n" + kPad + "\nimport os\r\n",
         "9 statement os\n"},
        {"a CR LF inside a triple-quoted string before a dynamic import",
         "x=1\n'''\r\n'''\nx=1\n__import__(y)\n" + kPad + "\n",
         "5 other __import__\n"},
        {"continuations and brackets over lines, then a match statement",
         "x = (1,\n     2) + \\\n    3\nd = {'k': [\n  'v']}\n" + kPad + "\nmatch x:\n    case C(import_module('a')):\n"
             "        y = __import__('b')\n",
         "9 constant b\n"},
        {"the name match assigned, read and annotated at lines' starts, then match statements on a number and on ...",
         "match = re.match(p, s)\nmatch.group(1)\nmatch: int = 1\nmatch...:\n case __import__():\n  pass\n" + kPad +
             "\nmatch .5:\n    case C(import_module('a')):\n        y = __import__('b')\n" + kPad + "\n",
         "10 constant b\n"},
        {"non-ASCII names and strings on long lines",
         "caf\xc3\xa9 = '\xc3\xa9t\xc3\xa9' * 3 + \"\xf0\x9f\x98\x80\" ; \xcf\x80 = 3.14159 ; r\xc3\xa9sum\xc3\xa9 = None\n" +
             kPad + "\nimport \xef\xbd\x8f\xef\xbd\x93\n",
         "3 statement os\n"},
        {"brackets that do not match, after lines that may be passed over",
         "x = 1\nx = (1]\ny = 2\n" + kPad + "\n" + kPad + "\n",
         "refused at 2: closing parenthesis ']' does not match opening parenthesis '('\n"},
        {"a parenthesis that closes a square bracket of an earlier line, among parentheses",
         "x = 1\nx = [1,\n  (2))\ny = 2\n" + kPad + "\n" + kPad + "\n",
         "refused at 3: closing parenthesis ')' does not match opening parenthesis '[' on line 2\n"},
        {"a closing bracket with no opening one, balanced by one opened later",
         "a\nx = 1)\ny = (1\nz = 2\n" + kPad + "\n",
         "refused at 2: unmatched ')'\n"},
        {"a NUL byte after a character Python refuses, in another piece",
         "x = 1\ny = $\n" + kPad + "\n" + kPad + std::string(1, '\0') + "\n",
         "refused at 0: source code string cannot contain null bytes\n"},
        {"lone carriage returns ending lines, at the top and inside brackets",
         "x = 1\ry = (1,\r  2)\r" + kPad + "\r__import__(y)\rz = [\r]; import os\n" + kPad + "\n",
         "1 other __import__\n1 statement os\n"},
        {"names beyond ASCII, one that Python folds to __import__",
         "\xce\xb1 = \xce\xb2" "eta + 1 ; x\xc3\xa9 = 2\n" + kPad + "\n__\xef\xbd\x89mport__('os')\n" + kPad + "\n",
         "3 constant os\n"},
        {"a name made of the word match again and again, then import after it",
         "x = " + [] {
             std::string words;
             for (int k = 0; k < 40; ++k) words += "match";
             return words;
         }() + "import + 1\n" + kPad + "\nimport os\n",
         "3 statement os\n"},
        {"a character that may only continue a name, right after a number that ends in letters",
         "x = 1\n" + kPad + "\ny = 0xf\xd9\x9c + a\xd9\x9c\n" + kPad + "\n",
         "refused at 3: invalid character '\xd9\x9c' (U+065C)\n"},
        {"a character Python refuses in a name, after lines that may be passed over",
         "x = 1\n" + kPad + "\ny = \xce\xb1\xe2\x82\xac\n",
         "refused at 3: invalid character '\xe2\x82\xac' (U+20AC)\n"},
        {"string annotations, whose words are only in their strings, past a block",
         kPad + "\ndef f(x: \"__import__('a')\", y: list[\"__import__('b')\"]) -> \"__import__('c')\":\n"
                "    z: r'__import__(\"d\")' = {'k': 'import e'}\n" + kPad + "\n",
         "2 constant a\n2 constant b\n2 constant c\n3 constant d\n"},
        {"strings of annotations that are not the annotation's first token, beside colons that begin none",
         kPad + "\nz: int | (\"__import__('a')\") = {'k': 'v', 'w': x[1:'u']}\ndef g(p: A | \"__import__('b')\")"
                " -> B | \"__import__('c')\": pass\nif (n := 'v'): y = {'k': 'v'}\n" + kPad + "\n",
         "2 constant a\n3 constant b\n3 constant c\n"},
        {"a door's name after a keyword's dot, which follows no value",
         kPad + "\nx = a in.eval\ny = None.eval\n" + kPad + "\n",
         "2 reference eval\n"},
        {"an ellipsis whose dots a cut parts, before a door's name",
         kPad + "\nx = ....__loader__\n.......__loader__\nfrom ....... import a\ny = ....5\n...\t....__loader__\n" +
             kPad + "\n",
         "2 reference __loader__\n3 reference __loader__\n4 statement .......\n6 reference __loader__\n"},
        {"an annotation's later string that Python cannot decode",
         kPad + "\nw: iuu \"\\N\"\n" + kPad + "\n",
         "deferred to utf-8\n"},
        {"brackets of every kind nested deep, and near Python's limit",
         "x = " + nested(70) + "\n" + kPad + "\nimport os\ny = " + nested(190) + "\n" + kPad + "\n",
         "3 statement os\n"},
        {"brackets nested one deeper than Python allows, after as deep as it allows",
         "x = " + nested(200) + "\n" + kPad + "\ny = " + nested(201) + "\n" + kPad + "\n",
         "refused at 3: too many nested parentheses\n"},
        {"brackets in an f-string's field, under the line's, one deeper than Python allows",
         "x = 1\ny = (f'{" + std::string(199, '(') + "1" + std::string(199, ')') + "}')\n" + kPad + "\n",
         "refused at 2: too many nested parentheses\n"},
        {"a bracket that does not match, under many brackets",
         "x = " + [] {
             std::string brackets = nested(40);
             brackets[40 + 1 + 3] = ']';  // the fourth to close, a "(", balanced all the same
             return brackets;
         }() + "\n" + kPad + "\n" + kPad + "\n",
         "refused at 1: closing parenthesis ']' does not match opening parenthesis '('\n"},
        {"an unterminated string after a block",
         kPad + "\n" + kPad + "\nx = 'abc\nimport os\n",
         "refused at 3: unterminated string literal\n"},
    };
    return all;
}

TEST(SourceAuditSkipping, TokenByTokenReadingGivesWhatPythonReads) {
    for (const Text& text : texts()) {
        EXPECT_EQ(audit_text(text.source, false).describe(), text.expected) << text.why;
    }
}

// Each text, whole, in pieces cut at every byte and a byte at a time, with
// and without the skipping, with each piece's blocks classified here or
// given with it, gives what the whole text read token by token gives.
void expect_the_outcome_of_the_whole_text_read_token_by_token() {
    for (const Text& text : texts()) {
        const std::string reference = audit_text(text.source, false).describe(true);
        std::vector<std::size_t> bytes;
        for (std::size_t cut = 1; cut < text.source.size(); ++cut) bytes.push_back(cut);
        for (const bool skipping : {true, false}) {
            for (const bool classified : {false, true}) {
                const std::string how = std::string(", skipping ") + (skipping ? "1" : "0") + ", classified " +
                                        (classified ? "1" : "0");
                EXPECT_EQ(audit_text(text.source, skipping, bytes, nullptr, classified).describe(true), reference)
                    << text.why << ", a byte at a time" << how;
                // The cuts that change the outcome, with the first outcome they give.
                std::string differing;
                for (std::size_t cut = 0; cut <= text.source.size(); ++cut) {
                    const std::string outcome =
                        audit_text(text.source, skipping, {cut}, nullptr, classified).describe(true);
                    if (outcome != reference && differing.empty()) differing = "gives:\n" + outcome + "at cuts";
                    if (outcome != reference) differing += " " + std::to_string(cut);
                }
                EXPECT_EQ(differing, "") << text.why << how << ", expected:\n" << reference;
            }
        }
    }
}

// A policy under which logging and tempfile hold forbidden modules (os,
// shutil), as the standard library's table says they do.
struct Reaching final : ImportFilter {
    bool judged(std::string_view module) const override { return forbids(module); }
    bool reaches_forbidden(std::string_view module) const override {
        return module == "logging" || module == "tempfile";
    }
    bool forbids(std::string_view module) const override { return module == "os" || module == "shutil"; }
};

// A name bound to such a module makes every line that uses it read as
// tokens, wherever the pieces are cut: none is passed over; and so do the
// attributes of the object graph and of search paths.
TEST(SourceAuditSkipping, EveryUseOfANameBoundToAModuleThatReachesAForbiddenOneIsRead) {
    const Reaching policy;
    const std::string source = "import logging\n" + kPad + "\nx = 1; mylogging.os = 1\n'''\nlogging.os\n'''\n" + kPad +
                               "\nimport tempfile as t\n" + kPad + "\nt._shutil.rmtree\ny = [logging\n  .os]\n" + kPad +
                               "\nfrom logging import os\nimport sys\n" + kPad + "\nsys.path.append(p)\n" + kPad +
                               "\nf.__globals__; g . f_back\n";
    const std::string expected =
        "10 reached shutil via t._shutil\n11 reached os via logging.os\n14 reached os via logging.os\n"
        "17 search-path sys.path.append\n19 graph __globals__\n19 graph f_back\n";
    ASSERT_EQ(testing::audit_text(source, false, {}, &policy).describe(), expected);
    for (const InstructionSet set : testing::available_instruction_sets()) {
        testing::ForcedInstructionSet forced(set);
        for (std::size_t cut = 0; cut <= source.size(); ++cut) {
            EXPECT_EQ(testing::audit_text(source, true, {cut}, &policy, cut % 2 == 0).describe(), expected)
                << instruction_set_name(set) << ", cut at " << cut;
        }
    }
}

TEST(SourceAuditSkipping, SameOutcomeForPiecesCutAtEveryByteOnEveryInstructionSet) {
    for (const InstructionSet set : testing::available_instruction_sets()) {
        testing::ForcedInstructionSet forced(set);
        SCOPED_TRACE(instruction_set_name(set));
        expect_the_outcome_of_the_whole_text_read_token_by_token();
    }
}

}  // namespace
}  // namespace scanner_core
