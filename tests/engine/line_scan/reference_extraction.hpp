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

#include "line_scan/import_extraction.hpp"
#include "line_scan/import_patterns.hpp"

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

// The record that one line gives, as extraction has it: a line whose first
// byte after blanks and tabs is f or i, tried with the three patterns in turn.
inline bool reference_line_import(const std::string& line, std::int64_t number, RawImport& record) {
    const std::size_t first = line.find_first_not_of(" \t");
    if (first == std::string::npos || (line[first] != 'f' && line[first] != 'i')) return false;
    const auto column = static_cast<std::int64_t>(first) + 1;  // blanks and tabs are a character each
    std::smatch match;
    if (std::regex_search(line, match, compiled(RE_FROM_REL))) {
        record = {match[2].str(), number, true, true, column};
    } else if (std::regex_search(line, match, compiled(RE_FROM_ABS))) {
        record = {match[1].str(), number, true, false, column};
    } else if (std::regex_search(line, match, compiled(RE_IMPORT))) {
        record = {match[1].str(), number, false, false, column};
    } else {
        return false;
    }
    return true;
}

inline std::vector<RawImport> reference_extract_imports(std::string_view text) {
    std::vector<RawImport> imports;
    std::int64_t number = 0;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        ++number;
        RawImport record;
        if (reference_line_import(std::string(text.substr(pos, end - pos)), number, record)) {
            imports.push_back(std::move(record));
        }
        pos = end + 1;
    }
    return imports;
}

// The records of `text` fed to one extractor in pieces that end at `cuts`
// (increasing offsets within the text), then the rest.
inline std::vector<RawImport> extract_in_pieces(std::string_view text, const std::vector<std::size_t>& cuts) {
    std::vector<RawImport> imports;
    ImportExtractor extractor;
    std::size_t from = 0;
    for (const std::size_t cut : cuts) {
        extractor.feed(text.substr(from, cut - from), imports);
        from = cut;
    }
    extractor.feed(text.substr(from), imports);
    extractor.finish(imports);
    return imports;
}

// Every offset of the text: pieces of one byte.
inline std::vector<std::size_t> every_byte(std::size_t size) {
    std::vector<std::size_t> cuts;
    for (std::size_t k = 1; k < size; ++k) cuts.push_back(k);
    return cuts;
}

}  // namespace scanner_core::testing
