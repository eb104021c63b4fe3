#include "line_scan/import_extraction.hpp"

#include <cstdint>
#include <cstring>

#include "kernels/bit_count.hpp"
#include "line_scan/import_patterns.hpp"
#include "kernels/kernels.hpp"

namespace scanner_core {
namespace {

// The text is examined in blocks of 64 bytes, each reduced to bit masks
// (bit k stands for byte k of the block). From them a few integer
// operations give the first byte after the leading blanks and tabs of every
// line that starts in the block, so an ordinary line costs a handful of
// instructions; only lines that begin with "fr" or "im" go further.
//
// A first pass, the active kernels' line_chunk, turns a chunk of up to 64
// blocks into masks (or line_chunk_of, from the blocks a file scan has
// classified once for all its stages); a second, plain pass visits only
// the blocks that hold a candidate line. Classifying a block reads one byte
// beyond it, for the second letters.
constexpr std::size_t kBlock = kExtractionBlock;
static_assert(kBlock == 64, "extraction's blocks are the kernels'");

inline std::uint32_t load32(const char* bytes) noexcept {
    std::uint32_t word;
    std::memcpy(&word, bytes, sizeof word);
    return word;
}

// Whether the bytes at `pos`, which hold "fr" or "im", are known not to
// start the keyword of their form: a cheap test made before the line's end
// is looked for. Where the text shown so far is too short to tell, the
// line is matched all the same.
inline bool not_a_keyword(std::string_view text, std::size_t pos) noexcept {
    const char* const at = text.data() + pos;
    const std::size_t left = text.size() - pos;
    if (left >= 8) {
        // Both keywords at once, without a branch on which one it is.
        std::uint64_t word;
        std::memcpy(&word, at, sizeof word);
        std::uint64_t from = 0, import = 0;
        std::memcpy(&from, "from", 4);
        std::memcpy(&import, "import", 6);
        return (word & 0xffffffffu) != from && (word & 0xffffffffffffu) != import;
    }
    if (*at == 'f') return left >= 4 && load32(at) != load32("from");
    return left >= 6 && !(load32(at) == load32("impo") && at[4] == 'r' && at[5] == 't');
}

// Tries the forms in the order that keeps a relative statement from being
// taken for an absolute one. A line starting with "f" cannot be a plain
// import and one starting with "i" cannot be a from-import, so only the
// forms that can match are tried. `line` starts at the statement's first
// letter: the patterns' leading `\s*` has already been skipped, which
// changes neither whether they match nor what they capture.
//
// Of the from-forms, only the relative one can match a name that starts
// with a dot, and only the absolute one any other, so the byte where the
// name starts picks the one to try.
void match_line(std::string_view line, std::int64_t number, std::int64_t column, ImportSink& imports) {
    PatternMatch match;
    if (line[0] == 'f') {
        const std::size_t name = line.size() > 4 ? pattern_detail::skip(line, 4, pattern_detail::kSpace) : line.size();
        if (name < line.size() && line[name] == '.') {
            if (RE_FROM_REL.match(line, match)) {
                imports.found(FoundImport{match.group2, nullptr, number, true, true, column});
            }
        } else if (RE_FROM_ABS.match(line, match)) {
            imports.found(FoundImport{match.group1, nullptr, number, true, false, column});
        }
        return;
    }
    if (RE_IMPORT.match(line, match)) imports.found(FoundImport{match.group1, nullptr, number, false, false, column});
}

// The sink of the vector interface: a record per statement.
class RecordSink final : public ImportSink {
public:
    explicit RecordSink(std::vector<RawImport>& records) noexcept : records_(records) {}
    void found(const FoundImport& import) override {
        records_.push_back(RawImport{import.gathered != nullptr && import.room == 0 ? std::move(*import.gathered)
                                                                                    : std::string(import.module),
                                     import.line, import.is_from, import.is_relative, import.column});
    }

private:
    std::vector<RawImport>& records_;
};

// A sink's answer to the open line's NameRoom question, with the line's number.
// and the extractor's spare room.
class SinkRoom final : public NameRoom {
public:
    SinkRoom(ImportSink& sink, std::int64_t line, std::string* spare) noexcept
        : sink_(sink), line_(line), spare_(spare) {}
    std::size_t room_before(std::string_view start, bool is_from, bool is_relative) override {
        return sink_.room_before(start, line_, is_from, is_relative);
    }
    std::string* spare_room() noexcept override { return spare_; }

private:
    ImportSink& sink_;
    std::int64_t line_;
    std::string* spare_;
};

// Matches the candidate lines of one block whose end lies in the bytes
// scanned (or that end with the text, when all of it is scanned).
// `next_feeds` holds the line feeds of the next block when it is in the
// chunk (`next_in_chunk`), 0 otherwise; `feeds_before` counts the line feeds before the block. Returns where a
// candidate line that runs on past the bytes scanned begins, with its number
// in `open_number`, or npos; only the block's last candidate can.
__attribute__((always_inline)) inline std::size_t take_candidates(std::string_view data, std::size_t scanned,
                                                                  std::size_t base, std::uint64_t feeds,
                                                                  std::uint64_t candidates,
                                                                  std::uint64_t next_feeds, bool next_in_chunk,
                                                                  std::int64_t feeds_before,
                                                                  std::int64_t lead_before, ImportSink& out,
                                                                  std::int64_t& open_number,
                                                                  std::int64_t& open_column) {
    for (; candidates != 0; candidates &= candidates - 1) {
        const int bit = __builtin_ctzll(candidates);
        const std::size_t pos = base + static_cast<std::size_t>(bit);
        if (not_a_keyword(data, pos)) continue;
        const std::int64_t number = feeds_before + bit_count(feeds & ((std::uint64_t{1} << bit) - 1)) + 1;
        const std::uint64_t feeds_after = feeds & ~((std::uint64_t{2} << bit) - 1);
        // Back over the line's lead, which is its blanks alone: each line's
        // lead is passed over once.
        std::size_t lead = pos;
        while (lead > 0 && (data[lead - 1] == ' ' || data[lead - 1] == '\t')) --lead;
        const std::int64_t column = static_cast<std::int64_t>(pos - lead) + (lead == 0 ? lead_before : 0) + 1;
        std::size_t end = scanned;
        if (feeds_after != 0) {
            end = base + static_cast<std::size_t>(__builtin_ctzll(feeds_after));
        } else if (next_feeds != 0) {
            end = base + kBlock + static_cast<std::size_t>(__builtin_ctzll(next_feeds));
        } else {
            // Past the next block when it is in the chunk: it has no line feed.
            const std::size_t known = base + (next_in_chunk ? 2 : 1) * kBlock;
            const std::size_t from = known < scanned ? known : scanned;
            const void* const feed = std::memchr(data.data() + from, '\n', scanned - from);
            if (feed != nullptr) end = static_cast<std::size_t>(static_cast<const char*>(feed) - data.data());
        }
        if (end == scanned && scanned != data.size()) {
            open_number = number;
            open_column = column;
            return pos;
        }
        match_line(data.substr(pos, end - pos), number, column, out);
    }
    return std::string_view::npos;
}

}  // namespace

std::uint64_t ImportExtractor::offset_of(const char* at) const noexcept {
    const auto address = reinterpret_cast<std::uintptr_t>(at);
    const auto carry = reinterpret_cast<std::uintptr_t>(carry_);
    if (address >= carry && address < carry + sizeof carry_) return carry_offset_ + (address - carry);
    return piece_offset_ + (address - reinterpret_cast<std::uintptr_t>(piece_));
}

void ImportExtractor::settle(SegmentedLineMatch::Verdict verdict, ImportSink& out) {
    line_open_ = verdict == SegmentedLineMatch::Verdict::undecided;
    std::string& name = open_line_.gathered();
    if (loan_ != nullptr && name.size() >= NameLoan::kShortest) {
        // Lent as it grows, and whatever the verdict: the audit reads the
        // same name wherever it stands.
        const std::uint64_t start = open_line_offset_ + open_line_.name_offset();
        loan_->lend(start, open_line_.share());
        if (line_open_) return;
        loan_->settled();
        const bool matched = verdict == SegmentedLineMatch::Verdict::matched;
        const bool from = open_line_.is_from();
        const bool relative = open_line_.is_relative();
        // The line's name is shared by the loan and its receivers alone, so
        // that the last of them may move it instead of copying it.
        open_line_ = SegmentedLineMatch{};
        if (!matched) return;
        const std::shared_ptr<std::string>* lent = loan_->find(start).name;
        out.found(FoundImport{**lent, nullptr, open_line_number_, from, relative, open_line_column_, lent});
        return;
    }
    if (verdict != SegmentedLineMatch::Verdict::matched) return;
    out.found(FoundImport{open_line_.module(), &name, open_line_number_, open_line_.is_from(),
                          open_line_.is_relative(), open_line_column_, nullptr, open_line_.room(),
                          open_line_.cut()});
}

void ImportExtractor::keep_room() noexcept {
    if (spare_ == nullptr || loan_ != nullptr) return;
    std::string& room = open_line_.gathered();
    if (room.capacity() > spare_->capacity()) {
        room.clear();
        room.swap(*spare_);
    }
}

void ImportExtractor::open_line(std::string_view line, std::int64_t number, std::int64_t column, ImportSink& out) {
    keep_room();
    open_line_ = SegmentedLineMatch{};
    open_line_number_ = number;
    open_line_column_ = column;
    open_line_offset_ = offset_of(line.data());
    SinkRoom room(out, number, spare_);
    settle(open_line_.feed(line, loan_ != nullptr ? nullptr : &room), out);
}

std::size_t ImportExtractor::continue_open_line(std::string_view data, std::size_t scanned, bool last,
                                                ImportSink& out) {
    const void* const feed = scanned > 0 ? std::memchr(data.data(), '\n', scanned) : nullptr;
    const std::size_t end = feed != nullptr ? static_cast<std::size_t>(static_cast<const char*>(feed) - data.data())
                                            : scanned;
    SinkRoom room(out, open_line_number_, spare_);
    SegmentedLineMatch::Verdict verdict = open_line_.feed(data.substr(0, end), loan_ != nullptr ? nullptr : &room);
    if (verdict == SegmentedLineMatch::Verdict::undecided && (feed != nullptr || last)) verdict = open_line_.end();
    settle(verdict, out);
    return end;
}

// `last`: `data` is the end of the text, in a block whose bytes past
// data.size() are readable padding that is in no mask.
void ImportExtractor::scan_segment(std::string_view data, std::size_t blocks, bool last, ImportSink& out,
                                   const ClassifiedPiece* grid) {
    const std::size_t scanned = last ? data.size() : blocks * kBlock;
    std::size_t block = 0;
    if (line_open_) {
        // The blocks before the open line's end hold no line feed and so no
        // line start: only the block where it ends needs classifying.
        const std::size_t end = continue_open_line(data, scanned, last, out);
        if (end == scanned) {
            starts_in_ = 0;
            lead_before_ = 0;
            return;
        }
        block = end / kBlock;
        starts_in_ = 0;
    }

    LineChunk masks;
    while (block < blocks) {
        const std::size_t base = block * kBlock;
        const std::size_t count = blocks - block < LineChunk::kBlocks ? blocks - block : LineChunk::kBlocks;
        starts_in_ = grid != nullptr
                         ? kernels().line_chunk_of(grid->with_lines(block, count), count, starts_in_, masks)
                         : kernels().line_chunk(data.data() + base, count, starts_in_, masks);
        bool runs_past = false;
        for (std::uint32_t k = 0; k < masks.busy_count; ++k) {
            const LineChunk::Busy& busy = masks.busy[k];
            std::int64_t number = 0;
            std::int64_t column = 0;
            const std::size_t open = take_candidates(data, scanned, base + std::size_t{busy.block} * kBlock,
                                                     busy.feeds, busy.candidates, masks.feeds[busy.block + 1],
                                                     busy.block + 1 < count, lines_before_ + busy.feeds_before,
                                                     lead_before_, out, number, column);
            if (open != std::string_view::npos) {
                open_line(data.substr(open, scanned - open), number, column, out);
                runs_past = true;
            }
        }
        lines_before_ += masks.feed_count;
        // A line that runs past the bytes scanned leaves no line feed, and
        // so nothing to find, in the chunks after this one.
        if (runs_past) {
            starts_in_ = 0;
            lead_before_ = 0;
            return;
        }
        block += count;
    }
    // The lead the next bytes may continue: the blanks that end these.
    std::size_t lead = scanned;
    while (lead > 0 && (data[lead - 1] == ' ' || data[lead - 1] == '\t')) --lead;
    lead_before_ = static_cast<std::int64_t>(scanned - lead) + (lead == 0 ? lead_before_ : 0);
}

void ImportExtractor::feed(std::string_view piece, ImportSink& out) { feed(piece, out, nullptr); }

void ImportExtractor::feed(std::string_view piece, ImportSink& out, const ClassifiedPiece* blocks) {
    piece_ = piece.data();
    piece_offset_ = fed_;
    fed_ += piece.size();
    if (carry_size_ > 0) {
        // Complete the carried block, and the byte after it, from the piece.
        const std::size_t wanted = sizeof carry_ - carry_size_;
        const std::size_t take = piece.size() < wanted ? piece.size() : wanted;
        std::memcpy(carry_ + carry_size_, piece.data(), take);
        carry_size_ += take;
        if (carry_size_ < sizeof carry_) return;
        scan_segment(std::string_view(carry_, sizeof carry_), 1, false, out);
        carry_size_ = 0;
        piece.remove_prefix(take - 1);  // the byte after the block starts the rest
        if (take > 1) blocks = nullptr;  // off the piece's grid
    }
    if (piece.empty()) return;
    const std::size_t whole = (piece.size() - 1) / kBlock;
    if (whole > 0) scan_segment(piece, whole, false, out, blocks);
    carry_size_ = piece.size() - whole * kBlock;
    carry_offset_ = offset_of(piece.data() + whole * kBlock);
    std::memcpy(carry_, piece.data() + whole * kBlock, carry_size_);
}

void ImportExtractor::finish(ImportSink& out) {
    if (carry_size_ > 0) {
        std::memset(carry_ + carry_size_, 0, sizeof carry_ - carry_size_);
        scan_segment(std::string_view(carry_, carry_size_), 1, true, out);
        carry_size_ = 0;
    } else if (line_open_) {
        continue_open_line({}, 0, true, out);
    }
    keep_room();
}

void ImportExtractor::feed(std::string_view piece, std::vector<RawImport>& out) {
    RecordSink sink(out);
    feed(piece, sink);
}

void ImportExtractor::finish(std::vector<RawImport>& out) {
    RecordSink sink(out);
    finish(sink);
}

std::vector<RawImport> extract_imports(std::string_view text) {
    std::vector<RawImport> imports;
    imports.reserve(32);
    ImportExtractor extractor;
    extractor.feed(text, imports);
    extractor.finish(imports);
    return imports;
}

}  // namespace scanner_core
