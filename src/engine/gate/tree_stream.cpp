#include "gate/tree_stream.hpp"

#include <algorithm>
#include <stdexcept>
#include <utility>

#include "scan/parallel_scan.hpp"
#include "scan/scan_worker.hpp"

namespace scanner_core {
namespace {

// What a thread's records take, about, grown ahead (as the parallel scans do).
constexpr std::size_t kResultBytesPerFile = 768;
// The files made past the one a taker waits for before it is woken.
constexpr std::size_t kWakeAfter = 64;

}  // namespace

WalkedTree WalkedTree::walk(std::string root) {
    auto files = std::make_shared<const SourceTree>(walk_gate(root));
    return WalkedTree{std::move(root), std::move(files)};
}

std::string_view WalkedTree::path(std::size_t index) const noexcept {
    return index < files->size() ? files->path(index) : files->problem(index - files->size()).path;
}

TreeStream::TreeStream(const FullScanner& scanner, const WalkedTree& tree, std::vector<std::size_t> order,
                       std::unordered_set<std::string> local_modules, unsigned int num_threads, bool audit,
                       bool digests, std::optional<LocalTree> local)
    : scanner_(scanner),
      tree_(tree.files),
      order_(std::move(order)),
      local_modules_(std::move(local_modules)),
      audit_(audit),
      digests_(digests),
      slots_(order_.size()),
      taken_(order_.size(), false) {
    if (order_.size() != tree.size()) throw std::invalid_argument("the order must hold every record of the tree once");
    std::vector<bool> seen(order_.size(), false);
    for (const std::size_t index : order_) {
        if (index >= seen.size() || seen[index]) {
            throw std::invalid_argument("the order must hold every record of the tree once");
        }
        seen[index] = true;
    }
    rank_.reserve(order_.size());
    std::size_t files = 0;
    for (const std::size_t index : order_) {
        rank_.push_back(files);
        files += index < tree_->size() ? 1 : 0;
    }
    if (local) lookup_.emplace(tree.root, std::move(*local));
    thread_count_ = tree_->empty() ? 0 : worker_count(num_threads, tree_->size());
    threads_.reserve(thread_count_);
    try {
        for (std::size_t started = 0; started < thread_count_; ++started) {
            threads_.push_back(start_std_thread([this] { work(); }));
        }
    } catch (...) {
        {
            const std::lock_guard<std::mutex> hold(mutex_);
            stopping_ = true;
        }
        for (std::thread& thread : threads_) thread.join();
        throw;
    }
}

TreeStream::~TreeStream() {
    {
        const std::lock_guard<std::mutex> hold(mutex_);
        stopping_ = true;
    }
    for (std::thread& thread : threads_) thread.join();
}

void TreeStream::work() noexcept {
    try {
        ScanWorker worker;
        worker.heap.expect(tree_->size() / thread_count_ * kResultBytesPerFile);
        for (;;) {
            std::size_t position = 0;
            {
                const std::lock_guard<std::mutex> hold(mutex_);
                // The walk's problems are made by the taker: no file to read.
                while (next_ < order_.size() && order_[next_] >= tree_->size()) ++next_;
                if (stopping_ || next_ == order_.size()) return;
                position = next_++;
            }
            FullResult made = scanner_.scan_walked(*tree_, order_[position], local_modules_, worker, audit_, digests_,
                                                   lookup_ ? &*lookup_ : nullptr);
            bool wake = false;
            {
                const std::lock_guard<std::mutex> hold(mutex_);
                slots_[position] = std::move(made);
                ++made_count_;
                wake = wake_at_ != 0 && made_count_ >= wake_at_;
            }
            if (wake) made_.notify_all();
        }
    } catch (...) {
        {
            const std::lock_guard<std::mutex> hold(mutex_);
            if (!failure_) failure_ = std::current_exception();
            stopping_ = true;
        }
        made_.notify_all();
    }
}

FullResult TreeStream::take(std::size_t position) {
    if (position >= order_.size() || taken_[position]) throw std::out_of_range("no such record, or taken already");
    const std::size_t index = order_[position];
    if (index >= tree_->size()) {
        taken_[position] = true;
        return walk_problem_result(tree_->problem(index - tree_->size()), digests_);
    }
    std::unique_lock<std::mutex> lock(mutex_);
    if (!slots_[position] && failure_ == nullptr) {
        wake_at_ = std::min(rank_[position] + kWakeAfter, tree_->size());
        made_.wait(lock, [&] {
            return failure_ != nullptr || (slots_[position].has_value() && made_count_ >= wake_at_);
        });
        wake_at_ = 0;
    }
    if (!slots_[position]) std::rethrow_exception(failure_);
    taken_[position] = true;
    FullResult made = std::move(*slots_[position]);
    slots_[position].reset();
    return made;
}

}  // namespace scanner_core
