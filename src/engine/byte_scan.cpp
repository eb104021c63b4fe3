#include "byte_scan.hpp"

#include <array>
#include <cstring>
#include <string_view>

#if defined(__x86_64__)
#define SCANNER_CORE_X86 1
#include <immintrin.h>
#endif

namespace scanner_core {
namespace {

const char* string_stop_plain(const char* p, const char* end, char quote) noexcept {
    while (p < end && *p != quote && *p != '\\' && *p != '\n' && *p != '\r' && static_cast<unsigned char>(*p) < 0x80) {
        ++p;
    }
    return p;
}

const char* fstring_stop_plain(const char* p, const char* end, char quote) noexcept {
    while (p < end && *p != quote && *p != '{' && *p != '}' && *p != '\\' && *p != '\n' && *p != '\r' &&
           static_cast<unsigned char>(*p) < 0x80) {
        ++p;
    }
    return p;
}

const char* line_end_plain(const char* p, const char* end) noexcept {
    while (p < end && *p != '\n' && *p != '\r') ++p;
    return p;
}

constexpr bool ascii_name_byte(char c) noexcept {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

const char* non_name_plain(const char* p, const char* end) noexcept {
    while (p < end && ascii_name_byte(*p)) ++p;
    return p;
}

// The words are found by their first four letters, many bytes at a time,
// then checked whole.
constexpr std::array<std::string_view, 8> kTriggerWords = {"import",  "match",   "exec",       "eval",
                                                           "compile", "getattr", "__loader__", "__spec__"};

constexpr bool longest_is(std::size_t length) {
    std::size_t longest = 0;
    for (const std::string_view word : kTriggerWords) longest = word.size() > longest ? word.size() : longest;
    return longest == length;
}
static_assert(longest_is(kLongestTrigger), "kLongestTrigger must follow the trigger words");

// How many first letters of each word the vector pass compares.
constexpr int kPrefix = 3;

inline bool trigger_at(const char* p, const char* end) noexcept {
    for (const std::string_view word : kTriggerWords) {
        if (static_cast<std::size_t>(end - p) >= word.size() && std::memcmp(p, word.data(), word.size()) == 0) {
            return true;
        }
    }
    return false;
}

const char* trigger_plain(const char* p, const char* end) noexcept {
    for (; p < end; ++p) {
        if (trigger_at(p, end)) return p;
    }
    return end;
}

#if defined(SCANNER_CORE_X86)
const char* string_stop_sse2(const char* p, const char* end, char quote) noexcept {
    const __m128i q = _mm_set1_epi8(quote), backslash = _mm_set1_epi8('\\');
    const __m128i feed = _mm_set1_epi8('\n'), ret = _mm_set1_epi8('\r');
    while (end - p >= 16) {
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const __m128i stop = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(b, q), _mm_cmpeq_epi8(b, backslash)),
                                          _mm_or_si128(_mm_cmpeq_epi8(b, feed), _mm_cmpeq_epi8(b, ret)));
        const int mask = _mm_movemask_epi8(stop) | _mm_movemask_epi8(b);
        if (mask != 0) return p + __builtin_ctz(static_cast<unsigned>(mask));
        p += 16;
    }
    return string_stop_plain(p, end, quote);
}

__attribute__((target("avx2"))) const char* string_stop_avx2(const char* p, const char* end, char quote) noexcept {
    const __m256i q = _mm256_set1_epi8(quote), backslash = _mm256_set1_epi8('\\');
    const __m256i feed = _mm256_set1_epi8('\n'), ret = _mm256_set1_epi8('\r');
    while (end - p >= 32) {
        const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
        const __m256i stop = _mm256_or_si256(_mm256_or_si256(_mm256_cmpeq_epi8(b, q), _mm256_cmpeq_epi8(b, backslash)),
                                             _mm256_or_si256(_mm256_cmpeq_epi8(b, feed), _mm256_cmpeq_epi8(b, ret)));
        const unsigned mask = static_cast<unsigned>(_mm256_movemask_epi8(stop) | _mm256_movemask_epi8(b));
        if (mask != 0) return p + __builtin_ctz(mask);
        p += 32;
    }
    return string_stop_sse2(p, end, quote);
}

const char* fstring_stop_sse2(const char* p, const char* end, char quote) noexcept {
    const __m128i q = _mm_set1_epi8(quote), backslash = _mm_set1_epi8('\\'), open = _mm_set1_epi8('{');
    const __m128i close = _mm_set1_epi8('}'), feed = _mm_set1_epi8('\n'), ret = _mm_set1_epi8('\r');
    while (end - p >= 16) {
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const __m128i stop = _mm_or_si128(
            _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(b, q), _mm_cmpeq_epi8(b, backslash)),
                         _mm_or_si128(_mm_cmpeq_epi8(b, feed), _mm_cmpeq_epi8(b, ret))),
            _mm_or_si128(_mm_cmpeq_epi8(b, open), _mm_cmpeq_epi8(b, close)));
        const int mask = _mm_movemask_epi8(stop) | _mm_movemask_epi8(b);
        if (mask != 0) return p + __builtin_ctz(static_cast<unsigned>(mask));
        p += 16;
    }
    return fstring_stop_plain(p, end, quote);
}

