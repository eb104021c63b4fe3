// Python 3.13's view of Unicode: lookups in the tables that the build
// generates from the interpreter's unicodedata (python_unicode_tables.py),
// and NFKC computed as the standard defines it, which is what Python does:
// full compatibility decomposition, canonical ordering, canonical
// composition. Text goes through in segments that nothing can compose or
// reorder across, so short identifiers need no buffer beyond the stack.
#include "lexical/python_unicode.hpp"

#include <algorithm>
#include <cstdint>
#include <vector>

namespace scanner_core::unicode {
namespace {

namespace tables {
#include "python_unicode_tables.inc"
}  // namespace tables

// The bits of a record, as python_unicode_tables.py writes them.
enum Flag : std::uint8_t {
    kIdStart = 1,
    kIdContinue = 2,
    kPrintable = 4,
    kDecomposes = 8,  // has a full NFKD other than itself (Hangul syllables aside)
    kComposesFirst = 16,
    kComposesLast = 32,
};

struct Properties {
    std::uint8_t flags;
    std::uint8_t ccc;  // canonical combining class; 0 for a starter
};

constexpr char32_t kCodePoints = 0x110000;
// Segments, and runs of marks, this long need no heap: identifiers are shorter.
constexpr std::size_t kInlineCodePoints = 64;
constexpr char32_t kBlockMask = (char32_t{1} << tables::kBlockShift) - 1;

Properties properties(char32_t c) noexcept {
    if (c >= kCodePoints) return {0, 0};
    const std::size_t block = tables::kPropertyIndex[c >> tables::kBlockShift];
    const std::uint16_t record =
        tables::kRecords[tables::kPropertyBlocks[(block << tables::kBlockShift) | (c & kBlockMask)]];
    return {static_cast<std::uint8_t>(record & 0xFF), static_cast<std::uint8_t>(record >> 8)};
}

struct Decomposition {
    const char32_t* begin;
    const char32_t* end;
};

// For a code point whose record has kDecomposes.
Decomposition decomposition(char32_t c) noexcept {
    const std::size_t block = tables::kDecompositionIndex[c >> tables::kBlockShift];
    const std::size_t entry = tables::kDecompositionBlocks[(block << tables::kBlockShift) | (c & kBlockMask)];
    return {tables::kDecompositionPool + tables::kDecompositionStart[entry],
            tables::kDecompositionPool + tables::kDecompositionStart[entry + 1]};
}

// Hangul syllables decompose into conjoining jamo, and compose back, by
// arithmetic.
constexpr char32_t kSyllableBase = 0xAC00, kLeadBase = 0x1100, kVowelBase = 0x1161, kTrailBase = 0x11A7;
constexpr char32_t kLeadCount = 19, kVowelCount = 21, kTrailCount = 28;
constexpr char32_t kSyllableCount = kLeadCount * kVowelCount * kTrailCount;

bool is_syllable(char32_t c) noexcept { return c - kSyllableBase < kSyllableCount; }
bool is_lead(char32_t c) noexcept { return c - kLeadBase < kLeadCount; }
bool is_vowel(char32_t c) noexcept { return c - kVowelBase < kVowelCount; }
// The trailing consonants proper: kTrailBase itself stands for "none".
bool is_trail(char32_t c) noexcept { return c - kTrailBase - 1 < kTrailCount - 1; }

// Whether `c` may compose with what precedes it, or be reordered before it:
// anything else starts a segment that nothing crosses.
bool joins_previous(char32_t c, Properties p) noexcept {
    return p.ccc != 0 || (p.flags & kComposesLast) != 0 || is_vowel(c) || is_trail(c);
}

// The primary composite of `first` and `last`, or 0.
char32_t compose(char32_t first, Properties first_properties, char32_t last, Properties last_properties) noexcept {
    if (is_lead(first) && is_vowel(last)) {
        return kSyllableBase + ((first - kLeadBase) * kVowelCount + (last - kVowelBase)) * kTrailCount;
    }
    if (is_syllable(first) && (first - kSyllableBase) % kTrailCount == 0 && is_trail(last)) {
        return first + (last - kTrailBase);
    }
    if ((first_properties.flags & kComposesFirst) == 0 || (last_properties.flags & kComposesLast) == 0) return 0;
    const std::uint64_t key = std::uint64_t{first} << 21 | last;
    const std::uint64_t* const keys_end = std::end(tables::kCompositionKeys);
    const std::uint64_t* const found = std::lower_bound(std::begin(tables::kCompositionKeys), keys_end, key);
    if (found == keys_end || *found != key) return 0;
    return tables::kCompositions[found - std::begin(tables::kCompositionKeys)];
}

// The decomposed code points of one segment: on the stack up to a size
// that identifiers do not reach, on the heap beyond it. Not copyable: it
// points into itself.
class Segment {
public:
    Segment() = default;
    Segment(const Segment&) = delete;
    Segment& operator=(const Segment&) = delete;

    char32_t* begin() noexcept { return data_; }
    char32_t* end() noexcept { return data_ + size_; }
    std::size_t size() const noexcept { return size_; }
    void clear() noexcept { size_ = 0; }
    void shrink(std::size_t size) noexcept { size_ = size; }

