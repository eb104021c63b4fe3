// Helpers shared by the engine tests and the fuzz targets: scratch
// directories and files, the walk order, FIFOs and their writers, calls run
// on a thread of their own and watched through /proc, signals that cut a
// system call short, and a thread with a deliberately small stack. They throw
// std::runtime_error when the system refuses what they need, and wait no
// longer than kPatience, unless a name says otherwise.
#pragma once

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <functional>
#include <initializer_list>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace scanner_core::testing {

// How long a test waits for something that must happen: a bound for a
// broken engine, never a pace for a working one.
inline constexpr std::chrono::seconds kPatience{60};

// Waits until `condition()` holds, or kPatience has passed; returns whether
// it held.
inline bool wait_until(const std::function<bool()>& condition) {
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

[[noreturn]] inline void fail(const std::string& what) {
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

// A fresh directory under the system's temporary directory, removed with
// everything in it when the object goes out of scope.
class ScratchDir {
public:
    ScratchDir() {
        std::random_device seed;
        path_ = std::filesystem::temp_directory_path() / ("scanner-core-test-" + std::to_string(seed()));
        std::filesystem::create_directories(path_);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    ~ScratchDir() {
        std::error_code ignored;
        std::filesystem::permissions(path_, std::filesystem::perms::owner_all, ignored);
        std::filesystem::remove_all(path_, ignored);
    }

    const std::filesystem::path& path() const { return path_; }
    std::string str() const { return path_.string(); }

    // Writes `content` to `relative` (creating parent directories) and
    // returns the file's path.
    std::string write(const std::string& relative, std::string_view content) const {
        const std::filesystem::path file = path_ / relative;
        std::filesystem::create_directories(file.parent_path());
        std::ofstream out(file, std::ios::binary);
        out.write(content.data(), static_cast<std::streamsize>(content.size()));
        if (!out) throw std::runtime_error("cannot write " + file.string());
        return file.string();
    }

private:
    std::filesystem::path path_;
};

// The order a plain walk gives, which a directory scan must reproduce.
inline std::vector<std::string> walk_order(const std::string& root) {
    std::vector<std::string> paths;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
        if (entry.is_regular_file() && entry.path().extension() == ".py") paths.push_back(entry.path().string());
    }
    return paths;
}

// Makes a FIFO at `path`; returns the path.
inline std::string make_fifo(const std::string& path) {
    if (::mkfifo(path.c_str(), 0600) != 0) fail("mkfifo " + path);
    return path;
}

// The writing end of a FIFO, closed by close() or when destroyed.
class FifoWriter {
public:
    // Opens `path` for reading and writing, which never waits: a reader's
    // open returns at once, and its reads wait for what this end writes
    // until it closes.
    static FifoWriter holding_open(const std::string& path) {
        const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
        if (fd < 0) fail("open " + path);
        return FifoWriter(fd);
    }

    // Opens `path` for writing, waiting in the open for a reader as long as
    // it takes (a signal does not end the wait).
    static FifoWriter waiting_for_reader(const std::string& path) {
        int fd;
        do {
            fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
        } while (fd < 0 && errno == EINTR);
        if (fd < 0) fail("open " + path);
        return FifoWriter(fd);
    }

    // Opens `path` for writing once a reader has it open, without ever
    // waiting in the open itself; returns a writer that is not open when
    // `gave_up()` holds first, or after kPatience.
    static FifoWriter once_read(const std::string& path, const std::function<bool()>& gave_up) {
        int fd = -1;
        wait_until([&] {
            fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            if (fd >= 0) return true;
            if (errno != ENXIO && errno != EINTR) fail("open " + path);  // ENXIO: no reader yet
            return gave_up();
        });
        // Writes may wait for the reader, as they would through a plain open.
        if (fd >= 0 && ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) fail("fcntl " + path);
        return FifoWriter(fd);
    }

    FifoWriter(FifoWriter&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    FifoWriter(const FifoWriter&) = delete;
    FifoWriter& operator=(const FifoWriter&) = delete;
    FifoWriter& operator=(FifoWriter&&) = delete;
    ~FifoWriter() { close(); }

    bool is_open() const { return fd_ >= 0; }

    void write_all(std::string_view bytes) {
        while (!bytes.empty()) {
            const ssize_t wrote = ::write(fd_, bytes.data(), bytes.size());
            if (wrote < 0 && errno == EINTR) continue;
            if (wrote <= 0) fail("write to a FIFO");
            bytes.remove_prefix(static_cast<std::size_t>(wrote));
        }
    }

    // The reader sees the end of the content once every writer has closed.
    void close() {
        if (fd_ >= 0) ::close(std::exchange(fd_, -1));
    }

private:
    explicit FifoWriter(int fd) : fd_(fd) {}

    int fd_;
};

// Runs `call` on a thread of its own, started at construction and joined by
// get() or at destruction.
template <class Result>
class CallOnThread {
public:
    explicit CallOnThread(std::function<Result()> call)
        : thread_([this, call = std::move(call)] {
              tid_ = static_cast<pid_t>(::syscall(SYS_gettid));
              try {
                  result_ = call();
              } catch (...) {
                  failure_ = std::current_exception();
              }
              finished_ = true;
          }) {}
    CallOnThread(const CallOnThread&) = delete;
    CallOnThread& operator=(const CallOnThread&) = delete;
    ~CallOnThread() {
        if (thread_.joinable()) thread_.join();
    }

    // The thread's id, for /proc/self/task.
    pid_t tid() const {
        wait_until([this] { return tid_ != 0; });
        return tid_;
    }
    pthread_t handle() { return thread_.native_handle(); }
    bool finished() const { return finished_; }

    // Joins the thread; returns what the call returned, or rethrows what it threw.
    Result get() {
        thread_.join();
        if (failure_) std::rethrow_exception(failure_);
        return std::move(*result_);
    }

private:
    std::atomic<pid_t> tid_{0};
    std::atomic<bool> finished_{false};
    std::optional<Result> result_;
    std::exception_ptr failure_;
    std::thread thread_;  // last: it starts once the rest exists
};

// The system calls that open a file, and those that read a stream.
inline const std::initializer_list<long> kOpenCalls = {
    SYS_openat,
#ifdef SYS_open
    SYS_open,
#endif
#ifdef SYS_openat2
    SYS_openat2,
#endif
};
inline const std::initializer_list<long> kReadCalls = {SYS_read, SYS_readv};

// The number of the system call that thread `tid` of this process is
// blocked in, or -1 when it runs, waits outside a system call, or is gone.
inline long blocked_syscall(pid_t tid) {
    std::ifstream state("/proc/self/task/" + std::to_string(tid) + "/syscall");
    long number = -1;
    if (!(state >> number)) return -1;  // "running", or no such thread
    return number;
}

// Waits until thread `tid` is blocked in one of `calls` (true), or until
// `gave_up()` holds or kPatience has passed (false).
inline bool wait_until_blocked_in(pid_t tid, std::initializer_list<long> calls, const std::function<bool()>& gave_up) {
    bool blocked = false;
    wait_until([&] {
        const long number = blocked_syscall(tid);
        for (const long call : calls) blocked = blocked || number == call;
        return blocked || gave_up();
    });
    return blocked;
}

// While it exists, signal `number` has a handler installed without
// SA_RESTART, so that a system call the signal cuts short fails with EINTR
// instead of resuming; it counts the signals delivered. One at a time.
class InterruptingSignal {
public:
    explicit InterruptingSignal(int number) : number_(number) {
        delivered_ = 0;
        struct sigaction counting {};
        counting.sa_handler = [](int) { delivered_.fetch_add(1); };
        if (::sigaction(number_, &counting, &previous_) != 0) fail("sigaction");
    }
    InterruptingSignal(const InterruptingSignal&) = delete;
    InterruptingSignal& operator=(const InterruptingSignal&) = delete;
    ~InterruptingSignal() { ::sigaction(number_, &previous_, nullptr); }

    void send_to(pthread_t thread) const {
        if (const int error = ::pthread_kill(thread, number_); error != 0) {
            errno = error;
            fail("pthread_kill");
        }
    }
    int delivered() const { return delivered_.load(); }

private:
    inline static std::atomic<int> delivered_{0};
    int number_;
    struct sigaction previous_ {};
};

// Runs `body` to completion on a new thread whose stack is `stack_bytes`
// long; a recursion that outgrows it crashes the test instead of passing.
inline void run_with_stack(std::size_t stack_bytes, const std::function<void()>& body) {
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, stack_bytes);
    pthread_t thread;
    auto trampoline = [](void* argument) -> void* {
        (*static_cast<const std::function<void()>*>(argument))();
        return nullptr;
    };
    const int started = pthread_create(&thread, &attributes, trampoline, const_cast<std::function<void()>*>(&body));
    pthread_attr_destroy(&attributes);
    if (started != 0) throw std::runtime_error("cannot start a small-stack thread");
    pthread_join(thread, nullptr);
}

}  // namespace scanner_core::testing
