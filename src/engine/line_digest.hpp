// What identifies a finding's line from one run to the next: the SHA-256 of
// the line's text with its runs of ASCII whitespace made one space and its
// ends trimmed, as Python's b" ".join(line.split()) gives it. A moved line
// keeps its digest; a changed one does not.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "sha256.hpp"

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

}  // namespace scanner_core
