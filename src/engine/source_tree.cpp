#include "source_tree.hpp"

#include <system_error>

namespace scanner_core {

std::vector<std::filesystem::path> discover_sources(const std::string& src_dir) {
    static const std::filesystem::path kExtension(".py");
    // The system would read the name only up to a NUL byte and walk some
    // other directory.
    if (src_dir.find('\0') != std::string::npos) {
        throw std::filesystem::filesystem_error("recursive directory iterator cannot open directory",
                                                std::filesystem::path(src_dir),
                                                std::make_error_code(std::errc::invalid_argument));
    }
    std::vector<std::filesystem::path> files;
    for (const std::filesystem::directory_entry& entry : std::filesystem::recursive_directory_iterator(
             std::filesystem::path(src_dir), std::filesystem::directory_options::none)) {
        if (!entry.is_regular_file()) continue;
        if (entry.path().extension() != kExtension) continue;
        files.push_back(entry.path());
    }
    return files;
}

}  // namespace scanner_core
