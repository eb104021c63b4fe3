#include "source_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ios>
#include <system_error>

namespace scanner_core {
namespace {

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const noexcept { return fd_; }

private:
    int fd_;
};

[[noreturn]] void throw_read_failure(const std::string& path, int error) {
    throw std::ios_base::failure(path + ": read failed", std::error_code(error, std::system_category()));
}

// Room for a file that reports no size, before the first growth.
constexpr std::size_t kUnknownSizeCapacity = 16 * 1024;

}  // namespace

std::optional<SourceText> read_source_file(const std::string& path) {
    // No file has a NUL in its name; the system would stop reading the name
    // there and open some other file.
    if (path.find('\0') != std::string::npos) return std::nullopt;
    // O_NONBLOCK keeps the open from waiting forever for a FIFO's writer;
    // it is cleared again below for anything that is not a regular file.
    const FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (file.get() < 0) return std::nullopt;

    struct stat info {};
    if (::fstat(file.get(), &info) != 0) throw_read_failure(path, errno);
    const bool regular = S_ISREG(info.st_mode);
    if (!regular) {
        const int flags = ::fcntl(file.get(), F_GETFL);
        if (flags < 0 || ::fcntl(file.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) throw_read_failure(path, errno);
    }

    // One byte beyond the reported size lets the read that meets the end of
    // file land in the same buffer, so an unchanged file is never copied.
    const std::size_t hint = regular && info.st_size > 0 ? static_cast<std::size_t>(info.st_size) : 0;
    std::size_t capacity = hint > 0 ? hint + 1 : kUnknownSizeCapacity;
    std::unique_ptr<char[]> bytes(new char[capacity]);
    std::size_t size = 0;
    for (;;) {
        if (size == capacity) {
            const std::size_t grown = capacity * 2;
            std::unique_ptr<char[]> larger(new char[grown]);
            std::memcpy(larger.get(), bytes.get(), size);
            bytes = std::move(larger);
            capacity = grown;
        }
        const ssize_t got = ::read(file.get(), bytes.get() + size, capacity - size);
        if (got == 0) break;
        if (got < 0) {
            if (errno == EINTR) continue;
            throw_read_failure(path, errno);
        }
        size += static_cast<std::size_t>(got);
    }
    return SourceText(std::move(bytes), size);
}

}  // namespace scanner_core
