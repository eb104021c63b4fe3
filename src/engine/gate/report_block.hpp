// One file's part of the command's text and JSON reports, written by the
// engine from the file's record: its verdict, its findings in report
// order, every name escaped as the command escapes names, and in JSON each
// finding's fingerprint. The command writes these bytes as they come;
// what it makes itself (a file that only Python's codecs decode, a run
// with a baseline) it writes with its own formats, to the same bytes.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "gate/full_scan.hpp"

namespace scanner_core {

// Where a text comes from, which decides what its bytes stand for.
enum class TextOrigin {
    system,  // a path, or a message repeating one: a byte that is not valid UTF-8 is that byte
    module,  // a module name: UTF-8 that may hold lone surrogates
};

// Appends `text` to `out` with every character that does not print as
// itself escaped: "\\" for a backslash, \xNN for an ASCII control character
// or a byte that is not valid UTF-8 (and for a lone surrogate DC80..DCFF,
// which stands for such a byte), \uNNNN or \UNNNNNNNN for any other
// character that str.isprintable() refuses. Every other character is
// copied. Throws std::bad_alloc only.
void append_escaped(std::string_view text, TextOrigin origin, std::string& out);

// Appends `escaped` (UTF-8) as a JSON string, as json's
// encode_basestring_ascii writes it: quoted, ASCII only, '"' and '\\'
// escaped, other characters as \uXXXX (surrogate pairs beyond the BMP).
// Throws std::bad_alloc only.
void append_json_string(std::string_view escaped, std::string& out);

// Appends the JSON string of `escaped` as append_json_string does, without
// its quotes. Throws std::bad_alloc only.
void append_json_body(std::string_view escaped, std::string& out);

// Appends `text` escaped (append_escaped) as a JSON string
// (append_json_string), in one pass. Throws std::bad_alloc only.
void append_json_escaped(std::string_view text, TextOrigin origin, std::string& out);

// Above this many characters, the text report shows an escaped message as
// its first kShownHead and last kShownTail characters around a marker that
// says how many are left out: a module name of megabytes would bury the
// rest of a reviewer's report. Machine formats keep every character.
inline constexpr std::size_t kShownAtMost = 1000;
inline constexpr std::size_t kShownHead = 600;
inline constexpr std::size_t kShownTail = 100;

// Appends `escaped` as the text report shows it (see kShownAtMost).
// Throws std::bad_alloc only.
void append_shown(std::string_view escaped, std::string& out);

// Appends `text` escaped (append_escaped) as append_shown shows it,
// without writing out the escaped text whole: a message of megabytes costs
// two passes and a few hundred bytes. Throws std::bad_alloc only.
void append_escaped_shown(std::string_view text, TextOrigin origin, std::string& out);

// The findings of `result` in report order: the line scan's and the
// audit's together, those about the whole file first, then by line, then
// by column (unknown last), then by rule id, the line scan's before the
// audit's where all of these are equal. The pointers point into `result`.
// Throws std::bad_alloc only.
std::vector<const AuditFinding*> report_order(const FullResult& result);

struct FileCounts {
    std::size_t errors = 0;
    std::size_t warnings = 0;
};

// The errors and warnings among all the findings of `result`. Never fails.
FileCounts count_findings(const FullResult& result) noexcept;

// Whether the file passes: no error, or no finding at all when every
// warning fails its file. Never fails.
bool passes(const FullResult& result, bool fail_on_warning) noexcept;

// The fingerprint of each finding of `order` (report_order of a record),
// in the same order, as the command's fingerprints are made: the SHA-256 of
// the scheme, the file's `name` (escaped), the rule, the module (escaped;
// "\x01" for none), the digest of the finding's line (line_digests; empty
// for a finding about the whole file) and its rank among the findings that
// share all of these, separated by NUL. Empty for a finding whose line the
// file no longer has. Takes the digests `result` holds when it is
// digested, else reads the file once (line_digests). Throws std::bad_alloc
// only. Thread-safe.
std::vector<std::string> fingerprints(const FullResult& result, const std::vector<const AuditFinding*>& order,
                                      std::string_view name);

// The file's part of the text report, each line ending with a line feed:
// "FAIL  <path>  (N errors, M warnings)" (or "ok    <path> ..."), then one
// line per finding in report order, "      <level>  [<rule>] <message>",
// messages as append_shown shows them. Throws std::bad_alloc only.
std::string text_block(const FullResult& result, bool fail_on_warning);

// Where a block goes, in order: each piece is valid only during the call.
// A sink may throw; the writing then stops and the exception propagates.
using BlockSink = std::function<void(std::string_view piece)>;

// The text blocks of consecutive files (text_block), handed to `sink`
// together in pieces of about a MiB: one call for many small files.
// Thread-safe.
void write_text_blocks(const std::vector<const FullResult*>& results, bool fail_on_warning, const BlockSink& sink);

// `lead` (the list's separator), then the file's object in the JSON report
// (json_block), handed to `sink` in pieces of about a MiB, so that its
// memory is one piece whatever the size of the names in it. Thread-safe.
void write_json_block(const FullResult& result, bool fail_on_warning, std::string_view name, std::string_view lead,
                      const BlockSink& sink);

// The objects of consecutive files of the JSON report, each after its
// separator ("[\n" before the first of the list when `first`, else ",\n"),
// named for fingerprints by `names` (as write_json_block), handed to `sink`
// together in pieces of about a MiB: one call for many small files, whose
// objects are made on one thread per core. When they name modules of
// megabytes, their fingerprints are made first, on one thread per core.
// Fails as run_in_parallel does, or as the sink.
// Thread-safe.
void write_json_blocks(const std::vector<const FullResult*>& results, const std::vector<std::string>& names,
                       bool fail_on_warning, bool first, const BlockSink& sink);

// The file's object in the JSON report, as json.dumps(indent=2) writes it
// four spaces in, with no line feed after it: filepath, passed, errors and
// warnings (the messages), and the findings, each with its fingerprint
// (fingerprints, with `name`). Reads the file back once for the
// fingerprints. Throws std::bad_alloc only. Thread-safe.
std::string json_block(const FullResult& result, bool fail_on_warning, std::string_view name);

}  // namespace scanner_core
