#include <algorithm>
#include <charconv>

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

// "<path>:<line>: <text><module>'", made from the module's own string: a
// module name of megabytes is then moved into place within its room rather
// than copied into a new one, when that room allows.
std::string import_message(const std::string& path, std::int64_t line, std::string_view text,
                           std::string&& module) {
    char digits[24];
    const std::to_chars_result number = std::to_chars(std::begin(digits), std::end(digits), line);
    const std::string_view line_text(digits, static_cast<std::size_t>(number.ptr - digits));
    const std::size_t head = path.size() + 1 + line_text.size() + 2 + text.size();
    if (module.capacity() >= module.size() + head + 1 && module.size() > kInPlaceThreshold) {
        module.insert(0, head, '\0');
        char* at = module.data();
        for (const std::string_view part : {std::string_view(path), std::string_view(":"), line_text,
                                            std::string_view(": "), text}) {
            at = std::copy(part.begin(), part.end(), at);
        }
        module.push_back('\'');
        return std::move(module);
    }
    std::string message;
    message.reserve(head + module.size() + 1);
    message.append(path).append(":").append(line_text).append(": ").append(text).append(module).append("'");
    return message;
}

}  // namespace

void ImportClassifier::judge(RawImport& import, const std::unordered_set<std::string>& local_modules,
                             std::string& root_copy, FileResult& result, ScanStage* beside) const {
    if (import.is_relative || import.module.empty()) return;
    // A name without a dot is its own root: look it up once, not twice.
    const std::string_view root_view = root_of(import.module);
    const bool dotted = root_view.size() != import.module.size();
    if (dotted) root_copy.assign(root_view);
    const std::string& root = dotted ? root_copy : import.module;

    if (local_modules.count(root) != 0) return;
    if (dotted && local_modules.count(import.module) != 0) return;
    if (forbidden.count(root) != 0) {
        if (beside != nullptr) beside->reported(import.line, import.module);
        result.errors.push_back(import_message(result.filepath, import.line, kForbidden, std::move(import.module)));
        result.passed = false;
        return;
    }
    if (allows(import.module, root)) return;
    if (beside != nullptr) beside->reported(import.line, import.module);
    result.warnings.push_back(import_message(result.filepath, import.line, kUnlisted, std::move(import.module)));
}

FileResult ImportClassifier::scan_file(const std::string& filepath,
                                       const std::unordered_set<std::string>& local_modules) const {
    SourceReader reader;
    return scan_source(SourceLocation{filepath}, local_modules, reader, OpenMode::any);
}

FileResult ImportClassifier::scan_source(const SourceLocation& where,
                                         const std::unordered_set<std::string>& local_modules, SourceReader& reader,
                                         OpenMode mode, ScanStage* beside) const {
    FileResult result;
    result.filepath = where.path;

    std::optional<SourceFile> file = reader.open(where, mode);
    if (!file) {
        result.errors.push_back(result.filepath + std::string(kOpenFailure));
        result.passed = false;
        return result;
    }

    // Each piece is judged as soon as it is extracted, so that the records
    // never pile up: what a file costs is its messages.
    ImportExtractor extractor;
    std::vector<RawImport> imports;
    // Room for the imports of a typical piece, small enough for the
    // allocator's per-thread cache: most files make no other allocation here.
    imports.reserve(8);
    std::string root_copy;  // reused, so long roots allocate once per file
    for (bool more = true; more;) {
        const std::string_view piece = file->read(reader.buffer());
        more = !piece.empty();
        if (more) {
            extractor.feed(piece, imports);
            if (beside != nullptr) beside->feed(piece);
        } else {
            extractor.finish(imports);
            if (beside != nullptr) beside->finish();
        }
        for (RawImport& import : imports) judge(import, local_modules, root_copy, result, beside);
        imports.clear();
    }
    return result;
}

}  // namespace scanner_core
