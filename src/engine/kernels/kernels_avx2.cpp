// The kernels in AVX2, with the population-count instruction: a block is
// two 32-byte registers. Only this file's own code takes the instruction
// set (the standard headers come before it), so that no inline function
// the rest of the library shares is built for a processor it may not run on.
#if defined(__x86_64__)
#include <immintrin.h>

#include <cstring>
#include <string_view>

#include "kernels/byte_scan.hpp"
#include "kernels/kernels.hpp"

#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2,popcnt"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2,popcnt")
#endif

namespace scanner_core::kernel_detail {
namespace {

// One flag a byte: all bits of the byte set or none.
struct Flags {
    __m256i v;
    Flags operator|(const Flags& o) const noexcept { return {_mm256_or_si256(v, o.v)}; }
    Flags operator&(const Flags& o) const noexcept { return {_mm256_and_si256(v, o.v)}; }
    Flags operator~() const noexcept { return {_mm256_xor_si256(v, _mm256_set1_epi8(-1))}; }
    std::uint64_t bits() const noexcept { return static_cast<std::uint32_t>(_mm256_movemask_epi8(v)); }
};

struct Vector {
    static constexpr std::size_t kWidth = 32;
    static constexpr bool kNibbleTables = true;
    static constexpr bool kByteTables = false;
    __m256i v;

    static Vector load(const char* p) noexcept { return {_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p))}; }
    static Vector load_partial(const char* p, std::size_t n) noexcept {
        alignas(32) char bytes[32] = {};
        std::memcpy(bytes, p, n);
        return load(bytes);
    }
    Flags eq(char c) const noexcept { return {_mm256_cmpeq_epi8(v, _mm256_set1_epi8(c))}; }
    Flags eq(const Vector& o) const noexcept { return {_mm256_cmpeq_epi8(v, o.v)}; }
    // Unsigned: a byte is in the range when its distance from `low` is at
    // most the range's width.
    Flags in_range(unsigned char low, unsigned char high) const noexcept {
        const __m256i distance = _mm256_sub_epi8(v, _mm256_set1_epi8(static_cast<char>(low)));
        return {_mm256_cmpeq_epi8(_mm256_min_epu8(distance, _mm256_set1_epi8(static_cast<char>(high - low))), distance)};
    }
    // Signed: the bytes above 0x7f are the negative ones.
    Flags high() const noexcept { return {_mm256_cmpgt_epi8(_mm256_setzero_si256(), v)}; }
    // Hides the value from the compiler, which then keeps it rather than
    // building it again.
    void opaque() noexcept { asm("" : "+x"(v)); }
    Vector folded() const noexcept { return {_mm256_or_si256(v, _mm256_set1_epi8(0x20))}; }
    Vector operator&(const Vector& o) const noexcept { return {_mm256_and_si256(v, o.v)}; }
    Vector operator|(const Vector& o) const noexcept { return {_mm256_or_si256(v, o.v)}; }
    // Each lane's bytes look up that lane's tables (which repeat).
    Vector classes(const Vector& low, const Vector& high) const noexcept {
        const __m256i nibble = _mm256_set1_epi8(0x0f);
        return {_mm256_and_si256(_mm256_shuffle_epi8(low.v, _mm256_and_si256(v, nibble)),
                                 _mm256_shuffle_epi8(high.v, _mm256_and_si256(_mm256_srli_epi16(v, 4), nibble)))};
    }
    Flags any(const Vector& bits) const noexcept {
        return ~Flags{_mm256_cmpeq_epi8(_mm256_and_si256(v, bits.v), _mm256_setzero_si256())};
    }
};

inline unsigned popcount(std::uint64_t bits) noexcept { return static_cast<unsigned>(__builtin_popcountll(bits)); }

#include "kernels/block_kernels.inc"

}  // namespace

extern const Kernels kAvx2 = make_table(InstructionSet::avx2, sha256_blocks_portable);
extern const Kernels kAvx2Sha = make_table(InstructionSet::avx2, sha256_blocks_sha);

}  // namespace scanner_core::kernel_detail

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif
#endif
