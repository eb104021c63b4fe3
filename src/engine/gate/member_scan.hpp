// The full verdict on a source its caller hands over piece by piece: an
// archive's member, inflated by the archive's reader and never written
// anywhere. It gives exactly what FullScanner::scan_file gives for a file
// holding the same bytes at the same path (the same stages, fed the same
// pieces), but the digests of finding lines the scan did not hold as the
// bytes passed, which cannot be read back: such a line has none.
#pragma once

#include <mutex>
#include <string>
#include <string_view>
#include <unordered_set>

#include "gate/full_scan.hpp"
#include "gate/source_verdict.hpp"
#include "reading/fed_pieces.hpp"
#include "scan/scan_worker.hpp"

namespace scanner_core {

class MemberScan {
public:
    // The verdict on the source named `filepath` (how its findings name
    // it), as FullScanner::scan_file describes `audit`, `depth` and
    // `digests`. `scanner` must outlive the scan. Throws std::bad_alloc only.
    MemberScan(const FullScanner& scanner, std::string filepath, std::unordered_set<std::string> local_modules,
               bool audit, int depth, bool digests);
    MemberScan(const MemberScan&) = delete;
    MemberScan& operator=(const MemberScan&) = delete;

    // Takes the next bytes of the source, in any size. Calls from several
    // threads are taken one at a time. Throws std::logic_error after
    // finish, std::bad_alloc.
    void feed(std::string_view bytes);

    // The source has ended: returns its record. Throws std::logic_error
    // when called again, std::bad_alloc.
    FullResult finish();

private:
    const std::unordered_set<std::string> local_modules_;
    ScanWorker worker_;
    SourceVerdict verdict_;
    FedPieces pieces_;
    std::mutex mutex_;  // the pieces of one source are taken one after the other
};

}  // namespace scanner_core
