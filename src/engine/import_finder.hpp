// Finds, in the tokens of a Python source, every import it executes as the
// parser would see it: every name of `import a.b as c, d`, the module of
// every absolute `from m import x`, wherever the statement stands, and every
// call of __import__ or import_module (as a name or an attribute) with its
// name argument, constant or not.
//
// It follows only what that needs: the statement an import keyword belongs
// to; for each open bracket or replacement field, the primary expression
// (atom and trailers) that ends at the last token, so that a call is
// recognised by its callee and dated by the line where the expression
// starts, as the parser dates a call; the arguments of the calls it
// reports; and the blocks of match statements, whose class patterns look
// like calls and are not. The state is bounded by the nesting that Python
// allows, plus the names and strings it must report.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "line_skipper.hpp"
#include "python_lexer.hpp"
#include "found_imports.hpp"

namespace scanner_core {

class ImportFinder final : public StatementSink {
public:
    // Appends what it finds to `found`. Throws std::bad_alloc only, as do
    // the members below.
    explicit ImportFinder(FoundImports& found) : found_(found), apart_(found.filter()), subject_(found.filter()) {
        frames_.emplace_back();
        subject_frames_.emplace_back();
    }
    ImportFinder(const ImportFinder&) = delete;
    ImportFinder& operator=(const ImportFinder&) = delete;

    // An import statement that the line skipper read without tokens.
    void statement_import(std::int64_t line, std::string_view module) override {
        found_.add({AuditedImport::Kind::statement, line, std::string(module)});
    }

    // A logical line begins with its first token; `indent` is its column.
    void line_start(std::int64_t line, std::uint64_t indent);
    void token(const Token& token);
    // A logical line ends.
    void newline();
    // The text ends.
    void end();

    // Whether the lexer must keep the body of the next string: the finder
    // will need it.
    bool wants_string_body() const noexcept;

    // Whether the finder is between statements and in no match statement:
    // then a logical line that holds no import and no dynamic importer's
    // name changes nothing, and may be passed over.
    bool at_rest() const noexcept { return matches_.empty() && depth_ == 1 && import_step_ == ImportStep::idle; }

    // Set when the file needs Python's own reading to be judged: a name
    // argument written with an escape that names a character (\N{...}).
    // The reason is in French, as the messages that quote it.
    bool unjudgeable() const noexcept { return !unjudgeable_.empty(); }
    const std::string& unjudgeable_reason() const noexcept { return unjudgeable_; }
    std::int64_t unjudgeable_line() const noexcept { return unjudgeable_line_; }

private:
    enum class ImportStep : std::uint8_t {
        idle,
        plain_name,       // after `import` or a comma: a name
        plain_after,      // after a name: a dot, `as`, a comma or the end
        plain_name_part,  // after a dot: a name
        plain_alias,      // after `as`: the alias
        plain_aliased,    // after the alias: a comma or the end
        from_start,       // after `from`: dots or a name
        from_after,       // after the module name: a dot or `import`
        from_name_part,   // after a dot: a name
    };
    // What the primary expression that ends at the last token denotes.
    enum class Shape : std::uint8_t { name, attribute_of_name, attribute, other };
    // Whether a run of tokens is a constant: string literals (or ints), or
    // one such in parentheses.
    enum class Constant : std::uint8_t { empty, yes, grouped, no };

