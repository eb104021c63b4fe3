#include "audit/python_lexer.hpp"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

#include "kernels/byte_scan.hpp"
#include "kernels/kernels.hpp"
#include "audit/line_skipper.hpp"
#include "lexical/python_chars.hpp"
#include "lexical/python_unicode.hpp"
#include "lexical/string_body.hpp"


namespace scanner_core {
namespace {

using python_chars::is;
using python_chars::kAsciiNameByte;
using python_chars::kBlank;
using python_chars::kDigitByte;
using python_chars::kHexByte;
using python_chars::kMaxBrackets;
using python_chars::kMaxFStrings;
using python_chars::kNameByte;
using python_chars::string_prefix;

inline bool is_quote(char c) noexcept { return c == '\'' || c == '"'; }

// Names and integers up to this long, whose end is in view, are read in one step.
constexpr std::ptrdiff_t kShortToken = 64;

// Eight bytes at a time, in a word (a vector register would not pay for
// the short runs read so: comments, indentation).
constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
constexpr std::uint64_t kTops = 0x8080808080808080ULL;

std::uint64_t word_at(const char* p) noexcept {
    std::uint64_t word;
    std::memcpy(&word, p, 8);
    return word;
}

// Whether a byte of `word` is `byte`.
bool has_byte(std::uint64_t word, char byte) noexcept {
    const std::uint64_t x = word ^ (kOnes * static_cast<unsigned char>(byte));
    return ((x - kOnes) & ~x & kTops) != 0;
}

// How many bytes of `word` are UTF-8 continuation bytes (10xxxxxx), which
// begin no character: one bit at the top of each, summed by a multiply (a
// popcount may be a library call on the baseline instruction set).
std::int64_t continuation_bytes(std::uint64_t word) noexcept {
    const std::uint64_t tops = (word & ~(word << 1) & kTops) >> 7;
    return static_cast<std::int64_t>((tops * kOnes) >> 56);
}

Keyword keyword_of(std::string_view name) noexcept {
    switch (name.size()) {
        case 2:
            if (name == "if") return Keyword::if_;
            if (name == "as") return Keyword::as_;
            if (name == "in" || name == "is" || name == "or") return Keyword::other;
            break;
        case 3:
            if (name == "def") return Keyword::def_;
            if (name == "and" || name == "del" || name == "for" || name == "not" || name == "try") return Keyword::other;
            break;
        case 4:
            if (name == "from") return Keyword::from_;
            if (name == "None" || name == "True") return Keyword::constant;
            if (name == "elif" || name == "else" || name == "pass" || name == "with") return Keyword::other;
            break;
        case 5:
            if (name == "class") return Keyword::class_;
            if (name == "False") return Keyword::constant;
            if (name == "async" || name == "await" || name == "break" || name == "raise" || name == "while" ||
                name == "yield") {
                return Keyword::other;
            }
            break;
        case 6:
            if (name == "import") return Keyword::import_;
            if (name == "assert" || name == "except" || name == "global" || name == "lambda" || name == "return") {
                return Keyword::other;
            }
            break;
        case 7:
            if (name == "finally") return Keyword::other;
            break;
        case 8:
            if (name == "continue" || name == "nonlocal") return Keyword::other;
            break;
        default: break;
    }
    return Keyword::none;
}

std::string hex_code_point(char32_t c) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text = "U+";
    const int width = c > 0xffff ? (c > 0xfffff ? 6 : 5) : 4;
    for (int shift = (width - 1) * 4; shift >= 0; shift -= 4) text.push_back(kDigits[(c >> shift) & 0xf]);
    return text;
}

}  // namespace

void PythonLexer::refuse(std::string reason) { refuse_at(std::move(reason), line()); }

void PythonLexer::refuse_at(std::string reason, std::int64_t line) {
    if (refused_) return;
    refused_ = true;
    reason_ = std::move(reason);
    refusal_line_ = line;
    mode_ = Mode::stopped;
}

std::size_t PythonLexer::lex(const char* data, std::size_t size, bool final) {
    piece_ = data;
    const std::size_t used = lex_piece(data, size, final);
    consumed_ += used;
    return used;
}

void PythonLexer::pass_over(const char* from, const char* to, bool feeds) noexcept {
    if (to <= from) return;
    // From the last line feed, found from the back: the bytes before it count for nothing.
    if (const void* feed = feeds ? memrchr(from, '\n', static_cast<std::size_t>(to - from)) : nullptr) {
        feed_at(static_cast<const char*>(feed));
        from = static_cast<const char*>(feed) + 1;
    }
    // Each UTF-8 continuation byte is no character of its own.
    std::int64_t continuation = 0;
    const char* q = from;
    for (; to - q >= 8; q += 8) continuation += continuation_bytes(word_at(q));
    for (; q < to; ++q) continuation += (*q & 0xc0) == 0x80;
    column_origin_ += continuation;
}

