// The kernels in SSE2, which every x86-64 processor has: a block is four
// 16-byte registers.
#if defined(__x86_64__)
#include <immintrin.h>

#include <cstring>
#include <string_view>

#include "bit_count.hpp"
#include "byte_scan.hpp"
#include "kernels.hpp"

namespace scanner_core::kernel_detail {
namespace {

class Block {
public:
    static Block load(const char* p) noexcept {
        Block b;
        for (int k = 0; k < 4; ++k) b.v_[k] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * k));
        return b;
    }
    static Block load_partial(const char* p, std::size_t n) noexcept {
        alignas(16) char bytes[64] = {};
        std::memcpy(bytes, p, n);
        return load(bytes);
    }
    std::uint64_t eq(char c) const noexcept {
        const __m128i x = _mm_set1_epi8(c);
        return bits([x](__m128i v) { return _mm_cmpeq_epi8(v, x); });
    }
    // Unsigned: a byte is in the range when its distance from `low` is at
    // most the range's width.
    std::uint64_t in_range(unsigned char low, unsigned char high) const noexcept {
        const __m128i from = _mm_set1_epi8(static_cast<char>(low));
        const __m128i width = _mm_set1_epi8(static_cast<char>(high - low));
        return bits([from, width](__m128i v) {
            const __m128i distance = _mm_sub_epi8(v, from);
            return _mm_cmpeq_epi8(_mm_min_epu8(distance, width), distance);
        });
    }
    std::uint64_t folded_in_range(unsigned char low, unsigned char high) const noexcept {
        const __m128i fold = _mm_set1_epi8(0x20);
        const __m128i from = _mm_set1_epi8(static_cast<char>(low));
        const __m128i width = _mm_set1_epi8(static_cast<char>(high - low));
        return bits([fold, from, width](__m128i v) {
            const __m128i distance = _mm_sub_epi8(_mm_or_si128(v, fold), from);
            return _mm_cmpeq_epi8(_mm_min_epu8(distance, width), distance);
        });
    }
    std::uint64_t high() const noexcept {
        return bits([](__m128i v) { return v; });
    }
    static unsigned popcount(std::uint64_t bits) noexcept { return bit_count(bits); }

private:
    // The top bits of what `test` makes of each register.
    template <typename Test>
    std::uint64_t bits(Test test) const noexcept {
        std::uint64_t mask = 0;
        for (int k = 0; k < 4; ++k) {
            mask |= std::uint64_t{static_cast<std::uint16_t>(_mm_movemask_epi8(test(v_[k])))} << (16 * k);
        }
        return mask;
    }
    __m128i v_[4];
};

#include "block_kernels.inc"

}  // namespace

extern const Kernels kSse2 = make_table(InstructionSet::sse2);

}  // namespace scanner_core::kernel_detail
#endif