__attribute__((target("avx2"))) const char* fstring_stop_avx2(const char* p, const char* end, char quote) noexcept {
    const __m256i q = _mm256_set1_epi8(quote), backslash = _mm256_set1_epi8('\\'), open = _mm256_set1_epi8('{');
    const __m256i close = _mm256_set1_epi8('}'), feed = _mm256_set1_epi8('\n'), ret = _mm256_set1_epi8('\r');
    while (end - p >= 32) {
        const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
        const __m256i stop = _mm256_or_si256(
            _mm256_or_si256(_mm256_or_si256(_mm256_cmpeq_epi8(b, q), _mm256_cmpeq_epi8(b, backslash)),
                            _mm256_or_si256(_mm256_cmpeq_epi8(b, feed), _mm256_cmpeq_epi8(b, ret))),
            _mm256_or_si256(_mm256_cmpeq_epi8(b, open), _mm256_cmpeq_epi8(b, close)));
        const unsigned mask = static_cast<unsigned>(_mm256_movemask_epi8(stop) | _mm256_movemask_epi8(b));
        if (mask != 0) return p + __builtin_ctz(mask);
        p += 32;
    }
    return fstring_stop_sse2(p, end, quote);
}

const char* line_end_sse2(const char* p, const char* end) noexcept {
    const __m128i feed = _mm_set1_epi8('\n'), ret = _mm_set1_epi8('\r');
    while (end - p >= 16) {
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const int mask = _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(b, feed), _mm_cmpeq_epi8(b, ret)));
        if (mask != 0) return p + __builtin_ctz(static_cast<unsigned>(mask));
        p += 16;
    }
    return line_end_plain(p, end);
}

__attribute__((target("avx2"))) const char* line_end_avx2(const char* p, const char* end) noexcept {
    const __m256i feed = _mm256_set1_epi8('\n'), ret = _mm256_set1_epi8('\r');
    while (end - p >= 32) {
        const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
        const unsigned mask =
            static_cast<unsigned>(_mm256_movemask_epi8(_mm256_or_si256(_mm256_cmpeq_epi8(b, feed), _mm256_cmpeq_epi8(b, ret))));
        if (mask != 0) return p + __builtin_ctz(mask);
        p += 32;
    }
    return line_end_sse2(p, end);
}

const char* non_name_sse2(const char* p, const char* end) noexcept {
    // Unsigned ranges by signed compares, shifted by 0x80.
    const __m128i flip = _mm_set1_epi8(static_cast<char>(0x80));
    const __m128i digit_low = _mm_set1_epi8(static_cast<char>('0' ^ 0x80));
    const __m128i digit_high = _mm_set1_epi8(static_cast<char>('9' ^ 0x80));
    const __m128i letter_low = _mm_set1_epi8(static_cast<char>('a' ^ 0x80));
    const __m128i letter_high = _mm_set1_epi8(static_cast<char>('z' ^ 0x80));
    const __m128i lower = _mm_set1_epi8(0x20), underscore = _mm_set1_epi8('_');
    while (end - p >= 16) {
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const __m128i x = _mm_xor_si128(b, flip);
        const __m128i l = _mm_xor_si128(_mm_or_si128(b, lower), flip);
        const __m128i digit = _mm_andnot_si128(_mm_or_si128(_mm_cmplt_epi8(x, digit_low), _mm_cmpgt_epi8(x, digit_high)),
                                               _mm_set1_epi8(-1));
        const __m128i letter = _mm_andnot_si128(
            _mm_or_si128(_mm_cmplt_epi8(l, letter_low), _mm_cmpgt_epi8(l, letter_high)), _mm_set1_epi8(-1));
        const __m128i name = _mm_or_si128(_mm_or_si128(digit, letter), _mm_cmpeq_epi8(b, underscore));
        const unsigned mask = static_cast<unsigned>(~_mm_movemask_epi8(name)) & 0xffff;
        if (mask != 0) return p + __builtin_ctz(mask);
        p += 16;
    }
    return non_name_plain(p, end);
}

// Name bytes by nibbles: the entry of the low nibble has the bit of the
// high nibble (3 to 7); bytes above 0x7f have no bit.
#define SCANNER_CORE_NAME_LOW_NIBBLES static_cast<char>(0xa8), static_cast<char>(0xf8), static_cast<char>(0xf8), \
    static_cast<char>(0xf8), static_cast<char>(0xf8), static_cast<char>(0xf8), static_cast<char>(0xf8), \
    static_cast<char>(0xf8), static_cast<char>(0xf8), static_cast<char>(0xf8), static_cast<char>(0xf0), 0x50, 0x50, \
    0x50, 0x50, 0x70
#define SCANNER_CORE_NAME_HIGH_NIBBLES 0x01, 0x02, 0x04, 0x08, 0x10, 0x20, 0x40, static_cast<char>(0x80), \
    0, 0, 0, 0, 0, 0, 0, 0

