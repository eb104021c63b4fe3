// Constants as Python's compiler folds them (see import_finder.hpp): the
// values of string and bytes literals, the folding of a run of tokens, the
// elements of a display, a fromlist's names, and bytes given to a code
// runner decoded as compile decodes them.
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>

#include "audit/import_finder.hpp"
#include "lexical/python_unicode.hpp"
#include "lexical/source_encoding.hpp"

namespace scanner_core {
namespace {

// Appends the code point as UTF-8; lone surrogates as the three bytes UTF-8
// would give them, as a Python str may hold them.
void append_code_point(char32_t c, std::string& out) {
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xc0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3f)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xe0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3f)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3f)));
    } else {
        out.push_back(static_cast<char>(0xf0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3f)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3f)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3f)));
    }
}

int hex_value(char c) noexcept {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Walks a literal's body as Python evaluates it, appending its value: line
// breaks are line feeds, a backslash before one joins the lines, and the
// escapes str and bytes share stand for their character. Any other escape
// (after `\\`, at `i` on it) is left to `other`, which appends what it
// stands for, moves `i` past what it reads, and returns false to stop.
template <class Other>
bool walk_literal(std::string_view body, bool raw, std::string& out, Other other) {
    for (std::size_t i = 0; i < body.size(); ++i) {
        const char c = body[i];
        if (c == '\r') {
            out.push_back('\n');
            if (i + 1 < body.size() && body[i + 1] == '\n') ++i;
            continue;
        }
        if (c != '\\' || raw || i + 1 == body.size()) {
            out.push_back(c);
            continue;
        }
        switch (body[++i]) {
            case '\n': continue;
            case '\r':
                if (i + 1 < body.size() && body[i + 1] == '\n') ++i;
                continue;
            case '\\': out.push_back('\\'); continue;
            case '\'': out.push_back('\''); continue;
            case '"': out.push_back('"'); continue;
            case 'a': out.push_back('\a'); continue;
            case 'b': out.push_back('\b'); continue;
            case 'f': out.push_back('\f'); continue;
            case 'n': out.push_back('\n'); continue;
            case 'r': out.push_back('\r'); continue;
            case 't': out.push_back('\t'); continue;
            case 'v': out.push_back('\v'); continue;
            default: break;
        }
        if (!other(i)) return false;
    }
    return true;
}

// An octal escape's value from `i` on (its first digit), `i` left on its last.
unsigned octal_at(std::string_view body, std::size_t& i) noexcept {
    unsigned value = static_cast<unsigned>(body[i] - '0');
    for (int digits = 1; digits < 3 && i + 1 < body.size() && body[i + 1] >= '0' && body[i + 1] <= '7'; ++digits) {
        value = value * 8 + static_cast<unsigned>(body[++i] - '0');
    }
    return value;
}

// Appends the value of a string literal's body, as Python evaluates it
// (line breaks are line feeds there). Returns false when the body holds
// an escape that names a character (\N{...}), whose value needs Python's
// table of names.
bool append_literal(std::string_view body, bool raw, std::string& out) {
    return walk_literal(body, raw, out, [&](std::size_t& i) {
        const char e = body[i];
        if (e == 'N') return false;
        if (e >= '0' && e <= '7') {
            append_code_point(static_cast<char32_t>(octal_at(body, i)), out);
            return true;
        }
        const int width = e == 'x' ? 2 : e == 'u' ? 4 : e == 'U' ? 8 : 0;
        char32_t value = 0;
        int digits = 0;
        std::size_t at = i;
        for (; digits < width && at + 1 < body.size() && hex_value(body[at + 1]) >= 0; ++digits) {
            value = value * 16 + static_cast<char32_t>(hex_value(body[++at]));
        }
        // Not an escape, or a short or out-of-range one that makes Python
        // refuse the file: kept as written, for a file that cannot run anyway.
        if (width == 0 || digits < width || value > 0x10ffff) {
            out.push_back('\\');
            out.push_back(e);
            i = width == 0 ? i : at;
            return true;
        }
        i = at;
        append_code_point(value, out);
        return true;
    });
}

// Appends the value of a bytes literal's body, as Python evaluates it: the
// escapes of bytes only, an octal escape taken modulo 256.
void append_bytes_literal(std::string_view body, bool raw, std::string& out) {
    walk_literal(body, raw, out, [&](std::size_t& i) {
        const char e = body[i];
        if (e >= '0' && e <= '7') {
            out.push_back(static_cast<char>(octal_at(body, i) & 0xff));
        } else if (e == 'x' && i + 2 < body.size() && hex_value(body[i + 1]) >= 0 && hex_value(body[i + 2]) >= 0) {
            out.push_back(static_cast<char>(hex_value(body[i + 1]) * 16 + hex_value(body[i + 2])));
            i += 2;
        } else {  // not an escape of bytes (or a short one, which Python refuses): both characters stay
            out.push_back('\\');
            out.push_back(e);
        }
        return true;
    });
}

// The length Python gives a text: code points of a str, bytes of bytes.
std::uint64_t points_of(std::string_view text, bool bytes) noexcept {
    if (bytes) return text.size();
    std::uint64_t points = 0;
    for (const char c : text) points += (static_cast<unsigned char>(c) & 0xc0) != 0x80;
    return points;
}

// CPython folds `text * n` only while the result holds at most this many
// code points (bytes of bytes), and ints only of this size here.
constexpr std::uint64_t kMostMultiplied = 4096;
constexpr std::uint64_t kMostFoldedInteger = std::uint64_t{1} << 62;

// A display's elements are kept in one string: for each, its kind, its
// size and its bytes (an int's eight bytes).
void append_element(std::string& elements, std::uint8_t kind, std::string_view value) {
    const std::uint64_t size = value.size();
    elements.push_back(static_cast<char>(kind));
    elements.append(reinterpret_cast<const char*>(&size), sizeof size);
    elements.append(value);
}

struct Element {
    std::uint8_t kind;
    std::string_view value;
};

// The element at `at` (the offset of its kind), and the offset of the next.
Element element_at(std::string_view elements, std::size_t& at) noexcept {
    Element element{static_cast<std::uint8_t>(elements[at]), {}};
    std::uint64_t size = 0;
    std::memcpy(&size, elements.data() + at + 1, sizeof size);
    element.value = elements.substr(at + 1 + sizeof size, size);
    at += 1 + sizeof size + size;
    return element;
}

}  // namespace

