#include "gate/report_block.hpp"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <map>
#include <tuple>

#include "kernels/kernels.hpp"
#include "gate/line_digest.hpp"
#include "gate/finding_places.hpp"
#include "scan/parallel_scan.hpp"
#include "lexical/python_unicode.hpp"
#include "kernels/sha256.hpp"

namespace scanner_core {
namespace {

// Bumped with the command's when what is hashed changes.
constexpr std::string_view kFingerprintScheme = "scanner-core/1";
constexpr char kHexDigits[] = "0123456789abcdef";

template <class Out>
void append_hex(std::uint32_t value, int digits, Out& out) {
    for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4) out.push_back(kHexDigits[(value >> shift) & 0xF]);
}

template <class Out>
void append_number(std::int64_t value, Out& out) {
    char digits[24];
    const std::to_chars_result end = std::to_chars(std::begin(digits), std::end(digits), value);
    out.append(digits, end.ptr);
}

bool is_surrogate(char32_t c) noexcept { return c >= 0xD800 && c <= 0xDFFF; }

// A lone surrogate that stands for the byte of a name that is not UTF-8.
bool is_escaped_byte(char32_t c) noexcept { return c >= 0xDC80 && c <= 0xDCFF; }

std::string_view plural_s(std::size_t count) noexcept { return count == 1 ? "" : "s"; }

void append_counts(const FileCounts& counts, std::string& out) {
    append_number(static_cast<std::int64_t>(counts.errors), out);
    out.append(" error").append(plural_s(counts.errors)).append(", ");
    append_number(static_cast<std::int64_t>(counts.warnings), out);
    out.append(" warning").append(plural_s(counts.warnings));
}

std::string_view level_of(AuditRule rule) noexcept { return is_error(rule) ? "error" : "warning"; }

// A finding's context as the text report shows it: "function, optional".
std::string context_shown(std::uint8_t context) {
    std::string words = context_words(context);
    for (std::size_t at = words.find(','); at != std::string::npos; at = words.find(',', at + 2)) {
        words.insert(at + 1, " ");
    }
    return words;
}

// Appends a list of values already written, json.dumps(indent=2) style,
// the list's own line indented by `pad`.
template <class Items, class Out, class Write>
void append_list(const Items& items, std::string_view pad, Out& out, const Write& write) {
    if (items.empty()) {
        out.append("[]");
        return;
    }
    out.append("[\n");
    bool first = true;
    for (const auto& item : items) {
        if (!first) out.append(",\n");
        first = false;
        write(item);
    }
    out.append("\n").append(pad).append("]");
}

}  // namespace

