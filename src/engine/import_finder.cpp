#include "import_finder.hpp"

#include <utility>

#include "python_unicode.hpp"

namespace scanner_core {
namespace {

bool is_dynamic_importer(std::string_view name) noexcept { return name == "__import__" || name == "import_module"; }

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

// Appends the value of a string literal's body, as Python evaluates it
// (line breaks are line feeds there). Returns false when the body holds
// an escape that names a character (\N{...}), whose value needs Python's
// table of names.
bool append_literal(std::string_view body, bool raw, std::string& out) {
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
        const char e = body[++i];
        switch (e) {
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
            case 'N': return false;
            default: break;
        }
        if (e >= '0' && e <= '7') {
            char32_t value = static_cast<char32_t>(e - '0');
            for (int digits = 1; digits < 3 && i + 1 < body.size() && body[i + 1] >= '0' && body[i + 1] <= '7';
                 ++digits) {
                value = value * 8 + static_cast<char32_t>(body[++i] - '0');
            }
            append_code_point(value, out);
            continue;
        }
        const int width = e == 'x' ? 2 : e == 'u' ? 4 : e == 'U' ? 8 : 0;
        if (width == 0) {  // not an escape: both characters stay
            out.push_back('\\');
            out.push_back(e);
            continue;
        }
        char32_t value = 0;
        int digits = 0;
        for (; digits < width && i + 1 < body.size() && hex_value(body[i + 1]) >= 0; ++digits) {
            value = value * 16 + static_cast<char32_t>(hex_value(body[++i]));
        }
        // A short or out-of-range escape makes Python refuse the file; the
        // text is kept as written, for a file that cannot run anyway.
        if (digits < width || value > 0x10ffff) {
            out.push_back('\\');
            out.push_back(e);
            continue;
        }
        append_code_point(value, out);
    }
    return true;
}

}  // namespace

// The name of an import statement into `module`, taking the lexer's buffer
// rather than copying a name that may be very long.
void take_name(const Token& token, std::string& module) {
    // A long name is taken; a short one, which may live inside the string
    // object itself, is copied.
    if (token.ascii && token.buffer != nullptr && token.text.size() > 256) {
        module.swap(*token.buffer);
        return;
    }
    module.clear();
    if (token.ascii) {
        module.assign(token.text);
    } else {
        unicode::append_nfkc(token.text, module);
    }
}

std::string ImportFinder::normal_name(const Token& token) {
    if (token.ascii) return std::string(token.text);
    std::string name;
    unicode::append_nfkc(token.text, name);
    return name;
}

bool ImportFinder::keeps_string(const Frame& frame) noexcept {
    return frame.keep_text && (frame.text == Constant::empty || frame.text == Constant::yes);
}

bool ImportFinder::wants_string_body() const noexcept {
    // On a line that may be a match statement, either reading may need it.
    return keeps_string(frames_[depth_ - 1]) || (keeping_ && keeps_string(subject_frames_[subject_depth_ - 1]));
}

void ImportFinder::mark_unjudgeable(std::string reason, std::int64_t line) {
    if (unjudgeable_.empty()) {
        unjudgeable_ = std::move(reason);
        unjudgeable_line_ = line;
    }
}

ImportFinder::Frame& ImportFinder::push(Frame::Kind kind, std::int64_t line) {
    if (depth_ == frames_.size()) frames_.emplace_back();
    Frame& frame = frames_[depth_++];
    // Reset by copying a blank frame: assigning an empty string keeps a
    // string's storage, and no temporary frame is built and torn down.
    static const Frame kBlank{};
    frame = kBlank;
    frame.kind = kind;
    frame.open_line = line;
    return frame;
}

// --- logical lines and match statements -----------------------------------

void ImportFinder::line_start(std::int64_t, std::uint64_t indent) {
    line_indent_ = indent;
    first_token_ = true;
    line_is_match_ = false;
    last_is_colon_ = false;
    line_tokens_ = 0;
    while (!matches_.empty() && indent <= matches_.back().header_indent) matches_.pop_back();
    at_case_indent_ = false;
    if (!matches_.empty()) {
        Match& block = matches_.back();
        if (!block.case_indent_known) {
            block.case_indent = indent;
            block.case_indent_known = true;
        }
        at_case_indent_ = indent == block.case_indent;
    }
}

