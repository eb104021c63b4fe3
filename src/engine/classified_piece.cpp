#include "classified_piece.hpp"

#include <cstring>

#include "source_file.hpp"

namespace scanner_core {
namespace {

constexpr std::size_t kMostBlocks = (kReadPieceSize + 63) / 64;
// Blocks whose code parts are classified at once.
constexpr std::size_t kCodeRun = 16;

}  // namespace

void ClassifiedPiece::classify_code(std::size_t index) const noexcept {
    const std::size_t count = (text.size() + 63) / 64;
    const std::size_t run = count - index < kCodeRun ? count - index : kCodeRun;
    kernels().classify_blocks(text.data() + 64 * index, run, text.data() + text.size(), kCodeMasks, blocks + index);
    for (std::size_t k = index; k < index + run; ++k) coded[k / 64] |= std::uint64_t{1} << (k % 64);
}

ClassifiedPiece PieceClassifier::classify(std::string_view piece) {
    const std::size_t blocks = (piece.size() + 63) / 64;
    if (blocks > kMostBlocks) return {piece, nullptr, nullptr};
    // Sized from the read, not from any file.
    if (!masks_) {
        masks_.reset(new BlockMasks[kMostBlocks]);
        coded_.reset(new std::uint64_t[(kMostBlocks + 63) / 64]);
    }
    kernels().classify_blocks(piece.data(), blocks, piece.data() + piece.size(), kLineMasks, masks_.get());
    std::memset(coded_.get(), 0, (blocks + 63) / 64 * sizeof(std::uint64_t));
    return {piece, masks_.get(), coded_.get()};
}

}  // namespace scanner_core
