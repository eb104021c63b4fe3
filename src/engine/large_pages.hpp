// Room for strings of megabytes (a hostile file's module names, and the
// messages that quote them), which the system may back with large pages:
// each page fault then brings two megabytes instead of four kilobytes.
#pragma once

#include <cstddef>
#include <string>

namespace scanner_core {

// Strings from this size on are worth the advice.
inline constexpr std::size_t kLargePageText = std::size_t{2} << 20;

// Gives `text` room for at least `size` bytes, keeping its contents; from
// kLargePageText on, the room is advised for large pages before a byte of
// it is written. Throws std::bad_alloc only.
void reserve_large(std::string& text, std::size_t size);

}  // namespace scanner_core
