// The three import statement forms that extraction recognises, as constant
// pattern objects. Each carries its pattern text (ECMAScript grammar, the
// classic locale: `\s` is blank, tab, LF, VT, FF or CR; `\w` is an ASCII
// letter, digit or underscore; bytes of 0x80 and above match neither) and a
// matcher that accepts exactly the lines that a search with that text would
// accept, with the same captures. The matchers never backtrack: one forward
// pass, time linear in the line, constant stack, for lines of any length.
//
// Why this matches the texts exactly: in each text, every quantified run is
// followed by a byte outside the run's class (`\s+` by a name byte or a
// keyword letter, `[\w.]+` by `\s`, `,` or the end), so giving back any byte
// of a greedy run can never let the rest match. The first, greedy attempt is
// therefore the only one that can succeed, and its captures are the maximal
// runs. In the relative form the dots are also name bytes, so shortening
// `(\.+)` only moves bytes into `([\w.]*)`, which then ends at the same place.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace scanner_core {

namespace pattern_detail {

enum : unsigned char { kSpace = 1, kWord = 2, kDot = 4, kName = kWord | kDot };

constexpr std::array<unsigned char, 256> make_classes() {
    std::array<unsigned char, 256> classes{};
    for (int c : {' ', '\t', '\n', '\v', '\f', '\r'}) classes[c] = kSpace;
    for (int c = '0'; c <= '9'; ++c) classes[c] = kWord;
    for (int c = 'A'; c <= 'Z'; ++c) classes[c] = kWord;
    for (int c = 'a'; c <= 'z'; ++c) classes[c] = kWord;
    classes['_'] = kWord;
    classes['.'] = kDot;
    return classes;
}

inline constexpr std::array<unsigned char, 256> kClasses = make_classes();

constexpr bool in_class(char c, unsigned char cls) noexcept {
    return (kClasses[static_cast<unsigned char>(c)] & cls) != 0;
}

// skip() for the rest of a run that is already long: the same result, many
// bytes at a time.
std::size_t skip_long_run(std::string_view s, std::size_t pos, unsigned char cls) noexcept;

#if defined(__SSE2__)
// The bytes of a name among the sixteen at `at`, as a mask: a byte is in a
// range when its distance from the range's start, as an unsigned byte, is
// at most the range's width.
inline unsigned name_bytes16(const char* at) noexcept {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
    const auto in_range = [](__m128i value, char low, char width) {
        const __m128i distance = _mm_sub_epi8(value, _mm_set1_epi8(low));
        return _mm_cmpeq_epi8(_mm_min_epu8(distance, _mm_set1_epi8(static_cast<char>(width - 1))), distance);
    };
    const __m128i lower = _mm_or_si128(bytes, _mm_set1_epi8(0x20));
    const __m128i in = _mm_or_si128(_mm_or_si128(in_range(bytes, '0', 10), in_range(lower, 'a', 26)),
                                    _mm_or_si128(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('_')),
                                                 _mm_cmpeq_epi8(bytes, _mm_set1_epi8('.'))));
    return static_cast<unsigned>(_mm_movemask_epi8(in));
}
#endif

// Returns the first position at or after `pos` whose byte is not in `cls`.
// Runs are short in real code and are walked byte by byte (a name sixteen
// bytes at a time where the text allows); one that goes on (a huge line) is
// finished by skip_long_run.
constexpr std::size_t skip(std::string_view s, std::size_t pos, unsigned char cls) noexcept {
    constexpr std::size_t kShortRun = 48;
#if defined(__SSE2__)
    if (!__builtin_is_constant_evaluated() && cls == kName) {
        const std::size_t start = pos;
        while (s.size() - pos >= 16 && pos - start < kShortRun) {
            const unsigned outside = ~name_bytes16(s.data() + pos) & 0xffffu;
            if (outside != 0) return pos + static_cast<std::size_t>(__builtin_ctz(outside));
            pos += 16;
        }
        if (s.size() - pos >= 16) return skip_long_run(s, pos, cls);
    }
#endif
    const std::size_t short_end = s.size() - pos > kShortRun ? pos + kShortRun : s.size();
    while (pos < short_end && in_class(s[pos], cls)) ++pos;
    if (pos < short_end || pos == s.size()) return pos;
    if (__builtin_is_constant_evaluated()) {
        while (pos < s.size() && in_class(s[pos], cls)) ++pos;
        return pos;
    }
    return skip_long_run(s, pos, cls);
}

