#include "lexical/source_encoding.hpp"

#include <string_view>

namespace scanner_core {
namespace {

// A declared name longer than this names no codec Python has; it is kept
// only as far as telling it apart requires.
constexpr std::size_t kNameKept = 256;

bool name_byte(char c) noexcept {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
           c == '.';
}

// Python's own shortcut for the two codecs its tokenizer knows by name:
// the first twelve characters, lowercased, '_' read as '-'.
std::string normal_name(const std::string& name) {
    std::string head;
    for (std::size_t i = 0; i < name.size() && i < 12; ++i) {
        const char c = name[i];
        head.push_back(c == '_' ? '-' : (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c);
    }
    const std::string_view h = head;
    if (h == "utf-8" || h.substr(0, 6) == "utf-8-") return "utf-8";
    if (h == "latin-1" || h == "iso-8859-1" || h == "iso-latin-1" || h.substr(0, 8) == "latin-1-" ||
        h.substr(0, 11) == "iso-8859-1-" || h.substr(0, 12) == "iso-latin-1-") {
        return "iso-8859-1";
    }
    return name;
}

}  // namespace

void CodingDeclaration::decide_name() {
    name_ = normal_name(name_);
    if (name_ == "utf-8") {
        result_ = Result::utf8;
    } else if (bom_) {
        result_ = Result::bad_bom;
    } else {
        result_ = name_ == "iso-8859-1" ? Result::latin1 : Result::other;
    }
}

void CodingDeclaration::end_line() noexcept {
    // A second line is looked at only after a first that is blank or a
    // comment without a declaration.
    if (line_ == 1) {
        line_ = 2;
        step_ = Step::leading;
        matched_ = 0;
        return;
    }
    result_ = Result::utf8;
}

std::size_t CodingDeclaration::scan(const char* data, std::size_t size) {
    static constexpr std::string_view kCoding = "coding";
    for (std::size_t i = 0; i < size && result_ == Result::undecided; ++i) {
        const char c = data[i];
        if (after_cr_) {
            after_cr_ = false;
            if (c == '\n') continue;  // the line feed of a CR LF
        }
        if (c == '\n' || c == '\r') {
            after_cr_ = c == '\r';
            if (step_ == Step::name) {
                decide_name();
                return i;
            }
            end_line();
            if (result_ != Result::undecided) return i + 1;
            continue;
        }
        switch (step_) {
            case Step::leading:
                if (c == '#') {
                    step_ = Step::comment;
                } else if (c != ' ' && c != '\t' && c != '\f') {
                    result_ = Result::utf8;  // code: no declaration can follow
                    return i;
                }
                break;
            case Step::comment:
                if (c == kCoding[matched_]) {
                    if (++matched_ == kCoding.size()) {
                        step_ = Step::colon;
                        matched_ = 0;
                    }
                } else {
                    matched_ = c == 'c' ? 1 : 0;
                }
                break;
            case Step::colon:
                step_ = (c == ':' || c == '=') ? Step::blanks : Step::comment;
                matched_ = c == 'c' ? 1 : 0;
                break;
            case Step::blanks:
                if (c == ' ' || c == '\t') break;
                if (!name_byte(c)) {  // no name after all: look further on the line
                    step_ = Step::comment;
                    matched_ = c == 'c' ? 1 : 0;
                    break;
                }
                step_ = Step::name;
                name_.push_back(c);
                break;
            case Step::name:
                if (!name_byte(c)) {
                    decide_name();
                    return i;
                }
                if (name_.size() < kNameKept) name_.push_back(c);
                break;
        }
    }
    return size;
}

void CodingDeclaration::end() noexcept {
    if (result_ != Result::undecided) return;
    if (step_ == Step::name) {
        decide_name();
        return;
    }
    result_ = Result::utf8;
}

}  // namespace scanner_core