const char* PythonLexer::watched_end(const char* p, const char* end) {
    const WordSearch* words = sink_.watched_names();
    if (words == nullptr) return end;
    const std::uint64_t at = static_cast<std::uint64_t>(offset_of(p));
    const std::uint64_t stop = static_cast<std::uint64_t>(offset_of(end));
    if (words->size() != watch_words_) {  // a word more: looked for from here
        watch_words_ = words->size();
        watch_found_ = false;
        watch_searched_to_ = at;
        watch_searched_end_ = 0;
    }
    if (watch_found_ && watch_found_at_ < at) watch_found_ = false;  // passed already
    // Looked for to this piece's end already, with these words: none is whole before it.
    if (!watch_found_ && stop == watch_searched_end_) return end;
    if (!watch_found_) {
        const std::uint64_t from = std::max(at, watch_searched_to_);
        const char* hit = end;
        WordSearch::Cursor cursor;  // within this piece only: the next piece may lie at the same addresses
        for (const char* next = p + (from - at); from < stop;) {
            std::size_t word = 0;
            hit = words->find(next, end, word, p, &cursor);
            if (hit == end) break;
            if (sink_.watched_use(word, p, hit, end)) break;
            next = hit + 1;
            hit = end;
        }
        if (hit == end) {
            // A use cut by the piece's end is found in the next piece, from here.
            const std::uint64_t cut = words->longest() - 1;
            watch_searched_to_ = std::max(from, stop > cut ? stop - cut : 0);
            watch_searched_end_ = stop;
            return end;
        }
        // A use within a longer name (`mylogging`) stops too: the tokenizer
        // then reads one line more than it had to.
        watch_found_ = true;
        watch_found_at_ = static_cast<std::uint64_t>(offset_of(hit));
        watch_searched_to_ = watch_found_at_ + 1;
    }
    if (watch_found_at_ >= stop) return end;
    // Passed over up to the start of that use's line, which the tokenizer reads.
    const char* const use = p + (watch_found_at_ - at);
    const void* feed = memrchr(p, '\n', static_cast<std::size_t>(use - p));
    return feed == nullptr ? p : static_cast<const char*>(feed) + 1;
}

std::size_t PythonLexer::lex_piece(const char* data, std::size_t size, bool final) {
    const char* p = data;
    const char* const end = data + size;
    while (p < end) {
        std::size_t used = 0;
        const Mode before = mode_;
        switch (mode_) {
            case Mode::line_start:
                if (skipping_ && indent_ == 0 && brackets_.empty() && sink_.at_rest()) {
                    statements_.passed = p;
                    used = skip_uninteresting_lines(p, watched_end(p, end), line_feeds_, statements_, blocks_);
                    pass_over(statements_.passed, p + used, true);
                    if (used > 0) break;
                }
                used = lex_line_start(p, end, final);
                break;
            case Mode::code: used = lex_code(p, end, final); break;
            case Mode::comment: used = lex_comment(p, end); break;
            case Mode::name: used = lex_name(p, end, final); break;
            case Mode::number: used = lex_number(p, end, final); break;
            case Mode::string_body: used = lex_string(p, end, final); break;
            case Mode::fstring_middle: used = lex_fstring(p, end, final); break;
            case Mode::stopped: return size;
        }
        // A mode that consumes nothing and stays is waiting for more bytes,
        // which it never does for more than a few.
        if (used == 0 && mode_ == before) {
            if (final) {  // every decision can be made at the end: nothing waits
                refuse("unexpected end of text");
                return size;
            }
            return static_cast<std::size_t>(p - data);
        }
        p += used;
    }
    return size;
}

void PythonLexer::finish() {
    // A name or number runs to the end of the text; anything else open is an error.
    if (mode_ == Mode::name) end_name(false);
    if (mode_ == Mode::number) end_number();
    if (dot_run_ != 0) end_dot_run();
    if (mode_ == Mode::comment) mode_ = comment_return_;
    if (mode_ == Mode::string_body || mode_ == Mode::fstring_middle) {
        const bool triple = mode_ == Mode::string_body ? triple_ : fstrings_.back().triple;
        refuse_at(triple ? "unterminated triple-quoted string literal" : "unterminated string literal", token_line_);
    }
    if (mode_ == Mode::stopped) return;
    if (!brackets_.empty()) {
        const Bracket open = brackets_.front();
        refuse_at(open.kind == 'F' ? "f-string: expecting '}'" : std::string("'") + open.kind + "' was never closed",
                  open.line);
        return;
    }
    if (mode_ == Mode::code) sink_.newline();
    sink_.end();
    mode_ = Mode::stopped;
}

// --- line starts -----------------------------------------------------------

std::size_t PythonLexer::lex_line_start(const char* p, const char* end, bool final) {
    const char* q = p;
    // Indentation by spaces, eight at a time.
    constexpr std::uint64_t kSpaces = kOnes * ' ';
    for (; end - q >= 8 && word_at(q) == kSpaces; q += 8) indent_ += 8;
    for (; q < end; ++q) {
        const char c = *q;
        if (c == ' ') {
            ++indent_;
        } else if (c == '\t') {
            indent_ = (indent_ / 8 + 1) * 8;
        } else if (c == '\f') {
            indent_ = 0;
        } else if (c == '\\') {
            // Indentation goes on over a continuation line, and the first
            // backslash after blanks fixes it, as Python counts it.
            if (end - q < 3 && !final) return static_cast<std::size_t>(q - p);
            const char next = end - q > 1 ? q[1] : '\0';
            if (next != '\n' && next != '\r') break;  // refused in code
            if (continuation_indent_ == 0) continuation_indent_ = indent_;
            q = python_chars::after_line_break(q + 1, end) - 1;
            if (*q == '\n') {
                ++line_feeds_;
                feed_at(q);
            }
        } else {
            break;
        }
    }
    if (q == end) return static_cast<std::size_t>(q - p);
    const char c = *q;
    if (c == '#') {
        comment_return_ = Mode::line_start;
        mode_ = Mode::comment;
        return static_cast<std::size_t>(q + 1 - p);
    }
    if (c == '\n' || c == '\r') {  // a blank line: no logical line begins
        if (c == '\r' && q + 1 == end && !final) return static_cast<std::size_t>(q - p);
        const std::size_t length = (c == '\r' && q + 1 < end && q[1] == '\n') ? 2 : 1;
        if (c == '\n' || length == 2) {
            ++line_feeds_;
            feed_at(q + length - 1);
        }
        indent_ = continuation_indent_ = 0;
        return static_cast<std::size_t>(q + length - p);
    }
    sink_.line_start(line(), continuation_indent_ != 0 ? continuation_indent_ : indent_);
    indent_ = continuation_indent_ = 0;
    mode_ = Mode::code;
    return static_cast<std::size_t>(q - p);
}

