// Finds, in the tokens of a Python source, every import it executes as the
// parser would see it: every name of `import a.b as c, d`, the module of
// every absolute `from m import x`, wherever the statement stands, and every
// call of __import__ or import_module (as a name or an attribute) with its
// name argument, constant or not.
//
// It also follows the other doors to an importer: names bound to one by an
// import statement (`from importlib import import_module as im`), any other
// reference to one that is not a call (`f = __import__`, `getattr(b,
// "__import__")`, `__builtins__["__import__"]`, `__loader__`), relative
// names with their anchor, and the text given to exec, eval and compile,
// which it reads as Python source with a finder of its own. A name or text
// is constant when Python's compiler folds it to a constant
// (constant_fold.cpp).
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
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "audit/found_imports.hpp"
#include "audit/module_functions.hpp"
#include "lexical/python_token.hpp"
#include "policy/module_holdings.hpp"

namespace scanner_core {

class ImportFinder final : public TokenSink {
public:
    // Appends what it finds to `found`. Throws std::bad_alloc only, as do
    // the members below.
    explicit ImportFinder(FoundImports& found) : ImportFinder(found, 0, nullptr) {}
    ImportFinder(const ImportFinder&) = delete;
    ImportFinder& operator=(const ImportFinder&) = delete;

    // An import statement that the line skipper read without tokens.
    // A relative one comes with its leading dots.
    void statement_import(std::int64_t line, std::int64_t column, std::string_view module) override {
        std::uint64_t level = 0;
        while (level < module.size() && module[level] == '.') ++level;
        module.remove_prefix(level);
        if (found_.drops(module, level)) return;  // not copied to be dropped
        found_.add({AuditedImport::Kind::statement, line, std::string(module), level, column});
    }

    // The tokens of the text, as TokenSink says.
    void line_start(std::int64_t line, std::uint64_t indent) override;
    void token(const Token& token) override;
    void newline() override;
    void end() override;

    // Whether the string that begins is one the finder will read: a name
    // argument, or a text given to exec.
    bool wants_string_body() const noexcept override;
    // The text of a str literal's body, escapes read, into `out`; false
    // when it names a character (\N{...}). Throws std::bad_alloc only.
    static bool string_literal_value(const Token& token, std::string& out);

    // Whether the finder is between statements and in no match statement.
    // Once a name is bound to an importer or to builtins, any line may call
    // it: none may be passed over then.
    bool at_rest() const noexcept override {
        return matches_.empty() && reading_->depth == 1 && import_step_ == ImportStep::idle && bindings_.empty() &&
               !unwatchable_;
    }
    // The names bound to modules that reach a forbidden one: every line
    // that uses one is read as tokens, the others may still be passed over.
    const WordSearch* watched_names() const noexcept override { return watched_.empty() ? nullptr : &watched_; }
    // A use of a watched name matters unless its bytes show that it is part
    // of a longer name, the attribute of another value, or followed by an
    // attribute that its module does not hold under another name.
    bool watched_use(std::size_t word, const char* begin, const char* at, const char* end) const noexcept override;
    // Whether an import of `module` binds a name to a module that reaches
    // a forbidden one (or takes a name from it), which the tokens show.
    bool wants_import_tokens(std::string_view module) const override;

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
        from_names,       // after `from importlib import` or `from builtins import`: a name or `(`
        from_name_after,  // after an imported name: `as`, a comma or the end
        from_alias,       // after `as`: the alias
        from_aliased,     // after the alias: a comma or the end
    };
    // What a name or attribute gives: a function that imports (__import__,
    // import_module), one that runs text as code (exec, eval, compile),
    // getattr, a loader (which loads any file as a module), or a module's
    // __spec__ (whose attribute `loader` is one); vars, and the `get` of a
    // followed module's namespace, whose constant key is followed as an
    // attribute of the module. A function that reads a payload
    // (`pickle.loads`) or a logging configuration
    // (`logging.config.dictConfig`) for the modules it names is `payload` or
    // `configuration`.
    enum class Role : std::uint8_t {
        none, importer, module_importer, code, getattr, loader, module_spec, vars, dict_get, payload, configuration
    };
    // What the primary expression that ends at the last token denotes.
    enum class Shape : std::uint8_t { name, attribute_of_name, attribute, other };
    // Whether a run of tokens is a constant so far: for `text`, one that
    // folds (see Folded); for `integer`, an int literal, or one in
    // parentheses.
    enum class Constant : std::uint8_t { empty, yes, grouped, no };
    // What a run of tokens folds to, as Python's compiler folds constants:
    // a str, bytes, an int, None, or a tuple or list display of constants.
    enum class Folded : std::uint8_t { nothing, str, bytes, integer, none, tuple, list };

