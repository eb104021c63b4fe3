#include "audit/import_finder.hpp"

#include <algorithm>
#include <cstring>
#include <memory>
#include <type_traits>
#include <utility>

#include "audit/python_lexer.hpp"
#include "policy/holding_table.hpp"
#include "lexical/python_unicode.hpp"

namespace scanner_core {
namespace {

// Names longer than this are moved from the tokenizer and on into the
// imports, not copied; shorter ones are copied (a short string may live in
// the string object itself).
constexpr std::size_t kLongName = 256;

bool is_dynamic_importer(std::string_view name) noexcept { return name == "__import__" || name == "import_module"; }

bool is_code_runner(std::string_view name) noexcept { return name == "exec" || name == "eval" || name == "compile"; }

// A text that names an importer, a code runner or a loader, as the key of
// a subscript or the name given to getattr.
bool names_a_door(std::string_view text) noexcept {
    return is_dynamic_importer(text) || is_code_runner(text) || text == "__loader__";
}

// The package `level` levels above `package`'s own, as importlib resolves a
// relative name; false when it climbs above the top-level package.
bool resolve_relative(std::string_view package, std::uint64_t level, std::string_view rest, std::string& out) {
    for (std::uint64_t k = 1; k < level; ++k) {
        const std::size_t dot = package.rfind('.');
        if (dot == std::string_view::npos) return false;
        package = package.substr(0, dot);
    }
    out.assign(package);
    if (!rest.empty()) out.append(".").append(rest);
    return true;
}

}  // namespace

// The name of an import statement into `module`, taken from the lexer
// rather than copied when it may be very long.
void take_name(const Token& token, std::string& module) {
    // A long name is taken; a short one, which may live inside the string
    // object itself, is copied.
    if (token.ascii && token.text.size() > kLongName) {
        module = token.take_text();
        return;
    }
    module.clear();
    if (token.ascii) {
        module.assign(token.text);
    } else {
        unicode::append_nfkc(token.text, module);
    }
}

void ImportFinder::take_module(const Token& token) {
    if (token.lent != nullptr) {  // shared with the line scan, not copied
        module_.clear();
        module_lent_ = *token.lent;
        module_at_ = token.lent_at;
        module_size_ = token.text.size();
        return;
    }
    module_lent_.reset();
    take_name(token, module_);
}

void ImportFinder::extend_module(const Token& token) {
    // The next part of a lent name, right after its dot, stays lent.
    const std::size_t dot = module_at_ + module_size_;
    if (module_lent_ && token.lent != nullptr && token.lent->get() == module_lent_.get() &&
        token.lent_at == dot + 1 && (*module_lent_)[dot] == '.') {
        module_size_ += 1 + token.text.size();
        return;
    }
    own_module();
    module_.push_back('.');
    append_name(token, module_);
}

void ImportFinder::append_name(const Token& token, std::string& out) {
    if (token.ascii) {
        out.append(token.text);
    } else {
        unicode::append_nfkc(token.text, out);
    }
}

std::string ImportFinder::normal_name(const Token& token) {
    if (token.ascii) return std::string(token.text);
    std::string name;
    unicode::append_nfkc(token.text, name);
    return name;
}

bool ImportFinder::keeps_string(const Frame& frame) noexcept {
    return frame.keep_text && frame.text != Constant::no;
}

bool ImportFinder::wants_string_body() const noexcept {
    // On a line that may be a match statement, either reading may need it.
    return keeps_string(*reading_->top) || (keeping_ && keeps_string(*other_->top)) || annotation_depth_ != 0;
}

void ImportFinder::mark_unjudgeable(std::string reason, std::int64_t line) {
    if (unjudgeable_.empty()) {
        unjudgeable_ = std::move(reason);
        unjudgeable_line_ = line;
    }
}

void ImportFinder::mark_unjudgeable_in_reading(std::string reason, std::int64_t line) {
    // On a line that may be a match statement, only the reading the line's end chooses counts.
    if (!keeping_) {
        mark_unjudgeable(std::move(reason), line);
        return;
    }
    Unjudgeable& pending = reading_subject_ ? subject_unjudgeable_ : apart_unjudgeable_;
    if (pending.reason.empty()) {
        pending.reason = std::move(reason);
        pending.line = line;
    }
}

ImportFinder::Role ImportFinder::Bindings::alias(std::string_view name) const {
    // The key is made only where there are aliases to look it up in.
    std::string key;
    for (const Bindings* layer = this; layer != nullptr; layer = layer->below) {
        if (layer->aliases.empty()) continue;
        if (key.empty()) key.assign(name);
        const auto found = layer->aliases.find(key);
        if (found != layer->aliases.end()) return found->second;
    }
    return Role::none;
}

bool ImportFinder::Bindings::builtin(std::string_view name) const {
    if (name == "builtins" || name == "__builtins__") return true;
    std::string key;
    for (const Bindings* layer = this; layer != nullptr; layer = layer->below) {
        if (layer->builtins.empty()) continue;
        if (key.empty()) key.assign(name);
        if (layer->builtins.count(key) != 0) return true;
    }
    return false;
}

void ImportFinder::Bindings::merge_into(Bindings& target) {
    for (auto& [name, role] : aliases) target.aliases[name] = role;
    for (const std::string& name : builtins) target.builtins.insert(name);
    for (auto& [name, module] : modules) target.bind(name, module);
    aliases.clear();
    builtins.clear();
    modules.clear();
    newly_bound.clear();
}

void ImportFinder::Frame::reset(Kind opened, std::int64_t line, std::int64_t column) noexcept {
    // The flags are assigned at once and each text emptied: nothing may hide
    // among the flags that an assignment would not reset, nor among the
    // texts one that is not emptied below.
    static_assert(std::is_trivially_copyable_v<FrameFlags>);
    static_assert(sizeof(Frame) - sizeof(FrameFlags) ==
                  26 * sizeof(std::string) + sizeof(std::shared_ptr<std::string>) +
                      sizeof(std::vector<std::string>));
    // Copied from a constant: a blank built on the stack would be stored in
    // small pieces and read back in large ones, which stalls.
    static constexpr FrameFlags kBlank{};
    static_cast<FrameFlags&>(*this) = kBlank;
    kind = opened;
    open_line = line;
    open_column = column;
    // Emptied, not assigned: each keeps its storage for the next frame.
    for (std::string* text : {&value_name, &attribute, &text_value, &callee, &keyword, &first_value, &name_value,
                              &pending_name, &second_value, &second_package, &package_value, &dict_key, &dict_package,
                              &dict_name, &last_name, &reach, &reach_via, &fold_term, &fold_sum, &elements,
                              &fromlist, &dict_source, &getattr_module, &getattr_via, &dict_module,
                              &keyed_module}) {
        text->clear();
    }
    value_lent.reset();
    config_targets.clear();
}

ImportFinder::Frame& ImportFinder::push(Frame::Kind kind, const Token& token) {
    Reading& reading = *reading_;
    if (reading.depth == reading.frames.size()) reading.frames.emplace_back();
    reading.open_to(reading.depth + 1);
    Frame& frame = *reading.top;
    frame.reset(kind, token.line, token.column);
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
    flush_references();
    end_statement();
    // `match <subject>:` ending a line opens a block of case clauses; no
    // other statement that begins with the name `match` ends with a colon.
    const bool header = line_is_match_ && last_is_colon_ && line_tokens_ >= 3;
    pattern_ = false;
    reading_->open_to(1);
    reset_statement(reading_->frames[0]);
    if (keeping_) {
        keeping_ = false;
        found_.take(header ? subject_ : apart_);
        Unjudgeable& unjudgeable = header ? subject_unjudgeable_ : apart_unjudgeable_;
        if (!unjudgeable.reason.empty()) mark_unjudgeable(std::move(unjudgeable.reason), unjudgeable.line);
        (header ? subject_bindings_ : apart_bindings_).merge_into(bindings_);
        apart_.clear();
        subject_.clear();
        subject_unjudgeable_ = apart_unjudgeable_ = Unjudgeable{};
        memo_.valid = false;
        subject_bindings_.aliases.clear();
        subject_bindings_.builtins.clear();
        apart_bindings_.aliases.clear();
        apart_bindings_.builtins.clear();
        subject_bindings_.modules.clear();
        subject_bindings_.newly_bound.clear();
        apart_bindings_.modules.clear();
        apart_bindings_.newly_bound.clear();
        watch_bound_modules();
    }
    if (header) matches_.push_back({line_indent_, 0, false});
}

void ImportFinder::reset_statement(Frame& statement) noexcept {
    statement.chain = statement.after_dot = statement.after_string = statement.definition_name = false;
    statement.empty = true;
    statement.pure = true;
    statement.tokens = 0;
    fold_reset(statement);
    statement.integer = Constant::empty;
}

void ImportFinder::swap_readings() noexcept {
    // The readings trade places by pointer: their frames stay where they are.
    std::swap(reading_, other_);
    reading_subject_ = !reading_subject_;
}

void ImportFinder::read_as_subject(const Token& token) {
    as_subject([&] { expression(token); });
}

void ImportFinder::flush_references() {
    // An importer named last on the line and not called is a reference, in
    // each reading of a line that may be a match statement.
    for (std::size_t k = reading_->depth; k > 0; --k) flush_reference(reading_->frames[k - 1]);
    if (keeping_) {
        as_subject([&] {
            for (std::size_t k = reading_->depth; k > 0; --k) flush_reference(reading_->frames[k - 1]);
        });
    }
}

void ImportFinder::end() {
    flush_references();
    end_statement();
}

// --- import statements ------------------------------------------------------

void ImportFinder::record_import(std::string_view module, std::uint64_t level) {
    // Copied only when kept: module_ keeps its storage for the next statement.
    if (found_.drops(module, level)) return;
    found_.add({AuditedImport::Kind::statement, statement_line_, std::string(module), level, statement_column_});
}

void ImportFinder::record_module(std::uint64_t level) {
    if (!module_lent_) {
        // A long name is moved into the import, not copied (it was taken
        // from the tokenizer so); a short one is copied, only when kept.
        if (module_.size() > kLongName && !found_.drops(module_, level)) {
            found_.add({AuditedImport::Kind::statement, statement_line_, std::move(module_), level, statement_column_});
        } else {
            record_import(module_, level);
        }
        // Emptied; a long name's storage is let go, not kept for the file's rest.
        if (module_.capacity() > kLongName) {
            module_ = std::string();
        } else {
            module_.clear();
        }
        return;
    }
    AuditedImport found{AuditedImport::Kind::statement, statement_line_, {}, level, statement_column_};
    found.lent = std::move(module_lent_);
    found.lent_at = module_at_;
    found.lent_size = module_size_;
    module_lent_.reset();
    found_.add(std::move(found));
}

std::string_view ImportFinder::module_text() const noexcept {
    return module_lent_ ? std::string_view(*module_lent_).substr(module_at_, module_size_) : std::string_view(module_);
}

void ImportFinder::own_module() {
    if (!module_lent_) return;
    module_.assign(module_text());
    module_lent_.reset();
}

std::string_view ImportFinder::value_of(const Frame& frame) noexcept {
    return frame.value_lent ? std::string_view(*frame.value_lent).substr(frame.value_at, frame.value_size)
                            : std::string_view(frame.value_name);
}

void ImportFinder::end_statement() {
    // The statement's own reading: the subject's has no targets nor annotations.
    if (!reading_subject_) {
        end_annotation();
        end_assignment();
        reset_shape();
    }
    if (import_step_ == ImportStep::plain_after) {
        const std::string_view module = module_text();
        const std::string_view root = module.substr(0, module.find('.'));
        if (follows(root)) bind_module(std::string(root), root);
        record_module();
    }
    if (import_step_ == ImportStep::from_name_after && from_holdings_) follow_from(imported_, imported_);
    import_step_ = ImportStep::idle;
    in_import_ = false;
}

// One token of an import statement, or of none yet (a keyword between
// statements): the statement's steps, from its keyword on, are those of
// ImportStep, each phase read by a function of its own.
void ImportFinder::import_token(const Token& token) {
    const Keyword keyword = token.kind == TokenKind::keyword ? token.keyword : Keyword::none;
    if (keyword == Keyword::import_) in_import_ = true;
    switch (import_step_) {
        case ImportStep::idle: import_start(token, keyword); return;
        case ImportStep::plain_name:
        case ImportStep::plain_after:
        case ImportStep::plain_name_part:
        case ImportStep::plain_alias:
        case ImportStep::plain_aliased: plain_import_step(token, keyword); return;
        case ImportStep::from_start:
        case ImportStep::from_after:
        case ImportStep::from_name_part: from_module_step(token, keyword); return;
        case ImportStep::from_names:
        case ImportStep::from_name_after:
        case ImportStep::from_alias:
        case ImportStep::from_aliased: from_names_step(token, keyword); return;
    }
}

// Between statements: `import` or `from` begins one, at its keyword's
// line and column; a `from` statement's module is read afresh.
void ImportFinder::import_start(const Token& token, Keyword keyword) {
    if (keyword == Keyword::import_) {
        import_step_ = ImportStep::plain_name;
        statement_line_ = token.line;
        statement_column_ = token.column;
    } else if (keyword == Keyword::from_) {
        import_step_ = ImportStep::from_start;
        statement_line_ = token.line;
        statement_column_ = token.column;
        from_relative_ = false;
        from_level_ = 0;
        module_.clear();
        module_lent_.reset();
    }
}

// `import a.b as c, d`: each module's dotted name, recorded once it ends,
// and its alias; an alias of builtins is bound, for the doors reached
// through it. Anything else ends the statement.
void ImportFinder::plain_import_step(const Token& token, Keyword keyword) {
    const bool name = token.kind == TokenKind::name;
    const bool comma = token.kind == TokenKind::op && token.op == Op::comma;
    switch (import_step_) {
        case ImportStep::plain_name:
            import_step_ = name ? ImportStep::plain_after : ImportStep::idle;
            if (name) take_module(token);
            return;
        case ImportStep::plain_after:
            if (token.kind == TokenKind::op && token.op == Op::dot) {
                import_step_ = ImportStep::plain_name_part;
                return;
            }
            plain_builtins_ = module_text() == "builtins";
            plain_module_.clear();
            // `import a.b` binds a; `import a.b as c` binds c to a.b.
            if (const std::string_view module = module_text(); keyword == Keyword::as_) {
                if (follows(module)) plain_module_.assign(module);
            } else if (const std::string_view root = module.substr(0, module.find('.')); follows(root)) {
                bind_module(std::string(root), root);
            }
            record_module();
            if (keyword == Keyword::as_) {
                import_step_ = ImportStep::plain_alias;
            } else if (comma) {
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
            extend_module(token);
            import_step_ = ImportStep::plain_after;
            return;
        case ImportStep::plain_alias:
            import_step_ = name ? ImportStep::plain_aliased : ImportStep::idle;
            // `import builtins as b`: b.exec is builtins.exec.
            if (name && plain_builtins_) {
                std::string alias = normal_name(token);
                if (!bindings_.builtin(alias)) bindings_.builtins.insert(std::move(alias));
            }
            if (name && !plain_module_.empty()) bind_module(normal_name(token), plain_module_);
            return;
        case ImportStep::plain_aliased: import_step_ = comma ? ImportStep::plain_name : ImportStep::idle; return;
        default: return;  // a `from` statement's step
    }
}

// `from ..a.b import`: the dots of a relative import, counted for its
// level, then the module's dotted name, recorded at `import`. Only
// importlib's and builtins' names go on to be read (they may be doors
// under an alias); `yield from` and `raise ... from` end here.
void ImportFinder::from_module_step(const Token& token, Keyword keyword) {
    const bool name = token.kind == TokenKind::name;
    switch (import_step_) {
        case ImportStep::from_start:
            if (token.kind == TokenKind::op && (token.op == Op::dot || token.op == Op::ellipsis)) {
                from_relative_ = true;
                const std::uint64_t dots = token.op == Op::ellipsis ? token.int_value : 1;
                from_level_ = from_level_ > (std::uint64_t{1} << 62) ? from_level_ : from_level_ + dots;
            } else if (name) {
                take_module(token);
                import_step_ = ImportStep::from_after;
            } else {
                // `from . import x`: the package itself, relative.
                if (keyword == Keyword::import_ && from_relative_) {
                    record_import({}, from_level_);
                    // Its names may be submodules the tree must provide.
                    from_importers_ = from_holdings_ = false;
                    from_local_ = keeps_local_names({}, from_level_);
                    if (from_local_) {
                        from_local_module_.clear();
                        from_local_level_ = from_level_;
                        import_step_ = ImportStep::from_names;
                        return;
                    }
                }
                import_step_ = ImportStep::idle;
            }
            return;
        case ImportStep::from_after:
            if (token.kind == TokenKind::op && token.op == Op::dot) {
                import_step_ = ImportStep::from_name_part;
                return;
            }
            // Only an import statement has a dotted name then `import` after
            // `from`; `yield from x` and `raise e from x` do not.
            if (keyword == Keyword::import_) {
                // The names imported from importlib or builtins may be importers, under an alias.
                const std::string_view module = module_text();
                const bool importer_module = !from_relative_ && (module == "importlib" || module == "builtins");
                from_importer_module_ = module == "builtins";
                from_importers_ = importer_module;
                // The names taken from a module that holds a forbidden one are followed.
                from_holdings_ = !from_relative_ && follows(module);
                if (from_holdings_) from_module_.assign(module);
                const std::uint64_t level = from_relative_ ? from_level_ : 0;
                from_local_ = keeps_local_names(module, level);
                if (from_local_) {
                    from_local_module_.assign(module);
                    from_local_level_ = level;
                }
                record_module(level);
                import_step_ =
                    importer_module || from_holdings_ || from_local_ ? ImportStep::from_names : ImportStep::idle;
                return;
            }
            module_.clear();
            module_lent_.reset();
            import_step_ = ImportStep::idle;
            return;
        case ImportStep::from_name_part:
            if (!name) {
                import_step_ = ImportStep::idle;
                return;
            }
            extend_module(token);
            import_step_ = ImportStep::from_after;
            return;
        default: return;  // a step of another phase
    }
}

// `from importlib import (a as b, c)` or the same from builtins: each name
// imported, and the alias it is bound to, which may then be a door.
void ImportFinder::from_names_step(const Token& token, Keyword keyword) {
    const bool name = token.kind == TokenKind::name;
    const bool comma = token.kind == TokenKind::op && token.op == Op::comma;
    switch (import_step_) {
        case ImportStep::from_names:
            if (token.kind == TokenKind::op && token.op == Op::lparen) return;
            if (token.kind == TokenKind::op && token.op == Op::star && from_holdings_) follow_star();
            if (name) imported_ = normal_name(token);
            if (name && from_local_) record_local_name(imported_);
            import_step_ = name ? ImportStep::from_name_after : ImportStep::idle;
            return;
        case ImportStep::from_name_after:
            if (keyword == Keyword::as_) {
                import_step_ = ImportStep::from_alias;
            } else {
                if (from_holdings_) follow_from(imported_, imported_);
                import_step_ = comma ? ImportStep::from_names : ImportStep::idle;
            }
            return;
        case ImportStep::from_alias:
            if (name) {
                std::string alias = normal_name(token);
                if (from_holdings_) follow_from(imported_, alias);
                if (from_importers_) bind_alias(imported_, std::move(alias));
            }
            import_step_ = name ? ImportStep::from_aliased : ImportStep::idle;
            return;
        case ImportStep::from_aliased: import_step_ = comma ? ImportStep::from_names : ImportStep::idle; return;
        default: return;  // a step of another phase
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
                other_->open_to(1);
                reset_statement(other_->frames[0]);
            } else if (token.text == "case" && at_case_indent_) {
                pattern_ = true;
                pattern_depth_ = reading_->depth;
            }
        }
    }
    // Only a match statement's first line asks (and a wide load of the
    // token's first bytes, just stored in pieces, would wait on them).
    if (line_is_match_) last_is_colon_ = token.kind == TokenKind::op && token.op == Op::colon && reading_->depth == 1;
    // Targets and annotations are read before the token moves the frames.
    track_bindings(token);
    track_annotation(token);
    // The expression first: the import statement may take the name's text.
    expression(token);
    // Between statements only the keywords that begin one matter.
    if (import_step_ != ImportStep::idle || token.kind == TokenKind::keyword) import_token(token);
}