// --- code ------------------------------------------------------------------

void PythonLexer::end_dot_run() {
    const std::uint64_t dots = dot_run_;
    dot_run_ = 0;
    emit_op_at(Op::ellipsis, dot_run_line_, dot_run_column_, dots);
}

void PythonLexer::emit_op(Op op, const char* at, std::uint64_t dots) { emit_op_at(op, line(), column_at(at), dots); }

void PythonLexer::emit_op_at(Op op, std::int64_t at_line, std::int64_t at_column, std::uint64_t dots) {
    Token token;
    token.kind = TokenKind::op;
    token.op = op;
    token.line = at_line;
    token.column = at_column;
    token.int_value = dots;
    sink_.token(token);
}

bool PythonLexer::open_bracket(char kind, bool from_format) {
    if (brackets_.size() >= kMaxBrackets) {
        refuse("too many nested parentheses");
        return false;
    }
    brackets_.push_back({kind, from_format, line()});
    return true;
}

void PythonLexer::newline_in_code() {
    // Inside brackets a line break joins lines; at the top it ends the logical line.
    if (!brackets_.empty()) return;
    sink_.newline();
    mode_ = Mode::line_start;
    indent_ = 0;
}

bool PythonLexer::too_deep_in_format() const noexcept {
    // The fields open in the current f-string: its own field, then each one
    // opened in the format specifier of the one before (never more than kMaxFields).
    std::size_t fields = 0;
    for (auto open = brackets_.rbegin(); open != brackets_.rend() && open->kind == 'F'; ++open) {
        ++fields;
        if (!open->from_format) break;
    }
    return fields >= python_chars::kMaxFields;
}

void PythonLexer::close_field(const char* at) {
    const bool from_format = brackets_.back().from_format;
    brackets_.pop_back();
    Token token;
    token.kind = TokenKind::field_close;
    token.line = line();
    token.column = column_at(at);
    sink_.token(token);
    mode_ = Mode::fstring_middle;
    in_format_ = from_format;
}

std::size_t PythonLexer::lex_code(const char* p, const char* end, bool final) {
    // Token after token, as long as they stay in code, without a return to
    // lex() for each.
    const char* q = p;
    while (q < end && mode_ == Mode::code) {
        const std::size_t used = lex_token(q, end, final);
        q += used;
        if (used == 0) break;
    }
    return static_cast<std::size_t>(q - p);
}

// A token's first byte, where lex_token found it, and the bytes its step
// may look at, read once for all the steps.
struct PythonLexer::TokenStart {
    const char* from;  // where lex_token began: the blanks before the token go with it
    const char* at;    // the token's first byte
    const char* end;
    std::size_t left;  // bytes from `at` to `end`
    char c;            // *at
    char next;         // the two bytes after it, NUL past the end
    char after;

    // What lex_token returns when the step takes the token's first `n`
    // bytes: those and the blanks before them; waiting takes the blanks alone.
    std::size_t taken(std::size_t n) const noexcept { return static_cast<std::size_t>(at + n - from); }
    std::size_t wait() const noexcept { return taken(0); }
};

// A name's start: a short ASCII name whose end is in view is read and
// handed on here, without a copy; any other is gathered in name mode.
__attribute__((always_inline)) inline std::size_t PythonLexer::lex_name_start(const TokenStart& start) {
    const char* const q = start.at;
    const char* const end = start.end;
    // A token's line and column are handed on as values where it ends at
    // once: read back from the members just stored, they would stall.
    const std::int64_t at_line = line();
    const std::int64_t at_column = column_at(q);
    token_line_ = at_line;
    token_column_ = at_column;
    text_ascii_ = true;
    const char* const limit = end - q > kShortToken ? q + kShortToken : end;
    const char* e = q;
    while (e < limit && is(*e, kAsciiNameByte)) ++e;
    if (e < end && static_cast<unsigned char>(*e) < 0x80 && !is(*e, kNameByte)) {
        // Read where it lies, not copied: the sink copies what it keeps.
        const std::string_view name(q, static_cast<std::size_t>(e - q));
        name_length_ = name.size();
        name_offset_ = offset_base_ + consumed_ + static_cast<std::uint64_t>(q - piece_);
        end_name(is_quote(*e), name, at_line, at_column);
        return start.taken(name.size());
    }
    text_.clear();
    name_length_ = 0;
    name_offset_ = offset_base_ + consumed_ + static_cast<std::uint64_t>(q - piece_);
    lent_ = false;
    mode_ = Mode::name;
    return start.wait();
}

