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
static_assert(kOpenFailure.size() == 32 && kForbidden.size() == 21 && kUnlisted.size() == 28,
              "the messages are UTF-8 and must stay byte for byte as callers parse them");

// "<path>:<line>: <text><module>'"
std::string import_message(const std::string& path, std::int64_t line, std::string_view text,
                           const std::string& module) {
    char digits[24];
    const std::to_chars_result number = std::to_chars(std::begin(digits), std::end(digits), line);
    const std::string_view line_text(digits, static_cast<std::size_t>(number.ptr - digits));
    std::string message;
    message.reserve(path.size() + line_text.size() + text.size() + module.size() + 4);
    message.append(path).append(":").append(line_text).append(": ").append(text).append(module).append("'");
    return message;
}

}  // namespace

FileResult ImportClassifier::scan_file(const std::string& filepath,
                                       const std::unordered_set<std::string>& local_modules) const {
    FileResult result;
    result.filepath = filepath;

    const std::optional<SourceText> source = read_source_file(filepath);
    if (!source) {
        result.errors.push_back(filepath + std::string(kOpenFailure));
        result.passed = false;
        return result;
    }

    std::string root_copy;  // reused, so long roots allocate once per file
    for (const RawImport& import : extract_imports(source->view())) {
        if (import.is_relative || import.module.empty()) continue;
        // A name without a dot is its own root: look it up once, not twice.
        const std::string_view root_view = root_of(import.module);
        const bool dotted = root_view.size() != import.module.size();
        if (dotted) root_copy.assign(root_view);
        const std::string& root = dotted ? root_copy : import.module;

        if (local_modules.count(root) != 0) continue;
        if (dotted && local_modules.count(import.module) != 0) continue;
        if (forbidden.count(root) != 0) {
            result.errors.push_back(import_message(filepath, import.line, kForbidden, import.module));
            result.passed = false;
            continue;
        }
        if (allows(import.module, root)) continue;
        result.warnings.push_back(import_message(filepath, import.line, kUnlisted, import.module));
    }
    return result;
}

}  // namespace scanner_core
