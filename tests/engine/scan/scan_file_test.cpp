#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <ios>
#include <string>
#include <thread>
#include <vector>

#include "scan/scan_file.hpp"
#include "line_scan/import_message.hpp"
#include "reading/source_file.hpp"
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
    const FileResult result = scan_file(classifier, path, {});
    EXPECT_EQ(result.filepath, path);
    EXPECT_EQ(result.errors, Messages{path + ":2: import interdit \xE2\x80\x94 'os.path'"});
    EXPECT_EQ(result.warnings, Messages{path + ":4: import non whitelist\xC3\xA9 \xE2\x80\x94 'requests'"});
    EXPECT_FALSE(result.passed);
}

TEST_F(ScanFile, UnopenableFileGivesOneErrorAndNoScan) {
    const std::string path = dir.str() + "/missing.py";
    const FileResult result = scan_file(classifier, path, {});
    EXPECT_EQ(result.filepath, path);
    EXPECT_EQ(result.errors, Messages{path + ": impossible d'ouvrir le fichier"});
    EXPECT_TRUE(result.warnings.empty());
    EXPECT_FALSE(result.passed);
}

TEST_F(ScanFile, DirectoryOpensButCannotBeReadSoItThrows) {
    EXPECT_THROW(scan_file(classifier, dir.str(), {}), std::ios_base::failure);
    try {
        scan_file(classifier, dir.str(), {});
    } catch (const std::ios_base::failure& failure) {
        EXPECT_NE(std::string(failure.what()).find(dir.str()), std::string::npos) << failure.what();
    }
}

TEST_F(ScanFile, EmptyFilesAndFilesWithoutImportsPass) {
    for (const char* content : {"", "\n", "x = 1\nprint(x)\n"}) {
        const FileResult result = scan_file(classifier, dir.write("quiet.py", content), {});
        EXPECT_TRUE(result.errors.empty());
        EXPECT_TRUE(result.warnings.empty());
        EXPECT_TRUE(result.passed);
    }
}

TEST_F(ScanFile, RelativeAndEmptyNamesAreNeverReported) {
    const FileResult result =
        scan_file(classifier, dir.write("rel.py", "from . import os\nfrom .os import x\nfrom ..subprocess import y\n"), {});
    EXPECT_TRUE(result.errors.empty());
    EXPECT_TRUE(result.warnings.empty());
}

TEST_F(ScanFile, LocalModulesComeBeforeTheRestOfThePolicy) {
    const std::string path = dir.write("local.py", "import os.tools\nimport mypkg.util\nimport mypkg.other\n");
    const FileResult by_root = scan_file(classifier, path, {"os"});
    EXPECT_TRUE(by_root.errors.empty());
    EXPECT_EQ(by_root.warnings.size(), 2u);

    const FileResult by_name = scan_file(classifier, path, {"mypkg.util"});
    EXPECT_EQ(by_name.errors.size(), 1u);
    EXPECT_EQ(by_name.warnings, Messages{path + ":3: import non whitelist\xC3\xA9 \xE2\x80\x94 'mypkg.other'"});
}

TEST_F(ScanFile, ForbiddenWinsOverAllowedAndNamesTheWholeModule) {
    const std::string path = dir.write("order.py", "from os.path import join\nimport json.decoder\nimport a.b.c\n");
    const FileResult result = scan_file(classifier, path, {});
    EXPECT_EQ(result.errors, Messages{path + ":1: import interdit \xE2\x80\x94 'os.path'"});
    EXPECT_EQ(result.warnings, Messages{path + ":3: import non whitelist\xC3\xA9 \xE2\x80\x94 'a.b.c'"});
}

TEST_F(ScanFile, PrefixesAllowTheirSubtreeOnly) {
    const std::string path = dir.write("p.py", "import toolkit.api\nimport toolkit.api.widgets\nimport toolkit.apis\n");
    EXPECT_EQ(scan_file(classifier, path, {}).warnings,
              Messages{path + ":3: import non whitelist\xC3\xA9 \xE2\x80\x94 'toolkit.apis'"});
}

