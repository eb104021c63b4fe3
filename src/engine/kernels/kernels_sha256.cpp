// SHA-256's compression (FIPS 180-4), the one kernel not written over the
// vector type: in portable C++ for `plain` and for processors without the
// SHA instructions, and with them beside every x86-64 set where they are
// there (kernels.cpp chooses). Both give the same state, block for block.
#include <cstddef>
#include <cstdint>

#include "kernels/kernels.hpp"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace scanner_core::kernel_detail {
namespace {

constexpr std::uint32_t kRoundConstants[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

constexpr std::uint32_t rotate_right(std::uint32_t value, int bits) noexcept {
    return value >> bits | value << (32 - bits);
}

}  // namespace

void sha256_blocks_portable(std::uint32_t* state, const unsigned char* data, std::size_t count) noexcept {
    for (; count > 0; --count, data += 64) {
        std::uint32_t w[64];
        for (int t = 0; t < 16; ++t) {
            w[t] = std::uint32_t(data[4 * t]) << 24 | std::uint32_t(data[4 * t + 1]) << 16 |
                   std::uint32_t(data[4 * t + 2]) << 8 | std::uint32_t(data[4 * t + 3]);
        }
        for (int t = 16; t < 64; ++t) {
            const std::uint32_t s0 = rotate_right(w[t - 15], 7) ^ rotate_right(w[t - 15], 18) ^ (w[t - 15] >> 3);
            const std::uint32_t s1 = rotate_right(w[t - 2], 17) ^ rotate_right(w[t - 2], 19) ^ (w[t - 2] >> 10);
            w[t] = w[t - 16] + s0 + w[t - 7] + s1;
        }
        std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
        std::uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
        for (int t = 0; t < 64; ++t) {
            const std::uint32_t t1 = h + (rotate_right(e, 6) ^ rotate_right(e, 11) ^ rotate_right(e, 25)) +
                                     ((e & f) ^ (~e & g)) + kRoundConstants[t] + w[t];
            const std::uint32_t t2 =
                (rotate_right(a, 2) ^ rotate_right(a, 13) ^ rotate_right(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
            h = g;
            g = f;
            f = e;
            e = d + t1;
            d = c;
            c = b;
            b = a;
            a = t1 + t2;
        }
        state[0] += a;
        state[1] += b;
        state[2] += c;
        state[3] += d;
        state[4] += e;
        state[5] += f;
        state[6] += g;
        state[7] += h;
    }
}

#if defined(__x86_64__)
// Four rounds per pair of instructions, the message schedule four words at
// a time. Only this function takes the instructions, so that nothing the
// rest of the library shares is built for a processor it may not run on.
__attribute__((target("sha,sse4.1,ssse3"))) void sha256_blocks_sha(std::uint32_t* state, const unsigned char* data,
                                                                    std::size_t count) noexcept {
    const __m128i byte_order = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
    __m128i cdab = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state)), 0xB1);
    __m128i cdgh = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state + 4)), 0x1B);
    __m128i abef = _mm_alignr_epi8(cdab, cdgh, 8);
    cdgh = _mm_blend_epi16(cdgh, cdab, 0xF0);
    for (; count > 0; --count, data += 64) {
        const __m128i abef_before = abef;
        const __m128i cdgh_before = cdgh;
        __m128i words[16];
        for (int k = 0; k < 4; ++k) {
            words[k] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16 * k)), byte_order);
        }
        for (int group = 0; group < 16; ++group) {
            if (group >= 4) {
                const __m128i mixed = _mm_add_epi32(_mm_sha256msg1_epu32(words[group - 4], words[group - 3]),
                                                    _mm_alignr_epi8(words[group - 1], words[group - 2], 4));
                words[group] = _mm_sha256msg2_epu32(mixed, words[group - 1]);
            }
            const __m128i constants = _mm_loadu_si128(reinterpret_cast<const __m128i*>(kRoundConstants + 4 * group));
            __m128i message = _mm_add_epi32(words[group], constants);
            cdgh = _mm_sha256rnds2_epu32(cdgh, abef, message);
            message = _mm_shuffle_epi32(message, 0x0E);
            abef = _mm_sha256rnds2_epu32(abef, cdgh, message);
        }
        abef = _mm_add_epi32(abef, abef_before);
        cdgh = _mm_add_epi32(cdgh, cdgh_before);
    }
    const __m128i feba = _mm_shuffle_epi32(abef, 0x1B);
    const __m128i dchg = _mm_shuffle_epi32(cdgh, 0xB1);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state), _mm_blend_epi16(feba, dchg, 0xF0));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state + 4), _mm_alignr_epi8(dchg, feba, 8));
}
#endif

}  // namespace scanner_core::kernel_detail