// --- constants folded as Python's compiler folds them ----------------------
//
// A run of tokens is read as a sum of terms, each a product of operands,
// the two levels of precedence folding needs; anything else ends the fold.
// Values are built only in a frame that keeps them, each step appending to
// a text once: a run of any length folds in time linear in what it writes,
// and what it writes is bounded for the whole file.

void ImportFinder::fold_reset(Frame& frame) noexcept {
    frame.text = Constant::empty;
    frame.operand = frame.term = frame.sum = Folded::nothing;
    frame.expect = true;
    frame.times = frame.subtract = frame.negative = frame.signed_operand = false;
    frame.operand_points = frame.term_points = frame.sum_points = 0;
    frame.operand_int = frame.term_int = frame.sum_int = 0;
    frame.text_value.clear();
    frame.fold_term.clear();
    frame.fold_sum.clear();
    frame.text_unjudgeable = false;
}

void ImportFinder::fold_fail(Frame& frame) noexcept {
    frame.text = Constant::no;
    frame.operand = frame.term = frame.sum = Folded::nothing;
    frame.text_value.clear();
    frame.fold_term.clear();
    frame.fold_sum.clear();
}

bool ImportFinder::fold_spend(std::size_t bytes, std::size_t result) {
    // A short result is free: a key such as `"-" * 80` costs nothing
    // against the bound, and costs no more than a few times its tokens.
    if (result <= kFreeFold) return true;
    if (bytes <= *fold_budget_) {
        *fold_budget_ -= bytes;
        return true;
    }
    *fold_budget_ = 0;
    if (!fold_exhausted_) {  // Python would fold it: the file cannot pass unread
        fold_exhausted_ = true;
        sink().add({AuditedImport::Kind::unaudited_code, top().open_line, "constantes pliées trop grandes", 0,
                    top().open_column});
    }
    return false;
}