TEST_F(ScanFile, RepeatedImportsAreReportedOncePerLine) {
    const std::string path = dir.write("twice.py", "x\nimport subprocess\n\n\n\n\n\n\nimport subprocess\n");
    const FileResult result = scan_file(classifier, path, {});
    EXPECT_EQ(result.errors, (Messages{path + ":2: import interdit \xE2\x80\x94 'subprocess'",
                                       path + ":9: import interdit \xE2\x80\x94 'subprocess'"}));
}

TEST_F(ScanFile, OnlyWarningsStillPass) {
    const FileResult result = scan_file(classifier, dir.write("w.py", "import requests\nimport yaml\n"), {});
    EXPECT_EQ(result.warnings.size(), 2u);
    EXPECT_TRUE(result.passed);
}

TEST_F(ScanFile, PathBytesAreKeptAsGiven) {
    const std::string path = dir.str() + "/./sub/../caf\xc3\xa9 \xff.py";
    std::filesystem::create_directories(dir.path() / "sub");
    dir.write("caf\xc3\xa9 \xff.py", "import yaml\n");
    const FileResult result = scan_file(classifier, path, {});
    EXPECT_EQ(result.filepath, path);
    EXPECT_EQ(result.warnings, Messages{path + ":1: import non whitelist\xC3\xA9 \xE2\x80\x94 'yaml'"});
}

TEST_F(ScanFile, PathWithANulByteNamesNoFile) {
    const std::string real = dir.write("real.py", "import os\n");
    const std::string path = real + std::string(1, '\0') + ".txt";
    const FileResult result = scan_file(classifier, path, {});
    EXPECT_EQ(result.filepath, path);
    EXPECT_EQ(result.errors, Messages{path + ": impossible d'ouvrir le fichier"});
}

