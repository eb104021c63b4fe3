// Every instruction set's kernels give what the plain ones give, which are
// held to a byte-at-a-time reading: at every offset and length within and
// across blocks, at the text's end, and for every byte value. And the
// choice of a table is one the tests and the environment can make.
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "kernels/byte_scan.hpp"
#include "instruction_sets.hpp"
#include "kernels/kernels.hpp"

namespace scanner_core {
namespace {

using testing::available_instruction_sets;

const Kernels& table_of(InstructionSet set) {
    testing::ForcedInstructionSet forced(set);
    return kernels();
}

// Texts dense in what the kernels look for, with every byte value among them.
std::string dense_text(std::mt19937& random, std::size_t size) {
    static const std::string kBytes =
        std::string("\n\r\t\f \\'\"{}()[]#$?`._0aAzZ9ifrmpotxcevgl_s") + "\x7f\x80\xff" + std::string(1, '\0');
    std::string text;
    for (std::size_t k = 0; k < size; ++k) {
        const unsigned pick = random() % 8;
        text.push_back(pick == 0 ? static_cast<char>(random() % 256) : kBytes[random() % kBytes.size()]);
        if (random() % 40 == 0) {
            static const char* const kWords[] = {"import", "match", "exec", "eval", "compile", "getattr",
                                                 "__loader__", "__spec__", "impor", "__spe", "from", "fr", "im"};
            text += kWords[random() % (sizeof kWords / sizeof kWords[0])];
        }
    }
    return text.substr(0, size);
}

// A byte at a time, as the kernels' contracts say.
bool name_byte(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}
bool trigger_at(const char* p, const char* end) {
    for (const std::string_view word : {"import", "match", "exec", "eval", "compile", "getattr", "__loader__", "__spec__"}) {
        if (static_cast<std::size_t>(end - p) >= word.size() && std::string_view(p, word.size()) == word) return true;
    }
    return false;
}

TEST(Kernels, FindersStopWhereAByteAtATimeReadingStops) {
    const auto high = [](char c) { return static_cast<unsigned char>(c) >= 0x80; };
    std::mt19937 random(5);
    for (int round = 0; round < 300; ++round) {
        // Copied so that a read past the end would be seen by the sanitizers.
        const std::string text = dense_text(random, random() % 300);
        const std::vector<char> bytes(text.begin(), text.end());
        const char* const begin = bytes.data();
        for (const InstructionSet set : available_instruction_sets()) {
            const Kernels& k = table_of(set);
            for (std::size_t from = 0; from <= bytes.size(); from += 1 + random() % 5) {
                const char* const p = begin + from;
                const char* const end = begin + bytes.size() - (random() % 3 == 0 ? (bytes.size() - from) / 2 : 0);
                for (const char quote : {'\'', '"'}) {
                    const char* expected = p;
                    while (expected < end && *expected != quote && *expected != '\\' && *expected != '\n' &&
                           *expected != '\r' && !high(*expected)) {
                        ++expected;
                    }
                    ASSERT_EQ(k.string_stop(p, end, quote), expected) << instruction_set_name(set) << " at " << from;
                    // In triple quotes, line feeds are counted, not stopped at.
                    std::int64_t feeds = 0;
                    expected = p;
                    for (; expected < end && *expected != quote && *expected != '\\' && *expected != '\r' &&
                           !high(*expected);
                         ++expected) {
                        feeds += *expected == '\n';
                    }
                    std::int64_t counted = 3;  // added to, not set
                    ASSERT_EQ(k.triple_stop(p, end, quote, counted), expected) << instruction_set_name(set) << " at " << from;
                    ASSERT_EQ(counted, 3 + feeds) << instruction_set_name(set) << " at " << from;
                    expected = p;
                    while (expected < end && *expected != '{' && *expected != '}' && *expected != quote &&
                           *expected != '\\' && *expected != '\n' && *expected != '\r' && !high(*expected)) {
                        ++expected;
                    }
                    ASSERT_EQ(k.fstring_stop(p, end, quote), expected) << instruction_set_name(set) << " at " << from;
                }
                const char* expected = p;
                while (expected < end && *expected != '\n' && *expected != '\r') ++expected;
                ASSERT_EQ(k.line_end(p, end), expected) << instruction_set_name(set) << " at " << from;
                expected = p;
                while (expected < end && name_byte(*expected)) ++expected;
                ASSERT_EQ(k.non_name(p, end), expected) << instruction_set_name(set) << " at " << from;
                expected = p;
                while (expected < end && !trigger_at(expected, end)) ++expected;
                ASSERT_EQ(k.trigger(p, end), expected) << instruction_set_name(set) << " at " << from;
                for (const char quote : {'"', '\\'}) {
                    expected = p;
                    while (expected < end && *expected >= 0x20 && *expected < 0x7f && *expected != '\\' &&
                           *expected != quote) {
                        ++expected;
                    }
                    ASSERT_EQ(k.plain_run(begin, end - begin, from, quote), static_cast<std::size_t>(expected - begin))
                        << instruction_set_name(set) << " at " << from;
                }
            }
        }
    }
}

TEST(Kernels, RunsEndAtTheFirstByteOfNoGivenClass) {
    const auto in = [](char c, unsigned char classes) {
        return ((classes & kRunSpace) != 0 && (c == ' ' || (c >= '\t' && c <= '\r'))) ||
               ((classes & kRunWord) != 0 && name_byte(c)) || ((classes & kRunDot) != 0 && c == '.');
    };
    std::mt19937 random(7);
    for (int round = 0; round < 2000; ++round) {
        const unsigned char classes = static_cast<unsigned char>(1 + random() % 7);
        std::string run;
        for (int c = 0; c < 256; ++c) {
            if (in(static_cast<char>(c), classes)) run.push_back(static_cast<char>(c));
        }
        std::string text;
        for (std::size_t k = random() % 300; k > 0; --k) text.push_back(run[random() % run.size()]);
        text.push_back(static_cast<char>(random() % 256));  // every byte value ends a run, or not
        for (std::size_t k = random() % 80; k > 0; --k) text.push_back(run[random() % run.size()]);
        const std::size_t pos = std::min<std::size_t>(random() % 5, text.size());
        std::size_t expected = pos;
        while (expected < text.size() && in(text[expected], classes)) ++expected;
        for (const InstructionSet set : available_instruction_sets()) {
            ASSERT_EQ(table_of(set).skip_run(text.data(), text.size(), pos, classes), expected)
                << instruction_set_name(set) << ", classes " << int{classes};
        }
    }
}

TEST(Kernels, LineChunksHoldTheLineHeadsOfTheirBytesOrOfTheirClassifiedBlocks) {
    std::mt19937 random(11);
    for (int round = 0; round < 500; ++round) {
        std::string text = dense_text(random, 64 * 3 + 1);
        if (round % 2 == 0) {  // leads that run across blocks
            for (std::size_t k = random() % 64; k < text.size(); k += 1 + random() % 80) text[k] = '\n';
            for (std::size_t k = random() % 64; k < text.size(); k += 1 + random() % 3) text[k] = k % 5 == 0 ? '\t' : ' ';
        }
        const std::size_t blocks = 1 + random() % 3;
        const std::uint64_t starts_in = random() % 2;
        // A byte at a time: whether a line's lead is running, and where the
        // first byte past each lead is.
        bool in_lead = starts_in != 0;
        // Per block: line feeds, candidates, line feeds before it.
        std::vector<std::uint64_t> feeds(blocks), candidates(blocks);
        std::vector<std::uint32_t> feeds_before(blocks + 1);
        for (std::size_t at = 0; at < 64 * blocks; ++at) {
            const unsigned char c = static_cast<unsigned char>(text[at]);
            const std::uint64_t bit = std::uint64_t{1} << (at % 64);
            const bool head = in_lead && c != ' ' && c != '\t';
            if (c != ' ' && c != '\t') in_lead = false;
            if (c == '\n') {
                feeds[at / 64] |= bit;
                ++feeds_before[at / 64 + 1];
                in_lead = true;
            }
            if (head && ((c == 'f' && text[at + 1] == 'r') || (c == 'i' && text[at + 1] == 'm'))) {
                candidates[at / 64] |= bit;
            }
        }
        for (std::size_t b = 0; b < blocks; ++b) feeds_before[b + 1] += feeds_before[b];
        for (const InstructionSet set : available_instruction_sets()) {
            // From the bytes, and from the blocks' classified line parts.
            for (const bool classified : {false, true}) {
                const Kernels& k = table_of(set);
                LineChunk chunk;
                std::vector<LineMasks> masks(blocks);
                k.classify_blocks(text.data(), blocks, text.data() + text.size(), masks.data(), nullptr);
                EXPECT_EQ(classified ? k.line_chunk_of(masks.data(), blocks, starts_in, chunk)
                                     : k.line_chunk(text.data(), blocks, starts_in, chunk),
                          in_lead ? 1u : 0u)
                    << instruction_set_name(set) << ", round " << round << ", classified " << classified;
                EXPECT_EQ(chunk.feed_count, feeds_before[blocks]) << instruction_set_name(set);
                EXPECT_EQ(chunk.feeds[blocks], 0u) << instruction_set_name(set);
                std::size_t busy = 0;
                for (std::size_t b = 0; b < blocks; ++b) {
                    const std::string where = std::string(instruction_set_name(set)) + ", block " + std::to_string(b);
                    EXPECT_EQ(chunk.feeds[b], feeds[b]) << where;
                    if (candidates[b] != 0) {  // a busy block, in order
                        ASSERT_LT(busy, chunk.busy_count) << where;
                        const LineChunk::Busy& got = chunk.busy[busy++];
                        EXPECT_EQ(got.block, b) << where;
                        EXPECT_EQ(got.feeds_before, feeds_before[b]) << where;
                        EXPECT_EQ(got.feeds, feeds[b]) << where;
                        EXPECT_EQ(got.candidates, candidates[b]) << where;
                    }
                }
                EXPECT_EQ(chunk.busy_count, busy) << instruction_set_name(set);
            }
        }
    }
}

// The masks of each byte, read one at a time, of a text that ends at `end`
// (the bytes from there on read as NULs); `words` the whole words' starts,
// and `word_letters` where a word's first letter is, which the words'
// candidates lie between.
struct Expected {
    LineMasks lines{};
    CodeMasks code{};
    std::uint64_t word_letters = 0;
};

Expected masks_of(const std::string& text, std::size_t block, std::size_t end) {
    const auto at = [&](std::size_t k) { return k < end ? static_cast<unsigned char>(text[k]) : 0; };
    Expected e;
    LineMasks& l = e.lines;
    CodeMasks& m = e.code;
    for (std::size_t k = 64 * block; k < 64 * block + 64; ++k) {
        const unsigned char c = at(k);
        const std::uint64_t bit = std::uint64_t{1} << (k % 64);
        if (c == '\n') l.feeds |= bit;
        if (c == ' ' || c == '\t') l.blanks |= bit;
        if ((c == 'f' && at(k + 1) == 'r') || (c == 'i' && at(k + 1) == 'm')) l.firsts |= bit;
        if ((c < 0x20 && c != '\t' && c != '\f' && c != '\n') || c >= 0x7f ||
            std::string_view("'\"#\\$?`").find(static_cast<char>(c)) != std::string_view::npos) {
            m.special |= bit;
        }
        if (c != 0 && std::string_view("([{)]}").find(static_cast<char>(c)) != std::string_view::npos) {
            m.brackets |= bit;
        }
        if (c != 0 && std::string_view(")]}").find(static_cast<char>(c)) != std::string_view::npos) m.closers |= bit;
        if (c == '(' || c == ')') m.parens |= bit;
        if (k < end && trigger_at(text.data() + k, text.data() + end)) m.words |= bit;
        if (c != 0 && std::string_view("imecg_").find(static_cast<char>(c)) != std::string_view::npos) {
            e.word_letters |= bit;
        }
    }
    m.feeds = l.feeds;
    return e;
}

TEST(Kernels, ClassifiedBlocksHoldTheBitsOfTheirBytesUpToTheEnd) {
    std::mt19937 random(13);
    for (int round = 0; round < 400; ++round) {
        const std::size_t blocks = 1 + random() % 4;
        // Copied so that a read past the end would be seen by the sanitizers.
        const std::string text = dense_text(random, 64 * blocks + random() % 90);
        const std::size_t end = round % 3 == 0 ? text.size() : random() % (text.size() + 1);
        const std::vector<char> bytes(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(end));
        for (const InstructionSet set : available_instruction_sets()) {
            // Each part alone, and both; a part not asked for is not written.
            const bool lines = round % 3 != 1;
            const bool code = round % 3 != 0;
            std::vector<LineMasks> got_lines(blocks, LineMasks{1, 1, 1});
            std::vector<CodeMasks> got_code(blocks, CodeMasks{1, 1, 1, 1, 1, 1});
            table_of(set).classify_blocks(bytes.data(), blocks, bytes.data() + end,
                                          lines ? got_lines.data() : nullptr, code ? got_code.data() : nullptr);
            for (std::size_t b = 0; b < blocks; ++b) {
                const Expected expected = masks_of(text, b, end);
                const std::string where = std::string(instruction_set_name(set)) + ", round " +
                                          std::to_string(round) + ", block " + std::to_string(b);
                const LineMasks& line = got_lines[b];
                EXPECT_EQ(line.feeds, lines ? expected.lines.feeds : 1) << where;
                EXPECT_EQ(line.blanks, lines ? expected.lines.blanks : 1) << where;
                EXPECT_EQ(line.firsts, lines ? expected.lines.firsts : 1) << where;
                const CodeMasks& got = got_code[b];
                const CodeMasks& want = expected.code;
                if (!code) {
                    EXPECT_EQ(got.feeds & got.special & got.brackets & got.closers & got.parens & got.words, 1u) << where;
                    continue;
                }
                EXPECT_EQ(got.feeds, want.feeds) << where;
                EXPECT_EQ(got.special, want.special) << where;
                EXPECT_EQ(got.brackets, want.brackets) << where;
                EXPECT_EQ(got.closers, want.closers) << where;
                EXPECT_EQ(got.parens, want.parens) << where;
                // Every word is a candidate, and every candidate is at a word's first letter.
                EXPECT_EQ(got.words & want.words, want.words) << where;
                EXPECT_EQ(got.words & ~expected.word_letters, 0u) << where;
            }
        }
    }
}

TEST(Kernels, OnlyAvailableSetsCanBeForcedAndEachTableIsItsOwn) {
    const InstructionSet before = active_instruction_set();
    EXPECT_TRUE(instruction_set_available(InstructionSet::plain));
    EXPECT_TRUE(instruction_set_available(best_instruction_set()));
    for (const InstructionSet set : kInstructionSets) {
        const bool available = instruction_set_available(set);
        EXPECT_EQ(force_instruction_set(set), available) << instruction_set_name(set);
        if (available) {
            EXPECT_EQ(kernels().set, set);
            // Forcing `plain` forces the portable SHA-256 too, so that tests reach both.
            EXPECT_EQ(sha_instructions_active(), set != InstructionSet::plain && sha_instructions_available())
                << instruction_set_name(set);
        }
        EXPECT_EQ(instruction_set_named(instruction_set_name(set)), set);
    }
    EXPECT_EQ(instruction_set_named("AVX2"), std::nullopt);
    EXPECT_EQ(instruction_set_named(""), std::nullopt);
    force_instruction_set(before);
}

TEST(Kernels, TheEnvironmentChoosesAnAvailableSetAndNothingElse) {
    const char* const saved = std::getenv("SCANNER_CORE_ISA");
    const std::string kept = saved != nullptr ? saved : "";
    unsetenv("SCANNER_CORE_ISA");
    const InstructionSet unset = instruction_set_at_load();
    EXPECT_TRUE(instruction_set_available(unset));
    for (const InstructionSet set : kInstructionSets) {
        setenv("SCANNER_CORE_ISA", instruction_set_name(set), 1);
        EXPECT_EQ(instruction_set_at_load(), instruction_set_available(set) ? set : unset) << instruction_set_name(set);
    }
    for (const char* value : {"avx3", "SSE2", " sse2", ""}) {
        setenv("SCANNER_CORE_ISA", value, 1);
        EXPECT_EQ(instruction_set_at_load(), unset) << "'" << value << "'";
    }
    if (saved != nullptr) {
        setenv("SCANNER_CORE_ISA", kept.c_str(), 1);
    } else {
        unsetenv("SCANNER_CORE_ISA");
    }
}

}  // namespace
}  // namespace scanner_core