// A number's start (a digit, or a dot before one): a base's prefix is
// taken, a short integer whose end is in view is read and handed on here,
// and anything else (a fraction, an exponent, an imaginary number, a long
// or cut-off integer) is read in number mode.
__attribute__((always_inline)) inline std::size_t PythonLexer::lex_number_start(const TokenStart& start, bool final) {
    const char* const q = start.at;
    const char* const end = start.end;
    const char c = start.c;
    if (c == '0' && start.left < 2 && !final) return start.wait();
    const std::int64_t at_line = line();
    const std::int64_t at_column = column_at(q);
    token_line_ = at_line;
    token_column_ = at_column;
    number_int_ = true;
    number_nonzero_ = false;
    number_value_ = 0;
    number_base_ = 10;
    const char lower = static_cast<char>(start.next | 0x20);
    if (c == '0' && (lower == 'x' || lower == 'o' || lower == 'b')) {
        number_base_ = lower == 'x' ? 16 : lower == 'o' ? 8 : 2;
        number_step_ = NumberStep::prefixed;
        mode_ = Mode::number;
        return start.taken(2);
    }
    if (c != '.') {
        // A short integer whose end is in view, with nothing after it that
        // could make it another number, is read here.
        const char* e = q;
        bool nonzero = false;
        for (; e < end && e - q < kShortToken && (is(*e, kDigitByte) || *e == '_'); ++e) {
            nonzero |= *e >= '1' && *e <= '9';
        }
        // Cut off, or before a fraction, an exponent or an imaginary suffix: in number mode.
        const char stop = e < end ? static_cast<char>(*e | 0x20) : '.';
        if (e - q < kShortToken && stop != '.' && stop != 'e' && stop != 'j') {
            number_nonzero_ = nonzero;
            // The value a level argument gives: below 10**18 it cannot pass
            // the cap, and is summed without a check per digit.
            if (e - q <= 18) {
                std::uint64_t value = 0;
                for (const char* d = q; d < e; ++d) {
                    if (*d != '_') value = value * 10 + static_cast<std::uint64_t>(*d - '0');
                }
                number_value_ = value;
            } else {
                for (const char* d = q; d < e; ++d) add_digit(*d);
            }
            end_number(at_line, at_column);
            return start.taken(static_cast<std::size_t>(e - q));
        }
    }
    mode_ = Mode::number;
    if (c == '.') {
        number_int_ = false;
        number_step_ = NumberStep::fraction;
        return start.taken(1);
    }
    number_step_ = NumberStep::integer;  // its digits are read there, the first included
    return start.wait();
}

// What ends or joins lines: a line break (which ends the logical line
// outside brackets), a continuation line (a backslash before a line break,
// else refused as Python refuses it), or a comment's start.
__attribute__((always_inline)) inline std::size_t PythonLexer::lex_line_end(const TokenStart& start, bool final) {
    const char* const q = start.at;
    const char next = start.next;
    switch (start.c) {
        case '\n':
            ++line_feeds_;
            feed_at(q);
            newline_in_code();
            return start.taken(1);
        case '\r':
            if (start.left < 2 && !final) return start.wait();
            if (next == '\n') {
                ++line_feeds_;
                feed_at(q + 1);
                newline_in_code();
                return start.taken(2);
            }
            newline_in_code();
            return start.taken(1);
        case '#':
            comment_return_ = Mode::code;
            mode_ = Mode::comment;
            return start.taken(1);
        default:  // '\\'
            if (start.left < 3 && !final) return start.wait();
            if (next == '\n') {
                ++line_feeds_;
                feed_at(q + 1);
                return start.taken(2);
            }
            if (next == '\r') {
                if (start.after == '\n') {
                    ++line_feeds_;
                    feed_at(q + 2);
                    return start.taken(3);
                }
                return start.taken(2);
            }
            refuse(start.left < 2 ? "unexpected EOF while parsing"
                                  : "unexpected character after line continuation character");
            return 0;
    }
}

// A string's start: its quote, or three; it begins at its prefix when a
// name before it was one.
__attribute__((always_inline)) inline std::size_t PythonLexer::lex_string_start(const TokenStart& start, bool final) {
    if (start.left < 3 && !final) return start.wait();
    const char c = start.c;
    const std::int64_t at_line = line();
    // A prefix is the string's start.
    const std::int64_t at_column = has_prefix_ ? token_column_ : column_at(start.at);
    if (start.next == c && start.after == c) {
        begin_string(c, true, at_line, at_column);
        return start.taken(3);
    }
    begin_string(c, false, at_line, at_column);
    return start.taken(1);
}

// An opening bracket, refused past the nesting Python allows.
__attribute__((always_inline)) inline std::size_t PythonLexer::lex_opening_bracket(const TokenStart& start) {
    const char c = start.c;
    if (!open_bracket(c, false)) return 0;
    emit_op(c == '(' ? Op::lparen : c == '[' ? Op::lbracket : Op::lbrace, start.at);
    return start.taken(1);
}

// A closing bracket: it closes the innermost bracket or replacement field
// open, or is refused in Python's words when it matches none.
__attribute__((always_inline)) inline std::size_t PythonLexer::lex_closing_bracket(const TokenStart& start) {
    const char c = start.c;
    if (brackets_.empty()) {
        refuse(std::string("unmatched '") + c + "'");
        return 0;
    }
    const char open = brackets_.back().kind;
    const std::int64_t opened_on = brackets_.back().line;
    if (open == 'F') {
        if (c != '}') {
            refuse(std::string("f-string: unmatched '") + c + "'");
            return 0;
        }
        close_field(start.at);
        return start.taken(1);
    }
    if ((open == '(' && c != ')') || (open == '[' && c != ']') || (open == '{' && c != '}')) {
        // Python names the opening bracket's line when it is another.
        refuse(std::string("closing parenthesis '") + c + "' does not match opening parenthesis '" + open + "'" +
               (opened_on != line() ? " on line " + std::to_string(opened_on) : std::string()));
        return 0;
    }
    brackets_.pop_back();
    emit_op(c == ')' ? Op::rparen : c == ']' ? Op::rbracket : Op::rbrace, start.at);
    return start.taken(1);
}