    void push_back(char32_t c) {
        if (size_ == capacity_) grow();
        data_[size_++] = c;
    }

private:
    void grow() {
        if (data_ == inline_) heap_.assign(inline_, inline_ + size_);
        heap_.resize(capacity_ * 2);
        data_ = heap_.data();
        capacity_ = heap_.size();
    }

    char32_t inline_[kInlineCodePoints];
    std::vector<char32_t> heap_;
    char32_t* data_ = inline_;
    std::size_t size_ = 0;
    std::size_t capacity_ = kInlineCodePoints;
};

bool by_combining_class(char32_t a, char32_t b) noexcept { return properties(a).ccc < properties(b).ccc; }

// Canonical ordering: each run of non-starters sorted stably by combining
// class, in place while it is short; a longer run is hostile text, which
// must not cost quadratic time.
void order(char32_t* begin, char32_t* end) {
    char32_t* run = begin;
    while (run != end) {
        if (properties(*run).ccc == 0) {
            ++run;
            continue;
        }
        char32_t* run_end = run + 1;
        while (run_end != end && properties(*run_end).ccc != 0) ++run_end;
        if (static_cast<std::size_t>(run_end - run) > kInlineCodePoints) {
            std::stable_sort(run, run_end, by_combining_class);
        } else {
            for (char32_t* at = run + 1; at != run_end; ++at) {
                const char32_t c = *at;
                const std::uint8_t ccc = properties(c).ccc;
                char32_t* to = at;
                for (; to != run && properties(to[-1]).ccc > ccc; --to) *to = to[-1];
                *to = c;
            }
        }
        run = run_end;
    }
}

// Canonical composition in place: each character composes with the last
// starter unless a character between them has a class of 0 or of at
// least its own (runs are ordered, so the last one between has the
// highest). Returns the new size.
std::size_t compose_all(char32_t* text, std::size_t size) noexcept {
    constexpr std::size_t kNone = static_cast<std::size_t>(-1);
    std::size_t starter = kNone, written = 0;
    Properties starter_properties{0, 0};
    std::uint8_t last_ccc = 0;
    for (std::size_t read = 0; read < size; ++read) {
        const char32_t c = text[read];
        const Properties p = properties(c);
        if (starter != kNone && (written == starter + 1 || last_ccc < p.ccc)) {
            const char32_t composite = compose(text[starter], starter_properties, c, p);
            if (composite != 0) {
                text[starter] = composite;
                starter_properties = properties(composite);
                continue;
            }
        }
        if (p.ccc == 0) {
            starter = written;
            starter_properties = p;
        }
        last_ccc = p.ccc;
        text[written++] = c;
    }
    return written;
}

void flush(Segment& segment, std::string& out) {
    if (segment.size() > 1) {
        order(segment.begin(), segment.end());
        segment.shrink(compose_all(segment.begin(), segment.size()));
    }
    for (const char32_t c : segment) append_utf8(c, out);
    segment.clear();
}

// Adds one code point of the full decomposition, ending the segment first
// when nothing after it can reach back.
void add_decomposed(char32_t c, Properties p, Segment& segment, std::string& out) {
    if (!joins_previous(c, p)) flush(segment, out);
    segment.push_back(c);
}

void add_code_point(char32_t c, Segment& segment, std::string& out) {
    const Properties p = properties(c);
    if ((p.flags & kDecomposes) != 0) {
        const Decomposition parts = decomposition(c);
        for (const char32_t* part = parts.begin; part != parts.end; ++part) {
            add_decomposed(*part, properties(*part), segment, out);
        }
    } else if (is_syllable(c)) {
        const char32_t index = c - kSyllableBase;
        add_decomposed(kLeadBase + index / (kVowelCount * kTrailCount), {0, 0}, segment, out);
        add_decomposed(kVowelBase + index % (kVowelCount * kTrailCount) / kTrailCount, {0, 0}, segment, out);
        if (index % kTrailCount != 0) add_decomposed(kTrailBase + index % kTrailCount, {0, 0}, segment, out);
    } else {
        add_decomposed(c, p, segment, out);
    }
}

constexpr char kHexDigits[] = "0123456789abcdef";

void append_escape(char32_t c, std::string& out) {
    switch (c) {
        case '\t': out.append("\\t"); return;
        case '\n': out.append("\\n"); return;
        case '\r': out.append("\\r"); return;
        default: break;
    }
    int digits = 8;
    char letter = 'U';
    if (c < 0x100) {
        digits = 2;
        letter = 'x';
    } else if (c < 0x10000) {
        digits = 4;
        letter = 'u';
    }
    out.push_back('\\');
    out.push_back(letter);
    for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) out.push_back(kHexDigits[(c >> shift) & 0xF]);
}

bool is_continuation(unsigned char byte) noexcept { return (byte & 0xC0) == 0x80; }

}  // namespace

const char* unicode_version() noexcept { return tables::kUnicodeVersion; }

bool is_identifier_start(char32_t c) noexcept { return (properties(c).flags & kIdStart) != 0; }

