// The matchers' long-run scan and the segmented line matcher; the whole-line
// matchers are constexpr and live in the header.
#include "import_patterns.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <cstdint>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define SCANNER_CORE_X86 1
#endif

namespace scanner_core {

namespace pattern_detail {

namespace {

using SkipRun = std::size_t (*)(std::string_view s, std::size_t pos, unsigned char cls) noexcept;

std::size_t skip_run_plain(std::string_view s, std::size_t pos, unsigned char cls) noexcept {
    while (pos < s.size() && in_class(s[pos], cls)) ++pos;
    return pos;
}

#if defined(SCANNER_CORE_X86)
// Sixteen bytes at a time: a byte is in a range when its distance from the
// range's start, as an unsigned byte, is at most the range's width.
std::size_t skip_run_sse2(std::string_view s, std::size_t pos, unsigned char cls) noexcept {
    const auto in_range = [](__m128i bytes, char low, char width) {
        const __m128i distance = _mm_sub_epi8(bytes, _mm_set1_epi8(low));
        return _mm_cmpeq_epi8(_mm_min_epu8(distance, _mm_set1_epi8(static_cast<char>(width - 1))), distance);
    };
    const __m128i none = _mm_setzero_si128();
    while (s.size() - pos >= 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s.data() + pos));
        __m128i in = none;
        if ((cls & kSpace) != 0) {  // blank, or tab to carriage return
            in = _mm_or_si128(_mm_cmpeq_epi8(bytes, _mm_set1_epi8(' ')), in_range(bytes, '\t', 5));
        }
        if ((cls & kWord) != 0) {  // digit, letter of either case, underscore
            const __m128i lower = _mm_or_si128(bytes, _mm_set1_epi8(0x20));
            in = _mm_or_si128(in, _mm_or_si128(in_range(bytes, '0', 10), in_range(lower, 'a', 26)));
            in = _mm_or_si128(in, _mm_cmpeq_epi8(bytes, _mm_set1_epi8('_')));
        }
        if ((cls & kDot) != 0) in = _mm_or_si128(in, _mm_cmpeq_epi8(bytes, _mm_set1_epi8('.')));
        const unsigned outside = ~static_cast<unsigned>(_mm_movemask_epi8(in)) & 0xffffu;
        if (outside != 0) return pos + static_cast<std::size_t>(__builtin_ctz(outside));
        pos += 16;
    }
    return skip_run_plain(s, pos, cls);
}

// Sixty-four bytes at a time, for the names and runs of megabytes that a
// hostile file is made of.
__attribute__((target("avx512f,avx512bw"))) std::size_t skip_run_avx512(std::string_view s, std::size_t pos,
                                                                        unsigned char cls) noexcept {
    const auto in_range = [](__m512i bytes, char low, char width) __attribute__((target("avx512f,avx512bw"))) {
        return _mm512_cmple_epu8_mask(_mm512_sub_epi8(bytes, _mm512_set1_epi8(low)),
                                      _mm512_set1_epi8(static_cast<char>(width - 1)));
    };
    while (s.size() - pos >= 64) {
        const __m512i bytes = _mm512_loadu_si512(s.data() + pos);
        __mmask64 in = 0;
        if ((cls & kSpace) != 0) in |= _mm512_cmpeq_epi8_mask(bytes, _mm512_set1_epi8(' ')) | in_range(bytes, '\t', 5);
        if ((cls & kWord) != 0) {
            const __m512i lower = _mm512_or_si512(bytes, _mm512_set1_epi8(0x20));
            in |= in_range(bytes, '0', 10) | in_range(lower, 'a', 26) |
                  _mm512_cmpeq_epi8_mask(bytes, _mm512_set1_epi8('_'));
        }
        if ((cls & kDot) != 0) in |= _mm512_cmpeq_epi8_mask(bytes, _mm512_set1_epi8('.'));
        const std::uint64_t outside = ~static_cast<std::uint64_t>(in);
        if (outside != 0) return pos + static_cast<std::size_t>(__builtin_ctzll(outside));
        pos += 64;
    }
    return skip_run_sse2(s, pos, cls);
}

SkipRun select_skip_run() noexcept {
#if defined(SCANNER_CORE_BASELINE_SIMD)
    return skip_run_sse2;
#else
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw")) return skip_run_avx512;
    return skip_run_sse2;
#endif
}
#else
SkipRun select_skip_run() noexcept { return skip_run_plain; }
#endif

}  // namespace