namespace {

// Appends the escape of the character that begins at text[at] (not
// printable ASCII, or a backslash) and returns the bytes it took.
template <class Out>
std::size_t append_escaped_character(std::string_view text, std::size_t at, TextOrigin origin, Out& out) {
    const unsigned char byte = static_cast<unsigned char>(text[at]);
    const unicode::Utf8Char read = unicode::decode_utf8(text, at);
    const char32_t c = read.code_point;
    // Python's UTF-8 decoder refuses encoded surrogates in a name: each
    // of their bytes stands for itself.
    if (c == unicode::kNotUtf8 || (origin == TextOrigin::system && is_surrogate(c))) {
        out.append("\\x");
        append_hex(byte, 2, out);
        return 1;
    }
    if (c == '\\') {
        out.append("\\\\");
    } else if (is_escaped_byte(c)) {
        out.append("\\x");
        append_hex(c - 0xDC00, 2, out);
    } else if (unicode::is_printable(c)) {
        out.append(text.substr(at, read.length));
    } else if (c < 0x80) {
        out.append("\\x");
        append_hex(c, 2, out);
    } else if (c <= 0xFFFF) {
        out.append("\\u");
        append_hex(c, 4, out);
    } else {
        out.append("\\U");
        append_hex(c, 8, out);
    }
    return read.length;
}

// The end of the run of plain bytes from `at` (printable ASCII, neither
// a backslash nor, for JSON, a double quote), a vector at a time: names
// of megabytes are mostly plain.
std::size_t plain_run(std::string_view text, std::size_t at, bool json) noexcept {
    return kernels().plain_run(text.data(), text.size(), at, json ? '"' : '\\');
}

template <class Out>
void put_json_body(std::string_view escaped, Out& out) {
    std::size_t at = 0;
    while (at < escaped.size()) {
        const unsigned char byte = static_cast<unsigned char>(escaped[at]);
        if (byte >= 0x20 && byte <= 0x7E && byte != '"' && byte != '\\') {
            std::size_t end = at + 1;
            while (end < escaped.size()) {
                const unsigned char next = static_cast<unsigned char>(escaped[end]);
                if (next < 0x20 || next > 0x7E || next == '"' || next == '\\') break;
                ++end;
            }
            out.append(escaped.substr(at, end - at));
            at = end;
            continue;
        }
        const unicode::Utf8Char read = unicode::decode_utf8(escaped, at);
        // Escaped text is valid UTF-8; a stray byte is written as the
        // character U+FFFD would be rather than as invalid JSON.
        const char32_t c = read.code_point == unicode::kNotUtf8 ? 0xFFFD : read.code_point;
        at += read.length;
        switch (c) {
            case '"': out.append("\\\""); continue;
            case '\\': out.append("\\\\"); continue;
            case '\n': out.append("\\n"); continue;
            case '\r': out.append("\\r"); continue;
            case '\t': out.append("\\t"); continue;
            case '\b': out.append("\\b"); continue;
            case '\f': out.append("\\f"); continue;
            default: break;
        }
        if (c > 0xFFFF) {
            const char32_t value = c - 0x10000;
            out.append("\\u");
            append_hex(0xD800 | (value >> 10), 4, out);
            out.append("\\u");
            append_hex(0xDC00 | (value & 0x3FF), 4, out);
        } else {
            out.append("\\u");
            append_hex(c, 4, out);
        }
    }
}


template <class Out>
void put_json_escaped(std::string_view text, TextOrigin origin, Out& out) {
    out.push_back('"');
    std::string piece;  // one character's escape, then JSON-encoded
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t end = plain_run(text, at, true);
        out.append(text.substr(at, end - at));
        at = end;
        if (at == text.size()) break;
        if (text[at] == '"') {
            out.append("\\\"");
            ++at;
            continue;
        }
        piece.clear();
        at += append_escaped_character(text, at, origin, piece);
        put_json_body(piece, out);
    }
    out.push_back('"');
}

// Hands a block to its sink in pieces of about kPiece bytes, so that a
// block of any size costs one piece of memory; a run of text longer than a
// piece goes to the sink as it is, without a copy.
class PieceWriter {
public:
    // `expected`: about what the block takes, reserved up to a piece at once.
    PieceWriter(const BlockSink& sink, std::size_t expected) : sink_(sink) {
        buffer_.reserve(std::min(expected, kPiece));
    }
    PieceWriter(const PieceWriter&) = delete;
    PieceWriter& operator=(const PieceWriter&) = delete;

    PieceWriter& append(std::string_view bytes) {
        if (buffer_.size() + bytes.size() > kPiece) {
            flush();
            if (bytes.size() >= kPiece) {
                sink_(bytes);
                return *this;
            }
        }
        buffer_.append(bytes);
        return *this;
    }
    PieceWriter& append(const char* first, const char* last) { return append(std::string_view(first, last - first)); }
    void push_back(char byte) {
        if (buffer_.size() >= kPiece) flush();
        buffer_.push_back(byte);
    }
    void flush() {
        if (!buffer_.empty()) sink_(buffer_);
        buffer_.clear();
    }

private:
    static constexpr std::size_t kPiece = 1 << 20;
    const BlockSink& sink_;
    std::string buffer_;
};

}  // namespace

void append_escaped(std::string_view text, TextOrigin origin, std::string& out) {
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t end = plain_run(text, at, false);
        out.append(text.substr(at, end - at));
        at = end;
        if (at < text.size()) at += append_escaped_character(text, at, origin, out);
    }
}

void append_json_escaped(std::string_view text, TextOrigin origin, std::string& out) {
    put_json_escaped(text, origin, out);
}

void append_json_string(std::string_view escaped, std::string& out) {
    out.push_back('"');
    put_json_body(escaped, out);
    out.push_back('"');
}

void append_json_body(std::string_view escaped, std::string& out) { put_json_body(escaped, out); }