// An operator, as long as Python reads it (waiting for the bytes that
// decide that), or a character Python refuses; a ':' in a replacement
// field begins its format specifier.
__attribute__((always_inline)) inline std::size_t PythonLexer::lex_operator(const TokenStart& start, bool final) {
    const char* const q = start.at;
    const char c = start.c;
    const char next = start.next;
    const char after = start.after;
    const std::size_t left = start.left;
    switch (c) {
        case ':':
            if (!brackets_.empty() && brackets_.back().kind == 'F') {  // a format specifier begins
                mode_ = Mode::fstring_middle;
                in_format_ = true;
                named_escape_ = false;
                return start.taken(1);
            }
            if (left < 2 && !final) return start.wait();
            emit_op(next == '=' ? Op::walrus : Op::colon, q);
            return start.taken(next == '=' ? 2 : 1);
        case '.': {
            // A run of dots, which Python reads as "..." tokens while three
            // are left, then "." tokens: whether a name after the run is an
            // attribute depends on the remainder. The whole threes of a run
            // of any length are one token; a remainder at a piece's end waits
            // for the next piece, where the run may go on.
            std::size_t run = 1;
            while (run < left && run < 16 && q[run] == '.') ++run;
            // A run that goes on (a hostile line) is passed over many bytes at a time.
            if (run == 16) run = kernels().skip_run(q, left, run, kRunDot);
            const std::size_t threes = run - run % 3;
            if (run == left && !final) {
                // The run may go on in the next piece: its threes are taken
                // and held, the remainder waits there.
                if (threes == 0) return start.wait();
                if (dot_run_ == 0) {
                    dot_run_line_ = line();
                    dot_run_column_ = column_at(q);
                }
                dot_run_ += threes;
                return start.taken(threes);
            }
            if (dot_run_ != 0) {
                dot_run_ += threes;
                end_dot_run();
                if (threes > 0) return start.taken(threes);
            } else if (threes > 0) {
                emit_op(Op::ellipsis, q, threes);
                return start.taken(threes);
            }
            emit_op(Op::dot, q);
            return start.taken(1);
        }
        case ',': emit_op(Op::comma, q); return start.taken(1);
        case ';': emit_op(Op::semicolon, q); return start.taken(1);
        case '=':
            if (left < 2 && !final) return start.wait();
            emit_op(next == '=' ? Op::other : Op::assign, q, next == '=' ? 2 : 0);  // 2: "=="
            return start.taken(next == '=' ? 2 : 1);
        case '*':
            if (left < 3 && !final) return start.wait();
            if (next == '*') {
                emit_op(after == '=' ? Op::other : Op::double_star, q, after == '=' ? 1 : 0);
                return start.taken(after == '=' ? 3 : 2);
            }
            emit_op(next == '=' ? Op::other : Op::star, q, next == '=' ? 1 : 0);
            return start.taken(next == '=' ? 2 : 1);
        case '/':
        case '<':
        case '>':
            // "//", "<<", ">>", each possibly with "=", or one of "<=", ">=", "<>".
            if (left < 3 && !final) return start.wait();
            if (next == c) {
                emit_op(Op::other, q, after == '=' ? 1 : 0);
                return start.taken(after == '=' ? 3 : 2);
            }
            emit_op(Op::other, q, c == '/' && next == '=' ? 1 : 0);  // "<=" and ">=" compare
            return start.taken(next == '=' || (c == '<' && next == '>') ? 2 : 1);
        case '-':
        case '+':
            // Alone, they may fold constants (`"imp" + "ort os"`, `-1`).
            if (left < 2 && !final) return start.wait();
            if (next == '=' || (c == '-' && next == '>')) {
                emit_op(Op::other, q, next == '=' ? 1 : 3);  // "+=" and "-=" assign; "->" does not
                return start.taken(2);
            }
            emit_op(c == '+' ? Op::plus : Op::minus, q);
            return start.taken(1);
        case '%':
        case '&':
        case '|':
        case '^':
        case '@':
        case '!':
            if (left < 2 && !final) return start.wait();
            emit_op(Op::other, q, next == '=' && c != '!' ? 1 : 0);  // "!=" compares
            return start.taken(next == '=' || (c == '-' && next == '>') ? 2 : 1);
        case '~': emit_op(Op::other, q); return start.taken(1);
        default: return refuse_character(c);
    }
}