void ImportFinder::expression(const Token& token) {
    if (Frame& open = top(); open.config) config_token(open, token);
    // An importer named and not called at once is a reference to it.
    // A closing bracket leaves it to on_close: `(__import__)("os")` calls it.
    if (Frame& open = top(); open.pending != Role::none) {
        const bool waits = token.kind == TokenKind::op && (token.op == Op::lparen || token.op == Op::rparen ||
                                                           token.op == Op::rbracket || token.op == Op::rbrace);
        // An attribute of __spec__ tells: only `loader` is a door.
        const bool spec_attribute = open.pending == Role::module_spec &&
                                    ((token.kind == TokenKind::op && token.op == Op::dot) ||
                                     (token.kind == TokenKind::name && open.after_dot));
        // An attribute of a function of the table is another function (`mock.patch.object`).
        const bool function = open.function != nullptr ||
                              (open.shape == Shape::name && !function_aliases_.empty() &&
                               function_aliases_.count(std::string(value_of(open))) != 0);
        if (function && token.kind == TokenKind::op && token.op == Op::dot) {
            open.pending = Role::none;
        } else if (!waits && !spec_attribute) {
            flush_reference(open);
        }
    }
    switch (token.kind) {
        case TokenKind::name: on_name(token); break;
        case TokenKind::keyword: {
            Frame& frame = top();
            if (token.keyword == Keyword::constant) {
                on_atom(token, false);
                Frame& frame = top();
                if (token.text == "None") {
                    fold_none(frame);
                } else {
                    fold_integer(frame, token.text == "True" ? 1 : 0);
                }
                break;
            }
            if (pattern_ && reading_->depth == pattern_depth_ && token.keyword == Keyword::if_) pattern_ = false;
            frame.chain = frame.after_dot = frame.after_string = false;
            frame.search_chain = frame.modules_table = false;
            frame.function = nullptr;
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
                frame.integer_value = token.int_value;
            } else {
                frame.integer = Constant::no;
            }
            fold_number(frame, token);
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
        case TokenKind::field_open: push(Frame::Kind::field, token); break;
        case TokenKind::field_close:
            if (reading_->depth > 1) reading_->open_to(reading_->depth - 1);
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
        frame.chain_column = token.column;
    }
    frame.shape = Shape::other;
    frame.name_dynamic = frame.attribute_dynamic = false;
    frame.after_dot = false;
    frame.after_string = string_like;
    frame.reach.clear();
    frame.dict_module.clear();
    frame.dict_get = false;
    frame.function = nullptr;
    frame.search_chain = frame.modules_table = false;
    frame.definition_name = false;
    frame.empty = false;
    ++frame.tokens;
}

