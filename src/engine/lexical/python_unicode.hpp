// Python 3.13's view of Unicode text, for the audit: which characters make
// identifiers, how identifiers are normalised (NFKC), and which characters
// print as they are. The tables come from the interpreter's own Unicode
// database when the engine is built, so they follow exactly the Unicode
// version of the Python that runs the plugins.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace scanner_core::unicode {

// The version of the Unicode database the tables come from ("15.1.0" for
// Python 3.13), as unicodedata.unidata_version gives it.
const char* unicode_version() noexcept;

// Whether `c` may begin an identifier: as `c.isidentifier()` ('_' included).
// Never fails; thread-safe, as is everything here.
bool is_identifier_start(char32_t c) noexcept;

// Whether `c` may continue an identifier: as `("a" + c).isidentifier()`.
bool is_identifier_continue(char32_t c) noexcept;

// Whether the NFKC form of any text that holds `c` holds a character
// beyond ASCII (true for most characters above U+007F; false for those that
// fold to ASCII letters, such as fullwidth forms, and for ASCII itself): a
// name that holds such a character is no ASCII word, keyword or otherwise.
bool folds_beyond_ascii(char32_t c) noexcept;

// Whether `c` prints as it is: as `c.isprintable()`.
bool is_printable(char32_t c) noexcept;

// One character of UTF-8 text, as decode_utf8 reads it.
struct Utf8Char {
    char32_t code_point;  // kNotUtf8 when the bytes there begin no valid sequence
    std::size_t length;   // bytes read: the sequence's, 1 for a byte that begins none
};
inline constexpr char32_t kNotUtf8 = 0xFFFFFFFF;

// Decodes the character that begins at `utf8[at]`. Surrogates (ED A0 80 ..
// ED BF BF) are accepted; overlong forms, code points above U+10FFFF, stray
// continuation bytes and cut sequences are not. `at` past the end gives
// {kNotUtf8, 0}. Never fails.
Utf8Char decode_utf8(std::string_view utf8, std::size_t at) noexcept;

// Appends `c` (at most U+10FFFF, surrogates included) to `out` as UTF-8;
// a larger value is written as U+FFFD. Throws std::bad_alloc only.
void append_utf8(char32_t c, std::string& out);

// Appends to `out` the NFKC form of `utf8`, as unicodedata.normalize("NFKC", ...)
// gives it. `utf8` must be valid UTF-8, surrogates allowed (encoded as
// three bytes), which pass through unchanged; a byte that begins no valid
// sequence passes through unchanged too, and nothing composes across it.
// Allocates nothing but the output, unless a starter and what may combine
// with it (a run of combining marks) are more than 64 code points. Throws
// std::bad_alloc only.
void append_nfkc(std::string_view utf8, std::string& out);

// Appends `utf8` to `out` with every character that does not print written
// as Python's unicode_escape codec writes it ("\x1b", "\u200b", "\n", ...),
// and every other character as it is. Input as for append_nfkc; a byte that
// begins no valid sequence is written "\xhh". Throws std::bad_alloc only.
void append_printable(std::string_view utf8, std::string& out);

}  // namespace scanner_core::unicode
