// The kernels in AVX2, with the population-count instruction: a block is
// two 32-byte registers. Only this file's own code takes the instruction
// set (the standard headers come before it), so that no inline function
// the rest of the library shares is built for a processor it may not run on.
#if defined(__x86_64__)
#include <immintrin.h>

#include <cstring>
#include <string_view>

#include "byte_scan.hpp"
#include "kernels.hpp"

#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2,popcnt"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2,popcnt")
#endif

namespace scanner_core::kernel_detail {
namespace {

class Block {
public:
    static Block load(const char* p) noexcept {
        Block b;
        for (int k = 0; k < 2; ++k) b.v_[k] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32 * k));
        return b;
    }
    static Block load_partial(const char* p, std::size_t n) noexcept {
        alignas(32) char bytes[64] = {};
        std::memcpy(bytes, p, n);
        return load(bytes);
    }
    std::uint64_t eq(char c) const noexcept {
        const __m256i x = _mm256_set1_epi8(c);
        return bits(_mm256_cmpeq_epi8(v_[0], x), _mm256_cmpeq_epi8(v_[1], x));
    }
    std::uint64_t in_range(unsigned char low, unsigned char high) const noexcept {
        return bits(in_range(v_[0], low, high), in_range(v_[1], low, high));
    }
    std::uint64_t folded_in_range(unsigned char low, unsigned char high) const noexcept {
        const __m256i fold = _mm256_set1_epi8(0x20);
        return bits(in_range(_mm256_or_si256(v_[0], fold), low, high), in_range(_mm256_or_si256(v_[1], fold), low, high));
    }
    std::uint64_t high() const noexcept { return bits(v_[0], v_[1]); }
    static unsigned popcount(std::uint64_t bits) noexcept { return static_cast<unsigned>(__builtin_popcountll(bits)); }

private:
    // Unsigned: a byte is in the range when its distance from `low` is at
    // most the range's width.
    static __m256i in_range(__m256i v, unsigned char low, unsigned char high) noexcept {
        const __m256i distance = _mm256_sub_epi8(v, _mm256_set1_epi8(static_cast<char>(low)));
        return _mm256_cmpeq_epi8(_mm256_min_epu8(distance, _mm256_set1_epi8(static_cast<char>(high - low))), distance);
    }
    // The top bits of the two halves.
    static std::uint64_t bits(__m256i low, __m256i high) noexcept {
        return std::uint64_t{static_cast<std::uint32_t>(_mm256_movemask_epi8(low))} |
               std::uint64_t{static_cast<std::uint32_t>(_mm256_movemask_epi8(high))} << 32;
    }
    __m256i v_[2];
};

#include "block_kernels.inc"

}  // namespace

extern const Kernels kAvx2 = make_table(InstructionSet::avx2);

}  // namespace scanner_core::kernel_detail

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif
#endif
