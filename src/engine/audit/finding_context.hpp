// Where a file's findings stand, read from all its tokens once the audit
// has found them: in a function (a def or a lambda), a class body, a block
// only type checkers see (`if TYPE_CHECKING:`), an optional import (a try
// whose handler catches ImportError), or the script's main block
// (`if __name__ == "__main__":`). And, for the forbidden modules whose
// attributes the policy allows some of (`os.path`), every use the file
// makes of the names bound to them, each allowed or not.
//
// The blocks are told by the indentation of logical lines, as Python's
// tokenizer makes its INDENT and DEDENT tokens; the state is a stack as
// deep as the file's nesting, plus what it reports.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "kernels/word_search.hpp"
#include "lexical/python_token.hpp"

namespace scanner_core {

// What a chain of attributes that begins with an allowed one goes on to reach.
class ChainCheck {
public:
    // Whether `chain` (`os.path.os`, from an allowed `os.path`) lands on a
    // module the policy forbids or an object another forbidden module made,
    // through the table of what modules hold, past `allowed` (its allowed
    // beginning), or steps into the object graph there (`__globals__`), or,
    // when `bare`, is a module from which such a chain may start. Throws
    // std::bad_alloc only.
    virtual bool escapes(std::string_view chain, std::string_view allowed, bool bare) const = 0;

protected:
    ~ChainCheck() = default;
};

class FindingContext final : public TokenSink {
public:
    enum Flag : std::uint8_t {
        function = 1,
        class_body = 2,
        type_checking = 4,
        optional = 8,
        main = 16,
        unknown = 64,  // the place's line was passed over without tokens
    };
    struct Place {
        std::int64_t line = 0;
        std::int64_t column = 0;  // 1-based code points; 0: the line's start
    };
    // A use of a name bound to a restricted module that no allowed chain covers.
    struct Use {
        std::string module;  // the restricted module
        std::string chain;   // from the module's name (`os.system`, `os`)
        std::int64_t line = 0;
        std::int64_t column = 0;
        std::uint8_t flags = 0;  // where it stands, as context() gives (type_checking left to the caller)
    };

    // The places whose context is asked for, in any order. Throws std::bad_alloc only.
    explicit FindingContext(std::vector<Place> places, const ChainCheck* check = nullptr);
    FindingContext(const FindingContext&) = delete;
    FindingContext& operator=(const FindingContext&) = delete;

    // `module` (a forbidden module) may be used through `allowed` chains
    // only (each dotted, beginning with `module`). Call before the tokens.
    // Throws std::bad_alloc only.
    void restrict(std::string module, std::vector<std::string> allowed);

    // The lines that cannot change a context are passed over: only those
    // with the words of a compound statement's header (`def`, `if`, `try`
    // and its clauses, ...), an import, or a name bound to a restricted
    // module are read as tokens.
    void statement_import(std::int64_t line, std::int64_t column, std::string_view module) override;
    void line_start(std::int64_t line, std::uint64_t indent) override;
    void token(const Token& token) override;
    void newline() override;
    void end() override;
    bool at_rest() const noexcept override { return !watch_type_checking_ && !unwatchable_; }
    const WordSearch* watched_names() const noexcept override { return words_; }
    bool wants_import_tokens(std::string_view module) const override { return restricted_root(module) != nullptr; }
    // A string's body matters in an `if` condition (`"__main__"`), and
    // anywhere where TYPE_CHECKING is watched.
    bool wants_string_body() const noexcept override { return watch_type_checking_ || (in_header_ && if_header_); }
    // Whether to look for what may change TYPE_CHECKING (changes_type_checking),
    // which costs the bodies of all strings. Call before the tokens. Never fails.
    void watch_type_checking() noexcept { watch_type_checking_ = true; }

    // Whether what is left of the text can change nothing asked: every
    // place is passed, no try that holds one waits for its handlers, and
    // neither uses nor TYPE_CHECKING are watched. The reading may stop
    // there, without end(). Never fails.
    bool settled() const noexcept;

    // After end (or once settled): the flags of place `index` (as given). Never fails.
    std::uint8_t context(std::size_t index) const noexcept { return flags_[index]; }
    // After end: the uses of restricted modules that no allowed chain
    // covers, in the order written (a binding's own chain is judged at
    // the import that makes it).
    const std::vector<Use>& uses() const noexcept { return uses_; }
    // After end: where the import statements of restricted modules begin.
    const std::vector<Place>& restricted_statements() const noexcept { return statements_; }
    // After end: the allowed chains the file used, each once, in the order first used.
    const std::vector<std::string>& used_allowed() const noexcept { return used_allowed_; }
    // After end: whether a restricted module was bound where its uses
    // cannot be followed (`from os import *`), with the line.
    bool unfollowed(std::string_view module) const;
    // Whether the file changes what TYPE_CHECKING is, for itself or for
    // the files that read typing's (`typing.TYPE_CHECKING = True`, a
    // setattr whose name is no constant, the word in a string). Never fails.
    bool changes_type_checking() const noexcept { return tc_changed_; }

private:
    enum class Kind : std::uint8_t { other, function, class_body, type_checking, main, try_body };
    struct Block {
        Kind kind = Kind::other;
        std::uint64_t indent = 0;
        bool active = false;   // its header's colon is passed: the body has begun
        bool in_body = true;   // a try: still in its body (not in a handler)
        std::vector<std::size_t> inside;  // a try: the places (and uses, kUse) in its body, until a handler says
    };
    // Marks an index in Block::inside as one of uses_, not of places_.
    static constexpr std::size_t kUse = ~(~std::size_t{0} >> 1);
    struct Lambda {
        int depth = 0;
        bool active = false;
    };
    // A name bound to a restricted module, or to a chain below one.
    struct Bound {
        std::string module;
        std::string chain;
        bool judged_out = false;  // its binding was refused already: its uses say nothing more
    };

