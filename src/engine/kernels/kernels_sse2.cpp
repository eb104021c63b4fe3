// The kernels in SSE2, which every x86-64 processor has: a block is four
// 16-byte registers.
#if defined(__x86_64__)
#include <immintrin.h>

#include <cstring>
#include <string_view>

#include "kernels/bit_count.hpp"
#include "kernels/byte_scan.hpp"
#include "kernels/kernels.hpp"

namespace scanner_core::kernel_detail {
namespace {

// One flag a byte: all bits of the byte set or none.
struct Flags {
    __m128i v;
    Flags operator|(const Flags& o) const noexcept { return {_mm_or_si128(v, o.v)}; }
    Flags operator&(const Flags& o) const noexcept { return {_mm_and_si128(v, o.v)}; }
    Flags operator~() const noexcept { return {_mm_xor_si128(v, _mm_set1_epi8(-1))}; }
    std::uint64_t bits() const noexcept { return static_cast<std::uint16_t>(_mm_movemask_epi8(v)); }
};

struct Vector {
    static constexpr std::size_t kWidth = 16;
    // No table lookups: the classification compares.
    static constexpr bool kNibbleTables = false;
    static constexpr bool kByteTables = false;
    __m128i v;

    static Vector load(const char* p) noexcept { return {_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))}; }
    static Vector load_partial(const char* p, std::size_t n) noexcept {
        alignas(16) char bytes[16] = {};
        std::memcpy(bytes, p, n);
        return load(bytes);
    }
    Flags eq(char c) const noexcept { return {_mm_cmpeq_epi8(v, _mm_set1_epi8(c))}; }
    Flags eq(const Vector& o) const noexcept { return {_mm_cmpeq_epi8(v, o.v)}; }
    // Unsigned: a byte is in the range when its distance from `low` is at
    // most the range's width.
    Flags in_range(unsigned char low, unsigned char high) const noexcept {
        const __m128i distance = _mm_sub_epi8(v, _mm_set1_epi8(static_cast<char>(low)));
        return {_mm_cmpeq_epi8(_mm_min_epu8(distance, _mm_set1_epi8(static_cast<char>(high - low))), distance)};
    }
    // Signed: the bytes above 0x7f are the negative ones.
    Flags high() const noexcept { return {_mm_cmplt_epi8(v, _mm_setzero_si128())}; }
    // Hides the value from the compiler, which then keeps it rather than
    // building it again.
    void opaque() noexcept { asm("" : "+x"(v)); }
    Vector folded() const noexcept { return {_mm_or_si128(v, _mm_set1_epi8(0x20))}; }
};

inline unsigned popcount(std::uint64_t bits) noexcept { return bit_count(bits); }

#include "kernels/block_kernels.inc"

}  // namespace

extern const Kernels kSse2 = make_table(InstructionSet::sse2, sha256_blocks_portable);
extern const Kernels kSse2Sha = make_table(InstructionSet::sse2, sha256_blocks_sha);

}  // namespace scanner_core::kernel_detail
#endif
