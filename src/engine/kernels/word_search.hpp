// Looking for any of a few words in a text at once, many bytes a step: the
// names the audit follows are looked for over the lines it would otherwise
// pass over without tokens, which must cost little beside passing over them.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace scanner_core {

class WordSearch {
public:
    // At most this many words: past it, add refuses (the caller reads the
    // rest of the text another way), so that a step's cost stays bounded.
    static constexpr std::size_t kMostWords = 32;

    // Adds `word` (not empty). False, adding nothing, when kMostWords are
    // held already. Throws std::bad_alloc only.
    bool add(std::string_view word);
    bool empty() const noexcept { return words_.empty(); }
    std::size_t size() const noexcept { return words_.size(); }
    std::size_t longest() const noexcept { return longest_; }
    const std::string& word(std::size_t k) const noexcept { return words_[k]; }

    // The first position in [p, end) where one of the words begins, whole
    // before `end`, or `end`; `word` is set to that word's index (in the
    // order added). Whether it stands alone as a name is the caller's to
    // judge. Never fails; reads no byte outside [p, end).
    const char* find(const char* p, const char* end, std::size_t& word) const noexcept;

private:
    std::vector<std::string> words_;
    std::size_t shortest_ = 0;
    std::size_t longest_ = 0;
};

}  // namespace scanner_core
