// The tokenizer alone: prints the tokens PythonLexer gives for each text
// on standard input, every line read (none passed over), for
// tests/proof/token_proof.py to set beside Python's tokenize.
//
// Input, repeated: a line "<size> <piece>" then <size> bytes of UTF-8 text,
// fed to the lexer <piece> bytes at a time (0: at once). Output, for each
// text, one line per event, then "end" or "refused <line> <reason>":
//   start <line> <indent>            a logical line begins
//   newline                          it ends
//   name|keyword <line> <column> <keyword> <hex of the bytes>
//   number <line> <column> <integer> <nonzero> <value>
//   string <line> <column> <str> <raw> <hex of the body>
//   op <line> <column> <op> <dots>
//   fstring_start|fstring_end|field_open|field_close <line> <column>
#include <algorithm>
#include <cstdio>
#include <iostream>
#include <string>
#include <string_view>

#include "audit/python_lexer.hpp"

namespace {

using scanner_core::Keyword;
using scanner_core::Op;
using scanner_core::Token;
using scanner_core::TokenKind;

const char* keyword_name(Keyword keyword) {
    switch (keyword) {
        case Keyword::none: return "none";
        case Keyword::import_: return "import";
        case Keyword::from_: return "from";
        case Keyword::def_: return "def";
        case Keyword::class_: return "class";
        case Keyword::if_: return "if";
        case Keyword::as_: return "as";
        case Keyword::constant: return "constant";
        case Keyword::other: break;
    }
    return "other";
}

const char* op_name(Op op) {
    switch (op) {
        case Op::lparen: return "(";
        case Op::rparen: return ")";
        case Op::lbracket: return "[";
        case Op::rbracket: return "]";
        case Op::lbrace: return "{";
        case Op::rbrace: return "}";
        case Op::dot: return ".";
        case Op::ellipsis: return "...";
        case Op::comma: return ",";
        case Op::semicolon: return ";";
        case Op::colon: return ":";
        case Op::assign: return "=";
        case Op::star: return "*";
        case Op::double_star: return "**";
        case Op::plus: return "+";
        case Op::minus: return "-";
        case Op::walrus: return ":=";
        case Op::other: break;
    }
    return "other";
}

std::string hex(std::string_view bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text = "x";  // never empty, so that the field is never missing
    for (const char c : bytes) {
        text.push_back(kDigits[(static_cast<unsigned char>(c) >> 4) & 0xf]);
        text.push_back(kDigits[static_cast<unsigned char>(c) & 0xf]);
    }
    return text;
}

// Prints every event; asks for every string's body and passes over nothing.
class PrintingSink final : public scanner_core::TokenSink {
public:
    void statement_import(std::int64_t line, std::int64_t column, std::string_view module) override {
        std::printf("statement %lld %lld %s\n", static_cast<long long>(line), static_cast<long long>(column),
                    hex(module).c_str());
    }
    void line_start(std::int64_t line, std::uint64_t indent) override {
        std::printf("start %lld %llu\n", static_cast<long long>(line), static_cast<unsigned long long>(indent));
    }
    void newline() override { std::printf("newline\n"); }
    void end() override {}
    bool wants_string_body() const noexcept override { return true; }
    bool at_rest() const noexcept override { return false; }

    void token(const Token& token) override {
        const long long line = static_cast<long long>(token.line);
        const long long column = static_cast<long long>(token.column);
        switch (token.kind) {
            case TokenKind::name:
            case TokenKind::keyword:
                std::printf("%s %lld %lld %s %s\n", token.kind == TokenKind::name ? "name" : "keyword", line, column,
                            keyword_name(token.keyword), hex(token.text).c_str());
                return;
            case TokenKind::number:
                std::printf("number %lld %lld %d %d %llu\n", line, column, token.int_literal, token.nonzero,
                            static_cast<unsigned long long>(token.int_value));
                return;
            case TokenKind::string:
                std::printf("string %lld %lld %d %d %s\n", line, column, token.str_literal, token.raw,
                            hex(token.text).c_str());
                return;
            case TokenKind::op:
                std::printf("op %lld %lld %s %llu\n", line, column, op_name(token.op),
                            static_cast<unsigned long long>(token.int_value));
                return;
            case TokenKind::fstring_start: std::printf("fstring_start %lld %lld\n", line, column); return;
            case TokenKind::fstring_end: std::printf("fstring_end %lld %lld\n", line, column); return;
            case TokenKind::field_open: std::printf("field_open %lld %lld\n", line, column); return;
            case TokenKind::field_close: std::printf("field_close %lld %lld\n", line, column); return;
        }
    }
};

void tokenize(const std::string& text, std::size_t piece) {
    PrintingSink sink;
    scanner_core::PythonLexer lexer(sink);
    lexer.set_skipping(false);
    if (piece == 0) piece = text.size();
    // The bytes the lexer held back are passed again, before the next piece.
    std::string pending;
    std::size_t at = 0;
    do {
        const std::size_t take = std::min(piece, text.size() - at);
        pending.append(text, at, take);
        at += take;
        const bool final = at == text.size();
        const std::size_t used = lexer.lex(pending.data(), pending.size(), final);
        pending.erase(0, used);
    } while (at < text.size() && !lexer.refused());
    if (!lexer.refused()) lexer.finish();
    if (lexer.refused()) {
        std::printf("refused %lld %s\n", static_cast<long long>(lexer.refusal_line()), lexer.reason().c_str());
    } else {
        std::printf("end\n");
    }
}

}  // namespace

int main() {
    std::size_t size = 0;
    std::size_t piece = 0;
    while (std::cin >> size >> piece) {
        std::cin.get();  // the line feed after the header
        std::string text(size, '\0');
        if (!std::cin.read(text.data(), static_cast<std::streamsize>(size))) {
            std::fprintf(stderr, "token_stream: a text ends early\n");
            return 2;
        }
        tokenize(text, piece);
        std::fflush(stdout);
    }
    return 0;
}