    // A frame's flags and numbers: trivially copied, so that a frame is reset
    // at the cost of a few stores.
    struct FrameFlags {
        enum class Kind : std::uint8_t { statement, group, call, subscript, display, field };
        Kind kind = Kind::statement;
        std::int64_t open_line = 0;
        std::int64_t open_column = 0;
        // The primary expression ending at the last token.
        bool chain = false;
        bool after_dot = false;
        bool after_string = false;     // the expression is string literals so far, which may go on
        bool definition_name = false;  // the next name is the one `def` or `class` defines
        Shape shape = Shape::other;
        bool name_dynamic = false;       // shape name: the name is a dynamic importer's
        bool attribute_dynamic = false;  // shapes attribute*: the attribute's is
        std::int64_t chain_line = 0;
        std::int64_t chain_column = 0;
        std::size_t value_at = 0;    // of value_lent, below
        std::size_t value_size = 0;
        // The content so far: of the bracket, or of the current argument of a call.
        bool empty = true;
        bool pure = true;  // one primary expression and nothing else
        bool comma = false;
        Constant text = Constant::empty;
        Constant integer = Constant::empty;
        bool integer_nonzero = false;
        bool keep_text = false;  // the value of a string constant here is needed
        bool text_unjudgeable = false;
        // The constant being folded (see fold_*): `text` says whether the
        // run folds so far. A sum of terms, each a product of operands; the
        // operand's text is text_value, the term's fold_term, the sum's
        // fold_sum. A display (a tuple or a list) gathers its elements.
        Folded operand = Folded::nothing;
        Folded term = Folded::nothing;
        Folded sum = Folded::nothing;
        bool expect = true;     // an operand is awaited
        bool times = false;     // the term waits for the right side of a `*`
        bool subtract = false;  // the term is to be subtracted from the sum (ints only)
        bool negative = false;  // unary minus signs before the operand, an odd count
        bool signed_operand = false;
        bool bracket_list = false;   // a display opened by `[` (not `{`)
        bool elements_ok = true;     // every element folds
        std::int64_t operand_int = 0;
        std::int64_t term_int = 0;
        std::int64_t sum_int = 0;
        std::uint64_t operand_points = 0;  // code points of a str, bytes of bytes
        std::uint64_t term_points = 0;
        std::uint64_t sum_points = 0;
        bool elements_unjudgeable = false;  // an element holds \N{...}
        bool first_bytes = false;     // the first positional argument is bytes
        bool name_bytes = false;      // so is the source= argument
        bool first_display = false;   // the first argument is `*` and a display whose first element folds
        bool fromlist_given = false;  // __import__'s fromlist: the fourth positional, or fromlist=
        bool fromlist_keyword = false;
        bool fromlist_constant = false;  // a display of constant texts (or None): their names are in fromlist
        bool dict_keys_known = true;   // every key of a dict display is a constant text
        bool dict_has_source = false;  // a dict display given as `**` to a code runner: its "source"
        bool dict_source_constant = false;
        bool dict_source_bytes = false;
        // A call of a dynamic importer, and its arguments as the parser lists them.
        bool dynamic = false;
        std::int64_t call_line = 0;
        std::int64_t call_column = 0;
        int tokens = 0;  // of the current argument
        int positional = 0;
        bool starred[5] = {};
        bool argument_keyword = false;
        bool argument_starred = false;
        bool argument_double_star = false;
        bool first_constant = false;  // the first positional argument
        bool first_unjudgeable = false;
        bool fifth_relative = false;  // the fifth positional argument: a level above 0
        bool name_keyword = false;    // the first name= argument
        bool name_constant = false;
        bool name_unjudgeable = false;
        bool level_keyword = false;  // the first level= argument
        bool level_relative = false;
        // What the doors need beyond that.
        Role role = Role::none;       // what the expression's name or attribute gives
        Role call_role = Role::none;  // a call: of what
        Role pending = Role::none;  // the expression is that and is not called (yet)
        std::int64_t pending_line = 0;
        std::int64_t pending_column = 0;
        std::uint64_t integer_value = 0;
        std::uint64_t fifth_level = 0;
        std::uint64_t level_value = 0;
        bool second_constant = false;  // the second positional argument: a constant text
        bool second_own_package = false;  // it is `__package__` or `globals()`
        bool second_dict = false;         // it is a dict display of constant texts only
        bool second_no_anchor = false;    // that dict gives no package
        bool package_keyword = false;     // the first package= argument
        bool package_constant = false;
        bool package_own = false;
        // A dict display: whether it holds constant texts only, and the
        // entries of a module's globals that make its package.
        bool keep_dict = false;
        bool dict_constant = true;
        bool dict_key_constant = false;
        bool dict_in_value = false;
        bool dict_has_package = false;
        bool dict_has_name = false;
        bool dict_has_path = false;
        // What a standard module's function the expression names, and what
        // its call's arguments are (see module_functions.hpp).
        const ModuleFunction* function = nullptr;
        const ModuleFunction* call_function = nullptr;  // a call: the function of the table it calls
        bool search_chain = false;       // the expression is a list of search paths (`sys.path`, `__path__`)
        bool modules_table = false;      // the expression is sys.modules
        bool modules_subscript = false;  // a subscript of sys.modules
        bool fix_imports_keyword = false;  // a payload's call: fix_imports= is given
        // A logging configuration's call, and the displays of its argument
        // (see payload_calls.cpp): `config` in both; `config_call`, the
        // call's frame; the current value or element: its tokens, whether
        // they are names and dots alone, numbers and signs alone, or one
        // display that was read (and a dict's); on the call, whether some part cannot be
        // read, and whether its argument was a display read whole.
        bool config = false;
        bool config_names = true;
        bool config_numbers = true;
        bool config_display_value = false;
        bool config_dict = false;  // that display is a dict's
        bool config_unreadable = false;
        bool config_read = false;
        int config_tokens = 0;
        std::size_t config_call = 0;
        bool dict_from_vars = false;     // dict_module is `vars(<name>)`, not `<name>.__dict__`
        bool dict_get = false;           // the expression is the `get` of dict_module's namespace
    };
    // A frame: its flags, and the texts it may gather, which a reset
    // empties and keeps the storage of (a push allocates nothing once
    // the frames are warm).
    struct Frame : FrameFlags {
        std::string value_name;  // shape name: the name; attribute_of_name: the value's name
        // value_name as lent, when the name was (see name_loan.hpp):
        // value_size bytes from value_at, value_name being empty.
        std::shared_ptr<std::string> value_lent;
        std::string attribute;   // the attribute, when it is a dynamic importer's name
        std::string text_value;  // the value of the constant text here, when kept
        std::string callee;      // a call of a dynamic importer: what it calls
        std::string keyword;  // the current argument's keyword, or the name that may be one
        std::string first_value;  // the texts of the arguments the flags above name
        std::string name_value;
        std::string pending_name;  // what `pending` names
        std::string second_value;
        std::string second_package;       // the package that dict gives
        std::string package_value;
        std::string dict_key;  // a dict display's current key, and the entries that make a package
        std::string dict_package;
        std::string dict_name;
        std::string last_name;  // the last name of the argument, for `__package__` and `globals()`
        // A chain of attributes from a name bound to a module that reaches
        // a forbidden one: the module it has reached so far (empty when the
        // expression is no such chain), and the chain as written.
        std::string reach;
        std::string reach_via;
        // getattr's first argument, a name bound to such a module: the module and the name.
        std::string getattr_module;
        std::string getattr_via;
        // The module whose `__dict__` the expression is (`logging.__dict__`).
        std::string dict_module;
        // A subscript: the module whose `__dict__` it is of.
        std::string keyed_module;
        // A logging configuration's call: the dotted paths its argument resolves.
        std::vector<std::string> config_targets;
        // The folding's texts (see above), a display's elements (each a
        // kind, a size and its bytes), the names of a constant fromlist,
        // and the source a `**` dict display gives.
        std::string fold_term;
        std::string fold_sum;
        std::string elements;
        std::string fromlist;
        std::string dict_source;