void append_shown(std::string_view escaped, std::string& out) {
    const auto starts_character = [&escaped](std::size_t at) {
        return (static_cast<unsigned char>(escaped[at]) & 0xC0) != 0x80;
    };
    std::size_t characters = 0;
    for (std::size_t at = 0; at < escaped.size(); ++at) characters += starts_character(at) ? 1 : 0;
    if (characters <= kShownAtMost) {
        out.append(escaped);
        return;
    }
    std::size_t head_end = 0;  // where character kShownHead begins
    for (std::size_t seen = 0; seen <= kShownHead; ++head_end) seen += starts_character(head_end) ? 1 : 0;
    --head_end;
    std::size_t tail_start = escaped.size();  // where the last kShownTail characters begin
    for (std::size_t seen = 0; seen < kShownTail;) seen += starts_character(--tail_start) ? 1 : 0;
    out.append(escaped.substr(0, head_end)).append(" [\xE2\x80\xA6 ");
    append_number(static_cast<std::int64_t>(characters - kShownHead - kShownTail), out);
    out.append(" characters not shown \xE2\x80\xA6] ").append(escaped.substr(tail_start));
}

namespace {

std::size_t code_points(std::string_view utf8) noexcept {
    std::size_t count = 0;
    for (const char byte : utf8) count += (static_cast<unsigned char>(byte) & 0xC0) != 0x80 ? 1 : 0;
    return count;
}

// The offset in `utf8` where its character `index` begins (its size past the end).
std::size_t offset_of_character(std::string_view utf8, std::size_t index) noexcept {
    std::size_t seen = 0;
    for (std::size_t at = 0; at < utf8.size(); ++at) {
        if ((static_cast<unsigned char>(utf8[at]) & 0xC0) == 0x80) continue;
        if (seen++ == index) return at;
    }
    return utf8.size();
}

}  // namespace

void append_escaped_shown(std::string_view text, TextOrigin origin, std::string& out) {
    // Most messages are short and need no escape: shown as they are.
    if (text.size() <= kShownAtMost && plain_run(text, 0, false) == text.size()) {
        out.append(text);
        return;
    }
    // First pass: the escaped text's length in characters, and its head.
    std::string head, piece;
    std::size_t total = 0;
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t end = plain_run(text, at, false);
        if (total <= kShownAtMost) head.append(text.substr(at, std::min(end - at, kShownAtMost + 1 - total)));
        total += end - at;
        at = end;
        if (at == text.size()) break;
        piece.clear();
        at += append_escaped_character(text, at, origin, piece);
        if (total <= kShownAtMost) head.append(piece);
        total += code_points(piece);
    }
    if (total <= kShownAtMost) {
        out.append(head);
        return;
    }
    out.append(std::string_view(head).substr(0, offset_of_character(head, kShownHead))).append(" [\xE2\x80\xA6 ");
    append_number(static_cast<std::int64_t>(total - kShownHead - kShownTail), out);
    out.append(" characters not shown \xE2\x80\xA6] ");
    // Second pass: up to the character where the tail begins, then the rest.
    const std::size_t tail = total - kShownTail;
    std::size_t count = 0;
    at = 0;
    while (at < text.size()) {
        const std::size_t end = plain_run(text, at, false);
        if (count + (end - at) > tail) {
            out.append(text.substr(at + (tail - count), end - at - (tail - count)));
            append_escaped(text.substr(end), origin, out);
            return;
        }
        count += end - at;
        at = end;
        if (at == text.size()) break;
        piece.clear();
        at += append_escaped_character(text, at, origin, piece);
        const std::size_t characters = code_points(piece);
        if (count + characters > tail) {
            out.append(std::string_view(piece).substr(offset_of_character(piece, tail - count)));
            append_escaped(text.substr(at), origin, out);
            return;
        }
        count += characters;
    }
}

std::vector<const AuditFinding*> report_order(const FullResult& result) {
    std::vector<const AuditFinding*> order;
    order.reserve(result.scan_findings.size() + result.findings.size());
    for (const AuditFinding& finding : result.scan_findings) order.push_back(&finding);
    for (const AuditFinding& finding : result.findings) order.push_back(&finding);
    const auto key = [](const AuditFinding* finding) {
        return std::make_tuple(finding->line > 0, finding->line, finding->column <= 0, finding->column,
                               rule_id(finding->rule));
    };
    std::stable_sort(order.begin(), order.end(),
                     [&key](const AuditFinding* a, const AuditFinding* b) { return key(a) < key(b); });
    return order;
}

