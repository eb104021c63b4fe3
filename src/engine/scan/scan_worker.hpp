// What one thread of a scan carries from one file to the next: its reader,
// its memo of verdicts, the line scan's scratch and the masks of a piece's
// blocks, so that a file costs no allocation beyond what its record holds. Not shared: one per thread, for
// the length of one scan call.
#pragma once

#include <string>
#include <vector>

#include "reading/classified_piece.hpp"
#include "memory/heap_reserve.hpp"
#include "reading/source_file.hpp"
#include "policy/verdict_memo.hpp"

namespace scanner_core {

struct ScanWorker {
    SourceReader reader;
    VerdictMemo verdicts;
    VerdictMemo follows;  // whether the audit follows a name (VerdictMemo::find_follows), apart from the verdicts
    // A file's messages as they come; its record gets them at their final
    // size, in one allocation per list.
    std::vector<std::string> errors;
    std::vector<std::string> warnings;
    HeapReserve heap;  // grown ahead of the records this thread makes
    PieceClassifier blocks;  // for scans whose stages share a piece's blocks
    // The room of a long name that a line left unreported, for the next
    // long name this thread gathers (see ImportExtractor::keep_spare).
    std::string spare_name;
};

}  // namespace scanner_core
