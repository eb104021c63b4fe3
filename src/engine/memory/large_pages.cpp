#include "memory/large_pages.hpp"

#include <sys/mman.h>

#include <cstdint>

namespace scanner_core {

void reserve_large(std::string& text, std::size_t size, std::size_t front) {
    if (front == 0 && size <= text.capacity()) return;
    // Short of kLargePageText no advice is given, and with nothing to put
    // in front the string's own reserve makes the same room without a
    // second string and a swap: every finding's message of a scan comes here.
    if (front == 0 && size < kLargePageText) {
        text.reserve(size);
        return;
    }
    // Reserved apart and advised while untouched, then filled: advice on
    // pages already written would come too late. A string shorter than
    // kLargePageText past its first bytes gets none.
    std::string grown;
    grown.reserve(size > front + text.size() ? size : front + text.size());
    constexpr std::uintptr_t kLargePage = kLargePageText;
    const auto begin = reinterpret_cast<std::uintptr_t>(grown.data());
    const std::uintptr_t first = (begin + kLargePageText + kLargePage - 1) & ~(kLargePage - 1);
    const std::uintptr_t last = (begin + grown.capacity()) & ~(kLargePage - 1);
    if (last > first) ::madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
    grown.append(front, '\0').append(text);
    text.swap(grown);
}

}  // namespace scanner_core
