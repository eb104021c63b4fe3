#include "gate/source_verdict.hpp"

#include <algorithm>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "audit/source_audit.hpp"
#include "gate/finding_places.hpp"
#include "gate/line_digest.hpp"
#include "gate/line_records.hpp"
#include "line_scan/line_scan.hpp"
#include "line_scan/scan_messages.hpp"
#include "reading/name_loan.hpp"
#include "reading/source_file.hpp"

namespace scanner_core {
namespace {

// The lines of the findings the line scan and the audit have made so far,
// for the digester that follows them: each list only grows while the file
// is read (the audit's empties once, when it is refused). While the audit
// reads the file, a record of the line scan can stand only on a line where
// the audit found an import, whose line it gives: the lines of the records
// are given only once they all stand (no audit, or one refused or
// deferred), so that digests follow the findings, not the records that the
// audit will drop.
class FindingsSoFar final : public FindingLines {
public:
    explicit FindingsSoFar(LineRecords& scanned) noexcept : scanned_(scanned) {}
    // Follows the audit's findings too. Never fails.
    void follow(SourceAudit* audit) noexcept { audit_ = audit; }

    void made_since(std::vector<std::int64_t>& out) override {
        if (audit_ == nullptr || audit_->refused() || !audit_->deferred_encoding().empty()) {
            scanned_.lines_since(out);
        }
        if (audit_ == nullptr) return;
        const std::vector<AuditedImport>& kept = audit_->imports();
        audited_seen_ = std::min(audited_seen_, kept.size());
        for (; audited_seen_ < kept.size(); ++audited_seen_) out.push_back(kept[audited_seen_].line);
        if (audit_->refused() && !refusal_seen_) {
            out.push_back(audit_->refusal_line());
            refusal_seen_ = true;
        }
    }

private:
    LineRecords& scanned_;
    SourceAudit* audit_ = nullptr;
    std::size_t audited_seen_ = 0;
    bool refusal_seen_ = false;
};

// Gives `result` the digests of its finding lines: those `held` (made as
// the source was read) and, when `read_back`, the few the scan did not
// hold, read back now from the file. The held digests of its local
// imports' lines are kept too: a module no file provides is a finding the
// command adds there (add_findings), which then reads nothing back.
void keep_line_digests(FullResult& result, const std::vector<LineDigest>& held, bool read_back) {
    std::vector<std::int64_t> lines = finding_lines(result);
    if (!result.local_imports.empty()) {
        const auto is_held = [&](std::int64_t line) {
            const auto at = std::lower_bound(held.begin(), held.end(), line,
                                             [](const LineDigest& digest, std::int64_t wanted) { return digest.line < wanted; });
            return at != held.end() && at->line == line;
        };
        for (const LocalImport& found : result.local_imports) {
            if (is_held(found.line)) lines.push_back(found.line);
        }
        std::sort(lines.begin(), lines.end());
        lines.erase(std::unique(lines.begin(), lines.end()), lines.end());
    }
    std::vector<LineDigest> kept;
    kept.reserve(lines.size());
    std::vector<std::int64_t> missing;
    auto at = held.begin();
    for (const std::int64_t line : lines) {
        while (at != held.end() && at->line < line) ++at;
        if (at != held.end() && at->line == line) {
            kept.push_back(*at);
        } else {
            missing.push_back(line);
        }
    }
    if (!missing.empty() && read_back) {
        const std::vector<LineDigest> read = line_digests(result.scan.filepath, missing);
        kept.insert(kept.end(), read.begin(), read.end());
        std::sort(kept.begin(), kept.end(), [](const LineDigest& a, const LineDigest& b) { return a.line < b.line; });
    }
    result.line_digests = std::move(kept);
    result.digested = true;
}

// About what a file's findings take on the heap, for the worker's
// HeapReserve; a string of a megabyte or more has a mapping of its own and
// counts for nothing.
std::size_t heap_bytes(const std::vector<AuditFinding>& findings) {
    constexpr std::size_t kMapped = 1024 * 1024;
    std::size_t bytes = findings.capacity() * sizeof(AuditFinding);
    for (const AuditFinding& record : findings) {
        for (const std::string* text : {&record.module, &record.message}) {
            if (text->size() < kMapped) bytes += text->size() + 16;
        }
    }
    return bytes;
}

// What the judgement leaves silent is dropped as the audit finds it. The
// verdict comes through the worker's memo, which the line scan fills too:
// a module both read is judged once.
class PolicyFilter final : public ImportFilter {
public:
    PolicyFilter(const FullScanner& scanner, const std::unordered_set<std::string>& local_modules, int depth,
                 VerdictMemo& memo, VerdictMemo& follows) noexcept
        : keeps_local_(scanner.keeps_local()),
          classifier_(scanner.classifier()),
          holdings_(scanner.holdings()),
          reaching_(scanner.reaching()),
          local_modules_(local_modules),
          depth_(depth),
          memo_(memo),
          follows_(follows) {}
    bool judged(std::string_view module) const override {
        return classifier_.judge(module, local_modules_, memo_) != ImportVerdict::silent;
    }
    bool above_root(std::uint64_t level) const noexcept override { return climbs_above_root(level, depth_); }
    bool reaches_forbidden(std::string_view module) const override {
        return reaching_.reaches(module) && !own_module(module, local_modules_);
    }
    bool forbids(std::string_view module) const override { return forbidden_module(classifier_, module); }
    bool own(std::string_view module) const override { return own_module(module, local_modules_); }
    const HoldingTable& holdings() const noexcept override { return holdings_; }
    bool keeps_local() const noexcept override { return keeps_local_; }
    // In a memo of the thread's own, which the same policy and local modules bind.
    int follows_remembered(std::string_view module) const noexcept override {
        follows_.bind(&classifier_, &local_modules_);
        return follows_.find_follows(module, VerdictMemo::hash(module));
    }
    void remember_follows(std::string_view module, bool follows) const override {
        follows_.remember_follows(module, VerdictMemo::hash(module), follows);
    }

private:
    const bool keeps_local_ = false;
    const ImportClassifier& classifier_;
    const HoldingTable& holdings_;
    const ReachingModules& reaching_;
    const std::unordered_set<std::string>& local_modules_;
    const int depth_;
    VerdictMemo& memo_;
    VerdictMemo& follows_;
};

}  // namespace

// Whether the word TYPE_CHECKING appears in the bytes, pieces joined: a
// file that may change it is read for its tokens where the policy relies
// on it, even without findings.
class TypeCheckingSeen final : public ScanStage {
public:
    void feed(std::string_view piece) override {
        if (seen || piece.empty()) return;
        // The word may straddle two pieces: the tail of the last is kept.
        std::string_view text = piece;
        if (!tail_.empty()) {
            joined_.assign(tail_);
            joined_.append(piece.substr(0, std::min(piece.size(), kWord.size())));
            if (joined_.find(kWord) != std::string::npos) seen = true;
        }
        if (!seen && text.find(kWord) != std::string_view::npos) seen = true;
        const std::size_t keep = std::min(text.size(), kWord.size() - 1);
        tail_.assign(text.substr(text.size() - keep));
    }
    void finish() override {}
    bool seen = false;

private:
    static constexpr std::string_view kWord = "TYPE_CHECKING";
    std::string tail_;
    std::string joined_;
};

// Whether `module` lies below a dotted entry of the plugin's own modules
// (`sphinxcontrib.mermaid` owns `sphinxcontrib.mermaid.render`, not
// `sphinxcontrib.other`): the line scan looks up a root and a whole name
// only. Throws std::bad_alloc only.
bool owned_below(std::string_view module, const std::unordered_set<std::string>& local_modules) {
    std::string prefix;
    for (std::size_t dot = module.find('.'); dot != std::string_view::npos; dot = module.find('.', dot + 1)) {
        prefix.assign(module.substr(0, dot));
        if (prefix.find('.') != std::string::npos && local_modules.count(prefix) != 0) return true;
    }
    return false;
}

// Drops the import findings of modules a dotted local entry owns.
void drop_owned(std::vector<AuditFinding>& findings, const std::unordered_set<std::string>& local_modules) {
    findings.erase(std::remove_if(findings.begin(), findings.end(),
                                  [&](const AuditFinding& finding) {
                                      switch (finding.rule) {
                                          case AuditRule::forbidden_import:
                                          case AuditRule::unlisted_import:
                                          case AuditRule::hidden_forbidden_import:
                                          case AuditRule::hidden_unlisted_import:
                                              return owned_below(finding.module_view(), local_modules);
                                          default: return false;
                                      }
                                  }),
                   findings.end());
}

// The bytes of a small source, kept as they pass, for the second reading
// of a file with findings (finding_places.hpp): read from memory, not
// opened again, and possible for a member, which cannot be. A source
// larger than the bound keeps nothing.
class SmallSource final : public ScanStage {
public:
    static constexpr std::size_t kMost = std::size_t{64} << 10;
    void feed(std::string_view piece) override {
        if (over_) return;
        if (bytes_.size() + piece.size() > kMost) {
            over_ = true;
            std::string().swap(bytes_);
            return;
        }
        bytes_.append(piece);
    }
    void finish() override {}
    // The whole source, or null when it was larger than the bound.
    const std::string* bytes() const noexcept { return over_ ? nullptr : &bytes_; }

private:
    std::string bytes_;
    bool over_ = false;
};

// Whether a backslash ends a line anywhere in the bytes (a continuation):
// without one, a statement that begins a line at its first column stands
// at the module's top level, whatever the blocks around it.
class ContinuationSeen final : public ScanStage {
public:
    void feed(std::string_view piece) override {
        if (seen || piece.empty()) return;
        if (after_backslash_ && (piece.front() == '\n' || piece.front() == '\r')) seen = true;
        for (std::size_t at = piece.find('\\'); at != std::string_view::npos && !seen; at = piece.find('\\', at + 1)) {
            if (at + 1 < piece.size() && (piece[at + 1] == '\n' || piece[at + 1] == '\r')) seen = true;
        }
        after_backslash_ = piece.back() == '\\';
    }
    void finish() override {}
    bool seen = false;

private:
    bool after_backslash_ = false;
};

// Whether every finding with a line is one of the line scan's, confirmed
// by the audit, at its line's first column: a statement that begins its
// logical line there, at the module's top level where no backslash
// continues a line (`continued`). Never fails.
bool all_at_top_level(const FullResult& result, bool continued) noexcept {
    if (continued) return false;
    for (const AuditFinding& finding : result.findings) {
        if (finding.line > 0) return false;
    }
    for (const AuditFinding& finding : result.scan_findings) {
        if (finding.line > 0 && finding.column != 1) return false;
    }
    return true;
}

struct SourceVerdict::Stages {
    Stages(const FullScanner& scanner, std::string filepath, const std::unordered_set<std::string>& local_modules,
           ScanWorker& worker, bool audit, int depth, bool digests, bool read_back)
        : scanner(scanner),
          local_modules(local_modules),
          worker(worker),
          depth(depth),
          digests(digests),
          read_back(read_back),
          path(std::move(filepath)),
          records(path),
          line_scan(scanner.classifier(), local_modules, worker.verdicts, records),
          filter(scanner, local_modules, depth, worker.verdicts, worker.follows),
          made(records),
          digester(made, ReadBuffer::size()) {
        if (audit) {
            stage.emplace(true, &filter);
            line_scan.lend_to(&loan);
            stage->borrow_from(&loan);
            made.follow(&*stage);
        }
        // The line scan first: a long name it gathers is lent to the audit,
        // which reads the same bytes next, and is held once. Whichever judges a
        // name first leaves its verdict in the memo for the other. The digester
        // comes last, to hash the lines of the findings both have made.
        order.push_back(&line_scan);
        if (stage) order.push_back(&*stage);
        if (digests) order.push_back(&digester);
        if (audit) {
            order.push_back(&type_checking);
            order.push_back(&continuation);
            order.push_back(&small);
        }
    }

