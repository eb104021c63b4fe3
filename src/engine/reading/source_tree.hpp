// The walk that finds a plugin tree's sources, shared by every directory scan.
//
// It visits the tree as std::filesystem::recursive_directory_iterator with
// no options does, and fails as it does, with the same texts: depth first,
// a directory's entry before what is below it, the entries of a directory in
// the order the system lists them, the root followed when it is a link and
// no link to a directory followed below it. It differs in what it keeps:
// the directories that hold sources stay open (as many as a share of the
// process's descriptor limit allows) so that a scan opens each file by its
// name in its directory instead of resolving the whole path again, and the
// paths are stored back to back instead of as one allocation per component.
// However deep or wide the tree, the walk holds a bounded number of
// descriptors: past a depth it closes the directories it is inside of and
// finds them again through "..".
//
// The gate's walk (walk_gate) is the same walk with what a gate needs on
// top: it follows links to directories (each directory walked once, found
// by device and inode, so that a loop ends), keeps each file once, and
// turns into data what the plain walk fails on or passes over: entries that
// Python could import but that are no source to read, links that lead
// nowhere or in a circle, directories that cannot be read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace scanner_core {

// How to open one source: its path, and when it is known, a descriptor of
// the directory it is in with the file's name there.
struct SourceLocation {
    std::string_view path;         // NUL-terminated; opened as is without a directory
    int directory = -1;            // a directory descriptor, or -1: open `path`
    const char* name = nullptr;    // NUL-terminated name in `directory`
    std::size_t name_offset = 0;   // where that name starts in `path` (0 without a directory)
    // Other files of the tree in the same directory (0 for a lone file), for
    // a reader that may open the directory itself when `directory` is -1.
    std::uint32_t directory_files = 0;
    std::uint32_t directory_index = 0;
    // Directories between the tree's root and the file's directory: 0 for a
    // file directly in the root (and for a lone file). The gate's walk gives
    // a file reached by several paths the shallowest.
    std::uint32_t depth = 0;
};

// What the gate's walk reports about an entry instead of handing it over as
// a source to scan.
enum class EntryProblem : unsigned char {
    extension_module,    // a compiled module (".so", ".pyd"): Python imports it, no one can read it
    compiled_bytecode,   // ".pyc": Python runs it, beside its source or instead of it
    path_configuration,  // ".pth": its import lines run when the interpreter starts
    archive,             // a wheel, zip, zipapp, egg or sdist (".whl", ".zip", ".pyz", ".egg", ".tar.gz",
                         // ".tgz", ".tar.bz2", ".tar.xz", ".tar"): its caller reads it, the walk does not
    entry_points,        // an entry_points.txt of a distribution's metadata directory, or a pyproject.toml:
                         // the host imports the entry points they name; its caller reads them, the walk does not
    dangling_link,       // a link named as something importable whose target does not exist
    not_a_regular_file,  // a FIFO, socket or device named as something importable
    link_loop,           // a link that leads back into itself or to a directory above it
    unreadable_entry,    // a directory that cannot be opened or listed, an entry that cannot be looked up
};

// Returns the problem a regular file named `name` is for the gate, by its
// suffix (letter case ignored), or nothing for a source or a file Python
// does not import. Never fails.
std::optional<EntryProblem> problem_of_name(std::string_view name) noexcept;

// Returns the problem a regular file named `name` is for the gate in a
// directory named `directory`: problem_of_name's, or entry_points for a
// pyproject.toml anywhere and an entry_points.txt in a directory that
// importlib.metadata reads as a distribution's metadata (".dist-info",
// ".egg-info", an egg's "EGG-INFO"), letter case ignored. Never fails.
std::optional<EntryProblem> problem_of_file(std::string_view directory, std::string_view name) noexcept;

// Which file: device and inode as the system gives them.
struct FileIdentity {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
};

