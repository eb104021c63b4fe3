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

// Returns "<path>:<line>: <text><module>'". When the name was gathered into
// a string of its own (`gathered`, whose text `module` is), is longer than
// kInPlaceThreshold and that string's capacity holds the whole message, the
// message is made within that string, which is left valid but unspecified;
// otherwise in one allocation of the final size. Throws std::bad_alloc
// only. Reentrant.
std::string import_message(const std::string& path, std::int64_t line, std::string_view text, std::string_view module,
                           std::string* gathered);

}  // namespace scanner_core
