#include "byte_scan.hpp"

#include <array>
#include <cstring>

#if defined(__x86_64__) || defined(_M_X64)
#define SCANNER_CORE_X86 1
#include <immintrin.h>
#endif

namespace scanner_core {
namespace {

constexpr std::array<bool, 256> make_code_stops() {
    std::array<bool, 256> stops{};
    for (int c = 0; c < 0x20; ++c) stops[c] = c != '\t' && c != '\f';
    for (int c = 0x7f; c < 0x100; ++c) stops[c] = true;
    for (const char c : {'\'', '"', '#', '\\', '(', ')', '[', ']', '{', '}', '$', '?', '`'}) {
        stops[static_cast<unsigned char>(c)] = true;
    }
    return stops;
}

constexpr std::array<bool, 256> kCodeStops = make_code_stops();

const char* code_stop_plain(const char* p, const char* end) noexcept {
    while (p < end && !kCodeStops[static_cast<unsigned char>(*p)]) ++p;
    return p;
}

const char* string_stop_plain(const char* p, const char* end, char quote) noexcept {
    while (p < end && *p != quote && *p != '\\' && *p != '\n' && *p != '\r' && static_cast<unsigned char>(*p) < 0x80) {
        ++p;
    }
    return p;
}

const char* line_end_plain(const char* p, const char* end) noexcept {
    while (p < end && *p != '\n' && *p != '\r') ++p;
    return p;
}

const char* trigger_plain(const char* p, const char* end) noexcept {
    for (; p < end; ++p) {
        if (static_cast<unsigned char>(*p) >= 0x80) return p;
        if (end - p >= 6 && std::memcmp(p, "import", 6) == 0) return p;
    }
    return end;
}

#if defined(SCANNER_CORE_X86)
// The code stops by nibbles: a byte below 0x80 is a stop when the entry of
// its low nibble has the bit of its high nibble; every entry has a bit in
// 0x03, so the high nibbles 8 to f, which stand for all bits, always stop.
#define SCANNER_CORE_LOW_NIBBLES 0x43, 0x03, 0x07, 0x07, 0x07, 0x03, 0x03, 0x07, 0x07, 0x06, 0x03, \
                                 static_cast<char>(0xa3), 0x22, static_cast<char>(0xa3), 0x03, \
                                 static_cast<char>(0x8b)
#define SCANNER_CORE_HIGH_NIBBLES 0x01, 0x02, 0x04, 0x08, 0x10, 0x20, 0x40, static_cast<char>(0x80), \
                                  -1, -1, -1, -1, -1, -1, -1, -1

// SSE2, which every x86-64 processor has.
const char* code_stop_sse2(const char* p, const char* end) noexcept {
    const __m128i quote = _mm_set1_epi8('\''), dquote = _mm_set1_epi8('"'), hash = _mm_set1_epi8('#');
    const __m128i backslash = _mm_set1_epi8('\\'), lparen = _mm_set1_epi8('('), rparen = _mm_set1_epi8(')');
    const __m128i lbracket = _mm_set1_epi8('['), rbracket = _mm_set1_epi8(']'), lbrace = _mm_set1_epi8('{');
    const __m128i rbrace = _mm_set1_epi8('}'), dollar = _mm_set1_epi8('$'), question = _mm_set1_epi8('?');
    const __m128i backtick = _mm_set1_epi8('`'), del = _mm_set1_epi8(0x7f), space = _mm_set1_epi8(0x20);
    const __m128i tab = _mm_set1_epi8('\t'), feed = _mm_set1_epi8('\f');
    while (end - p >= 16) {
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        // Signed: bytes above 0x7f count as below 0x20 too.
        __m128i stop = _mm_andnot_si128(_mm_or_si128(_mm_cmpeq_epi8(b, tab), _mm_cmpeq_epi8(b, feed)),
                                        _mm_cmplt_epi8(b, space));
        stop = _mm_or_si128(stop, _mm_or_si128(_mm_cmpeq_epi8(b, quote), _mm_cmpeq_epi8(b, dquote)));
        stop = _mm_or_si128(stop, _mm_or_si128(_mm_cmpeq_epi8(b, hash), _mm_cmpeq_epi8(b, backslash)));
        stop = _mm_or_si128(stop, _mm_or_si128(_mm_cmpeq_epi8(b, lparen), _mm_cmpeq_epi8(b, rparen)));
        stop = _mm_or_si128(stop, _mm_or_si128(_mm_cmpeq_epi8(b, lbracket), _mm_cmpeq_epi8(b, rbracket)));
        stop = _mm_or_si128(stop, _mm_or_si128(_mm_cmpeq_epi8(b, lbrace), _mm_cmpeq_epi8(b, rbrace)));
        stop = _mm_or_si128(stop, _mm_or_si128(_mm_cmpeq_epi8(b, dollar), _mm_cmpeq_epi8(b, question)));
        stop = _mm_or_si128(stop, _mm_or_si128(_mm_cmpeq_epi8(b, backtick), _mm_cmpeq_epi8(b, del)));
        const int mask = _mm_movemask_epi8(stop);
        if (mask != 0) return p + __builtin_ctz(static_cast<unsigned>(mask));
        p += 16;
    }
    return code_stop_plain(p, end);
}

__attribute__((target("avx2"))) const char* code_stop_avx2(const char* p, const char* end) noexcept {
    const __m256i low_table = _mm256_setr_epi8(SCANNER_CORE_LOW_NIBBLES, SCANNER_CORE_LOW_NIBBLES);
    const __m256i high_table = _mm256_setr_epi8(SCANNER_CORE_HIGH_NIBBLES, SCANNER_CORE_HIGH_NIBBLES);
    const __m256i nibble = _mm256_set1_epi8(0x0f);
    while (end - p >= 32) {
        const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
        const __m256i low = _mm256_shuffle_epi8(low_table, _mm256_and_si256(b, nibble));
        const __m256i high = _mm256_shuffle_epi8(high_table, _mm256_and_si256(_mm256_srli_epi16(b, 4), nibble));
        const __m256i none = _mm256_cmpeq_epi8(_mm256_and_si256(low, high), _mm256_setzero_si256());
        const unsigned mask = ~static_cast<unsigned>(_mm256_movemask_epi8(none));
        if (mask != 0) return p + __builtin_ctz(mask);
        p += 32;
    }
    return code_stop_sse2(p, end);
}

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

const char* trigger_sse2(const char* p, const char* end) noexcept {
    static constexpr char kWord[] = "import";
    while (end - p >= 16 + 5) {
        const __m128i first = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        __m128i word = _mm_cmpeq_epi8(first, _mm_set1_epi8(kWord[0]));
        for (int k = 1; k < 6; ++k) {
            const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + k));
            word = _mm_and_si128(word, _mm_cmpeq_epi8(bytes, _mm_set1_epi8(kWord[k])));
        }
        const int mask = _mm_movemask_epi8(word) | _mm_movemask_epi8(first);
        if (mask != 0) return p + __builtin_ctz(static_cast<unsigned>(mask));
        p += 16;
    }
    return trigger_plain(p, end);
}

