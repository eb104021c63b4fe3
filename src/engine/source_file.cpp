#include "source_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ios>
#include <system_error>

namespace scanner_core {
namespace {

[[noreturn]] void throw_read_failure(const std::string& path, int error) {
    throw std::ios_base::failure(path + ": read failed", std::error_code(error, std::system_category()));
}

}  // namespace

std::optional<SourceFile> SourceFile::open(const std::string& path, OpenMode mode) {
    // No file has a NUL in its name; the system would stop reading the name
    // there and open some other file.
    if (path.find('\0') != std::string::npos) return std::nullopt;
    // A terminal opened here must not become the process's controlling one.
    int flags = O_RDONLY | O_CLOEXEC | O_NOCTTY;
    if (mode == OpenMode::regular_only) flags |= O_NONBLOCK;  // only reads regular files: no wait to keep
    int fd;
    // The open of a FIFO waits for its writer, and a signal may cut the wait
    // short; that is no reason to call the file unopenable.
    do {
        fd = ::open(path.c_str(), flags);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return std::nullopt;
    SourceFile file(fd, path);
    if (mode == OpenMode::regular_only) {
        struct stat info {};
        if (::fstat(fd, &info) != 0) throw_read_failure(path, errno);
        if (!S_ISREG(info.st_mode)) return std::nullopt;
    }
    return std::optional<SourceFile>(std::move(file));
}

SourceFile::~SourceFile() {
    if (fd_ >= 0) ::close(fd_);
}

std::string_view SourceFile::read(ReadBuffer& buffer) {
    for (;;) {
        const ssize_t got = ::read(fd_, buffer.data(), buffer.size());
        if (got >= 0) return {buffer.data(), static_cast<std::size_t>(got)};
        if (errno != EINTR) throw_read_failure(*path_, errno);
    }
}

}  // namespace scanner_core
