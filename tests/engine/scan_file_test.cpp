#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <fstream>
#include <ios>
#include <thread>

#include "import_classifier.hpp"
#include "import_message.hpp"
#include "test_support.hpp"

namespace scanner_core {
namespace {

using Messages = std::vector<std::string>;

class ScanFile : public ::testing::Test {
protected:
    const ImportClassifier classifier{{"os", "subprocess"}, {"json", "os.path", "a.b"}, {"toolkit.api"}};
    testing::ScratchDir dir;
};

TEST_F(ScanFile, ReportsForbiddenAsErrorsAndUnlistedAsWarnings) {
    const std::string path = dir.write("demo.py", "import json\nimport os.path\n\nfrom requests import get\n");
    const FileResult result = classifier.scan_file(path, {});
    EXPECT_EQ(result.filepath, path);
    EXPECT_EQ(result.errors, Messages{path + ":2: import interdit \xE2\x80\x94 'os.path'"});
    EXPECT_EQ(result.warnings, Messages{path + ":4: import non whitelist\xC3\xA9 \xE2\x80\x94 'requests'"});
    EXPECT_FALSE(result.passed);
}

TEST_F(ScanFile, UnopenableFileGivesOneErrorAndNoScan) {
    const std::string path = dir.str() + "/missing.py";
    const FileResult result = classifier.scan_file(path, {});
    EXPECT_EQ(result.filepath, path);
    EXPECT_EQ(result.errors, Messages{path + ": impossible d'ouvrir le fichier"});
    EXPECT_TRUE(result.warnings.empty());
    EXPECT_FALSE(result.passed);
}

TEST_F(ScanFile, DirectoryOpensButCannotBeReadSoItThrows) {
    EXPECT_THROW(classifier.scan_file(dir.str(), {}), std::ios_base::failure);
    try {
        classifier.scan_file(dir.str(), {});
    } catch (const std::ios_base::failure& failure) {
        EXPECT_NE(std::string(failure.what()).find(dir.str()), std::string::npos) << failure.what();
    }
}

TEST_F(ScanFile, EmptyFilesAndFilesWithoutImportsPass) {
    for (const char* content : {"", "\n", "x = 1\nprint(x)\n"}) {
        const FileResult result = classifier.scan_file(dir.write("quiet.py", content), {});
        EXPECT_TRUE(result.errors.empty());
        EXPECT_TRUE(result.warnings.empty());
        EXPECT_TRUE(result.passed);
    }
}

TEST_F(ScanFile, RelativeAndEmptyNamesAreNeverReported) {
    const FileResult result =
        classifier.scan_file(dir.write("rel.py", "from . import os\nfrom .os import x\nfrom ..subprocess import y\n"), {});
    EXPECT_TRUE(result.errors.empty());
    EXPECT_TRUE(result.warnings.empty());
}

TEST_F(ScanFile, LocalModulesComeBeforeTheRestOfThePolicy) {
    const std::string path = dir.write("local.py", "import os.tools\nimport mypkg.util\nimport mypkg.other\n");
    const FileResult by_root = classifier.scan_file(path, {"os"});
    EXPECT_TRUE(by_root.errors.empty());
    EXPECT_EQ(by_root.warnings.size(), 2u);

    const FileResult by_name = classifier.scan_file(path, {"mypkg.util"});
    EXPECT_EQ(by_name.errors.size(), 1u);
    EXPECT_EQ(by_name.warnings, Messages{path + ":3: import non whitelist\xC3\xA9 \xE2\x80\x94 'mypkg.other'"});
}

TEST_F(ScanFile, ForbiddenWinsOverAllowedAndNamesTheWholeModule) {
    const std::string path = dir.write("order.py", "from os.path import join\nimport json.decoder\nimport a.b.c\n");
    const FileResult result = classifier.scan_file(path, {});
    EXPECT_EQ(result.errors, Messages{path + ":1: import interdit \xE2\x80\x94 'os.path'"});
    EXPECT_EQ(result.warnings, Messages{path + ":3: import non whitelist\xC3\xA9 \xE2\x80\x94 'a.b.c'"});
}

TEST_F(ScanFile, PrefixesAllowTheirSubtreeOnly) {
    const std::string path = dir.write("p.py", "import toolkit.api\nimport toolkit.api.widgets\nimport toolkit.apis\n");
    EXPECT_EQ(classifier.scan_file(path, {}).warnings,
              Messages{path + ":3: import non whitelist\xC3\xA9 \xE2\x80\x94 'toolkit.apis'"});
}

TEST_F(ScanFile, RepeatedImportsAreReportedOncePerLine) {
    const std::string path = dir.write("twice.py", "x\nimport subprocess\n\n\n\n\n\n\nimport subprocess\n");
    const FileResult result = classifier.scan_file(path, {});
    EXPECT_EQ(result.errors, (Messages{path + ":2: import interdit \xE2\x80\x94 'subprocess'",
                                       path + ":9: import interdit \xE2\x80\x94 'subprocess'"}));
}

TEST_F(ScanFile, OnlyWarningsStillPass) {
    const FileResult result = classifier.scan_file(dir.write("w.py", "import requests\nimport yaml\n"), {});
    EXPECT_EQ(result.warnings.size(), 2u);
    EXPECT_TRUE(result.passed);
}

TEST_F(ScanFile, PathBytesAreKeptAsGiven) {
    const std::string path = dir.str() + "/./sub/../caf\xc3\xa9 \xff.py";
    std::filesystem::create_directories(dir.path() / "sub");
    dir.write("caf\xc3\xa9 \xff.py", "import yaml\n");
    const FileResult result = classifier.scan_file(path, {});
    EXPECT_EQ(result.filepath, path);
    EXPECT_EQ(result.warnings, Messages{path + ":1: import non whitelist\xC3\xA9 \xE2\x80\x94 'yaml'"});
}

TEST_F(ScanFile, PathWithANulByteNamesNoFile) {
    const std::string real = dir.write("real.py", "import os\n");
    const std::string path = real + std::string(1, '\0') + ".txt";
    const FileResult result = classifier.scan_file(path, {});
    EXPECT_EQ(result.filepath, path);
    EXPECT_EQ(result.errors, Messages{path + ": impossible d'ouvrir le fichier"});
}

TEST_F(ScanFile, FilesThatReportNoSizeAreReadToTheirEnd) {
    // /proc files report a size of 0; the read must not stop there.
    const FileResult result = classifier.scan_file("/proc/self/status", {});
    EXPECT_TRUE(result.passed);
    EXPECT_TRUE(result.errors.empty());
}

TEST_F(ScanFile, FifoIsReadLikeAStreamOnceItsWriterComes) {
    const std::string path = dir.str() + "/pipe.py";
    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
    FileResult result;
    std::thread scan([&] { result = classifier.scan_file(path, {}); });
    // Opening for writing waits for the scan's open for reading: the
    // content arrives only after the scan has started.
    const int writer = ::open(path.c_str(), O_WRONLY);
    ASSERT_GE(writer, 0);
    const std::string text = "x = 1\nimport os\n";
    EXPECT_EQ(::write(writer, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    ::close(writer);
    scan.join();
    EXPECT_EQ(result.errors, Messages{path + ":2: import interdit \xE2\x80\x94 'os'"});
    EXPECT_FALSE(result.passed);
}

TEST_F(ScanFile, FifoOpenCutShortByASignalGoesOnWaiting) {
    const std::string path = dir.str() + "/signalled.py";
    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
    // A handler without SA_RESTART: the system ends the waiting open with
    // EINTR instead of resuming it.
    struct sigaction quiet {}, previous {};
    quiet.sa_handler = [](int) {};
    ASSERT_EQ(::sigaction(SIGUSR1, &quiet, &previous), 0);
    std::atomic<pid_t> scanner{0};
    FileResult result;
    std::thread scan([&] {
        scanner = static_cast<pid_t>(::syscall(SYS_gettid));
        result = classifier.scan_file(path, {});
    });
    // Wait until the scan sits in its open (system call 257, openat), then
    // interrupt it.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (std::string call; call.rfind("257 ", 0) != 0 && std::chrono::steady_clock::now() < deadline;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (scanner == 0) continue;
        std::ifstream state("/proc/self/task/" + std::to_string(scanner) + "/syscall");
        std::getline(state, call);
    }
    ASSERT_EQ(::pthread_kill(scan.native_handle(), SIGUSR1), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    // A scan that gave up leaves no reader, so this open fails (ENXIO)
    // rather than waiting for ever.
    int writer = -1;
    while ((writer = ::open(path.c_str(), O_WRONLY | O_NONBLOCK)) < 0 && errno == ENXIO &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_GE(writer, 0) << "the scan stopped waiting for the writer";
    if (writer >= 0) {
        EXPECT_EQ(::write(writer, "import os\n", 10), 10);
        ::close(writer);
    }
    scan.join();
    ::sigaction(SIGUSR1, &previous, nullptr);
    EXPECT_EQ(result.errors, Messages{path + ":1: import interdit \xE2\x80\x94 'os'"});
}

TEST_F(ScanFile, ContentBeyondTheFirstBufferIsReadWhole) {
    // A pipe delivers its content in pieces of its own size, many times
    // over, and lines cut at their ends.
    const std::string path = dir.str() + "/stream.py";
    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
    const int writer = ::open(path.c_str(), O_RDWR);  // keeps the pipe open until all is written
    ASSERT_GE(writer, 0);
    constexpr int kLines = 40000;
    std::thread feed([writer] {
        const std::string line = "import yaml\n";
        for (int i = 0; i < kLines; ++i) {
            if (::write(writer, line.data(), line.size()) != static_cast<ssize_t>(line.size())) break;
        }
        ::close(writer);
    });
    const FileResult result = classifier.scan_file(path, {});
    feed.join();
    ASSERT_EQ(result.warnings.size(), static_cast<std::size_t>(kLines));
    EXPECT_EQ(result.warnings.back(), path + ":40000: import non whitelist\xC3\xA9 \xE2\x80\x94 'yaml'");
}

// A long name's message is made within the name's own string when its room
// allows: the text must be the same as when it is copied, on either side of
// the threshold, with no room to spare, one byte short, just enough, and more.
TEST(ImportMessage, IsTheSameWhetherTheNameIsMovedInPlaceOrCopied) {
    const std::string path = "plugins/p.py";
    const std::string text = "import interdit \xE2\x80\x94 '";
    const std::size_t head = path.size() + std::string(":1234: ").size() + text.size();
    for (const std::size_t size : {kInPlaceThreshold, kInPlaceThreshold + 1}) {
        std::string name;
        for (std::size_t i = 0; name.size() < size; ++i) name += i % 7 == 6 ? '.' : static_cast<char>('a' + i % 26);
        for (const std::size_t room : {size, size + head, size + head + 1, 4 * size}) {
            std::string module;
            module.reserve(room);
            module = name;
            ASSERT_EQ(module.capacity(), room) << "the room this case is meant to have";
            const char* const own = module.data();
            const std::string message = import_message(path, 1234, text, std::move(module));
            EXPECT_EQ(message, path + ":1234: " + text + name + "'") << size << " bytes in " << room;
            // Past the threshold and with room for it all, the name was not copied.
            if (size > kInPlaceThreshold && room > size + head) {
                EXPECT_EQ(message.data(), own) << room;
            }
        }
    }
}

}  // namespace
}  // namespace scanner_core
