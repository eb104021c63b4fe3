// Names bound to followed modules: by import statements (bind_module), by
// assignments and `:=` whose value is such a module (`l = logging`,
// `h = logging.handlers`), and by the texts run as code, which share the
// file's globals; and the namespaces of those modules taken by `vars(m)`
// and read by a constant key (`vars(logging)["os"]`, `.get("os")`).
//
// Members of ImportFinder (import_finder.hpp); the lines that bind or use
// such a name are read as tokens, the word search looking for each name.

#include <algorithm>
#include <string>
#include <string_view>
#include <utility>

#include "audit/import_finder.hpp"

namespace scanner_core {

const std::string* ImportFinder::Bindings::module(std::string_view name) const {
    std::string key;
    for (const Bindings* layer = this; layer != nullptr; layer = layer->below) {
        if (layer->modules.empty()) continue;
        if (key.empty()) key.assign(name);
        const auto found = layer->modules.find(key);
        if (found != layer->modules.end()) return &found->second;
    }
    return nullptr;
}

bool ImportFinder::Bindings::any_module() const noexcept {
    for (const Bindings* layer = this; layer != nullptr; layer = layer->below) {
        if (!layer->modules.empty()) return true;
    }
    return false;
}

void ImportFinder::Bindings::bind(const std::string& name, std::string_view module) {
    const auto [at, added] = modules.try_emplace(name, module);
    if (!added) {
        if (at->second == module) return;
        at->second.assign(module);
    }
    newly_bound.push_back(name);
}

void ImportFinder::bind_module(std::string name, std::string_view module) {
    // What is held follows the names a plugin binds, which no plugin binds by
    // the ten thousand: past that the file fails rather than hold them all.
    constexpr std::size_t kMostModuleNames = 10000;
    // A text's finder binds in the bindings it shares: the file's, or a reading's layer of them.
    Bindings& layer = bindings_;
    if (layer.modules.size() >= kMostModuleNames && layer.modules.count(name) == 0) {
        mark_unjudgeable("trop de noms liés à des modules suivis", statement_line_);
        return;
    }
    layer.bind(name, module);
    watch_bound_modules();
}

void ImportFinder::watch_bound_modules() {
    if (nesting_ > 0) {
        // A text's own lexer reads all its lines once it binds a name: texts
        // are short, and the file's finder watches the name from the call on.
        if (!bindings_.newly_bound.empty()) unwatchable_ = true;
        return;
    }
    // The list is emptied as it is read: it holds what was bound since.
    std::vector<std::string> names;
    names.swap(bindings_.newly_bound);
    for (const std::string& name : names) {
        if (const std::string* module = bindings_.module(name)) watch_module(name, *module);
    }
}

void ImportFinder::watch_module(const std::string& name, const std::string& module) {
    // Bound again: the watched name's module is what its uses are checked against.
    bool watched = false;
    for (std::size_t k = 0; k < watched_modules_.size(); ++k) {
        if (!watched_modules_[k].module.empty() && std::string_view(watched_.word(k)) == name) {
            watched = true;
            if (watched_modules_[k].module != module) watch_as(watched_modules_[k], module);
        }
    }
    if (watched || unwatchable_) return;
    const bool ascii = std::all_of(name.begin(), name.end(), [](char c) { return (c & 0x80) == 0; });
    if (!ascii || !watched_.add(name, true)) {
        unwatchable_ = true;
        return;
    }
    watch_as(watched_modules_.emplace_back(), module);
}

// --- bindings other than by an import statement -----------------------------

void ImportFinder::reset_shape() noexcept {
    shape_ = StatementShape{};
    targets_.clear();
    walruses_.clear();
}

// Before the token moves the frames: what the statement at depth 1 has
// been so far (its targets, whether it is a def or led by a keyword), the
// parameter list of a def, and the values of `:=`.
void ImportFinder::track_bindings(const Token& token) {
    const std::size_t depth = reading_->depth;
    const bool op = token.kind == TokenKind::op;
    // A value of `:=` ends at a comma, a colon or a closing bracket of its
    // own depth, or below it, and before a comprehension's `for`.
    while (!walruses_.empty()) {
        Walrus& walrus = walruses_.back();
        const bool clause = token.kind == TokenKind::keyword &&
                            (token.text == "for" || token.text == "async");
        const bool ends = depth < walrus.depth ||
                          (depth == walrus.depth &&
                           (clause || (op && (token.op == Op::comma || token.op == Op::rparen ||
                                              token.op == Op::rbracket || token.op == Op::rbrace ||
                                              token.op == Op::colon || token.op == Op::semicolon))));
        if (!ends) {
            if (!walrus.started && depth == walrus.depth) {
                walrus.started = true;
                walrus.line = token.line;
                walrus.column = token.column;
            }
            break;
        }
        end_walrus(walrus.depth);
    }
    if (op && token.op == Op::walrus && top().shape == Shape::name && top().chain && seen_bindings().any_module()) {
        walruses_.push_back({depth, std::string(value_of(top())), false, 0, 0});
        return;
    }
    // A def's parameter list: a parameter's annotation begins at its colon,
    // its default at `=`, and both end at a comma.
    if (shape_.parameters != 0 && depth == shape_.parameters && token.kind == TokenKind::keyword &&
        token.text == "lambda") {
        ++shape_.parameter_lambdas;  // its colon is no annotation's
    }
    if (shape_.parameters != 0 && depth == shape_.parameters && op) {
        if (token.op == Op::assign || token.op == Op::comma || token.op == Op::rparen) end_annotation();
        if (token.op == Op::assign) shape_.parameter_default = true;
        if (token.op == Op::comma) shape_.parameter_default = false;
        if (token.op == Op::rparen) shape_.parameters = 0;
        if (token.op == Op::colon && shape_.parameter_lambdas > 0) {
            --shape_.parameter_lambdas;
        } else if (token.op == Op::colon && !shape_.parameter_default && annotation_depth_ == 0) {
            annotation_depth_ = depth;
        }
    }
    if (depth != 1) return;
    StatementShape& shape = shape_;
    const bool keyword = token.kind == TokenKind::keyword && token.keyword != Keyword::constant;
    if (shape.start) {
        shape.start = false;
        shape.keyword_led = keyword;
    }
    if (keyword && token.keyword == Keyword::def_ && (shape.tokens == 0 || (shape.tokens == 1 && shape.keyword_led))) {
        shape.def = true;
    }
    if (shape.def && op && token.op == Op::lparen && shape.parameters == 0 && annotation_depth_ == 0) {
        shape.parameters = 2;  // the depth inside it
        shape.parameter_default = false;
    }
    if (keyword && token.text == "lambda") ++shape.lambdas;
    ++shape.tokens;
    if (shape.segment) {
        shape.segment = false;
        shape.segment_tokens = 0;
        shape.segment_line = token.line;
        shape.segment_column = token.column;
    }
    // One name, in parentheses or not: `(l) = logging` binds l.
    const bool lone = shape.segment_tokens == 1 && top().shape == Shape::name && top().chain &&
                      top().chain_line == shape.segment_line && top().chain_column == shape.segment_column;
    ++shape.segment_tokens;
    if (!op) return;
    if (token.op == Op::other && token.int_value == 3 && shape.def && annotation_depth_ == 0) {
        annotation_depth_ = 1;  // `-> ...` up to the header's colon
        return;
    }
    if (token.op == Op::assign) {
        if (shape.annotated) end_annotation();
        // `a = b = value`: each lone name before a `=` is a target; an annotation is none.
        if (lone && !shape.annotated && !shape.keyword_led && seen_bindings().any_module()) {
            add_target(value_of(top()));
        }
        shape.annotated = false;
        shape.assigned = true;
        shape.segment = true;
    } else if (token.op == Op::colon && shape.lambdas > 0) {
        --shape.lambdas;  // a lambda's, at the line's depth: `f = lambda: 0`, `assert x, lambda: 0`
    } else if (token.op == Op::colon) {
        const bool header = shape.keyword_led || shape.def || (pattern_ && reading_->depth == pattern_depth_);
        if (header) {
            // `if x: l = logging`: a statement begins after the header.
            end_annotation();
            reset_shape();
            return;
        }
        if (!shape.assigned && !shape.colon) {
            // `l: Any = logging`: the target, then its annotation up to the `=`.
            shape.colon = true;
            shape.annotated = true;
            annotation_depth_ = 1;
            if (lone && seen_bindings().any_module()) add_target(value_of(top()));
        }
    }
}

void ImportFinder::add_target(std::string_view name) {
    // As many as bind_module holds: a statement of more targets fails the
    // file rather than hold them all.
    constexpr std::size_t kMostTargets = 10000;
    if (targets_.size() >= kMostTargets) {
        mark_unjudgeable("trop de noms liés à des modules suivis", shape_.segment_line);
        return;
    }
    targets_.emplace_back(name);
}

void ImportFinder::end_walrus(std::size_t depth) {
    Walrus walrus = std::move(walruses_.back());
    walruses_.pop_back();
    if (!walrus.started || depth > reading_->depth) return;
    const Frame& frame = reading_->frames[depth - 1];
    // The value is one name or chain of attributes from its first token on.
    if (!frame.chain || frame.chain_line != walrus.line || frame.chain_column != walrus.column ||
        frame.reach.empty() || !follows(frame.reach)) {
        return;
    }
    bind_module(std::move(walrus.name), frame.reach);
}

void ImportFinder::end_assignment() {
    while (!walruses_.empty()) end_walrus(walruses_.back().depth);
    if (targets_.empty() || reading_->depth != 1 || shape_.segment) return;
    const Frame& frame = reading_->frames[0];
    if (!frame.chain || frame.chain_line != shape_.segment_line || frame.chain_column != shape_.segment_column ||
        frame.reach.empty() || !follows(frame.reach)) {
        return;
    }
    const std::string module = frame.reach;
    for (std::string& target : targets_) bind_module(std::move(target), module);
    targets_.clear();
}

// --- namespaces taken by vars and read by a key -----------------------------

void ImportFinder::end_namespace_call(Frame& frame, Frame& outer) {
    if (frame.call_role == Role::vars) {
        // vars(logging): its namespace, read as `logging.__dict__` is.
        if (frame.positional == 1 && !frame.starred[0] && !frame.getattr_module.empty()) {
            outer.dict_module = std::move(frame.getattr_module);
            outer.dict_from_vars = true;
            outer.reach_via = std::move(frame.getattr_via);
        }
        return;
    }
    // <namespace>.get(key, ...): the key taken as an attribute of the module.
    if (frame.getattr_module.empty()) return;
    if (frame.positional >= 1 && !frame.starred[0] && frame.first_constant && !frame.first_bytes &&
        !frame.first_unjudgeable) {
        follow_name(frame.getattr_module, frame.first_value, frame.getattr_via, frame.call_line, frame.call_column);
        return;
    }
    // What it takes from the module cannot be read from the file.
    std::string what = frame.callee + "(...)";
    sink().add({AuditedImport::Kind::dynamic_other, frame.call_line, std::move(what), 0, frame.call_column});
}

}  // namespace scanner_core
