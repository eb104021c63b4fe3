// Passing over the logical lines of a Python source that cannot matter to
// the audit, many bytes at a time, without making tokens of them: most
// lines of most files hold no import, and reading them token by token would
// cost many times what reading the file costs.
#pragma once

#include <cstddef>
#include <cstdint>

namespace scanner_core {

// From the start of a logical line at `begin` (outside brackets and
// strings), returns how many bytes of whole logical lines it passes over:
// lines that hold the word "import" only in string literals and comments,
// that do not begin with the word "match", and that it reads exactly as
// Python's tokenizer does (strings with every prefix, f-strings with their
// replacement fields, comments, continuations, brackets). It stops at the
// start of the first line it cannot pass over: one that matters, one that
// Python would refuse, one that `end` cuts, or one too intricate for it,
// all of which are left to the tokenizer. Adds to `line_feeds` the line
// feeds it passed over. Never fails; thread-safe.
std::size_t skip_uninteresting_lines(const char* begin, const char* end, std::int64_t& line_feeds) noexcept;

}  // namespace scanner_core
