// Each word is looked for by its first three bytes, many positions a step,
// with the same cost whatever the number of words: each word belongs to one
// of eight buckets, and two 16-byte tables per offset give, from a byte's
// low and high four bits, the buckets of the words that hold a byte with
// those bits at that offset (the bytes past a shorter word's end match any
// byte). A position where the three offsets agree on a bucket is a
// candidate, compared whole with that bucket's words. The tables are read
// with one byte shuffle per half byte: 32 positions a step with AVX2, 64
// with AVX-512, as the active instruction set allows; without byte
// shuffles (SSE2, plain C++), each word's first and last bytes are compared
// sixteen positions a step, or a byte at a time.
#include "kernels/word_search.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "kernels/kernels.hpp"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace scanner_core {
namespace {

inline bool touches(char c) noexcept {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || (c & 0x80) != 0;
}

}  // namespace

// The word of the buckets `buckets` (a bit each) that begins at `at`: its
// index in `word`; false for none. The earliest added wins.
bool WordSearch::word_at(unsigned buckets, const char* begin, const char* at, const char* end,
                         std::size_t& word) const noexcept {
    std::size_t best = words_.size();
    const bool after_name = at > begin && touches(at[-1]);
    const auto left = static_cast<std::size_t>(end - at);
    for (; buckets != 0; buckets &= buckets - 1) {
        for (const std::uint8_t k : members_[__builtin_ctz(buckets)]) {
            const std::string& w = words_[k];
            // The cheapest tests first: most candidates differ in their first or last byte.
            if (k >= best || left < w.size() || at[0] != w[0] || at[w.size() - 1] != w.back()) continue;
            if (whole_[k] && (after_name || (left > w.size() && touches(at[w.size()])))) continue;
            if (std::memcmp(at, w.data(), w.size()) == 0) best = k;
        }
    }
    word = best;
    return best < words_.size();
}

bool WordSearch::add(std::string_view word, bool whole) {
    if (words_.size() == kMostWords || word.empty()) return false;
    // Words that begin alike share a bucket: a bucket's tables then match
    // few byte strings besides its words'. Whole words have the upper four
    // buckets, which a step clears where a name's byte comes before.
    const std::size_t bucket =
        (static_cast<unsigned char>(word[0]) * 31u + (word.size() > 1 ? static_cast<unsigned char>(word[1]) : 0u)) %
            (kBuckets / 2) +
        (whole ? kBuckets / 2 : 0);
    members_[bucket].push_back(static_cast<std::uint8_t>(words_.size()));
    words_.emplace_back(word);
    whole_.push_back(whole);
    shortest_ = words_.size() == 1 ? word.size() : std::min(shortest_, word.size());
    longest_ = std::max(longest_, word.size());
    for (std::size_t offset = 0; offset < kOffsets; ++offset) {
        const auto bit = static_cast<unsigned char>(1u << bucket);
        if (offset < word.size()) {
            const auto byte = static_cast<unsigned char>(word[offset]);
            low_[offset][byte & 15u] |= bit;
            high_[offset][byte >> 4] |= bit;
        } else {  // past the word's end: any byte
            for (std::size_t k = 0; k < 16; ++k) {
                low_[offset][k] |= bit;
                high_[offset][k] |= bit;
            }
        }
    }
    return true;
}

#if defined(__x86_64__)
namespace {

// The positions from p (16 a step) where a word's first and last bytes are.
const char* steps_sse2(const std::vector<std::string>& words, std::size_t longest, const char* p, const char* end,
                       unsigned& found) noexcept {
    while (static_cast<std::size_t>(end - p) >= 16 + longest - 1) {
        unsigned candidates = 0;
        const __m128i here = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        for (const std::string& w : words) {
            const __m128i last = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + w.size() - 1));
            candidates |= static_cast<unsigned>(_mm_movemask_epi8(_mm_and_si128(
                _mm_cmpeq_epi8(here, _mm_set1_epi8(w.front())), _mm_cmpeq_epi8(last, _mm_set1_epi8(w.back())))));
        }
        if (candidates != 0) {
            found = candidates;
            return p;
        }
        p += 16;
    }
    found = 0;
    return p;
}

}  // namespace

