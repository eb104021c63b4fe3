// extract_imports on arbitrary bytes: it must not crash, must give at most one
// record per line in strictly increasing line order, with the module where its
// form puts it in the line, and on every line short enough for std::regex must
// give exactly what std::regex compiled from the pattern texts gives on that
// line (or nothing where it gives nothing).
// Behind a prefix of whole lines that moves it to another offset, the same
// text must give the same records, only numbered further down; cut into
// pieces anywhere, down to single bytes, it must give the same records too.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_check.hpp"
#include "line_scan/import_extraction.hpp"
#include "reference_extraction.hpp"

namespace {

// std::regex's matcher recurses once per character of the subject, so the
// reference would exhaust the stack on long lines; those lines are still
// extracted and their records still checked for order.
constexpr std::size_t kReferenceLineLimit = 1024;

// Whether `record`'s module stands in `line` where its form puts it: after
// the blanks and tabs that lead the line, the keyword, white space and, in
// the relative form, the dots; and is all of the name there. Checked on every
// line, the long ones that the reference cannot take included.
bool module_in_place(std::string_view line, const scanner_core::RawImport& record) {
    constexpr std::string_view kSpace = " \t\n\v\f\r";
    const auto in_name = [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '.';
    };
    const std::string_view keyword = record.is_from ? "from" : "import";
    std::size_t pos = line.find_first_not_of(" \t");
    if (pos == std::string_view::npos || line.substr(pos, keyword.size()) != keyword) return false;
    pos += keyword.size();
    const std::size_t name = std::min(line.find_first_not_of(kSpace, pos), line.size());
    if (name == pos) return false;
    pos = name;
    if (record.is_relative) {
        pos = std::min(line.find_first_not_of('.', pos), line.size());
        if (pos == name) return false;
    }
    if (line.substr(pos, record.module.size()) != record.module) return false;
    const std::size_t end = pos + record.module.size();
    return end == line.size() || !in_name(line[end]);
}

// Comment lines of `length` bytes in all, the last one shortened to fit.
// Returns how many lines they are.
std::int64_t append_comment_lines(std::string& text, std::size_t length) {
    std::int64_t lines = 0;
    for (std::size_t left = length; left > 0; ++lines) {
        const std::size_t line = left < 64 ? left : 64;
        text.append(line - 1, '#').push_back('\n');
        left -= line;
    }
    return lines;
}

// Cut offsets drawn from a generator seeded by the input, so that a
// failure replays from its input alone.
std::vector<std::size_t> input_cuts(std::string_view text) {
    std::vector<std::size_t> cuts;
    std::uint64_t state = 0x9e3779b97f4a7c15u ^ text.size();
    for (const char c : text.substr(0, 64)) state = (state ^ static_cast<unsigned char>(c)) * 0x100000001b3u;
    for (std::size_t at = 0; text.size() > 1;) {
        state = state * 6364136223846793005u + 1442695040888963407u;
        at += 1 + (state >> 33) % 97;
        if (at >= text.size()) break;
        cuts.push_back(at);
    }
    return cuts;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using scanner_core::RawImport;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const std::vector<RawImport> imports = scanner_core::extract_imports(text);

    // Records are consumed in step with the lines: one that is out of order,
    // repeated, or numbered beyond the last line is left over at the end.
    std::size_t next = 0;
    std::int64_t number = 0;
    for (std::size_t pos = 0; pos < text.size();) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        ++number;
        const std::string_view line = text.substr(pos, end - pos);
        const RawImport* got = next < imports.size() && imports[next].line == number ? &imports[next++] : nullptr;
        if (line.size() <= kReferenceLineLimit) {
            const std::vector<RawImport> expected = scanner_core::testing::reference_extract_imports(line);
            FUZZ_CHECK(expected.size() == (got != nullptr ? 1u : 0u));
            if (got != nullptr) {
                FUZZ_CHECK(got->module == expected[0].module);
                FUZZ_CHECK(got->is_from == expected[0].is_from);
                FUZZ_CHECK(got->is_relative == expected[0].is_relative);
            }
        }
        if (got != nullptr) FUZZ_CHECK(module_in_place(line, *got));
        pos = end + 1;
    }
    FUZZ_CHECK(next == imports.size());

    // Cut into pieces, as the reads of a file deliver it: at offsets the
    // input itself picks, and at every byte, the same records.
    for (const std::vector<std::size_t>& cuts :
         {input_cuts(text), scanner_core::testing::every_byte(text.size())}) {
        const std::vector<RawImport> pieces = scanner_core::testing::extract_in_pieces(text, cuts);
        FUZZ_CHECK(pieces.size() == imports.size());
        for (std::size_t k = 0; k < pieces.size(); ++k) {
            FUZZ_CHECK(pieces[k].line == imports[k].line);
            FUZZ_CHECK(pieces[k].module == imports[k].module);
            FUZZ_CHECK(pieces[k].is_from == imports[k].is_from);
            FUZZ_CHECK(pieces[k].is_relative == imports[k].is_relative);
        }
    }

    // Just short of 4 KiB, at an offset the first byte picks, the text
    // lands across page-sized boundaries and at every alignment within a
    // 64-byte block, where a scanner that works in blocks has its seams.
    std::string shifted;
    const std::int64_t prefix_lines = append_comment_lines(shifted, 4096 - (size == 0 ? 0 : data[0] % 128));
    shifted.append(text);
    const std::vector<RawImport> moved = scanner_core::extract_imports(shifted);
    FUZZ_CHECK(moved.size() == imports.size());
    for (std::size_t k = 0; k < moved.size(); ++k) {
        FUZZ_CHECK(moved[k].line == imports[k].line + prefix_lines);
        FUZZ_CHECK(moved[k].module == imports[k].module);
        FUZZ_CHECK(moved[k].is_from == imports[k].is_from);
        FUZZ_CHECK(moved[k].is_relative == imports[k].is_relative);
    }
    return 0;
}