std::size_t skip_long_run(std::string_view s, std::size_t pos, unsigned char cls) noexcept {
    static const SkipRun skip_run = select_skip_run();
    return skip_run(s, pos, cls);
}

}  // namespace pattern_detail

SegmentedLineMatch::Verdict SegmentedLineMatch::feed(std::string_view bytes) {
    using namespace pattern_detail;
    const std::size_t size = bytes.size();
    std::size_t pos = 0;
    while (verdict_ == Verdict::undecided && pos < size) {
        switch (step_) {
            case Step::lead: {  // blanks and tabs, then "f" or "i"
                while (pos < size && (bytes[pos] == ' ' || bytes[pos] == '\t')) ++pos;
                if (pos == size) break;
                if (bytes[pos] != 'f' && bytes[pos] != 'i') return decide(Verdict::failed);
                from_ = bytes[pos] == 'f';
                step_ = Step::keyword;
                break;
            }
            case Step::keyword:
            case Step::import_keyword: {
                const std::string_view word = step_ == Step::keyword && from_ ? "from" : "import";
                while (pos < size && count_ < word.size()) {
                    if (bytes[pos] != word[count_]) return decide(Verdict::failed);
                    ++pos;
                    ++count_;
                }
                if (count_ < word.size()) break;
                if (step_ == Step::import_keyword) return decide(Verdict::matched);
                step_ = Step::gap;
                count_ = 0;
                break;
            }
            case Step::gap:
            case Step::gap_before_import: {  // \s+
                const std::size_t end = skip(bytes, pos, kSpace);
                count_ += end - pos;
                pos = end;
                if (pos == size) break;
                if (count_ == 0) return decide(Verdict::failed);
                count_ = 0;
                if (step_ == Step::gap_before_import) {
                    step_ = Step::import_keyword;
                } else {
                    step_ = from_ ? Step::name_start : Step::name;
                }
                break;
            }
            case Step::name_start: {  // a dot makes the relative form; a letter the absolute one
                if (bytes[pos] == '.') {
                    relative_ = true;
                    step_ = Step::dots;
                } else if (in_class(bytes[pos], kWord)) {
                    step_ = Step::name;
                } else {
                    return decide(Verdict::failed);
                }
                break;
            }
            case Step::dots: {  // (\.+): not kept
                pos = skip(bytes, pos, kDot);
                if (pos < size) step_ = Step::name;
                break;
            }
            case Step::name: {  // ([\w.]+), or ([\w.]*) after the dots
                const std::size_t end = skip(bytes, pos, kName);
                append_name(bytes.substr(pos, end - pos));
                pos = end;
                if (pos == size) break;
                if (from_) {
                    step_ = Step::gap_before_import;
                    break;
                }
                // (?:\s|,|$) after a name of at least one byte
                const bool ends = in_class(bytes[pos], kSpace) || bytes[pos] == ',';
                return decide(!name_.empty() && ends ? Verdict::matched : Verdict::failed);
            }
        }
    }
    return verdict_;
}

void SegmentedLineMatch::append_name(std::string_view bytes) {
    const std::size_t needed = name_.size() + bytes.size();
    if (needed > name_.capacity() && needed >= kHugeName) {
        // A name of megabytes (only a hostile file has one) grows into room
        // that the system may back with large pages: each page fault then
        // brings two megabytes instead of four kilobytes. The room is
        // advised before a byte of it is written, and grows threefold: fewer
        // copies, and a lower peak, than doubling (its pages are taken only
        // as the name fills them), and less room left over than fourfold.
        std::string grown;
        grown.reserve(std::max(needed, 3 * name_.capacity()));
        constexpr std::uintptr_t kLargePage = std::uintptr_t{2} << 20;
        const auto begin = reinterpret_cast<std::uintptr_t>(grown.data());
        const std::uintptr_t first = (begin + kLargePage - 1) & ~(kLargePage - 1);
        const std::uintptr_t last = (begin + grown.capacity()) & ~(kLargePage - 1);
        if (last > first) ::madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
        grown.append(name_);
        name_.swap(grown);
    }
    name_.append(bytes);
}

SegmentedLineMatch::Verdict SegmentedLineMatch::end() noexcept {
    if (verdict_ != Verdict::undecided) return verdict_;
    // Only a plain import can end with the line: its name before `$`.
    const bool ends_plain_name = !from_ && step_ == Step::name && !name_.empty();
    return decide(ends_plain_name ? Verdict::matched : Verdict::failed);
}

}  // namespace scanner_core
