#include "kernels/sha256.hpp"

#include <algorithm>
#include <cstring>

#include "kernels/kernels.hpp"

namespace scanner_core {

Sha256::Sha256() noexcept
    : state_{0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19} {}

void Sha256::update(std::string_view bytes) noexcept {
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    std::size_t size = bytes.size();
    length_ += size;
    if (filled_ > 0) {
        const std::size_t taken = std::min(size, block_.size() - filled_);
        std::memcpy(block_.data() + filled_, data, taken);
        filled_ += taken;
        data += taken;
        size -= taken;
        if (filled_ < block_.size()) return;
        kernels().sha256_blocks(state_.data(), block_.data(), 1);
        filled_ = 0;
    }
    if (size >= 64) {
        kernels().sha256_blocks(state_.data(), data, size / 64);
        data += size / 64 * 64;
        size %= 64;
    }
    if (size > 0) std::memcpy(block_.data(), data, size);
    filled_ = size;
}

Sha256::Digest Sha256::digest() const noexcept {
    std::array<std::uint32_t, 8> state = state_;
    std::array<unsigned char, 128> tail{};
    std::memcpy(tail.data(), block_.data(), filled_);
    tail[filled_] = 0x80;
    const std::size_t blocks = filled_ + 1 + 8 <= 64 ? 1 : 2;
    const std::uint64_t bits = length_ * 8;
    for (int k = 0; k < 8; ++k) tail[blocks * 64 - 1 - k] = static_cast<unsigned char>(bits >> (8 * k));
    kernels().sha256_blocks(state.data(), tail.data(), blocks);
    Digest digest;
    for (int k = 0; k < 8; ++k) {
        for (int b = 0; b < 4; ++b) digest[4 * k + b] = static_cast<unsigned char>(state[k] >> (24 - 8 * b));
    }
    return digest;
}

std::string Sha256::hex_digest() const { return hex_of(digest()); }

std::string hex_of(const Sha256::Digest& bytes) {
    constexpr char kDigits[] = "0123456789abcdef";
    std::string hex(64, '0');
    for (std::size_t k = 0; k < bytes.size(); ++k) {
        hex[2 * k] = kDigits[bytes[k] >> 4];
        hex[2 * k + 1] = kDigits[bytes[k] & 0xF];
    }
    return hex;
}

std::string sha256_hex(std::string_view bytes) {
    Sha256 hash;
    hash.update(bytes);
    return hash.hex_digest();
}

}  // namespace scanner_core
