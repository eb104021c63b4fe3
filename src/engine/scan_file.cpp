#include <algorithm>
#include <charconv>
#include <cstring>

#include "import_classifier.hpp"
#include "import_extraction.hpp"
#include "module_name.hpp"
#include "source_file.hpp"

namespace scanner_core {
namespace {

constexpr std::string_view kOpenFailure = ": impossible d'ouvrir le fichier";
constexpr std::string_view kForbidden = "import interdit — '";
constexpr std::string_view kUnlisted = "import non whitelisté — '";
// Below this, copying the name costs less than moving it within its room.
constexpr std::size_t kInPlaceThreshold = 4096;

static_assert(kOpenFailure.size() == 32 && kForbidden.size() == 21 && kUnlisted.size() == 28,
              "the messages are UTF-8 and must stay byte for byte as callers parse them");

// "<path>:<line>: <text><module>'". A module name of megabytes, gathered
// into a string of its own, is moved into place within that string's room
// rather than copied into a new one, when the room allows. Otherwise one
// allocation of the final size, filled piece by piece.
std::string import_message(const std::string& path, std::int64_t line, std::string_view text,
                           std::string_view module, std::string* gathered) {
    char digits[24];
    const std::to_chars_result number = std::to_chars(std::begin(digits), std::end(digits), line);
    const std::string_view line_text(digits, static_cast<std::size_t>(number.ptr - digits));
    const std::size_t head = path.size() + 1 + line_text.size() + 2 + text.size();
    const auto put = [](char* at, std::string_view part) {
        if (!part.empty()) std::memcpy(at, part.data(), part.size());
        return at + part.size();
    };
    if (gathered != nullptr && module.size() > kInPlaceThreshold && gathered->capacity() >= module.size() + head + 1) {
        std::string& message = *gathered;
        message.insert(0, head, '\0');
        char* at = message.data();
        for (const std::string_view part : {std::string_view(path), std::string_view(":"), line_text,
                                            std::string_view(": "), text}) {
            at = put(at, part);
        }
        message.push_back('\'');
        return std::move(message);
    }
    std::string message(head + module.size() + 1, '\0');
    char* at = message.data();
    at = put(at, path);
    *at++ = ':';
    at = put(at, line_text);
    *at++ = ':';
    *at++ = ' ';
    at = put(at, text);
    at = put(at, module);
    *at = '\'';
    return message;
}

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
                             const std::string& path, ScanWorker& worker, ScanStage* beside) const {
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
    if (beside != nullptr) beside->reported(import.line, import.module);
    const bool error = verdict == ImportVerdict::forbidden;
    (error ? worker.errors : worker.warnings)
        .push_back(import_message(path, import.line, error ? kForbidden : kUnlisted, import.module, import.gathered));
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
              FileResult& result, ScanWorker& worker, ScanStage* beside) noexcept
            : classifier_(classifier), local_modules_(local_modules), result_(result), worker_(worker), beside_(beside) {}
        void found(const FoundImport& import) override {
            if (classifier_.judge(import, local_modules_, result_.filepath, worker_, beside_)) result_.passed = false;
        }

    private:
        const ImportClassifier& classifier_;
        const std::unordered_set<std::string>& local_modules_;
        FileResult& result_;
        ScanWorker& worker_;
        ScanStage* beside_;
    };
    worker.verdicts.bind(this, &local_modules);
    worker.errors.clear();
    worker.warnings.clear();
    Judge judge(*this, local_modules, result, worker, beside);
    ImportExtractor extractor;
    // The stage gets each piece before it hears of what the line scan
    // reported in it.
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