// A plain loop rather than a comparison of views: the keywords are a few
// bytes long, and a library call per test would cost more than the test.
constexpr bool has_at(std::string_view s, std::size_t pos, std::string_view word) noexcept {
    if (s.size() - pos < word.size()) return false;
    for (std::size_t k = 0; k < word.size(); ++k) {
        if (s[pos + k] != word[k]) return false;
    }
    return true;
}

}  // namespace pattern_detail

// The captures of a successful match, as views into the matched line.
struct PatternMatch {
    std::string_view group1;  // the name; the leading dots in the relative form
    std::string_view group2;  // the name after the dots (relative form only)
};

class ImportPattern {
public:
    enum class Form : unsigned char { plain_import, from_absolute, from_relative };

    constexpr ImportPattern(Form form, std::string_view text) noexcept : form_(form), text_(text) {}

    constexpr Form form() const noexcept { return form_; }

    // The pattern text; the matcher below accepts exactly its language.
    constexpr std::string_view text() const noexcept { return text_; }

    // Returns whether the pattern matches a leading part of `line` (the
    // texts all begin with "^" and are not multiline), and if so stores the
    // captures in `match`. Never fails; thread-safe.
    constexpr bool match(std::string_view line, PatternMatch& match) const noexcept {
        using namespace pattern_detail;
        const std::string_view keyword = form_ == Form::plain_import ? "import" : "from";
        std::size_t pos = skip(line, 0, kSpace);  // ^\s*
        if (!has_at(line, pos, keyword)) return false;
        pos += keyword.size();
        const std::size_t name_start = skip(line, pos, kSpace);  // \s+
        if (name_start == pos) return false;

        if (form_ == Form::plain_import) {  // ([\w.]+)(?:\s|,|$)
            const std::size_t name_end = skip(line, name_start, kName);
            if (name_end == name_start) return false;
            if (name_end < line.size() && !in_class(line[name_end], kSpace) && line[name_end] != ',') {
                return false;
            }
            match = {line.substr(name_start, name_end - name_start), {}};
            return true;
        }

        std::size_t dots_end = name_start;  // (\.+) in the relative form
        if (form_ == Form::from_relative) {
            dots_end = skip(line, name_start, kDot);
            if (dots_end == name_start) return false;
        }
        const std::size_t name_end = skip(line, dots_end, kName);
        if (form_ == Form::from_absolute && name_end == name_start) return false;
        const std::size_t keyword_start = skip(line, name_end, kSpace);  // \s+import
        if (keyword_start == name_end || !has_at(line, keyword_start, "import")) return false;
        if (form_ == Form::from_relative) {
            match = {line.substr(name_start, dots_end - name_start), line.substr(dots_end, name_end - dots_end)};
        } else {
            match = {line.substr(name_start, name_end - name_start), {}};
        }
        return true;
    }

private:
    Form form_;
    std::string_view text_;
};

// What a SegmentedLineMatch asks, once, as the name it gathers first needs
// long room: how many bytes to leave free before the name in its
// string, so that a text made around the name (a finding's message) can be
// written where the name lies instead of moving the name to make room.
class NameRoom {
public:
    // The name's first bytes that `start` holds: this many, or all of a shorter name.
    static constexpr std::size_t kStartShown = 4096;
    // The answer that keeps no more of the name than `start`: its receiver
    // has all it needs to know in the name's first bytes.
    static constexpr std::size_t kStartOnly = SIZE_MAX;
    // Returns how many bytes to leave free before the name that begins with
    // `start` (0: none), or kStartOnly. Throws std::bad_alloc only.
    virtual std::size_t room_before(std::string_view start, bool is_from, bool is_relative) = 0;
    // Returns a string, empty, whose room an earlier name left and the one
    // asked about may be gathered in (its pages are already the process's:
    // reused, they cost no fault), or null. Never fails.
    virtual std::string* spare_room() noexcept { return nullptr; }

protected:
    ~NameRoom() = default;
};