// With byte shuffles: the buckets of each of the 32 positions from p.
__attribute__((target("avx2"))) const char* WordSearch::steps_avx2(const char* p, const char* end,
                                                                     std::uint64_t& found) const noexcept {
    __m256i low[kOffsets], high[kOffsets];
    for (std::size_t k = 0; k < kOffsets; ++k) {
        low[k] = _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(low_[k])));
        high[k] = _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(high_[k])));
    }
    const __m256i nibble = _mm256_set1_epi8(15);
    while (static_cast<std::size_t>(end - p) >= 32 + kOffsets - 1) {
        __m256i buckets = _mm256_set1_epi8(-1);
        for (std::size_t k = 0; k < kOffsets; ++k) {
            const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + k));
            const __m256i lo = _mm256_shuffle_epi8(low[k], _mm256_and_si256(v, nibble));
            const __m256i hi = _mm256_shuffle_epi8(high[k], _mm256_and_si256(_mm256_srli_epi16(v, 4), nibble));
            buckets = _mm256_and_si256(buckets, _mm256_and_si256(lo, hi));
        }
        // Where a name's byte (a letter, digit, underscore or byte above
        // 0x7f) comes before, no whole word begins.
        const __m256i prev = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p - 1));
        const __m256i lower = _mm256_sub_epi8(_mm256_or_si256(prev, _mm256_set1_epi8(0x20)), _mm256_set1_epi8('a'));
        const __m256i digit = _mm256_sub_epi8(prev, _mm256_set1_epi8('0'));
        const __m256i name = _mm256_or_si256(
            _mm256_or_si256(_mm256_cmpeq_epi8(_mm256_min_epu8(lower, _mm256_set1_epi8(25)), lower),
                            _mm256_cmpeq_epi8(_mm256_min_epu8(digit, _mm256_set1_epi8(9)), digit)),
            _mm256_or_si256(_mm256_cmpeq_epi8(prev, _mm256_set1_epi8('_')),
                            _mm256_cmpgt_epi8(_mm256_setzero_si256(), prev)));
        buckets = _mm256_and_si256(buckets, _mm256_blendv_epi8(_mm256_set1_epi8(-1), _mm256_set1_epi8(0x0f), name));
        const auto empty = static_cast<std::uint32_t>(
            _mm256_movemask_epi8(_mm256_cmpeq_epi8(buckets, _mm256_setzero_si256())));
        if (empty != 0xffffffffu) {
            alignas(32) unsigned char bits[32];
            _mm256_store_si256(reinterpret_cast<__m256i*>(bits), buckets);
            found = ~static_cast<std::uint64_t>(empty) & 0xffffffffu;
            std::memcpy(found_buckets_, bits, 32);
            return p;
        }
        p += 32;
    }
    found = 0;
    return p;
}

__attribute__((target("avx512f,avx512bw"))) const char* WordSearch::steps_avx512(const char* p, const char* end,
                                                                                   std::uint64_t& found) const noexcept {
    __m512i low[kOffsets], high[kOffsets];
    for (std::size_t k = 0; k < kOffsets; ++k) {
        low[k] = _mm512_maskz_broadcast_i32x4(0xffff, _mm_loadu_si128(reinterpret_cast<const __m128i*>(low_[k])));
        high[k] = _mm512_maskz_broadcast_i32x4(0xffff, _mm_loadu_si128(reinterpret_cast<const __m128i*>(high_[k])));
    }
    const __m512i nibble = _mm512_set1_epi8(15);
    while (static_cast<std::size_t>(end - p) >= 64 + kOffsets - 1) {
        __m512i buckets = _mm512_set1_epi8(-1);
        for (std::size_t k = 0; k < kOffsets; ++k) {
            const __m512i v = _mm512_loadu_si512(p + k);
            const __m512i lo = _mm512_shuffle_epi8(low[k], _mm512_and_si512(v, nibble));
            const __m512i hi = _mm512_shuffle_epi8(high[k], _mm512_and_si512(_mm512_srli_epi16(v, 4), nibble));
            buckets = _mm512_and_si512(buckets, _mm512_and_si512(lo, hi));
        }
        // Where a name's byte comes before, no whole word begins.
        const __m512i prev = _mm512_loadu_si512(p - 1);
        const __m512i lower = _mm512_sub_epi8(_mm512_or_si512(prev, _mm512_set1_epi8(0x20)), _mm512_set1_epi8('a'));
        const std::uint64_t name = _mm512_cmple_epu8_mask(lower, _mm512_set1_epi8(25)) |
                                   _mm512_cmple_epu8_mask(_mm512_sub_epi8(prev, _mm512_set1_epi8('0')),
                                                          _mm512_set1_epi8(9)) |
                                   _mm512_cmpeq_epi8_mask(prev, _mm512_set1_epi8('_')) |
                                   _mm512_cmpge_epu8_mask(prev, _mm512_set1_epi8(static_cast<char>(0x80)));
        buckets = _mm512_and_si512(buckets, _mm512_mask_blend_epi8(name, _mm512_set1_epi8(-1), _mm512_set1_epi8(0x0f)));
        const std::uint64_t any = _mm512_test_epi8_mask(buckets, buckets);
        if (any != 0) {
            _mm512_storeu_si512(found_buckets_, buckets);
            found = any;
            return p;
        }
        p += 64;
    }
    found = 0;
    return p;
}
#endif

