#include "scan/file_result.hpp"

namespace scanner_core {

std::string repr(const FileResult& result) {
    std::string text = "<FileResult passed=";
    text += result.passed ? "True" : "False";
    text += " errors=";
    text += std::to_string(result.errors.size());
    text += " warnings=";
    text += std::to_string(result.warnings.size());
    text += '>';
    return text;
}

}  // namespace scanner_core