void ImportFinder::on_string(const Token& token) {
    // Adjacent string literals make one.
    const bool adjacent = top().chain && top().after_string && !top().expect;
    on_atom(token, true);
    Frame& frame = top();
    frame.integer = Constant::no;
    fold_string(frame, token, adjacent);
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
        // Read in place, or normalised into a buffer kept for it: no string per attribute.
        std::string_view name = token.text;
        if (!token.ascii) {
            attribute_name_.clear();
            unicode::append_nfkc(token.text, attribute_name_);
            name = attribute_name_;
        }
        frame.attribute_dynamic = is_dynamic_importer(name);
        if (frame.pending == Role::module_spec) {
            if (name == "loader") flush_reference(frame);
            frame.pending = Role::none;
        }
        note_role(frame, role_of_attribute(frame, name), name, frame.chain_line, frame.chain_column);
        frame.function = nullptr;
        // `logging.__dict__.get` and `vars(logging).get` take the module's names.
        frame.dict_get = !frame.dict_module.empty() && name == "get";
        if (!frame.dict_get) frame.dict_module.clear();
        if (frame.attribute_dynamic || frame.role == Role::code || frame.role == Role::getattr ||
            frame.role == Role::vars) {
            frame.attribute.assign(name);
        }
        // The names of an import statement are modules, not attributes.
        if (found_.filter() != nullptr && import_step_ == ImportStep::idle && !in_import_) note_attribute(frame, name);
        if (!frame.reach.empty()) follow_attribute(frame, name);
        return;
    }
    if (!frame.empty) frame.pure = false;
    frame.empty = false;
    frame.chain = true;
    frame.chain_line = token.line;
    frame.chain_column = token.column;
    frame.after_string = false;
    frame.shape = Shape::name;
    frame.value_lent.reset();
    if (token.text_is_lent()) {
        // A name the line scan lent is shared, not copied.
        frame.value_name.clear();
        frame.value_lent = *token.lent;
        frame.value_at = token.lent_at;
        frame.value_size = token.text.size();
    } else if (token.ascii && token.text.size() > kLongName && !keeping_ && import_step_ == ImportStep::idle) {
        // A long name is taken from the lexer rather than copied, unless an
        // import statement reads it, or the subject's reading reads it too.
        frame.value_name = token.take_text();
    } else {
        frame.value_name.clear();  // keeps its storage
        append_name(token, frame.value_name);
    }
    frame.reach.clear();
    frame.dict_module.clear();
    frame.dict_get = false;
    frame.function = nullptr;
    frame.search_chain = frame.modules_table = false;
    if (found_.filter() != nullptr && token.text == "__path__") {
        frame.search_chain = true;
        frame.reach_via.assign("__path__");
    }
    // The names of an import statement are modules to import, not attributes to follow.
    if (import_step_ == ImportStep::idle && seen_bindings().any_module()) {
        if (const std::string* bound = seen_bindings().module(value_of(frame))) {
            frame.reach.assign(*bound);
            frame.reach_via.assign(value_of(frame));
        }
    }
    const Role role = role_of_name(value_of(frame));
    if (role != Role::none && frame.value_lent) {  // named in a finding, which holds its own copy
        frame.value_name.assign(value_of(frame));
        frame.value_lent.reset();
    }
    frame.name_dynamic = role == Role::importer || role == Role::module_importer;
    frame.attribute_dynamic = false;
    note_role(frame, role, frame.value_name, token.line, token.column);
    // In a call's arguments, a name first may be a keyword.
    if (frame.kind == Frame::Kind::call && frame.dynamic && frame.tokens == 1) frame.keyword.assign(value_of(frame));
}

void ImportFinder::end_operand(Frame& frame) noexcept {
    frame.chain = frame.after_dot = frame.after_string = frame.definition_name = false;
    frame.pure = false;
    frame.empty = false;
    frame.integer = Constant::no;
    ++frame.tokens;
}

