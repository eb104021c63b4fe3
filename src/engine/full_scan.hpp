// The full verdict on plugin sources: the line scan's record, exactly as
// ImportClassifier::scan_file gives it, and beside it the findings of the
// audit, a second recogniser that reads each file as Python reads it. Both
// are fed the same pieces of a file in the same pass.
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
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "file_result.hpp"
#include "import_classifier.hpp"
#include "source_file.hpp"

namespace scanner_core {

enum class AuditRule : unsigned char {
    hidden_forbidden_import,      // error: a forbidden import the line scan does not see
    hidden_unlisted_import,       // warning: an unlisted import the line scan does not see
    non_constant_dynamic_import,  // warning: __import__ or import_module with a name that is no constant
    unaudited_file,               // error: a file that cannot be read as Python source
    importer_reference,           // warning: an importer, a code runner or a loader named other than in a call
    dynamic_code,                 // warning: exec, eval or compile of what is no constant text, or of text Python refuses
    relative_dynamic_import,      // warning: a relative dynamic import whose anchor is no constant
    relative_import_above_root,   // error: a relative import whose level reaches above the tree's root
};

// Returns the rule's identifier, such as "hidden-forbidden-import". Never fails.
std::string_view rule_id(AuditRule rule) noexcept;

// Returns whether a finding of `rule` fails its file. Never fails.
bool is_error(AuditRule rule) noexcept;

struct AuditFinding {
    AuditRule rule = AuditRule::unaudited_file;
    std::int64_t line = 0;  // 1-based, counted at line feeds as the line scan counts; 0 for the whole file
    std::string module;     // the module judged; the callee of a dynamic import; empty for an unaudited file
    std::string message;    // "<path>:<line>: <text>", as the line scan's messages are made
};

struct FullResult {
    FileResult scan;                    // the line scan's record
    std::vector<AuditFinding> findings; // the audit's, in line order; empty when not audited
    // Set when only Python's own reading can judge the file (a codec the
    // engine does not decode, a \N{...} escape in a dynamic import's name):
    // the codec Python reads it with, with one unaudited-file error among
    // the findings saying why, which a caller may replace by that reading.
    std::string deferred_encoding;
    bool passed = true;                 // no error in `scan` and no error among `findings`
};

class FullScanner {
public:
    // Takes the policy as ImportClassifier does. Throws std::bad_alloc only.
    FullScanner(std::unordered_set<std::string> forbidden, std::unordered_set<std::string> allowed_exact,
                std::vector<std::string> allowed_prefixes);

    // The policy, for its predicates. Immutable; thread-safe.
    const ImportClassifier& classifier() const noexcept { return classifier_; }

    // Checks one file as ImportClassifier::scan_file does, and audits it when
    // `audit` is set. `depth`: how many directories lie between the tree's
    // root and the file's directory (0: the file is in the root); a relative
    // import of level L reaches above the root when L > depth + 1. Fails as
    // ImportClassifier::scan_file does. Thread-safe.
    FullResult scan_file(const std::string& filepath, const std::unordered_set<std::string>& local_modules,
                         bool audit, int depth = 0) const;

    // Checks a tree as ImportClassifier::scan_directory does (the same walk,
    // order, threads and failures), auditing each file when `audit` is set,
    // with `src_dir` as the root of its relative imports.
    std::vector<FullResult> scan_directory(const std::string& src_dir,
                                           const std::unordered_set<std::string>& local_modules,
                                           unsigned int num_threads, bool audit) const;

private:
    FullResult scan_source(const SourceLocation& where, const std::unordered_set<std::string>& local_modules,
                           ScanWorker& worker, OpenMode mode, bool audit, int depth) const;

    const ImportClassifier classifier_;
};

}  // namespace scanner_core
