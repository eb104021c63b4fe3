// SHA-256 on each path the kernel tables give it (the portable one with
// `plain`, the processor's SHA instructions with the others where it has
// them) is hashlib's: on the standard's vectors, on every length across the
// padding's edges, and fed in pieces split anywhere.
#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "instruction_sets.hpp"
#include "kernels/sha256.hpp"

namespace scanner_core {
namespace {

using testing::available_instruction_sets;
using testing::ForcedInstructionSet;

// The texts hashlib hashed, as sha256_expected.py makes them.
std::string text_of(std::size_t length) {
    std::string text(length, '\0');
    for (std::size_t k = 0; k < length; ++k) text[k] = static_cast<char>((k * 167 + length * 31 + 7) % 256);
    return text;
}

std::vector<std::pair<std::size_t, std::string>> hashlib_digests() {
    std::ifstream in(SHA256_EXPECTED);
    if (!in) throw std::runtime_error("cannot read " SHA256_EXPECTED);
    std::vector<std::pair<std::size_t, std::string>> digests;
    std::size_t length = 0;
    std::string hex;
    while (in >> length >> hex) digests.emplace_back(length, hex);
    return digests;
}

// `text` hashed in the pieces that end at `cuts` (increasing), with a
// digest asked for midway, which must change nothing.
std::string hashed_in_pieces(const std::string& text, const std::vector<std::size_t>& cuts) {
    Sha256 hash;
    std::size_t at = 0;
    for (const std::size_t cut : cuts) {
        hash.update(std::string_view(text).substr(at, cut - at));
        if (at == 0) (void)hash.digest();
        at = cut;
    }
    hash.update(std::string_view(text).substr(at));
    return hash.hex_digest();
}

TEST(Sha256, EveryPathGivesHashlibsDigestsWhereverThePiecesAreCut) {
    const auto digests = hashlib_digests();
    ASSERT_GT(digests.size(), 200u);
    std::mt19937 random(3);
    for (const InstructionSet set : available_instruction_sets()) {
        ForcedInstructionSet forced(set);
        const std::string path = std::string(instruction_set_name(set)) + (sha_instructions_active() ? " with" : " without") +
                                 " SHA instructions";
        for (const auto& [length, expected] : digests) {
            const std::string text = text_of(length);
            ASSERT_EQ(sha256_hex(text), expected) << path << ", length " << length;
            if (length <= 130) {
                for (std::size_t cut = 0; cut <= length; ++cut) {
                    ASSERT_EQ(hashed_in_pieces(text, {cut}), expected) << path << ", length " << length << " cut at " << cut;
                }
            }
            std::vector<std::size_t> cuts;
            for (std::size_t at = random() % 70; at < length; at += 1 + random() % (random() % 2 == 0 ? 130 : 70000)) {
                cuts.push_back(at);
            }
            EXPECT_EQ(hashed_in_pieces(text, cuts), expected) << path << ", length " << length << " in pieces";
        }
    }
}

TEST(Sha256, EveryPathGivesTheStandardsDigests) {
    const std::pair<std::string, std::string> vectors[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const InstructionSet set : available_instruction_sets()) {
        ForcedInstructionSet forced(set);
        for (const auto& [text, expected] : vectors) {
            EXPECT_EQ(sha256_hex(text), expected) << instruction_set_name(set);
            for (const std::size_t step : {1u, 7u, 63u, 64u, 65u, 4096u}) {
                Sha256 hash;
                for (std::size_t at = 0; at < text.size(); at += step) hash.update(std::string_view(text).substr(at, step));
                EXPECT_EQ(hash.hex_digest(), expected) << instruction_set_name(set) << ", pieces of " << step;
            }
        }
    }
}

}  // namespace
}  // namespace scanner_core