bool is_identifier_continue(char32_t c) noexcept { return (properties(c).flags & kIdContinue) != 0; }

bool is_printable(char32_t c) noexcept { return (properties(c).flags & kPrintable) != 0; }

bool folds_beyond_ascii(char32_t c) noexcept {
    if (c < 0x80) return false;
    if (c >= kCodePoints || (properties(c).flags & kDecomposes) == 0) return true;
    // Composition only ever joins characters into one beyond ASCII, so one
    // such character in the decomposition stays in the normal form.
    const Decomposition parts = decomposition(c);
    return std::any_of(parts.begin, parts.end, [](char32_t part) { return part >= 0x80; });
}

Utf8Char decode_utf8(std::string_view utf8, std::size_t at) noexcept {
    if (at >= utf8.size()) return {kNotUtf8, 0};
    const auto byte = [&](std::size_t offset) { return static_cast<unsigned char>(utf8[at + offset]); };
    const unsigned char lead = byte(0);
    if (lead < 0x80) return {lead, 1};
    const std::size_t left = utf8.size() - at;
    if (lead >= 0xC2 && lead <= 0xDF) {
        if (left >= 2 && is_continuation(byte(1))) return {char32_t(lead & 0x1F) << 6 | (byte(1) & 0x3F), 2};
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        // E0 must not be overlong; ED A0..BF are the surrogates, accepted.
        const unsigned char low = lead == 0xE0 ? 0xA0 : 0x80;
        if (left >= 3 && byte(1) >= low && byte(1) <= 0xBF && is_continuation(byte(2))) {
            return {char32_t(lead & 0x0F) << 12 | char32_t(byte(1) & 0x3F) << 6 | (byte(2) & 0x3F), 3};
        }
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        const unsigned char low = lead == 0xF0 ? 0x90 : 0x80;
        const unsigned char high = lead == 0xF4 ? 0x8F : 0xBF;
        if (left >= 4 && byte(1) >= low && byte(1) <= high && is_continuation(byte(2)) &&
            is_continuation(byte(3))) {
            return {char32_t(lead & 0x07) << 18 | char32_t(byte(1) & 0x3F) << 12 | char32_t(byte(2) & 0x3F) << 6 |
                        (byte(3) & 0x3F),
                    4};
        }
    }
    return {kNotUtf8, 1};
}

void append_utf8(char32_t c, std::string& out) {
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
        return;
    }
    if (c >= kCodePoints) c = 0xFFFD;
    char bytes[4];
    std::size_t length;
    if (c < 0x800) {
        bytes[0] = static_cast<char>(0xC0 | c >> 6);
        length = 2;
    } else if (c < 0x10000) {
        bytes[0] = static_cast<char>(0xE0 | c >> 12);
        bytes[1] = static_cast<char>(0x80 | (c >> 6 & 0x3F));
        length = 3;
    } else {
        bytes[0] = static_cast<char>(0xF0 | c >> 18);
        bytes[1] = static_cast<char>(0x80 | (c >> 12 & 0x3F));
        bytes[2] = static_cast<char>(0x80 | (c >> 6 & 0x3F));
        length = 4;
    }
    bytes[length - 1] = static_cast<char>(0x80 | (c & 0x3F));
    out.append(bytes, length);
}

void append_nfkc(std::string_view utf8, std::string& out) {
    Segment segment;
    std::size_t at = 0;
    while (at < utf8.size()) {
        if (static_cast<unsigned char>(utf8[at]) < 0x80) {
            // ASCII neither decomposes nor composes with what precedes it,
            // but its last character may take a combining mark that follows.
            std::size_t end = at + 1;
            while (end < utf8.size() && static_cast<unsigned char>(utf8[end]) < 0x80) ++end;
            flush(segment, out);
            out.append(utf8.data() + at, end - 1 - at);
            segment.push_back(static_cast<unsigned char>(utf8[end - 1]));
            at = end;
            continue;
        }
        const Utf8Char next = decode_utf8(utf8, at);
        if (next.code_point == kNotUtf8) {
            flush(segment, out);
            out.push_back(utf8[at]);
        } else {
            add_code_point(next.code_point, segment, out);
        }
        at += next.length;
    }
    flush(segment, out);
}

void append_printable(std::string_view utf8, std::string& out) {
    std::size_t at = 0;
    while (at < utf8.size()) {
        const auto lead = static_cast<unsigned char>(utf8[at]);
        if (lead >= 0x20 && lead < 0x7F) {
            std::size_t end = at + 1;
            while (end < utf8.size() && static_cast<unsigned char>(utf8[end]) >= 0x20 &&
                   static_cast<unsigned char>(utf8[end]) < 0x7F) {
                ++end;
            }
            out.append(utf8.data() + at, end - at);
            at = end;
            continue;
        }
        const Utf8Char next = decode_utf8(utf8, at);
        if (next.code_point == kNotUtf8) {
            append_escape(lead, out);
        } else if (is_printable(next.code_point)) {
            out.append(utf8.data() + at, next.length);
        } else {
            append_escape(next.code_point, out);
        }
        at += next.length;
    }
}

}  // namespace scanner_core::unicode