__attribute__((target("avx2"))) const char* trigger_avx2(const char* p, const char* end) noexcept {
    static constexpr char kWord[] = "import";
    while (end - p >= 32 + 5) {
        const __m256i first = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
        __m256i word = _mm256_cmpeq_epi8(first, _mm256_set1_epi8(kWord[0]));
        for (int k = 1; k < 6; ++k) {
            const __m256i bytes = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + k));
            word = _mm256_and_si256(word, _mm256_cmpeq_epi8(bytes, _mm256_set1_epi8(kWord[k])));
        }
        const unsigned mask = static_cast<unsigned>(_mm256_movemask_epi8(word) | _mm256_movemask_epi8(first));
        if (mask != 0) return p + __builtin_ctz(mask);
        p += 32;
    }
    return trigger_sse2(p, end);
}

struct Scanners {
    const char* (*code_stop)(const char*, const char*) noexcept;
    const char* (*string_stop)(const char*, const char*, char) noexcept;
    const char* (*line_end)(const char*, const char*) noexcept;
    const char* (*trigger)(const char*, const char*) noexcept;
};

Scanners select_scanners() noexcept {
#if !defined(SCANNER_CORE_BASELINE_SIMD)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2")) return {code_stop_avx2, string_stop_avx2, line_end_avx2, trigger_avx2};
#endif
    return {code_stop_sse2, string_stop_sse2, line_end_sse2, trigger_sse2};
}
#else
struct Scanners {
    const char* (*code_stop)(const char*, const char*) noexcept;
    const char* (*string_stop)(const char*, const char*, char) noexcept;
    const char* (*line_end)(const char*, const char*) noexcept;
    const char* (*trigger)(const char*, const char*) noexcept;
};

Scanners select_scanners() noexcept { return {code_stop_plain, string_stop_plain, line_end_plain, trigger_plain}; }
#endif

const Scanners kScanners = select_scanners();

}  // namespace

const char* next_code_stop(const char* p, const char* end) noexcept { return kScanners.code_stop(p, end); }

const char* next_string_stop(const char* p, const char* end, char quote) noexcept {
    return kScanners.string_stop(p, end, quote);
}

const char* next_line_end(const char* p, const char* end) noexcept { return kScanners.line_end(p, end); }

const char* next_trigger(const char* p, const char* end) noexcept { return kScanners.trigger(p, end); }

}  // namespace scanner_core
