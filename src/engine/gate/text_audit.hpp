// The audit of a source in a codec that only Python decodes: the caller
// decodes the file as Python's reader does (line breaks made line feeds,
// then the codec) and feeds the text, as UTF-8, piece by piece. It is read
// by the same reader as a file's audit and judged by the same rules,
// policy and messages; its lines are those of the decoded text, which are
// the lines Python reports for the file.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "audit/found_imports.hpp"
#include "gate/full_scan.hpp"
#include "audit/source_audit.hpp"
#include "policy/verdict_memo.hpp"

namespace scanner_core {

class TextAudit final : private ImportFilter {
public:
    // `scanner` must outlive the audit; `depth` as for FullScanner::scan_file.
    // Throws std::bad_alloc only.
    TextAudit(const FullScanner& scanner, std::string filepath, std::unordered_set<std::string> local_modules,
              int depth);
    TextAudit(const TextAudit&) = delete;
    TextAudit& operator=(const TextAudit&) = delete;

    // Reads the next piece of the decoded text (UTF-8; invalid UTF-8 fails
    // the file as Python's reader would); after refuse, ignores it. Throws
    // std::logic_error after finish, std::bad_alloc. Calls from several
    // threads are taken one at a time, in the order they get the audit.
    void feed(std::string_view utf8);

    // The file cannot be decoded (Python's `reason`, such as its codec's
    // error): it fails with that reason, and what follows is not read.
    // Throws std::bad_alloc only.
    void refuse(std::string reason);

    // Ends the text and returns the findings, as FullScanner::judge gives
    // them. `reported`: the (line, module) pairs the line scan reported for
    // the file, with their lines in the decoded text; the audit's import of
    // the same module on the same line is not reported again. Throws
    // std::logic_error when called again, std::bad_alloc.
    std::vector<AuditFinding> finish(const std::vector<std::pair<std::int64_t, std::string>>& reported);

private:
    bool judged(std::string_view module) const override;
    bool reaches_forbidden(std::string_view module) const override;
    bool forbids(std::string_view module) const override;
    bool own(std::string_view module) const override;
    const HoldingTable& holdings() const noexcept override;
    bool above_root(std::uint64_t level) const noexcept override { return climbs_above_root(level, depth_); }
    bool keeps_local() const noexcept override { return scanner_.keeps_local(); }

public:
    // After finish: the text's local imports (FullResult::local_imports),
    // when the scanner keeps them and the text was read to its end. Never fails.
    const std::vector<LocalImport>& local_imports() const noexcept { return local_imports_; }

private:
    std::vector<LocalImport> local_imports_;

    const FullScanner& scanner_;
    const std::string filepath_;
    const std::unordered_set<std::string> local_modules_;
    const int depth_;
    // The verdicts reached on this text's names; judged under mutex_.
    mutable VerdictMemo memo_;
    SourceAudit stage_;
    std::mutex mutex_;  // the pieces of one text are read one after the other
    bool refused_ = false;
    bool finished_ = false;
};

}  // namespace scanner_core
