// Python 3.13's tokenizer, as far as the audit needs it, over UTF-8 text
// that arrives in pieces: strings as Python delimits them (every prefix,
// triple quotes, escapes, f-strings nested as 3.12 allows), comments,
// continuation lines, brackets, logical lines and their indentation.
//
// It hands each token to a TokenSink as soon as the token ends, and keeps
// between pieces only its mode, its bracket and f-string stacks (bounded as
// Python bounds them) and the token in progress: the text of a name, whole
// (any name may prove to be what a dynamic import is called on), and the
// body of a string only when the sink asks for it. A text Python would
// refuse to tokenize is refused with a reason and a line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "audit/line_skipper.hpp"
#include "reading/name_loan.hpp"
#include "lexical/python_token.hpp"

namespace scanner_core {

class PythonLexer {
public:
    // Hands the tokens to `sink`, which must outlive the lexer.
    explicit PythonLexer(TokenSink& sink) noexcept : sink_(sink), statements_(*this) {}
    PythonLexer(const PythonLexer&) = delete;
    PythonLexer& operator=(const PythonLexer&) = delete;

    // Tokenizes `data`, the next bytes of the text, and returns how many it
    // consumed: all of them when `final`, otherwise all but a few trailing
    // bytes (never more than kMaxHeldBack) on which a decision waits for the
    // next bytes. Those must be passed again, followed by what comes next.
    // Throws std::bad_alloc only.
    std::size_t lex(const char* data, std::size_t size, bool final);

    // The text has ended (after a last lex with `final`): closes what is
    // open, or refuses the text if something cannot be closed.
    void finish();

    bool refused() const noexcept { return refused_; }
    const std::string& reason() const noexcept { return reason_; }
    std::int64_t refusal_line() const noexcept { return refusal_line_; }

    // How far the line scan lending names may lag behind the bytes lexed:
    // the bytes it keeps for its next block, and the one after them.
    static constexpr std::size_t kLag = 72;
    static constexpr std::size_t kMaxHeldBack = kLag;

    // Whether logical lines that cannot matter to the sink may be passed
    // over without tokens (the default). Reading every token gives the same
    // findings, slower; tests compare the two.
    void set_skipping(bool skipping) noexcept { skipping_ = skipping; }

    // Reads the long names that `loan` holds (see name_loan.hpp) from it
    // instead of gathering them: the bytes lexed from now on begin at
    // `offset` of the text the loan's names are counted in. Null: no loan.
    // Never fails.
    void borrow_from(NameLoan* loan, std::uint64_t offset) noexcept {
        loan_ = loan;
        offset_base_ = offset - consumed_;
    }

    // Whether the text was decoded by a codec after its line breaks were
    // made line feeds, as Python reads a file in a codec of its own: a
    // carriage return in a string is then a character of the string, as
    // Python keeps it, not a line break. Never fails.
    void set_decoded(bool decoded) noexcept { decoded_ = decoded; }

    // The piece, with its classified blocks, that the bytes lexed next lie
    // in (or not: the blocks are read only where they cover the bytes), or
    // null. It must last until it is unset. Never fails.
    void set_blocks(const ClassifiedPiece* piece) noexcept { blocks_ = piece; }

private:
    enum class Mode : std::uint8_t { line_start, code, comment, name, number, string_body, fstring_middle, stopped };
    enum class NumberStep : std::uint8_t { prefixed, integer, fraction, exponent_digits };

    struct Bracket {
        char kind;          // '(', '[', '{', or 'F' for a replacement field
        bool from_format;   // a field opened in another field's format specifier
        std::int64_t line;  // where it opened, which is where Python says it was never closed
    };
    struct FString {
        char quote;
        bool triple;
        bool raw;
    };

    std::int64_t line() const noexcept { return line_feeds_ + 1; }

