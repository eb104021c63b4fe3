// The lexical facts that the tokenizer and the line skipper share: byte
// classes, string prefixes, UTF-8 sequences, line breaks, Python's limits.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

namespace scanner_core::python_chars {

// Python's own limits: deeper nesting is a syntax error. Brackets count
// the braces of replacement fields; f-strings count those nested in
// replacement fields; fields count, in one f-string, the field and those
// opened in its format specifier, and in theirs.
inline constexpr std::size_t kMaxBrackets = 200;
inline constexpr std::size_t kMaxFStrings = 149;
inline constexpr std::size_t kMaxFields = 3;

enum : unsigned char { kNameByte = 1, kDigitByte = 2, kBlank = 4, kHexByte = 8, kAsciiNameByte = 16 };

constexpr std::array<unsigned char, 256> make_classes() {
    std::array<unsigned char, 256> classes{};
    for (int c = 'a'; c <= 'z'; ++c) classes[c] = kNameByte;
    for (int c = 'A'; c <= 'Z'; ++c) classes[c] = kNameByte;
    for (int c = 0x80; c <= 0xff; ++c) classes[c] = kNameByte;
    classes['_'] = kNameByte;
    for (int c = '0'; c <= '9'; ++c) classes[c] = kNameByte | kDigitByte | kHexByte;
    for (int c = 0; c < 0x80; ++c) {
        if (classes[c] & kNameByte) classes[c] |= kAsciiNameByte;
    }
    for (int c = 'a'; c <= 'f'; ++c) classes[c] |= kHexByte;
    for (int c = 'A'; c <= 'F'; ++c) classes[c] |= kHexByte;
    classes[' '] = kBlank;
    classes['\t'] = kBlank;
    classes['\f'] = kBlank;
    return classes;
}

inline constexpr std::array<unsigned char, 256> kClasses = make_classes();

// Whether `c` is of the class: a byte of a name (letters, digits, '_' and
// every byte above 0x7f, as Python's tokenizer takes them), a digit, a
// blank (space, tab, form feed), a hexadecimal digit, an ASCII byte of a
// name.
constexpr bool is(char c, unsigned char cls) noexcept { return (kClasses[static_cast<unsigned char>(c)] & cls) != 0; }

// Whether `name`, right before a quote, is a string prefix Python 3.13
// accepts (r, u, b, f and their combinations, in any case), and which.
constexpr bool string_prefix(std::string_view name, bool& raw, bool& bytes, bool& format) noexcept {
    raw = bytes = format = false;
    bool unicode = false;
    if (name.empty() || name.size() > 2) return false;
    for (const char c : name) {
        switch (c | 0x20) {
            case 'r': if (raw) return false; raw = true; break;
            case 'b': if (bytes) return false; bytes = true; break;
            case 'f': if (format) return false; format = true; break;
            case 'u': if (unicode) return false; unicode = true; break;
            default: return false;
        }
    }
    if (unicode && name.size() > 1) return false;
    return !(bytes && format);
}

// Whether `name` is one of Python's keywords (not a soft keyword).
constexpr bool keyword(std::string_view name) noexcept {
    switch (name.size()) {
        case 2: return name == "as" || name == "if" || name == "in" || name == "is" || name == "or";
        case 3: return name == "and" || name == "def" || name == "del" || name == "for" || name == "not" || name == "try";
        case 4:
            return name == "None" || name == "True" || name == "elif" || name == "else" || name == "from" ||
                   name == "pass" || name == "with";
        case 5:
            return name == "False" || name == "async" || name == "await" || name == "break" || name == "class" ||
                   name == "raise" || name == "while" || name == "yield";
        case 6:
            return name == "assert" || name == "except" || name == "global" || name == "import" || name == "lambda" ||
                   name == "return";
        case 7: return name == "finally";
        case 8: return name == "continue" || name == "nonlocal";
        default: return false;
    }
}

// The length of the UTF-8 sequence at `p` (a byte above 0x7f) as Python's
// decoder accepts it: 0 when it is cut off at `end`, -1 when it is invalid
// (a bad lead byte, a bad continuation, an overlong form, a surrogate, a
// code point above U+10FFFF). Stores the code point when valid.
inline int decode_utf8(const char* p, const char* end, char32_t& code_point) noexcept {
    const auto* s = reinterpret_cast<const unsigned char*>(p);
    const std::size_t left = static_cast<std::size_t>(end - p);
    const unsigned char lead = s[0];
    int length;
    char32_t value;
    if (lead >= 0xc2 && lead <= 0xdf) {
        length = 2;
        value = lead & 0x1f;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3;
        value = lead & 0x0f;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 4;
        value = lead & 0x07;
    } else {
        return -1;
    }
    for (int k = 1; k < length; ++k) {
        if (static_cast<std::size_t>(k) >= left) return 0;
        const unsigned char next = s[k];
        unsigned char low = 0x80;
        unsigned char high = 0xbf;
        if (k == 1) {
            if (lead == 0xe0) low = 0xa0;
            if (lead == 0xed) high = 0x9f;
            if (lead == 0xf0) low = 0x90;
            if (lead == 0xf4) high = 0x8f;
        }
        if (next < low || next > high) return -1;
        value = (value << 6) | (next & 0x3f);
    }
    code_point = value;
    return length;
}

// The position after the line break at `q` ("\n", "\r\n" or "\r").
constexpr const char* after_line_break(const char* q, const char* end) noexcept {
    return (*q == '\r' && q + 1 < end && q[1] == '\n') ? q + 2 : q + 1;
}

}  // namespace scanner_core::python_chars