void ImportFinder::newline() {
    end_statement();
    // `match <subject>:` ending a line opens a block of case clauses; no
    // other statement that begins with the name `match` ends with a colon.
    const bool header = line_is_match_ && last_is_colon_ && line_tokens_ >= 3;
    pattern_ = false;
    depth_ = 1;
    reset_statement(frames_[0]);
    if (keeping_) {
        keeping_ = false;
        found_.take(header ? subject_ : apart_);
        const std::int64_t unjudgeable = header ? subject_unjudgeable_ : apart_unjudgeable_;
        if (unjudgeable != 0) mark_unjudgeable("\\N{...} dans le nom d'un import dynamique", unjudgeable);
        apart_.clear();
        subject_.clear();
        subject_unjudgeable_ = apart_unjudgeable_ = 0;
    }
    if (header) matches_.push_back({line_indent_, 0, false});
}

void ImportFinder::reset_statement(Frame& statement) noexcept {
    statement.chain = statement.after_dot = statement.after_string = statement.definition_name = false;
    statement.empty = true;
    statement.pure = true;
    statement.tokens = 0;
    statement.text = statement.integer = Constant::empty;
}

void ImportFinder::read_as_subject(const Token& token) {
    // The expression's state is swapped for the subject's, and back, even
    // when reading throws.
    struct Swap {
        ImportFinder& finder;
        explicit Swap(ImportFinder& f) noexcept : finder(f) { swap(); }
        ~Swap() { swap(); }
        void swap() noexcept {
            std::swap(finder.frames_, finder.subject_frames_);
            std::swap(finder.depth_, finder.subject_depth_);
            finder.reading_subject_ = !finder.reading_subject_;
        }
    } swapped(*this);
    expression(token);
}

void ImportFinder::end() { end_statement(); }

// --- import statements ------------------------------------------------------

void ImportFinder::record_import(std::int64_t line, std::string module) {
    found_.add({AuditedImport::Kind::statement, line, std::move(module)});
}

void ImportFinder::end_statement() {
    if (import_step_ == ImportStep::plain_after) record_import(statement_line_, std::move(module_));
    import_step_ = ImportStep::idle;
}

void ImportFinder::import_token(const Token& token) {
    const bool name = token.kind == TokenKind::name;
    const bool dot = token.kind == TokenKind::op && (token.op == Op::dot || token.op == Op::ellipsis);
    const Keyword keyword = token.kind == TokenKind::keyword ? token.keyword : Keyword::none;
    switch (import_step_) {
        case ImportStep::idle:
            if (keyword == Keyword::import_) {
                import_step_ = ImportStep::plain_name;
                statement_line_ = token.line;
            } else if (keyword == Keyword::from_) {
                import_step_ = ImportStep::from_start;
                statement_line_ = token.line;
                from_relative_ = false;
                module_.clear();
            }
            return;
        case ImportStep::plain_name:
            import_step_ = name ? ImportStep::plain_after : ImportStep::idle;
            if (name) take_name(token, module_);
            return;
        case ImportStep::plain_after:
            if (token.kind == TokenKind::op && token.op == Op::dot) {
                import_step_ = ImportStep::plain_name_part;
                return;
            }
            record_import(statement_line_, std::move(module_));
            module_.clear();
            if (keyword == Keyword::as_) {
                import_step_ = ImportStep::plain_alias;
            } else if (token.kind == TokenKind::op && token.op == Op::comma) {
                import_step_ = ImportStep::plain_name;
            } else {
                import_step_ = ImportStep::idle;
            }
            return;
        case ImportStep::plain_name_part:
            if (!name) {
                import_step_ = ImportStep::idle;
                return;
            }
            module_.push_back('.');
            module_ += normal_name(token);
            import_step_ = ImportStep::plain_after;
            return;
        case ImportStep::plain_alias:
            import_step_ = name ? ImportStep::plain_aliased : ImportStep::idle;
            return;
        case ImportStep::plain_aliased:
            import_step_ = token.kind == TokenKind::op && token.op == Op::comma ? ImportStep::plain_name
                                                                               : ImportStep::idle;
            return;
        case ImportStep::from_start:
            if (dot) {
                from_relative_ = true;
            } else if (name) {
                take_name(token, module_);
                import_step_ = ImportStep::from_after;
            } else {
                import_step_ = ImportStep::idle;  // `from . import x`, or no import at all
            }
            return;
        case ImportStep::from_after:
            if (token.kind == TokenKind::op && token.op == Op::dot) {
                import_step_ = ImportStep::from_name_part;
                return;
            }
            // Only an import statement has a dotted name then `import` after
            // `from`; `yield from x` and `raise e from x` do not.
            if (keyword == Keyword::import_ && !from_relative_) record_import(statement_line_, std::move(module_));
            module_.clear();
            import_step_ = ImportStep::idle;
            return;
        case ImportStep::from_name_part:
            if (!name) {
                import_step_ = ImportStep::idle;
                return;
            }
            module_.push_back('.');
            module_ += normal_name(token);
            import_step_ = ImportStep::from_after;
            return;
    }
}