// One token in code: the blanks before it are passed over, then its first
// byte says which step reads it. Returns the bytes taken, the blanks
// included; the blanks alone when the token waits for more bytes; 0 when
// the text is refused.
std::size_t PythonLexer::lex_token(const char* p, const char* end, bool final) {
    const char* q = p;
    while (q < end && is(*q, kBlank)) ++q;
    // A run of dots held across pieces ends at anything but a dot right after it.
    if (dot_run_ != 0 && q != p) end_dot_run();
    if (q == end) return static_cast<std::size_t>(q - p);
    const std::size_t left = static_cast<std::size_t>(end - q);
    const TokenStart start{p, q, end, left, *q, left > 1 ? q[1] : '\0', left > 2 ? q[2] : '\0'};
    const char c = start.c;
    if (dot_run_ != 0 && (c != '.' || (left > 1 && is(start.next, kDigitByte)))) end_dot_run();
    if (is(c, kNameByte) && !is(c, kDigitByte)) return lex_name_start(start);
    if (is(c, kDigitByte) || (c == '.' && left > 1 && is(start.next, kDigitByte))) {
        return lex_number_start(start, final);
    }
    switch (c) {
        case '\n':
        case '\r':
        case '#':
        case '\\': return lex_line_end(start, final);
        case '\'':
        case '"': return lex_string_start(start, final);
        case '(':
        case '[':
        case '{': return lex_opening_bracket(start);
        case ')':
        case ']':
        case '}': return lex_closing_bracket(start);
        default: return lex_operator(start, final);
    }
}

// A byte that begins no token: refused as Python refuses it, the
// unprintable ones by their code alone.
std::size_t PythonLexer::refuse_character(char c) {
    const auto byte = static_cast<unsigned char>(c);
    char code[8];
    std::snprintf(code, sizeof code, "%04X", byte);
    refuse(byte < 0x20 || byte == 0x7f ? std::string("invalid non-printable character U+") + code
                                       : std::string("invalid character '") + c + "' (U+" + code + ")");
    return 0;
}

std::size_t PythonLexer::lex_comment(const char* p, const char* end) {
    // Comments are not decoded: Python does not look inside them. Their
    // continuation bytes are counted on the way, for the columns after a
    // lone carriage return.
    const char* q = p;
    std::int64_t continuation = 0;
    for (; end - q >= 8; q += 8) {
        const std::uint64_t word = word_at(q);
        if (has_byte(word, '\n') || has_byte(word, '\r')) break;
        continuation += continuation_bytes(word);
    }
    for (; q < end && *q != '\n' && *q != '\r'; ++q) continuation += (*q & 0xc0) == 0x80;
    column_origin_ += continuation;
    if (q < end) mode_ = comment_return_;
    return static_cast<std::size_t>(q - p);
}

// --- names -----------------------------------------------------------------

std::size_t PythonLexer::utf8_sequence(const char* p, const char* end, bool final, char32_t* code_point) {
    char32_t value = 0;
    const int length = python_chars::decode_utf8(p, end, value);
    if (length > 0) {
        if (code_point != nullptr) *code_point = value;
        return static_cast<std::size_t>(length);
    }
    if (length == 0 && !final) return 0;  // cut off: the rest comes with the next bytes
    refuse(length == 0 ? "(unicode error) 'utf-8' codec can't decode bytes: unexpected end of data"
                       : "(unicode error) 'utf-8' codec can't decode bytes: invalid data");
    return 0;
}

std::size_t PythonLexer::lex_name(const char* p, const char* end, bool final) {
    const char* q = p;
    while (q < end) {
        // Most names are ASCII, and short: a few bytes one by one, then many at a time.
        const char* const ascii = q;
        for (int k = 0; k < 16 && q < end && is(*q, kAsciiNameByte); ++k) ++q;
        if (q - ascii == 16) q = next_non_name_byte(q, end);
        name_length_ += static_cast<std::size_t>(q - ascii);
        if (q == end) break;
        const char c = *q;
        if (static_cast<unsigned char>(c) < 0x80) break;
        char32_t code_point = 0;
        const std::size_t length = utf8_sequence(q, end, final, &code_point);
        if (length == 0) {
            if (refused_) return 0;
            break;  // cut off: wait for the rest of the character
        }
        const bool valid = name_length_ == 0 ? unicode::is_identifier_start(code_point)
                                             : unicode::is_identifier_continue(code_point);
        if (!valid) {
            refuse(std::string(unicode::is_printable(code_point) ? "invalid character '" + std::string(q, length) + "' ("
                                                                 : "invalid non-printable character (") +
                   hex_code_point(code_point) + ")");
            return 0;
        }
        text_ascii_ = false;
        q += length;
        name_length_ += length;
        column_origin_ += static_cast<std::int64_t>(length) - 1;
    }
    // Names are kept whole: any one may prove to be what a dynamic import
    // is called on, whose message names it.
    const std::size_t got = static_cast<std::size_t>(q - p);
    if (!lent_) {
        text_.append(p, got);
        // A long name the line scan holds too, byte for byte, is read from
        // it from here on.
        if (loan_ != nullptr && text_ascii_ && text_.size() >= NameLoan::kShortest) {
            const std::size_t held = loan_->held(name_offset_).size();
            lent_ = held > 0 && held >= name_length_ - got;
        }
        if (lent_) {
            // Shared from here on, whatever the loan lends next.
            const NameLoan::Place place = loan_->find(name_offset_);
            borrowed_ = *place.name;
            borrowed_at_ = place.at;
            text_.clear();
        }
    }
    if (lent_) {
        const std::string_view held = std::string_view(*borrowed_).substr(borrowed_at_);
        if (held.size() < name_length_) {
            const std::size_t behind = name_length_ - held.size();  // no more than `got`
            if (!final && behind <= kLag && loan_->growing(name_offset_)) {
                // The line scan has yet to read these (it keeps the last
                // bytes of a piece for its next block): they wait for the
                // next bytes, as it reads on.
                name_length_ = held.size();
                return got - behind;
            }
            // The line scan's name stops short of this one, at a character
            // it does not take: gathered here after all.
            text_.assign(held);
            text_.append(p + (got - behind), behind);
            lent_ = false;
            borrowed_.reset();
        }
    }
    if (q == end) {
        if (!final) return got;  // the name may go on in the next bytes
        end_name(false);
        return got;
    }
    if (static_cast<unsigned char>(*q) >= 0x80) return got;  // a character cut off at `end`
    // A short name made of prefix letters, right before a quote, is a prefix.
    end_name(is_quote(*q));
    return got;
}

