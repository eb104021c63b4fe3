// The calls of standard functions that import what a constant argument
// names in data rather than in code (see import_finder.hpp): a pickle
// payload given to `pickle.loads`, read by pickle_globals.hpp, and a logging
// configuration given to `logging.config.dictConfig`.
#include <string>
#include <string_view>
#include <utility>

#include "audit/import_finder.hpp"
#include "audit/pickle_globals.hpp"
#include "policy/holding_table.hpp"

namespace scanner_core {

void ImportFinder::follow_path(std::string_view module, std::string_view dotted, std::string via, std::int64_t line,
                               std::int64_t column) {
    const ImportFilter* const filter = found_.filter();
    if (filter == nullptr) return;
    std::string at(module);
    while (!dotted.empty()) {
        const std::size_t dot = dotted.find('.');
        const std::string_view part = dotted.substr(0, dot);
        dotted = dot == std::string_view::npos ? std::string_view() : dotted.substr(dot + 1);
        const Holding* const held = holdings().holding_of(at, part);
        if (held == nullptr) return;  // the module's own: nothing further is followed
        via.append(".").append(part);
        if (filter->forbids(held->target)) {
            add_reached(held->target, std::move(via), line, column);
            return;
        }
        if (!held->is_module) return;
        at.assign(held->target);
    }
}

void ImportFinder::end_payload_call(Frame& frame) {
    // pickle.loads(data, /, ...): a str, or no argument, raises before anything is read.
    const bool given = frame.positional > 0 && !frame.starred[0];
    if (given && frame.first_constant && !frame.first_bytes) return;
    if (!given || !frame.first_constant) {
        sink().add({AuditedImport::Kind::dynamic_other, frame.call_line, frame.callee, 0, frame.call_column});
        return;
    }
    const std::int64_t line = frame.call_line;
    const std::int64_t column = frame.call_column;
    // find_class imports the module, then takes the name from it: by
    // getattr, or as a chain of attributes from protocol 4 on.
    const auto judge = [&](const std::string& module, const std::string& name, bool dotted) {
        if (module.empty() || module.front() == '.') return;  // __import__ raises: nothing is imported
        sink().add({AuditedImport::Kind::dynamic_constant, line, module, 0, column});
        // A forbidden module's import fails the file already: what it holds
        // adds nothing; the plugin's own modules are not the table's.
        const ImportFilter* const filter = found_.filter();
        if (filter == nullptr || filter->forbids(module) || filter->own(module)) return;
        if (dotted) {
            follow_path(module, name, module, line, column);
        } else {
            follow_name(module, name, module, line, column);
        }
    };
    read_pickle_globals(frame.first_value, [&](const PickleGlobal& global) {
        if (!global.known) {  // an object the payload does not name
            sink().add({AuditedImport::Kind::dynamic_other, line, frame.callee, 0, column});
            return;
        }
        judge(global.module, global.name, global.dotted);
        // fix_imports=False imports Python 2's names as they are.
        if (global.mapped && frame.fix_imports_keyword) judge(global.original_module, global.original_name, false);
    });
}

// --- logging.config.dictConfig ---------------------------------------------
//
// The configurator resolves the text of a `"()"` or `"class"` entry (of a
// handler, a formatter, a filter; a QueueHandler's `"queue"` and
// `"listener"` too) when it is no callable, and converts every text
// `ext://<path>` it takes from the configuration's dicts, lists and tuples:
// each names a dotted path it imports. The configuration is read only when
// each part of it is: constant keys, no `**`, values that fold to constants
// or are displays read in turn, and for the entries it resolves, the name
// of a callable of the file too; a `cfg://` reference there makes it
// resolve whatever text it refers to, which is not followed.

namespace {

// Whether the configurator converts `text`: `^(?P<prefix>[a-z]+)://(?P<suffix>.*)$`
// as re.match reads it, the suffix holding no line feed but one at its very end.
// No configuration resolves this many paths: past it, the call is a warning
// rather than hold them all until its end.
constexpr std::size_t kMostConfigTargets = 4096;

bool converted(std::string_view text, std::string_view& prefix, std::string_view& suffix) noexcept {
    std::size_t letters = 0;
    while (letters < text.size() && text[letters] >= 'a' && text[letters] <= 'z') ++letters;
    if (letters == 0 || text.substr(letters, 3) != "://") return false;
    prefix = text.substr(0, letters);
    suffix = text.substr(letters + 3);
    const std::size_t feed = suffix.find('\n');
    if (feed == std::string_view::npos) return true;
    if (feed != suffix.size() - 1) return false;
    suffix.remove_suffix(1);
    return true;
}

}  // namespace

void ImportFinder::reset_config_value(Frame& frame) noexcept {
    frame.config_tokens = 0;
    frame.config_names = frame.config_numbers = true;
    frame.config_display_value = frame.config_dict = false;
}

void ImportFinder::config_token(Frame& frame, const Token& token) noexcept {
    const bool op = token.kind == TokenKind::op;
    // The tokens that end a value or a display are not its own.
    if (op && (token.op == Op::rparen || token.op == Op::rbracket || token.op == Op::rbrace || token.op == Op::comma)) {
        return;
    }
    ++frame.config_tokens;
    // Parentheses leave the value what it is (what they hold is told at their end); a call ends it (on_open).
    if (op && token.op == Op::lparen) return;
    if (!(token.kind == TokenKind::name || (op && token.op == Op::dot))) frame.config_names = false;
    if (!(token.kind == TokenKind::number || (op && (token.op == Op::plus || token.op == Op::minus)))) {
        frame.config_numbers = false;
    }
}

void ImportFinder::config_value_end(Frame& frame, std::string_view key, bool keyed) {
    Frame& call = reading_->frames[frame.config_call];
    if (frame.keep_dict && !keyed) {  // `**other`, or a key computed at run time
        call.config_unreadable = true;
        return;
    }
    if (frame.config_tokens == 0) return;  // nothing after a trailing comma
    fold_settle(frame);
    const bool folded = frame.text == Constant::yes && !frame.text_unjudgeable && frame.operand != Folded::nothing;
    const bool resolved = keyed && (key == "()" || key == "class" || key == "queue" || key == "listener");
    if (folded && frame.operand == Folded::str) {
        if (call.config_targets.size() >= kMostConfigTargets) {
            call.config_unreadable = true;
            return;
        }
        std::string_view prefix;
        std::string_view suffix;
        if (!converted(frame.text_value, prefix, suffix)) {
            if (resolved) call.config_targets.emplace_back(frame.text_value);
        } else if (prefix == "ext") {
            call.config_targets.emplace_back(suffix);
        } else if (prefix == "cfg" && resolved) {
            // What it refers to is resolved in turn, any text of the configuration.
            call.config_unreadable = true;
        } else if (prefix != "cfg" && resolved) {  // no converter: the text is resolved as it is
            call.config_targets.emplace_back(frame.text_value);
        }
        return;
    }
    if (folded || (frame.config_tokens == 1 && frame.config_display_value)) return;  // no text; a display read
    if (frame.config_numbers) return;  // a number, which folding leaves aside when it is a float
    if (resolved && frame.config_names && frame.config_tokens % 2 == 1) return;  // a callable of the file
    call.config_unreadable = true;
}

void ImportFinder::judge_resolved(std::string_view path, std::int64_t line, std::int64_t column) {
    // resolve: the first part imported, each next one taken as an attribute,
    // or imported as a submodule when the module has no such attribute yet.
    const std::size_t dot = path.find('.');
    std::string module(path.substr(0, dot));
    if (module.empty()) return;  // __import__ raises: nothing is imported
    sink().add({AuditedImport::Kind::dynamic_constant, line, module, 0, column});
    if (dot == std::string_view::npos) return;
    // What a forbidden module holds adds nothing to its import; the plugin's own are not the table's.
    const ImportFilter* const filter = found_.filter();
    if (filter == nullptr || filter->forbids(module) || filter->own(module)) return;
    std::string_view rest = path.substr(dot + 1);
    std::string via = module;
    while (!rest.empty()) {
        const std::size_t next = rest.find('.');
        const std::string_view part = rest.substr(0, next);
        rest = next == std::string_view::npos ? std::string_view() : rest.substr(next + 1);
        const Holding* const held = holdings().holding_of(module, part);
        if (held == nullptr) return;  // the module's own, or a module outside the table
        via.append(".").append(part);
        const bool submodule = held->is_module && held->target.size() == module.size() + 1 + part.size() &&
                               held->target.substr(0, module.size()) == module;
        if (submodule) {
            sink().add({AuditedImport::Kind::dynamic_constant, line, std::string(held->target), 0, column});
            if (filter->forbids(held->target)) return;
        } else if (filter->forbids(held->target)) {
            add_reached(held->target, std::move(via), line, column);
            return;
        } else if (!held->is_module) {
            return;
        }
        module.assign(held->target);
    }
}

void ImportFinder::end_config_call(Frame& frame) {
    if (!frame.config_read || frame.config_unreadable) {
        sink().add({AuditedImport::Kind::dynamic_other, frame.call_line, frame.callee, 0, frame.call_column});
        return;
    }
    for (const std::string& target : frame.config_targets) judge_resolved(target, frame.call_line, frame.call_column);
}

}  // namespace scanner_core
