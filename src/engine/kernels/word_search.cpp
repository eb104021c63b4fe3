// Each word is looked for by its first and last bytes, many positions a
// step (sixteen with SSE2, which every x86-64 processor has, 32 with AVX2,
// 64 with AVX-512), as the active instruction set allows; a position where
// both match is compared whole. Elsewhere, and for the last positions, a
// byte at a time.
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

inline bool begins_at(const char* p, const char* end, const std::string& word) noexcept {
    return static_cast<std::size_t>(end - p) >= word.size() && (word.size() < 2 || p[1] == word[1]) &&
           std::memcmp(p, word.data(), word.size()) == 0;
}

// The word that begins at `at`, its index in `word`: false for none.
inline bool word_at(const std::vector<std::string>& words, const char* at, const char* end,
                    std::size_t& word) noexcept {
    for (word = 0; word < words.size(); ++word) {
        if (begins_at(at, end, words[word])) return true;
    }
    return false;
}

#if defined(__x86_64__)
// `Step` bytes a step; `candidates(p, word)` is the mask of the positions
// from p where the word's first and last bytes are.
#define SCANNER_CORE_WORD_STEPS(Step, Mask, candidates)                                                  \
    while (static_cast<std::size_t>(end - p) >= (Step) + longest - 1) {                                  \
        Mask found = 0;                                                                                  \
        for (const std::string& w : words) found |= candidates;                                          \
        while (found != 0) {                                                                             \
            const char* at = p + __builtin_ctzll(static_cast<std::uint64_t>(found));                    \
            if (word_at(words, at, end, word)) return at;                                                \
            found &= found - 1;                                                                          \
        }                                                                                                \
        p += (Step);                                                                                     \
    }                                                                                                    \
    return p

const char* steps_sse2(const std::vector<std::string>& words, std::size_t longest, const char* p, const char* end,
                       std::size_t& word) noexcept {
    SCANNER_CORE_WORD_STEPS(16, unsigned,
                            static_cast<unsigned>(_mm_movemask_epi8(_mm_and_si128(
                                _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)),
                                               _mm_set1_epi8(w.front())),
                                _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + w.size() - 1)),
                                               _mm_set1_epi8(w.back()))))));
}

__attribute__((target("avx2"))) const char* steps_avx2(const std::vector<std::string>& words, std::size_t longest,
                                                         const char* p, const char* end, std::size_t& word) noexcept {
    SCANNER_CORE_WORD_STEPS(32, std::uint32_t,
                            static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_and_si256(
                                _mm256_cmpeq_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)),
                                                  _mm256_set1_epi8(w.front())),
                                _mm256_cmpeq_epi8(
                                    _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + w.size() - 1)),
                                    _mm256_set1_epi8(w.back()))))));
}

__attribute__((target("avx512f,avx512bw"))) const char* steps_avx512(const std::vector<std::string>& words,
                                                                       std::size_t longest, const char* p,
                                                                       const char* end, std::size_t& word) noexcept {
    SCANNER_CORE_WORD_STEPS(64, std::uint64_t,
                            _mm512_cmpeq_epi8_mask(_mm512_loadu_si512(p), _mm512_set1_epi8(w.front())) &
                                _mm512_cmpeq_epi8_mask(_mm512_loadu_si512(p + w.size() - 1),
                                                       _mm512_set1_epi8(w.back())));
}
#undef SCANNER_CORE_WORD_STEPS
#endif

}  // namespace

bool WordSearch::add(std::string_view word) {
    if (words_.size() == kMostWords || word.empty()) return false;
    words_.emplace_back(word);
    shortest_ = words_.size() == 1 ? word.size() : std::min(shortest_, word.size());
    longest_ = std::max(longest_, word.size());
    return true;
}

const char* WordSearch::find(const char* p, const char* end, std::size_t& word) const noexcept {
    if (words_.empty()) return end;
#if defined(__x86_64__)
    // The steps return where the positions they cannot look at whole begin,
    // or where a word does (its bytes there are the word's).
    const char* stepped = p;
    switch (active_instruction_set()) {
        case InstructionSet::plain: break;
        case InstructionSet::sse2: stepped = steps_sse2(words_, longest_, p, end, word); break;
        case InstructionSet::avx2: stepped = steps_avx2(words_, longest_, p, end, word); break;
        case InstructionSet::avx512:
        case InstructionSet::avx512vbmi: stepped = steps_avx512(words_, longest_, p, end, word); break;
    }
    if (stepped != p && word_at(words_, stepped, end, word)) return stepped;
    p = stepped;
#endif
    for (; static_cast<std::size_t>(end - p) >= shortest_; ++p) {
        if (word_at(words_, p, end, word)) return p;
    }
    return end;
}

}  // namespace scanner_core