FileCounts count_findings(const FullResult& result) noexcept {
    FileCounts counts;
    for (const std::vector<AuditFinding>* list : {&result.scan_findings, &result.findings}) {
        for (const AuditFinding& finding : *list) {
            ++(is_error(finding.rule) ? counts.errors : counts.warnings);
        }
    }
    return counts;
}

bool passes(const FullResult& result, bool fail_on_warning) noexcept {
    const FileCounts counts = count_findings(result);
    return counts.errors == 0 && (!fail_on_warning || counts.warnings == 0);
}

std::vector<std::string> fingerprints(const FullResult& result, const std::vector<const AuditFinding*>& order,
                                      std::string_view name) {
    std::vector<LineDigest> read;
    if (!result.digested) read = line_digests(result.scan.filepath, finding_lines(result));
    const std::vector<LineDigest>& digests = result.digested ? result.line_digests : read;
    std::string prefix(kFingerprintScheme);
    prefix.push_back('\0');
    append_escaped(name, TextOrigin::system, prefix);
    prefix.push_back('\0');
    Sha256 identity_prefix;
    identity_prefix.update(prefix);
    // Findings that share rule, module and line text are told apart by rank.
    std::map<std::tuple<AuditRule, std::string_view, std::string_view>, std::int64_t> ranks;
    std::vector<std::string> made;
    made.reserve(order.size());
    std::string identity;  // what is hashed after the prefix, but long runs of a module
    std::vector<std::string> hexes;  // each line's digest as hashed, which the ranks' keys point into
    hexes.reserve(digests.size());
    for (const LineDigest& digest : digests) hexes.push_back(hex_of(digest.digest));
    for (const AuditFinding* finding : order) {
        std::string_view text;
        if (finding->line > 0) {
            const auto before = [](const LineDigest& digest, std::int64_t line) { return digest.line < line; };
            const auto at = std::lower_bound(digests.begin(), digests.end(), finding->line, before);
            if (at == digests.end() || at->line != finding->line) {
                made.emplace_back();
                continue;
            }
            text = hexes[static_cast<std::size_t>(at - digests.begin())];
        }
        const std::int64_t rank = ranks[{finding->rule, finding->module_view(), text}]++;
        Sha256 hash = identity_prefix;
        identity.assign(rule_id(finding->rule));
        identity.push_back('\0');
        if (finding->module_view().empty()) {
            identity.push_back('\x01');
        } else {
            // The module escaped as it is hashed: its plain runs straight
            // from the record, so a name of megabytes is not copied.
            std::size_t at = 0;
            const std::string_view module = finding->module_view();
            while (at < module.size()) {
                const std::size_t end = plain_run(module, at, false);
                if (end - at > 256) {
                    hash.update(identity);
                    identity.clear();
                    hash.update(module.substr(at, end - at));
                } else {
                    identity.append(module.substr(at, end - at));
                }
                at = end;
                if (at < module.size()) at += append_escaped_character(module, at, TextOrigin::module, identity);
            }
        }
        identity.push_back('\0');
        identity.append(text);
        identity.push_back('\0');
        append_number(rank, identity);
        hash.update(identity);
        made.push_back(hash.hex_digest());
    }
    return made;
}

std::string text_block(const FullResult& result, bool fail_on_warning) {
    std::string out;
    std::size_t expected = 64 + result.scan.filepath.size();
    for (const std::vector<AuditFinding>* list : {&result.scan_findings, &result.findings}) {
        for (const AuditFinding& finding : *list) expected += 48 + std::min(finding.message.size(), 2 * kShownAtMost);
    }
    out.reserve(expected);
    const FileCounts counts = count_findings(result);
    const bool passed = counts.errors == 0 && (!fail_on_warning || counts.warnings == 0);
    out.append(passed ? "ok    " : "FAIL  ");
    append_escaped(result.scan.filepath, TextOrigin::system, out);
    out.append("  (");
    append_counts(counts, out);
    out.append(")");
    if (!result.allowed_used.empty()) {
        out.append("  [allowed attributes used: ");
        for (std::size_t k = 0; k < result.allowed_used.size(); ++k) {
            if (k > 0) out.append(", ");
            append_escaped(result.allowed_used[k], TextOrigin::module, out);
        }
        out.append("]");
    }
    out.append("\n");
    for (const AuditFinding* finding : report_order(result)) {
        out.append("      ").append(is_error(finding->rule) ? "error    [" : "warning  [");
        out.append(rule_id(finding->rule)).append("] ");
        append_escaped_shown(finding->message, TextOrigin::system, out);
        // Where the import stands, but at a module's top level (most do).
        if ((finding->context & ~kContextKnown) != 0) {
            out.append("  (").append(context_shown(finding->context)).append(")");
        }
        out.push_back('\n');
    }
    return out;
}