TEST_F(ScanFile, FilesThatReportNoSizeAreReadToTheirEnd) {
    // A process's environment as /proc shows it reports a size of 0, as
    // every file there does; this one holds an import past a first read.
    const std::string filler(100000, 'x');
    std::vector<std::string> environment{"A=" + filler, "B=" + filler, "C=" + filler, "D=\nimport os\n"};
    ASSERT_GT(3 * filler.size(), kReadPieceSize);
    std::vector<char*> pointers;
    for (std::string& variable : environment) pointers.push_back(variable.data());
    pointers.push_back(nullptr);
    // cat keeps the environment alive until its input ends; the line it
    // echoes says that its exec is complete, environment in place.
    int input[2];
    int output[2];
    ASSERT_EQ(::pipe2(input, O_CLOEXEC), 0);
    ASSERT_EQ(::pipe2(output, O_CLOEXEC), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, input[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
    char name[] = "cat";
    char* arguments[] = {name, nullptr};
    pid_t child = 0;
    const int spawned = ::posix_spawn(&child, "/bin/cat", &actions, nullptr, arguments, pointers.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(input[0]);
    ::close(output[1]);
    ASSERT_EQ(spawned, 0);
    char echoed = 0;
    EXPECT_EQ(::write(input[1], "\n", 1), 1);
    EXPECT_EQ(::read(output[0], &echoed, 1), 1);
    ::close(output[0]);
    const std::string path = "/proc/" + std::to_string(child) + "/environ";
    struct stat info {};
    EXPECT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_TRUE(S_ISREG(info.st_mode));
    EXPECT_EQ(info.st_size, 0);
    const FileResult result = scan_file(classifier, path, {});
    ::close(input[1]);
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_EQ(result.errors, Messages{path + ":2: import interdit \xE2\x80\x94 'os'"});
    EXPECT_TRUE(result.warnings.empty());
}

TEST_F(ScanFile, FifoIsReadLikeAStreamOnceItsWriterComes) {
    const std::string path = testing::make_fifo(dir.str() + "/pipe.py");
    testing::CallOnThread<FileResult> scan([&] { return scan_file(classifier, path, {}); });
    // The writer opens once the scan has opened for reading: the content
    // arrives after the scan has started.
    testing::FifoWriter writer = testing::FifoWriter::once_read(path, [&] { return scan.finished(); });
    EXPECT_TRUE(writer.is_open()) << "the scan never opened the FIFO";
    if (writer.is_open()) writer.write_all("x = 1\nimport os\n");
    writer.close();
    const FileResult result = scan.get();
    EXPECT_EQ(result.errors, Messages{path + ":2: import interdit \xE2\x80\x94 'os'"});
    EXPECT_FALSE(result.passed);
}

// A signal whose handler does not ask for SA_RESTART ends a waiting system
// call with EINTR: the scan must call it again, not give up.

TEST_F(ScanFile, FifoOpenCutShortByASignalGoesOnWaiting) {
    const std::string path = testing::make_fifo(dir.str() + "/signalled.py");
    const testing::InterruptingSignal signal(SIGUSR1);
    testing::CallOnThread<FileResult> scan([&] { return scan_file(classifier, path, {}); });
    const auto ended = [&] { return scan.finished(); };
    EXPECT_TRUE(testing::wait_until_blocked_in(scan.tid(), testing::kOpenCalls, ended)) << "waiting for a writer";
    signal.send_to(scan.handle());
    EXPECT_TRUE(testing::wait_until([&] { return signal.delivered() == 1; }));
    // A scan that gave up has ended; one that goes on waiting is back in its open.
    EXPECT_TRUE(testing::wait_until_blocked_in(scan.tid(), testing::kOpenCalls, ended))
        << "the scan stopped waiting for its writer";
    testing::FifoWriter writer = testing::FifoWriter::once_read(path, ended);
    if (writer.is_open()) writer.write_all("import os\n");
    writer.close();
    EXPECT_EQ(scan.get().errors, Messages{path + ":1: import interdit \xE2\x80\x94 'os'"});
}

TEST_F(ScanFile, ReadCutShortByASignalGoesOnReading) {
    const std::string path = testing::make_fifo(dir.str() + "/slow.py");
    testing::FifoWriter writer = testing::FifoWriter::holding_open(path);  // the scan's read waits for content
    const testing::InterruptingSignal signal(SIGUSR1);
    testing::CallOnThread<FileResult> scan([&] { return scan_file(classifier, path, {}); });
    const auto ended = [&] { return scan.finished(); };
    EXPECT_TRUE(testing::wait_until_blocked_in(scan.tid(), testing::kReadCalls, ended)) << "waiting for content";
    signal.send_to(scan.handle());
    EXPECT_TRUE(testing::wait_until([&] { return signal.delivered() == 1; }));
    EXPECT_TRUE(testing::wait_until_blocked_in(scan.tid(), testing::kReadCalls, ended))
        << "the scan stopped at the interrupted read";
    writer.write_all("x = 1\nimport os\n");
    writer.close();
    FileResult result;
    EXPECT_NO_THROW(result = scan.get());
    EXPECT_EQ(result.errors, Messages{path + ":2: import interdit \xE2\x80\x94 'os'"});
}

TEST_F(ScanFile, ContentBeyondTheFirstBufferIsReadWhole) {
    // A pipe delivers its content in pieces of its own size, many times
    // over, and lines cut at their ends.
    const std::string path = testing::make_fifo(dir.str() + "/stream.py");
    testing::FifoWriter writer = testing::FifoWriter::holding_open(path);  // open until all is written
    constexpr int kLines = 40000;
    std::thread feed([&writer] {
        for (int i = 0; i < kLines; ++i) writer.write_all("import yaml\n");
        writer.close();
    });
    const FileResult result = scan_file(classifier, path, {});
    feed.join();
    ASSERT_EQ(result.warnings.size(), static_cast<std::size_t>(kLines));
    EXPECT_EQ(result.warnings.back(), path + ":40000: import non whitelist\xC3\xA9 \xE2\x80\x94 'yaml'");
}

TEST_F(ScanFile, WhereOnlyRegularFilesAreExpectedAnythingElseCannotBeOpened) {
    // A directory scan's workers open what the walk found as regular files:
    // a FIFO or a directory put in a file's place since counts as a file
    // that cannot be opened, and the FIFO's open does not wait for a writer.
    const std::string fifo = testing::make_fifo(dir.str() + "/pipe.py");
    const std::string directory = dir.str() + "/package.py";
    std::filesystem::create_directory(directory);
    for (const std::string& path : {fifo, directory}) {
        testing::CallOnThread<FileResult> scan([&] {
            ScanWorker worker;
            return scan_source(classifier, SourceLocation{path}, {}, worker, OpenMode::regular_only);
        });
        const bool ended = testing::wait_until([&] { return scan.finished(); });
        EXPECT_TRUE(ended) << path << ": the open waited";
        if (!ended) testing::FifoWriter::once_read(path, [] { return false; });  // lets it go
        const FileResult result = scan.get();
        EXPECT_EQ(result.errors, Messages{path + ": impossible d'ouvrir le fichier"});
        EXPECT_TRUE(result.warnings.empty());
        EXPECT_FALSE(result.passed);
    }
    ScanWorker worker;
    const std::string regular = dir.write("regular.py", "import os\n");
    EXPECT_EQ(scan_source(classifier, SourceLocation{regular}, {}, worker, OpenMode::regular_only).errors,
              Messages{regular + ":1: import interdit \xE2\x80\x94 'os'"});
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
            const std::string message = import_message(path, 1234, text, module, &module);
            EXPECT_EQ(message, path + ":1234: " + text + name + "'") << size << " bytes in " << room;
            // Past the threshold and with room for it all, the name was not copied.
            if (size > kInPlaceThreshold && room > size + head) {
                EXPECT_EQ(message.data(), own) << room;
            }
        }
    }
}

// A message written around its name where the name was gathered, after
// room for its head, is the same as one made anew; and room of any other
// size still gives the same message.
TEST(ImportMessage, IsWrittenAroundANameThatHasRoomForItsHeadAndIsTheSameWithAnyOtherRoom) {
    const std::string path = "plugins/p.py";
    const std::string text = "import non whitelist\xC3\xA9 \xE2\x80\x94 '";
    std::string name;
    for (std::size_t i = 0; name.size() < 3 * kInPlaceThreshold; ++i) name += static_cast<char>('a' + i % 26);
    const std::size_t head = import_message_head(path, 98765, text);
    ASSERT_EQ(head, path.size() + std::string(":98765: ").size() + text.size());
    const std::string expected = path + ":98765: " + text + name + "'";
    for (const std::size_t room : {std::size_t{0}, head - 7, head, head + 7}) {
        for (const std::size_t spare : {std::size_t{0}, std::size_t{1}, std::size_t{64}}) {
            std::string gathered;
            gathered.reserve(room + name.size() + spare);
            gathered.assign(room, '#').append(name);
            const char* const own = gathered.data();
            const std::string_view module = std::string_view(gathered).substr(room);
            const std::string message = import_message(path, 98765, text, module, &gathered, room);
            EXPECT_EQ(message, expected) << room << " + " << spare;
            if (room == head && spare > 0) {
                EXPECT_EQ(message.data(), own) << "written where the name lies";
            }
        }
    }
}

// Names of megabytes, forbidden and unlisted, in each form that reports,
// across the reads' pieces: the messages are those of short names, byte for
// byte, and a name the policy leaves silent, a relative one or one that is no
// statement gives none.
TEST_F(ScanFile, ReportsNamesOfMegabytesByteForByte) {
    std::string tail;
    for (std::size_t i = 0; tail.size() < (3u << 20); ++i) tail += i % 11 == 10 ? '.' : static_cast<char>('a' + i % 26);
    const std::string path =
        dir.write("long.py", "import os." + tail + "\n\tfrom zz" + tail + " import y\nimport toolkit.api." + tail +
                                 "\nfrom qq" + tail + "\nfrom ..json" + tail + " import x\nimport rr" + tail);
    const FileResult result = scan_file(classifier, path, {});
    EXPECT_EQ(result.errors, Messages{path + ":1: import interdit \xE2\x80\x94 'os." + tail + "'"});
    EXPECT_EQ(result.warnings, (Messages{path + ":2: import non whitelist\xC3\xA9 \xE2\x80\x94 'zz" + tail + "'",
                                         path + ":6: import non whitelist\xC3\xA9 \xE2\x80\x94 'rr" + tail + "'"}));
    EXPECT_FALSE(result.passed);
}

}  // namespace
}  // namespace scanner_core