// --- expressions ------------------------------------------------------------

void ImportFinder::token(const Token& token) {
    ++line_tokens_;
    if (keeping_) read_as_subject(token);
    if (first_token_) {
        first_token_ = false;
        // Soft keywords are recognised by their bytes, as Python does.
        if (token.kind == TokenKind::name && token.ascii) {
            if (token.text == "match") {
                line_is_match_ = true;
                keeping_ = true;
                subject_depth_ = 1;
                reset_statement(subject_frames_[0]);
            } else if (token.text == "case" && at_case_indent_) {
                pattern_ = true;
                pattern_depth_ = depth_;
            }
        }
    }
    // Only a match statement's first line asks (and a wide load of the
    // token's first bytes, just stored in pieces, would wait on them).
    if (line_is_match_) last_is_colon_ = token.kind == TokenKind::op && token.op == Op::colon && depth_ == 1;
    // The expression first: the import statement may take the name's buffer.
    expression(token);
    import_token(token);
}

void ImportFinder::expression(const Token& token) {
    switch (token.kind) {
        case TokenKind::name: on_name(token); break;
        case TokenKind::keyword: {
            Frame& frame = top();
            if (token.keyword == Keyword::constant) {
                on_atom(token, false);
                break;
            }
            if (pattern_ && depth_ == pattern_depth_ && token.keyword == Keyword::if_) pattern_ = false;
            frame.chain = frame.after_dot = frame.after_string = false;
            frame.pure = false;
            frame.empty = false;
            frame.text = frame.integer = Constant::no;
            frame.definition_name = token.keyword == Keyword::def_ || token.keyword == Keyword::class_;
            ++frame.tokens;
            break;
        }
        case TokenKind::number: {
            on_atom(token, false);
            Frame& frame = top();
            if (frame.integer == Constant::empty && token.int_literal) {
                frame.integer = Constant::yes;
                frame.integer_nonzero = token.nonzero;
            } else {
                frame.integer = Constant::no;
            }
            frame.text = Constant::no;
            break;
        }
        case TokenKind::string: on_string(token); break;
        case TokenKind::fstring_start: {
            on_atom(token, true);
            Frame& frame = top();
            frame.text = frame.integer = Constant::no;
            break;
        }
        case TokenKind::fstring_end: top().after_string = true; break;
        case TokenKind::field_open: push(Frame::Kind::field, token.line); break;
        case TokenKind::field_close:
            if (depth_ > 1) --depth_;
            break;
        case TokenKind::op: on_op(token); break;
    }
}

