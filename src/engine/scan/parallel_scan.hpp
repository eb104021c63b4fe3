// The worker pool behind the directory scans, with its seams: the per-file
// scan and the thread start are parameters, so that tests can make a scan
// throw or the k-th thread start fail without exhausting the machine. Each
// worker owns the one ScanWorker (its reader, buffer and scratch) that all
// its scans use.
#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "scan/file_result.hpp"
#include "scan/scan_worker.hpp"
#include "reading/source_file.hpp"
#include "reading/source_tree.hpp"

namespace scanner_core {

// Scans item `index`, reading through the worker's `buffer`.
using ScanIndex = std::function<void(std::size_t index, ReadBuffer& buffer)>;
// Scans item `index` with the thread's `worker` (its reader and scratch).
using WorkIndex = std::function<void(std::size_t index, ScanWorker& worker)>;
using StartThread = std::function<std::thread(std::function<void()> body)>;

// Returns how many workers scan `file_count` files when `requested` were
// asked for: 0 asks for one per hardware thread (`hardware`, itself 0 when
// unknown, which counts as 1); never more than the files, never fewer
// than 1 when there is a file.
std::size_t worker_count(unsigned int requested, std::size_t file_count, unsigned int hardware) noexcept;

// worker_count with this machine's hardware threads, asked for only when
// `requested` is 0. Never fails.
std::size_t worker_count(unsigned int requested, std::size_t file_count) noexcept;

// Starts a plain std::thread running `body`. Throws std::system_error when
// the system refuses the thread.
std::thread start_std_thread(std::function<void()> body);

// Runs `scan_one` once for each index below `count` on `thread_count` (at
// least 1) threads started with `start_thread`; every index is claimed
// exactly once from one shared atomic counter.
//
// Failure: the first exception that leaves `scan_one` (or a worker's buffer
// allocation), or the refusal of a thread start, stops the hand-out of
// indices; the scans already running finish, every started thread is
// joined, and then that first exception is rethrown on the calling thread.
// No thread is left running or joinable.
void run_in_parallel(std::size_t count, std::size_t thread_count, const ScanIndex& scan_one,
                     const StartThread& start_thread = start_std_thread);

// run_in_parallel with a whole ScanWorker per thread in place of a bare buffer.
void run_in_parallel(std::size_t count, std::size_t thread_count, const WorkIndex& scan_one,
                     const StartThread& start_thread = start_std_thread);

// Scans the files of `tree` as run_in_parallel does, with
// `scan_one(location, worker)` returning each file's record; the record of
// file i lands in slot i of the result, so the result is in walk order
// whatever thread scanned what. Fails as run_in_parallel does, with no
// partial result.
template <class ScanOne>
auto scan_in_parallel(const SourceTree& tree, std::size_t thread_count, const ScanOne& scan_one,
                      const StartThread& start_thread = start_std_thread) {
    using Record = std::invoke_result_t<const ScanOne&, const SourceLocation&, ScanWorker&>;
    std::vector<Record> results(tree.size());
    run_in_parallel(
        tree.size(), thread_count,
        WorkIndex([&](std::size_t index, ScanWorker& worker) { results[index] = scan_one(tree.location(index), worker); }),
        start_thread);
    return results;
}

// Scans `files` as run_in_parallel does, with `scan_one(path, buffer)`
// returning each file's record; the record of files[i] lands in slot i of
// the result, so the result is in the order of `files` whatever thread
// scanned what. Fails as run_in_parallel does, with no partial result.
template <class ScanOne>
auto scan_in_parallel(const std::vector<std::filesystem::path>& files, std::size_t thread_count,
                      const ScanOne& scan_one, const StartThread& start_thread = start_std_thread) {
    using Record = std::invoke_result_t<const ScanOne&, const std::string&, ReadBuffer&>;
    std::vector<Record> results(files.size());
    run_in_parallel(
        files.size(), thread_count,
        [&](std::size_t index, ReadBuffer& buffer) { results[index] = scan_one(files[index].native(), buffer); },
        start_thread);
    return results;
}

}  // namespace scanner_core
