// A stage of a file scan: a recogniser fed the pieces of one file in the
// order read, the same pieces every other stage of the scan gets (see
// file_scan.hpp), so that one read of a file serves every recogniser. The
// line scan is one stage, the audit another.
#pragma once

#include <string_view>

#include "reading/classified_piece.hpp"

namespace scanner_core {

class ScanStage {
public:
    virtual ~ScanStage() = default;

    // Takes the next piece of the file, which lasts for the call only. May
    // throw; the exception leaves the file scan and the stage is not finished.
    virtual void feed(std::string_view piece) = 0;

    // Takes the next piece with its blocks classified, which a stage that
    // reads blocks takes instead of classifying them again; the others
    // take the text alone. May throw, as feed.
    virtual void feed_classified(const ClassifiedPiece& piece) { feed(piece.text); }

    // The file has ended; no piece follows. May throw, as feed.
    virtual void finish() = 0;
};

}  // namespace scanner_core
