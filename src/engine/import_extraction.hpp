// Finding the import statements of a Python source text, line by line.
//
// A line-oriented recogniser, not a tokenizer: it knows nothing of strings,
// continuation lines or compound statements, and it records at most one
// module per line, for lines that begin (after blanks and tabs) with one of
// the three forms of import_patterns.hpp.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace scanner_core {

struct RawImport {
    std::string module;  // the captured name; for the relative form, the text after the dots
    // 1-based number of the physical line. 64 bits so that numbering stays
    // right past 2^31 lines instead of overflowing.
    std::int64_t line = 0;
    bool is_from = false;      // both from-forms
    bool is_relative = false;  // the relative from-form only
};

// Returns one record per line that holds a recognised statement, in line
// order. Lines end at line feeds only; every physical line is counted. Any
// bytes are accepted (NUL, invalid UTF-8, lines of any length), in time
// linear in the text and with constant stack. Throws std::bad_alloc only.
// Reentrant: keeps no state and may run on any number of threads at once.
std::vector<RawImport> extract_imports(std::string_view text);

}  // namespace scanner_core