void ImportFinder::on_atom(const Token& token, bool string_like) {
    Frame& frame = top();
    // Adjacent string literals make one.
    if (!(string_like && frame.chain && frame.after_string)) {
        if (!frame.empty) frame.pure = false;
        frame.chain = true;
        frame.chain_line = token.line;
    }
    frame.shape = Shape::other;
    frame.name_dynamic = frame.attribute_dynamic = false;
    frame.after_dot = false;
    frame.after_string = string_like;
    frame.definition_name = false;
    frame.empty = false;
    ++frame.tokens;
}

void ImportFinder::on_string(const Token& token) {
    const bool keep = keeps_string(top());
    on_atom(token, true);
    Frame& frame = top();
    frame.integer = Constant::no;
    if (!token.str_literal || !(frame.text == Constant::empty || frame.text == Constant::yes)) {
        frame.text = Constant::no;
        return;
    }
    frame.text = Constant::yes;
    if (keep && !append_literal(token.text, token.raw, frame.text_value)) frame.text_unjudgeable = true;
}

void ImportFinder::on_name(const Token& token) {
    Frame& frame = top();
    frame.text = frame.integer = Constant::no;
    ++frame.tokens;
    if (frame.definition_name) {
        frame.definition_name = false;
        frame.chain = false;
        frame.pure = false;
        frame.empty = false;
        return;
    }
    if (frame.chain && frame.after_dot) {  // an attribute
        frame.after_dot = false;
        frame.shape = frame.shape == Shape::name ? Shape::attribute_of_name : Shape::attribute;
        std::string name = normal_name(token);
        frame.attribute_dynamic = is_dynamic_importer(name);
        if (frame.attribute_dynamic) frame.attribute = std::move(name);
        return;
    }
    if (!frame.empty) frame.pure = false;
    frame.empty = false;
    frame.chain = true;
    frame.chain_line = token.line;
    frame.after_string = false;
    frame.shape = Shape::name;
    if (token.ascii && token.buffer != nullptr && token.text.size() > 256 && !keeping_ &&
        import_step_ != ImportStep::plain_name && import_step_ != ImportStep::from_start) {
        // A long name is taken from the lexer rather than copied, unless the
        // import statement takes it, or the subject's reading reads it too.
        frame.value_name.swap(*token.buffer);
    } else {
        frame.value_name = normal_name(token);
    }
    frame.name_dynamic = is_dynamic_importer(frame.value_name);
    frame.attribute_dynamic = false;
    // In a call's arguments, a name first may be a keyword.
    if (frame.kind == Frame::Kind::call && frame.dynamic && frame.tokens == 1) frame.keyword = frame.value_name;
}

void ImportFinder::on_op(const Token& token) {
    Frame& frame = top();
    switch (token.op) {
        case Op::lparen:
        case Op::lbracket:
        case Op::lbrace: on_open(token); return;
        case Op::rparen:
        case Op::rbracket:
        case Op::rbrace: on_close(); return;
        case Op::ellipsis:
            on_atom(token, false);
            top().text = top().integer = Constant::no;
            return;
        case Op::dot:
            ++frame.tokens;
            frame.text = frame.integer = Constant::no;
            frame.empty = false;
            if (frame.chain && !frame.after_dot) {
                frame.after_dot = true;
                frame.after_string = false;
                return;
            }
            break;
        case Op::comma:
            if (frame.kind == Frame::Kind::call && frame.dynamic) {
                end_argument(frame);
                start_argument(frame);
                return;
            }
            frame.comma = true;
            break;
        case Op::assign:
            if (frame.kind == Frame::Kind::call && frame.dynamic && frame.tokens == 1 && frame.shape == Shape::name &&
                frame.chain && !frame.keyword.empty()) {
                // name=value: what follows is the keyword's value.
                frame.argument_keyword = true;
                frame.chain = false;
                frame.empty = true;
                frame.pure = true;
                frame.text = frame.integer = Constant::empty;
                frame.text_value.clear();
                frame.text_unjudgeable = false;
                frame.keep_text = frame.keyword == "name";
                ++frame.tokens;
                return;
            }
            break;
        case Op::star:
        case Op::double_star:
            if (frame.kind == Frame::Kind::call && frame.dynamic && frame.tokens == 0) {
                (token.op == Op::star ? frame.argument_starred : frame.argument_double_star) = true;
                frame.keep_text = false;
            }
            break;
        case Op::colon:
            if (pattern_ && depth_ == pattern_depth_) pattern_ = false;
            break;
        case Op::semicolon: end_statement(); break;
        case Op::other: break;
    }
    // Any other operator ends the expression before it.
    frame.chain = frame.after_dot = frame.after_string = frame.definition_name = false;
    frame.pure = false;
    frame.empty = false;
    frame.text = frame.integer = Constant::no;
    ++frame.tokens;
}

