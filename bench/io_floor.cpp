// The I/O floor: walks a tree exactly as scan_directory does (the same
// recursive walk, the same regular-file and ".py" tests), then reads every
// kept file on a pool of threads fed from one atomic counter, and does
// nothing with the bytes. Each worker reads every file through one buffer
// of the engine's piece size, reused from file to file, with the system
// calls the engine's reader makes: open, fstat, reads until end of file,
// close. What a scan costs above this is the price of extraction,
// classification and handing the results back.
//
// Usage: io_floor DIR [THREADS]   (THREADS 0 or absent: one per hardware thread)
// Prints one line: files=N bytes=B seconds=S cpu=C cpu_user=U cpu_system=K faults=F
// (processor seconds on all threads: in all, in the program, in the kernel). The whole job runs twice and only the second run is timed: a scan timed inside a long-lived process
// finds its allocator's memory already mapped and its code paged in, and
// the floor must not pay for a fresh process where the scan does not.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "cpu_clock.hpp"
#include "reading/source_file.hpp"

namespace {

// The engine's read piece: the floor reads through a buffer of the same size.
using scanner_core::kReadPieceSize;

std::vector<std::filesystem::path> discover(const std::string& dir) {
    static const std::filesystem::path kExtension(".py");
    std::vector<std::filesystem::path> files;
    for (const std::filesystem::directory_entry& entry : std::filesystem::recursive_directory_iterator(
             std::filesystem::path(dir), std::filesystem::directory_options::none)) {
        if (!entry.is_regular_file()) continue;
        if (entry.path().extension() != kExtension) continue;
        files.push_back(entry.path());
    }
    return files;
}

// Reads the file at `path` to its end through `piece` and returns the
// number of bytes read. The read copies every byte the kernel delivers into
// the buffer, which is all the touching a reader needs; the fstat is there
// because the engine's reader makes it, so the floor pays for it too.
std::uint64_t read_through(const char* path, char* piece) {
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        ::close(fd);
        return 0;
    }
    std::uint64_t total = 0;
    for (;;) {
        const ssize_t got = ::read(fd, piece, kReadPieceSize);
        if (got == 0) break;
        if (got < 0) {
            if (errno == EINTR) continue;
            break;
        }
        total += static_cast<std::uint64_t>(got);
    }
    ::close(fd);
    return total;
}

// Walks `dir` and reads every kept file on `threads` threads (0: one per
// hardware thread); returns the number of files and of bytes read.
struct Totals {
    std::size_t files;
    std::uint64_t bytes;
};

Totals read_tree(const char* dir, unsigned requested) {
    const std::vector<std::filesystem::path> files = discover(dir);
    const std::size_t wanted = requested != 0 ? requested : std::max(std::thread::hardware_concurrency(), 1u);
    const std::size_t thread_count = std::min(wanted, files.size());

    std::atomic<std::uint64_t> next{0};
    std::atomic<std::uint64_t> bytes{0};
    std::vector<std::thread> threads;
    threads.reserve(thread_count);
    for (std::size_t t = 0; t < thread_count; ++t) {
        threads.emplace_back([&] {
            // One buffer per worker for all its files, as the engine holds it.
            const std::unique_ptr<char[]> piece(new char[kReadPieceSize]);
            std::uint64_t mine = 0;
            for (;;) {
                const std::uint64_t index = next.fetch_add(1);
                if (index >= files.size()) break;
                mine += read_through(files[index].c_str(), piece.get());
            }
            bytes += mine;
        });
    }
    for (std::thread& thread : threads) thread.join();
    return {files.size(), bytes.load()};
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: %s DIR [THREADS]\n", argv[0]);
        return 2;
    }
    const unsigned requested = argc == 3 ? static_cast<unsigned>(std::strtoul(argv[2], nullptr, 10)) : 0;
    try {
        read_tree(argv[1], requested);  // warm-up, untimed
        const CpuTime cpu_start = cpu_time();
        const auto start = std::chrono::steady_clock::now();
        const Totals totals = read_tree(argv[1], requested);
        const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
        const CpuTime cpu = cpu_time() - cpu_start;
        std::printf("files=%zu bytes=%llu seconds=%.9f cpu=%.9f cpu_user=%.9f cpu_system=%.9f faults=%ld\n", totals.files,
                    static_cast<unsigned long long>(totals.bytes), elapsed.count(), cpu.total(), cpu.user, cpu.system, cpu.faults);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "io_floor: %s\n", error.what());
        return 3;
    }
    return 0;
}
