#include "import_classifier.hpp"
#include "parallel_scan.hpp"

namespace scanner_core {
namespace {

// The regular ".py" files below `src_dir`, in walk order, with the paths as
// the walk composes them. The throwing forms are used throughout: a walk
// that fails fails the scan, rather than silently skipping part of a tree.
std::vector<std::filesystem::path> discover_sources(const std::string& src_dir) {
    static const std::filesystem::path kExtension(".py");
    // The system would read the name only up to a NUL byte and walk some
    // other directory.
    if (src_dir.find('\0') != std::string::npos) {
        throw std::filesystem::filesystem_error("recursive directory iterator cannot open directory",
                                                std::filesystem::path(src_dir),
                                                std::make_error_code(std::errc::invalid_argument));
    }
    std::vector<std::filesystem::path> files;
    for (const std::filesystem::directory_entry& entry : std::filesystem::recursive_directory_iterator(
             std::filesystem::path(src_dir), std::filesystem::directory_options::none)) {
        if (!entry.is_regular_file()) continue;
        if (entry.path().extension() != kExtension) continue;
        files.push_back(entry.path());
    }
    return files;
}

}  // namespace

std::vector<FileResult> ImportClassifier::scan_directory(const std::string& src_dir,
                                                         const std::unordered_set<std::string>& local_modules,
                                                         unsigned int num_threads) const {
    const std::vector<std::filesystem::path> files = discover_sources(src_dir);
    if (files.empty()) return {};
    const std::size_t thread_count = worker_count(num_threads, files.size(),
                                                  num_threads == 0 ? std::thread::hardware_concurrency() : 0);
    return scan_in_parallel(files, thread_count,
                            [&](const std::string& path, ReadBuffer& buffer) {
                                // The walk kept regular files only; whatever stands there now is
                                // opened as such, so that nothing put in their place can hang a worker.
                                return scan_source(path, local_modules, buffer, OpenMode::regular_only);
                            });
}

}  // namespace scanner_core
