// Helpers shared by the engine tests: scratch directories and files, and
// running a function on a thread with a deliberately small stack.
#pragma once

#include <pthread.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <stdexcept>
#include <string>
#include <string_view>

namespace scanner_core::testing {

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