void ImportFinder::on_op(const Token& token) {
    Frame& frame = top();
    // `sys.path = [...]`, `__path__ += [...]`, `sys.path[0:0] = [...]`.
    if (frame.search_chain && reading_->depth == 1 &&
        (token.op == Op::assign || (token.op == Op::other && token.int_value == 1))) {
        frame.search_chain = false;
        sink().add({AuditedImport::Kind::search_path, frame.chain_line, frame.reach_via, 0, frame.chain_column});
    }
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
            if (frame.keep_dict) {
                dict_entry_end(frame);
                return;
            }
            if (frame.kind == Frame::Kind::call && frame.dynamic) {
                end_argument(frame);
                start_argument(frame);
                return;
            }
            if (frame.kind == Frame::Kind::group || frame.kind == Frame::Kind::display) {
                if (frame.config) {  // a configuration's element
                    config_value_end(frame, {}, false);
                    reset_config_value(frame);
                }
                // A display's element ends: the next one is folded afresh.
                fold_element(frame);
                frame.comma = true;
                frame.chain = frame.after_dot = frame.after_string = frame.definition_name = false;
                frame.pure = false;
                frame.empty = false;
                frame.integer = Constant::no;
                if (!frame.keep_text) frame.text = Constant::no;
                frame.tokens = 0;  // of the element
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
                fold_reset(frame);
                frame.integer = Constant::empty;
                frame.keep_text = frame.keyword == name_keyword_of(frame) || frame.keyword == "package" ||
                                  (frame.keyword == "fromlist" && frame.call_role == Role::importer);
                ++frame.tokens;
                if (frame.config) reset_config_value(frame);
                return;
            }
            break;
        case Op::star:
        case Op::double_star:
            if (frame.kind == Frame::Kind::call && frame.dynamic && frame.tokens == 0) {
                (token.op == Op::star ? frame.argument_starred : frame.argument_double_star) = true;
                // A code runner's first argument starred: the display's first element is the source.
                frame.keep_text = token.op == Op::star && frame.call_role == Role::code && frame.positional == 0;
                end_operand(frame);
                return;
            }
            if (token.op == Op::star && frame.keep_text) {
                fold_times(frame);
                end_operand(frame);
                return;
            }
            break;
        case Op::plus:
        case Op::minus:
            if (frame.keep_text) {
                fold_plus(frame, token.op == Op::minus);
                end_operand(frame);
                return;
            }
            break;
        case Op::walrus:
            // `name := value`: the value is the expression's.
            if (frame.keep_text && frame.tokens == 1 && frame.shape == Shape::name && frame.chain) {
                fold_reset(frame);
                end_operand(frame);
                return;
            }
            break;
        case Op::colon:
            if (pattern_ && reading_->depth == pattern_depth_) pattern_ = false;
            if (frame.keep_dict && !frame.dict_in_value) {
                fold_settle(frame);
                frame.dict_key_constant = !frame.comma && frame.text == Constant::yes && frame.operand == Folded::str;
                std::swap(frame.dict_key, frame.text_value);
                fold_reset(frame);
                frame.integer = Constant::empty;
                // The value begins: a bracket after the colon is no call of the key.
                frame.chain = frame.after_dot = frame.after_string = false;
                frame.dict_in_value = true;
                ++frame.tokens;
                if (frame.config) reset_config_value(frame);
                return;
            }
            break;
        case Op::semicolon: end_statement(); break;
        case Op::other: break;
    }
    // Any other operator ends the expression before it.
    frame.chain = frame.after_dot = frame.after_string = frame.definition_name = false;
    frame.search_chain = frame.modules_table = false;
    frame.function = nullptr;
    frame.pure = false;
    frame.empty = false;
    frame.text = frame.integer = Constant::no;
    ++frame.tokens;
}

void ImportFinder::on_open(const Token& token) {
    Frame& frame = top();
    frame.reach.clear();  // a call's or a subscript's value is no attribute of the module
    const bool trailer = frame.chain && !frame.after_dot && token.op != Op::lbrace;
    ++frame.tokens;
    if (trailer) frame.config_names = frame.config_numbers = false;  // a call's or a subscript's value
    if (trailer && token.op == Op::lparen) {
        // A call, unless it is a class pattern of a case clause.
        std::string callee;
        Role role = Role::none;
        frame.pending = Role::none;  // called
        if (!(pattern_ && reading_->depth >= pattern_depth_)) {
            role = frame.role;
            if ((role == Role::code || role == Role::getattr || role == Role::vars || role == Role::payload ||
                 role == Role::configuration) &&
                frame.shape != Shape::other) {
                callee.assign(value_of(frame));
                if (frame.shape != Shape::name) callee.append(".").append(frame.attribute);
            }
            if (frame.shape == Shape::name && frame.name_dynamic) {
                callee.assign(value_of(frame));
            } else if (frame.shape == Shape::attribute_of_name && frame.attribute_dynamic) {
                callee.assign(value_of(frame)).append(".").append(frame.attribute);
            } else if (frame.shape == Shape::attribute && frame.attribute_dynamic) {
                callee = frame.attribute;
            }
            // A function of the table is named by its whole chain (`importlib.util.find_spec`).
            if (frame.function != nullptr && !callee.empty()) callee.assign(frame.reach_via);
            if (frame.dict_get && frame.shape != Shape::other) {
                role = Role::dict_get;
                callee.assign(frame.dict_from_vars ? "vars(" : "").append(frame.reach_via);
                callee.append(frame.dict_from_vars ? ").get" : ".__dict__.get");
            }
        }
        frame.text = frame.integer = Constant::no;
        const std::int64_t line = frame.chain_line;
        const std::int64_t column = frame.chain_column;
        const ModuleFunction* const function = frame.function;
        // `globals()` as the second argument of an importer: its module's own globals.
        const bool globals_call = frame.kind == Frame::Kind::call && frame.dynamic && frame.positional == 1 &&
                                  frame.tokens == 2 && frame.shape == Shape::name && value_of(frame) == "globals";
        if (globals_call) frame.last_name = "globals()";
        Frame& call = push(Frame::Kind::call, token);
        call.dynamic = !callee.empty();
        call.call_role = call.dynamic ? role : Role::none;
        call.callee = std::move(callee);
        call.call_line = line;
        call.call_column = column;
        call.call_function = call.dynamic ? function : nullptr;
        call.config = call.call_role == Role::configuration;
        if (role == Role::dict_get) {
            // Pushed, so `frame` moved: its namespace is read from the frame below.
            Frame& below = reading_->frames[reading_->depth - 2];
            call.getattr_module = std::move(below.dict_module);
            call.getattr_via.assign(below.reach_via);
            below.dict_module.clear();
            below.dict_get = false;
        }
        start_argument(call);
        return;
    }
    if (trailer) {  // a subscript, whose constant key may name an importer, or an index of a tuple
        frame.integer = Constant::no;
        const bool modules = frame.modules_table;
        frame.modules_table = false;
        std::string dict_module = std::move(frame.dict_module);
        frame.dict_module.clear();
        frame.dict_get = false;
        Frame& subscript = push(Frame::Kind::subscript, token);
        subscript.keep_text = true;
        subscript.modules_subscript = modules;
        subscript.keyed_module = std::move(dict_module);
        return;
    }
    // The globals given to an importer, or `**` given to a code runner.
    const bool dict = token.op == Op::lbrace && frame.kind == Frame::Kind::call && frame.dynamic &&
                      ((frame.positional == 1 && frame.tokens == 1 &&
                        (frame.call_role == Role::importer || frame.call_role == Role::module_importer)) ||
                       (frame.call_role == Role::code && frame.argument_double_star && frame.tokens == 2));
    // An atom: a parenthesised expression, a tuple, a display.
    const bool keep = frame.keep_text && frame.text != Constant::no;
    if (!frame.empty) frame.pure = false;
    frame.empty = false;
    frame.chain = frame.after_dot = frame.after_string = frame.definition_name = false;
    if (token.op != Op::lparen) frame.integer = Constant::no;
    // A logging configuration's argument, and the displays within it.
    const bool config_argument =
        frame.kind == Frame::Kind::call && frame.call_role == Role::configuration && frame.config &&
        ((frame.positional == 0 && !frame.argument_keyword && !frame.argument_starred &&
          !frame.argument_double_star) ||
         (frame.argument_keyword && frame.keyword == "config"));
    const bool config = config_argument || (frame.config && frame.kind != Frame::Kind::call);
    const std::size_t config_call = config_argument ? reading_->depth - 1 : frame.config_call;
    Frame& inner = push(token.op == Op::lparen ? Frame::Kind::group : Frame::Kind::display, token);
    inner.keep_text = keep || dict || config;
    inner.keep_dict = dict || (config && token.op == Op::lbrace);
    inner.bracket_list = token.op == Op::lbracket;
    inner.config = config;
    inner.config_call = config_call;
}

