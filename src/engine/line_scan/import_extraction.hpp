// Finding the import statements of a Python source text, line by line.
//
// A line-oriented recogniser, not a tokenizer: it knows nothing of strings,
// continuation lines or compound statements, and it records at most one
// module per line, for lines that begin (after blanks and tabs) with one of
// the three forms of import_patterns.hpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "reading/classified_piece.hpp"
#include "line_scan/import_patterns.hpp"
#include "reading/name_loan.hpp"

namespace scanner_core {

struct RawImport {
    std::string module;  // the captured name; for the relative form, the text after the dots
    // 1-based number of the physical line. 64 bits so that numbering stays
    // right past 2^31 lines instead of overflowing.
    std::int64_t line = 0;
    bool is_from = false;      // both from-forms
    bool is_relative = false;  // the relative from-form only
    std::int64_t column = 0;   // as FoundImport::column
};

// One statement as extraction finds it, handed to an ImportSink: the name
// is a view that lasts for the call only, so that finding a statement
// costs no allocation.
struct FoundImport {
    std::string_view module;  // as RawImport::module
    // The name's own string when it had to be gathered across pieces (a
    // receiver may move it away), or null.
    std::string* gathered = nullptr;
    std::int64_t line = 0;
    bool is_from = false;
    bool is_relative = false;
    // 1-based, in characters: the statement's first byte past the line's
    // leading blanks and tabs, which are one character each.
    std::int64_t column = 0;
    // The name as lent (see name_loan.hpp), which `module` views, when it
    // was: a receiver may share it. Null otherwise.
    const std::shared_ptr<std::string>* lent = nullptr;
    // The bytes before the name in *gathered, left free at the receiver's
    // asking (ImportSink::room_before); `module` views the rest.
    std::size_t room = 0;
    // `module` is the name's first NameRoom::kStartShown bytes only: the
    // receiver asked for no more (ImportSink::room_before).
    bool cut = false;
};

// What extraction hands each statement to, in line order.
class ImportSink {
public:
    virtual ~ImportSink() = default;
    // May throw; the exception leaves feed or finish.
    virtual void found(const FoundImport& import) = 0;
    // Asked once for a long name (past a read's piece) still being gathered on line
    // `line`, whose first bytes are `start` (see NameRoom): how many bytes
    // to leave free before it in its string, for found() to write its own
    // text in (FoundImport::room), or NameRoom::kStartOnly to be handed only
    // those first bytes (FoundImport::cut). None unless overridden; never
    // asked while names are lent. May throw std::bad_alloc.
    virtual std::size_t room_before(std::string_view /*start*/, std::int64_t /*line*/, bool /*is_from*/,
                                    bool /*is_relative*/) {
        return 0;
    }
};

// Extraction over a text that arrives in pieces of any size, such as the
// reads of a file through one fixed buffer. The state it carries from one
// piece to the next is small and bounded: the line counter, where the lines
// start, the last bytes of a piece (less than a block) and the line that
// runs across the end of a piece, as far as its verdict has got. A line of
// any length costs no more than the module name it captures.
// Extraction looks at the text in blocks of this many bytes.
inline constexpr std::size_t kExtractionBlock = 64;

class ImportExtractor {
public:
    ImportExtractor() noexcept = default;
    ImportExtractor(const ImportExtractor&) = delete;
    ImportExtractor& operator=(const ImportExtractor&) = delete;

    // Takes the next piece of the text and appends to `out`, in line order,
    // the records of the lines decided so far. Throws std::bad_alloc only.
    void feed(std::string_view piece, std::vector<RawImport>& out);

    // The text has ended: appends the records of the lines still open.
    // Throws std::bad_alloc only. The extractor takes no more pieces after.
    void finish(std::vector<RawImport>& out);

    // feed and finish handing each statement to `out` as it is found. Throw
    // std::bad_alloc, or what `out` throws.
    void feed(std::string_view piece, ImportSink& out);
    void finish(ImportSink& out);

    // feed, reading the line heads from `blocks`, the piece's classified
    // blocks (whose text is `piece`), where they lie on extraction's own
    // grid; null: classifying the blocks here. The same records either way.
    void feed(std::string_view piece, ImportSink& out, const ClassifiedPiece* blocks);

    // Lends the long names gathered across pieces to `loan` (which must
    // outlive the extractor) and hands them on as lent. Call before the
    // first piece. Never fails.
    void lend_to(NameLoan* loan) noexcept { loan_ = loan; }

    // Keeps in `spare` (which must outlive the extractor) the room of a long
    // name that no sink took away, for the next long name, here or in the
    // next text, to be gathered in: a line that ends up reporting nothing
    // then costs no memory the process has not had already. Only while no
    // names are lent. Never fails.
    void keep_spare(std::string* spare) noexcept { spare_ = spare; }

private:
    // The offset in the text of `at`, a byte of the piece being fed or of
    // the carried block.
    std::uint64_t offset_of(const char* at) const noexcept;
    // Of the bytes from `data`: the first `blocks` whole blocks (each with
    // the byte after it readable), or, at the end, the rest padded; `grid`:
    // those blocks classified, or null.
    void scan_segment(std::string_view data, std::size_t blocks, bool last, ImportSink& out,
                      const ClassifiedPiece* grid = nullptr);
    // Starts matching the candidate line `line` that runs past the bytes
    // scanned, and leaves it open if it is not decided yet.
    void open_line(std::string_view line, std::int64_t number, std::int64_t column, ImportSink& out);
    // Ends the open line once `verdict` decides it, with its record if it matched.
    // Keeps the room of the open line's name, where no sink took it, in spare_.
    void keep_room() noexcept;
    void settle(SegmentedLineMatch::Verdict verdict, ImportSink& out);
    // Goes on with the open line up to its end within the bytes scanned, and
    // returns where that end is (`scanned` when it runs past them).
    std::size_t continue_open_line(std::string_view data, std::size_t scanned, bool last, ImportSink& out);

    std::int64_t lines_before_ = 0;  // line feeds before the next unscanned byte
    std::uint64_t starts_in_ = 1;    // the next block's first byte starts a line, or continues its lead
    // A piece's bytes past its last whole block, with room for the byte
    // after them that classifying a block needs.
    char carry_[kExtractionBlock + 1] = {};
    std::size_t carry_size_ = 0;
    // The candidate line that ran past the bytes scanned so far.
    bool line_open_ = false;
    std::int64_t open_line_number_ = 0;
    std::int64_t open_line_column_ = 0;
    // Blanks and tabs that end the bytes scanned so far and run back to a
    // line's start: the lead of a line whose statement starts past them.
    std::int64_t lead_before_ = 0;
    SegmentedLineMatch open_line_;
    // Where the bytes are in the text, for the names lent.
    NameLoan* loan_ = nullptr;
    std::string* spare_ = nullptr;  // see keep_spare
    std::uint64_t fed_ = 0;           // bytes of the pieces fed so far
    const char* piece_ = nullptr;     // the piece being fed, from its offset
    std::uint64_t piece_offset_ = 0;
    std::uint64_t carry_offset_ = 0;  // of carry_'s first byte
    std::uint64_t open_line_offset_ = 0;
};

// Returns one record per line that holds a recognised statement, in line
// order: the whole text as a single piece. Lines end at line feeds only;
// every physical line is counted. Any bytes are accepted (NUL, invalid
// UTF-8, lines of any length), in time linear in the text and with constant
// stack. Throws std::bad_alloc only. Reentrant: keeps no state and may run
// on any number of threads at once.
std::vector<RawImport> extract_imports(std::string_view text);

}  // namespace scanner_core