__attribute__((target("avx2"))) const char* non_name_avx2(const char* p, const char* end) noexcept {
    const __m256i low_table = _mm256_setr_epi8(SCANNER_CORE_NAME_LOW_NIBBLES, SCANNER_CORE_NAME_LOW_NIBBLES);
    const __m256i high_table = _mm256_setr_epi8(SCANNER_CORE_NAME_HIGH_NIBBLES, SCANNER_CORE_NAME_HIGH_NIBBLES);
    const __m256i nibble = _mm256_set1_epi8(0x0f);
    while (end - p >= 32) {
        const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
        const __m256i low = _mm256_shuffle_epi8(low_table, _mm256_and_si256(b, nibble));
        const __m256i high = _mm256_shuffle_epi8(high_table, _mm256_and_si256(_mm256_srli_epi16(b, 4), nibble));
        const __m256i other = _mm256_cmpeq_epi8(_mm256_and_si256(low, high), _mm256_setzero_si256());
        const unsigned mask = static_cast<unsigned>(_mm256_movemask_epi8(other));
        if (mask != 0) return p + __builtin_ctz(mask);
        p += 32;
    }
    return non_name_sse2(p, end);
}

const char* trigger_sse2(const char* p, const char* end) noexcept {
    while (end - p >= 16 + 3) {
        const __m128i b[4] = {_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)),
                              _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 1)),
                              _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 2)),
                              _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 3))};
        __m128i any = _mm_setzero_si128();
        for (const std::string_view word : kTriggerWords) {
            __m128i all = _mm_cmpeq_epi8(b[0], _mm_set1_epi8(word[0]));
            for (int k = 1; k < kPrefix; ++k) all = _mm_and_si128(all, _mm_cmpeq_epi8(b[k], _mm_set1_epi8(word[k])));
            any = _mm_or_si128(any, all);
        }
        for (unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(any)); mask != 0; mask &= mask - 1) {
            const char* at = p + __builtin_ctz(mask);
            if (trigger_at(at, end)) return at;
        }
        p += 16;
    }
    return trigger_plain(p, end);
}

__attribute__((target("avx2"))) const char* trigger_avx2(const char* p, const char* end) noexcept {
    while (end - p >= 32 + 3) {
        const __m256i b[4] = {_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)),
                              _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 1)),
                              _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 2)),
                              _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 3))};
        __m256i any = _mm256_setzero_si256();
        for (const std::string_view word : kTriggerWords) {
            __m256i all = _mm256_cmpeq_epi8(b[0], _mm256_set1_epi8(word[0]));
            for (int k = 1; k < kPrefix; ++k) {
                all = _mm256_and_si256(all, _mm256_cmpeq_epi8(b[k], _mm256_set1_epi8(word[k])));
            }
            any = _mm256_or_si256(any, all);
        }
        for (unsigned mask = static_cast<unsigned>(_mm256_movemask_epi8(any)); mask != 0; mask &= mask - 1) {
            const char* at = p + __builtin_ctz(mask);
            if (trigger_at(at, end)) return at;
        }
        p += 32;
    }
    return trigger_sse2(p, end);
}

struct Scanners {
    const char* (*non_name)(const char*, const char*) noexcept;
    const char* (*string_stop)(const char*, const char*, char) noexcept;
    const char* (*fstring_stop)(const char*, const char*, char) noexcept;
    const char* (*line_end)(const char*, const char*) noexcept;
    const char* (*trigger)(const char*, const char*) noexcept;
};

Scanners select_scanners() noexcept {
#if !defined(SCANNER_CORE_BASELINE_SIMD)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2")) return {non_name_avx2, string_stop_avx2, fstring_stop_avx2, line_end_avx2, trigger_avx2};
#endif
    return {non_name_sse2, string_stop_sse2, fstring_stop_sse2, line_end_sse2, trigger_sse2};
}
#else
struct Scanners {
    const char* (*non_name)(const char*, const char*) noexcept;
    const char* (*string_stop)(const char*, const char*, char) noexcept;
    const char* (*fstring_stop)(const char*, const char*, char) noexcept;
    const char* (*line_end)(const char*, const char*) noexcept;
    const char* (*trigger)(const char*, const char*) noexcept;
};

Scanners select_scanners() noexcept {
    return {non_name_plain, string_stop_plain, fstring_stop_plain, line_end_plain, trigger_plain};
}
#endif

const Scanners kScanners = select_scanners();

}  // namespace


const char* next_string_stop(const char* p, const char* end, char quote) noexcept {
    return kScanners.string_stop(p, end, quote);
}

const char* next_non_name_byte(const char* p, const char* end) noexcept { return kScanners.non_name(p, end); }

const char* next_fstring_stop(const char* p, const char* end, char quote) noexcept {
    return kScanners.fstring_stop(p, end, quote);
}

const char* next_line_end(const char* p, const char* end) noexcept { return kScanners.line_end(p, end); }

const char* next_trigger(const char* p, const char* end) noexcept { return kScanners.trigger(p, end); }

}  // namespace scanner_core