void PythonLexer::end_name(bool quote_follows) { end_name(quote_follows, text_, token_line_, token_column_); }

void PythonLexer::end_name(bool quote_follows, std::string_view gathered, std::int64_t line, std::int64_t column) {
    // A lent name is whole by now: it waited for the line scan.
    const NameLoan::Place lent = lent_ ? NameLoan::Place{&borrowed_, borrowed_at_} : NameLoan::Place{};
    const std::string_view text =
        lent.name != nullptr ? std::string_view(**lent.name).substr(lent.at, name_length_) : gathered;
    if (quote_follows &&
        string_prefix(text, prefix_raw_, prefix_bytes_, prefix_format_)) {
        // The quote is lexed in code mode, as the start of a string that
        // now has this prefix.
        has_prefix_ = true;
        mode_ = Mode::code;
        return;
    }
    Token token;
    token.line = line;
    token.column = column;
    token.text = text;
    if (lent.name != nullptr) {
        token.lent = lent.name;
        token.lent_at = lent.at;
    } else {
        // Only a name gathered in text_ may be taken (a short one is copied).
        if (gathered.data() == text_.data()) token.set_owner(&text_);
        // A short name may be part of a lent one, which the sink may extend
        // by it instead of copying both.
        if (loan_ != nullptr && loan_->lending() && text_ascii_) {
            const NameLoan::Place place = loan_->find(name_offset_);
            if (place.name != nullptr && (*place.name)->size() - place.at >= text.size()) {
                token.lent = place.name;
                token.lent_at = place.at;
            }
        }
    }
    token.ascii = text_ascii_;
    const Keyword keyword = text_ascii_ ? keyword_of(text) : Keyword::none;
    if (keyword != Keyword::none) {
        token.kind = TokenKind::keyword;
        token.keyword = keyword;
    } else {
        token.kind = TokenKind::name;
    }
    mode_ = Mode::code;
    sink_.token(token);
    if (lent_) {
        lent_ = false;
        borrowed_.reset();
    }
}

// --- numbers ---------------------------------------------------------------

std::size_t PythonLexer::lex_number(const char* p, const char* end, bool final) {
    const char* q = p;
    for (;;) {
        switch (number_step_) {
            case NumberStep::prefixed:
                while (q < end && (is(*q, kHexByte) || *q == '_')) {
                    if (*q != '0' && *q != '_') number_nonzero_ = true;
                    add_digit(*q);
                    ++q;
                }
                if (q == end && !final) return static_cast<std::size_t>(q - p);
                end_number();
                return static_cast<std::size_t>(q - p);
            case NumberStep::integer:
                while (q < end && (is(*q, kDigitByte) || *q == '_')) {
                    if (*q != '0' && *q != '_') number_nonzero_ = true;
                    add_digit(*q);
                    ++q;
                }
                if (q == end && !final) return static_cast<std::size_t>(q - p);
                if (q < end && *q == '.') {
                    number_int_ = false;
                    number_step_ = NumberStep::fraction;
                    ++q;
                    continue;
                }
                number_step_ = NumberStep::fraction;  // an exponent or j may follow
                continue;
            case NumberStep::fraction: {
                while (q < end && (is(*q, kDigitByte) || *q == '_')) ++q;
                if (q == end && !final) return static_cast<std::size_t>(q - p);
                const std::size_t left = static_cast<std::size_t>(end - q);
                if (q < end && (*q | 0x20) == 'e') {
                    if (left < 3 && !final) return static_cast<std::size_t>(q - p);
                    const char sign = left > 1 ? q[1] : '\0';
                    const char digit = left > 2 ? q[2] : '\0';
                    if (is(sign, kDigitByte)) {
                        q += 1;
                    } else if ((sign == '+' || sign == '-') && is(digit, kDigitByte)) {
                        q += 2;
                    } else {
                        end_number();
                        return static_cast<std::size_t>(q - p);
                    }
                    number_int_ = false;
                    number_step_ = NumberStep::exponent_digits;
                    continue;
                }
                if (q < end && (*q | 0x20) == 'j') {
                    number_int_ = false;
                    ++q;
                }
                end_number();
                return static_cast<std::size_t>(q - p);
            }
            case NumberStep::exponent_digits:
                while (q < end && (is(*q, kDigitByte) || *q == '_')) ++q;
                if (q == end && !final) return static_cast<std::size_t>(q - p);
                if (q < end && (*q | 0x20) == 'j') ++q;
                end_number();
                return static_cast<std::size_t>(q - p);
        }
    }
}

void PythonLexer::add_digit(char c) noexcept {
    if (c == '_') return;
    const std::uint64_t digit = c <= '9' ? static_cast<std::uint64_t>(c - '0')
                                         : static_cast<std::uint64_t>((c | 0x20) - 'a' + 10);
    constexpr std::uint64_t kMost = std::uint64_t{1} << 62;  // past it, the value stays there
    std::uint64_t shifted = 0;
    const bool past = __builtin_mul_overflow(number_value_, number_base_, &shifted) || shifted > kMost - digit;
    number_value_ = past ? kMost : shifted + digit;
}

