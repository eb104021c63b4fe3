// What identifies a finding's line from one run to the next: the SHA-256 of
// the line's text with its runs of ASCII whitespace made one space and its
// ends trimmed, as Python's b" ".join(line.split()) gives it. A moved line
// keeps its digest; a changed one does not.
//
// The scan digests the lines of its findings from the pieces it reads
// (LineDigester); line_digests reads back the few it could not hold.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "reading/scan_stage.hpp"
#include "kernels/sha256.hpp"

namespace scanner_core {

// The normalised text of one line, hashed as its pieces come, so that a
// line of any length costs no more memory than a piece.
class NormalisedLine {
public:
    // Adds the next piece of the line (no line feed in it). Never fails.
    void update(std::string_view piece) noexcept;

    // The digest of the line so far. Never fails.
    Sha256::Digest digest() const noexcept { return hash_.digest(); }

private:
    Sha256 hash_;
    bool started_ = false;  // a word has been hashed
    bool space_ = false;    // whitespace seen since the last word
};

struct LineDigest {
    std::int64_t line;  // 1-based, lines ending at line feeds as the scan counts them
    Sha256::Digest digest;
};

// Reads `path` once, up to the end of the last line of `lines` (sorted,
// 1-based), in pieces of 64 KiB, and returns the digest of each of those
// lines that the file has, in order (a file of n line feeds has n + 1
// lines, the last one empty when it ends with a line feed). A file that
// cannot be opened or read, or is not a regular file (it is opened without
// waiting, so a FIFO put in its place does not hold the caller), gives
// none. Throws std::bad_alloc only. Thread-safe.
std::vector<LineDigest> line_digests(const std::string& path, const std::vector<std::int64_t>& lines);

// Which lines hold findings, as the stages of a file scan make them.
class FindingLines {
public:
    virtual ~FindingLines() = default;
    // Appends to `out` the lines (1-based) of the findings made since the
    // last call, in any order, repeats allowed. Throws std::bad_alloc only.
    virtual void made_since(std::vector<std::int64_t>& out) = 0;
};

// A stage of a file scan, fed after the stages that make findings: it
// digests each finding's line from the pieces as they pass, a line that
// spans pieces through a running hash, so that the file is not read again
// and a line of any length costs no more memory than a piece. A finding
// made after its line has passed (a stage that decides a line only with
// the next piece) is served from the digests of the last lines of the
// previous piece, taken ahead (an import line up to a MiB past its piece);
// a line no piece held when its finding was made gets no digest here, and
// is left to line_digests.
class LineDigester final : public ScanStage {
public:
    // `lines` must outlive the stage. `full`: the size of a full piece; a
    // shorter one is taken to be the file's last, whose lines are still
    // held when the stage finishes. Never fails.
    LineDigester(FindingLines& lines, std::size_t full) noexcept : lines_(lines), full_(full) {}

    // Throw std::bad_alloc only.
    void feed(std::string_view piece) override;
    void finish() override;

    // After finish: the digests made, sorted by line, one a line; some may
    // be of lines whose findings were dropped since. Never fails.
    std::vector<LineDigest>& digests() noexcept { return made_; }

private:
    // Takes the lines found since the last call: those still ahead are
    // wanted, those passed are taken from the digests held ahead.
    void take_found();
    // Digests the wanted lines that start in the piece, up to the first
    // line that starts at or past `limit`.
    void digest_wanted(std::size_t limit);
    // Moves to the start of line `target` (or, for the line running
    // across pieces, where this piece continues it); false when the piece
    // ends first, or a line starts at or past `limit` first.
    bool skip_to(std::int64_t target, std::size_t limit);
    // Hashes the current line up to its line feed, then ends it; false when
    // the piece ends first (the line runs on into the next piece).
    bool hash_line();
    // Goes on with a line taken ahead, as far as it is worth it; false when
    // the piece ends first.
    bool run_on();
    // Digests ahead the last lines of a full piece, which a stage may
    // report only once it has the next piece.
    void digest_ahead();
    // Whether the line from `start` reads as the line scan's candidate
    // (an import or from statement), which is worth hashing however long.
    static bool candidate(std::string_view start) noexcept;

    FindingLines& lines_;
    const std::size_t full_;
    std::string_view piece_;       // the piece being read; at the end, the file's last
    std::size_t at_ = 0;           // offset in piece_ of the next byte not passed
    std::int64_t line_ = 1;        // the line that byte belongs to
    bool begun_ = false;           // line_ began before at_ (in this piece or an earlier one)
    bool running_ = false;         // current_ holds line_ from its start up to at_
    bool ahead_ = false;           // ... taken ahead: wanted by no finding yet
    bool worth_ = false;           // ... and a candidate, kept running longer than a piece
    std::size_t ahead_bytes_ = 0;  // ... of which this many bytes were hashed past its first piece
    NormalisedLine current_;
    std::vector<std::int64_t> found_;    // reused by take_found
    std::vector<std::int64_t> wanted_;   // lines ahead that hold findings, sorted, unique
    std::size_t next_ = 0;               // the first of wanted_ not yet digested
    std::vector<LineDigest> made_;       // the digests of the lines of findings
    std::vector<LineDigest> held_;       // taken ahead, of the last lines of the last full pieces
    std::size_t held_before_ = 0;        // how many of held_ came before the previous piece
    bool short_ = false;                 // the piece read was short: the last, or lines are lost
    bool lost_ = false;                  // a short piece was not the last: nothing more is digested
};

}  // namespace scanner_core
