// The full verdict on plugin sources: the line scan's record, exactly as
// scan_file (scan_file.hpp) gives it, and beside it the findings of the
// audit, a second recogniser that reads each file as Python reads it. Both
// are stages of one file scan, fed the same pieces in the same pass, and
// each import is judged once by the policy for both (see VerdictMemo).
//
// The audit reports what the line scan does not: every name of
// `import a, b`, statements after `;` or on a compound statement's line,
// continuation lines, names Python folds to another (NFKC), calls of
// __import__ and import_module, and the other doors to an importer (see
// ImportFinder). Its findings are judged by the same policy, in which a
// forbidden module forbids its private twins (see private_twins.hpp);
// one that the line scan already reported on the same line for the same
// module is left out. A file that cannot be read to its end as Python source
// fails with an unaudited-file error: Python could not import it either.
//
// The verdict is exact where the audit has read the whole file: a line
// scan's import finding on a line where the audit read no import statement
// of that module (nor of a module below it) stands on text inside a string
// or a comment, and is dropped from the record. Where the audit was refused
// or deferred to Python's codecs, or not run, the line scan's record stands.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "scan/file_result.hpp"
#include "policy/import_classifier.hpp"
#include "policy/holding_table.hpp"
#include "policy/module_holdings.hpp"
#include "gate/line_digest.hpp"
#include "gate/local_imports.hpp"
#include "scan/scan_worker.hpp"
#include "reading/source_file.hpp"
#include "reading/source_tree.hpp"

namespace scanner_core {

class SourceAudit;
struct LocalTree;
class LocalLookup;

// Every rule of the full verdict, with its id and level (rule_id,
// is_error): the one table the command's findings are made from.
enum class AuditRule : unsigned char {
    // The line scan's, as scanner_core words them.
    forbidden_import,             // error: an import whose root the policy forbids
    unlisted_import,              // warning: an import on none of the policy's lists
    unreadable_file,              // error: a file that cannot be opened
    other_scan_error,             // error: a message of the line scan in no form above (none today)
    other_scan_warning,           // warning: the same, for a warning
    // The audit's.
    hidden_forbidden_import,      // error: a forbidden import the line scan does not see
    hidden_unlisted_import,       // warning: an unlisted import the line scan does not see
    non_constant_dynamic_import,  // warning: __import__ or import_module with a name that is no constant
    unaudited_file,               // error: a file that cannot be read as Python source
    // The gate's walk: entries of a tree that are not handed over as sources.
    extension_module,             // error: a compiled module Python imports
    compiled_bytecode,            // error: a .pyc Python may run instead of the source
    path_configuration_file,      // error: a .pth, run when the interpreter starts
    unread_archive,               // error: a wheel, zip, zipapp, egg or sdist its caller did not read
    unread_entry_points,          // error: an entry_points.txt or pyproject.toml its caller did not read
    dangling_link,                // error: a link named as a module whose target does not exist
    not_a_regular_file,           // error: a FIFO, socket or device named as a module
    link_loop,                    // error: a link that leads back into itself or above itself
    unreadable_entry,             // error: a directory or entry the walk cannot read or look up
    importer_reference,           // warning: an importer, a code runner or a loader named other than in a call
    dynamic_code,                 // warning: exec, eval or compile of what is no constant text, or of text Python refuses
    relative_dynamic_import,      // warning: a relative dynamic import whose anchor is no constant
    relative_import_above_root,   // error: a relative import whose level reaches above the tree's root
    forbidden_module_reached,     // error: a forbidden module reached by a chain of names through another module
    object_graph,                 // warning: what leads into the interpreter's objects (frames, globals, subclasses)
    search_path,                  // warning: where imports are searched changed (sys.path, __path__)
    forbidden_attribute_use,      // error: a use of a forbidden module none of the policy's allowed attributes covers
    type_checking_import,         // warning: a finding under `if TYPE_CHECKING:`, judged as a warning by the policy
    type_checking_changed,        // error: a file that may change TYPE_CHECKING, where the policy relies on it
    // The command's, from the local imports the audit keeps for it (FullResult::local_imports).
    missing_local_module,         // warning: a relative or own module no file of the tree provides
    // An archive's, found by its reader (the command's), named in the
    // engine's table with the others.
    ambiguous_archive,            // error: an archive two of Python's readers would read differently
    unsafe_archive_member,        // error: a member an extractor would write outside its target, or no regular file
    wheel_record_mismatch,        // error: a wheel whose RECORD does not list exactly its files and hashes
    archive_bound_exceeded,       // error: an archive past a bound of the policy, not read on
    unreadable_archive,           // error: an archive Python's readers cannot read
    // The entry points' reader's (the command's).
    invalid_entry_point,          // error: an entry point, or a file of them, that cannot be read or judged
    // The command's: a path given, in a run that judged no file.
    nothing_judged,               // error
};

// Returns the rule's identifier, such as "hidden-forbidden-import". Never fails.
std::string_view rule_id(AuditRule rule) noexcept;

// Returns whether a finding of `rule` fails its file. Never fails.
bool is_error(AuditRule rule) noexcept;

// Every rule, in the order declared. Never fails.
std::vector<AuditRule> all_rules();
// The rule whose id is `id`, or nothing. Throws std::bad_alloc only.
std::optional<AuditRule> rule_with_id(std::string_view id);

struct AuditFinding {
    AuditRule rule = AuditRule::unaudited_file;
    std::int64_t line = 0;  // 1-based, counted at line feeds as the line scan counts; 0 for the whole file
    std::string module;     // the module judged; the callee of a dynamic import; empty where there is none
                            // (read it with module_view: it may lie in `message`)
    std::string message;    // "<path>:<line>: <text>", as the line scan's messages are made
    // 1-based, in characters (code points) of the line: where the
    // statement or call starts; 0 where it is not known (whole-file
    // findings, the file's refusal).
    std::int64_t column = 0;
    // A long module is not held twice: where `module_in_message`, `module`
    // is empty and the module is the `module_size` bytes of `message` from
    // `module_at`, which quotes it whole.
    bool module_in_message = false;
    std::size_t module_at = 0;
    std::size_t module_size = 0;
    // Where the finding stands (finding_places.hpp): kContextKnown with the
    // flags of FindingContext, or 0 when not known.
    std::uint8_t context = 0;