void ImportFinder::fold_string(Frame& frame, const Token& token, bool adjacent) {
    if (frame.text == Constant::no) return;
    const Folded kind = token.str_literal ? Folded::str : Folded::bytes;
    if (adjacent && (frame.operand == Folded::str || frame.operand == Folded::bytes)) {
        if (kind != frame.operand) {  // Python refuses str and bytes side by side
            fold_fail(frame);
            return;
        }
    } else if (!frame.expect || frame.signed_operand) {
        fold_fail(frame);
        return;
    } else {
        frame.operand = kind;
        frame.expect = false;
        frame.text_value.clear();
        frame.operand_points = 0;
    }
    frame.text = Constant::yes;
    if (!frame.keep_text) return;
    const std::size_t at = frame.text_value.size();
    if (kind == Folded::bytes) {
        append_bytes_literal(token.text, token.raw, frame.text_value);
    } else if (!append_literal(token.text, token.raw, frame.text_value)) {
        frame.text_unjudgeable = true;
    }
    frame.operand_points += points_of(std::string_view(frame.text_value).substr(at), kind == Folded::bytes);
}

bool ImportFinder::string_literal_value(const Token& token, std::string& out) {
    return append_literal(token.text, token.raw, out);
}

void ImportFinder::fold_integer(Frame& frame, std::int64_t value) noexcept {
    if (frame.text == Constant::no) return;
    if (!frame.expect) {
        fold_fail(frame);
        return;
    }
    frame.operand = Folded::integer;
    frame.operand_int = frame.negative ? -value : value;
    frame.expect = false;
    frame.negative = frame.signed_operand = false;
    frame.text = Constant::yes;
}

void ImportFinder::fold_none(Frame& frame) noexcept {
    if (frame.text == Constant::no) return;
    if (!frame.expect || frame.signed_operand) {
        fold_fail(frame);
        return;
    }
    frame.operand = Folded::none;
    frame.expect = false;
    frame.text = Constant::yes;
}

void ImportFinder::fold_sign(Frame& frame, bool minus) noexcept {
    if (frame.text == Constant::no) return;
    frame.signed_operand = true;
    frame.negative = frame.negative != minus;
}

bool ImportFinder::fold_reduce(Frame& frame) {
    if (frame.operand == Folded::nothing || frame.expect) return false;
    if (!frame.times) {
        frame.term = frame.operand;
        std::swap(frame.fold_term, frame.text_value);
        frame.term_int = frame.operand_int;
        frame.term_points = frame.operand_points;
    } else if (frame.term == Folded::integer && frame.operand == Folded::integer) {
        std::int64_t product = 0;
        if (__builtin_mul_overflow(frame.term_int, frame.operand_int, &product) ||
            product >= static_cast<std::int64_t>(kMostFoldedInteger) ||
            product <= -static_cast<std::int64_t>(kMostFoldedInteger)) {
            return false;  // past the ints folded here
        }
        frame.term_int = product;
        frame.times = false;
    } else {
        // A text times an int, either way round; nothing else is folded.
        const bool text_left = (frame.term == Folded::str || frame.term == Folded::bytes) &&
                               frame.operand == Folded::integer;
        const bool text_right = frame.term == Folded::integer &&
                                (frame.operand == Folded::str || frame.operand == Folded::bytes);
        if (!text_left && !text_right) return false;
        if (text_right) {
            std::swap(frame.fold_term, frame.text_value);
            frame.term = frame.operand;
            frame.term_points = frame.operand_points;
        }
        const std::int64_t count = text_left ? frame.operand_int : frame.term_int;
        const std::uint64_t points = frame.term_points;
        if (points == 0) {
            frame.fold_term.clear();  // an empty text, whatever the count
        } else if (count < 0 || static_cast<std::uint64_t>(count) > kMostMultiplied / points) {
            return false;  // CPython leaves it to run time
        } else if (count == 0) {
            frame.fold_term.clear();
            frame.term_points = 0;
        } else if (frame.keep_text) {
            const std::size_t size = frame.fold_term.size();
            if (!fold_spend(size * static_cast<std::size_t>(count - 1), size * static_cast<std::size_t>(count))) {
                return false;
            }
            frame.fold_term.reserve(size * static_cast<std::size_t>(count));
            for (std::int64_t k = 1; k < count; ++k) frame.fold_term.append(frame.fold_term, 0, size);
            frame.term_points = points * static_cast<std::uint64_t>(count);
        }
        frame.times = false;
    }
    frame.operand = Folded::nothing;
    frame.text_value.clear();
    return true;
}

