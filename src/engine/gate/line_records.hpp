// The line scan's records in the full verdict, held as the file is read and
// made into findings only once the audit has said which of them stand: a
// record on text inside a string or a comment is dropped, so the memory a
// file costs must follow the findings it keeps, not its lines. Records are
// held in runs of consecutive lines with the same column: one entry for a
// run whose records name the same module with the same verdict, whatever
// their count, else four bytes a record more; a short module is held once
// however many records name it, and no message is written until a record
// stands. A string of a million `import os` lines costs one run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "audit/found_imports.hpp"
#include "gate/full_scan.hpp"
#include "line_scan/line_scan.hpp"

namespace scanner_core {

class LineRecords final : public LineFindingSink {
public:
    // `path` must outlive the records. Never fails.
    explicit LineRecords(const std::string& path) noexcept : path_(path) {}

    // Takes the line scan's next record (in line order). Throws std::bad_alloc only.
    void found(const LineFinding& finding) override;

    // Appends the lines of the records taken since the last call. Throws std::bad_alloc only.
    void lines_since(std::vector<std::int64_t>& out);

    // The exact verdict: a record stands when the audit read an import
    // statement of its module on its line, or of a module below it (`import
    // a . b` imports a too, where the line scan stops at the blank); the
    // others stand on text inside a string or a comment and are dropped. An
    // import of the audit that a standing record reports (the same module on
    // the same line) is dropped from `imports` too: its verdict is the one
    // the record holds. Any other import is kept. Each import is looked up
    // once among the runs. Throws std::bad_alloc only.
    void pair_with(std::vector<AuditedImport>& imports);

    // Appends to `out` the findings of the records that stand (all of them
    // unless pair_with was called), in line order, and lets go of the
    // records. Throws std::bad_alloc only.
    void make_findings(std::vector<AuditFinding>& out);

private:
    struct Module {
        const std::string* shared = nullptr;  // a short name, held once in short_names_
        std::string own;                      // a long name gathered by the line scan
        std::shared_ptr<std::string> lent;    // a long name lent to the audit
        std::string_view name() const noexcept {
            return shared != nullptr ? std::string_view(*shared) : lent ? std::string_view(*lent) : own;
        }
    };
    // A record's module and verdict in one word: the module's index times
    // two, plus one for a forbidden import (an error), else unlisted.
    using Said = std::uint32_t;
    static constexpr std::size_t kUniform = static_cast<std::size_t>(-1);
    struct Run {
        std::int64_t line;    // of the first record
        std::int64_t count;   // records, one a line from `line` on
        std::int64_t column;
        Said said;            // of every record of a uniform run; of the first of a mixed one
        std::size_t mixed;    // kUniform, or where the records' words start in said_
    };

    std::uint32_t module_of(const LineFinding& finding);
    // What the `k`-th record of `run` says. Never fails.
    Said said(const Run& run, std::int64_t k) const noexcept {
        return run.mixed == kUniform ? run.said : said_[run.mixed + static_cast<std::size_t>(k)];
    }
    // The run that holds a record on `line`, or runs_.size().
    std::size_t run_at(std::int64_t line) const noexcept;

    const std::string& path_;
    std::vector<Run> runs_;
    std::vector<Said> said_;  // the words of the records of mixed runs
    std::deque<Module> modules_;
    std::unordered_map<std::string, std::uint32_t> short_names_;
    // After pair_with: the (run, line) of each record that stands, sorted.
    std::vector<std::pair<std::size_t, std::int64_t>> standing_;
    bool paired_ = false;
    std::size_t seen_run_ = 0;          // lines_since: the run it is in
    std::int64_t seen_in_run_ = 0;      // and how many of its lines it gave
};

}  // namespace scanner_core
