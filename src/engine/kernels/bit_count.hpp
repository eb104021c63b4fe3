// Counting the set bits of a mask in code built for any x86-64 processor.
#pragma once

#include <cstdint>

namespace scanner_core {

// The number of set bits of `bits`, in registers: the baseline target has
// no population-count instruction, and the library call it would get
// instead costs more than a block's work. Never fails.
inline std::uint32_t bit_count(std::uint64_t bits) noexcept {
    bits = bits - ((bits >> 1) & 0x5555555555555555u);
    bits = (bits & 0x3333333333333333u) + ((bits >> 2) & 0x3333333333333333u);
    bits = (bits + (bits >> 4)) & 0x0f0f0f0f0f0f0f0fu;
    return static_cast<std::uint32_t>((bits * 0x0101010101010101u) >> 56);
}

}  // namespace scanner_core