bool ImportFinder::fold_add_term(Frame& frame) {
    // The term into the sum, by the operator before it.
    if (frame.sum == Folded::nothing) {
        frame.sum = frame.term;
        std::swap(frame.fold_sum, frame.fold_term);
        frame.sum_points = frame.term_points;
        frame.sum_int = frame.term_int;
    } else if (frame.sum == Folded::integer && frame.term == Folded::integer) {
        // Both below 2**62: no overflow.
        const std::int64_t value = frame.subtract ? frame.sum_int - frame.term_int : frame.sum_int + frame.term_int;
        if (value >= static_cast<std::int64_t>(kMostFoldedInteger) ||
            value <= -static_cast<std::int64_t>(kMostFoldedInteger)) {
            return false;
        }
        frame.sum_int = value;
    } else if (!frame.subtract && frame.sum == frame.term &&
               (frame.term == Folded::str || frame.term == Folded::bytes)) {
        if (!fold_spend(frame.fold_term.size(), frame.fold_sum.size() + frame.fold_term.size())) return false;
        frame.fold_sum.append(frame.fold_term);
        frame.sum_points += frame.term_points;
    } else {
        return false;
    }
    frame.term = Folded::nothing;
    frame.fold_term.clear();
    return true;
}

void ImportFinder::fold_plus(Frame& frame, bool minus) {
    if (frame.text == Constant::no) return;
    if (frame.expect) {  // unary
        fold_sign(frame, minus);
        return;
    }
    if (!fold_reduce(frame) || !fold_add_term(frame)) {
        fold_fail(frame);
        return;
    }
    frame.subtract = minus;
    frame.expect = true;
}

void ImportFinder::fold_times(Frame& frame) {
    if (frame.text == Constant::no) return;
    if (frame.expect || !fold_reduce(frame)) {
        fold_fail(frame);
        return;
    }
    frame.times = true;
    frame.expect = true;
}

void ImportFinder::fold_settle(Frame& frame) {
    if (frame.text != Constant::yes) {
        frame.operand = Folded::nothing;
        return;
    }
    if (frame.sum == Folded::nothing && frame.term == Folded::nothing && !frame.times && !frame.expect) {
        return;  // settled already, or one operand
    }
    // The last term into the sum, the sum as the operand.
    if (!fold_reduce(frame) || !fold_add_term(frame)) {
        fold_fail(frame);
        return;
    }
    frame.operand = frame.sum;
    std::swap(frame.text_value, frame.fold_sum);
    frame.operand_int = frame.sum_int;
    frame.operand_points = frame.sum_points;
    frame.term = frame.sum = Folded::nothing;
    frame.subtract = false;
    frame.fold_term.clear();
    frame.fold_sum.clear();
    frame.expect = false;
}

void ImportFinder::fold_element(Frame& frame) {
    if (!frame.keep_text) return;
    if (frame.text == Constant::empty && !frame.signed_operand) return;  // nothing after a trailing comma
    fold_settle(frame);
    const Folded kind = frame.text == Constant::yes ? frame.operand : Folded::nothing;
    if (kind == Folded::str || kind == Folded::bytes) {
        append_element(frame.elements, static_cast<std::uint8_t>(kind), frame.text_value);
    } else if (kind == Folded::integer) {
        append_element(frame.elements, static_cast<std::uint8_t>(kind),
                       std::string_view(reinterpret_cast<const char*>(&frame.operand_int), sizeof frame.operand_int));
    } else {
        append_element(frame.elements, static_cast<std::uint8_t>(Folded::nothing), {});
        frame.elements_ok = false;
    }
    frame.elements_unjudgeable = frame.elements_unjudgeable || frame.text_unjudgeable;
    fold_reset(frame);
}

