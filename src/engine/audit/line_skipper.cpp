#include "audit/line_skipper.hpp"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "kernels/bit_count.hpp"
#include "kernels/byte_scan.hpp"
#include "kernels/kernels.hpp"
#include "lexical/python_chars.hpp"
#include "lexical/python_unicode.hpp"
#include "lexical/string_body.hpp"

namespace scanner_core {
namespace {

using python_chars::after_line_break;
using python_chars::decode_utf8;
using python_chars::is;
using python_chars::kBlank;
using python_chars::kMaxBrackets;
using python_chars::kNameByte;

// Replacement fields within replacement fields, and f-strings within those,
// followed here; deeper nesting is left to the tokenizer.
constexpr int kMaxNesting = 8;

// The bits below `bit` (0 to 64), without a branch: the walk asks for them
// at every stop, where whether a block has one is no pattern.
inline std::uint64_t below(int bit) noexcept {
    return ((std::uint64_t{1} << (bit & 63)) - 1) | (0 - static_cast<std::uint64_t>(bit >> 6));
}

inline bool high(char c) noexcept { return static_cast<unsigned char>(c) >= 0x80; }

// The brackets open in a logical line, each matched as Python matches
// it: how many, and the "[" and "{" among them with the depth each opened
// at. A "(" is whatever level no other bracket holds, so that a run of
// parentheses, most of a line's brackets, is taken in bulk (take_all).
// Nesting deeper than Python allows is left to the tokenizer, which
// refuses it.
struct OpenBrackets {
    struct Other {
        int level;  // the depth with it open
        unsigned char kind;
    };
    int depth = 0;
    int others = 0;
    int squares = 0;  // of the others, "["
    Other other[kMaxBrackets];

    bool empty() const noexcept { return depth == 0; }
    bool square_open() const noexcept { return squares > 0; }
    void clear() noexcept { depth = others = squares = 0; }
    // The depth below which a ")" would close another kind of bracket.
    int floor() const noexcept { return others > 0 ? other[others - 1].level : 0; }

    // Takes the bracket `c`; false when it is unmatched or too deep, both
    // of which Python refuses.
    bool take(unsigned char c) noexcept {
        if (c == '(' || c == '[' || c == '{') {
            if (depth == static_cast<int>(kMaxBrackets)) return false;
            ++depth;
            if (c != '(') {
                other[others++] = Other{depth, c};
                squares += c == '[' ? 1 : 0;
            }
            return true;
        }
        if (depth == floor()) {
            // It closes the innermost "[" or "{", if there is one.
            if (others == 0 || other[others - 1].kind != (c == ']' ? '[' : c == '}' ? '{' : 0)) return false;
            squares -= c == ']' ? 1 : 0;
            --others;
        } else if (c != ')') {
            return false;
        }
        --depth;
        return true;
    }