void PythonLexer::end_number(std::int64_t line, std::int64_t column) {
    Token token;
    token.kind = TokenKind::number;
    token.line = line;
    token.column = column;
    token.int_literal = number_int_;
    token.nonzero = number_int_ && number_nonzero_;
    token.int_value = number_int_ ? number_value_ : 0;
    mode_ = Mode::code;
    sink_.token(token);
}

// --- strings ---------------------------------------------------------------

void PythonLexer::begin_string(char quote, bool triple, std::int64_t line, std::int64_t column) {
    token_line_ = line;
    token_column_ = column;
    const bool format = has_prefix_ && prefix_format_;
    raw_ = has_prefix_ && prefix_raw_;
    bytes_ = has_prefix_ && prefix_bytes_;
    has_prefix_ = false;
    quote_ = quote;
    triple_ = triple;
    if (format) {
        if (fstrings_.size() >= kMaxFStrings) {
            refuse("too many nested f-strings");
            return;
        }
        fstrings_.push_back({quote, triple, raw_});
        Token token;
        token.kind = TokenKind::fstring_start;
        token.line = line;
        token.column = column;
        sink_.token(token);
        mode_ = Mode::fstring_middle;
        in_format_ = false;
        named_escape_ = false;
        return;
    }
    capture_ = sink_.wants_string_body();
    text_.clear();
    mode_ = Mode::string_body;
}

std::size_t PythonLexer::lex_string(const char* p, const char* end, bool final) {
    const StringBody body{quote_, triple_, bytes_, decoded_};
    const std::int64_t feeds = line_feeds_;
    const StringBody::Read read = body.read(p, end, final, line_feeds_);
    const auto used = static_cast<std::size_t>(read.at - p);
    if (read.stop == StringBody::Stop::more || read.stop == StringBody::Stop::closed) {
        pass_over(p, read.at, line_feeds_ != feeds);
    }
    switch (read.stop) {
        case StringBody::Stop::more:
            if (capture_) text_.append(p, used);
            return used;
        case StringBody::Stop::closed: {
            if (capture_) text_.append(p, used - static_cast<std::size_t>(body.quotes()));
            Token token;
            token.kind = TokenKind::string;
            token.line = token_line_;
            token.column = token_column_;
            token.str_literal = !bytes_;
            token.raw = raw_;
            if (capture_) token.text = text_;
            mode_ = Mode::code;
            sink_.token(token);
            return used;
        }
        case StringBody::Stop::unterminated: refuse_at("unterminated string literal", token_line_); return 0;
        case StringBody::Stop::non_ascii: refuse("bytes can only contain ASCII literal characters"); return 0;
        case StringBody::Stop::invalid_utf8:
            refuse("(unicode error) 'utf-8' codec can't decode bytes: invalid data");
            return 0;
        case StringBody::Stop::truncated_utf8:
            refuse("(unicode error) 'utf-8' codec can't decode bytes: unexpected end of data");
            return 0;
    }
    return 0;
}

std::size_t PythonLexer::lex_fstring(const char* p, const char* end, bool final) {
    const FString& fstring = fstrings_.back();
    FStringText text{fstring.quote, fstring.triple, fstring.raw, decoded_, in_format_, named_escape_};
    const std::int64_t feeds = line_feeds_;
    const FStringText::Read read = text.read(p, end, final, line_feeds_);
    named_escape_ = text.named;
    const char* const q = read.at;
    pass_over(p, q, line_feeds_ != feeds);  // what follows is refused, or ASCII
    switch (read.stop) {
        case FStringText::Stop::more: return static_cast<std::size_t>(q - p);
        case FStringText::Stop::closed: {
            Token token;
            token.kind = TokenKind::fstring_end;
            token.line = line();
            token.column = column_at(q - text.quotes());
            fstrings_.pop_back();
            sink_.token(token);
            mode_ = Mode::code;
            return static_cast<std::size_t>(q - p);
        }
        case FStringText::Stop::field: {
            if (in_format_ && too_deep_in_format()) {
                refuse("f-string: expressions nested too deeply");
                return 0;
            }
            if (!open_bracket('F', in_format_)) return 0;
            Token token;
            token.kind = TokenKind::field_open;
            token.line = line();
            token.column = column_at(q);
            sink_.token(token);
            mode_ = Mode::code;
            return static_cast<std::size_t>(q + 1 - p);
        }
        case FStringText::Stop::field_end: close_field(q); return static_cast<std::size_t>(q + 1 - p);
        case FStringText::Stop::unterminated:
            refuse(in_format_ ? "f-string: newlines are not allowed in format specifiers for single quoted f-strings"
                              : "unterminated f-string literal");
            return 0;
        case FStringText::Stop::expecting_brace: refuse("f-string: expecting '}'"); return 0;
        case FStringText::Stop::single_brace: refuse("f-string: single '}' is not allowed"); return 0;
        case FStringText::Stop::invalid_utf8:
            refuse("(unicode error) 'utf-8' codec can't decode bytes: invalid data");
            return 0;
        case FStringText::Stop::truncated_utf8:
            refuse("(unicode error) 'utf-8' codec can't decode bytes: unexpected end of data");
            return 0;
    }
    return 0;
}

}  // namespace scanner_core
