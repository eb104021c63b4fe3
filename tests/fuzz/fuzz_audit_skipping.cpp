// The audit's fast path changes nothing: for any bytes, the stage that
// passes over lines 64 bytes at a time finds the same imports, and refuses
// or defers the same way, as the stage that reads every token. The first
// byte of the input chooses where the text is cut into pieces (as a file
// read through a buffer is), so that piece boundaries fall anywhere; the
// token-by-token reading takes the text whole.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "audit_support.hpp"
#include "fuzz_check.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::size_t step = data[0] == 0 ? 0 : std::size_t{data[0]} * 3;  // 0: one piece
    const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
    std::vector<std::size_t> cuts;
    if (step != 0) {
        for (std::size_t cut = step; cut < text.size(); cut += step) cuts.push_back(cut);
    }
    const std::string reference = scanner_core::testing::audit_text(text, false).describe(true);
    const std::string skipping = scanner_core::testing::audit_text(text, true, cuts).describe(true);
    if (skipping != reference) {
        std::fprintf(stderr, "token by token:\n%s\nskipping, pieces of %zu bytes:\n%s\n", reference.c_str(), step,
                     skipping.c_str());
    }
    FUZZ_CHECK(skipping == reference);
    return 0;
}
