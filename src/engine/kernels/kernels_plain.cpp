// The kernels in portable C++: the only ones off x86-64, and there the
// reference that tests hold the vector ones to.
#include <cstring>
#include <string_view>

#include "kernels/bit_count.hpp"
#include "kernels/byte_scan.hpp"
#include "kernels/kernels.hpp"

namespace scanner_core::kernel_detail {
namespace {

// One bit a byte.
struct Flags {
    std::uint64_t mask;
    Flags operator|(const Flags& o) const noexcept { return {mask | o.mask}; }
    Flags operator&(const Flags& o) const noexcept { return {mask & o.mask}; }
    Flags operator~() const noexcept { return {~mask}; }
    std::uint64_t bits() const noexcept { return mask; }
};

// 64 bytes: the width that lets the compiler make vectors of the loops below.
struct Vector {
    static constexpr std::size_t kWidth = 64;
    // No table lookups: the classification compares.
    static constexpr bool kNibbleTables = false;
    static constexpr bool kByteTables = false;
    unsigned char bytes[64];

    static Vector load(const char* p) noexcept {
        Vector v;
        std::memcpy(v.bytes, p, 64);
        return v;
    }
    static Vector load_partial(const char* p, std::size_t n) noexcept {
        Vector v;
        std::memset(v.bytes, 0, 64);
        std::memcpy(v.bytes, p, n);
        return v;
    }
    Flags eq(char c) const noexcept {
        return test([c](unsigned char x) { return x == static_cast<unsigned char>(c); });
    }
    Flags eq(const Vector& o) const noexcept {
        unsigned char flags[64];
        for (int k = 0; k < 64; ++k) flags[k] = bytes[k] == o.bytes[k] ? 1 : 0;
        return gather(flags);
    }
    Flags in_range(unsigned char low, unsigned char high) const noexcept {
        return test([low, high](unsigned char x) { return x >= low && x <= high; });
    }
    Flags high() const noexcept {
        return test([](unsigned char x) { return x >= 0x80; });
    }
    // Hides the value from the compiler, which then keeps it rather than
    // building it again.
    void opaque() noexcept {}
    Vector folded() const noexcept {
        Vector v;
        for (int k = 0; k < 64; ++k) v.bytes[k] = static_cast<unsigned char>(bytes[k] | 0x20);
        return v;
    }

    // The tests of all 64 bytes first, as one flag a byte, in a loop the
    // compiler can turn into whatever vectors the target has; then each 8
    // flags to 8 bits by one multiplication, which moves flag k (the low
    // bit of byte k of a little-endian word) to bit 56 + k.
    template <typename Test>
    Flags test(Test is) const noexcept {
        unsigned char flags[64];
        for (int k = 0; k < 64; ++k) flags[k] = is(bytes[k]) ? 1 : 0;
        return gather(flags);
    }

    // One flag a byte (0 or 1) to one bit a byte.
    static Flags gather(const unsigned char (&flags)[64]) noexcept {
        std::uint64_t mask = 0;
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
        for (int w = 0; w < 8; ++w) {
            std::uint64_t word;
            std::memcpy(&word, flags + 8 * w, sizeof word);
            mask |= ((word * 0x0102040810204080u) >> 56) << (8 * w);
        }
#else
        for (int k = 0; k < 64; ++k) mask |= std::uint64_t{flags[k]} << k;
#endif
        return {mask};
    }
};

inline unsigned popcount(std::uint64_t bits) noexcept { return bit_count(bits); }

#include "kernels/block_kernels.inc"

}  // namespace

extern const Kernels kPlain = make_table(InstructionSet::plain, sha256_blocks_portable);

}  // namespace scanner_core::kernel_detail
