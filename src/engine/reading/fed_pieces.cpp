#include "reading/fed_pieces.hpp"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace scanner_core {

void FedPieces::hand_over(std::string_view piece) {
    if (classifier_ != nullptr) {
        stage_.feed_classified(classifier_->classify(piece));
    } else {
        stage_.feed(piece);
    }
}

void FedPieces::feed(std::string_view bytes) {
    if (finished_) throw std::logic_error("FedPieces: feed after finish");
    while (!bytes.empty()) {
        // A full piece that comes whole is handed over where it lies.
        if (held_ == 0 && bytes.size() >= ReadBuffer::size()) {
            hand_over(bytes.substr(0, ReadBuffer::size()));
            bytes.remove_prefix(ReadBuffer::size());
            continue;
        }
        const std::size_t taken = std::min(bytes.size(), ReadBuffer::size() - held_);
        std::memcpy(buffer_.data() + held_, bytes.data(), taken);
        held_ += taken;
        bytes.remove_prefix(taken);
        if (held_ == ReadBuffer::size()) {
            held_ = 0;
            hand_over(std::string_view(buffer_.data(), ReadBuffer::size()));
        }
    }
}

void FedPieces::finish() {
    if (finished_) throw std::logic_error("FedPieces: finished twice");
    finished_ = true;
    if (held_ != 0) hand_over(std::string_view(buffer_.data(), held_));
    held_ = 0;
    stage_.finish();
}

}  // namespace scanner_core
