// The kernels in AVX-512 (its F and BW parts), with the population-count
// instruction: a block is one register, and each comparison gives its mask
// directly. Only this file's own code takes the instruction set (the
// standard headers come before it), as in kernels_avx2.cpp.
#if defined(__x86_64__)
#include <immintrin.h>

#include <cstring>
#include <string_view>

#include "byte_scan.hpp"
#include "kernels.hpp"

#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx512f,avx512bw,popcnt"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx512f,avx512bw,popcnt")
#endif

namespace scanner_core::kernel_detail {
namespace {

class Block {
public:
    static Block load(const char* p) noexcept { return Block{_mm512_loadu_si512(p)}; }
    // A masked load reads none of the bytes past `n`, so it cannot fault.
    static Block load_partial(const char* p, std::size_t n) noexcept {
        return Block{_mm512_maskz_loadu_epi8((std::uint64_t{1} << n) - 1, p)};
    }
    std::uint64_t eq(char c) const noexcept { return _mm512_cmpeq_epi8_mask(v_, _mm512_set1_epi8(c)); }
    std::uint64_t in_range(unsigned char low, unsigned char high) const noexcept {
        return _mm512_cmple_epu8_mask(_mm512_sub_epi8(v_, _mm512_set1_epi8(static_cast<char>(low))),
                                      _mm512_set1_epi8(static_cast<char>(high - low)));
    }
    std::uint64_t folded_in_range(unsigned char low, unsigned char high) const noexcept {
        return Block{_mm512_or_si512(v_, _mm512_set1_epi8(0x20))}.in_range(low, high);
    }
    std::uint64_t high() const noexcept { return _mm512_movepi8_mask(v_); }
    static unsigned popcount(std::uint64_t bits) noexcept { return static_cast<unsigned>(__builtin_popcountll(bits)); }

private:
    explicit Block(__m512i v) noexcept : v_(v) {}
    __m512i v_;
};

#include "block_kernels.inc"

}  // namespace

extern const Kernels kAvx512 = make_table(InstructionSet::avx512);

}  // namespace scanner_core::kernel_detail

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif
#endif