        // Blank again, as a new frame of `kind` opened at `line` and
        // `column`. Never fails.
        void reset(Kind kind, std::int64_t line, std::int64_t column) noexcept;
    };

    Frame& top() noexcept { return *reading_->top; }
    Frame& push(Frame::Kind kind, const Token& opening);

    void import_token(const Token& token);
    // import_token's phases: a statement's start, a plain import's modules,
    // a `from` statement's module, and the names it imports.
    void import_start(const Token& token, Keyword keyword);
    void plain_import_step(const Token& token, Keyword keyword);
    void from_module_step(const Token& token, Keyword keyword);
    void from_names_step(const Token& token, Keyword keyword);
    // An import of the statement being read.
    void record_import(std::string_view module, std::uint64_t level = 0);
    // The same for the statement's name, module_ or as lent, which it takes.
    void record_module(std::uint64_t level = 0);
    // The statement's name so far, and the same as a string of its own.
    std::string_view module_text() const noexcept;
    void own_module();
    // Takes a name token's text as the statement's name, or a dot and the
    // token's text as its next part.
    void take_module(const Token& token);
    void extend_module(const Token& token);
    // The name of a frame's value, held or lent.
    static std::string_view value_of(const Frame& frame) noexcept;
    void end_statement();

    // Names bound to modules, followed through the table of what modules
    // hold under the policy (holding_table.hpp).
    const HoldingTable& holdings() const noexcept;
    bool reaches(std::string_view module) const;
    void bind_module(std::string name, std::string_view module);
    // `from <from_module_> import imported as bound`.
    void follow_from(std::string_view imported, std::string_view bound);
    void follow_star();
    // Whether the filter keeps the names a `from` statement takes from
    // `module` at `level` (relative below the root, or the plugin's own).
    bool keeps_local_names(std::string_view module, std::uint64_t level) const;
    // A name the `from` statement takes from a module kept so.
    void record_local_name(std::string_view name);
    // The next attribute of the frame's chain.
    void follow_attribute(Frame& frame, std::string_view attribute);
    void add_reached(std::string_view target, std::string via, std::int64_t line, std::int64_t column);
    // `name` taken from `module` by a constant (getattr, a `__dict__` key):
    // a forbidden module or an object of one is reached by `via`.`name`.
    void follow_name(std::string_view module, std::string_view name, std::string_view via, std::int64_t line,
                     std::int64_t column);
    // Whether a name bound to `module` is followed: it reaches a forbidden
    // module, or has functions of the table.
    bool follows(std::string_view module) const;
    // The frame's chain has reached a function of the table.
    void follow_function(Frame& frame, const ModuleFunction& function, std::string_view attribute);
    // An attribute that leads into the object graph or changes the search paths.
    void note_attribute(Frame& frame, std::string_view attribute);

