// Reading a source file whole, the way the scans need it: one open, one size
// query, and reads into a buffer sized once from that size until end of
// file. The size is only a hint: files that report 0 (such as those of
// /proc) and files that grow while being read are read to their end.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace scanner_core {

class SourceText {
public:
    SourceText(std::unique_ptr<char[]> bytes, std::size_t size) noexcept : bytes_(std::move(bytes)), size_(size) {}
    std::string_view view() const noexcept { return {bytes_.get(), size_}; }

private:
    std::unique_ptr<char[]> bytes_;
    std::size_t size_;
};

// Returns the bytes of the file at `path` (opened exactly as given, binary,
// no translation), or nothing when it cannot be opened (a path holding a
// NUL byte names no file and cannot be opened). Throws
// std::ios_base::failure, naming the path and the system's reason, when a
// read fails after a successful open (a directory, an I/O error), and
// std::bad_alloc on exhausted memory. The file is closed on every way out.
// Opening never blocks on a FIFO that has no writer. Thread-safe.
std::optional<SourceText> read_source_file(const std::string& path);

}  // namespace scanner_core
