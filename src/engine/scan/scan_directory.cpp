#include "scan/parallel_scan.hpp"
#include "scan/scan_file.hpp"
#include "reading/source_tree.hpp"

namespace scanner_core {

std::vector<FileResult> scan_directory(const ImportClassifier& policy, const std::string& src_dir,
                                       const std::unordered_set<std::string>& local_modules,
                                       unsigned int num_threads) {
    const SourceTree files = walk_sources(src_dir);
    if (files.empty()) return {};
    const std::size_t thread_count = worker_count(num_threads, files.size());
    return scan_in_parallel(files, thread_count, [&](const SourceLocation& where, ScanWorker& worker) {
        // The walk kept regular files only; whatever stands there now is
        // opened as such, so that nothing put in their place can hang a worker.
        return scan_source(policy, where, local_modules, worker, OpenMode::regular_only);
    });
}

}  // namespace scanner_core
