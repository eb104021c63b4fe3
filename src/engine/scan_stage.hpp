// A recogniser that reads a file beside the line scan: fed the same pieces
// in the same pass, so that one read of a file serves every recogniser.
#pragma once

#include <string_view>

namespace scanner_core {

class ScanStage {
public:
    virtual ~ScanStage() = default;

    // Takes the next piece of the file, as the line scan gets it.
    virtual void feed(std::string_view piece) = 0;

    // The file has ended; no piece follows.
    virtual void finish() = 0;
};

}  // namespace scanner_core