// The extraction's question for one line, answered as the line's bytes
// arrive in segments, for the line that runs across the end of a piece of a
// file: skip blanks and tabs; a line whose first other byte is "f" is tried
// with RE_FROM_REL, then RE_FROM_ABS, one whose first is "i" with
// RE_IMPORT, any other gives nothing. Only the step reached and the part of
// the name captured so far are kept, so a line of any length costs no more
// than its name: runs of white space and the dots of a relative name are
// passed over, and the first byte that no pattern can take decides the line.
// The answers are those of the patterns on the whole line.
class SegmentedLineMatch {
public:
    enum class Verdict : unsigned char { undecided, matched, failed };

    // Takes the next bytes of the line (a line feed among them is white
    // space, as it would be for the patterns; extraction never sends one).
    // Returns the verdict so far; bytes after a decision are ignored. A name
    // that outgrows a quarter of a megabyte gets long room, written once, with
    // what `room` asks for (when given, and asked once a name) free before it,
    // or cut to its first kStartShown bytes when `room` wants only those.
    // Throws std::bad_alloc only, while the name grows, or from `room`.
    Verdict feed(std::string_view bytes, NameRoom* room = nullptr);

    // The line has ended: returns matched or failed. Never fails.
    Verdict end() noexcept;

    // After `matched`: the captured name (for the relative form, the part
    // after the dots) and the form. Moves the name out.
    std::string take_module() {
        std::string taken = std::move(name());
        taken.erase(0, room_);
        room_ = 0;
        return taken;
    }
    // The captured name in place. Never fails.
    std::string_view module() const noexcept { return std::string_view(name()).substr(room_); }
    // The string the name is gathered in, which the caller may move away:
    // room() bytes free for the caller's use, then the name.
    std::string& gathered() noexcept { return name(); }
    std::size_t room() const noexcept { return room_; }
    // Whether the name was cut to its first bytes at the NameRoom's asking.
    bool cut() const noexcept { return cut_; }
    // The name's string from now on, to share: it goes on growing as bytes
    // are fed. Only for a name fed with no NameRoom (room() is 0). Throws
    // std::bad_alloc only.
    std::shared_ptr<std::string> share() {
        if (!shared_) shared_ = std::make_shared<std::string>(std::move(name_));
        return shared_;
    }
    bool is_from() const noexcept { return from_; }
    bool is_relative() const noexcept { return relative_; }
    // Where the captured name begins, in bytes from the first byte fed;
    // meaningful once the name is not empty. Never fails.
    std::uint64_t name_offset() const noexcept { return name_at_; }

private:
    enum class Step : unsigned char { lead, keyword, gap, name_start, dots, name, gap_before_import, import_keyword };

    // Appends to the name; throws std::bad_alloc, or what `room` throws.
    void append_name(std::string_view bytes, NameRoom* room);

    Verdict decide(Verdict verdict) noexcept {
        verdict_ = verdict;
        return verdict;
    }

    Verdict verdict_ = Verdict::undecided;
    Step step_ = Step::lead;
    bool from_ = false;
    bool relative_ = false;
    bool room_asked_ = false;  // a NameRoom has been asked about this name
    bool cut_ = false;         // see cut()
    std::size_t count_ = 0;  // keyword letters matched, or white space seen, in the current step
    std::uint64_t fed_ = 0;      // bytes fed before the current ones
    std::uint64_t name_at_ = 0;  // see name_offset
    std::size_t room_ = 0;       // bytes before the name in its string
    // The captured name: in name_, or once shared, in *shared_.
    std::string name_;
    std::shared_ptr<std::string> shared_;
    std::string& name() noexcept { return shared_ ? *shared_ : name_; }
    const std::string& name() const noexcept { return shared_ ? *shared_ : name_; }
};

inline constexpr ImportPattern RE_IMPORT{ImportPattern::Form::plain_import,
                                         R"(^\s*import\s+([\w.]+)(?:\s|,|$))"};
inline constexpr ImportPattern RE_FROM_ABS{ImportPattern::Form::from_absolute,
                                           R"(^\s*from\s+([\w.]+)\s+import)"};
inline constexpr ImportPattern RE_FROM_REL{ImportPattern::Form::from_relative,
                                           R"(^\s*from\s+(\.+)([\w.]*)\s+import)"};

}  // namespace scanner_core
