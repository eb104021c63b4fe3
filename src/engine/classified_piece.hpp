// A piece of a file with its 64-byte blocks classified once (BlockMasks),
// so that the stages of a file scan read the same masks instead of each
// classifying the same bytes again: the line scan its line heads from every
// block, the audit's skipper its specials, brackets and words from the
// blocks it walks, which are classified for it the first time it asks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "kernels.hpp"

namespace scanner_core {

// The blocks lie on a grid from the piece's first byte: block k holds the
// bytes 64k to 64k + 63, the last perhaps cut by the piece's end (its bits
// past the end are those of NUL bytes, as classify_blocks says). Read by
// one thread at a time.
struct ClassifiedPiece {
    std::string_view text;
    // (text.size() + 63) / 64 of them, their line parts classified; null:
    // not classified.
    BlockMasks* blocks = nullptr;
    std::uint64_t* coded = nullptr;  // one bit a block: its code part is classified

    // Whether [from, to) lies in the text and its blocks are at hand.
    bool covers(const char* from, const char* to) const noexcept {
        return blocks != nullptr && from >= text.data() && to <= text.data() + text.size() && from <= to;
    }

    // Block `index` (of those above) with both parts classified. Never fails.
    const BlockMasks& with_code(std::size_t index) const noexcept {
        if ((coded[index / 64] >> (index % 64) & 1) == 0) classify_code(index);
        return blocks[index];
    }

private:
    // The code parts of a few blocks from `index` on: a walk that needs one
    // mostly needs those after it.
    void classify_code(std::size_t index) const noexcept;
};

// The masks of pieces of up to a read's size, kept from piece to piece.
// Not shared: one per thread.
class PieceClassifier {
public:
    PieceClassifier() noexcept = default;
    PieceClassifier(const PieceClassifier&) = delete;
    PieceClassifier& operator=(const PieceClassifier&) = delete;

    // `piece` with the line parts of its blocks classified by the active
    // kernels, valid until the next call; unclassified when it is longer
    // than a read (kReadPieceSize). Throws std::bad_alloc (the first call
    // allocates).
    ClassifiedPiece classify(std::string_view piece);

private:
    std::unique_ptr<BlockMasks[]> masks_;
    std::unique_ptr<std::uint64_t[]> coded_;
};

}  // namespace scanner_core
