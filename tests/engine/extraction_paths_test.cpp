// Every instruction set extraction can take finds what the plain one finds,
// whatever the text and however it is cut into pieces: the processor a scan
// runs on must not change its results.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "import_extraction.hpp"
#include "import_patterns.hpp"
#include "instruction_sets.hpp"
#include "reference_extraction.hpp"

namespace scanner_core {
namespace {

// The records as text, so that a difference reads at a glance.
std::vector<std::string> extract_through(InstructionSet set, std::string_view text, std::mt19937& cuts) {
    testing::ForcedInstructionSet forced(set);
    ImportExtractor extractor;
    std::vector<RawImport> records;
    while (!text.empty()) {
        // Pieces of every size, from one byte to several blocks and chunks.
        const std::size_t size = std::min<std::size_t>(text.size(), 1 + cuts() % (cuts() % 4 == 0 ? 9000 : 200));
        extractor.feed(text.substr(0, size), records);
        text.remove_prefix(size);
    }
    extractor.finish(records);
    std::vector<std::string> out;
    for (const RawImport& record : records) {
        out.push_back(std::to_string(record.line) + "." + std::to_string(record.column) +
                      (record.is_relative ? ":r:" : record.is_from ? ":a:" : ":p:") + record.module);
    }
    return out;
}

// Texts dense in what the classifiers look at: line feeds, blanks and tabs
// around the keywords' first letters, at every offset within a block.
std::string generated_text(std::mt19937& random) {
    static const char* const kParts[] = {
        "import ", "from ",  "import", "from", " import ", "im", "fr", "i", "f", "m", "r", "os", "a.b", ".", "..",
        " ",       "\t",     "\n",     "\n",   "\r\n",     "\v", ",",  "#", "x", "\0", "\xff", "é", "  ", "\t\t",
        "from . import x\n", "import a.b as c\n", "    from .m import (\n", "imports", "fromage"};
    std::string text;
    const std::size_t parts = random() % 2000;
    for (std::size_t k = 0; k < parts; ++k) {
        const std::string part = kParts[random() % (sizeof kParts / sizeof kParts[0])];
        text += part.empty() ? std::string(1, '\0') : part;
        if (random() % 50 == 0) text.append(random() % 300, random() % 2 == 0 ? ' ' : 'w');
    }
    return text;
}

TEST(ExtractionPaths, EveryAvailableInstructionSetFindsWhatThePlainOneFinds) {
    const std::vector<InstructionSet> sets = testing::available_instruction_sets();
    std::mt19937 random(17);
    for (int round = 0; round < 1500; ++round) {
        const std::string text = generated_text(random);
        std::mt19937 cuts(round);
        const std::vector<std::string> expected = extract_through(InstructionSet::plain, text, cuts);
        if (round % 10 == 0) {  // and the baseline is the patterns' own verdict, line by line
            std::vector<std::string> reference;
            for (const RawImport& record : testing::reference_extract_imports(text)) {
                reference.push_back(std::to_string(record.line) + "." + std::to_string(record.column) +
                                    (record.is_relative ? ":r:" : record.is_from ? ":a:" : ":p:") + record.module);
            }
            ASSERT_EQ(expected, reference) << "round " << round;
        }
        for (const InstructionSet set : sets) {
            std::mt19937 other_cuts(round + 1000000);
            ASSERT_EQ(extract_through(set, text, other_cuts), expected)
                << instruction_set_name(set) << ", round " << round;
        }
    }
}

}  // namespace
}  // namespace scanner_core