    // Columns, known from the line's start without counting bytes: each
    // line feed and each UTF-8 continuation byte lexed moves the origin, and
    // a byte's column is its offset in the text lexed less the origin.
    // Where in the text lexed `at`, a byte of the piece being lexed, lies.
    std::int64_t offset_of(const char* at) const noexcept {
        return static_cast<std::int64_t>(consumed_) + (at - piece_);
    }
    // The column of `at`: every byte before it in the piece lexed and
    // accounted for. Never fails.
    std::int64_t column_at(const char* at) const noexcept { return offset_of(at) - column_origin_; }
    // The line feed at `feed` was lexed.
    void feed_at(const char* feed) noexcept { column_origin_ = offset_of(feed); }
    // Accounts for the bytes [from, to), lexed without a look at each;
    // `feeds`: whether they may hold a line feed.
    void pass_over(const char* from, const char* to, bool feeds) noexcept;
    std::size_t lex_piece(const char* data, std::size_t size, bool final);
    void refuse(std::string reason);
    void refuse_at(std::string reason, std::int64_t line);

    std::size_t lex_line_start(const char* p, const char* end, bool final);
    std::size_t lex_code(const char* p, const char* end, bool final);
    std::size_t lex_token(const char* p, const char* end, bool final);
    // lex_token's steps, by the token's first byte, each returning what
    // lex_token returns: inline, in the token loop, as one function's code.
    struct TokenStart;
    inline std::size_t lex_name_start(const TokenStart& start);
    inline std::size_t lex_number_start(const TokenStart& start, bool final);
    inline std::size_t lex_line_end(const TokenStart& start, bool final);
    inline std::size_t lex_string_start(const TokenStart& start, bool final);
    inline std::size_t lex_opening_bracket(const TokenStart& start);
    inline std::size_t lex_closing_bracket(const TokenStart& start);
    inline std::size_t lex_operator(const TokenStart& start, bool final);
    std::size_t refuse_character(char c);  // a byte that begins no token
    std::size_t lex_comment(const char* p, const char* end);
    std::size_t lex_name(const char* p, const char* end, bool final);
    std::size_t lex_number(const char* p, const char* end, bool final);
    std::size_t lex_string(const char* p, const char* end, bool final);
    std::size_t lex_fstring(const char* p, const char* end, bool final);

    // Validates the UTF-8 sequence at p (a byte above 0x7f) and returns its
    // length; 0 when it is cut off at `end` (not final); refuses and
    // returns 0 when it is invalid.
    std::size_t utf8_sequence(const char* p, const char* end, bool final, char32_t* code_point);

    // The name gathered in text_ ends, begun at token_line_ and
    // token_column_; or the one in `gathered`, which lasts until the sink
    // has read it, begun at `line` and `column`.
    void end_name(bool quote_follows);
    void end_name(bool quote_follows, std::string_view gathered, std::int64_t line, std::int64_t column);
    void end_number() { end_number(token_line_, token_column_); }
    void end_number(std::int64_t line, std::int64_t column);
    void add_digit(char c) noexcept;  // a digit (or `_`) of the integer being read
    // A string or f-string begins at `line` and `column` (its prefix's).
    void begin_string(char quote, bool triple, std::int64_t line, std::int64_t column);
    // `at`: the op's first byte; `dots`: of an ellipsis, how many it stands for.
    void emit_op(Op op, const char* at, std::uint64_t dots = 0);
    // The same, begun at `at_line` and `at_column`.
    void emit_op_at(Op op, std::int64_t at_line, std::int64_t at_column, std::uint64_t dots);
    // The ellipsis of a run of dots that pieces cut, once the run is known
    // whole (the token after it, or the text's end), where the run began.
    void end_dot_run();
    bool open_bracket(char kind, bool from_format);
    void newline_in_code();
    void close_field(const char* at);  // `at`: its "}"
    // In a format specifier: whether a field opened there would nest deeper than Python allows.
    bool too_deep_in_format() const noexcept;

