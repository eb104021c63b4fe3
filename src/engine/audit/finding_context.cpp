#include "audit/finding_context.hpp"

#include <algorithm>
#include <numeric>
#include <tuple>
#include <utility>

namespace scanner_core {
namespace {

constexpr std::string_view kTypeChecking = "TYPE_CHECKING";

bool is_word(const Token& token, std::string_view word) noexcept {
    return (token.kind == TokenKind::keyword || token.kind == TokenKind::name) && token.text == word;
}

bool is_op(const Token& token, Op op) noexcept { return token.kind == TokenKind::op && token.op == op; }

bool opens(const Token& token) noexcept {
    return token.kind == TokenKind::field_open ||
           (token.kind == TokenKind::op &&
            (token.op == Op::lparen || token.op == Op::lbracket || token.op == Op::lbrace));
}

bool closes(const Token& token) noexcept {
    return token.kind == TokenKind::field_close ||
           (token.kind == TokenKind::op &&
            (token.op == Op::rparen || token.op == Op::rbracket || token.op == Op::rbrace));
}

// Every header of a compound statement: a deeper line always follows
// one, which closes the blocks a line passed over may have ended (`if`
// back at a class's indentation, then a def below it). A lambda lies on
// the line of what it holds. A try's clauses are looked for once a try is
// met. Built once per thread: a search keeps its step's state while it runs.
const WordSearch& header_words() {
    thread_local const WordSearch words = [] {
        WordSearch made;
        for (const std::string_view word :
             {"def", "class", "try", "if", "elif", "else", "for", "while", "with", "case", "async"}) {
            made.add(word, true);
        }
        return made;
    }();
    return words;
}

bool catches_import_error(std::string_view name) noexcept {
    return name == "ImportError" || name == "ModuleNotFoundError" || name == "Exception" || name == "BaseException";
}

}  // namespace

FindingContext::FindingContext(std::vector<Place> places, const ChainCheck* check)
    : places_(std::move(places)),
      order_(places_.size()),
      flags_(places_.size(), 0),
      check_(check),
      words_(&header_words()) {
    std::iota(order_.begin(), order_.end(), std::size_t{0});
    std::stable_sort(order_.begin(), order_.end(), [this](std::size_t a, std::size_t b) {
        return std::tie(places_[a].line, places_[a].column) < std::tie(places_[b].line, places_[b].column);
    });
}

void FindingContext::watch_word(std::string_view word) {
    if (unwatchable_) return;
    if (own_words_ == nullptr) {
        own_words_ = std::make_unique<WordSearch>(*words_);
        words_ = own_words_.get();
    }
    if (!own_words_->add(word, true)) unwatchable_ = true;
}

void FindingContext::statement_import(std::int64_t line, std::int64_t column, std::string_view) {
    // A simple import read without tokens: a logical line of its own.
    close_blocks(column > 0 ? static_cast<std::uint64_t>(column - 1) : 0, false);
    token_line_ = line;
    place_up_to(line, column);
}

void FindingContext::close_blocks(std::uint64_t indent, bool clause) {
    while (!blocks_.empty() && blocks_.back().indent > indent) blocks_.pop_back();
    if (!blocks_.empty() && blocks_.back().indent == indent) {
        Block& top = blocks_.back();
        if (top.kind == Kind::try_body && clause) {
            top.in_body = false;
        } else {
            blocks_.pop_back();
        }
    }
}

void FindingContext::restrict(std::string module, std::vector<std::string> allowed) {
    std::vector<std::string>& chains = restricted_[std::move(module)];
    chains.insert(chains.end(), std::make_move_iterator(allowed.begin()), std::make_move_iterator(allowed.end()));
}

bool FindingContext::unfollowed(std::string_view module) const {
    return std::find(unfollowed_.begin(), unfollowed_.end(), module) != unfollowed_.end();
}

const std::string* FindingContext::restricted_root(std::string_view chain) const {
    for (const auto& [module, allowed] : restricted_) {
        if (chain.size() >= module.size() && chain.compare(0, module.size(), module) == 0 &&
            (chain.size() == module.size() || chain[module.size()] == '.')) {
            return &module;
        }
    }
    return nullptr;
}

const std::string* FindingContext::allowed_for(const std::string& module, std::string_view chain) const {
    const auto found = restricted_.find(module);
    if (found == restricted_.end()) return nullptr;
    for (const std::string& allowed : found->second) {
        if (chain.size() >= allowed.size() && chain.compare(0, allowed.size(), allowed) == 0 &&
            (chain.size() == allowed.size() || chain[allowed.size()] == '.')) {
            return &allowed;
        }
    }
    return nullptr;
}

std::uint8_t FindingContext::current_flags() const noexcept {
    std::uint8_t flags = 0;
    for (const Block& block : blocks_) {
        if (!block.active) continue;
        switch (block.kind) {
            case Kind::function: flags |= function; break;
            case Kind::class_body: flags |= class_body; break;
            case Kind::type_checking: flags |= type_checking; break;
            case Kind::main: flags |= main; break;
            default: break;
        }
    }
    for (const Lambda& lambda : lambdas_) {
        if (lambda.active) flags |= function;
    }
    return flags;
}

void FindingContext::place_up_to(std::int64_t line, std::int64_t column) {
    while (next_ < order_.size()) {
        const std::size_t index = order_[next_];
        const Place& place = places_[index];
        if (std::tie(place.line, place.column) > std::tie(line, column)) break;
        // A place on a line passed over (a finding other than an import)
        // stands where nothing was read.
        flags_[index] = place.line == line || place.line == token_line_ ? current_flags() : std::uint8_t{unknown};
        for (Block& block : blocks_) {
            if (block.kind == Kind::try_body && block.active && block.in_body) block.inside.push_back(index);
        }
        ++next_;
    }
}

bool FindingContext::settled() const noexcept {
    if (next_ < order_.size() || !restricted_.empty() || watch_type_checking_) return false;
    return std::none_of(blocks_.begin(), blocks_.end(), [](const Block& block) { return !block.inside.empty(); });
}

void FindingContext::line_start(std::int64_t, std::uint64_t indent) {
    at_line_start_ = true;
    statement_start_ = true;
    indent_ = indent;
    depth_ = 0;
    lambdas_.clear();
}

void FindingContext::first_token(const Token& token) {
    // A line less indented than a block's body closes it; one as indented
    // as its header too, but for the clauses that go on a try.
    close_blocks(indent_, token.kind == TokenKind::keyword &&
                              (token.text == "except" || token.text == "else" || token.text == "finally"));
    in_header_ = false;
    if_header_ = false;
    except_clause_ = false;
    header_tokens_ = 0;
    if (token.kind != TokenKind::keyword) return;
    Kind kind = Kind::other;
    if (token.text == "def") {
        kind = Kind::function;
    } else if (token.text == "class") {
        kind = Kind::class_body;
    } else if (token.text == "try") {
        kind = Kind::try_body;
        if (!clauses_watched_) {
            clauses_watched_ = true;
            for (const std::string_view word : {"except", "finally"}) {
                watch_word(word);
            }
        }
    } else if (token.text == "if" || token.text == "elif") {
        if_header_ = true;
        cond_size_ = 0;
        cond_plain_ = true;
    } else if (token.text == "async") {
        kind = Kind::other;  // `async def` is told by the next token
    } else if (token.text == "except" && !blocks_.empty() && blocks_.back().kind == Kind::try_body &&
               blocks_.back().indent == indent_) {
        except_clause_ = true;
        except_named_ = except_catches_ = except_after_as_ = false;
        in_header_ = true;
        return;
    } else {
        return;
    }
    in_header_ = true;
    header_kind_ = kind;
    if (token.text == "async") return;  // pushed at `def`, if it comes
    blocks_.push_back(Block{kind, indent_, false, true, {}});
}

void FindingContext::close_header() {
    in_header_ = false;
    if (except_clause_) {
        except_clause_ = false;
        if (!except_named_ || except_catches_) {
            Block& top = blocks_.back();
            for (const std::size_t index : top.inside) {
                if ((index & kUse) != 0) {
                    uses_[index & ~kUse].flags |= optional;
                } else {
                    flags_[index] |= optional;
                }
            }
            top.inside.clear();
        }
        return;
    }
    if (if_header_) {
        if_header_ = false;
        Kind kind = Kind::other;
        if (cond_plain_ && cond_size_ == 1 && cond_[0] == kTypeChecking) {
            kind = Kind::type_checking;
            tc_name_form_used_ = true;
            ++tc_allowed_;
        } else if (cond_plain_ && cond_size_ == 3 && cond_[1] == "." && cond_[2] == kTypeChecking &&
                   std::find(typing_names_.begin(), typing_names_.end(), cond_[0]) != typing_names_.end()) {
            kind = Kind::type_checking;
        } else if (cond_plain_ && cond_size_ == 3 && cond_[1] == "==" &&
                   ((cond_[0] == "__name__" && cond_[2] == "'__main__") ||
                    (cond_[2] == "__name__" && cond_[0] == "'__main__"))) {
            kind = Kind::main;
        }
        if (kind != Kind::other) blocks_.push_back(Block{kind, indent_, true, true, {}});
        return;
    }
    if (!blocks_.empty() && blocks_.back().indent == indent_ && !blocks_.back().active) blocks_.back().active = true;
}

void FindingContext::token(const Token& token) {
    if (at_line_start_) {
        at_line_start_ = false;
        first_token(token);
    } else if (in_header_ && header_kind_ == Kind::other && !except_clause_ &&
               !if_header_ && header_tokens_ == 1 && is_word(token, "def")) {
        header_kind_ = Kind::function;
        blocks_.push_back(Block{Kind::function, indent_, false, true, {}});
    }
    ++header_tokens_;
    place_up_to(token.line, token.column);
    token_line_ = token.line;

    // A use of a restricted module's name goes on through its attributes.
    bool attribute = previous_dot_;
    if (use_ != nullptr) {
        if (use_after_dot_ && token.kind == TokenKind::name) {
            use_chain_ += '.';
            use_chain_ += token.text;
            use_after_dot_ = false;
        } else if (!use_after_dot_ && is_op(token, Op::dot)) {
            use_after_dot_ = true;
        } else {
            end_use(&token);
        }
    }

    // Brackets, lambdas and the colon that ends a header.
    bool colon_ends_statement = false;
    if (opens(token)) {
        ++depth_;
    } else if (closes(token)) {
        if (depth_ > 0) --depth_;
        while (!lambdas_.empty() && lambdas_.back().depth > depth_) lambdas_.pop_back();
    } else if (is_word(token, "lambda")) {
        lambdas_.push_back(Lambda{depth_, false});
    } else if (is_op(token, Op::comma) || is_word(token, "for")) {
        while (!lambdas_.empty() && lambdas_.back().depth == depth_ && lambdas_.back().active) lambdas_.pop_back();
    } else if (is_op(token, Op::colon)) {
        while (!lambdas_.empty() && lambdas_.back().depth == depth_ && lambdas_.back().active) lambdas_.pop_back();
        if (!lambdas_.empty() && lambdas_.back().depth == depth_ && !lambdas_.back().active) {
            lambdas_.back().active = true;
        } else if (depth_ == 0) {
            if (in_header_) close_header();
            colon_ends_statement = true;
        }
    } else if (is_op(token, Op::semicolon)) {
        lambdas_.clear();
    }

    // The parts of a header read as they come.
    if (in_header_ && !colon_ends_statement) {
        if (except_clause_) {
            if (token.kind == TokenKind::keyword && token.text == "as") {
                except_after_as_ = true;
            } else if (token.kind == TokenKind::name && !except_after_as_) {
                except_named_ = true;
                if (catches_import_error(token.text)) except_catches_ = true;
            }
        } else if (if_header_ && header_tokens_ > 1) {
            std::string part;
            if (token.kind == TokenKind::name) {
                part = std::string(token.text);
            } else if (is_op(token, Op::dot)) {
                part = ".";
            } else if (token.kind == TokenKind::op && token.op == Op::other && token.int_value == 2) {
                part = "==";
            } else if (token.kind == TokenKind::string && token.str_literal) {
                part = "'" + std::string(token.text);
            } else {
                cond_plain_ = false;
            }
            if (cond_plain_) {
                if (cond_size_ == 3) {
                    cond_plain_ = false;
                } else {
                    cond_[cond_size_++] = std::move(part);
                }
            }
        }
    }

    // What may change TYPE_CHECKING.
    if (token.kind == TokenKind::name && token.text == kTypeChecking) {
        if (!attribute) {
            ++tc_appearances_;
        } else {
            tc_attribute_pending_ = !(if_header_ && in_header_);
            if (previous_target_) tc_changed_ = true;
        }
    } else if (tc_attribute_pending_) {
        tc_attribute_pending_ = false;
        if (is_op(token, Op::assign) || (token.kind == TokenKind::op && token.op == Op::other && token.int_value == 1) ||
            (is_op(token, Op::colon) && !colon_ends_statement) || is_op(token, Op::comma)) {
            tc_changed_ = true;
        }
    }
    if (token.kind == TokenKind::string && !statement_start_ && token.text.find(kTypeChecking) != std::string_view::npos) {
        tc_changed_ = true;
    }
    setattr_token(token);

    // Import statements, and the uses of restricted names.
    statement_token(token);
    if (use_ == nullptr && !attribute && token.kind == TokenKind::name && import_ == Import::none && !bound_.empty()) {
        const auto found = bound_.find(std::string(token.text));
        if (found != bound_.end()) {
            use_ = &found->second;
            use_chain_ = found->second.chain;
            use_line_ = token.line;
            use_column_ = token.column;
            use_flags_ = current_flags();
            use_after_dot_ = false;
            use_keyword_ = depth_ > 0;
        }
    }

    previous_dot_ = is_op(token, Op::dot);
    previous_target_ = token.kind == TokenKind::keyword &&
                       (token.text == "del" || token.text == "as" || token.text == "for" || token.text == "global");
    statement_start_ = colon_ends_statement || is_op(token, Op::semicolon);
}

void FindingContext::setattr_token(const Token& token) {
    // A setattr on typing (or on what sys.modules holds) with a name that
    // is no constant, or is TYPE_CHECKING, may change it for every file.
    switch (setattr_state_) {
        case 0:
            if (token.kind == TokenKind::name && !previous_dot_ &&
                (token.text == "setattr" || token.text == "__setattr__")) {
                setattr_state_ = 1;
            }
            return;
        case 1:
            if (is_op(token, Op::lparen)) {
                setattr_state_ = 2;
                setattr_depth_ = depth_;
                setattr_typing_ = false;
                setattr_tokens_ = 0;
                setattr_constant_ = false;
            } else {
                setattr_state_ = 0;
            }
            return;
        default: break;
    }
    if (depth_ < setattr_depth_) {  // the call closed
        if (setattr_state_ == 3 && setattr_typing_ && !setattr_constant_) tc_changed_ = true;
        setattr_state_ = 0;
        return;
    }
    const bool own_level = depth_ == setattr_depth_;
    if (own_level && is_op(token, Op::comma)) {
        if (setattr_state_ == 3) {
            if (setattr_typing_ && !setattr_constant_) tc_changed_ = true;
            setattr_state_ = 4;
        } else if (setattr_state_ == 2) {
            setattr_state_ = 3;
        }
        return;
    }
    if (setattr_state_ == 2) {
        if (token.kind == TokenKind::name &&
            (token.text == "modules" ||
             std::find(typing_names_.begin(), typing_names_.end(), token.text) != typing_names_.end())) {
            setattr_typing_ = true;
        }
        if (token.kind == TokenKind::string && token.text.find("typing") != std::string_view::npos) {
            setattr_typing_ = true;
        }
    } else if (setattr_state_ == 3) {
        ++setattr_tokens_;
        setattr_constant_ = setattr_tokens_ == 1 && token.kind == TokenKind::string && token.text != kTypeChecking;
    }
}

void FindingContext::statement_token(const Token& token) {
    if (import_ == Import::none) {
        if (!statement_start_ || token.kind != TokenKind::keyword) return;
        if (token.text == "import") {
            import_ = Import::plain;
        } else if (token.text == "from") {
            import_ = Import::from_module;
            import_relative_ = false;
        } else {
            return;
        }
        import_module_.clear();
        import_name_.clear();
        import_alias_.clear();
        import_after_as_ = false;
        import_line_ = token.line;
        import_column_ = token.column;
        return;
    }
    if (is_op(token, Op::semicolon)) {
        end_binding();
        import_ = Import::none;
        return;
    }
    switch (import_) {
        case Import::plain:
        case Import::from_names:
            if (token.kind == TokenKind::name) {
                std::string& into = import_after_as_  ? import_alias_
                                    : import_ == Import::plain ? import_module_
                                                               : import_name_;
                into += token.text;
            } else if (is_op(token, Op::dot) && import_ == Import::plain && !import_after_as_) {
                import_module_ += '.';
            } else if (token.kind == TokenKind::keyword && token.text == "as") {
                import_after_as_ = true;
            } else if (is_op(token, Op::comma)) {
                end_binding();
            } else if (is_op(token, Op::star) && import_ == Import::from_names) {
                if (!import_relative_) {
                    if (const std::string* root = restricted_root(import_module_)) unfollowed_.push_back(*root);
                }
            }
            return;
        case Import::from_module:
            if (token.kind == TokenKind::keyword && token.text == "import") {
                import_ = Import::from_names;
            } else if (token.kind == TokenKind::name) {
                import_module_ += token.text;
            } else if (is_op(token, Op::dot) || is_op(token, Op::ellipsis)) {
                if (import_module_.empty()) {
                    import_relative_ = true;
                } else {
                    import_module_ += '.';
                }
            }
            return;
        case Import::none: return;
    }
}

void FindingContext::end_binding() {
    const bool plain = import_ == Import::plain;
    std::string module = std::move(import_module_);
    std::string name = std::move(import_name_);
    std::string alias = std::move(import_alias_);
    import_alias_.clear();
    import_name_.clear();
    import_after_as_ = false;
    if (plain) {
        import_module_.clear();
    } else {
        import_module_ = module;  // the from-statement's module stays for its next name
    }
    if (plain ? module.empty() : name.empty()) return;
    if (plain) {
        const std::size_t dot = module.find('.');
        const std::string root = module.substr(0, dot);
        if (root == "typing" || (!alias.empty() && module == "typing")) {
            if (alias.empty()) {
                typing_names_.push_back("typing");
            } else if (module == "typing") {
                typing_names_.push_back(alias);
            }
        }
        if (restricted_root(module) != nullptr) {
            statements_.push_back(Place{import_line_, import_column_});
            if (alias.empty()) {
                bind(root, root, false);
            } else {
                bind(alias, module, !alias.empty() && module.find('.') != std::string::npos);
            }
        }
        return;
    }
    if (import_relative_) return;
    if (module == "typing" && name == kTypeChecking && alias.empty()) {
        tc_imported_ = true;
        ++tc_allowed_;
    }
    if (restricted_root(module) != nullptr) {
        if (statements_.empty() || statements_.back().line != import_line_ ||
            statements_.back().column != import_column_) {
            statements_.push_back(Place{import_line_, import_column_});
        }
        bind(alias.empty() ? name : alias, module + "." + name, true);
    }
}

void FindingContext::bind(std::string name, std::string chain, bool judged_now) {
    const std::string* root = restricted_root(chain);
    if (root == nullptr) return;
    Bound bound{*root, chain, false};
    if (judged_now) {
        // `from os import path`, `import os.path as p`: the binding takes
        // the chain itself.
        const std::string* allowed = allowed_for(*root, chain);
        const bool escapes = allowed != nullptr && check_ != nullptr &&
                             check_->escapes(chain, *allowed, false);
        if (allowed == nullptr || escapes) {
            add_use(Use{*root, chain, import_line_, import_column_, current_flags()});
            bound.judged_out = true;
        } else {
            note_allowed(*allowed);
        }
    }
    // Its every use is read as tokens from here on.
    watch_word(name);
    bound_[std::move(name)] = std::move(bound);
}

void FindingContext::note_allowed(const std::string& chain) {
    if (std::find(used_allowed_.begin(), used_allowed_.end(), chain) == used_allowed_.end()) {
        used_allowed_.push_back(chain);
    }
}

void FindingContext::end_use(const Token* ending) {
    const Bound* bound = use_;
    use_ = nullptr;
    if (bound == nullptr || bound->judged_out) return;
    const bool extended = use_chain_.size() > bound->chain.size();
    // `f(os=1)`: a keyword argument's name, no use.
    if (use_keyword_ && !extended && ending != nullptr && is_op(*ending, Op::assign)) return;
    const std::string* allowed = allowed_for(bound->module, use_chain_);
    bool fine = allowed != nullptr;
    if (fine && check_ != nullptr) {
        fine = !check_->escapes(use_chain_, *allowed, use_chain_.size() == allowed->size());
    }
    if (fine) {
        note_allowed(*allowed);
        return;
    }
    add_use(Use{bound->module, use_chain_, use_line_, use_column_, use_flags_});
}

void FindingContext::add_use(Use use) {
    // A use in a try's body is optional as the imports there are, once a
    // handler says so.
    for (Block& block : blocks_) {
        if (block.kind == Kind::try_body && block.active && block.in_body) block.inside.push_back(kUse | uses_.size());
    }
    uses_.push_back(std::move(use));
}

void FindingContext::newline() {
    end_use(nullptr);
    if (import_ != Import::none) {
        end_binding();
        import_ = Import::none;
    }
    in_header_ = false;
    if_header_ = false;
    except_clause_ = false;
    lambdas_.clear();
    tc_attribute_pending_ = false;
    setattr_state_ = 0;
}

void FindingContext::end() {
    newline();
    place_up_to(INT64_MAX, INT64_MAX);
    const bool trusted = watch_type_checking_ && !tc_changed_ && tc_appearances_ == tc_allowed_ &&
                         (!tc_name_form_used_ || tc_imported_);
    if (!trusted) {
        for (std::uint8_t& flags : flags_) flags &= static_cast<std::uint8_t>(~type_checking);
    }
}

}  // namespace scanner_core