    // The module, wherever it is held; valid while the finding is, unchanged. Never fails.
    std::string_view module_view() const noexcept {
        return module_in_message ? std::string_view(message).substr(module_at, module_size) : std::string_view(module);
    }
};

struct FullResult {
    FileResult scan;                    // the line scan's path and verdict; its findings are made
                                        // as `scan_findings`, so its lists are empty
    std::vector<AuditFinding> scan_findings;  // the line scan's, as records, in line order (the whole
                                              // file's first), less those the audit read as text
    std::vector<AuditFinding> findings; // the audit's, in line order; empty when not audited
    // The imports of the plugin's own and relative modules, for the caller
    // that checks the tree provides them: kept only by a scanner made to
    // keep them, from a file read to its end (see local_imports.hpp).
    std::vector<LocalImport> local_imports;
    // Set when only Python's own reading can judge the file (a codec the
    // engine does not decode, a \N{...} escape in a dynamic import's name):
    // the codec Python reads it with, with one unaudited-file error among
    // the findings saying why, which a caller may replace by that reading.
    std::string deferred_encoding;
    bool entry = false;                 // a record of the walk about the entry itself (a problem of
                                        // the walk, or a name judge_by_name judged), not a source read
    FileIdentity identity;              // device and inode, from the gate's walk only (of the entry
                                        // itself for a problem of the walk); else zero
    bool passed = true;                 // no error among `scan_findings` and `findings`
    // The digests of the lines that hold findings, in line order, for the
    // reports' fingerprints, when the scan was asked for them (`digested`):
    // made from the pieces as the file was read, and the few lines the scan
    // did not hold read back right after it. A line the file does not have
    // (or no longer has, when read back) has none.
    std::vector<LineDigest> line_digests;
    bool digested = false;
    // The allowed attributes of forbidden modules the file used (`os.path`).
    std::vector<std::string> allowed_used;
};

// AuditFinding::context: the flags are known.
constexpr std::uint8_t kContextKnown = 0x80;

// How the policy judges what only type checkers see.
enum class TypeChecking : unsigned char { error, warning, ignore };

// What a policy says beyond its lists: the attributes of forbidden modules
// a plugin may use, by module (`os` → `os.path`, `os.environ`), and how
// imports under `if TYPE_CHECKING:` are judged.
struct Precision {
    std::vector<std::pair<std::string, std::vector<std::string>>> allowed_attributes;
    TypeChecking type_checking = TypeChecking::error;
};

// Whether `result` says its file was left unread: it could not be opened,
// or it is a walk's record of an entry not read (a dangling link, a FIFO, a
// loop, an unreadable entry, an archive, entry points). Such a file fails, and a report
// counts it apart from those judged. Never fails.
bool was_unread(const FullResult& result) noexcept;

// The lines of `result`'s findings, which its fingerprints hash (sorted,
// unique, 1-based). Throws std::bad_alloc only.
std::vector<std::int64_t> finding_lines(const FullResult& result);

// Returns, for a file given by its path alone, the record the gate's walk
// would make of it for its name (an extension module, a .pyc, a .pth, an
// archive, entry points: one finding naming it), or nothing for a file to scan as a
// source. Throws std::bad_alloc only. Thread-safe.
std::optional<FullResult> judge_by_name(const std::string& filepath);

// Whether a relative import of `level` climbs above the tree's root from a
// file `depth` directories below it (a negative depth counts as 0). Never fails.
bool climbs_above_root(std::uint64_t level, int depth) noexcept;

class FullScanner {
public:
    // Takes the policy as ImportClassifier does, and what modules outside
    // the standard library hold (`holdings`, see HoldingTable), followed as
    // the standard library's table is. `allowed_attributes`: dotted chains
    // of forbidden modules a plugin may use (`os.path`); `type_checking`:
    // "error", "warning" or "ignore". With `local_imports`, the records of
    // audited files hold their local imports (FullResult::local_imports).
    // Throws std::invalid_argument for another word, std::bad_alloc.
    FullScanner(std::unordered_set<std::string> forbidden, std::unordered_set<std::string> allowed_exact,
                std::vector<std::string> allowed_prefixes, std::vector<HoldingRow> holdings = {},
                const std::vector<std::string>& allowed_attributes = {}, std::string_view type_checking = "error",
                bool local_imports = false);

