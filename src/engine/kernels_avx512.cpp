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

// One bit a byte, as the comparisons give them.
struct Flags {
    std::uint64_t mask;
    Flags operator|(const Flags& o) const noexcept { return {mask | o.mask}; }
    Flags operator&(const Flags& o) const noexcept { return {mask & o.mask}; }
    Flags operator~() const noexcept { return {~mask}; }
    std::uint64_t bits() const noexcept { return mask; }
};

struct Vector {
    static constexpr std::size_t kWidth = 64;
    __m512i v;

    static Vector load(const char* p) noexcept { return {_mm512_loadu_si512(p)}; }
    // A masked load reads none of the bytes past `n`, so it cannot fault.
    static Vector load_partial(const char* p, std::size_t n) noexcept {
        return {_mm512_maskz_loadu_epi8(n >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << n) - 1, p)};
    }
    Flags eq(char c) const noexcept { return {_mm512_cmpeq_epi8_mask(v, _mm512_set1_epi8(c))}; }
    Flags eq(const Vector& o) const noexcept { return {_mm512_cmpeq_epi8_mask(v, o.v)}; }
    Flags in_range(unsigned char low, unsigned char high) const noexcept {
        return {_mm512_cmple_epu8_mask(_mm512_sub_epi8(v, _mm512_set1_epi8(static_cast<char>(low))),
                                       _mm512_set1_epi8(static_cast<char>(high - low)))};
    }
    Flags high() const noexcept { return {_mm512_movepi8_mask(v)}; }
    // Hides the value from the compiler, which then keeps it rather than
    // building it again.
    void opaque() noexcept { asm("" : "+v"(v)); }
    Vector folded() const noexcept { return {_mm512_or_si512(v, _mm512_set1_epi8(0x20))}; }
};

inline unsigned popcount(std::uint64_t bits) noexcept { return static_cast<unsigned>(__builtin_popcountll(bits)); }

#include "block_kernels.inc"

}  // namespace

extern const Kernels kAvx512 = make_table(InstructionSet::avx512, sha256_blocks_portable);
extern const Kernels kAvx512Sha = make_table(InstructionSet::avx512, sha256_blocks_sha);

}  // namespace scanner_core::kernel_detail

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif
#endif