    void first_token(const Token& token);
    void place_up_to(std::int64_t line, std::int64_t column);
    std::uint8_t current_flags() const noexcept;
    void close_header();
    void statement_token(const Token& token);
    void setattr_token(const Token& token);
    void end_binding();
    // `name` bound to `chain`; `judged_now`: the binding takes the chain
    // itself (`from os import path`), which is judged as a use.
    void bind(std::string name, std::string chain, bool judged_now);
    void note_allowed(const std::string& chain);
    // The use being read ends at `ending` (null: the line's end).
    void end_use(const Token* ending);
    void add_use(Use use);
    // The restricted module a chain is under, or null.
    const std::string* restricted_root(std::string_view chain) const;
    // The allowed chain `chain` is at or below, or null.
    const std::string* allowed_for(const std::string& module, std::string_view chain) const;

    std::vector<Place> places_;
    std::vector<std::size_t> order_;  // indices of places_ by position
    std::size_t next_ = 0;            // in order_
    std::vector<std::uint8_t> flags_;
    const ChainCheck* check_;

    // The words whose lines are read as tokens; too many (or a name that is
    // not ASCII) and every line is.
    // The headers' words are the calling thread's, shared by its readings
    // until one adds a word to its own copy.
    const WordSearch* words_;
    std::unique_ptr<WordSearch> own_words_;
    // Adds `word` to the words looked for; past their most, every line is read.
    void watch_word(std::string_view word);
    bool unwatchable_ = false;
    bool clauses_watched_ = false;  // a try was met: its clauses' words are looked for
    std::int64_t token_line_ = 0;  // the line of the last token
    // Closes the blocks a logical line at `indent` ends (`clause`: the line
    // goes on a try, which stays open).
    void close_blocks(std::uint64_t indent, bool clause);
    std::vector<Block> blocks_;
    std::vector<Lambda> lambdas_;
    bool at_line_start_ = false;
    std::uint64_t indent_ = 0;
    int depth_ = 0;
    bool previous_dot_ = false;
    bool previous_target_ = false;  // the last token: `del`, `as`, `for`, `global` (a target follows)
    // The header of a compound statement being read, up to its colon.
    bool in_header_ = false;
    Kind header_kind_ = Kind::other;
    bool if_header_ = false;
    int header_tokens_ = 0;
    // An `if` condition's tokens, while they may be one of the forms told
    // apart: a name, a name's attribute, `__name__ == "__main__"` (either way).
    std::string cond_[3];
    int cond_size_ = 0;
    bool cond_plain_ = true;
    bool except_clause_ = false;
    bool except_named_ = false;
    bool except_catches_ = false;
    bool except_after_as_ = false;

    // TYPE_CHECKING: the names typing's is bound to, typing's own names, and
    // whether every other appearance leaves it unchanged.
    std::vector<std::string> typing_names_;
    int tc_appearances_ = 0;  // of the name TYPE_CHECKING (not an attribute)
    int tc_allowed_ = 0;      // of those, in `from typing import TYPE_CHECKING` or a whole condition
    bool tc_imported_ = false;
    bool tc_name_form_used_ = false;  // `if TYPE_CHECKING:`
    bool tc_changed_ = false;
    bool watch_type_checking_ = false;
    bool tc_attribute_pending_ = false;  // `.TYPE_CHECKING` read: what follows tells an assignment
    int setattr_state_ = 0;  // 1: `setattr` read, 2: in its call, at the first argument, 3: at the second
    int setattr_depth_ = 0;
    int setattr_tokens_ = 0;
    bool setattr_constant_ = false;
    bool setattr_typing_ = false;  // its first argument names typing or sys.modules

    // Restricted modules and their allowed chains.
    std::unordered_map<std::string, std::vector<std::string>> restricted_;
    std::unordered_map<std::string, Bound> bound_;
    std::vector<Use> uses_;
    std::vector<std::string> used_allowed_;
    std::vector<std::string> unfollowed_;
    std::vector<Place> statements_;
    // An import statement being read.
    enum class Import : std::uint8_t { none, plain, from_module, from_names };
    Import import_ = Import::none;
    bool statement_start_ = false;
    std::string import_module_;  // a plain name being read, or the from-statement's module
    std::string import_name_;    // a from-statement's name
    std::string import_alias_;
    bool import_after_as_ = false;
    bool import_relative_ = false;
    std::int64_t import_line_ = 0;
    std::int64_t import_column_ = 0;
    // A use being read: its binding and the chain so far.
    const Bound* use_ = nullptr;
    std::string use_chain_;
    std::int64_t use_line_ = 0;
    std::int64_t use_column_ = 0;
    std::uint8_t use_flags_ = 0;
    bool use_after_dot_ = false;
    bool use_keyword_ = false;  // the name may be a keyword argument's (`f(os=1)`)
};

}  // namespace scanner_core
