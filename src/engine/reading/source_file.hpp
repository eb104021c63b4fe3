// Reading a source file through one buffer of fixed size, piece by piece, so
// that the memory a scan needs does not follow the size of the files it
// reads. A regular file ends at the read that reaches the size the system
// gave when it was opened (one call fewer than reading until a read returns
// nothing); a file that reports no size (those of /proc) or is no regular
// file is read until a read returns nothing.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "reading/source_tree.hpp"

namespace scanner_core {

// The size of one read: of the order of a core's share of the second-level
// cache, so that a piece is still there when extraction looks at it.
inline constexpr std::size_t kReadPieceSize = 256 * 1024;

// The buffer that a scan reads its files through, reused from file to file.
// Not shared: one per thread. Its pages are touched only as reads fill them.
class ReadBuffer {
public:
    // Throws std::bad_alloc.
    ReadBuffer() : bytes_(new char[kReadPieceSize]) {}
    char* data() noexcept { return bytes_.get(); }
    static constexpr std::size_t size() noexcept { return kReadPieceSize; }

private:
    std::unique_ptr<char[]> bytes_;
};

enum class OpenMode : unsigned char {
    // Anything the system opens for reading: the open of a FIFO waits for a
    // writer, and a stream is read until it ends.
    any,
    // Regular files only, as the directory walk found them: anything else
    // put in their place since (a FIFO, a device) counts as a file that
    // cannot be opened, and its open never waits.
    regular_only,
};

// An open source file; closed when destroyed. Move-only.
class SourceFile {
public:
    // Returns the open file at `path` (opened exactly as given, binary, no
    // translation), or nothing when it cannot be opened; a path holding a NUL
    // byte names no file. Throws std::ios_base::failure when the file opened
    // but cannot be examined. Thread-safe. `path` must outlive the file.
    static std::optional<SourceFile> open(const std::string& path, OpenMode mode);

    SourceFile(SourceFile&& other) noexcept
        : fd_(other.fd_), size_(other.size_), read_(other.read_), path_(other.path_) {
        other.fd_ = -1;
    }
    SourceFile(const SourceFile&) = delete;
    SourceFile& operator=(const SourceFile&) = delete;
    SourceFile& operator=(SourceFile&&) = delete;
    ~SourceFile();

    // Reads the next piece of the file into `buffer` and returns it; an
    // empty piece means the end of the file. Throws std::ios_base::failure,
    // naming the path and the system's reason, when a read fails (a
    // directory, an I/O error).
    std::string_view read(ReadBuffer& buffer);

private:
    friend class SourceReader;

    SourceFile(int fd, std::string_view path) noexcept : fd_(fd), path_(path) {}
    // Takes the type and size from the system; false when `mode` refuses the
    // file. Throws std::ios_base::failure when the file cannot be examined.
    bool examine(OpenMode mode);

    int fd_;
    off_t size_ = 0;  // of a regular file when opened; 0: read until a read returns nothing
    off_t read_ = 0;
    std::string_view path_;
};

// One thread's means of reading sources: its buffer, and the directory it
// opened itself last, for the files of a large directory that the walk
// could not keep open. Not shared: one per thread. Move-only.
class SourceReader {
public:
    // Throws std::bad_alloc.
    SourceReader() = default;
    SourceReader(const SourceReader&) = delete;
    SourceReader& operator=(const SourceReader&) = delete;
    ~SourceReader();

    ReadBuffer& buffer() noexcept { return buffer_; }

    // Opens the file at `where` as SourceFile::open opens its path, by its
    // name in its directory when a descriptor of that directory is at hand:
    // the same file, without resolving the whole path again. A path that the
    // system would refuse as too long is refused all the same. Fails as
    // SourceFile::open does. `where.path` must outlive the file.
    std::optional<SourceFile> open(const SourceLocation& where, OpenMode mode);

private:
    // A descriptor of the directory of `where`, opening it when it holds
    // enough files to pay for that; -1 when none.
    int directory_of(const SourceLocation& where);
    void forget_directory() noexcept;

    ReadBuffer buffer_;
    bool has_directory_ = false;  // directory_fd_ is the one of directory_index_, or -1 if it failed
    int directory_fd_ = -1;       // opened by this reader
    std::uint32_t directory_index_ = 0;
    std::string directory_path_;  // reused
};

}  // namespace scanner_core