void ImportFinder::on_close() {
    if (reading_->depth < 2) return;  // unmatched: the lexer refuses the text
    Frame& inner = reading_->frames[reading_->depth - 1];
    Frame& frame = reading_->frames[reading_->depth - 2];
    const bool one_expression = inner.kind == Frame::Kind::group && inner.pure && inner.chain && !inner.empty &&
                                !inner.comma;
    if (!one_expression) flush_reference(inner);
    if (inner.kind == Frame::Kind::call) {
        if (inner.dynamic) end_call(inner);
        if (inner.dynamic && (inner.call_role == Role::vars || inner.call_role == Role::dict_get)) {
            end_namespace_call(inner, frame);
        }
    }
    if (inner.kind == Frame::Kind::subscript) {
        fold_settle(inner);
        const bool text = !inner.comma && !inner.text_unjudgeable && inner.text == Constant::yes &&
                          inner.operand == Folded::str;
        if (text && names_a_door(inner.text_value)) {
            sink().add(
                {AuditedImport::Kind::importer_reference, frame.chain_line, inner.text_value, 0, frame.chain_column});
        }
        if (!inner.keyed_module.empty()) {
            // logging.__dict__["os"]: the module's name, taken by a constant key.
            if (text) {
                follow_name(inner.keyed_module, inner.text_value, frame.reach_via, frame.chain_line, frame.chain_column);
            } else {
                std::string what =
                    frame.dict_from_vars ? "vars(" + frame.reach_via + ")[...]" : frame.reach_via + ".__dict__[...]";
                sink().add({AuditedImport::Kind::dynamic_other, frame.chain_line, std::move(what), 0, frame.chain_column});
            }
        }
        if (inner.modules_subscript) {
            // sys.modules[<constant>] gives that module, imported or not yet: judged as an import of it.
            if (text) {
                sink().add(
                    {AuditedImport::Kind::dynamic_constant, frame.chain_line, inner.text_value, 0, frame.chain_column});
            } else if (!(inner.pure && inner.tokens == 1 && inner.shape == Shape::name &&
                         value_of(inner) == "__name__")) {
                sink().add(
                    {AuditedImport::Kind::dynamic_other, frame.chain_line, "sys.modules[...]", 0, frame.chain_column});
            }
        }
        fold_subscript(frame, inner);
    }
    if (inner.config && inner.kind == Frame::Kind::group && !inner.comma && !inner.empty) {
        // Parentheses around one expression of a configuration: it is the frame's value, or part of it.
        if (frame.config_tokens == 1) {
            frame.config_tokens = inner.config_tokens;
            frame.config_names = inner.config_names;
            frame.config_numbers = inner.config_numbers;
            frame.config_display_value = inner.config_display_value;
            frame.config_dict = inner.config_dict;
        } else {
            frame.config_tokens += inner.config_tokens;
            frame.config_names = frame.config_names && inner.config_names;
            frame.config_numbers = frame.config_numbers && inner.config_numbers;
        }
    } else if (inner.config && inner.kind != Frame::Kind::call) {
        // A configuration's display: its last entry or element, and the display as the value.
        if (inner.keep_dict) {
            dict_entry_end(inner);
        } else {
            config_value_end(inner, {}, false);
        }
        frame.config_display_value = true;
        frame.config_dict = inner.keep_dict;
    } else if (inner.keep_dict && frame.call_role == Role::code) {
        // `**{"source": ...}`: a source given by keyword, if the display is all constant keys.
        dict_entry_end(inner);
        frame.dict_has_source = inner.dict_keys_known && inner.dict_has_source;
        frame.dict_source_constant = inner.dict_source_constant;
        frame.dict_source_bytes = inner.dict_source_bytes;
        std::swap(frame.dict_source, inner.dict_source);
    } else if (inner.keep_dict) {
        dict_entry_end(inner);
        frame.second_dict = inner.dict_constant;
        frame.last_name = "{}";
        // The package as importlib computes it from a module's globals.
        if (inner.dict_has_package) {
            frame.second_package = inner.dict_package;
        } else if (inner.dict_has_name) {
            const std::string_view name = inner.dict_name;
            const std::size_t dot = name.rfind('.');
            frame.second_package.assign(inner.dict_has_path || dot == std::string_view::npos
                                            ? (inner.dict_has_path ? name : std::string_view())
                                            : name.substr(0, dot));
        } else {
            frame.second_no_anchor = true;
        }
    }
    if (inner.kind == Frame::Kind::call || inner.kind == Frame::Kind::subscript) {
        // A trailer: the expression goes on, as a call or a subscript.
        frame.shape = Shape::other;
        frame.name_dynamic = frame.attribute_dynamic = false;
        frame.after_string = false;
    } else {
        frame.chain = true;
        frame.chain_line = inner.open_line;
        frame.chain_column = inner.open_column;
        frame.after_dot = frame.after_string = false;
        frame.shape = Shape::other;
        frame.name_dynamic = frame.attribute_dynamic = false;
        if (inner.kind == Frame::Kind::group) {
            // Parentheses around one expression add nothing to it.
            if (inner.pure && inner.chain && !inner.empty && !inner.comma) {
                frame.shape = inner.shape;
                frame.role = inner.role;
                frame.pending = inner.pending;
                frame.pending_line = inner.pending_line;
                frame.pending_column = inner.pending_column;
                std::swap(frame.pending_name, inner.pending_name);
                inner.pending = Role::none;
                frame.name_dynamic = inner.name_dynamic;
                frame.attribute_dynamic = inner.attribute_dynamic;
                std::swap(frame.value_name, inner.value_name);
                std::swap(frame.value_lent, inner.value_lent);
                std::swap(frame.value_at, inner.value_at);
                std::swap(frame.value_size, inner.value_size);
                std::swap(frame.attribute, inner.attribute);
                // `(logging).os`: the module reached so far, as without the parentheses.
                std::swap(frame.reach, inner.reach);
                std::swap(frame.reach_via, inner.reach_via);
                std::swap(frame.dict_module, inner.dict_module);
            }
            fold_bracket(frame, inner);
            const bool integer = !inner.comma && (inner.integer == Constant::yes || inner.integer == Constant::grouped);
            if (frame.integer == Constant::empty && integer) {
                frame.integer = Constant::grouped;
                frame.integer_nonzero = inner.integer_nonzero;
                frame.integer_value = inner.integer_value;
            } else {
                frame.integer = Constant::no;
            }
        } else {
            fold_bracket(frame, inner);
            frame.integer = Constant::no;
        }
    }
    reading_->open_to(reading_->depth - 1);
}

// --- the arguments of a dynamic import --------------------------------------

void ImportFinder::start_argument(Frame& frame) noexcept {
    frame.chain = frame.after_dot = frame.after_string = false;
    frame.empty = true;
    frame.pure = true;
    fold_reset(frame);
    frame.integer = Constant::empty;
    frame.tokens = 0;
    frame.argument_keyword = frame.argument_starred = frame.argument_double_star = false;
    frame.dict_has_source = false;
    frame.keyword.clear();
    if (frame.config) reset_config_value(frame);
    frame.keep_text = frame.positional == 0 || (frame.positional == 1 && frame.call_role != Role::code) ||
                      (frame.positional == 3 && frame.call_role == Role::importer);
    frame.last_name.clear();
}

std::string_view ImportFinder::name_keyword_of(const Frame& frame) noexcept {
    if (frame.call_function != nullptr && !frame.call_function->keyword.empty()) return frame.call_function->keyword;
    if (frame.call_role == Role::payload) return {};  // pickle.loads's payload is positional only
    if (frame.call_role == Role::configuration) return "config";
    return frame.call_role == Role::code ? "source" : "name";
}

void ImportFinder::end_argument(Frame& frame) {
    if (frame.tokens == 0) return;  // nothing after a trailing comma
    if (frame.call_role == Role::configuration) {
        // dictConfig(config): read when it is one display, read whole.
        const bool first = frame.positional == 0 && !frame.argument_keyword && !frame.argument_starred &&
                           !frame.argument_double_star;
        if (first || (frame.argument_keyword && frame.keyword == "config")) {
            frame.config_read = frame.config_tokens == 1 && frame.config_display_value && frame.config_dict;
        }
    }
    fold_settle(frame);
    const bool text = frame.text == Constant::yes && frame.operand == Folded::str;
    // A code runner reads bytes too, as compile reads them.
    const bool bytes = (frame.call_role == Role::code || frame.call_role == Role::payload) &&
                       frame.text == Constant::yes && frame.operand == Folded::bytes;
    const bool relative =
        (frame.integer == Constant::yes || frame.integer == Constant::grouped) && frame.integer_nonzero;
    if (frame.argument_keyword) {
        if (frame.keyword == "package" && !frame.package_keyword) {
            frame.package_keyword = true;
            frame.package_constant = text;
            frame.package_own = frame.tokens == 3 && frame.shape == Shape::name && value_of(frame) == "__package__";
            std::swap(frame.package_value, frame.text_value);
        } else if (frame.keyword == name_keyword_of(frame) && !frame.name_keyword) {
            frame.name_keyword = true;
            frame.name_constant = text || bytes;
            frame.name_bytes = bytes;
            frame.name_unjudgeable = frame.text_unjudgeable;
            std::swap(frame.name_value, frame.text_value);
        } else if (frame.keyword == "fix_imports" && frame.call_role == Role::payload) {
            frame.fix_imports_keyword = true;
        } else if (frame.keyword == "level" && !frame.level_keyword) {
            frame.level_keyword = true;
            frame.level_relative = relative;
            frame.level_value = frame.integer_value;
        } else if (frame.keyword == "fromlist" && frame.call_role == Role::importer && !frame.fromlist_keyword) {
            frame.fromlist_keyword = true;
            if (!frame.fromlist_given) take_fromlist(frame);
        }
        return;
    }
    if (frame.argument_double_star) {
        // `**{"source": ...}` as source=, if none came before.
        if (frame.call_role == Role::code && frame.dict_has_source && frame.tokens == 2 && !frame.name_keyword) {
            frame.name_keyword = true;
            frame.name_constant = frame.dict_source_constant;
            frame.name_bytes = frame.dict_source_bytes;
            frame.name_unjudgeable = false;
            std::swap(frame.name_value, frame.dict_source);
        }
        return;
    }
    const int index = frame.positional++;
    if (index < 5) frame.starred[index] = frame.argument_starred;
    if (index == 0 && !frame.argument_starred && (frame.call_role == Role::getattr || frame.call_role == Role::vars) &&
        frame.pure &&
        frame.shape == Shape::name && !frame.reach.empty()) {
        // getattr(logging, ...): what it takes from the module is followed.
        frame.getattr_module = frame.reach;
        frame.getattr_via.assign(value_of(frame));
    }
    if (index == 0 && !frame.argument_starred) {
        frame.first_constant = text || bytes;
        frame.first_bytes = bytes;
        frame.first_unjudgeable = frame.text_unjudgeable;
        std::swap(frame.first_value, frame.text_value);
    } else if (index == 0) {
        frame.first_unjudgeable = frame.text_unjudgeable;
        if (frame.call_role == Role::code) take_starred_first(frame);
    } else if (index == 3 && frame.call_role == Role::importer) {
        if (!(frame.starred[0] || frame.starred[1] || frame.starred[2] || frame.starred[3])) take_fromlist(frame);
    } else if (index == 1) {
        frame.second_constant = text && !frame.argument_starred;
        std::swap(frame.second_value, frame.text_value);
        const bool alone = !frame.argument_starred && frame.pure;
        frame.second_own_package = alone && ((frame.tokens == 1 && frame.shape == Shape::name &&
                                              value_of(frame) == "__package__") ||
                                             (frame.tokens == 2 && frame.last_name == "globals()"));
        if (!(alone && frame.tokens == 1 && frame.last_name == "{}")) frame.second_dict = false;
    } else if (index == 4) {
        frame.fifth_relative = relative && !frame.argument_starred;
        frame.fifth_level = frame.integer_value;
    }
}

