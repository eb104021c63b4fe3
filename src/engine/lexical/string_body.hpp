// The text of string literals, read as Python delimits it: the body of a
// string up to its closing quotes, and the literal text of an f-string (or
// of a format specifier) up to what its reader must handle, a replacement
// field. Escapes, line breaks (in triple quotes only), UTF-8 (ASCII only in
// bytes), doubled braces, \N{...}. Resumable: the text may arrive in
// pieces, and a reader stops where a decision waits for bytes not yet
// given. The tokenizer and the line skipper both read strings with these.
#pragma once

#include <cstdint>

namespace scanner_core {

struct StringBody {
    char quote = '"';
    bool triple = false;
    bool bytes = false;    // a bytes literal: ASCII only
    bool decoded = false;  // a carriage return is a character, not a line break (see PythonLexer::set_decoded)

    enum class Stop : std::uint8_t {
        closed,          // the closing quotes end the string
        more,            // the bytes up to `end` are read; a decision waits for more
        unterminated,    // a line break in a string that is not triple-quoted
        non_ascii,       // a byte above 0x7f in a bytes literal
        invalid_utf8,    // a byte sequence that is not UTF-8
        truncated_utf8,  // a UTF-8 sequence cut off by the text's end
    };
    struct Read {
        Stop stop;
        const char* at;  // closed: past the closing quotes; more: where to resume; else: the byte at fault
    };

    // Reads the body from `p` (inside the string, after its opening quotes
    // or where the last read stopped) towards `end`; `final`: no byte
    // follows `end`. Adds the line feeds it passes to `line_feeds`. The
    // body's bytes end where the closing quotes begin: `at` less the quotes'
    // length. Never fails; thread-safe.
    Read read(const char* p, const char* end, bool final, std::int64_t& line_feeds) const noexcept;

    int quotes() const noexcept { return triple ? 3 : 1; }
};

// The literal text of an f-string, or of a replacement field's format
// specifier, between the fields.
struct FStringText {
    char quote = '"';
    bool triple = false;
    bool raw = false;
    bool decoded = false;    // as StringBody::decoded
    bool in_format = false;  // in a format specifier rather than the f-string's own text
    bool named = false;      // inside \N{...}, whose "}" is no brace: kept from one read to the next

    enum class Stop : std::uint8_t {
        closed,             // the closing quotes end the f-string (in its own text)
        field,              // a "{" opens a replacement field
        field_end,          // in a format specifier: the "}" that closes its field
        more,               // the bytes up to `end` are read; a decision waits for more
        unterminated,       // a line break in an f-string that is not triple-quoted
        expecting_brace,    // the closing quotes in a format specifier
        single_brace,       // a "}" alone in the f-string's own text
        invalid_utf8,       // a byte sequence that is not UTF-8
        truncated_utf8,     // a UTF-8 sequence cut off by the text's end
    };
    struct Read {
        Stop stop;
        const char* at;  // closed: past the closing quotes; field, field_end: at the brace; more: where to
                         // resume; else: the byte at fault
    };

    // Reads from `p` towards `end`, as StringBody::read does. Never fails;
    // thread-safe for distinct objects.
    Read read(const char* p, const char* end, bool final, std::int64_t& line_feeds) noexcept;

    int quotes() const noexcept { return triple ? 3 : 1; }
};

}  // namespace scanner_core
