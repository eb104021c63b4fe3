// The line scan as a stage of a file scan: it finds each line's import
// statement (ImportExtractor), has the policy judge it once, and hands
// every import the policy does not leave silent to a sink as a record.
// What the records become (scanner_core's messages, the full verdict's
// findings) is the sink's business; nothing reads a message back.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_set>

#include "policy/import_classifier.hpp"
#include "line_scan/import_extraction.hpp"
#include "reading/scan_stage.hpp"
#include "policy/verdict_memo.hpp"

namespace scanner_core {

// One finding of the line scan: at most one a line, handed over in line order.
struct LineFinding {
    ImportVerdict verdict = ImportVerdict::forbidden;  // forbidden (an error) or unlisted (a warning)
    std::int64_t line = 0;                             // 1-based
    std::int64_t column = 0;                           // as FoundImport::column
    std::string_view module;                           // lasts for the call only
    // The name's own string when it was gathered across pieces (a sink may
    // move it away), or null.
    std::string* gathered = nullptr;
    // The name as lent to the audit (see name_loan.hpp), which `module`
    // views, or null: a sink may share it, not move it.
    const std::shared_ptr<std::string>* lent = nullptr;
    // The bytes before the name in *gathered that the sink asked for
    // (LineFindingSink::room_before), free for it to write in.
    std::size_t room = 0;
};

// What the line scan hands its findings to.
class LineFindingSink {
public:
    virtual ~LineFindingSink() = default;
    // May throw; the exception leaves the stage's feed or finish.
    virtual void found(const LineFinding& finding) = 0;
    // Asked once for a long name still being gathered, once its
    // first bytes settle the verdict it will be handed over with: how many
    // bytes to leave free before it (LineFinding::room). None unless
    // overridden. May throw std::bad_alloc.
    virtual std::size_t room_before(ImportVerdict /*verdict*/, std::int64_t /*line*/) { return 0; }
};

class LineScan final : public ScanStage, private ImportSink {
public:
    // All four must outlive the stage; `memo` is the calling thread's. Never fails.
    LineScan(const ImportClassifier& policy, const std::unordered_set<std::string>& local_modules, VerdictMemo& memo,
             LineFindingSink& out) noexcept
        : policy_(policy), local_modules_(local_modules), memo_(memo), out_(out) {}

    // Throw std::bad_alloc, or what the sink throws.
    void feed(std::string_view piece) override { extractor_.feed(piece, *this); }
    void feed_classified(const ClassifiedPiece& piece) override {
        extractor_.feed(piece.text, *this, piece.lines != nullptr ? &piece : nullptr);
    }
    void finish() override { extractor_.finish(*this); }

    // Lends the long names it gathers to `loan` (see ImportExtractor::lend_to).
    void lend_to(NameLoan* loan) noexcept { extractor_.lend_to(loan); }
    // Keeps the room of long names no sink took in `spare` (see ImportExtractor::keep_spare).
    void keep_spare(std::string* spare) noexcept { extractor_.keep_spare(spare); }

private:
    // Relative and empty names are no finding; the others are judged here,
    // the one place the line scan judges a name.
    void found(const FoundImport& import) override;
    // The sink's room for a long name whose verdict its first bytes settle,
    // or only those bytes when they settle that it makes no finding.
    std::size_t room_before(std::string_view start, std::int64_t line, bool is_from, bool is_relative) override;

    const ImportClassifier& policy_;
    const std::unordered_set<std::string>& local_modules_;
    VerdictMemo& memo_;
    LineFindingSink& out_;
    ImportExtractor extractor_;
};

}  // namespace scanner_core
