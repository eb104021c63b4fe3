// Finding the next byte that matters, many bytes at a time, for the
// audit's pass over the lines that cannot hold an import. Each function
// returns the first position in [p, end) whose byte is of its set, or
// `end`. The vector forms are chosen once, by what the processor has.
// Never fail; thread-safe.
#pragma once

#include <cstddef>

namespace scanner_core {

// In a string's body: its quote, a backslash, a line end, or a byte above 0x7f.
const char* next_string_stop(const char* p, const char* end, char quote) noexcept;

// In an f-string's text: its quote, a brace, a backslash, a line end, or a
// byte above 0x7f.
const char* next_fstring_stop(const char* p, const char* end, char quote) noexcept;

// A line feed or a carriage return.
const char* next_line_end(const char* p, const char* end) noexcept;

// A byte that is not an ASCII letter, digit or '_': the end of a name, or
// a byte above 0x7f in it.
const char* next_non_name_byte(const char* p, const char* end) noexcept;

// The word "import" (as in `import`, `__import__`, `import_module`), the
// word "match" (which may open a match statement), or the name of another
// door to an importer: "exec", "eval", "compile", "getattr", "__loader__",
// "__spec__".
const char* next_trigger(const char* p, const char* end) noexcept;

// The length of the longest of those words: one found from a window's
// start must be searched for this many bytes, less one, beyond it.
inline constexpr std::size_t kLongestTrigger = 10;

}  // namespace scanner_core
