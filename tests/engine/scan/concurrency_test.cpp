// Scans that overlap on one shared classifier, and the worker pool when a
// scan fails. Every overlapping call must give exactly what the same call
// gives alone; under ThreadSanitizer these are the tests where a data race
// in the scans would show.
#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <unordered_set>
#include <vector>

#include "scan/scan_file.hpp"
#include "scan/parallel_scan.hpp"
#include "test_support.hpp"

namespace scanner_core {
namespace {

bool same(const FileResult& a, const FileResult& b) {
    return a.filepath == b.filepath && a.errors == b.errors && a.warnings == b.warnings && a.passed == b.passed;
}

bool same(const std::vector<FileResult>& a, const std::vector<FileResult>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (!same(a[i], b[i])) return false;
    }
    return true;
}

class ConcurrentScans : public ::testing::Test {
protected:
    // Files of different sizes and verdicts, so that workers finish out of
    // order and every kind of message is built concurrently.
    void write_tree(int files) {
        for (int i = 0; i < files; ++i) {
            std::string content(static_cast<std::size_t>(i % 7) * 900, '#');
            content += "\nimport os.path\nfrom mypkg import x\nimport yaml, json\nfrom . import y\nimport toolkit.api.w\n";
            dir.write("pkg" + std::to_string(i % 4) + "/m" + std::to_string(i) + ".py", content);
        }
    }

    const ImportClassifier classifier{{"os", "subprocess"}, {"json"}, {"toolkit.api"}};
    const std::unordered_set<std::string> local_modules{"mypkg"};
    testing::ScratchDir dir;
};

TEST_F(ConcurrentScans, OverlappingCallsOnOneClassifierMatchALoneCall) {
    write_tree(48);
    const std::vector<FileResult> alone = scan_directory(classifier, dir.str(), local_modules, 1);
    ASSERT_EQ(alone.size(), 48u);
    const std::string one_file = alone.front().filepath;
    const FileResult one_alone = scan_file(classifier, one_file, local_modules);
    ASSERT_EQ(one_alone.errors.size(), 1u);
    ASSERT_EQ(one_alone.warnings.size(), 1u);

    std::atomic<int> mismatches{0};
    std::vector<std::thread> callers;
    for (unsigned caller = 0; caller < 6; ++caller) {
        callers.emplace_back([&, caller] {
            for (unsigned round = 0; round < 8; ++round) {
                const unsigned workers = (caller + round) % 5;  // 0 (automatic) to 4
                if (!same(scan_directory(classifier, dir.str(), local_modules, workers), alone)) ++mismatches;
                if (!same(scan_file(classifier, one_file, local_modules), one_alone)) ++mismatches;
            }
        });
    }
    for (std::thread& caller : callers) caller.join();
    EXPECT_EQ(mismatches.load(), 0);
}

TEST_F(ConcurrentScans, AHugeThreadRequestGivesWhatOneWorkerGivesOrReportsARefusedThread) {
    write_tree(300);
    const std::vector<FileResult> alone = scan_directory(classifier, dir.str(), local_modules, 1);
    ASSERT_EQ(alone.size(), 300u);
    // As many workers as files (WorkerCount's tests hold the number): under
    // a lower thread or process limit, one may be refused, and then the
    // refusal is what the call reports.
    try {
        EXPECT_TRUE(same(scan_directory(classifier, dir.str(), local_modules, UINT_MAX), alone));
    } catch (const std::system_error& error) {
        EXPECT_EQ(error.code(), std::errc::resource_unavailable_try_again) << error.what();
    }
}

// Starts the first worker at once and holds every later one until the
// first has left its claim loop, so that what the later ones do after a
// failure no longer depends on how the system schedules threads.
class FirstWorkerAlone {
public:
    std::thread start(std::function<void()> body) {
        const bool first = started_++ == 0;
        return std::thread([this, first, body = std::move(body)] {
            if (!first) {
                std::unique_lock<std::mutex> lock(mutex_);
                first_done_changed_.wait(lock, [this] { return first_done_; });
            }
            body();
            if (first) {
                const std::lock_guard<std::mutex> lock(mutex_);
                first_done_ = true;
                first_done_changed_.notify_all();
            }
        });
    }

private:
    int started_ = 0;  // only the calling thread starts workers
    std::mutex mutex_;
    std::condition_variable first_done_changed_;
    bool first_done_ = false;
};

TEST(ParallelScanFailure, NoFileIsHandedOutOnceAScanHasFailed) {
    std::vector<std::filesystem::path> files;
    for (int i = 0; i < 500; ++i) files.emplace_back("f" + std::to_string(i) + ".py");
    FirstWorkerAlone workers;
    std::atomic<int> scanned{0};
    try {
        scan_in_parallel(
            files, 4,
            [&](const std::string& path, ReadBuffer&) {
                scanned.fetch_add(1);
                if (path == "f10.py") throw std::runtime_error("read failed on " + path);
                return FileResult{path, {}, {}, true};
            },
            [&](std::function<void()> body) { return workers.start(std::move(body)); });
        ADD_FAILURE() << "the failure was swallowed";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "read failed on f10.py");
    }
    // The first worker scanned f0 to f10 alone; the three others began
    // after the failure and must not have claimed a single file.
    EXPECT_EQ(scanned.load(), 11);
}

}  // namespace
}  // namespace scanner_core
