// A tree's records for the gate handed over one at a time, in the order
// the caller reports them, each as soon as it is made: the caller words
// and writes the first files while the threads read the next, instead of
// waiting for the whole tree.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include "gate/full_scan.hpp"
#include "gate/local_lookup.hpp"
#include "reading/source_tree.hpp"

namespace scanner_core {

// A tree walked by the gate's walk (walk_gate), shared by the streams that
// scan it.
struct WalkedTree {
    std::string root;  // as given: the root of its relative imports' lookups
    std::shared_ptr<const SourceTree> files;

    // Walks `root` as scan_tree does. Fails as walk_gate does.
    static WalkedTree walk(std::string root);
    // How many records scan_tree makes of it: its files, then its problems. Never fails.
    std::size_t size() const noexcept { return files->size() + files->problem_count(); }
    // The path of record `index` (as size counts them), as its record's
    // filepath will be. Never fails.
    std::string_view path(std::size_t index) const noexcept;
};

class TreeStream {
public:
    // Starts scanning the files of `tree` as scan_tree scans them, in
    // `order`: each record of the tree once, by its index as
    // WalkedTree::size counts them, the first to be taken first.
    // `num_threads` as for scan_tree (0: one per hardware thread); with
    // `local`, each file's local imports are looked up in the tree.
    // `scanner` must outlive the stream.
    // Throws std::invalid_argument when `order` is not such a list,
    // std::system_error when no thread can be started, std::bad_alloc.
    TreeStream(const FullScanner& scanner, const WalkedTree& tree, std::vector<std::size_t> order,
               std::unordered_set<std::string> local_modules, unsigned int num_threads, bool audit, bool digests,
               std::optional<LocalTree> local);
    TreeStream(const TreeStream&) = delete;
    TreeStream& operator=(const TreeStream&) = delete;
    // Stops handing out files and waits for the threads' current files.
    ~TreeStream();

    // How many records the order holds. Never fails.
    std::size_t size() const noexcept { return order_.size(); }

    // The record at `position` of the order, once made (waiting for it,
    // which needs no lock of the caller's). Throws std::out_of_range for a
    // position past the order or taken already, and what a scan threw
    // (std::bad_alloc), from the first record taken after it. One caller
    // at a time.
    FullResult take(std::size_t position);

private:
    void work() noexcept;

    const FullScanner& scanner_;
    const std::shared_ptr<const SourceTree> tree_;
    const std::vector<std::size_t> order_;
    const std::unordered_set<std::string> local_modules_;
    const bool audit_;
    const bool digests_;
    std::optional<LocalLookup> lookup_;

    std::mutex mutex_;
    std::condition_variable made_;
    std::vector<std::optional<FullResult>> slots_;  // by position, until taken
    std::vector<bool> taken_;
    std::exception_ptr failure_;
    std::size_t next_ = 0;  // the next position to hand out
    // A taker that waits is woken once a run of files is made past the one
    // it waits for, not at each: a wake costs about what a small file does.
    std::vector<std::size_t> rank_;  // by position: the files before it in the order
    std::size_t made_count_ = 0;
    std::size_t wake_at_ = 0;  // made_count_ that wakes the taker; 0: none waits
    bool stopping_ = false;
    std::size_t thread_count_ = 0;
    std::vector<std::thread> threads_;
};

}  // namespace scanner_core