    // The token as part of an expression.
    void expression(const Token& token);
    void on_name(const Token& token);
    void on_atom(const Token& token, bool string_like);
    void on_string(const Token& token);
    void on_op(const Token& token);
    // An operator that ends the primary expression before it, the constant
    // it folds kept (`+`, `*`, `:=`). Never fails.
    static void end_operand(Frame& frame) noexcept;
    void on_open(const Token& token);
    void on_close();
    void start_argument(Frame& frame) noexcept;
    void end_argument(Frame& frame);
    void end_call(Frame& frame);
    void mark_unjudgeable(std::string reason, std::int64_t line);
    static bool keeps_string(const Frame& frame) noexcept;
    // The keyword of a call's name argument: name= (importers), source=
    // (exec, eval, compile), or that of the table's function.
    static std::string_view name_keyword_of(const Frame& frame) noexcept;
    static void reset_statement(Frame& statement) noexcept;
    void read_as_subject(const Token& token);
    // Runs `step` with the subject's frames and findings in place of the
    // expression's, swapped back even when it throws.
    template <class Step>
    void as_subject(Step step) {
        struct Back {
            ImportFinder& finder;
            ~Back() { finder.swap_readings(); }
        };
        swap_readings();
        const Back back{*this};
        step();
    }
    void swap_readings() noexcept;
    void flush_references();

