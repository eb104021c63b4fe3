// The walk that finds a plugin tree's sources, shared by every directory scan.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace scanner_core {

// Returns the regular ".py" files below `src_dir`, in walk order, with the
// paths as the walk composes them. Throws std::filesystem::filesystem_error
// when the walk fails (a missing directory, one that cannot be read, a loop
// of links): a walk that fails fails the scan, rather than silently skipping
// part of a tree. Thread-safe.
std::vector<std::filesystem::path> discover_sources(const std::string& src_dir);

}  // namespace scanner_core
