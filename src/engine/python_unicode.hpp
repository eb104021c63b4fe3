// Python 3.13's view of Unicode text, for the audit: which characters make
// identifiers, how identifiers are normalised (NFKC), and which characters
// print as they are. The tables come from the interpreter's own Unicode
// database when the engine is built, so they follow exactly the Unicode
// version of the Python that runs the plugins.
#pragma once

#include <string>
#include <string_view>

namespace scanner_core::unicode {

// Whether `c` may begin an identifier: as `c.isidentifier()` ('_' included).
// Never fails; thread-safe, as is everything here.
bool is_identifier_start(char32_t c) noexcept;

// Whether `c` may continue an identifier: as `("a" + c).isidentifier()`.
bool is_identifier_continue(char32_t c) noexcept;

// Whether `c` prints as it is: as `c.isprintable()`.
bool is_printable(char32_t c) noexcept;

// Appends to `out` the NFKC form of `utf8`, as unicodedata.normalize("NFKC", ...)
// gives it. `utf8` must be valid UTF-8, surrogates allowed (encoded as
// three bytes), which pass through unchanged. Throws std::bad_alloc only.
void append_nfkc(std::string_view utf8, std::string& out);

// Appends `utf8` to `out` with every character that does not print written
// as Python's unicode_escape codec writes it ("\x1b", "\u200b", "\n", ...),
// and every other character as it is. Input as for append_nfkc. Throws
// std::bad_alloc only.
void append_printable(std::string_view utf8, std::string& out);

}  // namespace scanner_core::unicode
