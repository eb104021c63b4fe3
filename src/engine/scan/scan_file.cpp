#include "scan/scan_file.hpp"

#include "reading/file_scan.hpp"
#include "line_scan/import_message.hpp"
#include "line_scan/line_scan.hpp"
#include "line_scan/scan_messages.hpp"

namespace scanner_core {
namespace {

// Moves `from` into `to` at its final size, and leaves `from` empty with
// its room, for the next file. Returns about what the messages take on the
// heap; a message of a megabyte or more has a mapping of its own and
// counts for nothing.
std::size_t take_messages(std::vector<std::string>& from, std::vector<std::string>& to) {
    if (from.empty()) return 0;
    constexpr std::size_t kMapped = 1024 * 1024;
    std::size_t bytes = from.size() * sizeof(std::string);
    to.reserve(from.size());
    for (std::string& message : from) {
        if (message.size() < kMapped) bytes += message.size() + 16;
        to.push_back(std::move(message));
    }
    from.clear();
    return bytes;
}

// The line scan's records as scanner_core's messages, made as they come so
// that nothing piles up: what a file costs is its messages.
class Messages final : public LineFindingSink {
public:
    Messages(const std::string& path, ScanWorker& worker) noexcept : path_(path), worker_(worker) {}
    void found(const LineFinding& finding) override {
        const bool error = finding.verdict == ImportVerdict::forbidden;
        (error ? worker_.errors : worker_.warnings)
            .push_back(import_message(path_, finding.line, error ? kForbiddenImport : kUnlistedImport,
                                      finding.module, finding.gathered, finding.room));
    }
    // The message's head, written before the name where it is gathered.
    std::size_t room_before(ImportVerdict verdict, std::int64_t line) override {
        const bool error = verdict == ImportVerdict::forbidden;
        return import_message_head(path_, line, error ? kForbiddenImport : kUnlistedImport);
    }

private:
    const std::string& path_;
    ScanWorker& worker_;
};

}  // namespace

FileResult scan_file(const ImportClassifier& policy, const std::string& filepath,
                     const std::unordered_set<std::string>& local_modules) {
    ScanWorker worker;
    return scan_source(policy, SourceLocation{filepath}, local_modules, worker, OpenMode::any);
}

FileResult scan_source(const ImportClassifier& policy, const SourceLocation& where,
                       const std::unordered_set<std::string>& local_modules, ScanWorker& worker, OpenMode mode) {
    FileResult result;
    result.filepath = where.path;
    worker.errors.clear();
    worker.warnings.clear();
    Messages messages(result.filepath, worker);
    LineScan line_scan(policy, local_modules, worker.verdicts, messages);
    line_scan.keep_spare(&worker.spare_name);
    if (!scan_pieces(where, mode, worker.reader, {&line_scan})) {
        result.errors.push_back(result.filepath + std::string(kOpenFailure));
        result.passed = false;
        return result;
    }
    result.passed = worker.errors.empty();
    const std::size_t bytes = take_messages(worker.errors, result.errors) +
                              take_messages(worker.warnings, result.warnings);
    worker.heap.produced(bytes + result.filepath.size() + 16);
    return result;
}

}  // namespace scanner_core
