// A source whose bytes a caller hands over (an archive's member, inflated
// by its reader) rather than one read from a file: the bytes, in whatever
// sizes they come, go on to the stages of a file scan in full pieces of a
// read's size, the last one shorter, exactly as a file's read gives them,
// each piece's blocks classified once when a classifier is given. The
// stages see no difference between the two.
#pragma once

#include <cstddef>
#include <string_view>

#include "reading/classified_piece.hpp"
#include "reading/scan_stage.hpp"
#include "reading/source_file.hpp"

namespace scanner_core {

class FedPieces {
public:
    // `stage` (and `classifier`, the calling thread's, when not null) must
    // outlive this. Throws std::bad_alloc only.
    FedPieces(ScanStage& stage, PieceClassifier* classifier) : stage_(stage), classifier_(classifier) {}
    FedPieces(const FedPieces&) = delete;
    FedPieces& operator=(const FedPieces&) = delete;

    // Takes the next bytes of the source, which last for the call only.
    // Throws what the stage throws, std::logic_error after finish.
    void feed(std::string_view bytes);

    // The source has ended: hands over the last piece and finishes the
    // stage. Throws what the stage throws, std::logic_error when called again.
    void finish();

private:
    void hand_over(std::string_view piece);

    ScanStage& stage_;
    PieceClassifier* const classifier_;
    ReadBuffer buffer_;
    std::size_t held_ = 0;  // bytes of buffer_ not handed over yet
    bool finished_ = false;
};

}  // namespace scanner_core