void ImportFinder::end_call(Frame& frame) {
    end_argument(frame);
    if (frame.call_role == Role::vars || frame.call_role == Role::dict_get) return;  // see end_namespace_call
    if (frame.call_role == Role::getattr) {
        if (frame.positional >= 2 && !frame.starred[0] && !frame.starred[1] && frame.second_constant &&
            names_a_door(frame.second_value)) {
            sink().add({AuditedImport::Kind::importer_reference, frame.call_line, frame.second_value, 0, frame.call_column});
        }
        if (!frame.getattr_module.empty() && frame.positional >= 2 && !frame.starred[1]) {
            if (frame.second_constant) {
                follow_name(frame.getattr_module, frame.second_value, frame.getattr_via, frame.call_line,
                            frame.call_column);
            } else {
                // What it takes from the module cannot be read from the file.
                std::string what = "getattr(" + frame.getattr_via + ", ...)";
                sink().add({AuditedImport::Kind::dynamic_other, frame.call_line, std::move(what), 0, frame.call_column});
            }
        }
        return;
    }
    if (frame.call_role == Role::code) {
        end_code_call(frame);
        return;
    }
    if (frame.call_role == Role::payload) {
        end_payload_call(frame);
        return;
    }
    if (frame.call_role == Role::configuration) {
        end_config_call(frame);
        return;
    }
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
        sink().add({AuditedImport::Kind::dynamic_other, frame.call_line, frame.callee, 0, frame.call_column});
        return;
    }
    bool relative = false;
    std::uint64_t level = 0;
    if (frame.positional > 4 && !(frame.starred[0] || frame.starred[1] || frame.starred[2] || frame.starred[3] ||
                                  frame.starred[4])) {
        relative = frame.fifth_relative;
        level = frame.fifth_level;
    } else if (frame.level_keyword) {
        relative = frame.level_relative;
        level = frame.level_value;
    }
    if (unjudgeable) {
        mark_unjudgeable_in_reading("\\N{...} dans le nom d'un import dynamique", frame.call_line);
        return;
    }
    if (frame.call_role == Role::module_importer) {
        // "module:attribute", as pkgutil.resolve_name takes it: the module is what is imported. A name
        // bound to such a function by an import is not told from import_module: both readings are judged.
        if (const std::size_t colon = value->find(':'); colon != std::string::npos) {
            if (frame.call_function == nullptr) {
                sink().add({AuditedImport::Kind::dynamic_constant, frame.call_line, *value, 0, frame.call_column});
            }
            value->resize(colon);
        }
        // import_module: the leading dots of the name are its level.
        level = 0;
        while (level < value->size() && (*value)[level] == '.') ++level;
        if (level > 0) {
            end_relative_call(frame, value->substr(level), level);
            return;
        }
    } else if (relative) {
        end_relative_call(frame, std::move(*value), level);
        return;
    }
    end_fromlist(frame, *value, 0);
    sink().add({AuditedImport::Kind::dynamic_constant, frame.call_line, std::move(*value), 0, frame.call_column});
}

// --- the other doors to an importer ----------------------------------------

ImportFinder::Role ImportFinder::builtin_role(std::string_view name) noexcept {
    // By length first: most names are none of them, and this runs for every name read.
    switch (name.size()) {
        case 4: return name == "exec" || name == "eval" ? Role::code : name == "vars" ? Role::vars : Role::none;
        case 7: return name == "compile" ? Role::code : name == "getattr" ? Role::getattr : Role::none;
        case 8: return name == "__spec__" ? Role::module_spec : Role::none;
        case 10: return name == "__import__" ? Role::importer : name == "__loader__" ? Role::loader : Role::none;
        case 13: return name == "import_module" ? Role::module_importer : Role::none;
        default: return Role::none;
    }
}

ImportFinder::Role ImportFinder::role_of_name(std::string_view name) const {
    // Most files bind no alias: nothing to look up then.
    const Bindings& seen = seen_bindings();
    if (seen.below == nullptr && seen.aliases.empty()) return builtin_role(name);
    const Role bound = seen.alias(name);
    return bound != Role::none ? bound : builtin_role(name);
}

ImportFinder::Role ImportFinder::role_of_attribute(const Frame& frame, std::string_view attribute) const {
    const Role role = builtin_role(attribute);
    // Any object's: the module importlib may be reached by any name.
    if (role == Role::importer || role == Role::module_importer || role == Role::loader) return role;
    // The builtins' only: `re.compile` is not the builtin.
    if (role != Role::code && role != Role::getattr && role != Role::vars) return Role::none;
    if (frame.shape != Shape::attribute_of_name || !seen_bindings().builtin(value_of(frame))) return Role::none;
    return role;
}

void ImportFinder::note_role(Frame& frame, Role role, std::string_view name, std::int64_t line,
                             std::int64_t column) {
    frame.role = role;
    frame.pending = Role::none;
    // The names an import statement binds are no references.
    if (role == Role::none || role == Role::getattr || role == Role::vars || role == Role::dict_get ||
        import_step_ != ImportStep::idle || in_import_) {
        return;
    }
    if (role == Role::loader) {  // whatever is done with it
        sink().add({AuditedImport::Kind::importer_reference, line, std::string(name), 0, column});
        return;
    }
    frame.pending = role;
    frame.pending_name.assign(name);
    frame.pending_line = line;
    frame.pending_column = column;
}

void ImportFinder::flush_reference(Frame& frame) {
    if (frame.pending == Role::none) return;
    frame.pending = Role::none;
    sink().add({AuditedImport::Kind::importer_reference, frame.pending_line, frame.pending_name, 0, frame.pending_column});
}

bool ImportFinder::wants_import_tokens(std::string_view module) const {
    // The names a `from` statement takes from a relative or own module are
    // kept, when asked, from its tokens.
    std::uint64_t level = 0;
    while (level < module.size() && module[level] == '.') ++level;
    if (keeps_local_names(module.substr(level), level)) return true;
    if (level > 0) return false;
    return follows(module) || follows(module.substr(0, module.find('.')));
}

bool ImportFinder::keeps_local_names(std::string_view module, std::uint64_t level) const {
    const ImportFilter* const filter = found_.filter();
    if (filter == nullptr || !filter->keeps_local()) return false;
    if (level > 0) return !filter->above_root(level);
    return !module.empty() && filter->own(module);
}

void ImportFinder::record_local_name(std::string_view name) {
    std::string joined;
    joined.reserve(from_local_module_.size() + 1 + name.size());
    joined.append(from_local_module_);
    if (!joined.empty()) joined.push_back('.');
    joined.append(name);
    found_.add({AuditedImport::Kind::local_name, statement_line_, std::move(joined), from_local_level_,
                statement_column_});
}

bool ImportFinder::follows(std::string_view module) const {
    const ImportFilter* const filter = found_.filter();
    if (filter == nullptr || module.empty()) return false;
    // Asked of every import statement, mostly of the same few names.
    const int remembered = filter->follows_remembered(module);
    if (remembered >= 0) return remembered == 1;
    const bool followed = !filter->forbids(module) && !filter->own(module) &&
                          (has_module_functions(module) || filter->reaches_forbidden(module));
    filter->remember_follows(module, followed);
    return followed;
}

const HoldingTable& ImportFinder::holdings() const noexcept {
    const ImportFilter* const filter = found_.filter();
    return filter != nullptr ? filter->holdings() : HoldingTable::standard();
}

bool ImportFinder::reaches(std::string_view module) const {
    const ImportFilter* const filter = found_.filter();
    // A forbidden module's own import already fails the file: what it holds adds nothing.
    return filter != nullptr && !module.empty() && filter->reaches_forbidden(module) && !filter->forbids(module);
}

namespace {

bool name_byte(char c) noexcept {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}
bool high_byte(char c) noexcept { return (c & 0x80) != 0; }

// What the attributes of the graph and of search paths hold, each in one
// or two of them (`_globals`: `__globals__`, `f_globals`), which the name
// around it is then checked against; a name longer than the longest of
// them is none of them.
constexpr std::string_view kGraphWords[] = {"_globals",   "_builtins", "f_locals", "f_back",   "_code__",
                                            "_closure",   "_path__",   "gi_frame", "cr_frame", "ag_frame",
                                            "tb_frame",   "subclasses", "submodule_search_locations"};
constexpr std::size_t kLongestGraphName = 26;  // submodule_search_locations

// Whether the name around `at` (in [begin, end)) may be an attribute of the
// object graph or of search paths: a name beyond ASCII may fold to one.
bool graph_name_at(const char* begin, const char* at, const char* end) noexcept {
    const char* start = at;
    while (start > begin && (name_byte(start[-1]) || high_byte(start[-1]))) {
        if (at - start > static_cast<std::ptrdiff_t>(kLongestGraphName)) return false;
        --start;
    }
    const char* stop = at;
    while (stop < end && (name_byte(*stop) || high_byte(*stop))) {
        if (stop - start > static_cast<std::ptrdiff_t>(kLongestGraphName)) return false;
        ++stop;
    }
    const std::string_view name(start, static_cast<std::size_t>(stop - start));
    for (const char c : name) {
        if (high_byte(c)) return true;
    }
    // Cut by the piece's end: the tokens will tell.
    if (stop == end) return true;
    return graph_attribute(name) || name == "__path__" || name == "submodule_search_locations";
}

}  // namespace