    // The doors beyond a direct call.
    // Where the current reading's findings go: on a line that may be a match
    // statement, apart for each reading until the line's end chooses one.
    FoundImports& sink() noexcept { return reading_subject_ ? subject_ : keeping_ ? apart_ : found_; }
    // What a name that nothing binds is among the builtins' doors.
    static Role builtin_role(std::string_view name) noexcept;
    Role role_of_name(std::string_view name) const;
    Role role_of_attribute(const Frame& frame, std::string_view attribute) const;
    void note_role(Frame& frame, Role role, std::string_view name, std::int64_t line, std::int64_t column);
    void flush_reference(Frame& frame);
    void bind_alias(std::string_view imported, std::string alias);
    void dict_entry_end(Frame& frame);
    void end_relative_call(Frame& frame, std::string rest, std::uint64_t level);
    void end_code_call(Frame& frame);
    // A call that reads a pickle payload (payload_calls.cpp): each module its
    // constant payload imports is judged, its names followed.
    void end_payload_call(Frame& frame);
    // A call that reads a logging configuration (payload_calls.cpp): each
    // module a readable configuration names is judged, its names followed.
    void end_config_call(Frame& frame);
    // A token of a configuration's value or element, counted on the frame.
    static void config_token(Frame& frame, const Token& token) noexcept;
    // A new value or element begins.
    static void reset_config_value(Frame& frame) noexcept;
    // The frame's value (of `key`, or of no key) or element ends: a target
    // it names is kept on the call, a part that cannot be read marks it.
    void config_value_end(Frame& frame, std::string_view key, bool keyed);
    // Judges a dotted path as logging's resolve imports it.
    void judge_resolved(std::string_view path, std::int64_t line, std::int64_t column);
    // `dotted` taken from `module` as a chain of attributes: a forbidden
    // module or an object of one is reached by `via` and the chain.
    void follow_path(std::string_view module, std::string_view dotted, std::string via, std::int64_t line,
                     std::int64_t column);
    // The argument, __import__'s fromlist, as the names it gives.
    void take_fromlist(Frame& frame);
    // A code runner's first argument `*` and a display: its first element.
    static void take_starred_first(Frame& frame);
    // __import__'s fromlist: each name a submodule of `module` it imports.
    void end_fromlist(Frame& frame, std::string_view module, std::uint64_t level);

