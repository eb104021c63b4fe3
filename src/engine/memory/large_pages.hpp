// Room for strings of megabytes (a hostile file's module names, and the
// messages that quote them), which the system may back with large pages:
// each page fault then brings two megabytes instead of four kilobytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace scanner_core {

// Strings from this size on are worth the advice.
inline constexpr std::size_t kLargePageText = std::size_t{2} << 20;

// Gives `text` room for at least `size` bytes, keeping its contents after
// `front` bytes put before them (left unspecified, for the caller to write);
// from kLargePageText on, the room past its first kLargePageText bytes is
// advised for large pages before a byte of it is written (so that a string
// that stops short of that takes small pages only, as many as it fills).
// Throws std::bad_alloc only, leaving `text` as it was.
void reserve_large(std::string& text, std::size_t size, std::size_t front = 0);

// The room to give a long string that has outgrown its own and needs
// `needed` bytes: one step to kFirstLargeRoom, then four
// times what is needed, the step never above kLargestStep. Room no byte is
// written to costs address space only, so the steps are long and a name of
// tens of megabytes is written once; the cap keeps a name of gigabytes from
// asking for several times its size. Never fails.
inline constexpr std::size_t kFirstLargeRoom = std::size_t{32} << 20;
inline constexpr std::size_t kLargestStep = std::size_t{1} << 30;
constexpr std::size_t large_room(std::size_t needed) noexcept {
    if (needed < kFirstLargeRoom) return kFirstLargeRoom;
    const std::size_t step = needed > kLargestStep / 3 ? kLargestStep : 3 * needed;
    return needed > SIZE_MAX - step ? needed : needed + step;
}

}  // namespace scanner_core