void ImportFinder::fold_bracket(Frame& frame, Frame& inner) {
    // The bracket's value, held by `inner` as an operand.
    bool unjudgeable = inner.text_unjudgeable;
    if (inner.kind == Frame::Kind::group && !inner.comma && !inner.empty) {
        fold_settle(inner);
        if (inner.text != Constant::yes) inner.operand = Folded::nothing;
    } else if (inner.kind == Frame::Kind::group || (inner.kind == Frame::Kind::display && inner.bracket_list)) {
        fold_element(inner);
        unjudgeable = inner.elements_unjudgeable;
        // A tuple with an element that does not fold is no constant, which
        // CPython leaves to run time: it is read as a list display, whose
        // elements are still the arguments a `*` gives.
        inner.operand = inner.kind == Frame::Kind::group && inner.elements_ok ? Folded::tuple : Folded::list;
        std::swap(inner.text_value, inner.elements);
    } else {
        inner.operand = Folded::nothing;
    }
    if (frame.text == Constant::no) return;
    if (!inner.keep_text || !frame.expect || inner.operand == Folded::nothing ||
        (frame.signed_operand && inner.operand != Folded::integer)) {
        fold_fail(frame);
        return;
    }
    frame.operand = inner.operand;
    std::swap(frame.text_value, inner.text_value);
    frame.operand_int = frame.negative ? -inner.operand_int : inner.operand_int;
    frame.operand_points = inner.operand_points;
    frame.negative = frame.signed_operand = false;
    frame.expect = false;
    frame.text = Constant::yes;
    frame.text_unjudgeable = frame.text_unjudgeable || unjudgeable;
}

void ImportFinder::fold_character(Frame& frame, std::int64_t index) {
    const auto count = static_cast<std::int64_t>(frame.operand_points);
    if (index < 0) index += count;
    if (index < 0 || index >= count) {
        fold_fail(frame);
        return;
    }
    if (frame.operand == Folded::bytes) {  // an int
        frame.operand = Folded::integer;
        frame.operand_int = static_cast<unsigned char>(frame.text_value[static_cast<std::size_t>(index)]);
        frame.text_value.clear();
        return;
    }
    // The code point `index`, found by its lead byte.
    std::size_t at = 0;
    for (std::int64_t k = -1;; ++at) {
        if ((static_cast<unsigned char>(frame.text_value[at]) & 0xc0) != 0x80 && ++k == index) break;
    }
    std::size_t end = at + 1;
    while (end < frame.text_value.size() && (static_cast<unsigned char>(frame.text_value[end]) & 0xc0) == 0x80) ++end;
    frame.text_value.erase(end);
    frame.text_value.erase(0, at);
    frame.operand_points = 1;
}

void ImportFinder::fold_subscript(Frame& frame, Frame& inner) {
    if (frame.text == Constant::no) return;
    fold_settle(inner);
    // Only a tuple's element, a str's character or a byte's value, by an int, is folded.
    if (frame.expect || inner.comma || inner.text != Constant::yes || inner.operand != Folded::integer ||
        !(frame.operand == Folded::tuple || frame.operand == Folded::str || frame.operand == Folded::bytes)) {
        fold_fail(frame);
        return;
    }
    if (frame.operand != Folded::tuple) {
        fold_character(frame, inner.operand_int);
        return;
    }
    const std::string_view elements = frame.text_value;
    std::int64_t count = 0;
    for (std::size_t at = 0; at < elements.size(); ++count) element_at(elements, at);
    std::int64_t index = inner.operand_int;
    if (index < 0) index += count;
    if (index < 0 || index >= count) {
        fold_fail(frame);
        return;
    }
    std::size_t at = 0;
    Element element{};
    for (std::int64_t k = 0; k <= index; ++k) element = element_at(elements, at);
    const auto kind = static_cast<Folded>(element.kind);
    if (kind == Folded::nothing) {
        fold_fail(frame);
        return;
    }
    frame.operand = kind;
    if (kind == Folded::integer) {
        std::memcpy(&frame.operand_int, element.value.data(), sizeof frame.operand_int);
        frame.text_value.clear();
    } else {
        std::string value(element.value);
        frame.text_value = std::move(value);
        frame.operand_points = points_of(frame.text_value, kind == Folded::bytes);
    }
}

void ImportFinder::take_starred_first(Frame& frame) {
    // `*` and a display: its first element is the first argument.
    const bool display =
        frame.text == Constant::yes && (frame.operand == Folded::tuple || frame.operand == Folded::list);
    if (!display || frame.text_value.empty()) return;
    std::size_t at = 0;
    const Element first = element_at(frame.text_value, at);
    const auto kind = static_cast<Folded>(first.kind);
    if (kind == Folded::str || kind == Folded::bytes) {
        frame.first_display = frame.first_constant = true;
        frame.first_bytes = kind == Folded::bytes;
        frame.first_value.assign(first.value);
    }
}

