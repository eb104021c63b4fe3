// The full verdict on one source as its pieces pass: the line scan, the
// audit and the digester as the stages of one file scan, fed as one stage,
// and the record they make once the source has ended. A file on disk and a
// member of an archive (fed by its reader) are judged by the same stages in
// the same order, so the same bytes at the same path give the same record.
#pragma once

#include <memory>
#include <string>
#include <unordered_set>

#include "gate/full_scan.hpp"
#include "reading/scan_stage.hpp"
#include "scan/scan_worker.hpp"

namespace scanner_core {

class SourceVerdict final : public ScanStage {
public:
    // The verdict on the source at `filepath`, judged by `scanner` with the
    // calling thread's `worker` (both must outlive it), as
    // FullScanner::scan_file describes `audit`, `depth` and `digests`.
    // `read_back`: whether the lines the digester could not hold may be
    // read back from `filepath` (a file on disk), or get no digest (a
    // member). Throws std::bad_alloc only.
    SourceVerdict(const FullScanner& scanner, std::string filepath,
                  const std::unordered_set<std::string>& local_modules, ScanWorker& worker, bool audit, int depth,
                  bool digests, bool read_back);
    ~SourceVerdict() override;
    SourceVerdict(const SourceVerdict&) = delete;
    SourceVerdict& operator=(const SourceVerdict&) = delete;

    // Whether the stages take a piece's blocks classified (the audit's do).
    bool classified() const noexcept;

    // Throw std::bad_alloc, or what a stage throws.
    void feed(std::string_view piece) override;
    void feed_classified(const ClassifiedPiece& piece) override;
    void finish() override;

    // After finish: the record, as FullScanner::scan_file gives it. Call
    // once. Throws std::bad_alloc only.
    FullResult result();
    // Instead of feeding: the source could not be opened, and its record
    // says so. Throws std::bad_alloc only.
    FullResult unopened();

private:
    struct Stages;  // the stages and what they share, held apart from this header
    std::unique_ptr<Stages> stages_;
};

}  // namespace scanner_core
