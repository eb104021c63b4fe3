// Looking for several words at once must find what a plain search finds,
// on every instruction set, wherever the words stand against the steps and
// the text's end, and read nothing past the end.
#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "instruction_sets.hpp"
#include "kernels/word_search.hpp"

namespace scanner_core {
namespace {

// The first position from `from` where a word begins whole before the end.
std::size_t plain_search(const std::string& text, std::size_t from, const std::vector<std::string>& words) {
    for (std::size_t at = from; at < text.size(); ++at) {
        for (const std::string& word : words) {
            if (text.compare(at, word.size(), word) == 0 && at + word.size() <= text.size()) return at;
        }
    }
    return text.size();
}

TEST(WordSearch, FindsWhatAPlainSearchFindsOnEveryInstructionSet) {
    const std::vector<std::string> words = {"logging", "ab", "bab", "a_b_a_b_a_b_a_b_a_b_a_b_a_b_a_b_a_b"};
    WordSearch search;
    for (const std::string& word : words) ASSERT_TRUE(search.add(word));
    std::mt19937 random(7);
    for (const InstructionSet set : testing::available_instruction_sets()) {
        testing::ForcedInstructionSet forced(set);
        for (int round = 0; round < 40; ++round) {
            // Texts of a few letters, so that the words and their first and last bytes come often.
            std::string text(static_cast<std::size_t>(random() % 300), ' ');
            for (char& c : text) c = "ab_ lgino"[random() % 9];
            // Held in a buffer of exactly its size: a read past the end is the sanitizer's to catch.
            const std::unique_ptr<char[]> held(new char[text.size() + 1]);
            text.copy(held.get(), text.size());
            const char* const end = held.get() + text.size();
            // Word after word, from past each one found, with a cursor kept between the calls.
            WordSearch::Cursor cursor;
            for (std::size_t from = 0; from <= text.size();) {
                std::size_t word = 0;
                const char* found = search.find(held.get() + from, end, word, held.get(), &cursor);
                const std::size_t expected = plain_search(text, from, words);
                ASSERT_EQ(static_cast<std::size_t>(found - held.get()), expected)
                    << instruction_set_name(set) << " with a cursor from " << from << " in '" << text << "'";
                from = expected + 1;
            }
            for (std::size_t from = 0; from <= text.size(); ++from) {
                std::size_t word = 0;
                const char* found = search.find(held.get() + from, end, word);
                const std::size_t expected = plain_search(text, from, words);
                ASSERT_EQ(static_cast<std::size_t>(found - held.get()), expected)
                    << instruction_set_name(set) << " from " << from << " in '" << text << "'";
                if (found != end) {
                    EXPECT_EQ(text.compare(expected, words[word].size(), words[word]), 0);
                }
            }
        }
    }
}

TEST(WordSearch, FindsAWholeWordOnlyWhereNoNameTouchesIt) {
    WordSearch search;
    ASSERT_TRUE(search.add("json", true));
    // Long enough for the vector steps, the uses at both ends of steps.
    const std::string text = std::string(70, ' ') + "xjson json_ json\xc3\xa9 (json). " + std::string(70, '#') + "json";
    for (const InstructionSet set : testing::available_instruction_sets()) {
        testing::ForcedInstructionSet forced(set);
        std::vector<std::size_t> found;
        std::size_t word = 0;
        for (const char* at = text.data(); (at = search.find(at, text.data() + text.size(), word, text.data())) !=
                                           text.data() + text.size();
             ++at) {
            found.push_back(static_cast<std::size_t>(at - text.data()));
        }
        EXPECT_EQ(found, (std::vector<std::size_t>{70 + 20, text.size() - 4})) << instruction_set_name(set);
    }
}

TEST(WordSearch, HoldsABoundedNumberOfWords) {
    WordSearch search;
    for (std::size_t k = 0; k < WordSearch::kMostWords; ++k) ASSERT_TRUE(search.add("w" + std::to_string(k)));
    EXPECT_FALSE(search.add("one_more"));
    EXPECT_EQ(search.size(), WordSearch::kMostWords);
}

}  // namespace
}  // namespace scanner_core
