// SHA-256 (FIPS 180-4), for the fingerprints the command's reports give each
// finding: hashed as Python's hashlib hashes, so that a report made by the
// engine and one made by the command's own Python agree byte for byte.
// The compression is the active kernel table's (kernels.hpp): the
// processor's SHA instructions where it has them, unless `plain` is forced.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace scanner_core {

class Sha256 {
public:
    using Digest = std::array<unsigned char, 32>;

    Sha256() noexcept;

    // Adds `bytes` to what is hashed. Never fails.
    void update(std::string_view bytes) noexcept;

    // The digest of everything added so far; the object may go on being
    // updated as if it had not been asked. Never fails.
    Digest digest() const noexcept;

    // The digest as 64 lowercase hexadecimal digits, as hexdigest() gives
    // it. Throws std::bad_alloc only.
    std::string hex_digest() const;

private:
    std::array<std::uint32_t, 8> state_;
    std::array<unsigned char, 64> block_{};
    std::size_t filled_ = 0;      // bytes of `block_` in use
    std::uint64_t length_ = 0;    // bytes hashed in all
};

// The digest of `bytes` in hexadecimal. Throws std::bad_alloc only.
std::string sha256_hex(std::string_view bytes);

// `digest` as 64 lowercase hexadecimal digits. Throws std::bad_alloc only.
std::string hex_of(const Sha256::Digest& digest);

}  // namespace scanner_core
