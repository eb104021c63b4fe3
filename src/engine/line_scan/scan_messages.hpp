// The texts of the line scan's messages. Callers parse them byte for byte;
// the engine only writes them, from the line scan's records.
#pragma once

#include <string_view>

namespace scanner_core {

inline constexpr std::string_view kOpenFailure = ": impossible d'ouvrir le fichier";
inline constexpr std::string_view kForbiddenImport = "import interdit — '";
inline constexpr std::string_view kUnlistedImport = "import non whitelisté — '";

static_assert(kOpenFailure.size() == 32 && kForbiddenImport.size() == 21 && kUnlistedImport.size() == 28,
              "the messages are UTF-8 and must stay byte for byte as callers parse them");

}  // namespace scanner_core
