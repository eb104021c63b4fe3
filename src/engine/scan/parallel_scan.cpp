#include "scan/parallel_scan.hpp"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <exception>

namespace scanner_core {
namespace {

// About what one file's record takes on the heap (its path, a few messages
// and their lists): a thread grows its heap by that much per file it may
// scan before it starts (see HeapReserve).
constexpr std::size_t kResultBytesPerFile = 768;

// Joins every thread it holds when it goes out of scope, so that no way out
// of run_in_parallel, an exception included, leaves a joinable thread.
class JoinedThreads {
public:
    explicit JoinedThreads(std::size_t capacity) { threads_.reserve(capacity); }
    JoinedThreads(const JoinedThreads&) = delete;
    JoinedThreads& operator=(const JoinedThreads&) = delete;
    ~JoinedThreads() { join_all(); }

    // Never reallocates: the capacity was reserved up front.
    void add(std::thread thread) noexcept { threads_.push_back(std::move(thread)); }

    void join_all() noexcept {
        for (std::thread& thread : threads_) {
            if (thread.joinable()) thread.join();
        }
    }

private:
    std::vector<std::thread> threads_;
};

}  // namespace

std::size_t worker_count(unsigned int requested, std::size_t file_count, unsigned int hardware) noexcept {
    const std::size_t wanted = requested != 0 ? requested : std::max(hardware, 1u);
    return std::min(wanted, file_count);
}

std::size_t worker_count(unsigned int requested, std::size_t file_count) noexcept {
    return worker_count(requested, file_count, requested == 0 ? std::thread::hardware_concurrency() : 0);
}

std::thread start_std_thread(std::function<void()> body) { return std::thread(std::move(body)); }

namespace {

// The pool, with `Worker` the state each thread makes for itself and hands
// to every scan it runs.
template <class Worker, class ScanOne>
void run_workers(std::size_t count, std::size_t thread_count, const ScanOne& scan_one,
                 const StartThread& start_thread) {
    std::atomic<std::uint64_t> next_index{0};
    std::atomic<bool> failed{false};
    std::exception_ptr first_failure;  // written once, by whoever sets `failed`

    const auto record_failure = [&](std::exception_ptr failure) noexcept {
        if (!failed.exchange(true)) first_failure = std::move(failure);
    };
    const auto worker = [&]() noexcept {
        try {
            Worker state;
            state.heap.expect(count / thread_count * kResultBytesPerFile);
            while (!failed.load(std::memory_order_relaxed)) {
                const std::uint64_t index = next_index.fetch_add(1);
                if (index >= count) return;
                scan_one(static_cast<std::size_t>(index), state);
            }
        } catch (...) {
            record_failure(std::current_exception());
        }
    };

    {
        JoinedThreads threads(thread_count);
        try {
            for (std::size_t started = 0; started < thread_count; ++started) threads.add(start_thread(worker));
        } catch (...) {
            record_failure(std::current_exception());
        }
        threads.join_all();
    }
    if (first_failure) std::rethrow_exception(first_failure);
}

}  // namespace

void run_in_parallel(std::size_t count, std::size_t thread_count, const ScanIndex& scan_one,
                     const StartThread& start_thread) {
    run_workers<ScanWorker>(
        count, thread_count, [&](std::size_t index, ScanWorker& worker) { scan_one(index, worker.reader.buffer()); },
        start_thread);
}

void run_in_parallel(std::size_t count, std::size_t thread_count, const WorkIndex& scan_one,
                     const StartThread& start_thread) {
    run_workers<ScanWorker>(count, thread_count, scan_one, start_thread);
}

}  // namespace scanner_core