// One entry of a tree that the gate's walk reports.
struct TreeProblem {
    EntryProblem problem;
    std::string_view path;  // as the walk composed it
    int error = 0;          // the system's errno, for a failed lookup or read; else 0
    FileIdentity identity;  // of the entry itself, a link not followed; zero for the root
};


// The regular ".py" files of a tree, in walk order. Owns the directory
// descriptors it holds and closes them when destroyed. Move-only. Reading it
// from several threads at once is safe.
class SourceTree {
public:
    SourceTree() = default;
    SourceTree(SourceTree&& other) noexcept = default;
    SourceTree& operator=(SourceTree&& other) noexcept;
    SourceTree(const SourceTree&) = delete;
    SourceTree& operator=(const SourceTree&) = delete;
    ~SourceTree();

    std::size_t size() const noexcept { return files_.size(); }
    bool empty() const noexcept { return files_.empty(); }

    // The path of file `index` exactly as the walk composed it.
    std::string_view path(std::size_t index) const noexcept {
        const File& file = files_[index];
        return {file.path, file.path_size};
    }

    // Where file `index` is, to open it.
    SourceLocation location(std::size_t index) const noexcept;

    // The identity of file `index`; zero for the plain walk, which does not ask.
    FileIdentity identity(std::size_t index) const noexcept { return {files_[index].device, files_[index].inode}; }

    // The entries the gate's walk reports, in walk order; none for the plain walk.
    std::size_t problem_count() const noexcept { return problems_.size(); }
    TreeProblem problem(std::size_t index) const noexcept {
        const Problem& found = problems_[index];
        return {found.problem, {found.path, found.path_size}, found.error, {found.device, found.inode}};
    }

    // Descriptors held open for the scans (for tests and measurements).
    std::size_t held_directories() const noexcept { return held_.size(); }

private:
    friend class SourceWalk;

    struct File {
        const char* path;
        std::size_t path_size;
        std::size_t name_offset;
        std::uint32_t directory;  // index into directories_
        std::uint64_t device;
        std::uint64_t inode;
        std::uint32_t depth;
    };
    struct Directory {
        int fd = -1;  // held open, or -1
        std::uint32_t files = 0;
    };
    struct Problem {
        EntryProblem problem;
        const char* path;
        std::size_t path_size;
        int error;
        std::uint64_t device;
        std::uint64_t inode;
    };

    // Copies `text` followed by `tail` and a NUL into storage that never
    // moves, and returns where. Throws std::bad_alloc.
    const char* store(std::string_view text, std::string_view tail);
    void close_held() noexcept;

    std::vector<std::unique_ptr<char[]>> blocks_;
    std::size_t block_used_ = 0;
    std::size_t block_size_ = 0;
    std::vector<File> files_;
    std::vector<Directory> directories_;
    std::vector<Problem> problems_;
    std::vector<int> held_;
};

// Walks `src_dir` and returns its regular ".py" files. Throws
// std::filesystem::filesystem_error when the walk fails, with the texts of
// std::filesystem's recursive walk: "recursive directory iterator cannot
// open directory" with the path for the root, "cannot increment recursive
// directory iterator" for a directory below it that cannot be opened or
// read, "status" with the entry's path for a link (or an entry of unknown
// type) whose target cannot be looked up for a reason other than its
// absence. std::bad_alloc on exhausted memory. Thread-safe.
SourceTree walk_sources(const std::string& src_dir);

// Walks `src_dir` for the gate: the regular ".py" files of the tree, each
// once, links to directories followed (inside the tree or out of it), and
// as problems the entries described by EntryProblem, the root itself when
// it cannot be opened. Throws std::filesystem::filesystem_error only when a
// directory far down, closed on the way and found again through "..", has
// been moved meanwhile (the walk cannot tell where it stood);
// std::bad_alloc on exhausted memory. Thread-safe.
SourceTree walk_gate(const std::string& src_dir);

// The paths of walk_sources(src_dir), in walk order. Fails as it does.
std::vector<std::filesystem::path> discover_sources(const std::string& src_dir);

}  // namespace scanner_core