    TokenSink& sink_;
    // The skipper's statements, handed on with their columns.
    class Statements final : public StatementSink {
    public:
        explicit Statements(PythonLexer& lexer) noexcept : lexer_(lexer) {}
        void statement_import(std::int64_t line, const char* start, std::string_view module) override {
            // The lines passed over before it are accounted for as far as it.
            lexer_.pass_over(passed, start, true);
            passed = start;
            lexer_.sink_.statement_import(line, lexer_.column_at(start), module);
        }
        bool wants_tokens(std::string_view module) const override { return lexer_.sink_.wants_import_tokens(module); }
        // How far the bytes the skipper passes over are accounted for.
        const char* passed = nullptr;

    private:
        PythonLexer& lexer_;
    };
    Statements statements_;
    bool skipping_ = true;
    bool decoded_ = false;
    const ClassifiedPiece* blocks_ = nullptr;
    Mode mode_ = Mode::line_start;
    Mode comment_return_ = Mode::line_start;
    std::int64_t line_feeds_ = 0;
    // The column origin: the offset of the last line feed lexed, plus the
    // continuation bytes lexed since (the text's first byte is column 1).
    std::int64_t column_origin_ = -1;
    std::uint64_t indent_ = 0;  // indentation measured so far at a line start
    std::uint64_t continuation_indent_ = 0;  // the indentation at its first continuation, when not 0

    std::vector<Bracket> brackets_;
    std::vector<FString> fstrings_;
    bool in_format_ = false;      // fstring_middle: in a format specifier rather than the literal part
    bool named_escape_ = false;   // fstring_middle: inside \N{...}

    // A run of dots that reached a piece's end: its whole threes so far,
    // taken and not yet handed on (one token, as the whole run is).
    std::uint64_t dot_run_ = 0;
    std::int64_t dot_run_line_ = 0;
    std::int64_t dot_run_column_ = 0;

    // The token in progress.
    std::int64_t token_line_ = 0;
    std::int64_t token_column_ = 0;
    std::string text_;
    bool text_ascii_ = true;
    bool capture_ = false;
    std::size_t name_length_ = 0;
    NumberStep number_step_ = NumberStep::integer;
    bool number_int_ = true;
    bool number_nonzero_ = false;
    std::uint64_t number_value_ = 0;
    std::uint64_t number_base_ = 10;
    char quote_ = '"';
    bool triple_ = false;
    bool raw_ = false;
    bool bytes_ = false;
    // A name that turned out to be a string's prefix, for the string's start.
    bool has_prefix_ = false;
    bool prefix_raw_ = false;
    bool prefix_bytes_ = false;
    bool prefix_format_ = false;

    // Long names borrowed: where the bytes lexed are in the loan's text.
    NameLoan* loan_ = nullptr;
    std::uint64_t offset_base_ = 0;  // of the first byte lexed
    std::uint64_t consumed_ = 0;     // bytes lexed before the piece being lexed
    const char* piece_ = nullptr;    // the piece being lexed
    std::uint64_t name_offset_ = 0;  // of the name in progress
    bool lent_ = false;              // that name is read from the loan, not gathered in text_:
    std::shared_ptr<std::string> borrowed_;  // from the name the loan lent,
    std::size_t borrowed_at_ = 0;            // from this byte of it

    // Where the lines that may be passed over stop for a name the sink
    // watches, by offset in the text lexed: the next use found, or how far
    // none was, for the words there were then (each byte is looked at once
    // for each set of words, and the words grow a bounded number of times).
    std::size_t watch_words_ = 0;
    std::uint64_t watch_searched_to_ = 0;
    std::uint64_t watch_searched_end_ = 0;  // the end of the text a search found nothing before
    std::uint64_t watch_found_at_ = 0;
    bool watch_found_ = false;
    // The end of the bytes from `p` the skipper may pass over: the start of
    // the line (from `p` on) of the first use of a watched name before `end`.
    const char* watched_end(const char* p, const char* end);

    bool refused_ = false;
    std::string reason_;
    std::int64_t refusal_line_ = 0;
};

}  // namespace scanner_core