void ImportFinder::watch_graph_words() {
    for (const std::string_view word : kGraphWords) {
        watched_.add(word);
        watched_modules_.emplace_back();  // no module: a word of the graph
    }
}

bool ImportFinder::watched_use(std::size_t word, const char* begin, const char* at, const char* end) const noexcept {
    const WatchedModule& watched = watched_modules_[word];
    if (watched.module.empty()) return graph_name_at(begin, at, end);
    // The text before `begin` is a line's end: `begin` starts a line.
    const char before = at > begin ? at[-1] : '\n';
    // Within a longer name, or an attribute of something else (`self.logging`).
    if (name_byte(before) || before == '.') return false;
    const char* p = at + watched_.word(word).size();
    if (p < end && high_byte(*p)) return true;  // a longer name beyond ASCII, which the tokens tell
    if (p < end && name_byte(*p)) return false;
    while (p < end && (*p == ' ' || *p == '\t')) ++p;
    if (p == end) return true;
    // A chain goes on with a dot. Anything else matters where the name may
    // be bound to another (`l = logging;`, `[m := logging for ...]`: after
    // `=`), be given to what reads it (`vars(logging)`, `(logging).os`:
    // after a bracket), or begin its line (a dot may follow on the next,
    // within brackets); elsewhere (`f(x, logging)`, `x or logging`) the
    // value is passed on, which is not followed.
    if (*p != '.') {
        const char* q = at;
        while (q > begin && (q[-1] == ' ' || q[-1] == '\t')) --q;
        return q == begin || q[-1] == '=' || q[-1] == '(' || q[-1] == '[' || q[-1] == '\n' || q[-1] == '\r';
    }
    ++p;
    while (p < end && (*p == ' ' || *p == '\t')) ++p;
    const char* const attribute = p;
    // No function of the table is this long, nor any attribute the
    // holdings hold (whose tables may come from outside the standard
    // library): what is longer is not one.
    constexpr std::size_t kLongestFunction = 64;
    const auto longest = static_cast<std::ptrdiff_t>(std::max(kLongestFunction, holdings().longest_attribute()));
    while (p < end && name_byte(*p) && p - attribute <= longest) ++p;
    if (p - attribute > longest) return false;
    // An attribute spelled beyond ASCII, cut by the piece, or on another line: left to the tokens.
    if (p == end || high_byte(*p) || p == attribute) return true;
    const std::string_view name(attribute, static_cast<std::size_t>(p - attribute));
    // What the module holds under another name, a function of it that is
    // followed, or its namespace: looked up in the constant tables.
    if (name == "__dict__") return true;
    const Holding* held = std::lower_bound(watched.held.first, watched.held.last, name,
                                           [](const Holding& entry, std::string_view n) { return entry.attribute < n; });
    if (held != watched.held.last && held->attribute == name) return true;
    const auto [first, last] = watched.functions;
    const ModuleFunction* function = std::lower_bound(
        first, last, name, [](const ModuleFunction& entry, std::string_view n) { return entry.function < n; });
    return function != last && function->function == name;
}

void ImportFinder::watch_as(WatchedModule& watched, const std::string& module) const {
    watched.module = module;
    watched.held = holdings().holdings_of(module);
    watched.functions = module_functions_of(module);
}

void ImportFinder::follow_name(std::string_view module, std::string_view name, std::string_view via,
                               std::int64_t line, std::int64_t column) {
    const Holding* const held = holdings().holding_of(module, name);
    if (held == nullptr || !found_.filter()->forbids(held->target)) return;
    std::string chain(via);
    chain.append(".").append(name);
    add_reached(held->target, std::move(chain), line, column);
}

void ImportFinder::follow_function(Frame& frame, const ModuleFunction& function, std::string_view attribute) {
    frame.reach.clear();
    frame.attribute.assign(attribute);  // a call names it (by its whole chain, frame.reach_via)
    frame.reach_via.append(".").append(attribute);
    using Kind = ModuleFunction::Kind;
    switch (function.kind) {
        case Kind::module_name:
        case Kind::object_path:
            // Called as import_module is: its name argument judged as an import.
            frame.function = &function;
            frame.attribute_dynamic = true;
            note_role(frame, Role::module_importer, frame.reach_via, frame.chain_line, frame.chain_column);
            return;
        case Kind::python_text:
            frame.function = &function;
            note_role(frame, Role::code, frame.reach_via, frame.chain_line, frame.chain_column);
            return;
        case Kind::pickle_payload:
            frame.function = &function;
            note_role(frame, Role::payload, frame.reach_via, frame.chain_line, frame.chain_column);
            return;
        case Kind::log_config:
            frame.function = &function;
            note_role(frame, Role::configuration, frame.reach_via, frame.chain_line, frame.chain_column);
            return;
        case Kind::opaque:
            sink().add({AuditedImport::Kind::dynamic_other, frame.chain_line, frame.reach_via, 0, frame.chain_column});
            return;
        case Kind::object_graph:
            sink().add({AuditedImport::Kind::object_graph, frame.chain_line, frame.reach_via, 0, frame.chain_column});
            return;
        case Kind::search_path: frame.search_chain = true; return;
        case Kind::module_table: frame.modules_table = true; return;
    }
}

void ImportFinder::note_attribute(Frame& frame, std::string_view attribute) {
    if (frame.search_chain) {
        // `sys.path.append(...)`: the list changed in place. Any other attribute reads it.
        frame.search_chain = false;
        if (mutating_method(attribute)) {
            std::string what = frame.reach_via;
            what.append(".").append(attribute);
            sink().add({AuditedImport::Kind::search_path, frame.chain_line, std::move(what), 0, frame.chain_column});
            return;
        }
    }
    frame.modules_table = false;
    if (graph_attribute(attribute)) {
        sink().add({AuditedImport::Kind::object_graph, frame.chain_line, std::string(attribute), 0, frame.chain_column});
    } else if (attribute == "__path__" || attribute == "submodule_search_locations") {
        frame.search_chain = true;
        frame.reach_via.assign(attribute);
    }
}

void ImportFinder::add_reached(std::string_view target, std::string via, std::int64_t line, std::int64_t column) {
    AuditedImport found{AuditedImport::Kind::reached, line, std::string(target), 0, column};
    found.via = std::move(via);
    sink().add(std::move(found));
}

void ImportFinder::follow_from(std::string_view imported, std::string_view bound) {
    if (const ModuleFunction* function = module_function(from_module_, imported)) {
        std::string via = from_module_;
        via.append(".").append(imported);
        switch (function->kind) {
            case ModuleFunction::Kind::module_name:
            case ModuleFunction::Kind::object_path:
                bindings_.aliases[std::string(bound)] = Role::module_importer;
                function_aliases_.emplace(bound);
                break;
            case ModuleFunction::Kind::python_text:
                bindings_.aliases[std::string(bound)] = Role::code;
                function_aliases_.emplace(bound);
                break;
            case ModuleFunction::Kind::pickle_payload:
                bindings_.aliases[std::string(bound)] = Role::payload;
                function_aliases_.emplace(bound);
                break;
            case ModuleFunction::Kind::log_config:
                bindings_.aliases[std::string(bound)] = Role::configuration;
                function_aliases_.emplace(bound);
                break;
            case ModuleFunction::Kind::object_graph:
                sink().add({AuditedImport::Kind::object_graph, statement_line_, std::move(via), 0, statement_column_});
                break;
            case ModuleFunction::Kind::search_path:
                sink().add({AuditedImport::Kind::search_path, statement_line_, std::move(via), 0, statement_column_});
                break;
            case ModuleFunction::Kind::opaque:
            case ModuleFunction::Kind::module_table:
                // What it imports cannot be read where it is used under another name.
                sink().add({AuditedImport::Kind::dynamic_other, statement_line_, std::move(via), 0, statement_column_});
                break;
        }
        return;
    }
    const Holding* const held = holdings().holding_of(from_module_, imported);
    if (held == nullptr) return;
    if (found_.filter()->forbids(held->target)) {
        std::string via = from_module_;
        via.append(".").append(imported);
        add_reached(held->target, std::move(via), statement_line_, statement_column_);
    } else if (held->is_module && follows(held->target)) {
        bind_module(std::string(bound), held->target);
    }
}

void ImportFinder::follow_star() {
    for (const Holding& held : holdings().holdings_of(from_module_)) {
        if (held.starred) follow_from(held.attribute, held.attribute);
    }
}

