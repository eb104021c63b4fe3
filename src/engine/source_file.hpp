// Reading a source file through one buffer of fixed size, piece by piece, so
// that the memory a scan needs does not follow the size of the files it
// reads. A file is read to its end, whatever its size says: files that
// report none (those of /proc) and files that grow while being read are
// read whole all the same.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

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

    SourceFile(SourceFile&& other) noexcept : fd_(other.fd_), path_(other.path_) { other.fd_ = -1; }
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
    SourceFile(int fd, const std::string& path) noexcept : fd_(fd), path_(&path) {}

    int fd_;
    const std::string* path_;
};

}  // namespace scanner_core
