#include "reading/classified_piece.hpp"

#include <cstring>

#include "reading/source_file.hpp"

namespace scanner_core {
namespace {

constexpr std::size_t kMostBlocks = (kReadPieceSize + 63) / 64;
constexpr std::size_t kWords = (kMostBlocks + 63) / 64;
// Blocks whose code parts are classified at once.
constexpr std::size_t kCodeRun = 16;

inline bool has(const std::uint64_t* bits, std::size_t k) noexcept { return (bits[k / 64] >> (k % 64) & 1) != 0; }
inline void set(std::uint64_t* bits, std::size_t k) noexcept { bits[k / 64] |= std::uint64_t{1} << (k % 64); }

}  // namespace

const LineMasks* ClassifiedPiece::with_lines(std::size_t first, std::size_t count) const noexcept {
    const char* const end = text.data() + text.size();
    // Each run of blocks not yet classified, at once.
    for (std::size_t k = first; k < first + count;) {
        if (has(lined, k)) {
            ++k;
            continue;
        }
        std::size_t run = k;
        while (run < first + count && !has(lined, run)) set(lined, run++);
        kernels().classify_blocks(text.data() + 64 * k, run - k, end, lines + k, nullptr);
        k = run;
    }
    return lines + first;
}

void ClassifiedPiece::classify_code(std::size_t index) const noexcept {
    const std::size_t count = (text.size() + 63) / 64;
    const std::size_t run = count - index < kCodeRun ? count - index : kCodeRun;
    kernels().classify_blocks(text.data() + 64 * index, run, text.data() + text.size(), nullptr, code + index);
    for (std::size_t k = index; k < index + run; ++k) set(coded, k);
}

ClassifiedPiece PieceClassifier::classify(std::string_view piece) {
    const std::size_t blocks = (piece.size() + 63) / 64;
    if (blocks > kMostBlocks) return {piece, nullptr, nullptr, nullptr, nullptr};
    // Sized from the read, not from any file.
    if (!lines_) {
        lines_.reset(new LineMasks[kMostBlocks]);
        code_.reset(new CodeMasks[kMostBlocks]);
        lined_.reset(new std::uint64_t[kWords]);
        coded_.reset(new std::uint64_t[kWords]);
    }
    const std::size_t used = (blocks + 63) / 64 * sizeof(std::uint64_t);
    std::memset(lined_.get(), 0, used);
    std::memset(coded_.get(), 0, used);
    return {piece, lines_.get(), code_.get(), lined_.get(), coded_.get()};
}

}  // namespace scanner_core
