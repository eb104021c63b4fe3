// The extraction written the plain way, with std::regex compiled from the
// pattern texts: the reference that the linear matchers are checked against.
// Only for lines short enough for std::regex, whose matcher recurses per
// character.
#pragma once

#include <cstdint>
#include <regex>
#include <string>
#include <string_view>
#include <vector>

#include "import_extraction.hpp"
#include "import_patterns.hpp"

namespace scanner_core::testing {

inline const std::regex& compiled(const ImportPattern& pattern) {
    static const std::regex plain(std::string(RE_IMPORT.text()), std::regex::ECMAScript | std::regex::optimize);
    static const std::regex absolute(std::string(RE_FROM_ABS.text()), std::regex::ECMAScript | std::regex::optimize);
    static const std::regex relative(std::string(RE_FROM_REL.text()), std::regex::ECMAScript | std::regex::optimize);
    switch (pattern.form()) {
        case ImportPattern::Form::plain_import: return plain;
        case ImportPattern::Form::from_absolute: return absolute;
        case ImportPattern::Form::from_relative: break;
    }
    return relative;
}

inline std::vector<RawImport> reference_extract_imports(std::string_view text) {
    std::vector<RawImport> imports;
    std::int64_t number = 0;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        ++number;
        const std::size_t first = text.find_first_not_of(" \t", pos);
        if (first < end && (text[first] == 'f' || text[first] == 'i')) {
            const std::string line(text.substr(pos, end - pos));
            std::smatch match;
            if (std::regex_search(line, match, compiled(RE_FROM_REL))) {
                imports.push_back({match[2].str(), number, true, true});
            } else if (std::regex_search(line, match, compiled(RE_FROM_ABS))) {
                imports.push_back({match[1].str(), number, true, false});
            } else if (std::regex_search(line, match, compiled(RE_IMPORT))) {
                imports.push_back({match[1].str(), number, false, false});
            }
        }
        pos = end + 1;
    }
    return imports;
}

}  // namespace scanner_core::testing