    // Constants folded as Python's compiler folds them, in a frame whose
    // value is kept: `+` of texts, `*` of a text and an int within
    // CPython's limit, `+`, `-` and `*` of ints, an element of a tuple
    // display or a character of a text by an int, unary signs, parentheses,
    // `:=`. Anything else makes the run no constant.
    static void fold_reset(Frame& frame) noexcept;
    static void fold_fail(Frame& frame) noexcept;
    void fold_string(Frame& frame, const Token& token, bool adjacent);
    static void fold_integer(Frame& frame, std::int64_t value) noexcept;
    static void fold_none(Frame& frame) noexcept;
    static void fold_number(Frame& frame, const Token& token) noexcept;
    static void fold_sign(Frame& frame, bool minus) noexcept;
    // `+` or `-` between terms, or before an operand.
    void fold_plus(Frame& frame, bool minus);
    bool fold_add_term(Frame& frame);
    void fold_times(Frame& frame);
    // The value of a bracket closed, as the frame's operand.
    void fold_bracket(Frame& frame, Frame& inner);
    // The frame's subscript `[inner]` of a tuple, a str or bytes.
    void fold_subscript(Frame& frame, Frame& inner);
    static void fold_character(Frame& frame, std::int64_t index);
    // Ends the run: its value is the operand then (text_value, operand_int
    // or elements), Folded::nothing when it folds to no constant.
    void fold_settle(Frame& frame);
    // A display's element ends at a comma or its bracket.
    void fold_element(Frame& frame);
    bool fold_reduce(Frame& frame);
    // Whether folding may write `bytes` more, making a text of `result`
    // bytes; past the file's bound, an unaudited finding, once.
    bool fold_spend(std::size_t bytes, std::size_t result);
    // Decodes in place bytes given to a code runner, as compile reads
    // bytes: a byte-order mark, a coding declaration, else UTF-8. False,
    // with the finding, when Python refuses them or only its codecs read them.
    bool decode_code_bytes(std::string& text, std::int64_t line, std::int64_t column);
    void audit_code(std::string_view text, std::int64_t line, std::int64_t column);
    // Reads `text` as code run at `line` and `column`: what it imports into
    // `found`, or why only Python can judge it into `unjudgeable`.
    void read_code(std::string_view text, std::int64_t line, std::int64_t column, std::vector<AuditedImport>& found,
                   std::string& unjudgeable);

    // The name as Python reads it: NFKC-normalised; the same appended to `out`.
    static std::string normal_name(const Token& token);
    static void append_name(const Token& token, std::string& out);

    FoundImports& found_;
    std::string attribute_name_;  // a non-ASCII attribute, normalised
    // The frames of a reading of a line: the first `depth` are open, the
    // last of them at `top` (held, not computed at each token); the rest
    // are kept for reuse.
    struct Reading {
        std::vector<Frame> frames;
        std::size_t depth = 1;
        Frame* top = nullptr;
        // Opens the first `open` frames, which exist. Never fails.
        void open_to(std::size_t open) noexcept {
            depth = open;
            top = &frames[open - 1];
        }
    };
    Reading statement_reading_;               // the line as an expression statement
    Reading* reading_ = &statement_reading_;  // the reading tokens go to
    Reading* other_ = &subject_reading_;      // the other one (see as_subject)

    ImportStep import_step_ = ImportStep::idle;
    bool from_relative_ = false;
    std::uint64_t from_level_ = 0;
    std::int64_t statement_line_ = 0;
    std::int64_t statement_column_ = 0;
    std::string module_;
    // module_ as lent, when the statement's name was (see name_loan.hpp):
    // module_size_ bytes from module_at_, module_ being empty.
    std::shared_ptr<std::string> module_lent_;
    std::size_t module_at_ = 0;
    std::size_t module_size_ = 0;

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
    Reading subject_reading_;
    // Each reading's first reason to leave the file to Python, taken only
    // if the line's end chooses that reading.
    struct Unjudgeable {
        std::string reason;
        std::int64_t line = 0;
    };
    Unjudgeable apart_unjudgeable_;
    Unjudgeable subject_unjudgeable_;
    void mark_unjudgeable_in_reading(std::string reason, std::int64_t line);

