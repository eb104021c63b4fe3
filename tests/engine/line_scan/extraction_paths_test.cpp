// Every instruction set extraction can take finds what the plain one finds,
// whatever the text and however it is cut into pieces, its blocks
// classified here or given with each piece: neither the processor a scan
// runs on nor the stages it shares a piece with may change its results.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "reading/classified_piece.hpp"
#include "line_scan/import_extraction.hpp"
#include "line_scan/import_patterns.hpp"
#include "instruction_sets.hpp"
#include "reference_extraction.hpp"

namespace scanner_core {
namespace {

// A record as text, so that a difference reads at a glance.
std::string described(std::int64_t line, std::int64_t column, bool is_from, bool is_relative,
                      std::string_view module) {
    return std::to_string(line) + "." + std::to_string(column) + (is_relative ? ":r:" : is_from ? ":a:" : ":p:") +
           std::string(module);
}

class Described final : public ImportSink {
public:
    void found(const FoundImport& import) override {
        out.push_back(described(import.line, import.column, import.is_from, import.is_relative, import.module));
    }
    std::vector<std::string> out;
};

// `classified`: each piece comes with its blocks, as a file scan of the full
// verdict gives them, and pieces of whole blocks (as reads are) come often.
std::vector<std::string> extract_through(InstructionSet set, std::string_view text, std::mt19937& cuts,
                                         bool classified = false) {
    testing::ForcedInstructionSet forced(set);
    ImportExtractor extractor;
    PieceClassifier classifier;
    Described sink;
    while (!text.empty()) {
        // Pieces of every size, from one byte to several blocks and chunks.
        std::size_t size = 1 + cuts() % (cuts() % 4 == 0 ? 9000 : 200);
        if (classified && cuts() % 2 == 0) size = 64 * (1 + cuts() % 150);
        size = std::min<std::size_t>(text.size(), size);
        const std::string_view piece = text.substr(0, size);
        if (classified) {
            const ClassifiedPiece blocks = classifier.classify(piece);
            extractor.feed(piece, sink, &blocks);
        } else {
            extractor.feed(piece, sink);
        }
        text.remove_prefix(size);
    }
    extractor.finish(sink);
    return sink.out;
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
                reference.push_back(
                    described(record.line, record.column, record.is_from, record.is_relative, record.module));
            }
            ASSERT_EQ(expected, reference) << "round " << round;
        }
        for (const InstructionSet set : sets) {
            std::mt19937 other_cuts(round + 1000000);
            ASSERT_EQ(extract_through(set, text, other_cuts), expected)
                << instruction_set_name(set) << ", round " << round;
            ASSERT_EQ(extract_through(set, text, other_cuts, true), expected)
                << instruction_set_name(set) << ", classified, round " << round;
        }
    }
}

}  // namespace
}  // namespace scanner_core
