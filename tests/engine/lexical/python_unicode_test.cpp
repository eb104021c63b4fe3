// Python 3.13's view of Unicode, held to the interpreter's own answers for
// every code point and for strings made to exercise ordering and
// composition: python_unicode_expected.py writes them when the tests build.
#include "lexical/python_unicode.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

namespace {

namespace unicode = scanner_core::unicode;

constexpr char32_t kCodePoints = 0x110000;

struct Expected {
    std::string version;
    std::vector<unsigned char> bits;                 // per code point: 1 start, 2 continue, 4 printable
    std::unordered_map<char32_t, std::string> nfkc;  // where NFKC is not the code point itself
    struct String {
        std::string text, nfkc, printable;
    };
    std::vector<String> strings;
};

std::string from_hex(const std::string& hex) {
    std::string bytes;
    if (hex == "-") return bytes;
    for (std::size_t at = 0; at + 1 < hex.size(); at += 2) {
        bytes.push_back(static_cast<char>(std::stoi(hex.substr(at, 2), nullptr, 16)));
    }
    return bytes;
}

Expected load() {
    std::ifstream in(PYTHON_UNICODE_EXPECTED);
    if (!in) throw std::runtime_error("cannot read " PYTHON_UNICODE_EXPECTED);
    Expected expected;
    expected.bits.resize(kCodePoints);
    char32_t run_start = 0;
    unsigned char run_bits = 0;
    std::string line, kind, a, b, c;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        fields >> kind >> a;
        if (kind == "V") {
            expected.version = a;
        } else if (kind == "P") {
            const auto start = static_cast<char32_t>(std::stoul(a, nullptr, 16));
            std::fill(expected.bits.begin() + run_start, expected.bits.begin() + start, run_bits);
            unsigned bits = 0;
            fields >> bits;
            run_bits = static_cast<unsigned char>(bits);
            run_start = start;
        } else if (kind == "N") {
            fields >> b;
            expected.nfkc[static_cast<char32_t>(std::stoul(a, nullptr, 16))] = from_hex(b);
        } else if (kind == "S") {
            fields >> b >> c;
            expected.strings.push_back({from_hex(a), from_hex(b), from_hex(c)});
        }
    }
    std::fill(expected.bits.begin() + run_start, expected.bits.end(), run_bits);
    return expected;
}

const Expected& expected() {
    static const Expected loaded = load();
    return loaded;
}

std::string utf8(char32_t c) {
    std::string out;
    unicode::append_utf8(c, out);
    return out;
}

std::string nfkc(const std::string& text) {
    std::string out;
    unicode::append_nfkc(text, out);
    return out;
}

std::string printable(const std::string& text) {
    std::string out;
    unicode::append_printable(text, out);
    return out;
}

// Counts mismatches and reports the first few, so that a wrong table shows
// as a handful of examples and a total rather than a million failures.
class Mismatches {
public:
    void check(bool same, const std::string& what) {
        if (same) return;
        if (++count_ <= 10) ADD_FAILURE() << what;
    }
    ~Mismatches() { EXPECT_EQ(count_, 0U) << "mismatches in all"; }

private:
    unsigned count_ = 0;
};

std::string code_point(char32_t c) {
    char name[16];
    std::snprintf(name, sizeof name, "U+%04X", static_cast<unsigned>(c));
    return name;
}

std::string hex(const std::string& bytes) {
    std::ostringstream out;
    for (const char byte : bytes) out << std::hex << (static_cast<unsigned>(byte) & 0xFF) << ' ';
    return out.str();
}

TEST(PythonUnicode, IdentifierAndPrintableCharactersAreExactlyPythonsForEveryCodePoint) {
    EXPECT_EQ(expected().version, unicode::unicode_version());
    Mismatches mismatches;
    for (char32_t c = 0; c < kCodePoints; ++c) {
        const unsigned bits = expected().bits[c];
        const unsigned found = unicode::is_identifier_start(c) | unicode::is_identifier_continue(c) << 1 |
                               unicode::is_printable(c) << 2;
        mismatches.check(found == bits, code_point(c) + ": bits " + std::to_string(found) +
                                            ", Python says " + std::to_string(bits));
    }
    EXPECT_FALSE(unicode::is_identifier_continue(kCodePoints));
}

TEST(PythonUnicode, NfkcIsExactlyPythonsForEveryCodePointAndForMixedStrings) {
    Mismatches mismatches;
    for (char32_t c = 0; c < kCodePoints; ++c) {
        const auto listed = expected().nfkc.find(c);
        const std::string text = utf8(c);
        const std::string want = listed == expected().nfkc.end() ? text : listed->second;
        const std::string got = nfkc(text);
        mismatches.check(got == want, code_point(c) + ": " + hex(got) + "; Python: " + hex(want));
    }
    for (const Expected::String& string : expected().strings) {
        const std::string got = nfkc(string.text);
        mismatches.check(got == string.nfkc, hex(string.text) + "-> " + hex(got) + "; Python: " + hex(string.nfkc));
    }
    EXPECT_GT(expected().strings.size(), 20000U);
    std::string out = "import ";
    unicode::append_nfkc("ｏｓ", out);
    EXPECT_EQ(out, "import os");
}

TEST(PythonUnicode, PrintableFormIsPythonsUnicodeEscapeOfWhatDoesNotPrint) {
    Mismatches mismatches;
    for (const Expected::String& string : expected().strings) {
        const std::string got = printable(string.text);
        mismatches.check(got == string.printable, hex(string.text) + "-> " + got + "; Python: " + string.printable);
    }
    std::string out = "'";
    unicode::append_printable("os\x1b[2J\u200b", out);
    EXPECT_EQ(out, "'os\\x1b[2J\\u200b");
}

TEST(PythonUnicode, BytesThatAreNotUtf8AreRefusedAndNeverComposedAcross) {
    // Overlong forms, beyond U+10FFFF, a stray continuation byte, a cut sequence.
    for (const std::string bad :
         {"\xC0\x80", "\xE0\x80\x80", "\xF0\x80\x80\x80", "\xF4\x90\x80\x80", "\x80", "\xE2\x82"}) {
        EXPECT_EQ(unicode::decode_utf8(bad, 0).code_point, unicode::kNotUtf8) << hex(bad);
        EXPECT_EQ(unicode::decode_utf8(bad, 0).length, 1U) << hex(bad);
    }
    EXPECT_EQ(unicode::decode_utf8("\xED\xA0\x80", 0).code_point, 0xD800U);
    EXPECT_EQ(unicode::decode_utf8("\xF4\x8F\xBF\xBF", 0).code_point, 0x10FFFFU);
    EXPECT_EQ(unicode::decode_utf8("a", 1).length, 0U);
    EXPECT_EQ(nfkc("e\xFF\xCC\x81"), "e\xFF\xCC\x81");
    EXPECT_EQ(nfkc("e\xCC\x81\xE2\x82"), "\xC3\xA9\xE2\x82");
    EXPECT_EQ(printable("a\xFF\xE2\x82"), "a\\xff\\xe2\\x82");
    EXPECT_EQ(utf8(0x110000), "\xEF\xBF\xBD");
}

}  // namespace
