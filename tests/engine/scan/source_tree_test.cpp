// The walk that the directory scans share, held to std::filesystem's
// recursive walk: the same files in the same order, the same failures with
// the same texts, and a bounded number of descriptors however deep or wide
// the tree.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "scan/scan_file.hpp"
#include "reading/source_file.hpp"
#include "reading/source_tree.hpp"
#include "test_support.hpp"

namespace scanner_core {
namespace {

namespace fs = std::filesystem;

// What the directory scans kept before they had a walk of their own.
std::vector<std::string> standard_walk(const std::string& root) {
    std::vector<std::string> paths;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(fs::path(root), fs::directory_options::none)) {
        if (!entry.is_regular_file()) continue;
        if (entry.path().extension() != fs::path(".py")) continue;
        paths.push_back(entry.path().native());
    }
    return paths;
}

std::vector<std::string> walked(const std::string& root) {
    const SourceTree tree = walk_sources(root);
    std::vector<std::string> paths;
    for (std::size_t index = 0; index < tree.size(); ++index) paths.emplace_back(tree.path(index));
    return paths;
}

// The text of the exception `walk` throws, or nothing.
std::optional<std::string> failure_of(const std::function<void()>& walk) {
    try {
        walk();
    } catch (const fs::filesystem_error& error) {
        return std::string(error.what()) + " | " + std::to_string(error.code().value());
    }
    return std::nullopt;
}

// Runs `check` in a child process whose descriptor limit is `limit` (and,
// as root, as an unprivileged user when `unprivileged`); passes when it
// returns true there.
void expect_in_child(rlim_t limit, bool unprivileged, const std::function<bool()>& check) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            struct rlimit low {};
            low.rlim_cur = low.rlim_max = limit;
            if (::setrlimit(RLIMIT_NOFILE, &low) != 0) std::_Exit(2);
            if (unprivileged && ::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) std::_Exit(3);
            std::_Exit(check() ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

class SourceWalk : public ::testing::Test {
protected:
    testing::ScratchDir dir;

    // A tree with a bit of everything the walk must treat as the standard
    // walk does.
    void make_mixed_tree() {
        for (const char* name : {"a.py", "b.PY", "c.pyw", ".py", "..py", ".hidden.py", "d.py.bak", "e.b.py",
                                 "pkg.py/inner.py", "pkg/sub/deep.py", "pkg/sub/note.txt", "pkg/x.py",
                                 ".cache/c.py", "__pycache__/m.py", "empty/.keep", "sp ace/é\xff.py"}) {
            dir.write(name, "import os\n");
        }
        fs::create_directories(dir.path() / "only_dirs" / "inner" / "deeper");
        testing::ScratchDir outside;
        fs::create_symlink(dir.path() / "a.py", dir.path() / "link.py");
        fs::create_symlink(dir.path() / "pkg", dir.path() / "linked_pkg");
        fs::create_symlink(dir.path() / "missing.py", dir.path() / "dangling.py");
        fs::create_symlink(dir.path() / "pkg" / "sub", dir.path() / "pkg" / "to_sub.py");
        fs::create_directory_symlink("..", dir.path() / "pkg" / "up");
    }
};

TEST_F(SourceWalk, FindsTheStandardWalksFilesInItsOrder) {
    make_mixed_tree();
    for (int i = 0; i < 60; ++i) dir.write("many/m" + std::to_string(i) + ".py", "");
    fs::create_directory_symlink(dir.path(), dir.path().parent_path() / (dir.path().filename().string() + "-link"));
    const std::string link = dir.str() + "-link";
    for (const std::string& root : {dir.str(), dir.str() + "/", dir.str() + "//", dir.str() + "/.", link, link + "/"}) {
        const std::vector<std::string> expected = standard_walk(root);
        EXPECT_FALSE(expected.empty());
        EXPECT_EQ(walked(root), expected) << root;
        EXPECT_EQ(discover_sources(root).size(), expected.size()) << root;
    }
    fs::remove(link);
}

TEST_F(SourceWalk, FailsAsTheStandardWalkWithTheSameTexts) {
    const std::string file = dir.write("plain.py", "");
    const std::string loop = dir.str() + "/loop";
    fs::create_symlink("loop", loop);
    for (const std::string& root : {dir.str() + "/missing", file, std::string(), loop, dir.str() + "/missing/deeper"}) {
        const std::optional<std::string> mine = failure_of([&] { walk_sources(root); });
        ASSERT_TRUE(mine.has_value()) << root;
        EXPECT_EQ(mine, failure_of([&] { standard_walk(root); })) << root;
        EXPECT_NE(mine->find("recursive directory iterator cannot open directory"), std::string::npos) << *mine;
    }
    // A link loop below the root: the type lookup fails, naming the entry.
    testing::ScratchDir tree;
    tree.write("ok.py", "");
    fs::create_symlink("x.py", tree.path() / "x.py");
    const std::optional<std::string> mine = failure_of([&] { walk_sources(tree.str()); });
    ASSERT_TRUE(mine.has_value());
    EXPECT_EQ(mine, failure_of([&] { standard_walk(tree.str()); }));
    EXPECT_NE(mine->find("filesystem error: status: Too many levels of symbolic links"), std::string::npos) << *mine;
}

TEST_F(SourceWalk, AnUnreadableDirectoryBelowTheRootFailsWithTheStandardText) {
    dir.write("a.py", "");
    dir.write("open/b.py", "");
    dir.write("closed/c.py", "");
    dir.write("closed/inner/d.py", "");
    fs::permissions(dir.path() / "closed", fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    fs::permissions(dir.path(), fs::perms::others_exec | fs::perms::others_read, fs::perm_options::add);
    // Listable but not searchable: the names are seen, nothing below opens.
    expect_in_child(1024, true, [&] {
        const std::optional<std::string> mine = failure_of([&] { walk_sources(dir.str()); });
        return mine.has_value() && mine == failure_of([&] { standard_walk(dir.str()); }) &&
               mine->find("cannot increment recursive directory iterator: Permission denied") != std::string::npos;
    });
}

// A chain of `depth` directories with several files at each level, listed
// before and after the way down, and one file at the bottom, whose path is
// longer than PATH_MAX: made through directory descriptors, which no path
// length limits.
std::vector<std::string> make_deep_tree(const testing::ScratchDir& dir, int depth) {
    const std::string name = "d" + std::string(20, 'x');
    const auto write = [](int at, const std::string& file) {
        const int fd = ::openat(at, file.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0 || ::write(fd, "import os\n", 10) != 10) throw std::runtime_error("cannot write " + file);
        ::close(fd);
    };
    int at = ::open(dir.str().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    for (int level = 0; level < depth; ++level) {
        for (int k = 0; k < 6; ++k) write(at, "f" + std::to_string(k) + ".py");
        if (::mkdirat(at, name.c_str(), 0755) != 0) throw std::runtime_error("cannot make a level");
        const int below = ::openat(at, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ::close(at);
        at = below;
    }
    write(at, "bottom.py");
    ::close(at);
    return standard_walk(dir.str());
}

TEST_F(SourceWalk, ADeepTreeNeedsFarFewerDescriptorsThanLevels) {
    const std::vector<std::string> expected = make_deep_tree(dir, 260);
    ASSERT_EQ(expected.size(), 260u * 6 + 1);
    ASSERT_GT(expected.back().size(), 4096u);
    // The standard walk holds a descriptor per level: it cannot walk this
    // tree with 64. This walk can, and with 24 too.
    expect_in_child(64, false, [&] {
        const std::optional<std::string> standard = failure_of([&] { standard_walk(dir.str()); });
        return standard && standard->find("Too many open files") != std::string::npos && walked(dir.str()) == expected;
    });
    expect_in_child(24, false, [&] { return walked(dir.str()) == expected; });
}

TEST_F(SourceWalk, TheGateWalkFollowsLinksFarDownKeepsEachFileOnceAtItsShallowestDepth) {
    const std::vector<std::string> deep = make_deep_tree(dir, 100);
    const std::string level_name = "/d" + std::string(20, 'x');
    std::string level_90 = dir.str();
    for (int level = 0; level < 90; ++level) level_90 += level_name;
    testing::ScratchDir outside;
    outside.write("x/y.py", "import os\n");
    fs::create_directory_symlink(outside.path(), level_90 + "/link");
    fs::create_directory_symlink(outside.path() / "x", dir.path() / "short");  // y.py at depth 1, not 92
    fs::create_symlink("f0.py", dir.path() / "again.py");  // the same file as f0.py
    fs::create_directory_symlink("..", fs::path(level_90) / "up");  // a loop
    // Far down, the walk closes the directories it is inside of and finds
    // them again through "..": not through a link, whose ".." is elsewhere.
    expect_in_child(64, false, [&] {
        const SourceTree tree = walk_gate(dir.str());
        std::vector<std::string> paths;
        bool depths_right = true;
        for (std::size_t index = 0; index < tree.size(); ++index) {
            std::string path(tree.path(index));
            const bool outside_file = path.size() > 5 && path.compare(path.size() - 5, 5, "/y.py") == 0;
            const std::uint32_t expected_depth =
                outside_file ? 1 : static_cast<std::uint32_t>((path.size() - dir.str().size()) / level_name.size());
            depths_right = depths_right && tree.location(index).depth == expected_depth;
            paths.push_back(outside_file ? "y.py" : path);
        }
        std::vector<std::string> expected = deep;
        expected.push_back("y.py");
        std::sort(paths.begin(), paths.end());
        std::sort(expected.begin(), expected.end());
        return depths_right && paths == expected && tree.problem_count() == 1 &&
               tree.problem(0).problem == EntryProblem::link_loop && tree.problem(0).path == level_90 + "/up";
    });
}

TEST_F(SourceWalk, TheGateWalkGivesAFileReachedTwiceTheShallowerDepthWhicheverComesFirst) {
    // p and q each reach one outside directory deep down and the other one
    // at once: whatever the listing order, one of them is found deep first.
    testing::ScratchDir first_outside;
    testing::ScratchDir second_outside;
    first_outside.write("one.py", "");
    second_outside.write("two.py", "");
    fs::create_directories(dir.path() / "p" / "a" / "b");
    fs::create_directories(dir.path() / "q" / "a" / "b");
    fs::create_directory_symlink(first_outside.path(), dir.path() / "p" / "a" / "b" / "deep");
    fs::create_directory_symlink(second_outside.path(), dir.path() / "p" / "near");
    fs::create_directory_symlink(second_outside.path(), dir.path() / "q" / "a" / "b" / "deep");
    fs::create_directory_symlink(first_outside.path(), dir.path() / "q" / "near");
    const SourceTree tree = walk_gate(dir.str());
    ASSERT_EQ(tree.size(), 2u);
    for (std::size_t index = 0; index < tree.size(); ++index) {
        EXPECT_EQ(tree.location(index).depth, 2u) << tree.path(index);
    }
}

TEST_F(SourceWalk, TheGateWalkReportsUnreadableDirectoriesAndWalksTheRest) {
    dir.write("a.py", "");
    dir.write("closed/c.py", "");
    dir.write("unlisted/d.py", "");
    dir.write("z/e.py", "");
    // Listable but not searchable: its files are kept (their scans fail to
    // open them); not listable at all: reported.
    fs::permissions(dir.path() / "closed", fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    fs::permissions(dir.path() / "unlisted", fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec);
    fs::permissions(dir.path(), fs::perms::others_exec | fs::perms::others_read, fs::perm_options::add);
    expect_in_child(1024, true, [&] {
        const SourceTree tree = walk_gate(dir.str());
        std::vector<std::string> paths;
        for (std::size_t index = 0; index < tree.size(); ++index) paths.emplace_back(tree.path(index));
        std::sort(paths.begin(), paths.end());
        std::vector<std::string> problems;
        for (std::size_t index = 0; index < tree.problem_count(); ++index) {
            const TreeProblem problem = tree.problem(index);
            if (problem.problem != EntryProblem::unreadable_entry || problem.error != EACCES) return false;
            problems.emplace_back(problem.path);
        }
        std::sort(problems.begin(), problems.end());
        const std::vector<std::string> kept{dir.str() + "/a.py", dir.str() + "/closed/c.py", dir.str() + "/z/e.py"};
        return paths == kept && problems == std::vector<std::string>{dir.str() + "/unlisted"};
    });
}

TEST_F(SourceWalk, HoldsOnlyAShareOfTheDescriptorLimitForTheScans) {
    for (int d = 0; d < 300; ++d) dir.write("d" + std::to_string(d) + "/m.py", "import os\n");
    const std::vector<std::string> expected = standard_walk(dir.str());
    expect_in_child(256, false, [&] {
        const SourceTree low = walk_sources(dir.str());
        // A quarter of the limit, less what the way down may need.
        if (low.held_directories() == 0 || low.held_directories() > 64) return false;
        // The files beyond are opened by their paths, with the same records.
        const ImportClassifier classifier{{"os"}, {}, {}};
        const std::vector<FileResult> results = scan_directory(classifier, dir.str(), {}, 3);
        if (results.size() != expected.size()) return false;
        for (std::size_t i = 0; i < results.size(); ++i) {
            if (results[i].filepath != expected[i] || results[i].errors.size() != 1) return false;
        }
        return true;
    });
}

TEST_F(SourceWalk, FilesOpenedInTheirDirectoryGiveTheRecordsOfTheirPaths) {
    make_mixed_tree();
    for (int i = 0; i < 12; ++i) dir.write("many/m" + std::to_string(i) + ".py", "from os import path\nimport yaml\n");
    const ImportClassifier classifier{{"os"}, {"json"}, {}};
    const SourceTree tree = walk_sources(dir.str());
    ScanWorker worker;
    for (std::size_t index = 0; index < tree.size(); ++index) {
        const std::string path(tree.path(index));
        const FileResult by_path = scan_file(classifier, path, {});
        const FileResult in_directory = scan_source(classifier, tree.location(index), {}, worker, OpenMode::regular_only);
        EXPECT_EQ(in_directory.filepath, by_path.filepath);
        EXPECT_EQ(in_directory.errors, by_path.errors) << path;
        EXPECT_EQ(in_directory.warnings, by_path.warnings) << path;
    }
    // Without a descriptor at hand, a reader opens a directory of several
    // files itself, and a lone file by its path.
    for (std::size_t index = 0; index < tree.size(); ++index) {
        SourceLocation where = tree.location(index);
        where.directory = -1;
        const FileResult result = scan_source(classifier, where, {}, worker, OpenMode::regular_only);
        EXPECT_EQ(result.errors, scan_file(classifier, std::string(where.path), {}).errors);
    }
}

}  // namespace
}  // namespace scanner_core
