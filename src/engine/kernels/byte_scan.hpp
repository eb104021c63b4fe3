// Finding the next byte that matters, many bytes at a time, for the
// audit's pass over the lines that cannot hold an import. Each function
// returns the first position in [p, end) whose byte is of its set, or
// `end`, through the active kernels (kernels.hpp). Never fail; thread-safe.
#pragma once

#include <cstddef>

#include "kernels/kernels.hpp"

namespace scanner_core {

// In a string's body: its quote, a backslash, a line end, or a byte above 0x7f.
inline const char* next_string_stop(const char* p, const char* end, char quote) noexcept {
    return kernels().string_stop(p, end, quote);
}

// In a triple-quoted string's body: its quote, a backslash, a carriage
// return, or a byte above 0x7f; the line feeds before it are added to
// `line_feeds`.
inline const char* next_triple_stop(const char* p, const char* end, char quote, std::int64_t& line_feeds) noexcept {
    return kernels().triple_stop(p, end, quote, line_feeds);
}

// In an f-string's text: its quote, a brace, a backslash, a line end, or a
// byte above 0x7f.
inline const char* next_fstring_stop(const char* p, const char* end, char quote) noexcept {
    return kernels().fstring_stop(p, end, quote);
}

// A line feed or a carriage return.
inline const char* next_line_end(const char* p, const char* end) noexcept { return kernels().line_end(p, end); }

// A byte that is not an ASCII letter, digit or '_': the end of a name, or
// a byte above 0x7f in it.
inline const char* next_non_name_byte(const char* p, const char* end) noexcept { return kernels().non_name(p, end); }

// The word "import" (as in `import`, `__import__`, `import_module`), the
// word "match" (which may open a match statement), or the name of another
// door to an importer: "exec", "eval", "compile", "getattr", "__loader__",
// "__spec__".
inline const char* next_trigger(const char* p, const char* end) noexcept { return kernels().trigger(p, end); }

// The length of the longest of those words: one found from a window's
// start must be searched for this many bytes, less one, beyond it.
inline constexpr std::size_t kLongestTrigger = 10;

}  // namespace scanner_core