    // Names bound to an importer by an import statement, and the names
    // bound to the module builtins besides its own two. A text given to exec
    // runs in the file's globals: its finder shares the file's, so that what
    // either binds the other sees from there on. On a line that may be a
    // match statement, what a text binds in one reading goes to a layer of
    // that reading over the bindings, merged into them only if the line's
    // end chooses that reading.
    struct Bindings {
        std::unordered_map<std::string, Role> aliases;
        std::unordered_set<std::string> builtins;
        // Names bound to modules that are followed, and those modules; the
        // names bound here since the file's finder last watched them.
        std::unordered_map<std::string, std::string> modules;
        std::vector<std::string> newly_bound;
        const Bindings* below = nullptr;  // a reading's layer: the bindings it lies over
        // What `name` is bound to here or below, Role::none if nothing.
        Role alias(std::string_view name) const;
        // Whether `name` is the module builtins here or below.
        bool builtin(std::string_view name) const;
        bool empty() const noexcept { return aliases.empty() && builtins.empty(); }
        // The module `name` is bound to here or below, or null. Never fails.
        const std::string* module(std::string_view name) const;
        // Whether some layer binds a name to a module.
        bool any_module() const noexcept;
        // Binds `name` to `module` in this layer.
        void bind(const std::string& name, std::string_view module);
        // Moves this layer's bindings into `target`, leaving it empty.
        void merge_into(Bindings& target);
    };
    // `nesting`: how many constant texts given to exec, eval or compile the
    // text read is inside of (0 for a file); `shared`: the bindings of the
    // text it is in (or a layer of them), none for a file.
    ImportFinder(FoundImports& found, int nesting, Bindings* shared)
        : found_(found),
          apart_(found.filter()),
          subject_(found.filter()),
          nesting_(nesting),
          bindings_(shared ? *shared : own_bindings_) {
        reading_->frames.emplace_back();
        reading_->open_to(1);
        other_->frames.emplace_back();
        other_->open_to(1);
        apart_bindings_.below = &bindings_;
        subject_bindings_.below = &bindings_;
        if (found.filter() != nullptr) watch_graph_words();
        // A text's lexer cannot look for the names the file bound: it reads every line.
        if (nesting > 0 && bindings_.any_module()) unwatchable_ = true;
    }
    // The words that begin or end the attributes of the object graph and of
    // search paths (`__globals__`, `f_back`, `tb_frame`, `__path__`), looked
    // for in every line: those lines are read as tokens.
    void watch_graph_words();
    // The bindings the current reading sees.
    const Bindings& seen_bindings() const noexcept {
        return !keeping_ ? bindings_ : reading_subject_ ? subject_bindings_ : apart_bindings_;
    }
    const int nesting_;
    Bindings own_bindings_;
    Bindings& bindings_;
    Bindings apart_bindings_;
    Bindings subject_bindings_;
    bool in_import_ = false;  // after an `import` keyword, in the statement's names
    bool from_importer_module_ = false;  // `from importlib` (false) or `from builtins` (true)
    bool plain_builtins_ = false;        // `import builtins`, before its alias
    std::string imported_;
    bool from_importers_ = false;  // the names of this `from` statement may be importers (see bind_alias)
    bool from_holdings_ = false;   // they may be modules, or objects of one, that the policy forbids
    std::string from_module_;      // that statement's module
    // The names of this `from` statement are taken from a relative or own
    // module the filter keeps (ImportFilter::keeps_local): each is recorded
    // as a local_name under from_local_module_ at from_local_level_.
    bool from_local_ = false;
    std::string from_local_module_;
    std::uint64_t from_local_level_ = 0;
    std::string plain_module_;     // a plain import's module that reaches a forbidden one, before its alias
    // Watches, as the file's finder, the names bound to modules since it
    // last did (by the texts run as code too), or, in a text's finder, reads
    // every line from there on. Throws std::bad_alloc only.
    void watch_bound_modules();
    void watch_module(const std::string& name, const std::string& module);

