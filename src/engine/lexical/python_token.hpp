// What the tokenizer produces: the tokens of Python source as far as the
// audit needs them, and the sink interface through which they leave it.
// The tokenizer knows only this interface; whoever reads the tokens (the
// import finder, a test driver) implements it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "kernels/word_search.hpp"

namespace scanner_core {

enum class TokenKind : std::uint8_t {
    name,
    keyword,
    number,
    string,         // a whole string literal other than an f-string
    op,
    fstring_start,  // an f-string begins; its replacement fields follow as field_open ... field_close
    fstring_end,
    field_open,     // the "{" of a replacement field
    field_close,    // its "}"
};

enum class Keyword : std::uint8_t { none, import_, from_, def_, class_, if_, as_, constant, other };

enum class Op : std::uint8_t {
    lparen,
    rparen,
    lbracket,
    rbracket,
    lbrace,
    rbrace,
    dot,
    ellipsis,
    comma,
    semicolon,
    colon,
    assign,  // "=" alone
    star,    // "*" alone
    double_star,
    plus,    // "+" alone
    minus,   // "-" alone
    walrus,  // ":="
    other,
};

struct Token {
    TokenKind kind = TokenKind::op;
    Keyword keyword = Keyword::none;
    Op op = Op::other;
    bool ascii = true;         // name: no byte above 0x7f
    bool str_literal = false;  // string: a str literal (not bytes)
    bool raw = false;          // string: raw prefix
    bool int_literal = false;  // number: an integer literal
    bool nonzero = false;      // number: an integer whose value is not zero
    // number: an integer's value, held at 2**62 past it; ellipsis: its dots;
    // Op::other: 1 for an augmented assignment (`+=`, `//=`), 2 for `==`, 3 for `->`, else 0
    std::uint64_t int_value = 0;
    std::int64_t line = 0;     // of the token's first byte, counted at line feeds
    // Of the token's first byte (a string's prefix): 1-based, in code points
    // since the last line feed, as the line scan counts its columns.
    std::int64_t column = 0;
    // name: its bytes; string: its body, when the sink asked for it. Valid
    // inside the sink's token() only: a sink copies what it keeps.
    std::string_view text;

    // name: its bytes, moved out of the tokenizer to spare the copy of a
    // long name (copied when the tokenizer reads it where it lies); `text`
    // must not be read after. Only inside the sink's token(), at most once.
    // Throws std::bad_alloc only, when copied.
    std::string take_text() const { return owner_ != nullptr ? std::move(*owner_) : std::string(text); }

    // For the tokenizer: the string that holds `text` and may be taken.
    void set_owner(std::string* owner) noexcept { owner_ = owner; }

    // name: the string the line scan lent that holds the name's bytes from
    // `lent_at` on, or null (see name_loan.hpp); only inside the sink's
    // token(). A long name's `text` views them there, and it has no text of
    // its own to take: a sink shares the string instead.
    const std::shared_ptr<std::string>* lent = nullptr;
    std::size_t lent_at = 0;
    // Whether `text` is the lent bytes. Never fails.
    bool text_is_lent() const noexcept { return lent != nullptr && text.data() == (*lent)->data() + lent_at; }

private:
    std::string* owner_ = nullptr;
};

// Where the tokenizer's output goes: the tokens of each logical line
// between line_start and newline, then end; and, for the lines the sink
// says may be passed over, the import statements read there without
// tokens. Called on the tokenizer's thread; each member throws
// std::bad_alloc only.
class TokenSink {
public:
    // An import of `module` (with its leading dots when relative) by a
    // statement read without tokens, which begins at `line` and `column`.
    virtual void statement_import(std::int64_t line, std::int64_t column, std::string_view module) = 0;
    // A logical line begins with its first token; `indent` is its column.
    virtual void line_start(std::int64_t line, std::uint64_t indent) = 0;
    virtual void token(const Token& token) = 0;
    // A logical line ends.
    virtual void newline() = 0;
    // The text ends, read whole and accepted.
    virtual void end() = 0;

    // Whether the tokenizer must keep the body of the next string (in
    // Token::text): the sink will need it. Never fails.
    virtual bool wants_string_body() const noexcept = 0;
    // Whether a logical line that holds no import and no dynamic importer's
    // name changes nothing for the sink now, and may be passed over without
    // tokens. Never fails.
    virtual bool at_rest() const noexcept = 0;
    // The names whose every use must reach the sink as tokens even where
    // the line may otherwise be passed over (names it follows, bound to
    // modules); the words only grow. Null when there are none. Never fails.
    virtual const WordSearch* watched_names() const noexcept { return nullptr; }
    // Whether the watched word `word` (its index) found at `at`, in a text
    // readable from `begin` to `end`, may be a use the sink must see as
    // tokens; a use it can tell from the bytes changes nothing for it (a
    // longer name, an attribute of another value, an attribute the sink
    // does not follow) is passed over. Never fails.
    virtual bool watched_use(std::size_t, const char*, const char*, const char*) const noexcept { return true; }
    // Whether an import statement of `module` (no leading dots) must reach
    // the sink as tokens, for the names it binds, rather than be read
    // without them. Throws std::bad_alloc only.
    virtual bool wants_import_tokens(std::string_view) const { return false; }

protected:
    ~TokenSink() = default;
};

}  // namespace scanner_core
