// The outcome of scanning one source file: its path, the error and warning
// messages the scan produced, and whether the file passed. A plain value
// type: built on a worker thread, moved to the caller, never shared.
#pragma once

#include <string>
#include <vector>

namespace scanner_core {

struct FileResult {
    std::string filepath;               // exactly as the scan received it
    std::vector<std::string> errors;    // in the order the scan found them
    std::vector<std::string> warnings;  // in the order the scan found them
    bool passed = true;                 // false exactly when `errors` is non-empty
};

// Returns the record's text form, such as
// "<FileResult passed=True errors=0 warnings=2>". Plain ASCII: neither the
// path nor any message is part of it. Never fails except on exhausted memory.
std::string repr(const FileResult& result);

}  // namespace scanner_core
