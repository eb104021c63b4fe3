// Looking for any of a few words in a text at once, many bytes a step: the
// names the audit follows are looked for over the lines it would otherwise
// pass over without tokens, which must cost little beside passing over them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace scanner_core {

class WordSearch {
public:
    // At most this many words: past it, add refuses (the caller reads the
    // rest of the text another way), so that a step's cost stays bounded.
    static constexpr std::size_t kMostWords = 64;

    // Adds `word` (not empty); a `whole` word is found only where no
    // letter, digit, underscore or byte above 0x7f touches it on either
    // side (a name, not a piece of a longer one). False, adding nothing,
    // when kMostWords are held already. Throws std::bad_alloc only.
    bool add(std::string_view word, bool whole = false);
    bool empty() const noexcept { return words_.empty(); }
    std::size_t size() const noexcept { return words_.size(); }
    std::size_t longest() const noexcept { return longest_; }
    const std::string& word(std::size_t k) const noexcept { return words_[k]; }

    // The first position in [p, end) where one of the words begins, whole
    // before `end`, or `end`; `word` is set to that word's index (in the
    // order added). The bytes from `begin` (at most p) to p are readable,
    // for the byte before a whole word; before `begin` is taken for a
    // line's end. Never fails; reads no byte outside [begin, end). One
    // thread at a time: it keeps what its last step found.
    //
    // `cursor`, given to successive calls over one text (each from past the
    // last word found), keeps the last step's other candidates, so that a
    // text where the words come often is not stepped over again from each.
    struct Cursor {
        const char* at = nullptr;  // the step's first position
        std::uint64_t found = 0;   // its candidates not looked at yet
        unsigned char buckets[64] = {};
    };
    const char* find(const char* p, const char* end, std::size_t& word, const char* begin = nullptr,
                     Cursor* cursor = nullptr) const noexcept;

private:
    static constexpr std::size_t kBuckets = 8;
    static constexpr std::size_t kOffsets = 4;
    bool word_at(unsigned buckets, const char* begin, const char* at, const char* end, std::size_t& word) const noexcept;
    const char* steps_avx2(const char* p, const char* end, std::uint64_t& found) const noexcept;
    const char* steps_avx512(const char* p, const char* end, std::uint64_t& found) const noexcept;

    std::vector<std::string> words_;
    std::vector<bool> whole_;
    std::vector<std::uint8_t> members_[kBuckets];  // the words of each bucket, by index
    std::size_t shortest_ = 0;
    std::size_t longest_ = 0;
    // Per offset, per half byte (low, high): the buckets whose words hold it there.
    unsigned char low_[kOffsets][16] = {};
    unsigned char high_[kOffsets][16] = {};
    // The buckets of each position of the last step that had candidates.
    mutable unsigned char found_buckets_[64] = {};
};

}  // namespace scanner_core