const char* WordSearch::find(const char* p, const char* end, std::size_t& word, const char* begin,
                             Cursor* cursor) const noexcept {
    if (words_.empty()) return end;
    if (begin == nullptr) begin = p;
#if defined(__x86_64__)
    const InstructionSet set = active_instruction_set();
    if (set == InstructionSet::avx2 || set == InstructionSet::avx512 || set == InstructionSet::avx512vbmi) {
        // A step reads the byte before each position: the first one, with none readable before it, is looked at here.
        if (p == begin && p < end) {
            if (static_cast<std::size_t>(end - p) >= shortest_ && word_at(0xffu, begin, p, end, word)) return p;
            ++p;
        }
        const std::size_t width = set == InstructionSet::avx2 ? 32 : 64;
        // The rest of the cursor's step, when p lies in it.
        if (cursor != nullptr && cursor->at != nullptr && p > cursor->at &&
            static_cast<std::size_t>(p - cursor->at) < width) {
            const auto skipped = static_cast<unsigned>(p - cursor->at);
            std::uint64_t found = cursor->found & ~((std::uint64_t{1} << skipped) - 1);
            for (; found != 0; found &= found - 1) {
                const int bit = __builtin_ctzll(found);
                if (word_at(cursor->buckets[bit], begin, cursor->at + bit, end, word)) {
                    cursor->found = found & (found - 1);
                    return cursor->at + bit;
                }
            }
            p = cursor->at + width;
            cursor->at = nullptr;
        }
        for (;;) {
            std::uint64_t found = 0;
            const char* const at = set == InstructionSet::avx2 ? steps_avx2(p, end, found) : steps_avx512(p, end, found);
            if (found == 0) {
                p = at;
                break;
            }
            // The candidates of the step, in order: the first whole word is the one.
            for (; found != 0; found &= found - 1) {
                const int bit = __builtin_ctzll(found);
                if (word_at(found_buckets_[bit], begin, at + bit, end, word)) {
                    if (cursor != nullptr) {
                        cursor->at = at;
                        cursor->found = found & (found - 1);
                        std::memcpy(cursor->buckets, found_buckets_, width);
                    }
                    return at + bit;
                }
            }
            p = at + width;
        }
    } else if (set == InstructionSet::sse2) {
        for (;;) {
            unsigned found = 0;
            const char* const at = steps_sse2(words_, longest_, p, end, found);
            if (found == 0) {
                p = at;
                break;
            }
            for (; found != 0; found &= found - 1) {
                const int bit = __builtin_ctz(found);
                if (word_at(0xffu, begin, at + bit, end, word)) return at + bit;
            }
            p = at + 16;
        }
    }
#endif
    for (; static_cast<std::size_t>(end - p) >= shortest_; ++p) {
        if (word_at(0xffu, begin, p, end, word)) return p;
    }
    return end;
}

}  // namespace scanner_core