void ImportFinder::on_open(const Token& token) {
    Frame& frame = top();
    const bool trailer = frame.chain && !frame.after_dot && token.op != Op::lbrace;
    ++frame.tokens;
    if (trailer && token.op == Op::lparen) {
        // A call, unless it is a class pattern of a case clause.
        std::string callee;
        if (!(pattern_ && depth_ >= pattern_depth_)) {
            if (frame.shape == Shape::name && frame.name_dynamic) {
                callee = frame.value_name;
            } else if (frame.shape == Shape::attribute_of_name && frame.attribute_dynamic) {
                callee = frame.value_name + "." + frame.attribute;
            } else if (frame.shape == Shape::attribute && frame.attribute_dynamic) {
                callee = frame.attribute;
            }
        }
        frame.text = frame.integer = Constant::no;
        const std::int64_t line = frame.chain_line;
        Frame& call = push(Frame::Kind::call, token.line);
        call.dynamic = !callee.empty();
        call.callee = std::move(callee);
        call.call_line = line;
        start_argument(call);
        return;
    }
    if (trailer) {  // a subscript
        frame.text = frame.integer = Constant::no;
        push(Frame::Kind::subscript, token.line);
        return;
    }
    // An atom: a parenthesised expression, a tuple, a display.
    const bool keep = frame.keep_text && frame.text == Constant::empty;
    if (!frame.empty) frame.pure = false;
    frame.empty = false;
    frame.chain = frame.after_dot = frame.after_string = frame.definition_name = false;
    if (token.op != Op::lparen) frame.text = frame.integer = Constant::no;
    Frame& inner = push(token.op == Op::lparen ? Frame::Kind::group : Frame::Kind::display, token.line);
    inner.keep_text = keep;
}

void ImportFinder::on_close() {
    if (depth_ < 2) return;  // unmatched: the lexer refuses the text
    Frame& inner = frames_[depth_ - 1];
    Frame& frame = frames_[depth_ - 2];
    if (inner.kind == Frame::Kind::call) {
        if (inner.dynamic) end_call(inner);
    }
    if (inner.kind == Frame::Kind::call || inner.kind == Frame::Kind::subscript) {
        // A trailer: the expression goes on, as a call or a subscript.
        frame.shape = Shape::other;
        frame.name_dynamic = frame.attribute_dynamic = false;
        frame.after_string = false;
    } else {
        frame.chain = true;
        frame.chain_line = inner.open_line;
        frame.after_dot = frame.after_string = false;
        frame.shape = Shape::other;
        frame.name_dynamic = frame.attribute_dynamic = false;
        if (inner.kind == Frame::Kind::group) {
            // Parentheses around one expression add nothing to it.
            if (inner.pure && inner.chain && !inner.empty && !inner.comma) {
                frame.shape = inner.shape;
                frame.name_dynamic = inner.name_dynamic;
                frame.attribute_dynamic = inner.attribute_dynamic;
                std::swap(frame.value_name, inner.value_name);
                std::swap(frame.attribute, inner.attribute);
            }
            const bool text = !inner.comma && (inner.text == Constant::yes || inner.text == Constant::grouped);
            const bool integer = !inner.comma && (inner.integer == Constant::yes || inner.integer == Constant::grouped);
            if (frame.text == Constant::empty && text) {
                frame.text = Constant::grouped;
                std::swap(frame.text_value, inner.text_value);
                frame.text_unjudgeable = inner.text_unjudgeable;
            } else {
                frame.text = Constant::no;
            }
            if (frame.integer == Constant::empty && integer) {
                frame.integer = Constant::grouped;
                frame.integer_nonzero = inner.integer_nonzero;
            } else {
                frame.integer = Constant::no;
            }
        } else {
            frame.text = frame.integer = Constant::no;
        }
    }
    --depth_;
}

