#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <mutex>
#include <set>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "scan/scan_file.hpp"
#include "scan/parallel_scan.hpp"
#include "test_support.hpp"

namespace scanner_core {
namespace {

namespace fs = std::filesystem;

const ImportClassifier kClassifier{{"os"}, {"json"}, {}};

std::vector<std::string> paths_of(const std::vector<FileResult>& results) {
    std::vector<std::string> paths;
    for (const FileResult& result : results) paths.push_back(result.filepath);
    return paths;
}

using testing::walk_order;

TEST(WorkerCount, FollowsTheRequestCappedByTheFiles) {
    EXPECT_EQ(worker_count(8, 3, 2), 3u);
    EXPECT_EQ(worker_count(1, 100, 16), 1u);
    EXPECT_EQ(worker_count(500, 2000, 2), 500u);
    EXPECT_EQ(worker_count(4294967295u, 7, 2), 7u);
}

TEST(WorkerCount, ZeroMeansOnePerHardwareThreadAndUnknownHardwareMeansOne) {
    EXPECT_EQ(worker_count(0, 100, 16), 16u);
    EXPECT_EQ(worker_count(0, 5, 16), 5u);
    EXPECT_EQ(worker_count(0, 100, 0), 1u);
}

class ScanDirectory : public ::testing::Test {
protected:
    testing::ScratchDir dir;
};

TEST_F(ScanDirectory, ResultsFollowTheWalkWhateverTheThreadCount) {
    for (int i = 0; i < 40; ++i) {
        dir.write("pkg" + std::to_string(i % 5) + "/m" + std::to_string(i) + ".py",
                  std::string(static_cast<std::size_t>(i) * 500, '#') + "\nimport os\nimport yaml\n");
    }
    const std::vector<std::string> expected = walk_order(dir.str());
    ASSERT_EQ(expected.size(), 40u);
    for (unsigned threads : {1u, 2u, 8u, 0u, 64u}) {
        const std::vector<FileResult> results = scan_directory(kClassifier, dir.str(), {}, threads);
        EXPECT_EQ(paths_of(results), expected) << threads << " threads";
        for (const FileResult& result : results) {
            EXPECT_EQ(result.errors, std::vector<std::string>{result.filepath + ":2: import interdit \xE2\x80\x94 'os'"});
            EXPECT_EQ(result.warnings.size(), 1u);
        }
    }
}

TEST_F(ScanDirectory, KeepsRegularFilesWhoseExtensionIsExactlyDotPy) {
    for (const char* name : {"a.PY", "a.pyw", "a.pyi", "a.py~", "a.py.bak", ".py", "a.py", "a.b.py", ".hidden.py",
                             "..py", "pkg.py/inner.py", "pkg.py/note.txt"}) {
        dir.write(name, "import os\n");
    }
    std::set<std::string> kept;
    for (const FileResult& result : scan_directory(kClassifier, dir.str(), {}, 2)) kept.insert(result.filepath);
    const std::string root = dir.str() + "/";
    EXPECT_EQ(kept, (std::set<std::string>{root + "a.py", root + "a.b.py", root + ".hidden.py", root + "..py",
                                           root + "pkg.py/inner.py"}));
}

TEST_F(ScanDirectory, LinksToFilesCountUnderTheirOwnPathLinkedDirectoriesAreNotEntered) {
    testing::ScratchDir outside;
    outside.write("elsewhere/target.py", "import os\n");
    dir.write("real.py", "import json\n");
    fs::create_symlink(dir.path() / "real.py", dir.path() / "link.py");
    fs::create_directory_symlink(outside.path() / "elsewhere", dir.path() / "linked_dir");
    fs::create_symlink(dir.path() / "nowhere.py", dir.path() / "dangling.py");
    std::set<std::string> kept;
    for (const FileResult& result : scan_directory(kClassifier, dir.str(), {}, 0)) kept.insert(result.filepath);
    EXPECT_EQ(kept, (std::set<std::string>{dir.str() + "/real.py", dir.str() + "/link.py"}));
}

TEST_F(ScanDirectory, PathsAreComposedFromTheDirectoryAsGiven) {
    dir.write("tools/demo.py", "");
    const std::vector<std::string> expected{dir.str() + "/tools/demo.py"};
    EXPECT_EQ(paths_of(scan_directory(kClassifier, dir.str(), {}, 1)), expected);
    EXPECT_EQ(paths_of(scan_directory(kClassifier, dir.str() + "/", {}, 1)), expected);
}

TEST_F(ScanDirectory, EmptyTreesGiveAnEmptyResult) {
    EXPECT_TRUE(scan_directory(kClassifier, dir.str(), {}, 0).empty());
    dir.write("sub/readme.txt", "import os\n");
    EXPECT_TRUE(scan_directory(kClassifier, dir.str(), {}, 4).empty());
}

TEST_F(ScanDirectory, MissingOrNonDirectoryRootFailsTheWalk) {
    const std::string file = dir.write("plain.py", "");
    // A NUL byte would cut the name short and walk the directory before it.
    const std::string with_nul = dir.str() + std::string(1, '\0') + "x";
    for (const std::string& root : {dir.str() + "/missing", file, std::string(), with_nul}) {
        try {
            scan_directory(kClassifier, root, {}, 0);
            ADD_FAILURE() << "no exception for " << root;
        } catch (const fs::filesystem_error& error) {
            EXPECT_NE(std::string(error.what()).find("recursive directory iterator cannot open directory"),
                      std::string::npos)
                << error.what();
        }
    }
}

TEST_F(ScanDirectory, LinkLoopFailsTheWholeCall) {
    dir.write("ok.py", "");
    fs::create_symlink(dir.path() / "loop_a", dir.path() / "loop_b");
    fs::create_symlink(dir.path() / "loop_b", dir.path() / "loop_a");
    EXPECT_THROW(scan_directory(kClassifier, dir.str(), {}, 0), fs::filesystem_error);
}

// Runs `check` as an unprivileged user when the tests run as root, who
// would otherwise open and list everything whatever its permissions.
void expect_as_unprivileged_user(const std::function<bool()>& check) {
    if (::geteuid() != 0) {
        EXPECT_TRUE(check());
        return;
    }
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0) std::_Exit(2);
            std::_Exit(check() ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST_F(ScanDirectory, UnreadableFileKeepsItsPlaceWithItsOpenFailure) {
    dir.write("a.py", "");
    const std::string locked = dir.write("b.py", "import os\n");
    dir.write("c.py", "import os\n");
    fs::permissions(locked, fs::perms::none);
    expect_as_unprivileged_user([&] {
        const std::vector<FileResult> results = scan_directory(kClassifier, dir.str(), {}, 2);
        std::vector<std::string> expected = walk_order(dir.str());
        if (paths_of(results) != expected) return false;
        for (const FileResult& result : results) {
            const std::string name = fs::path(result.filepath).filename().string();
            const std::vector<std::string> errors =
                name == "b.py"   ? std::vector<std::string>{locked + ": impossible d'ouvrir le fichier"}
                : name == "c.py" ? std::vector<std::string>{result.filepath + ":1: import interdit \xE2\x80\x94 'os'"}
                                 : std::vector<std::string>{};
            if (result.errors != errors || result.passed != errors.empty()) return false;
        }
        return true;
    });
}

TEST_F(ScanDirectory, UnreadableSubdirectoryFailsTheWholeCall) {
    dir.write("a.py", "");
    dir.write("closed/b.py", "");
    fs::permissions(dir.path() / "closed", fs::perms::none);
    expect_as_unprivileged_user([&] {
        try {
            scan_directory(kClassifier, dir.str(), {}, 2);
        } catch (const fs::filesystem_error&) {
            return true;
        }
        return false;
    });
}

// The worker pool, through its seams.

std::vector<fs::path> fake_files(std::size_t count) {
    std::vector<fs::path> files;
    for (std::size_t i = 0; i < count; ++i) files.emplace_back("f" + std::to_string(i) + ".py");
    return files;
}

TEST(ParallelScan, EveryFileIsScannedExactlyOnceIntoItsOwnSlot) {
    const std::vector<fs::path> files = fake_files(1000);
    std::vector<std::atomic<int>> scans(files.size());
    const std::vector<FileResult> results = scan_in_parallel(files, 7, [&](const std::string& path, ReadBuffer&) {
        scans[std::stoul(path.substr(1))].fetch_add(1);
        FileResult result;
        result.filepath = path;
        return result;
    });
    ASSERT_EQ(results.size(), files.size());
    for (std::size_t i = 0; i < files.size(); ++i) {
        EXPECT_EQ(scans[i].load(), 1) << i;
        EXPECT_EQ(results[i].filepath, files[i].string());
    }
}

TEST(ParallelScan, FirstScanFailureIsRethrownAfterEveryWorkerStopped) {
    // The failing scan throws once the three other workers are inside scans
    // of their own, which go on until the failing worker has ended: all
    // three are still at work after the failure, and a rethrow that did not
    // wait for them would find them running.
    const std::vector<fs::path> files = fake_files(5000);
    std::mutex mutex;
    std::condition_variable changed;
    bool failing_scan_began = false;
    int held = 0;
    bool failing_worker_ended = false;
    std::atomic<int> running{0};
    std::atomic<int> started{0};
    std::atomic<int> ended{0};
    static thread_local bool this_worker_failed = false;
    const StartThread start = [&](std::function<void()> body) {
        started.fetch_add(1);
        return std::thread([&, body = std::move(body)] {
            body();
            if (this_worker_failed) {
                const std::lock_guard<std::mutex> lock(mutex);
                failing_worker_ended = true;
                changed.notify_all();
            }
            ended.fetch_add(1);
        });
    };
    const auto scan = [&](const std::string& path, ReadBuffer&) {
        running.fetch_add(1);
        std::unique_lock<std::mutex> lock(mutex);
        if (path == "f10.py") {
            failing_scan_began = true;
            changed.wait(lock, [&] { return held == 3; });
            running.fetch_sub(1);
            this_worker_failed = true;
            throw std::runtime_error("read failed on " + path);
        }
        if (failing_scan_began) {
            ++held;
            changed.notify_all();
            changed.wait(lock, [&] { return failing_worker_ended; });
        }
        running.fetch_sub(1);
        return FileResult{};
    };
    int running_at_rethrow = -1;
    int ended_at_rethrow = -1;
    try {
        scan_in_parallel(files, 4, scan, start);
        ADD_FAILURE() << "the failure was swallowed";
    } catch (const std::runtime_error& error) {
        running_at_rethrow = running.load();
        ended_at_rethrow = ended.load();
        EXPECT_STREQ(error.what(), "read failed on f10.py");
    }
    EXPECT_EQ(running_at_rethrow, 0);
    EXPECT_EQ(ended_at_rethrow, started.load());
    EXPECT_EQ(started.load(), 4);
}

TEST(ParallelScan, RefusedThreadStartJoinsTheStartedOnesAndReportsTheRefusal) {
    const std::vector<fs::path> files = fake_files(200);
    for (int refused_at : {0, 1, 3}) {
        int starts = 0;
        std::atomic<int> finished{0};
        const StartThread refuse_kth = [&](std::function<void()> body) {
            if (starts++ == refused_at) throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
            return std::thread([body = std::move(body), &finished] {
                body();
                finished.fetch_add(1);
            });
        };
        try {
            scan_in_parallel(files, 4, [](const std::string&, ReadBuffer&) { return FileResult{}; }, refuse_kth);
            ADD_FAILURE() << "the refusal was swallowed";
        } catch (const std::system_error& error) {
            EXPECT_EQ(error.code(), std::errc::resource_unavailable_try_again);
        }
        EXPECT_EQ(finished.load(), refused_at) << "every started worker ends before the call returns";
    }
}

TEST(ParallelScan, ProcessStaysUsableAfterAFailedCall) {
    const std::vector<fs::path> files = fake_files(50);
    EXPECT_THROW(scan_in_parallel(files, 3, [](const std::string&, ReadBuffer&) -> FileResult { throw std::bad_alloc(); }),
                 std::bad_alloc);
    EXPECT_EQ(scan_in_parallel(files, 3, [](const std::string& p, ReadBuffer&) { return FileResult{p, {}, {}, true}; }).size(), 50u);
}

}  // namespace
}  // namespace scanner_core
