// Where a file's findings stand, and what the policy's precision makes of
// them: imports only type checkers see (`if TYPE_CHECKING:`) judged as the
// policy says, and a forbidden module whose every use is an allowed
// attribute (`os.path`, `os.environ`) no longer failing its file. Read from
// a second reading of a file that has findings, every token of it this
// time (audit/finding_context.hpp); a file without findings is read once.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "gate/full_scan.hpp"

namespace scanner_core {

// The words of each context flag (FindingContext::Flag), comma-separated,
// outermost first; "module" where none; "" when not known. Never fails
// but std::bad_alloc.
std::string context_words(std::uint8_t context);

// Whether `result` (of the file at its path, on disk) needs its second
// reading under `scanner`'s precision: it has findings on lines, or the
// precision must see whether it changes TYPE_CHECKING (`mentions_tc`: the
// bytes hold the word). Never fails.
bool needs_places(const FullResult& result, const FullScanner& scanner, bool mentions_tc) noexcept;

// Reads the file at result.scan.filepath again and gives each finding its
// context, then applies the scanner's precision. `mentions_tc`: the file
// holds the word TYPE_CHECKING (without it, no block can be type checkers'
// only, and its strings need not be read). A file that cannot be read
// again keeps its findings as they are, with no context. `bytes`: the
// whole source as the scan read it, read instead of the file when given
// (a small one, or a member, which has no file). Throws std::bad_alloc
// only. Thread-safe.
void place_findings(FullResult& result, const FullScanner& scanner, bool mentions_tc,
                    const std::string* bytes = nullptr);

}  // namespace scanner_core
