#include <algorithm>
#include <atomic>
#include <cstdint>
#include <exception>

#include "import_classifier.hpp"
#include "parallel_scan.hpp"

namespace scanner_core {
namespace {

// The regular ".py" files below `src_dir`, in walk order, with the paths as
// the walk composes them. The throwing forms are used throughout: a walk
// that fails fails the scan, rather than silently skipping part of a tree.
std::vector<std::filesystem::path> discover_sources(const std::string& src_dir) {
    static const std::filesystem::path kExtension(".py");
    // The system would read the name only up to a NUL byte and walk some
    // other directory.
    if (src_dir.find('\0') != std::string::npos) {
        throw std::filesystem::filesystem_error("recursive directory iterator cannot open directory",
                                                std::filesystem::path(src_dir),
                                                std::make_error_code(std::errc::invalid_argument));
    }
    std::vector<std::filesystem::path> files;
    for (const std::filesystem::directory_entry& entry : std::filesystem::recursive_directory_iterator(
             std::filesystem::path(src_dir), std::filesystem::directory_options::none)) {
        if (!entry.is_regular_file()) continue;
        if (entry.path().extension() != kExtension) continue;
        files.push_back(entry.path());
    }
    return files;
}

// Joins every thread it holds when it goes out of scope, so that no way out
// of scan_in_parallel, an exception included, leaves a joinable thread.
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

std::thread start_std_thread(std::function<void()> body) { return std::thread(std::move(body)); }

std::vector<FileResult> scan_in_parallel(const std::vector<std::filesystem::path>& files, std::size_t thread_count,
                                         const ScanOne& scan_one, const StartThread& start_thread) {
    const std::size_t file_count = files.size();
    std::vector<FileResult> results(file_count);
    std::atomic<std::uint64_t> next_index{0};
    std::atomic<bool> failed{false};
    std::exception_ptr first_failure;  // written once, by whoever sets `failed`

    const auto record_failure = [&](std::exception_ptr failure) noexcept {
        if (!failed.exchange(true)) first_failure = std::move(failure);
    };
    const auto worker = [&]() noexcept {
        try {
            while (!failed.load(std::memory_order_relaxed)) {
                const std::uint64_t index = next_index.fetch_add(1);
                if (index >= file_count) return;
                results[index] = scan_one(files[index].native());
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
    return results;
}

std::vector<FileResult> ImportClassifier::scan_directory(const std::string& src_dir,
                                                         const std::unordered_set<std::string>& local_modules,
                                                         unsigned int num_threads) const {
    const std::vector<std::filesystem::path> files = discover_sources(src_dir);
    if (files.empty()) return {};
    const std::size_t thread_count = worker_count(num_threads, files.size(),
                                                  num_threads == 0 ? std::thread::hardware_concurrency() : 0);
    return scan_in_parallel(files, thread_count,
                            [&](const std::string& path) { return scan_file(path, local_modules); });
}

}  // namespace scanner_core