    // Takes `brackets`, the brackets of a range of the block at `base`
    // (`closing` those of them that close, `parens` the block's
    // parentheses), in order; returns those taken, all of them unless one
    // is unmatched or too deep. A range of parentheses alone is taken by
    // counts when no ")" in it closes more than the parentheses open.
    template <class Count>
    std::uint64_t take_all(std::uint64_t brackets, std::uint64_t closing, std::uint64_t parens, const char* base,
                           Count count) noexcept {
        const std::uint64_t opening = brackets & ~closing;
        const int opened = static_cast<int>(count(opening));
        const int closed = static_cast<int>(count(closing));
        bool bulk = (brackets & ~parens) == 0 && depth + opened <= static_cast<int>(kMaxBrackets);
        const int slack = depth - floor();
        for (std::uint64_t closes = closed > slack ? closing : 0; bulk && closes != 0; closes &= closes - 1) {
            const std::uint64_t before = below(__builtin_ctzll(closes));
            bulk = count(closing & before) < slack + count(opening & before);
        }
        if (bulk) {
            depth += opened - closed;
            return brackets;
        }
        for (std::uint64_t left = brackets; left != 0; left &= left - 1) {
            const int bit = __builtin_ctzll(left);
            if (!take(static_cast<unsigned char>(base[bit]))) return brackets & below(bit);
        }
        return brackets;
    }
};

// Of `feeds`, the last outside brackets, given the depth at the range's
// start and the brackets opened and closed in it: -1 if none. A feed can be
// outside brackets only if as many close before it as are open.
template <class Count>
inline int last_feed_outside(std::uint64_t feeds, int depth, std::uint64_t opening, std::uint64_t closing,
                             Count count) noexcept {
    if (static_cast<int>(count(closing)) < depth) return -1;
    for (; feeds != 0;) {
        const int last = 63 - __builtin_clzll(feeds);
        const std::uint64_t before = below(last);
        if (depth + count(opening & before) == count(closing & before)) return last;
        feeds &= before;
    }
    return -1;
}

// Whether the string whose quote is at `quote` begins the key of a
// subscript: after its prefix, blanks, line breaks and opening
// parentheses, a "[" (not looking back before `start`).
inline bool subscript_key(const char* quote, const char* start) noexcept {
    const char* p = quote;
    for (int letters = 0; letters < 2 && p > start && ((p[-1] | 0x20) >= 'a' && (p[-1] | 0x20) <= 'z'); ++letters) --p;
    while (p > start && (p[-1] == ' ' || p[-1] == '\t' || p[-1] == '(' || p[-1] == '\n' || p[-1] == '\r' ||
                         p[-1] == '\\')) {
        --p;
    }
    return p > start && p[-1] == '[';
}

// Whether the string literal from `opened` to `after`, in a subscript, is
// plainly no door's name: no escape, no door's name in its text, and the
// whole key, right after the "[" and before the "]". Anything around it
// (another string joined to it, `+` or `*`, a tuple it is an element of)
// may fold with it into a door's name, as Python's compiler folds constants.
inline bool plain_key(const char* opened, const char* after, const char* end) noexcept {
    const std::string_view text(opened, static_cast<std::size_t>(after - opened));
    if (text.find('\\') != std::string_view::npos) return false;
    for (const std::string_view door : {"__import__", "import_module", "exec", "eval", "compile", "__loader__"}) {
        if (text.find(door) != std::string_view::npos) return false;
    }
    // In an annotation (`list["..."]`) typing gives it to eval: an attribute,
    // a call or a subscript there may reach a module through a followed name.
    if (text.find_first_of(".([") != std::string_view::npos) return false;
    const char* p = after;
    while (p < end && (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n' || *p == '\\')) ++p;
    return p < end && *p == ']';
}

// The bracket a level of `open` is inside: '(' or the "[" or "{" that
// opened it, 0 at the line's own level. Levels are asked in falling order,
// from `k`, the others still below the level last asked (so that a walk
// back over a line costs what the line is long).
inline unsigned char bracket_at(const OpenBrackets& open, int level, int& k) noexcept {
    if (level <= 0) return 0;
    while (k > 0 && open.other[k - 1].level > level) --k;
    return k > 0 && open.other[k - 1].level == level ? open.other[k - 1].kind : '(';
}

// Whether a ':' or "->" in the code from `from` to the string whose quote
// is at `q` (no string between them; `open` the brackets open at q) may
// begin an annotation, whose every string the tokenizer reads (typing
// gives them to eval): a ':' that is not a walrus's, outside "[" and "{",
// where a colon makes a slice or a dict's entry. Headers' and lambdas'
// colons are taken too, which only leaves their lines to the tokenizer.
// Walks back from q, the brackets known at q; a comment there may hold
// brackets, so that with one, any colon is taken.
inline bool annotation_before(const char* from, const char* q, const OpenBrackets& open) noexcept {
    const auto span = static_cast<std::size_t>(q - from);
    if (std::memchr(from, ':', span) == nullptr && std::memchr(from, '>', span) == nullptr) return false;
    const bool comment = std::memchr(from, '#', span) != nullptr;
    unsigned char inner[kMaxBrackets];  // the brackets closed between the walk back and q
    std::size_t closed = 0;
    int level = open.depth;
    int k = open.others;
    for (const char* p = q; p > from;) {
        const char c = *--p;
        if (c == ')' || c == ']' || c == '}') {
            if (closed == kMaxBrackets) return true;
            inner[closed++] = static_cast<unsigned char>(c == ')' ? '(' : c == ']' ? '[' : '{');
        } else if (c == '(' || c == '[' || c == '{') {
            if (closed > 0) {
                --closed;
            } else {
                --level;
            }
        } else if (c == ':' && p[1] != '=') {
            if (comment) return true;
            const unsigned char kind = closed > 0 ? inner[closed - 1] : bracket_at(open, level, k);
            if (kind != '[' && kind != '{') return true;
        } else if (c == '>' && p > from && p[-1] == '-') {
            return true;
        }
    }
    return false;
}

// A walk through the bytes of a logical line. Each member returns false
// when what it meets must be left to the tokenizer.
struct Walk {
    const char* q;
    const char* const end;
    const char* line;     // where the logical line begins
    std::int64_t feeds;   // line feeds before q
    // The brackets open, as Python's tokenizer counts them against its
    // limit: those of the line around the string, and in each replacement
    // field (of the text or of a format specifier), its brace and the
    // brackets in it. Set by whoever reads a string in code.
    int levels = 0;
    // Inside an f-string met in code, whose replacement fields are code: the
    // first word (next_trigger's) from the string's opening on that is not
    // in its text, a nested string or a comment; while `open`, only how far
    // the search went (no word begins before it). A search looks a short
    // window ahead, then on in windows twice as long as the walk reaches
    // them, so that a line given back to the tokenizer costs a search no
    // longer than what was walked. Outside f-strings, the words in code are
    // the blocks' own (CodeMasks::words), and nothing is searched here.
    bool tracking = false;
    const char* trigger = nullptr;
    bool open = false;
    std::size_t window = 0;
    // The logical line whose code before `checked` has been looked at for a
    // colon that begins an annotation, and whether one was found.
    const char* checked_line = nullptr;
    const char* checked = nullptr;
    bool annotation = false;

    void find_trigger(const char* from) noexcept {
        window = 64;
        search(from);
    }

    void search(const char* from) noexcept {
        const auto left = static_cast<std::size_t>(end - from);
        const std::size_t span = std::min(left, window);
        // A word that begins in the window ends within the longest word's
        // length, less one, after it.
        const char* const limit = from + std::min(left, span + kLongestTrigger - 1);
        trigger = next_trigger(from, limit);
        open = trigger == limit && limit != end;
        if (open) trigger = from + span;
    }

    // Searches on until the word is known to be, or not to be, before `limit`.
    void search_to(const char* limit) noexcept {
        while (open && trigger < limit) {
            window *= 2;
            search(trigger);
        }
    }

    // The bytes from `from` to q were text or a comment: the word there does not count.
    void passed(const char* from) noexcept {
        if (!tracking) return;
        search_to(from);
        if (trigger >= from && trigger < q) find_trigger(q);
    }

    // At a byte above 0x7f in code: a character of a name that cannot fold
    // to a word that matters (every such word is ASCII), and that Python
    // takes in a name where it stands. After ASCII letters and digits that
    // begin with a digit (a number, `0xf`), what it is is left to the
    // tokenizer. Each run of them is looked back over once: the character
    // that ends it.
    bool name_character() noexcept {
        char32_t code_point = 0;
        const int length = decode_utf8(q, end, code_point);
        if (length <= 0 || !unicode::folds_beyond_ascii(code_point)) return false;
        const char* run = q;
        while (run > line && is(run[-1], kNameByte) && !high(run[-1])) --run;
        if (run < q && is(*run, python_chars::kDigitByte) && !(run > line && high(run[-1]))) return false;
        const bool first = run == q && !(q > line && high(q[-1]));
        if (!(first ? unicode::is_identifier_start(code_point) : unicode::is_identifier_continue(code_point))) {
            return false;
        }
        q += length;
        return true;
    }

    // At a backslash in code: a continuation line.
    bool continuation() noexcept {
        if (end - q < 3) return false;
        if (q[1] == '\n') {
            ++feeds;
            q += 2;
            return true;
        }
        if (q[1] != '\r') return false;  // Python refuses it
        q = after_line_break(q + 1, end);
        if (q[-1] == '\n') ++feeds;
        return true;
    }

    // At a line break inside brackets or a triple-quoted string.
    void line_break() noexcept {
        q = after_line_break(q, end);
        if (q[-1] == '\n') ++feeds;
    }

    // At a quote in code: the string it opens, with the prefix before it.
    bool quoted(int nesting) noexcept {
        const char quote = *q;
        bool raw = false;
        bool bytes = false;
        bool format = false;
        if (q > line && is(q[-1], kNameByte)) {
            const char* name = q - 1;
            while (name > line && is(name[-1], kNameByte)) --name;
            // Digits before the letters make a number and a prefix of them
            // (`2f"..."`), as the tokenizer reads them: left to it.
            for (const char* c = name; c < q; ++c) {
                if (is(*c, python_chars::kDigitByte)) return false;
            }
            if (!python_chars::string_prefix(std::string_view(name, static_cast<std::size_t>(q - name)), raw, bytes,
                                             format)) {
                raw = bytes = format = false;
            }
        }
        if (end - q < 3) return false;
        const bool triple = q[1] == quote && q[2] == quote;
        q += triple ? 3 : 1;
        return format ? fstring(quote, triple, raw, nesting) : string(quote, triple, bytes);
    }

    // After a string's opening quotes: its body and closing quotes, read as
    // the tokenizer reads them; anything but their end is left to it.
    bool string(char quote, bool triple, bool bytes) noexcept {
        const char* const from = q;
        const StringBody::Read read = StringBody{quote, triple, bytes, false}.read(q, end, false, feeds);
        if (read.stop != StringBody::Stop::closed) return false;
        q = read.at;
        passed(from);
        return true;
    }

    // After an f-string's opening quotes: its text, fields and closing quotes.
    bool fstring(char quote, bool triple, bool raw, int nesting) noexcept {
        if (nesting > kMaxNesting) return false;
        const char* from = q;
        if (!tracking) {
            tracking = true;
            find_trigger(q);
        }
        FStringText text{quote, triple, raw, false};
        for (;;) {
            const FStringText::Read read = text.read(q, end, false, feeds);
            q = read.at;
            if (read.stop == FStringText::Stop::closed) {
                passed(from);
                return true;
            }
            if (read.stop != FStringText::Stop::field) return false;  // left to the tokenizer
            passed(from);
            ++q;
            if (!field(quote, triple, raw, nesting + 1, 1)) return false;
            from = q;
        }
    }

    // After a replacement field's "{": its expression, any format specifier, and
    // the "}" that closes it.
    // `fields`: the fields of this f-string open, this one included.
    bool field(char quote, bool triple, bool raw, int nesting, std::size_t fields) noexcept {
        if (nesting > kMaxNesting || levels >= static_cast<int>(kMaxBrackets)) return false;
        ++levels;  // the field's brace
        const char* const field_start = q;
        std::size_t depth = 0;
        char open[kMaxBrackets];  // the brackets open in the field, matched as Python matches them
        for (;;) {
            if (q == end) return false;
            const char c = *q;
            switch (c) {
                case '\n':
                case '\r': line_break(); continue;
                case '#': {
                    const char* from = q;
                    q = next_line_end(q, end);
                    passed(from);
                    continue;
                }
                case '\\':
                    if (!continuation()) return false;
                    continue;
                case '\'':
                case '"':
                {
                    const char* const opened = q;
                    const bool in_square = std::find(open, open + depth, '[') != open + depth;
                    const bool key = subscript_key(q, field_start);
                    if (!quoted(nesting) || ((key || in_square) && !(key && plain_key(opened, q, end)))) return false;
                    continue;
                }
                case '(':
                case '[':
                case '{':
                    if (levels >= static_cast<int>(kMaxBrackets)) return false;
                    ++levels;
                    open[depth++] = c;
                    ++q;
                    continue;
                case ')':
                case ']':
                case '}':
                    ++q;
                    if (c == '}' && depth == 0) {  // the field's own brace
                        --levels;
                        return true;
                    }
                    if (depth == 0 || open[--depth] != (c == ')' ? '(' : c == ']' ? '[' : '{')) return false;
                    --levels;
                    continue;
                case ':':
                    ++q;
                    if (depth == 0) {
                        const bool read = format_specifier(quote, triple, raw, nesting, fields);
                        --levels;  // the field's brace, closed with its specifier
                        return read;
                    }
                    continue;
                case '$':
                case '?':
                case '`': return false;
                default:
                    if (high(c) || (static_cast<unsigned char>(c) < 0x20 && c != '\t' && c != '\f') || c == 0x7f) {
                        return false;
                    }
                    ++q;
                    continue;
            }
        }
    }

    // After the ':' of a field: its format specifier, with fields of its own,
    // up to the "}" that closes the field.
    bool format_specifier(char quote, bool triple, bool raw, int nesting, std::size_t fields) noexcept {
        const char* from = q;
        FStringText text{quote, triple, raw, false, true};
        for (;;) {
            const FStringText::Read read = text.read(q, end, false, feeds);
            q = read.at;
            if (read.stop == FStringText::Stop::field_end) {
                ++q;
                passed(from);
                return true;
            }
            if (read.stop != FStringText::Stop::field) return false;  // left to the tokenizer
            if (fields >= python_chars::kMaxFields) return false;  // Python refuses it
            passed(from);
            ++q;
            if (!field(quote, triple, raw, nesting + 1, fields + 1)) return false;
            from = q;
        }
    }
};

// --- import statements simple enough to need no tokens ----------------------

constexpr bool ascii_letter(char c) noexcept { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; }
constexpr bool ascii_name_byte(char c) noexcept { return ascii_letter(c) || (c >= '0' && c <= '9'); }

// Python's keywords, which are never names.
bool keyword(std::string_view name) noexcept { return python_chars::keyword(name); }

// Whether `name` is one of the doors to an importer beside the import
// statement: the importers, the builtins that run text as code, getattr,
// a module's loader.
bool door_name(std::string_view name) noexcept {
    return name == "__import__" || name == "import_module" || name == "exec" || name == "eval" ||
           name == "compile" || name == "getattr" || name == "__loader__" || name == "__spec__";
}

// Whether the door name `name`, which begins at `first`, is plainly the
// attribute of a name other than builtins' (`re.compile`, `model.eval`):
// only the builtins' exec, eval, compile and getattr are doors, while
// __import__, import_module and __loader__ are whoever's they are.
bool attribute_of_other(std::string_view name, const char* first, const char* line) noexcept {
    if (name == "__import__" || name == "import_module" || name == "__loader__" || name == "__spec__") return false;
    const char* p = first;
    while (p > line && (p[-1] == ' ' || p[-1] == '\t')) --p;
    if (p == line || p[-1] != '.') return false;
    --p;
    while (p > line && (p[-1] == ' ' || p[-1] == '\t')) --p;
    const char* const value_end = p;
    while (p > line && ascii_name_byte(p[-1])) --p;
    if (p == value_end || (p > line && high(p[-1])) || (*p >= '0' && *p <= '9')) return false;
    const std::string_view value(p, static_cast<std::size_t>(value_end - p));
    // After a keyword (`in.eval`, `None.eval`) the dot follows no name: the tokenizer tells.
    if (python_chars::keyword(value)) return false;
    return value != "builtins" && value != "__builtins__";
}

// Whether the word at `word` (a trigger) may matter: the whole name it is
// in is `import` or a door (see door_name), or it is `match` beginning the
// logical line at `line` (where it may open a match statement). A name such
// as `importlib` or `matches` does not. `name_end` is set to the end of
// that name, where the next word may begin.
bool word_matters(const char* word, const char* line, const char* end, const char*& name_end) noexcept {
    const char* first = word;
    while (first > line && ascii_name_byte(first[-1])) --first;
    // A name beyond ASCII, or bytes that begin with a digit (a number, and
    // perhaps a name after it): the tokenizer tells.
    if (first > line && high(first[-1])) return true;
    if (*first >= '0' && *first <= '9') return true;
    const char* last = word;
    while (last < end && ascii_name_byte(*last)) ++last;
    name_end = last;
    if (last < end && high(*last)) return true;
    const std::string_view name(first, static_cast<std::size_t>(last - first));
    if (name == "import") return true;
    if (door_name(name)) return !attribute_of_other(name, first, line);
    if (name != "match") return false;
    // The first token of its logical line, after blanks and continuations.
    while (line < first) {
        if (*line == ' ' || *line == '\t' || *line == '\f') {
            ++line;
        } else if (*line == '\\' && first - line >= 2 && (line[1] == '\n' || line[1] == '\r')) {
            line = after_line_break(line + 1, first);
        } else {
            break;
        }
    }
    if (line != first) return false;
    // What follows the name on its line, when no subject of a match
    // statement can begin with it, makes it a plain name (`match = ...`,
    // `match.group()`, `match: T`): a subject can begin with a dot (`.5`,
    // `...`), but never with an attribute's dot and name, "=", or a
    // closing or separating mark.
    const char* after = last;
    while (after < end && (*after == ' ' || *after == '\t')) ++after;
    if (end - after < 2) return true;
    const char c = after[0];
    const char next = after[1];
    if (c == '=') return next == '=';
    if (c == '.') return !ascii_letter(next);
    return c != ':' && c != ',' && c != ')' && c != ']' && c != '}' && c != ';';
}

// A reading of one physical line that is a whole import statement.
class SimpleImport {
public:
    SimpleImport(const char* p, const char* end) noexcept : p_(p), end_(end) {}

    // Reads the statement; returns the position after its line break, or
    // nullptr when the line is anything else. The modules are in modules().
    const char* read() noexcept {
        blanks();
        start_ = p_;
        if (word("import")) {
            if (!blank() || !plain()) return nullptr;
        } else if (word("from")) {
            if (!blank() || !from()) return nullptr;
        } else {
            return nullptr;
        }
        blanks();
        if (p_ < end_ && *p_ == '#') {
            while (p_ < end_ && *p_ != '\n' && *p_ != '\r' && !high(*p_)) ++p_;
        }
        if (p_ < end_ && *p_ == '\n') return p_ + 1;
        if (end_ - p_ >= 2 && p_[0] == '\r' && p_[1] == '\n') return p_ + 2;
        return nullptr;
    }

    int count() const noexcept { return count_; }
    const char* start() const noexcept { return start_; }  // the statement's first byte
    std::string_view module(int k) const noexcept { return modules_[k]; }

private:
    // Modules of one statement kept in place: names joined by dots with no
    // blanks around them are views of the line; others are left to the tokenizer.
    static constexpr int kMostModules = 8;

    bool blank() const noexcept { return p_ < end_ && (*p_ == ' ' || *p_ == '\t'); }
    void blanks() noexcept {
        while (blank()) ++p_;
    }
    bool word(std::string_view text) noexcept {
        if (static_cast<std::size_t>(end_ - p_) <= text.size() || std::string_view(p_, text.size()) != text ||
            ascii_name_byte(p_[text.size()])) {
            return false;
        }
        p_ += text.size();
        return true;
    }
    // A name that is no keyword, or an empty view.
    std::string_view name() noexcept {
        const char* start = p_;
        if (p_ == end_ || !ascii_letter(*p_)) return {};
        while (p_ < end_ && ascii_name_byte(*p_)) ++p_;
        if (p_ < end_ && high(*p_)) return {};  // a name that goes on beyond ASCII
        const std::string_view found(start, static_cast<std::size_t>(p_ - start));
        return keyword(found) ? std::string_view() : found;
    }
    std::string_view dotted() noexcept {
        const char* start = p_;
        do {
            if (name().empty()) return {};
        } while (p_ < end_ && *p_ == '.' && ++p_);
        return {start, static_cast<std::size_t>(p_ - start)};
    }
    bool plain() noexcept {
        for (;;) {
            blanks();
            const std::string_view module = dotted();
            if (module.empty() || count_ == kMostModules) return false;
            if (module == "builtins") return false;  // `as b`: b.exec is the builtin, which the tokenizer follows
            modules_[count_++] = module;
            blanks();
            if (word("as")) {
                blanks();
                if (name().empty()) return false;
                blanks();
            }
            if (p_ == end_ || *p_ != ',') return true;
            ++p_;
        }
    }
    bool from() noexcept {
        blanks();
        bool relative = false;
        const char* const dots = p_;
        while (p_ < end_ && *p_ == '.') {
            relative = true;
            ++p_;
        }
        if (!relative || (p_ < end_ && ascii_letter(*p_))) {
            const std::string_view module = dotted();
            if (module.empty()) return false;
            // Names bound from these may be importers under an alias: the tokenizer reads them.
            if (!relative && (module == "importlib" || module == "builtins")) return false;
            if (!relative) modules_[count_++] = module;
        }
        // A relative import goes with its dots, for the judgement of its level.
        if (relative) modules_[count_++] = std::string_view(dots, static_cast<std::size_t>(p_ - dots));
        blanks();
        if (!word("import")) {
            // "import" right before "(" or "*" has no blank after it.
            if (end_ - p_ < 7 || std::string_view(p_, 6) != "import" || (p_[6] != '(' && p_[6] != '*')) return false;
            p_ += 6;
        }
        // What is imported does not matter, as long as it is only names on this line.
        bool parenthesised = false;
        blanks();
        if (p_ < end_ && *p_ == '(') {
            parenthesised = true;
            ++p_;
        }
        for (;;) {
            blanks();
            if (p_ < end_ && *p_ == '*' && !parenthesised) {
                ++p_;
                return true;
            }
            if (name().empty()) return false;
            blanks();
            if (word("as")) {
                blanks();
                if (name().empty()) return false;
                blanks();
            }
            if (p_ < end_ && *p_ == ',') {
                ++p_;
                blanks();
                if (parenthesised && p_ < end_ && *p_ == ')') break;
                continue;
            }
            break;
        }
        if (!parenthesised) return true;
        if (p_ == end_ || *p_ != ')') return false;
        ++p_;
        return true;
    }

    const char* p_;
    const char* const end_;
    const char* start_ = nullptr;
    std::string_view modules_[kMostModules];
    int count_ = 0;
};

// Where a string that opens at the quote `q` (in the block at `base`,
// whose masks are `block`) is closed, read from the masks: past its closing
// quote when it has no prefix, is not triple-quoted and closes in the
// block with none but bytes that are text to any string before (no line
// feed, backslash, control character or byte above 0x7f), which is what
// most strings are; else nullptr, and the string is read byte by byte.
// `text`: the bits of the block's bytes that are the text's.
inline const char* closed_in_block(const CodeMasks& block, const char* base, const char* q, const char* line,
                                   std::uint64_t text) noexcept {
    if (q > line && is(q[-1], kNameByte)) return nullptr;  // a prefix, or a name Python refuses
    const int at = static_cast<int>(q - base);
    const std::uint64_t later = ~below(at + 1) & text;
    for (std::uint64_t specials = block.special & later; specials != 0; specials &= specials - 1) {
        const int bit = __builtin_ctzll(specials);
        const char c = base[bit];
        if (c == *q) {
            // Right after the quote: an empty string, or triple quotes.
            if (bit == at + 1 || (block.feeds & later & below(bit)) != 0) return nullptr;
            return base + bit + 1;
        }
        if (c != '\'' && c != '"' && c != '#' && c != '$' && c != '?' && c != '`') return nullptr;
    }
    return nullptr;
}

// The kernel that classifies blocks, read once for a walk.
using ClassifyBlocks = void (*)(const char*, std::size_t, const char*, LineMasks*, CodeMasks*) noexcept;

// A block's step: the block that holds q, whose 64 bytes begin at `base`.
// On the piece's grid (`origin` its first byte), `masks` are the piece's
// own, classified with it (the last block may run past `end`); else the 64
// bytes from q are classified here, into `own`, where `masks` point.
__attribute__((always_inline)) inline void enter_block(const char* q, const char* end, bool on_grid,
                                                       const char* origin, const ClassifiedPiece* piece,
                                                       ClassifyBlocks classify, const char*& base,
                                                       const CodeMasks*& masks, CodeMasks& own) noexcept {
    if (on_grid) {
        const std::size_t index = static_cast<std::size_t>(q - origin) / 64;
        base = origin + 64 * index;
        masks = &piece->with_code(index);
    } else {
        base = q;
        classify(q, 1, end, nullptr, &own);
    }
}

// What the walk takes of a block at once, as bits of its bytes: from q to
// the first special byte (`stop`, 64 when there is none), and before the
// first word in code there (`trigger`, null when there is none). The words
// are the block's candidates, which word_matters reads whole; those that
// begin before `words_from` are inside a name already passed over.
struct Stretch {
    std::uint64_t text;   // the block's bytes up to `end`
    std::uint64_t range;  // the bytes taken
    int stop;
    const char* trigger;
};

__attribute__((always_inline)) inline Stretch stretch_at(const CodeMasks& block, const char* base, const char* q,
                                                         const char* end, const char* words_from) noexcept {
    const int from = static_cast<int>(q - base);
    // The block's bytes up to `end`: the text's last block is read as
    // any other, so that no file's last lines wait for the tokenizer.
    const std::uint64_t text = end - base < 64 ? below(static_cast<int>(end - base)) : ~std::uint64_t{0};
    const std::uint64_t live = ~below(from) & text;
    const std::uint64_t specials = block.special & live;
    const int stop = specials != 0 ? __builtin_ctzll(specials) : 64;
    std::uint64_t range = live & below(stop);
    std::uint64_t words = block.words & range;
    if (words_from > base) words &= ~below(static_cast<int>(std::min<std::ptrdiff_t>(words_from - base, 64)));
    const char* const trigger = words != 0 ? base + __builtin_ctzll(words) : nullptr;
    if (trigger != nullptr) range &= below(static_cast<int>(trigger - base));
    return {text, range, stop, trigger};
}

// The brackets of `range`, taken in bulk: the depth at a bit is the depth
// at the range's start and the brackets opened less those closed before
// it. Of the line feeds outside brackets (of `feeds_in_range`), the last
// begins the line the tokenizer would resume at, where the walk settles.
// Feeds are counted, not visited. False at a bracket Python refuses
// (unmatched or too deep): the tokenizer reads it.
template <class Count>
__attribute__((always_inline)) inline bool take_brackets(OpenBrackets& open, Walk& walk, std::int64_t& line_feeds,
                                                         const CodeMasks& block, const char* base, std::uint64_t range,
                                                         std::uint64_t feeds_in_range, Count count) noexcept {
    const auto settle_at = [&](int last) {
        walk.line = base + last + 1;
        line_feeds = walk.feeds + count(feeds_in_range & below(last + 1));
    };
    const std::uint64_t brackets = block.brackets & range;
    if (brackets == 0) {
        if (open.empty() && feeds_in_range != 0) settle_at(63 - __builtin_clzll(feeds_in_range));
        return true;
    }
    const int depth = open.depth;
    const std::uint64_t taken = open.take_all(brackets, block.closers & brackets, block.parens, base, count);
    // Of the feeds before the first bracket not taken, the last outside brackets.
    const std::uint64_t upto = taken == brackets ? ~std::uint64_t{0} : below(__builtin_ctzll(brackets & ~taken));
    const int last =
        last_feed_outside(feeds_in_range & upto, depth, taken & ~block.closers, taken & block.closers, count);
    if (last >= 0) settle_at(last);
    return taken == brackets;
}

// The line of a word that matters, read here when it is a simple import
// statement: its modules go to the sink, and the walk goes on after it.
// False when it is anything else: the tokenizer reads it.
__attribute__((always_inline)) inline bool simple_import_line(Walk& walk, const char* end, std::int64_t& line_feeds,
                                                              StatementSink& sink) {
    SimpleImport statement(walk.line, end);
    const char* after = statement.read();
    if (after == nullptr) return false;
    for (int k = 0; k < statement.count(); ++k) {
        const std::string_view module = statement.module(k);
        if (!module.empty() && sink.wants_tokens(module)) return false;
    }
    for (int k = 0; k < statement.count(); ++k) {
        sink.statement_import(line_feeds + 1, statement.start(), statement.module(k));
    }
    if (after[-1] == '\n') ++line_feeds;
    walk.feeds = line_feeds;
    walk.line = walk.q = after;
    return true;
}

// At a quote in code: the string it opens, passed over. A key given to a
// subscript as a string may name an importer, spelled with escapes or in
// pieces (`b["__imp" "ort__"]`): unless it plainly does not, the tokenizer
// reads it, as it reads a word in an f-string's replacement field that
// matters. Most strings close in their block, and are read from its masks.
__attribute__((always_inline)) inline bool string_in_code(Walk& walk, const char* end, const OpenBrackets& open,
                                                          const CodeMasks& block, const char* base,
                                                          std::uint64_t text) noexcept {
    const char*& q = walk.q;
    const char* const opened = q;
    // In a subscript (or a list display), unless it is plainly a whole key.
    const bool in_square = open.square_open();
    const bool key = in_square && subscript_key(q, walk.line);
    if (walk.checked_line != walk.line) {
        walk.checked_line = walk.checked = walk.line;
        walk.annotation = false;
    }
    walk.annotation = walk.annotation || annotation_before(walk.checked, q, open);
    if (walk.annotation) return false;
    if (!in_square) {
        const char* const closed = closed_in_block(block, base, q, walk.line, text);
        if (closed != nullptr) {
            q = walk.checked = closed;
            return true;
        }
    }
    walk.levels = open.depth;
    if (!walk.quoted(0) || (in_square && !(key && plain_key(opened, q, end)))) return false;
    walk.checked = q;
    if (!walk.tracking) return true;
    // A word passed in an f-string's replacement field was in code.
    for (walk.search_to(q); walk.trigger < q; walk.search_to(q)) {
        const char* name_end = nullptr;
        if (word_matters(walk.trigger, walk.line, end, name_end)) return false;
        walk.find_trigger(name_end);
    }
    walk.tracking = false;
    return true;
}

// At a special byte in code, read in order for what it may change in the
// meaning of what follows: a comment, a continuation line, a string, a
// carriage return, a character of a name. False when what is there is
// left to the tokenizer.
__attribute__((always_inline)) inline bool special_byte(Walk& walk, const char* end, const OpenBrackets& open,
                                                        std::int64_t& line_feeds, const CodeMasks& block,
                                                        const char* base, std::uint64_t text) noexcept {
    const char*& q = walk.q;
    switch (*q) {
        case '#':
            // A comment in a subscript hides from the look back whether a
            // string after it is the subscript's key: the tokenizer reads it.
            if (open.square_open()) return false;
            q = next_line_end(q, end);
            return true;
        case '\\': return walk.continuation();
        case '\'':
        case '"': return string_in_code(walk, end, open, block, base, text);
        case '\r':
            if (end - q < 2) return false;
            ++q;
            if (*q == '\n') return true;  // the CR of a CR LF, whose LF ends the line
            // A lone CR ends a line outside brackets too, though the
            // scan counts lines at line feeds only.
            if (open.empty()) {
                walk.line = q;
                line_feeds = walk.feeds;
            }
            return true;
        default:
            // A byte Python refuses, or a character left to the tokenizer.
            return high(*q) && walk.name_character();
    }
}

// The pass over whole lines, block by block: the piece's own classified
// blocks where [begin, end) lies in it, else each block classified here.
// It is all bit operations on masks: `Fast`, it counts bits with the
// processor's own instruction, compiled where the processor has it and
// the instructions that manipulate bits (see skip_uninteresting_lines).
// Its steps: the block that holds the walk, the bytes taken from it at
// once and their brackets, then the word there (passed over, or its line
// read as a simple import statement) or the special byte that stopped
// them; whatever the walk cannot read, from the line it is on, is handed
// over to the tokenizer (the bytes before that line are returned).
template <bool Fast>
__attribute__((always_inline)) inline std::size_t walk_lines(const char* const begin, const char* const end,
                                                             std::int64_t& line_feeds, StatementSink& sink,
                                                             const ClassifiedPiece* piece) {
    const auto count = [](std::uint64_t bits) -> std::int64_t {
        return Fast ? __builtin_popcountll(bits) : bit_count(bits);
    };
    const bool on_grid = piece != nullptr && piece->covers(begin, end);
    const char* const origin = on_grid ? piece->text.data() : nullptr;
    const ClassifyBlocks classify = kernels().classify_blocks;
    Walk walk{begin, end, begin, line_feeds};
    const char*& q = walk.q;
    // The words that begin before this are inside a name already passed over.
    const char* words_from = begin;
    OpenBrackets open;
    const auto done = [&] { return static_cast<std::size_t>(walk.line - begin); };
    // The block holds the 64 bytes from `base`; q is at or after it.
    const char* base = nullptr;
    CodeMasks own{};  // a block classified here, off the piece's grid
    const CodeMasks* masks = &own;
    while (q < end) {
        if (base == nullptr || q >= base + 64) enter_block(q, end, on_grid, origin, piece, classify, base, masks, own);
        const CodeMasks& block = *masks;
        const Stretch stretch = stretch_at(block, base, q, end, words_from);
        const std::uint64_t feeds_in_range = block.feeds & stretch.range;
        if (!take_brackets(open, walk, line_feeds, block, base, stretch.range, feeds_in_range, count)) return done();
        const std::int64_t feeds_here = walk.feeds + count(feeds_in_range);
        if (stretch.trigger != nullptr) {
            const char* name_end = nullptr;
            if (!word_matters(stretch.trigger, walk.line, end, name_end)) {
                // Go on from the word, whose bytes are a name's, with the next
                // word after that name (a name is passed over once, however
                // many words it holds).
                walk.feeds = feeds_here;
                q = stretch.trigger;
                words_from = name_end;
                continue;
            }
            if (!simple_import_line(walk, end, line_feeds, sink)) return done();
            words_from = q;
            open.clear();
            base = nullptr;
            continue;
        }
        walk.feeds = feeds_here;
        q = base + stretch.stop;
        if (stretch.stop < 64 && !special_byte(walk, end, open, line_feeds, block, base, stretch.text)) return done();
    }
    return done();
}

#if defined(__x86_64__)
__attribute__((target("popcnt,bmi,bmi2"))) std::size_t walk_lines_fast(const char* begin, const char* end,
                                                                            std::int64_t& line_feeds,
                                                                            StatementSink& sink,
                                                                            const ClassifiedPiece* piece) {
    return walk_lines<true>(begin, end, line_feeds, sink, piece);
}
#endif

std::size_t walk_lines_baseline(const char* begin, const char* end, std::int64_t& line_feeds, StatementSink& sink,
                                const ClassifiedPiece* piece) {
    return walk_lines<false>(begin, end, line_feeds, sink, piece);
}

}  // namespace

// The fast walk where the active kernels are AVX2's or wider (which count
// bits themselves) and the processor manipulates bits too: a test that
// forces a narrower set runs the baseline walk, so that both are tested.
std::size_t skip_uninteresting_lines(const char* begin, const char* end, std::int64_t& line_feeds, StatementSink& sink,
                                     const ClassifiedPiece* piece) {
#if defined(__x86_64__)
    static const bool bits =
        __builtin_cpu_supports("popcnt") && __builtin_cpu_supports("bmi") && __builtin_cpu_supports("bmi2");
    if (bits && kernels().set >= InstructionSet::avx2) return walk_lines_fast(begin, end, line_feeds, sink, piece);
#endif
    return walk_lines_baseline(begin, end, line_feeds, sink, piece);
}

}  // namespace scanner_core
