// The import policy of a plugin host, and the scans that apply it.
//
// A classifier is built once from three collections (forbidden roots, names
// allowed exactly or as a root, allowed package prefixes) and never changes
// afterwards, so every member below is safe to call from any number of
// threads at once on one shared instance. Module names are byte strings
// compared byte for byte; the root of a name is the text before its first
// dot (the whole name when it has none).
#pragma once

#include <string>
#include <unordered_set>
#include <vector>

#include "file_result.hpp"
#include "scan_stage.hpp"
#include "scan_worker.hpp"
#include "source_file.hpp"

namespace scanner_core {

struct FoundImport;

class ImportClassifier {
public:
    // Takes the three collections as they are: nothing is trimmed, folded,
    // deduplicated or validated. Throws std::bad_alloc only.
    ImportClassifier(std::unordered_set<std::string> forbidden,
                     std::unordered_set<std::string> allowed_exact,
                     std::vector<std::string> allowed_prefixes);

    // Returns whether the root of `module` is a forbidden root. The whole
    // name is never looked up. Never fails except on exhausted memory.
    bool is_forbidden(const std::string& module) const;

    // Returns whether an allow rule covers `module`: the whole name or its
    // root is in `allowed_exact`, or a prefix matches (equal to the name, or
    // followed in the name by a dot). Does not consult `forbidden`.
    bool is_allowed(const std::string& module) const;

    // The verdict on `module` (neither relative nor empty) under the policy
    // and `local_modules`: silent for a local name or one an allow rule
    // covers, forbidden when its root is, unlisted otherwise. Never fails
    // except on exhausted memory; thread-safe.
    ImportVerdict verdict_on(const std::string& module, const std::unordered_set<std::string>& local_modules) const;

    // Checks one source file. A file that cannot be opened gives a record
    // with a single error; forbidden imports are errors, imports no rule
    // allows are warnings, relative, empty and local ones are ignored.
    // The file is read to its end through a buffer of fixed size; a FIFO's
    // open waits for its writer. Throws std::ios_base::failure when a read
    // fails after a successful open (a directory, an I/O error),
    // std::bad_alloc on exhausted memory.
    FileResult scan_file(const std::string& filepath,
                         const std::unordered_set<std::string>& local_modules) const;

    // scan_file of the file at `where`, whose path the record carries, with
    // the caller's `worker` (a thread reuses one for all its files of one
    // call), opened as `mode` says, every piece fed also to `beside` when
    // given (nothing when the file cannot be opened). Fails as scan_file
    // does, or with what `beside` throws.
    FileResult scan_source(const SourceLocation& where, const std::unordered_set<std::string>& local_modules,
                           ScanWorker& worker, OpenMode mode, ScanStage* beside = nullptr) const;

    // Checks every regular ".py" file below `src_dir` on `num_threads`
    // workers (0: one per hardware thread; never more than there are files)
    // and returns one record per file, in the order of the walk, whatever
    // the thread count. Throws std::filesystem::filesystem_error when the
    // walk fails, std::system_error when no thread can be started, and the
    // first exception that left a scan in a worker; in every case all
    // workers have been joined and no partial result is returned.
    std::vector<FileResult> scan_directory(const std::string& src_dir,
                                           const std::unordered_set<std::string>& local_modules,
                                           unsigned int num_threads) const;

private:
    // Adds to the worker's messages the one, if any, that `import` of the
    // file at `path` earns; a gathered module name may be moved into the
    // message. Returns whether it is an error.
    bool judge(const FoundImport& import, const std::unordered_set<std::string>& local_modules,
               const std::string& path, ScanWorker& worker) const;

    // is_allowed with the root of `module` already at hand.
    bool allows(const std::string& module, const std::string& root) const;

    const std::unordered_set<std::string> forbidden;
    const std::unordered_set<std::string> allowed_exact;
    const std::vector<std::string> allowed_prefixes;
};

}  // namespace scanner_core