    struct Frame {
        enum class Kind : std::uint8_t { statement, group, call, subscript, display, field };
        Kind kind = Kind::statement;
        std::int64_t open_line = 0;
        // The primary expression ending at the last token.
        bool chain = false;
        bool after_dot = false;
        bool after_string = false;     // the expression is string literals so far, which may go on
        bool definition_name = false;  // the next name is the one `def` or `class` defines
        Shape shape = Shape::other;
        bool name_dynamic = false;       // shape name: the name is a dynamic importer's
        bool attribute_dynamic = false;  // shapes attribute*: the attribute's is
        std::int64_t chain_line = 0;
        std::string value_name;  // shape name: the name; attribute_of_name: the value's name
        std::string attribute;   // the attribute, when it is a dynamic importer's name
        // The content so far: of the bracket, or of the current argument of a call.
        bool empty = true;
        bool pure = true;  // one primary expression and nothing else
        bool comma = false;
        Constant text = Constant::empty;
        Constant integer = Constant::empty;
        bool integer_nonzero = false;
        bool keep_text = false;  // the value of a string constant here is needed
        bool text_unjudgeable = false;
        std::string text_value;
        // A call of a dynamic importer, and its arguments as the parser lists them.
        bool dynamic = false;
        std::string callee;
        std::int64_t call_line = 0;
        int tokens = 0;  // of the current argument
        int positional = 0;
        bool starred[5] = {};
        bool argument_keyword = false;
        bool argument_starred = false;
        bool argument_double_star = false;
        std::string keyword;  // the current argument's keyword, or the name that may be one
        bool first_constant = false;  // the first positional argument
        bool first_unjudgeable = false;
        std::string first_value;
        bool fifth_relative = false;  // the fifth positional argument: a level above 0
        bool name_keyword = false;    // the first name= argument
        bool name_constant = false;
        bool name_unjudgeable = false;
        std::string name_value;
        bool level_keyword = false;  // the first level= argument
        bool level_relative = false;
    };

    Frame& top() noexcept { return frames_[depth_ - 1]; }
    Frame& push(Frame::Kind kind, std::int64_t line);

    void import_token(const Token& token);
    void record_import(std::int64_t line, std::string module);
    void end_statement();

    // The token as part of an expression.
    void expression(const Token& token);
    void on_name(const Token& token);
    void on_atom(const Token& token, bool string_like);
    void on_string(const Token& token);
    void on_op(const Token& token);
    void on_open(const Token& token);
    void on_close();
    void start_argument(Frame& frame) noexcept;
    void end_argument(Frame& frame);
    void end_call(Frame& frame);
    void mark_unjudgeable(std::string reason, std::int64_t line);
    static bool keeps_string(const Frame& frame) noexcept;
    static void reset_statement(Frame& statement) noexcept;
    void read_as_subject(const Token& token);

    // The name as Python reads it: NFKC-normalised.
    static std::string normal_name(const Token& token);

    FoundImports& found_;
    std::vector<Frame> frames_;  // the first depth_ are open; the rest are kept for reuse
    std::size_t depth_ = 1;

    ImportStep import_step_ = ImportStep::idle;
    bool from_relative_ = false;
    std::int64_t statement_line_ = 0;
    std::string module_;

    // Logical lines and match statements.
    struct Match {
        std::uint64_t header_indent;
        std::uint64_t case_indent;
        bool case_indent_known;  // set by the first line of the block
    };
    std::vector<Match> matches_;
    std::uint64_t line_indent_ = 0;
    bool first_token_ = false;
    bool at_case_indent_ = false;
    bool line_is_match_ = false;
    bool last_is_colon_ = false;
    int line_tokens_ = 0;
    bool pattern_ = false;  // in the pattern of a case clause
    std::size_t pattern_depth_ = 0;

    std::string unjudgeable_;
    std::int64_t unjudgeable_line_ = 0;

    // A logical line that begins with the name `match` is a match statement
    // only if it ends with a colon, and its tokens mean something else then
    // (`match (f)(x):` calls f). Its tokens are read both ways at once: as
    // an expression statement, and as a subject (on a stack of frames of
    // its own), each reading's dynamic imports kept apart until the line's
    // end shows which one Python makes. Neither keeps tokens, so a line of
    // any length costs no more than the nesting and the findings.
    bool keeping_ = false;
    bool reading_subject_ = false;  // the frames are the subject's
    FoundImports apart_;            // the expression statement's
    FoundImports subject_;          // the subject's
    std::vector<Frame> subject_frames_;
    std::size_t subject_depth_ = 1;
    // The line of each reading's first name argument written with \N{...}, or 0.
    std::int64_t apart_unjudgeable_ = 0;
    std::int64_t subject_unjudgeable_ = 0;
};

}  // namespace scanner_core