    const FullScanner& scanner;
    const std::unordered_set<std::string>& local_modules;
    ScanWorker& worker;
    const int depth;
    const bool digests;
    const bool read_back;
    const std::string path;
    LineRecords records;
    NameLoan loan;
    LineScan line_scan;
    const PolicyFilter filter;
    std::optional<SourceAudit> stage;
    FindingsSoFar made;
    LineDigester digester;
    TypeCheckingSeen type_checking;
    SmallSource small;
    ContinuationSeen continuation;
    std::vector<ScanStage*> order;
};

SourceVerdict::SourceVerdict(const FullScanner& scanner, std::string filepath,
                             const std::unordered_set<std::string>& local_modules, ScanWorker& worker, bool audit,
                             int depth, bool digests, bool read_back)
    : stages_(std::make_unique<Stages>(scanner, std::move(filepath), local_modules, worker, audit, depth, digests,
                                       read_back)) {}

SourceVerdict::~SourceVerdict() = default;

bool SourceVerdict::classified() const noexcept { return stages_->stage.has_value(); }

void SourceVerdict::feed(std::string_view piece) {
    for (ScanStage* stage : stages_->order) stage->feed(piece);
}

void SourceVerdict::feed_classified(const ClassifiedPiece& piece) {
    for (ScanStage* stage : stages_->order) stage->feed_classified(piece);
}

void SourceVerdict::finish() {
    for (ScanStage* stage : stages_->order) stage->finish();
}

FullResult SourceVerdict::unopened() {
    Stages& s = *stages_;
    FullResult result;
    result.scan.filepath = s.path;
    // Not read: the scan's error says so, and there is nothing to audit.
    result.scan_findings.push_back({AuditRule::unreadable_file, 0, {}, s.path + std::string(kOpenFailure), 0});
    result.scan.passed = result.passed = false;
    result.digested = s.digests;  // about the whole file: no line to digest
    return result;
}

FullResult SourceVerdict::result() {
    Stages& s = *stages_;
    FullResult result;
    result.scan.filepath = s.path;
    const std::string& filepath = result.scan.filepath;
    bool audited = false;  // read to its end by the audit, which judged it
    if (s.stage) {
        SourceAudit& stage = *s.stage;
        audited = stage.deferred_encoding().empty() && !stage.refused();
        if (!stage.deferred_encoding().empty()) {
            result.deferred_encoding = stage.deferred_encoding();
        } else if (!stage.refused()) {
            // Before the pairing, which takes out what the records report.
            if (s.scanner.keeps_local()) result.local_imports = local_imports(stage.imports(), s.filter);
            s.records.pair_with(stage.imports());
        }
        // What the records report is already out of the audit's imports.
        result.findings = s.scanner.judge(stage, filepath, {}, s.local_modules, s.depth, &s.worker.verdicts);
        s.stage.reset();  // with what it shares of the lent names
        s.loan.clear();
    }
    s.records.make_findings(result.scan_findings);
    if (std::any_of(s.local_modules.begin(), s.local_modules.end(),
                    [](const std::string& entry) { return entry.find('.') != std::string::npos; })) {
        drop_owned(result.scan_findings, s.local_modules);
        drop_owned(result.findings, s.local_modules);
    }
    // A file on disk with findings is read again for where they stand.
    const bool mentions_tc = s.type_checking.seen;
    const std::string* held = s.small.bytes();
    const bool tc_watched = mentions_tc && s.scanner.precision().type_checking != TypeChecking::error;
    if (audited && !tc_watched && s.scanner.precision().allowed_attributes.empty() &&
        all_at_top_level(result, s.continuation.seen)) {
        // Nothing to read again: each stands at the top level.
        for (AuditFinding& finding : result.scan_findings) {
            if (finding.line > 0) finding.context = kContextKnown;
        }
    } else if (audited && (s.read_back || held != nullptr) && needs_places(result, s.scanner, tc_watched)) {
        place_findings(result, s.scanner, mentions_tc, held);
    }
    for (const std::vector<AuditFinding>* made : {&result.scan_findings, &result.findings}) {
        for (const AuditFinding& record : *made) {
            if (is_error(record.rule)) result.passed = false;
        }
    }
    result.scan.passed = std::none_of(result.scan_findings.begin(), result.scan_findings.end(),
                                      [](const AuditFinding& record) { return is_error(record.rule); });
    if (s.digests) keep_line_digests(result, s.digester.digests(), s.read_back);
    s.worker.heap.produced(heap_bytes(result.scan_findings) + heap_bytes(result.findings) + filepath.size() + 16 +
                           result.line_digests.capacity() * sizeof(LineDigest));
    return result;
}

}  // namespace scanner_core