    // Names bound other than by an import statement (module_bindings.cpp):
    // `l = logging`, `a = b = logging.handlers`, `l: Any = logging`,
    // `(l := logging)`, each bound when the value is a followed module's
    // name or a chain of attributes that lands on one.
    void track_bindings(const Token& token);
    void end_walrus(std::size_t depth);
    void add_target(std::string_view name);
    void end_assignment();
    struct Walrus {
        std::size_t depth;
        std::string name;
        bool started;
        std::int64_t line;
        std::int64_t column;
    };
    std::vector<Walrus> walruses_;
    std::vector<std::string> targets_;  // the lone names assigned so far in the statement
    // The statement at the line's depth, read for its targets and annotations.
    struct StatementShape {
        bool start = true;        // the next token at depth 1 begins a statement
        bool segment = true;      // it begins a segment (after `=` or an annotation's colon)
        bool keyword_led = false;
        bool def = false;         // a def statement (async too)
        bool colon = false;       // an annotation's colon was met
        bool assigned = false;    // a `=` was met
        bool annotated = false;   // the annotation of a target ends at the next `=`
        int tokens = 0;           // of the statement, at depth 1
        int segment_tokens = 0;
        std::int64_t segment_line = 0;
        std::int64_t segment_column = 0;
        std::size_t parameters = 0;  // the depth of a def's parameter list, while open
        bool parameter_default = false;
        // The lambdas whose colon is still to come, at depth 1 and in the
        // parameter list: the next colon there is theirs.
        int lambdas = 0;
        int parameter_lambdas = 0;
    };
    StatementShape shape_;
    void reset_shape() noexcept;
    // The `vars(<name>)` or `<namespace>.get(...)` call ended: what it takes.
    void end_namespace_call(Frame& frame, Frame& outer);

    // String annotations (string_annotations.cpp): every str literal in an
    // annotation, literals side by side or joined by `+` as one, read as
    // the text given to eval, as typing.get_type_hints reads it.
    void track_annotation(const Token& token);
    void end_annotation();
    void flush_annotation_text();
    std::size_t annotation_depth_ = 0;  // the depth of the annotation being read, 0 if none
    int annotation_state_ = 0;          // 0: nothing kept, 1: after a string, 2: after a string and `+`
    bool annotation_unjudgeable_ = false;
    std::string annotation_text_;
    std::int64_t annotation_line_ = 0;
    std::int64_t annotation_column_ = 0;
    WordSearch watched_;
    // The module each watched name is bound to, and where the constant
    // tables hold the attributes of it a use may go on with and matter
    // (what it holds, its functions of the table; `__dict__` besides),
    // searched at each use.
    struct WatchedModule {
        std::string module;  // empty: a word of the graph
        Holdings held{nullptr, nullptr};
        std::pair<const ModuleFunction*, const ModuleFunction*> functions{nullptr, nullptr};
    };
    std::vector<WatchedModule> watched_modules_;
    void watch_as(WatchedModule& watched, const std::string& module) const;
    // Names a `from` statement bound to a function of the table, whose
    // attributes are other functions (`patch.object`), not references to it.
    std::unordered_set<std::string> function_aliases_;
    // A name bound to such a module is not ASCII (the lexer cannot look for
    // its spellings), or there are too many to look for at once: no line is
    // passed over from there on.
    bool unwatchable_ = false;
    // The subject's reading of the last text run as code on a match line,
    // for the other reading to take at the same token.
    struct CodeMemo {
        bool valid = false;
        int token = 0;
        std::int64_t line = 0;
        std::string text;
        std::vector<AuditedImport> found;
        std::string unjudgeable;
        Bindings bound;
    };
    CodeMemo memo_;
    // The bytes folding may still write, for the file and the texts run as
    // code in it: beyond, a constant cannot be judged and the file fails.
    std::uint64_t own_fold_budget_ = kFoldBudget;
    std::uint64_t* fold_budget_ = &own_fold_budget_;
    bool fold_exhausted_ = false;
    static constexpr std::uint64_t kFoldBudget = std::uint64_t{32} << 20;
    static constexpr std::size_t kFreeFold = 256;
    // Texts given to exec nested deeper than this cannot be judged.
    static constexpr int kMostNesting = 8;
};

}  // namespace scanner_core
