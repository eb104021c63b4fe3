// Passing over the logical lines of a Python source that cannot matter to
// the audit, many bytes at a time, without making tokens of them: most
// lines of most files hold no import, and reading them token by token would
// cost many times what reading the file costs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "reading/classified_piece.hpp"

namespace scanner_core {

// Where the skipper reports the import statements it reads itself: lines
// such as `import a.b as c, d` or `from a.b import (x, y)`, made of ASCII
// names and nothing that needs tokens.
class StatementSink {
public:
    // An absolute import of `module` (with its leading dots when relative)
    // by the statement on `line` whose first byte is `start`, in the text
    // given. Throws std::bad_alloc only.
    virtual void statement_import(std::int64_t line, const char* start, std::string_view module) = 0;
    // Whether a statement that imports `module` (no leading dots) is to be
    // left to the tokenizer, for the names it binds. Throws std::bad_alloc only.
    virtual bool wants_tokens(std::string_view module) const = 0;

protected:
    ~StatementSink() = default;
};

// From the start of a logical line at `begin` (outside brackets and
// strings), returns how many bytes of whole logical lines it passes over:
// lines that hold the words "import" and "match" only in string literals
// and comments, and that it reads exactly as Python's tokenizer does
// (strings with every prefix, f-strings with their replacement fields,
// comments, continuations, brackets); and simple import statements, whose
// modules it gives to `sink`. It stops at the start of the first line it
// cannot pass over: one that matters, one that Python would refuse, one
// that `end` cuts, or one too intricate for it, all of which are left to
// the tokenizer. Adds to `line_feeds` the line feeds it passed over. Reads
// the blocks of `piece` where [begin, end) lies in it (any start in it),
// else classifies the bytes itself; the same either way. Throws
// std::bad_alloc only, from the sink; thread-safe.
std::size_t skip_uninteresting_lines(const char* begin, const char* end, std::int64_t& line_feeds, StatementSink& sink,
                                     const ClassifiedPiece* piece = nullptr);

}  // namespace scanner_core
