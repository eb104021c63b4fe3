#include "reading/file_scan.hpp"

#include <optional>
#include <string_view>

namespace scanner_core {

bool scan_pieces(const SourceLocation& where, OpenMode mode, SourceReader& reader,
                 std::initializer_list<ScanStage*> stages, PieceClassifier* classifier) {
    std::optional<SourceFile> file = reader.open(where, mode);
    if (!file) return false;
    for (;;) {
        const std::string_view piece = file->read(reader.buffer());
        if (piece.empty()) break;
        if (classifier != nullptr) {
            const ClassifiedPiece classified = classifier->classify(piece);
            for (ScanStage* stage : stages) stage->feed_classified(classified);
            continue;
        }
        for (ScanStage* stage : stages) stage->feed(piece);
    }
    for (ScanStage* stage : stages) stage->finish();
    return true;
}

}  // namespace scanner_core
