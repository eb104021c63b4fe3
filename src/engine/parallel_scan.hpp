// The worker pool behind ImportClassifier::scan_directory, with its seams:
// the per-file scan and the thread start are parameters, so that tests can
// make a scan throw or the k-th thread start fail without exhausting the
// machine. Each worker owns the one read buffer that all its scans use.
#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "file_result.hpp"
#include "source_file.hpp"

namespace scanner_core {

// Scans the file at `path`, reading through the worker's `buffer`.
using ScanOne = std::function<FileResult(const std::string& path, ReadBuffer& buffer)>;
using StartThread = std::function<std::thread(std::function<void()> body)>;

// Returns how many workers scan `file_count` files when `requested` were
// asked for: 0 asks for one per hardware thread (`hardware`, itself 0 when
// unknown, which counts as 1); never more than the files, never fewer
// than 1 when there is a file.
std::size_t worker_count(unsigned int requested, std::size_t file_count, unsigned int hardware) noexcept;

// Starts a plain std::thread running `body`. Throws std::system_error when
// the system refuses the thread.
std::thread start_std_thread(std::function<void()> body);

// Scans `files` on `thread_count` (at least 1) threads started with
// `start_thread`; every file is claimed exactly once from one shared atomic
// counter, and its record lands in slot i of the result, so the result is in
// the order of `files` whatever thread scanned what.
//
// Failure: the first exception that leaves `scan_one` (or a worker's buffer
// allocation), or the refusal of a thread start, stops the hand-out of files; the scans already running
// finish, every started thread is joined, and then that first exception is
// rethrown on the calling thread. No thread is left running or joinable.
std::vector<FileResult> scan_in_parallel(const std::vector<std::filesystem::path>& files, std::size_t thread_count,
                                         const ScanOne& scan_one, const StartThread& start_thread = start_std_thread);

}  // namespace scanner_core