namespace {

// The file's object, after `lead`, into `out`; `made`: its fingerprints
// when they are made already.
void put_json_block(const FullResult& result, bool fail_on_warning, std::string_view name, std::string_view lead,
                    PieceWriter& out, std::vector<std::string>* made = nullptr) {
    const std::vector<const AuditFinding*> order = report_order(result);
    const std::vector<std::string> prints = made != nullptr ? std::move(*made) : fingerprints(result, order, name);
    // Each message appears twice, in its level's list and in its finding:
    // the first MiB of short ones is escaped once and held. The others are
    // escaped twice, so that the block still costs about a piece of memory.
    constexpr std::size_t kMessageHeldAtMost = 4096;
    constexpr std::size_t kHeldAtMost = 1 << 20;
    std::string held;
    std::vector<std::pair<std::size_t, std::size_t>> spans(order.size(), {0, 0});  // in `held`; empty: not held
    for (std::size_t k = 0; k < order.size() && held.size() < kHeldAtMost; ++k) {
        if (order[k]->message.size() > kMessageHeldAtMost) continue;
        const std::size_t begin = held.size();
        put_json_escaped(order[k]->message, TextOrigin::system, held);
        spans[k] = {begin, held.size()};
    }
    const auto put_message = [&](std::size_t k) {
        const auto [begin, end] = spans[k];
        if (begin == end) {  // a JSON string is never empty: not held
            put_json_escaped(order[k]->message, TextOrigin::system, out);
        } else {
            out.append(std::string_view(held).substr(begin, end - begin));
        }
    };
    out.append(lead);
    out.append("    {\n      \"filepath\": ");
    put_json_escaped(result.scan.filepath, TextOrigin::system, out);
    out.append(",\n      \"passed\": ").append(passes(result, fail_on_warning) ? "true" : "false");
    constexpr std::string_view kInner = "      ";
    for (const bool errors : {true, false}) {
        out.append(errors ? ",\n      \"errors\": " : ",\n      \"warnings\": ");
        std::vector<std::size_t> of_level;
        for (std::size_t k = 0; k < order.size(); ++k) {
            if (is_error(order[k]->rule) == errors) of_level.push_back(k);
        }
        append_list(of_level, kInner, out, [&](std::size_t k) {
            out.append("        ");
            put_message(k);
        });
    }
    out.append(",\n      \"findings\": ");
    std::vector<std::size_t> all(order.size());
    for (std::size_t k = 0; k < all.size(); ++k) all[k] = k;
    append_list(all, kInner, out, [&](std::size_t k) {
        const AuditFinding& finding = *order[k];
        out.append("        {\n          \"rule\": \"").append(rule_id(finding.rule));
        out.append("\",\n          \"level\": \"").append(level_of(finding.rule));
        out.append("\",\n          \"line\": ");
        if (finding.line > 0) {
            append_number(finding.line, out);
        } else {
            out.append("null");
        }
        out.append(",\n          \"column\": ");
        if (finding.column > 0) {
            append_number(finding.column, out);
        } else {
            out.append("null");
        }
        out.append(",\n          \"context\": ");
        if ((finding.context & kContextKnown) == 0) {
            out.append("null");
        } else {
            std::vector<std::string_view> words;
            const std::string joined = context_words(finding.context);
            for (std::size_t at = 0; at <= joined.size();) {
                const std::size_t comma = std::min(joined.find(',', at), joined.size());
                words.push_back(std::string_view(joined).substr(at, comma - at));
                at = comma + 1;
            }
            append_list(words, "          ", out, [&](std::string_view word) {
                out.append("            \"").append(word).append("\"");
            });
        }
        out.append(",\n          \"module\": ");
        if (finding.module_view().empty()) {
            out.append("null");
        } else {
            put_json_escaped(finding.module_view(), TextOrigin::module, out);
        }
        out.append(",\n          \"message\": ");
        put_message(k);
        out.append(",\n          \"fingerprint\": ");
        if (prints[k].empty()) {
            out.append("null");
        } else {
            out.push_back('"');
            out.append(prints[k]).push_back('"');
        }
        out.append("\n        }");
    });
    if (!result.allowed_used.empty()) {
        out.append(",\n      \"allowed_used\": ");
        append_list(result.allowed_used, kInner, out, [&](const std::string& chain) {
            out.append("        ");
            put_json_escaped(chain, TextOrigin::module, out);
        });
    }
    out.append("\n    }");
}

// About what a file's object takes.
std::size_t expected_size(const FullResult& result) {
    std::size_t expected = 160 + result.scan.filepath.size();
    for (const std::vector<AuditFinding>* list : {&result.scan_findings, &result.findings}) {
        for (const AuditFinding& finding : *list) expected += 2 * finding.message.size() + finding.module_view().size() + 330;
    }
    return expected;
}

}  // namespace

