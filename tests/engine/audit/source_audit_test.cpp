// The audit's recogniser, held to what Python 3.13 reads in a source: each
// way of hiding an import once, the strings and f-strings around them, the
// coding rules, and what Python refuses. Expectations are what `ast` shows
// for the same bytes, at the line scan's line numbers (line feeds counted).
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "audit_cases.hpp"
#include "audit_support.hpp"

namespace scanner_core {
namespace {

using testing::audit_text;

using Case = testing::AuditCase;
constexpr auto expect_imports = testing::expect_audits;

TEST(SourceAudit, FindsImportsHiddenFromALineScan) {
    expect_imports({
        {"every name of a list", "import json, os.path as p, sys\n", "1 statement json\n1 statement os.path\n1 statement sys\n"},
        {"after a semicolon", "x = 1; import os\n", "1 statement os\n"},
        {"on a compound statement's line", "if c: import os\nelse: from os import path\n",
         "1 statement os\n2 statement os\n"},
        {"in a one-line body of def, class, with, try", "def f(): import a\nclass C: import b\nwith x: import c\ntry: import d\nexcept E: import e\n",
         "1 statement a\n2 statement b\n3 statement c\n4 statement d\n5 statement e\n"},
        {"across continuation lines", "import \\\n  os\nfrom \\\r\n a \\\n . b import c\n", "1 statement os\n3 statement a.b\n"},
        {"parenthesised names over lines", "from a import (\n  b,\n  c,\n)\nimport d\n", "1 statement a\n5 statement d\n"},
        {"after a byte-order mark", "\xef\xbb\xbfimport os\n", "1 statement os\n"},
        {"after a form feed", "\f import os\n\fimport sys\n", "1 statement os\n2 statement sys\n"},
        {"after a lone carriage return, on the same scan line", "x = 1\rimport os\rimport sys\n", "1 statement os\n1 statement sys\n"},
        {"without a space before a comment", "import os#comment\nimport sys;\n", "1 statement os\n2 statement sys\n"},
        {"in letters Python folds (NFKC)", "import \xef\xbd\x8f\xef\xbd\x93\nimport \xe2\x84\x8cx.\xef\xac\x81\n",
         "1 statement os\n2 statement Hx.fi\n"},
        {"with non-ASCII names kept", "import caf\xc3\xa9\n", "1 statement caf\xc3\xa9\n"},
        {"relative from-imports come with their level", "from . import a\nfrom .b import c\nfrom ... import d\nfrom .... e import f\n",
         "1 statement .\n2 statement .b\n3 statement ...\n4 statement ....e\n"},
        {"keywords that look like from-imports", "def g():\n    yield from x\n    raise E from y\n", ""},
        {"soft keywords as module names", "import match, case, type\n",
         "1 statement match\n1 statement case\n1 statement type\n"},
    });
}

TEST(SourceAudit, FindsDynamicImportsWhereverACallStands) {
    expect_imports({
        {"a name or an attribute, under any alias",
         "__import__('a')\nimportlib.import_module('b')\nm.import_module(name='c')\nx.y.import_module('d')\n",
         "1 constant a\n2 constant b\n3 constant c\n4 constant d\n"},
        {"a name Python folds", "__\xef\xbd\x89mport__('os')\n", "1 constant os\n"},
        {"a decorator, a default argument, a lambda", "@__import__('a')\ndef f(x=__import__('b')): pass\ng = lambda: __import__('c')\n",
         "1 constant a\n2 constant b\n3 constant c\n"},
        {"an f-string's field and format specifier", "f'{__import__(\"a\")}'\nf'{x:{__import__(\"b\")}}'\n",
         "1 constant a\n2 constant b\n"},
        {"implicitly concatenated and parenthesised names", "__import__('o' \"s\")\n__import__((\n'sy'\n's'))\n",
         "1 constant os\n2 constant sys\n"},
        {"escapes in the name", "__import__('\\x6fs')\n__import__(r'\\x')\n__import__('a\\\nb')\n",
         "1 constant os\n2 constant \\x\n3 constant ab\n"},
        {"a parenthesised callee, dated where the expression starts", "(\n__import__\n)('os')\n(importlib\n.import_module)('a')\n",
         "1 constant os\n4 constant a\n"},
        {"names that are not constant strings",
         "__import__(x)\n__import__(f'os')\n__import__(b'os')\n__import__('o' + s)\n__import__(*a)\n__import__()\nimport_module(n='os')\n",
         "1 other __import__\n2 other __import__\n3 other __import__\n4 other __import__\n5 other __import__\n6 other __import__\n7 other import_module\n"},
        {"a relative level needs an anchor, level 0 is absolute",
         "__import__('a', None, None, [], 1)\n__import__('b', level=2)\n__import__('c', None, None, [], 0)\n__import__('d', level=0x0)\n",
         "1 relative-call __import__\n2 relative-call __import__\n3 constant c\n4 constant d\n"},
        {"the level after a starred argument is unknown", "__import__('a', *x, 1)\n", "1 constant a\n"},
        {"class patterns are not calls", "match x:\n    case __import__('os'): pass\n    case C(y=import_module('a')): pass\n", ""},
        {"but a guard is", "match x:\n    case _ if __import__('os'): pass\n", "2 constant os\n"},
        {"a match subject in parentheses is a call", "match (__import__)('os'):\n    case _: pass\n", "1 constant os\n"},
        {"a definition is no reference, a name not called is", "def __import__(name): pass\nclass import_module: pass\nx = __import__\n",
         "3 reference __import__\n"},
    });
}

TEST(SourceAudit, GivesEachImportTheColumnWhereItsStatementOrCallBegins) {
    // Columns count code points from the last line feed, 1-based, as the
    // line scan counts its own: a tab is one, a lone carriage return
    // starts no line.
    const std::vector<testing::AuditCase> cases = {
        {"statements at a line's start, indented, after a semicolon and a colon",
         "import a\ndef f():\n    import b\nx = 1; import c\nif x: from d import e\n\timport f\n",
         "1:1 statement a\n3:5 statement b\n4:8 statement c\n5:7 statement d\n6:2 statement f\n"},
        {"characters, not bytes, before a call", "\xc3\xa9 = 1; __import__('os')\n", "1:8 constant os\n"},
        {"a call where its expression begins: a name, an attribute, a parenthesis",
         "x = importlib.import_module('a')\n(\n__import__\n)('b')\n", "1:5 constant a\n2:1 constant b\n"},
        {"a reference where its name begins, a field of an f-string",
         "f = __import__\nx = f'{__import__(\"a\")}'\n", "1:5 reference __import__\n2:8 constant a\n"},
        {"what a text given to exec imports, where the call begins", "if x:\n  exec('x = 1\\nimport os')\n",
         "2:3 statement os\n"},
        {"after a lone carriage return, on the same line", "x = 1\rimport os\n", "1:7 statement os\n"},
        {"after characters beyond ASCII in a string, an f-string's text, a name and a comment, and a string over lines",
         "x = '\xc3\xa9' + f'\xc3\xbc{y}\xc3\xa4' ; \xcf\x80 = 1; __import__('a')\n"
         "y = '''\xc3\xa9\n\xc3\xa9''' + __import__('b')\nx = 1 # \xc3\xa9\r__import__('c')\n"
         "z = '\xc3\xa9' + \\\n  __import__('d')\n",
         "1:29 constant a\n3:8 constant b\n4:11 constant c\n6:3 constant d\n"},
    };
    for (const testing::AuditCase& c : cases) {
        for (const bool skipping : {true, false}) {
            EXPECT_EQ(audit_text(c.source, skipping).describe(true), c.expected) << c.why << ", skipping " << skipping;
        }
    }
}

// Judges the names it is given, as a policy that forbids them would, and
// leaves every other name silent.
struct Judging final : ImportFilter {
    std::vector<std::string> names;
    explicit Judging(std::vector<std::string> judged) : names(std::move(judged)) {}
    bool judged(std::string_view module) const override {
        return std::find(names.begin(), names.end(), module) != names.end();
    }
};

TEST(SourceAudit, KeepsOnlyWhatCanComeToAFindingSoAFileOfAllowedImportsHoldsNone) {
    std::string source;
    for (int k = 0; k < 5000; ++k) source += "import json\n__import__('json'); from . import x\n";
    source += "import os, json, os; import os\n__import__('os'); __import__(name); __import__(name)\nimport os\n";
    const Judging policy({"os"});
    for (const bool skipping : {true, false}) {
        EXPECT_EQ(testing::audit_text(source, skipping, {}, &policy).describe(),
                  "10001 statement os\n10002 constant os\n10002 other __import__\n10003 statement os\n")
            << (skipping ? "" : "read token by token");
    }
}

TEST(SourceAudit, ReadsLongNamesAndLongMatchHeadersWholeWithoutPythonsParser) {
    // A name of hundreds of kilobytes that a dynamic import is called on,
    // cut into pieces as a file is read; then a match statement's first
    // line of tens of thousands of tokens, whose subject alone calls
    // __import__, and the same line without its colon, which does not (it
    // passes __import__ to match: a reference).
    const std::string name(300 * 1024, 'a');
    const std::string zeros = [] {
        std::string text;
        for (int k = 0; k < 20000; ++k) text += ", 0";
        return text;
    }();
    const std::string source = name + ".import_module(x)\n" + name + ".import_module('os')\n" +
                               "match (__import__)('sys'), [0" + zeros + "]:\n    case _: pass\n" +
                               "match (__import__)('re'), [0" + zeros + "]\n";
    std::vector<std::size_t> cuts;
    for (std::size_t at = 256 * 1024; at < source.size(); at += 256 * 1024) cuts.push_back(at);
    for (const bool skipping : {true, false}) {
        EXPECT_EQ(testing::audit_text(source, skipping, cuts).describe(),
                  "1 other " + name + ".import_module\n2 constant os\n3 constant sys\n5 reference __import__\n");
    }
}

TEST(SourceAudit, LeavesANamedEscapeToPythonOnlyInTheReadingPythonMakesOfAMatchLine) {
    // Without its colon the line calls match(__import__): a reference to
    // __import__, and no import to leave to Python.
    const std::string call = "match (__import__)('\\N{LATIN SMALL LETTER O}s')";
    for (const bool skipping : {true, false}) {
        EXPECT_EQ(audit_text(call + "\n", skipping).describe(), "1 reference __import__\n");
        EXPECT_EQ(audit_text(call + ":\n    case _: pass\n", skipping).describe(), "deferred to utf-8\n");
    }
}

TEST(SourceAudit, ReadsStringsAsPythonDelimitsThem) {
    expect_imports({
        {"text in strings and comments", "'import os'; \"import a\"  # import b\n'''\nimport c\n'''\n", ""},
        {"a raw string still escapes its quote", "r'\\''; import os\nrb\"\\\"\" ; import sys\n",
         "1 statement os\n2 statement sys\n"},
        {"every prefix, in any case", "Rb'x' bR'x' BR\"x\"; Fr'{1}' rF'x' u'x' U'x'; import os\n", "1 statement os\n"},
        {"a backslash continues a string's line", "'a\\\nimport b'\nimport os\n", "3 statement os\n"},
        {"the same quote inside a field", "f\"{f\"{__import__(\"os\")}\"}\"\n", "1 constant os\n"},
        {"nested format specifiers", "f'{x:{y:{__import__(\"os\")}}}'\n", "1 constant os\n"},
        {"doubled braces are text", "f'{{__import__(\"os\")}}'\n", ""},
        {"a comment and line breaks in a triple-quoted field",
         "f'''{\n__import__('a')  # '''\n}'''\nimport b\n", "2 constant a\n4 statement b\n"},
        {"\\N{...} in an f-string is not a field", "f'\\N{DIGIT ONE}{__import__(\"os\")}'\nrf'\\N{__import__(\"a\")}'\n",
         "1 constant os\n2 constant a\n"},
        {"a triple-quoted string ending in more quotes", "'''a''''' ; import os\n", "1 statement os\n"},
        {"line feeds in strings are counted, CR LF once", "'''\r\n\r\n'''; import os\nx = '''\r\n'''\n__import__(x)\n",
         "3 statement os\n6 other __import__\n"},
    });
}

TEST(SourceAudit, DecodesAsPythonDecidesFromTheCodingDeclaration) {
    expect_imports({
        {"ISO-8859-1 declared on line 1", "# -*- coding: latin-1 -*-\nimport caf\xe9\n", "2 statement caf\xc3\xa9\n"},
        {"declared on line 2 after a comment", "#!/usr/bin/python\n# vim: set fileencoding=iso-8859-1 :\nimport \xb5\n",
         "3 statement \xce\xbc\n"},
        {"a declaration after code on line 1 is a comment", "x = 1  # coding: latin-1\nimport caf\xc3\xa9\n",
         "2 statement caf\xc3\xa9\n"},
        {"a third line does not declare", "#\n#\n# coding: latin-1\nimport caf\xc3\xa9\n", "4 statement caf\xc3\xa9\n"},
        {"UTF-8 by its long names", "# coding=utf_8-unix\nimport caf\xc3\xa9\n", "2 statement caf\xc3\xa9\n"},
        {"a byte-order mark with a UTF-8 declaration", "\xef\xbb\xbf# coding: utf-8\nimport os\n", "2 statement os\n"},
        {"another codec is left to Python", "# coding: utf-7\n#+AAo-import os\n", "deferred to utf-7\n"},
        {"as is a name that only Python's codecs know", "# coding: latin1\nimport os\n", "deferred to latin1\n"},
        {"and a dynamic import's name spelt with \\N{...}, in the file's own codec",
         "__import__('\\N{LATIN SMALL LETTER O}s')\n", "deferred to utf-8\n"},
        {"a byte-order mark with another codec", "\xef\xbb\xbf# coding: latin-1\nimport os\n",
         "refused at 0: encoding problem: iso-8859-1 with BOM\n"},
    });
}

// `count` f-strings, each in a replacement field of the one around it, around `inner`.
std::string nested_fstrings(int count, const std::string& inner) {
    std::string text = inner;
    for (int k = 0; k < count; ++k) text = "f'{" + text + "}'";
    return text;
}

// A replacement field whose format specifier opens a field, `count` fields in all.
std::string nested_fields(int count, const std::string& inner) {
    std::string text = inner;
    for (int k = 1; k < count; ++k) text = "x:{" + text + "}";
    return "f'{" + text + "}'";
}

TEST(SourceAudit, ReadsNestingUpToPythonsLimits) {
    const std::string call = "__import__('os')";
    const std::string at_limits[] = {
        "x = " + nested_fstrings(149, call) + "\n",
        "x = " + nested_fields(3, call) + "\n",
        "x = f'{" + std::string(198, '(') + call + std::string(198, ')') + "}'\n",  // 200 with the call's
    };
    for (const std::string& source : at_limits) {
        for (const bool skipping : {true, false}) {
            EXPECT_EQ(audit_text(source, skipping).describe(), "1 constant os\n") << source.substr(0, 40);
        }
    }
}

TEST(SourceAudit, RefusesWhatPythonCannotRead) {
    const std::string deep(201, '(');
    const struct {
        const char* why;
        std::string source;
        std::int64_t line;
        const char* reason;  // Python's words, or their start
    } cases[] = {
        {"a NUL byte", std::string("import os\n#\0\n", 13), 0, "source code string cannot contain null bytes"},
        {"invalid UTF-8", "import os\nx = '\xff'\n", 2, "(unicode error) 'utf-8' codec can't decode"},
        {"a surrogate in UTF-8", "x = '\xed\xa0\x80'\n", 1, "(unicode error) 'utf-8' codec can't decode"},
        {"an unterminated string", "import os\nx = 'abc\n", 2, "unterminated string literal"},
        {"an unterminated triple-quoted string", "import os\nx = '''\n\n", 2, "unterminated triple-quoted string literal"},
        {"an unterminated f-string", "f'{x}\n", 1, "unterminated f-string literal"},
        {"a bracket never closed", "import os\nx = (\n\n", 2, "'(' was never closed"},
        {"brackets that do not match", "x = (1]\n", 1, "closing parenthesis ']' does not match opening parenthesis '('"},
        {"a character Python refuses in code", "import os\nx = $\n", 2, "invalid character '$' (U+0024)"},
        {"a non-ASCII character that is no identifier", "x = \xe2\x82\xac\n", 1, "invalid character '\xe2\x82\xac' (U+20AC)"},
        {"non-ASCII in bytes", "b'\xc3\xa9'\n", 1, "bytes can only contain ASCII literal characters"},
        {"a backslash before text", "x = 1 \\ y\n", 1, "unexpected character after line continuation character"},
        {"a single '}' in an f-string", "f'}'\n", 1, "f-string: single '}' is not allowed"},
        {"brackets nested too deep", deep + std::string(201, ')') + "\n", 1, "too many nested parentheses"},
        {"brackets nested too deep with a field's brace", "f'{" + std::string(200, '(') + "1" + std::string(200, ')') + "}'\n",
         1, "too many nested parentheses"},
        {"f-strings nested too deep", "import os\nx = " + nested_fstrings(150, "1") + "\n", 2,
         "too many nested f-strings"},
        {"fields nested too deep in format specifiers", "x = 1\ny = " + nested_fields(4, "1") + "\n", 2,
         "f-string: expressions nested too deeply"},
    };
    for (const auto& c : cases) {
        for (const bool skipping : {true, false}) {
            const testing::AuditOutcome outcome = audit_text(c.source, skipping);
            EXPECT_TRUE(outcome.refused) << c.why;
            EXPECT_TRUE(outcome.imports.empty()) << c.why;
            EXPECT_EQ(outcome.refusal_line, c.line) << c.why;
            EXPECT_EQ(outcome.refusal.rfind(c.reason, 0), 0u) << c.why << ": " << outcome.refusal;
        }
    }
}

}  // namespace
}  // namespace scanner_core
