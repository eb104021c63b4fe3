#include "memory/heap_reserve.hpp"

#include <algorithm>
#include <cstdlib>

namespace scanner_core {

void HeapReserve::expect(std::size_t bytes) noexcept {
    // Blocks below the size that gets a mapping of its own, so that they
    // come from the heap and grow it; at most this much per step.
    constexpr std::size_t kBlock = 96 * 1024;
    constexpr std::size_t kMost = 32 * 1024 * 1024;
    active_ = true;
    void* blocks[kMost / kBlock];
    std::size_t count = 0;
    const std::size_t wanted = std::min(bytes, kMost);
    while (count * kBlock < wanted && count < kMost / kBlock) {
        void* block = std::malloc(kBlock);
        if (block == nullptr) break;
        blocks[count++] = block;
    }
    reserved_ += count * kBlock;
    while (count > 0) std::free(blocks[--count]);
}

}  // namespace scanner_core