void write_text_blocks(const std::vector<const FullResult*>& results, bool fail_on_warning, const BlockSink& sink) {
    PieceWriter out(sink, 200 * results.size());
    for (const FullResult* result : results) out.append(text_block(*result, fail_on_warning));
    out.flush();
}

void write_json_block(const FullResult& result, bool fail_on_warning, std::string_view name, std::string_view lead,
                      const BlockSink& sink) {
    PieceWriter out(sink, lead.size() + expected_size(result));
    put_json_block(result, fail_on_warning, name, lead, out);
    out.flush();
}

void write_json_blocks(const std::vector<const FullResult*>& results, const std::vector<std::string>& names,
                       bool fail_on_warning, bool first, const BlockSink& sink) {
    std::size_t expected = 0;
    std::size_t modules = 0;  // bytes of the modules the fingerprints hash
    for (const FullResult* result : results) {
        expected += 2 + expected_size(*result);
        for (const std::vector<AuditFinding>* list : {&result->scan_findings, &result->findings}) {
            for (const AuditFinding& finding : *list) modules += finding.module_view().size();
        }
    }
    const auto name_of = [&names](std::size_t k) { return k < names.size() ? names[k] : std::string_view(); };
    const auto lead_of = [first](std::size_t k) { return first && k == 0 ? "[\n" : ",\n"; };
    // Many small blocks: each core makes a run of them aside, in order,
    // then the runs are written one after the other. Only while what is
    // made aside stays small: larger blocks are made and written a piece
    // at a time.
    constexpr std::size_t kMadeAsideAtMost = std::size_t{16} << 20;
    constexpr std::size_t kBlocksPerCore = 16;
    const std::size_t cores = worker_count(0, results.size() / kBlocksPerCore);
    if (cores > 1 && expected <= kMadeAsideAtMost) {
        std::vector<std::string> made(cores);
        const std::size_t per = (results.size() + cores - 1) / cores;
        run_in_parallel(cores, cores, ScanIndex([&](std::size_t core, ReadBuffer&) {
                            std::string& text = made[core];
                            const BlockSink into = [&text](std::string_view piece) { text.append(piece); };
                            const std::size_t from = core * per;
                            const std::size_t to = std::min(results.size(), from + per);
                            PieceWriter out(into, expected / cores);
                            for (std::size_t k = from; k < to; ++k) {
                                put_json_block(*results[k], fail_on_warning, name_of(k), lead_of(k), out);
                            }
                            out.flush();
                        }));
        for (const std::string& text : made) {
            if (!text.empty()) sink(text);
        }
        return;
    }
    // Hashing names of megabytes is most of the work: then the
    // fingerprints are made first, on every core.
    constexpr std::size_t kHashedAlone = 4 * 1024 * 1024;
    std::vector<std::vector<std::string>> prints;
    if (modules >= kHashedAlone && results.size() > 1) {
        prints.resize(results.size());
        run_in_parallel(results.size(), worker_count(0, results.size()), ScanIndex([&](std::size_t k, ReadBuffer&) {
                            prints[k] = fingerprints(*results[k], report_order(*results[k]), name_of(k));
                        }));
    }
    PieceWriter out(sink, expected);
    for (std::size_t k = 0; k < results.size(); ++k) {
        put_json_block(*results[k], fail_on_warning, name_of(k), lead_of(k), out,
                       prints.empty() ? nullptr : &prints[k]);
    }
    out.flush();
}

std::string json_block(const FullResult& result, bool fail_on_warning, std::string_view name) {
    std::string block;
    write_json_block(result, fail_on_warning, name, {}, [&block](std::string_view piece) { block.append(piece); });
    return block;
}

}  // namespace scanner_core
