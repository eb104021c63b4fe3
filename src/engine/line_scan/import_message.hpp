// The text of an import finding, "<path>:<line>: <text><module>'", built
// so that a module name of megabytes is not copied once more to make it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace scanner_core {

// Names longer than this are moved into place within their own room when it
// has space for the rest of the message; below it, copying the name into a
// new string costs less.
inline constexpr std::size_t kInPlaceThreshold = 4096;

// Returns the size of "<path>:<line>: <text>", the part of the message
// before the name. Never fails.
std::size_t import_message_head(const std::string& path, std::int64_t line, std::string_view text) noexcept;

// Returns "<path>:<line>: <text><module>'". `gathered`, when not null, is a
// string of the caller's that holds `room` bytes free and then `module`
// (the name gathered into a string of its own). When `room` is the size of
// the message's head, the message is written around the name where it
// lies; otherwise, when the name is longer than kInPlaceThreshold and the
// string's capacity holds the whole message, the name is moved once within
// it; either way `gathered` is left valid but unspecified. Otherwise the
// message is made in one allocation of its final size. Throws
// std::bad_alloc only. Reentrant.
std::string import_message(const std::string& path, std::int64_t line, std::string_view text, std::string_view module,
                           std::string* gathered, std::size_t room = 0);

}  // namespace scanner_core
