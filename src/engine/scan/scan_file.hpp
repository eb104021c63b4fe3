// The line scan's verdict on files and trees as scanner_core gives it: one
// FileResult a file, with "<path>:<line>: ..." messages made from the line
// scan's records. Forbidden imports are errors, imports no rule allows are
// warnings, relative, empty and local ones are ignored.
#pragma once

#include <string>
#include <unordered_set>
#include <vector>

#include "scan/file_result.hpp"
#include "policy/import_classifier.hpp"
#include "scan/scan_worker.hpp"
#include "reading/source_file.hpp"

namespace scanner_core {

// Checks one source file under `policy`. A file that cannot be opened gives
// a record with a single error. The file is read to its end through a
// buffer of fixed size; a FIFO's open waits for its writer. Throws
// std::ios_base::failure when a read fails after a successful open (a
// directory, an I/O error), std::bad_alloc on exhausted memory. Thread-safe.
FileResult scan_file(const ImportClassifier& policy, const std::string& filepath,
                     const std::unordered_set<std::string>& local_modules);

// scan_file of the file at `where`, whose path the record carries, with the
// caller's `worker` (a thread reuses one for all its files of one call),
// opened as `mode` says. Fails as scan_file does.
FileResult scan_source(const ImportClassifier& policy, const SourceLocation& where,
                       const std::unordered_set<std::string>& local_modules, ScanWorker& worker, OpenMode mode);

// Checks every regular ".py" file below `src_dir` on `num_threads` workers
// (0: one per hardware thread; never more than there are files) and returns
// one record per file, in the order of the walk, whatever the thread count.
// Throws std::filesystem::filesystem_error when the walk fails,
// std::system_error when no thread can be started, and the first exception
// that left a scan in a worker; in every case all workers have been joined
// and no partial result is returned. Thread-safe.
std::vector<FileResult> scan_directory(const ImportClassifier& policy, const std::string& src_dir,
                                       const std::unordered_set<std::string>& local_modules,
                                       unsigned int num_threads);

}  // namespace scanner_core
