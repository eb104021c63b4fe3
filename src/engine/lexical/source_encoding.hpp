// How Python decides the encoding of a source it imports: a UTF-8
// byte-order mark, then a coding declaration in a comment on the first
// line, or on the second when the first holds nothing but blanks or a
// comment. Decided from the first bytes of a text that arrives in pieces,
// without keeping them.
#pragma once

#include <cstddef>
#include <string>

namespace scanner_core {

class CodingDeclaration {
public:
    enum class Result : unsigned char {
        undecided,
        utf8,     // no declaration, or one Python reads as UTF-8
        latin1,   // one Python reads as ISO-8859-1
        other,    // another codec, by the name Python looks up (name())
        bad_bom,  // a byte-order mark with a declaration of another codec
    };

    // The text begins with a UTF-8 byte-order mark (already skipped).
    void after_byte_order_mark() noexcept { bom_ = true; }

    // Looks at the next bytes of the text (after any byte-order mark) and
    // returns how many it took before the encoding was decided: all of them
    // while it is not. Never fails but on exhausted memory.
    std::size_t scan(const char* data, std::size_t size);

    // The text has ended: decides, if it has not yet. Never fails.
    void end() noexcept;

    Result result() const noexcept { return result_; }
    // Whether the text began with a UTF-8 byte-order mark. Never fails.
    bool byte_order_mark() const noexcept { return bom_; }
    // The codec's name as Python normalises it ("iso-8859-1", "cp1252", ...);
    // empty when nothing was declared.
    const std::string& name() const noexcept { return name_; }

private:
    enum class Step : unsigned char { leading, comment, colon, blanks, name };

    void decide_name();
    void end_line() noexcept;

    Result result_ = Result::undecided;
    Step step_ = Step::leading;
    int line_ = 1;
    std::size_t matched_ = 0;  // letters of "coding" matched so far
    bool after_cr_ = false;
    bool bom_ = false;
    std::string name_;
};

}  // namespace scanner_core
