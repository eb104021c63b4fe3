#include "import_extraction.hpp"

#include <cstring>

#include "import_patterns.hpp"

namespace scanner_core {
namespace {

// Tries the forms in the order that keeps a relative statement from being
// taken for an absolute one. A line starting with "f" cannot be a plain
// import and one starting with "i" cannot be a from-import, so only the
// forms that can match are tried.
void match_line(std::string_view line, char first, std::int64_t number, std::vector<RawImport>& imports) {
    PatternMatch match;
    if (first == 'f') {
        if (RE_FROM_REL.match(line, match)) {
            imports.push_back(RawImport{std::string(match.group2), number, true, true});
        } else if (RE_FROM_ABS.match(line, match)) {
            imports.push_back(RawImport{std::string(match.group1), number, true, false});
        }
        return;
    }
    if (RE_IMPORT.match(line, match)) {
        imports.push_back(RawImport{std::string(match.group1), number, false, false});
    }
}

}  // namespace

std::vector<RawImport> extract_imports(std::string_view text) {
    std::vector<RawImport> imports;
    imports.reserve(32);
    const char* const data = text.data();
    const std::size_t size = text.size();
    std::int64_t number = 0;
    for (std::size_t pos = 0; pos < size;) {
        ++number;
        std::size_t first = pos;
        while (first < size && (data[first] == ' ' || data[first] == '\t')) ++first;
        const void* const feed = first < size ? std::memchr(data + first, '\n', size - first) : nullptr;
        const std::size_t end = feed != nullptr ? static_cast<std::size_t>(static_cast<const char*>(feed) - data) : size;
        if (first < end && (data[first] == 'f' || data[first] == 'i')) {
            match_line(text.substr(pos, end - pos), data[first], number, imports);
        }
        pos = end + 1;
    }
    return imports;
}

}  // namespace scanner_core
