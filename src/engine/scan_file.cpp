#include "import_classifier.hpp"
#include "import_extraction.hpp"
#include "import_message.hpp"
#include "module_name.hpp"
#include "scan_messages.hpp"
#include "source_file.hpp"

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

}  // namespace

ImportVerdict ImportClassifier::verdict_on(const std::string& module,
                                           const std::unordered_set<std::string>& local_modules) const {
    // A name without a dot is its own root: look it up once, not twice.
    const std::string_view root_view = root_of(module);
    const bool dotted = root_view.size() != module.size();
    const std::string root_copy = dotted ? std::string(root_view) : std::string();
    const std::string& root = dotted ? root_copy : module;
    if (local_modules.count(root) != 0) return ImportVerdict::silent;
    if (dotted && local_modules.count(module) != 0) return ImportVerdict::silent;
    if (forbidden.count(root) != 0) return ImportVerdict::forbidden;
    if (allows(module, root)) return ImportVerdict::silent;
    return ImportVerdict::unlisted;
}

bool ImportClassifier::judge(const FoundImport& import, const std::unordered_set<std::string>& local_modules,
                             const std::string& path, ScanWorker& worker) const {
    if (import.is_relative || import.module.empty()) return false;
    // The sets are looked up with strings: a name gathered across pieces
    // is one already, a name seen in a piece is copied once, when the memo
    // does not know it.
    const auto judged = [&] {
        if (import.gathered != nullptr) return verdict_on(*import.gathered, local_modules);
        worker.name.assign(import.module);
        return verdict_on(worker.name, local_modules);
    };
    ImportVerdict verdict;
    if (VerdictMemo::keeps(import.module)) {
        const std::uint64_t hash = VerdictMemo::hash(import.module);
        const ImportVerdict* known = worker.verdicts.find(import.module, hash);
        if (known != nullptr) {
            verdict = *known;
        } else {
            verdict = judged();
            worker.verdicts.remember(import.module, hash, verdict);
        }
    } else {
        verdict = judged();
    }
    if (verdict == ImportVerdict::silent) return false;
    const bool error = verdict == ImportVerdict::forbidden;
    (error ? worker.errors : worker.warnings)
        .push_back(import_message(path, import.line, error ? kForbiddenImport : kUnlistedImport, import.module,
                                  import.gathered));
    (error ? worker.error_columns : worker.warning_columns).push_back(import.column);
    return error;
}

FileResult ImportClassifier::scan_file(const std::string& filepath,
                                       const std::unordered_set<std::string>& local_modules) const {
    ScanWorker worker;
    return scan_source(SourceLocation{filepath}, local_modules, worker, OpenMode::any);
}

FileResult ImportClassifier::scan_source(const SourceLocation& where,
                                         const std::unordered_set<std::string>& local_modules, ScanWorker& worker,
                                         OpenMode mode, ScanStage* beside) const {
    FileResult result;
    result.filepath = where.path;
    worker.error_columns.clear();
    worker.warning_columns.clear();

    std::optional<SourceFile> file = worker.reader.open(where, mode);
    if (!file) {
        result.errors.push_back(result.filepath + std::string(kOpenFailure));
        result.passed = false;
        return result;
    }

    // Each statement is judged as soon as it is found, so that nothing
    // piles up: what a file costs is its messages.
    class Judge final : public ImportSink {
    public:
        Judge(const ImportClassifier& classifier, const std::unordered_set<std::string>& local_modules,
              FileResult& result, ScanWorker& worker) noexcept
            : classifier_(classifier), local_modules_(local_modules), result_(result), worker_(worker) {}
        void found(const FoundImport& import) override {
            if (classifier_.judge(import, local_modules_, result_.filepath, worker_)) result_.passed = false;
        }

    private:
        const ImportClassifier& classifier_;
        const std::unordered_set<std::string>& local_modules_;
        FileResult& result_;
        ScanWorker& worker_;
    };
    worker.verdicts.bind(this, &local_modules);
    worker.errors.clear();
    worker.warnings.clear();
    Judge judge(*this, local_modules, result, worker);
    ImportExtractor extractor;
    // The stage beside gets each piece as the line scan does.
    for (;;) {
        const std::string_view piece = file->read(worker.reader.buffer());
        if (piece.empty()) break;
        if (beside != nullptr) beside->feed(piece);
        extractor.feed(piece, judge);
    }
    if (beside != nullptr) beside->finish();
    extractor.finish(judge);
    const std::size_t bytes = take_messages(worker.errors, result.errors) +
                              take_messages(worker.warnings, result.warnings);
    worker.heap.produced(bytes + result.filepath.size() + 16);
    return result;
}

}  // namespace scanner_core
