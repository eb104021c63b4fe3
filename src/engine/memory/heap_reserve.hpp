// Growing a thread's heap ahead of the records the thread makes. The C
// library's heap for a thread other than the first (an arena) grows a page
// at a time, each page a system call, so in a process's first scan every
// page of the records cost one; growing it ahead in large steps saves
// those calls. Nothing stays taken: the blocks that grow the heap are given
// back at once, untouched, and the system reclaims their pages. With
// another allocator, or once the heap has grown in an earlier scan, a step
// costs a few allocations.
#pragma once

#include <cstddef>

namespace scanner_core {

class HeapReserve {
public:
    HeapReserve() noexcept = default;

    // Grows the heap by about `bytes` now, what the thread expects to make,
    // and from then on ahead of what it makes. Never fails.
    void expect(std::size_t bytes) noexcept;

    // Notes that the thread's records took `bytes` more; once they near
    // what was grown, grows the heap as much again. Nothing before expect:
    // a lone scan on the caller's thread has no heap of its own to grow.
    void produced(std::size_t bytes) noexcept {
        produced_ += bytes;
        if (active_ && produced_ > reserved_) expect(reserved_ > kFirstStep ? reserved_ : kFirstStep);
    }

private:
    static constexpr std::size_t kFirstStep = 1024 * 1024;

    bool active_ = false;
    std::size_t produced_ = 0;
    std::size_t reserved_ = 0;
};

}  // namespace scanner_core
