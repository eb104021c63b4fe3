#include "reading/source_file.hpp"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <ios>
#include <system_error>

namespace scanner_core {
namespace {

// A directory is worth opening for the files in it from this many on.
constexpr std::uint32_t kFilesWorthADirectory = 4;

[[noreturn]] void throw_read_failure(std::string_view path, int error) {
    throw std::ios_base::failure(std::string(path) + ": read failed", std::error_code(error, std::system_category()));
}

// The scan calls the system directly: the C library's wrappers of these
// calls are cancellation points, whose bookkeeping is a measurable share of
// a small file's cost, and the engine's threads are never cancelled.
// Sanitizer builds keep the wrappers: the sanitizers see system calls only
// through them, to check the memory a read fills and, for the thread
// sanitizer, to run a signal's handler while a call waits.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
#define SCANNER_CORE_LIBC_CALLS 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer) || __has_feature(address_sanitizer) || __has_feature(memory_sanitizer)
#define SCANNER_CORE_LIBC_CALLS 1
#endif
#endif

#if defined(SCANNER_CORE_LIBC_CALLS)
// The thread sanitizer watches open(), not openat(), as a call that waits.
long raw_openat(int directory, const char* name, int flags) noexcept {
    return directory == AT_FDCWD ? ::open(name, flags) : ::openat(directory, name, flags);
}

int raw_fstat(int fd, struct stat* info) noexcept { return ::fstat(fd, info); }

ssize_t raw_read(int fd, void* into, std::size_t size) noexcept { return ::read(fd, into, size); }

void raw_close(int fd) noexcept { ::close(fd); }
#else
long raw_openat(int directory, const char* name, int flags) noexcept {
    return ::syscall(SYS_openat, directory, name, flags, 0);
}

int raw_fstat(int fd, struct stat* info) noexcept {
#if defined(SYS_fstat)
    return static_cast<int>(::syscall(SYS_fstat, fd, info));
#else
    return ::fstat(fd, info);
#endif
}

ssize_t raw_read(int fd, void* into, std::size_t size) noexcept {
    return static_cast<ssize_t>(::syscall(SYS_read, fd, into, size));
}

void raw_close(int fd) noexcept { ::syscall(SYS_close, fd); }
#endif

int open_flags(OpenMode mode) noexcept {
    // A terminal opened here must not become the process's controlling one.
    int flags = O_RDONLY | O_CLOEXEC | O_NOCTTY;
    if (mode == OpenMode::regular_only) flags |= O_NONBLOCK;  // only reads regular files: no wait to keep
    return flags;
}

// The open of a FIFO waits for its writer, and a signal may cut the wait
// short; that is no reason to call the file unopenable.
int open_at(int directory, const char* name, int flags) noexcept {
    long fd;
    do {
        fd = raw_openat(directory, name, flags);
    } while (fd < 0 && errno == EINTR);
    return static_cast<int>(fd);
}

}  // namespace

bool SourceFile::examine(OpenMode mode) {
    struct stat info {};
    if (raw_fstat(fd_, &info) != 0) throw_read_failure(path_, errno);
    if (S_ISREG(info.st_mode)) {
        size_ = info.st_size;
        return true;
    }
    return mode == OpenMode::any;
}

std::optional<SourceFile> SourceFile::open(const std::string& path, OpenMode mode) {
    // No file has a NUL in its name; the system would stop reading the name
    // there and open some other file.
    if (path.find('\0') != std::string::npos) return std::nullopt;
    const int fd = open_at(AT_FDCWD, path.c_str(), open_flags(mode));
    if (fd < 0) return std::nullopt;
    SourceFile file(fd, path);
    if (!file.examine(mode)) return std::nullopt;
    return std::optional<SourceFile>(std::move(file));
}

SourceFile::~SourceFile() {
    if (fd_ >= 0) raw_close(fd_);
}

std::string_view SourceFile::read(ReadBuffer& buffer) {
    // The read that reached the size was the last: a regular file that
    // grew since it was opened is read as it was then.
    if (size_ > 0 && read_ >= size_) return {};
    for (;;) {
        const ssize_t got = raw_read(fd_, buffer.data(), buffer.size());
        if (got >= 0) {
            read_ += got;
            return {buffer.data(), static_cast<std::size_t>(got)};
        }
        if (errno != EINTR) throw_read_failure(path_, errno);
    }
}

SourceReader::~SourceReader() { forget_directory(); }

void SourceReader::forget_directory() noexcept {
    if (directory_fd_ >= 0) raw_close(directory_fd_);
    directory_fd_ = -1;
    has_directory_ = false;
}

int SourceReader::directory_of(const SourceLocation& where) {
    if (where.directory >= 0) return where.directory;
    if (where.name_offset == 0 || where.directory_files < kFilesWorthADirectory) return -1;
    if (has_directory_ && directory_index_ == where.directory_index) return directory_fd_;
    forget_directory();
    // Opened only to name files in: the walk saw it as a directory. When it
    // cannot be opened, its files are opened by their paths.
    directory_path_.assign(where.path.substr(0, where.name_offset));
    directory_fd_ = open_at(AT_FDCWD, directory_path_.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    directory_index_ = where.directory_index;
    has_directory_ = true;
    return directory_fd_;
}

std::optional<SourceFile> SourceReader::open(const SourceLocation& where, OpenMode mode) {
    if (where.path.find('\0') != std::string_view::npos) return std::nullopt;
    const int directory = directory_of(where);
    int fd;
    if (directory >= 0) {
        // The system refuses a path of PATH_MAX bytes or more whole; by its
        // name in its directory the file would open, and the results would
        // then depend on how it was reached.
        if (where.path.size() >= PATH_MAX) return std::nullopt;
        fd = open_at(directory, where.name, open_flags(mode));
    } else {
        fd = open_at(AT_FDCWD, where.path.data(), open_flags(mode));
    }
    if (fd < 0) return std::nullopt;
    SourceFile file(fd, where.path);
    if (!file.examine(mode)) return std::nullopt;
    return std::optional<SourceFile>(std::move(file));
}

}  // namespace scanner_core