    // Whether audits keep the local imports. Immutable; thread-safe.
    bool keeps_local() const noexcept { return keeps_local_; }

    // The policy, for its predicates. Immutable; thread-safe.
    const ImportClassifier& classifier() const noexcept { return classifier_; }
    // What modules hold under the policy: the standard table and the rows
    // given. Immutable; thread-safe.
    const HoldingTable& holdings() const noexcept { return holdings_; }
    // The modules of that table from which the policy's forbidden modules
    // are reached by attributes. Immutable; thread-safe.
    const ReachingModules& reaching() const noexcept { return reaching_; }
    // What the policy says beyond its lists. Immutable; thread-safe.
    const Precision& precision() const noexcept { return precision_; }

    // Checks one file as scan_file (scan_file.hpp) does, and audits it when
    // `audit` is set. `depth`: how many directories lie between the tree's
    // root and the file's directory (0: the file is in the root); a relative
    // import of level L reaches above the root when L > depth + 1. With
    // `digests`, the record holds the digests of its finding lines
    // (FullResult::line_digests). Fails as scan_file does. Thread-safe.
    FullResult scan_file(const std::string& filepath, const std::unordered_set<std::string>& local_modules,
                         bool audit, int depth = 0, bool digests = false) const;

    // Checks a tree as scan_directory (scan_file.hpp) does (the same walk,
    // order, threads and failures), auditing each file when `audit` is set,
    // with `src_dir` as the root of its relative imports.
    std::vector<FullResult> scan_directory(const std::string& src_dir,
                                           const std::unordered_set<std::string>& local_modules,
                                           unsigned int num_threads, bool audit) const;