void ImportFinder::fold_number(Frame& frame, const Token& token) noexcept {
    if (token.int_literal && token.int_value < kMostFoldedInteger) {
        fold_integer(frame, static_cast<std::int64_t>(token.int_value));
    } else {
        fold_fail(frame);
    }
}

void ImportFinder::take_fromlist(Frame& frame) {
    // None or a display of constant texts: the names are kept; anything else is no constant.
    frame.fromlist_given = true;
    frame.fromlist_constant = false;
    frame.fromlist.clear();
    if (frame.text != Constant::yes || frame.text_unjudgeable) return;
    if (frame.operand == Folded::none) {
        frame.fromlist_constant = true;
        return;
    }
    if (frame.operand != Folded::tuple && frame.operand != Folded::list) return;
    const std::string_view elements = frame.text_value;
    for (std::size_t at = 0; at < elements.size();) {
        if (static_cast<Folded>(element_at(elements, at).kind) != Folded::str) return;
    }
    frame.fromlist_constant = true;
    std::swap(frame.fromlist, frame.text_value);
}

void ImportFinder::end_fromlist(Frame& frame, std::string_view module, std::uint64_t level) {
    if (frame.call_role != Role::importer || !frame.fromlist_given) return;
    if (!frame.fromlist_constant) {  // the names it imports below the module are not known
        sink().add({AuditedImport::Kind::dynamic_other, frame.call_line, frame.callee, 0, frame.call_column});
        return;
    }
    // Each name that is no attribute of the module is imported as its
    // submodule: judged as one; "*" takes the names of its __all__, as
    // `from module import *` does.
    const std::string_view names = frame.fromlist;
    std::string submodule;
    for (std::size_t at = 0; at < names.size();) {
        const std::string_view name = element_at(names, at).value;
        if (name.empty() || name == "*") continue;
        // `__import__("", ..., ["x"], 1)` imports the package's x.
        submodule.assign(module);
        if (!module.empty()) submodule.append(".");
        submodule.append(name);
        if (found_.drops(submodule, level)) continue;
        sink().add({AuditedImport::Kind::dynamic_constant, frame.call_line, submodule, level, frame.call_column});
    }
}

bool ImportFinder::decode_code_bytes(std::string& text, std::int64_t line, std::int64_t column) {
    // As compile reads bytes: a UTF-8 byte-order mark, then a coding
    // declaration on the first two lines, else UTF-8, strictly.
    CodingDeclaration coding;
    std::size_t start = 0;
    if (text.size() >= 3 && text.compare(0, 3, "\xef\xbb\xbf") == 0) {
        coding.after_byte_order_mark();
        start = 3;
    }
    coding.scan(text.data() + start, text.size() - start);
    coding.end();
    switch (coding.result()) {
        case CodingDeclaration::Result::latin1: {
            std::string decoded;
            for (std::size_t i = start; i < text.size(); ++i) {
                unicode::append_utf8(static_cast<unsigned char>(text[i]), decoded);
            }
            text = std::move(decoded);
            return true;
        }
        case CodingDeclaration::Result::other:
            // Only Python's codecs decode it: the file cannot pass unread.
            sink().add({AuditedImport::Kind::unaudited_code, line, "code en octets d'un codage que seul Python lit", 0,
                        column});
            return false;
        case CodingDeclaration::Result::bad_bom:
            sink().add({AuditedImport::Kind::refused_code, line, {}, 0, column});
            return false;
        default: break;
    }
    for (std::size_t at = start; at < text.size();) {
        const unicode::Utf8Char c = unicode::decode_utf8(text, at);
        if (c.code_point == unicode::kNotUtf8 || (c.code_point >= 0xd800 && c.code_point <= 0xdfff)) {
            sink().add({AuditedImport::Kind::refused_code, line, {}, 0, column});  // Python refuses the text
            return false;
        }
        at += c.length;
    }
    text.erase(0, start);
    return true;
}

}  // namespace scanner_core