// --- the arguments of a dynamic import --------------------------------------

void ImportFinder::start_argument(Frame& frame) noexcept {
    frame.chain = frame.after_dot = frame.after_string = false;
    frame.empty = true;
    frame.pure = true;
    frame.text = frame.integer = Constant::empty;
    frame.text_value.clear();
    frame.text_unjudgeable = false;
    frame.tokens = 0;
    frame.argument_keyword = frame.argument_starred = frame.argument_double_star = false;
    frame.keyword.clear();
    frame.keep_text = frame.positional == 0;
}

void ImportFinder::end_argument(Frame& frame) {
    if (frame.tokens == 0) return;  // nothing after a trailing comma
    const bool text = frame.text == Constant::yes || frame.text == Constant::grouped;
    const bool relative =
        (frame.integer == Constant::yes || frame.integer == Constant::grouped) && frame.integer_nonzero;
    if (frame.argument_keyword) {
        if (frame.keyword == "name" && !frame.name_keyword) {
            frame.name_keyword = true;
            frame.name_constant = text;
            frame.name_unjudgeable = frame.text_unjudgeable;
            std::swap(frame.name_value, frame.text_value);
        } else if (frame.keyword == "level" && !frame.level_keyword) {
            frame.level_keyword = true;
            frame.level_relative = relative;
        }
        return;
    }
    if (frame.argument_double_star) return;
    const int index = frame.positional++;
    if (index < 5) frame.starred[index] = frame.argument_starred;
    if (index == 0) {
        frame.first_constant = text && !frame.argument_starred;
        frame.first_unjudgeable = frame.text_unjudgeable;
        std::swap(frame.first_value, frame.text_value);
    } else if (index == 4) {
        frame.fifth_relative = relative && !frame.argument_starred;
    }
}

void ImportFinder::end_call(Frame& frame) {
    end_argument(frame);
    // The name is the first positional argument unless it is starred (or
    // missing), then name=; the level likewise the fifth, then level=.
    bool constant = false;
    bool unjudgeable = false;
    std::string* value = nullptr;
    if (frame.positional > 0 && !frame.starred[0]) {
        constant = frame.first_constant;
        unjudgeable = frame.first_unjudgeable;
        value = &frame.first_value;
    } else if (frame.name_keyword) {
        constant = frame.name_constant;
        unjudgeable = frame.name_unjudgeable;
        value = &frame.name_value;
    }
    if (!constant) {
        (reading_subject_ ? subject_ : keeping_ ? apart_ : found_).add({AuditedImport::Kind::dynamic_other, frame.call_line, frame.callee});
        return;
    }
    bool relative = false;
    if (frame.positional > 4 && !(frame.starred[0] || frame.starred[1] || frame.starred[2] || frame.starred[3] ||
                                  frame.starred[4])) {
        relative = frame.fifth_relative;
    } else if (frame.level_keyword) {
        relative = frame.level_relative;
    }
    if (relative) return;
    if (unjudgeable) {
        // On a line that may be a match statement, only the reading the line's end chooses counts.
        std::int64_t& pending = reading_subject_ ? subject_unjudgeable_ : apart_unjudgeable_;
        if (!keeping_) {
            mark_unjudgeable("\\N{...} dans le nom d'un import dynamique", frame.call_line);
        } else if (pending == 0) {
            pending = frame.call_line;
        }
        return;
    }
    (reading_subject_ ? subject_ : keeping_ ? apart_ : found_).add({AuditedImport::Kind::dynamic_constant, frame.call_line, std::move(*value)});
}

}  // namespace scanner_core
