// Provisional: ASCII only, until the tables generated from the interpreter land.
#include "python_unicode.hpp"

#include <cstdio>

namespace scanner_core::unicode {

bool is_identifier_start(char32_t c) noexcept {
    return c == '_' || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool is_identifier_continue(char32_t c) noexcept { return is_identifier_start(c) || (c >= '0' && c <= '9'); }

bool is_printable(char32_t c) noexcept { return c >= 0x20 && c < 0x7f; }

void append_nfkc(std::string_view utf8, std::string& out) { out.append(utf8); }

void append_printable(std::string_view utf8, std::string& out) {
    for (const char ch : utf8) {
        const auto c = static_cast<unsigned char>(ch);
        if (c >= 0x20 && c != 0x7f) {
            out.push_back(ch);
            continue;
        }
        char escape[5];
        std::snprintf(escape, sizeof escape, "\\x%02x", c);
        out.append(escape);
    }
}

}  // namespace scanner_core::unicode
