// The kernels in portable C++: the only ones off x86-64, and there the
// reference that tests hold the vector ones to.
#include <cstring>
#include <string_view>

#include "bit_count.hpp"
#include "byte_scan.hpp"
#include "kernels.hpp"

namespace scanner_core::kernel_detail {
namespace {

class Block {
public:
    static Block load(const char* p) noexcept {
        Block b;
        std::memcpy(b.bytes_, p, 64);
        return b;
    }
    static Block load_partial(const char* p, std::size_t n) noexcept {
        Block b;
        std::memset(b.bytes_, 0, 64);
        std::memcpy(b.bytes_, p, n);
        return b;
    }
    std::uint64_t eq(char c) const noexcept {
        return bits([c](unsigned char x) { return x == static_cast<unsigned char>(c); });
    }
    std::uint64_t in_range(unsigned char low, unsigned char high) const noexcept {
        return bits([low, high](unsigned char x) { return x >= low && x <= high; });
    }
    std::uint64_t folded_in_range(unsigned char low, unsigned char high) const noexcept {
        return bits([low, high](unsigned char x) { return (x | 0x20) >= low && (x | 0x20) <= high; });
    }
    std::uint64_t high() const noexcept {
        return bits([](unsigned char x) { return x >= 0x80; });
    }
    static unsigned popcount(std::uint64_t bits) noexcept { return bit_count(bits); }

private:
    template <typename Test>
    std::uint64_t bits(Test test) const noexcept {
        std::uint64_t mask = 0;
        for (int k = 0; k < 64; ++k) mask |= std::uint64_t{test(bytes_[k])} << k;
        return mask;
    }
    unsigned char bytes_[64];
};

#include "block_kernels.inc"

}  // namespace

extern const Kernels kPlain = make_table(InstructionSet::plain);

}  // namespace scanner_core::kernel_detail
