#include "lexical/string_body.hpp"

#include <algorithm>

#include "kernels/byte_scan.hpp"
#include "lexical/python_chars.hpp"

namespace scanner_core {
namespace {

// Stops that come close together (a docstring of short lines, a run of
// escapes) are looked for a byte at a time, where a bulk search would cost
// more than it saves: after a search that went less than this far.
constexpr std::ptrdiff_t kNear = 8;

inline bool string_stop(char c, char quote) noexcept {
    return c == quote || c == '\\' || c == '\n' || c == '\r' || static_cast<unsigned char>(c) >= 0x80;
}

// The next byte from `q` that may end or change the text: one for which
// `stop` holds, as `bulk` finds them (`bulk` may count line feeds itself,
// into the count it is given). In triple quotes, the line feeds before it
// are counted into `line_feeds` rather than stopped at. `dense`:
// whether the stops come close together; `near_before`: whether the last
// bulk search found its stop near; both updated.
template <class Stop, class Bulk>
inline const char* next_stop(const char* q, const char* end, bool triple, std::int64_t& line_feeds, bool& dense,
                             bool& near_before, Stop stop, Bulk bulk) noexcept {
    for (;;) {
        if (dense) {
            const char* const near = q + std::min(end - q, kNear);
            for (; q < near; ++q) {
                if (triple && *q == '\n') {
                    ++line_feeds;
                } else if (stop(*q)) {
                    return q;
                }
            }
            if (q == end) return q;
            dense = false;
        }
        const char* const from = q;
        q = bulk(q, line_feeds);
        // Dense after two near stops in a row: one (a blank line) is common.
        const bool near = q - from < kNear;
        dense = near && near_before;
        near_before = near;
        if (q == end || !triple || *q != '\n') return q;
        ++line_feeds;
        ++q;
    }
}

}  // namespace

StringBody::Read StringBody::read(const char* p, const char* end, bool final, std::int64_t& line_feeds) const noexcept {
    const char* q = p;
    bool dense = false;
    bool near_before = false;
    const auto stop = [this](char c) { return string_stop(c, quote); };
    // In triple quotes a line feed is text: counted by the search, not a stop.
    const auto bulk = [this, end](const char* from, std::int64_t& feeds) {
        return triple ? next_triple_stop(from, end, quote, feeds) : next_string_stop(from, end, quote);
    };
    for (;;) {
        // Ordinary bytes in bulk, to the next that may end or change the string.
        q = next_stop(q, end, triple, line_feeds, dense, near_before, stop, bulk);
        if (q == end) return {Stop::more, q};
        const char c = *q;
        if (static_cast<unsigned char>(c) >= 0x80) {
            if (bytes) return {Stop::non_ascii, q};
            char32_t code_point = 0;
            const int length = python_chars::decode_utf8(q, end, code_point);
            if (length < 0) return {Stop::invalid_utf8, q};
            if (length == 0) return {final ? Stop::truncated_utf8 : Stop::more, q};
            q += length;
            continue;
        }
        if (c == '\\') {
            // The escaped byte is never the string's end: a line break there
            // continues the string, and any other is an ordinary byte.
            if (end - q < 3 && !final) return {Stop::more, q};
            const char next = end - q > 1 ? q[1] : '\0';
            if (next == '\n') {
                ++line_feeds;
                q += 2;
            } else if (next == '\r') {
                const bool feed = end - q > 2 && q[2] == '\n';
                line_feeds += feed;
                q += feed ? 3 : 2;
            } else if (next == quote || next == '\\') {
                q += 2;
            } else {
                ++q;
            }
            continue;
        }
        if (c == '\n' || c == '\r') {
            if (c == '\r' && decoded) {
                ++q;
                continue;
            }
            if (!triple) return {Stop::unterminated, q};
            line_feeds += c == '\n';
            ++q;
            continue;
        }
        // The quote.
        if (!triple) return {Stop::closed, q + 1};
        if (end - q < 3 && !final) return {Stop::more, q};
        if (end - q >= 3 && q[1] == quote && q[2] == quote) return {Stop::closed, q + 3};
        ++q;
    }
}

FStringText::Read FStringText::read(const char* p, const char* end, bool final, std::int64_t& line_feeds) noexcept {
    const char* q = p;
    bool dense = true;  // the text between fields is mostly short: looked at one byte at a time first
    bool near_before = true;
    const auto stop = [this](char c) { return string_stop(c, quote) || c == '{' || c == '}'; };
    const auto bulk = [this, end](const char* from, std::int64_t&) { return next_fstring_stop(from, end, quote); };
    for (;;) {
        q = next_stop(q, end, triple, line_feeds, dense, near_before, stop, bulk);
        if (q == end) return {Stop::more, q};
        const char c = *q;
        if (static_cast<unsigned char>(c) >= 0x80) {
            char32_t code_point = 0;
            const int length = python_chars::decode_utf8(q, end, code_point);
            if (length < 0) return {Stop::invalid_utf8, q};
            if (length == 0) return {final ? Stop::truncated_utf8 : Stop::more, q};
            q += length;
            continue;
        }
        switch (c) {
            case '{':
                // "{{" is a brace of the text, but not in a format specifier.
                if (!in_format) {
                    if (end - q < 2 && !final) return {Stop::more, q};
                    if (end - q >= 2 && q[1] == '{') {
                        q += 2;
                        continue;
                    }
                }
                named = false;  // a \N{ cut short by a field is over, as Python's reading goes
                return {Stop::field, q};
            case '}':
                if (named) {
                    named = false;
                    ++q;
                    continue;
                }
                if (in_format) return {Stop::field_end, q};
                if (end - q < 2 && !final) return {Stop::more, q};
                if (end - q >= 2 && q[1] == '}') {
                    q += 2;
                    continue;
                }
                return {Stop::single_brace, q};
            case '\\': {
                if (end - q < 3 && !final) return {Stop::more, q};
                const char next = end - q > 1 ? q[1] : '\0';
                if (next == '{' || next == '}') {  // the brace keeps its meaning
                    ++q;
                } else if (next == 'N' && !raw) {
                    named = end - q > 2 && q[2] == '{';
                    q += named ? 3 : 2;
                } else if (next == '\n') {
                    ++line_feeds;
                    q += 2;
                } else if (next == '\r') {
                    const bool feed = end - q > 2 && q[2] == '\n';
                    line_feeds += feed;
                    q += feed ? 3 : 2;
                } else if (static_cast<unsigned char>(next) >= 0x80 || next == '\0') {
                    ++q;
                } else {
                    q += 2;
                }
                continue;
            }
            case '\r':
            case '\n':
                if (c == '\r' && decoded) {
                    ++q;
                    continue;
                }
                if (!triple) return {Stop::unterminated, q};
                line_feeds += c == '\n';
                ++q;
                continue;
            default: {  // the quote
                std::ptrdiff_t length = 1;
                if (triple) {
                    if (end - q < 3 && !final) return {Stop::more, q};
                    if (end - q < 3 || q[1] != c || q[2] != c) {
                        ++q;  // a quote of the text
                        continue;
                    }
                    length = 3;
                }
                if (in_format) return {Stop::expecting_brace, q};
                return {Stop::closed, q + length};
            }
        }
    }
}

}  // namespace scanner_core
