// A piece of a file with its 64-byte blocks classified once (LineMasks and CodeMasks),
// so that the stages of a file scan read the same masks instead of each
// classifying the same bytes again: the line scan its line heads, the
// audit's skipper its specials, brackets and words. Each part of a block
// is classified the first time a stage asks for it, so that the blocks a
// stage passes over without looking (a long line the line scan follows to
// its end, the lines the skipper leaves to the tokenizer) cost nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "kernels/kernels.hpp"

namespace scanner_core {

// The blocks lie on a grid from the piece's first byte: block k holds the
// bytes 64k to 64k + 63, the last perhaps cut by the piece's end (its bits
// past the end are those of NUL bytes, as classify_blocks says). Read by
// one thread at a time.
struct ClassifiedPiece {
    std::string_view text;
    // (text.size() + 63) / 64 of each, classified where its bit in `lined`
    // or `coded` says so; null: not classified.
    LineMasks* lines = nullptr;
    CodeMasks* code = nullptr;
    std::uint64_t* lined = nullptr;
    std::uint64_t* coded = nullptr;

    // Whether [from, to) lies in the text and its blocks are at hand.
    bool covers(const char* from, const char* to) const noexcept {
        return lines != nullptr && from >= text.data() && to <= text.data() + text.size() && from <= to;
    }

    // The `count` blocks from `first` (of those above), their line parts
    // classified. Never fails.
    const LineMasks* with_lines(std::size_t first, std::size_t count) const noexcept;

    // The code part of block `index` (of those above), classified. Never fails.
    const CodeMasks& with_code(std::size_t index) const noexcept {
        if ((coded[index / 64] >> (index % 64) & 1) == 0) classify_code(index);
        return code[index];
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

    // `piece`, whose blocks the stages have classified as they ask, valid
    // until the next call; unclassified when it is longer than a read
    // (kReadPieceSize). Throws std::bad_alloc (the first call allocates).
    ClassifiedPiece classify(std::string_view piece);

private:
    std::unique_ptr<LineMasks[]> lines_;
    std::unique_ptr<CodeMasks[]> code_;
    std::unique_ptr<std::uint64_t[]> lined_;
    std::unique_ptr<std::uint64_t[]> coded_;
};

}  // namespace scanner_core
