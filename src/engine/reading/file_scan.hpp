// A file scan: the one read of a source file, each piece handed to every
// stage in turn (the line scan, the audit), so that the stages share the
// read and none of them reads or opens anything itself.
#pragma once

#include <initializer_list>

#include "reading/classified_piece.hpp"
#include "reading/scan_stage.hpp"
#include "reading/source_file.hpp"

namespace scanner_core {

// Opens the file at `where` as `mode` says through `reader` and feeds it,
// piece by piece through the reader's buffer, to each of `stages` in the
// order given, then finishes them in that order; with a `classifier` (the
// calling thread's), each piece's blocks are classified once and every
// stage gets them. Returns false, having fed and finished none, when the
// file cannot be opened (a FIFO's open waits for its writer under
// OpenMode::any). Throws std::ios_base::failure when a read fails after the
// open (a directory, an I/O error), std::bad_alloc, or what a stage
// throws; the stages are left unfinished then. Not thread-safe as to
// `reader`, which is the calling thread's.
bool scan_pieces(const SourceLocation& where, OpenMode mode, SourceReader& reader,
                 std::initializer_list<ScanStage*> stages, PieceClassifier* classifier = nullptr);

}  // namespace scanner_core