void ImportFinder::follow_attribute(Frame& frame, std::string_view attribute) {
    if (attribute == "__dict__") {  // its keys are the module's names: a subscript of it is followed
        frame.dict_module = std::move(frame.reach);
        frame.dict_from_vars = false;
        frame.reach.clear();
        return;
    }
    if (const ModuleFunction* function = module_function(frame.reach, attribute)) {
        follow_function(frame, *function, attribute);
        return;
    }
    const Holding* const held = holdings().holding_of(frame.reach, attribute);
    if (held == nullptr) {  // the module's own: nothing further is followed
        frame.reach.clear();
        return;
    }
    frame.reach_via.append(".").append(attribute);
    if (found_.filter()->forbids(held->target)) {
        add_reached(held->target, frame.reach_via, frame.chain_line, frame.chain_column);
        frame.reach.clear();
    } else if (held->is_module) {
        frame.reach.assign(held->target);
    } else {
        frame.reach.clear();
    }
}

void ImportFinder::bind_alias(std::string_view imported, std::string alias) {
    Role role = Role::none;
    if (imported == "__import__") {
        role = Role::importer;
    } else if (imported == "import_module" && !from_importer_module_) {
        role = Role::module_importer;
    } else if (from_importer_module_ && is_code_runner(imported)) {
        role = Role::code;
    } else if (from_importer_module_ && imported == "getattr") {
        role = Role::getattr;
    }
    if (role != Role::none && alias != imported) bindings_.aliases[std::move(alias)] = role;
}

void ImportFinder::dict_entry_end(Frame& frame) {
    if (frame.tokens == 0 && !frame.dict_in_value) return;  // nothing after a trailing comma
    fold_settle(frame);
    const bool folded = !frame.comma && frame.text == Constant::yes && !frame.text_unjudgeable;
    const bool value = folded && frame.operand == Folded::str;
    if (frame.config) {
        config_value_end(frame, frame.dict_key, frame.dict_in_value && frame.dict_key_constant);
        reset_config_value(frame);
    }
    if (!frame.dict_in_value || !frame.dict_key_constant) {
        frame.dict_constant = false;  // `**other`, or a key computed at run time
        frame.dict_keys_known = false;
    } else if (frame.dict_key == "source") {  // a code runner's, the last one given
        frame.dict_has_source = true;
        frame.dict_source_constant = folded && (frame.operand == Folded::str || frame.operand == Folded::bytes);
        frame.dict_source_bytes = frame.operand == Folded::bytes;
        frame.dict_source = frame.text_value;
    } else if (frame.dict_key == "__package__") {
        frame.dict_has_package = value;
        if (value) frame.dict_package = frame.text_value;
        if (!value) frame.dict_constant = false;
    } else if (frame.dict_key == "__name__") {
        frame.dict_has_name = value;
        if (value) frame.dict_name = frame.text_value;
        if (!value) frame.dict_constant = false;
    } else if (frame.dict_key == "__path__") {
        frame.dict_has_path = true;
    } else if (frame.dict_key == "__spec__") {
        frame.dict_constant = false;  // its parent would be the package
    }
    frame.dict_in_value = false;
    frame.dict_key_constant = false;
    frame.dict_key.clear();
    fold_reset(frame);
    frame.integer = Constant::empty;
    frame.chain = frame.after_dot = frame.after_string = false;
    frame.tokens = 0;
    frame.comma = false;
}

void ImportFinder::end_relative_call(Frame& frame, std::string rest, std::uint64_t level) {
    const bool module_style = frame.call_role == Role::module_importer;
    const bool keyword = module_style && frame.package_keyword && frame.positional < 2;
    const bool positional = frame.positional >= 2 && !frame.starred[0] && !frame.starred[1];
    bool own = false;
    bool constant = false;
    std::string package;
    if (keyword) {
        own = frame.package_own;
        constant = frame.package_constant;
        package = frame.package_value;
    } else if (positional) {
        own = frame.second_own_package;
        if (module_style) {
            constant = frame.second_constant;
            package = frame.second_value;
        } else {
            constant = frame.second_dict && !frame.second_no_anchor;
            package = frame.second_package;
        }
    }
    if (own) {  // the module's own package: as a relative import statement
        end_fromlist(frame, rest, level);
        sink().add({AuditedImport::Kind::dynamic_constant, frame.call_line, std::move(rest), level, frame.call_column});
        return;
    }
    if (!constant) {
        sink().add({AuditedImport::Kind::relative_dynamic, frame.call_line, frame.callee, 0, frame.call_column});
        return;
    }
    // An empty package, or a level above its top, makes importlib raise: nothing is imported.
    std::string resolved;
    if (package.empty() || !resolve_relative(package, level, rest, resolved)) return;
    end_fromlist(frame, resolved, 0);
    sink().add({AuditedImport::Kind::dynamic_constant, frame.call_line, std::move(resolved), 0, frame.call_column});
}

void ImportFinder::end_code_call(Frame& frame) {
    std::string* value = nullptr;
    bool unjudgeable = false;
    bool bytes = false;
    if (frame.positional > 0 && (!frame.starred[0] || frame.first_display)) {
        if (frame.first_constant) value = &frame.first_value;
        unjudgeable = frame.first_unjudgeable;
        bytes = frame.first_bytes;
    } else if (frame.name_keyword) {
        if (frame.name_constant) value = &frame.name_value;
        unjudgeable = frame.name_unjudgeable;
        bytes = frame.name_bytes;
    }
    if (value == nullptr) {
        sink().add({AuditedImport::Kind::dynamic_code, frame.call_line, frame.callee, 0, frame.call_column});
        return;
    }
    if (unjudgeable) {
        mark_unjudgeable_in_reading("\\N{...} dans un code dynamique", frame.call_line);
        return;
    }
    // eval passes over the blanks that begin its text, which exec and compile
    // refuse: read as eval reads it, whatever the name it is called by.
    std::string_view text = *value;
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    if (bytes) {
        std::string decoded(text);
        if (!decode_code_bytes(decoded, frame.call_line, frame.call_column)) return;
        audit_code(decoded, frame.call_line, frame.call_column);
        return;
    }
    audit_code(text, frame.call_line, frame.call_column);
}

void ImportFinder::audit_code(std::string_view text, std::int64_t line, std::int64_t column) {
    // On a line that may be a match statement, both readings mostly run the
    // same text at the same call, the subject's first: the other takes its
    // outcome rather than reading the text again, which would double the
    // cost at each level of texts nested in texts.
    if (keeping_ && !reading_subject_ && memo_.valid) {
        memo_.valid = false;
        if (memo_.token == line_tokens_ && memo_.line == line && memo_.text == text && apart_bindings_.empty()) {
            if (!memo_.unjudgeable.empty()) mark_unjudgeable_in_reading(memo_.unjudgeable, line);
            for (const AuditedImport& found : memo_.found) sink().add(found);
            for (const auto& [name, role] : memo_.bound.aliases) apart_bindings_.aliases[name] = role;
            for (const std::string& name : memo_.bound.builtins) apart_bindings_.builtins.insert(name);
            for (const auto& [name, module] : memo_.bound.modules) apart_bindings_.bind(name, module);
            return;
        }
    }
    // The outcome depends on nothing else than the text and the file's bindings.
    const bool memoize = keeping_ && reading_subject_ && subject_bindings_.empty() && apart_bindings_.empty() &&
                         subject_bindings_.modules.empty() && apart_bindings_.modules.empty();
    std::vector<AuditedImport> found;
    std::string unjudgeable;
    read_code(text, line, column, found, unjudgeable);
    if (memoize) {
        memo_.valid = true;
        memo_.token = line_tokens_;
        memo_.line = line;
        memo_.text.assign(text);
        memo_.found = found;
        memo_.unjudgeable = unjudgeable;
        memo_.bound.aliases = subject_bindings_.aliases;
        memo_.bound.builtins = subject_bindings_.builtins;
        memo_.bound.modules = subject_bindings_.modules;
    }
    if (!unjudgeable.empty()) mark_unjudgeable_in_reading(std::move(unjudgeable), line);
    for (AuditedImport& one : found) sink().add(std::move(one));
    if (!keeping_) watch_bound_modules();  // what the text bound, the file sees from here on
}

void ImportFinder::read_code(std::string_view text, std::int64_t line, std::int64_t column,
                             std::vector<AuditedImport>& found,
                             std::string& unjudgeable) {
    if (nesting_ >= kMostNesting) {
        found.push_back({AuditedImport::Kind::unaudited_code, line, "code dynamique imbriqué trop profondément", 0, column});
        return;
    }
    if (std::memchr(text.data(), '\0', text.size()) != nullptr) {
        // Python refuses the text before it runs anything.
        found.push_back({AuditedImport::Kind::refused_code, line, {}, 0, column});
        return;
    }
    FoundImports inner(found_.filter());
    // On a line that may be a match statement, what the text binds stays
    // in the reading's layer until the line's end.
    Bindings* shared = !keeping_ ? &bindings_ : reading_subject_ ? &subject_bindings_ : &apart_bindings_;
    const std::unique_ptr<ImportFinder> finder(new ImportFinder(inner, nesting_ + 1, shared));
    finder->fold_budget_ = fold_budget_;
    const auto lexer = std::make_unique<PythonLexer>(*finder);
    lexer->lex(text.data(), text.size(), true);
    if (!lexer->refused()) lexer->finish();
    if (lexer->refused()) {  // Python raises before it runs any of it
        found.push_back({AuditedImport::Kind::refused_code, line, {}, 0, column});
        return;
    }
    if (finder->unjudgeable()) {  // only Python's own reading of the file can judge it
        unjudgeable = finder->unjudgeable_reason();
        return;
    }
    // Whatever the text does, it does at the call.
    found = std::move(inner.kept());
    for (AuditedImport& one : found) {
        one.line = line;
        one.column = column;
    }
}

}  // namespace scanner_core