    // Checks a tree for the gate: the files of walk_gate(src_dir), each
    // scanned as scan_directory scans it, in walk order with its identity,
    // followed by one record per problem of the walk, which holds one
    // finding of the problem's rule naming the entry (no line scan record
    // but its path). `digests` as for scan_file. With `local`, the local
    // imports of each file are looked up in the tree (local_lookup.hpp):
    // the record holds the findings of those missing, and no local
    // imports. Fails only as walk_gate does, and as scan_directory does
    // for the threads. Thread-safe.
    std::vector<FullResult> scan_tree(const std::string& src_dir, const std::unordered_set<std::string>& local_modules,
                                      unsigned int num_threads, bool audit, bool digests = false,
                                      const LocalTree* local = nullptr) const;

    // File `index` of `files` (walk_gate's), scanned as scan_tree scans
    // it, with its identity; its local imports looked up with `lookup`
    // when given. Throws std::bad_alloc only. Thread-safe, with one
    // `worker` per thread.
    FullResult scan_walked(const SourceTree& files, std::size_t index,
                           const std::unordered_set<std::string>& local_modules, ScanWorker& worker, bool audit,
                           bool digests, LocalLookup* lookup) const;

    // The (line, module) pairs a line scan reported, sorted: an audit's
    // import of the same module on the same line is not reported again.
    using Reported = std::vector<std::pair<std::int64_t, std::string_view>>;

    // The findings of an audit that has finished reading `filepath`: the
    // imports it found judged by the policy, less those in `reported`, in
    // line order, one per line, rule and module; or the one unaudited-file
    // error that says why it was not read. `depth` as for scan_file.
    // Takes the audit's imports. `memo`: the calling thread's memo of
    // verdicts, which the file's line scan and the audit's filter filled,
    // or null to judge every name in full. Throws std::bad_alloc only.
    // Thread-safe.
    std::vector<AuditFinding> judge(SourceAudit& stage, const std::string& filepath, const Reported& reported,
                                    const std::unordered_set<std::string>& local_modules, int depth,
                                    VerdictMemo* memo = nullptr) const;

private:
    FullResult scan_source(const SourceLocation& where, const std::unordered_set<std::string>& local_modules,
                           ScanWorker& worker, OpenMode mode, bool audit, int depth, bool digests = false) const;

    const ImportClassifier classifier_;
    const HoldingTable holdings_;
    const ReachingModules reaching_{classifier_, holdings_};
    Precision precision_;
    const bool keeps_local_ = false;
};

// The record of a problem of the gate's walk: one finding of the
// problem's rule naming the entry (digested: about the entry, no line to
// digest). Throws std::bad_alloc only.
FullResult walk_problem_result(const TreeProblem& problem, bool digests);

// Adds to `result` the findings its caller made of what the record kept
// (the command's missing local modules), among the audit's, so that they
// count, fail, show and take fingerprints as the engine's own. A digested
// record gets the digests of their lines, read back from its file (a
// line the file no longer has gets none). Throws std::bad_alloc only.
void add_findings(FullResult& result, std::vector<AuditFinding> added);

// A finding of `rule` on `path`'s `line`: "<path>:<line>: " (or "<path>: "),
// `text`, `detail` made printable, `close`. Throws std::bad_alloc only.
AuditFinding rule_finding(AuditRule rule, const std::string& path, std::int64_t line, std::string module,
                          std::string_view text, std::string_view detail, std::string_view close);

}  // namespace scanner_core
