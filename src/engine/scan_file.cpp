#include "import_classifier.hpp"
#include "import_extraction.hpp"
#include "import_message.hpp"
#include "module_name.hpp"
#include "scan_messages.hpp"
#include "source_file.hpp"

namespace scanner_core {

void ImportClassifier::judge(RawImport& import, const std::unordered_set<std::string>& local_modules,
                             std::string& root_copy, FileResult& result) const {
    if (import.is_relative || import.module.empty()) return;
    // A name without a dot is its own root: look it up once, not twice.
    const std::string_view root_view = root_of(import.module);
    const bool dotted = root_view.size() != import.module.size();
    if (dotted) root_copy.assign(root_view);
    const std::string& root = dotted ? root_copy : import.module;

    if (local_modules.count(root) != 0) return;
    if (dotted && local_modules.count(import.module) != 0) return;
    if (forbidden.count(root) != 0) {
        result.errors.push_back(import_message(result.filepath, import.line, kForbiddenImport, std::move(import.module)));
        result.passed = false;
        return;
    }
    if (allows(import.module, root)) return;
    result.warnings.push_back(import_message(result.filepath, import.line, kUnlistedImport, std::move(import.module)));
}

FileResult ImportClassifier::scan_file(const std::string& filepath,
                                       const std::unordered_set<std::string>& local_modules) const {
    ReadBuffer buffer;
    return scan_source(filepath, local_modules, buffer, OpenMode::any);
}

FileResult ImportClassifier::scan_source(const std::string& filepath,
                                         const std::unordered_set<std::string>& local_modules, ReadBuffer& buffer,
                                         OpenMode mode, ScanStage* beside) const {
    FileResult result;
    result.filepath = filepath;

    std::optional<SourceFile> file = SourceFile::open(filepath, mode);
    if (!file) {
        result.errors.push_back(filepath + std::string(kOpenFailure));
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
        const std::string_view piece = file->read(buffer);
        more = !piece.empty();
        if (more) {
            extractor.feed(piece, imports);
            if (beside != nullptr) beside->feed(piece);
        } else {
            extractor.finish(imports);
            if (beside != nullptr) beside->finish();
        }
        for (RawImport& import : imports) judge(import, local_modules, root_copy, result);
        imports.clear();
    }
    return result;
}

}  // namespace scanner_core
