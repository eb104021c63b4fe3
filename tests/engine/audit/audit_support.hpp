// Running the audit's stage over a text in memory, cut into pieces as a
// file read through a small buffer is, and writing down what it decided in
// one comparable value. Shared by the engine tests and the fuzz target that
// hold the fast path to the token-by-token reading.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "reading/classified_piece.hpp"
#include "audit/source_audit.hpp"

namespace scanner_core::testing {

// What the stage decided about a text: the imports found, or why it refused
// the text, or the codec it left to Python.
struct AuditOutcome {
    std::vector<AuditedImport> imports;
    bool refused = false;
    std::string refusal;
    std::int64_t refusal_line = 0;
    std::string deferred_encoding;

    // One line per import, then the refusal or deferral: readable in a
    // failed expectation, and equal exactly when the outcomes are (their
    // columns too with `columns`).
    std::string describe(bool columns = false) const {
        std::ostringstream out;
        for (const AuditedImport& found : imports) {
            static constexpr const char* kKinds[] = {"statement", "constant", "other",     "reference", "code",
                                                     "relative-call", "refused", "unaudited", "reached",
                                                     "graph",         "search-path"};
            out << found.line;
            if (columns) out << ':' << found.column;
            out << ' ' << kKinds[static_cast<int>(found.kind)] << ' ';
            for (std::uint64_t k = 0; k < found.level; ++k) out << '.';
            out << found.module();
            if (!found.via.empty()) out << " via " << found.via;
            out << '\n';
        }
        if (refused) out << "refused at " << refusal_line << ": " << refusal << '\n';
        if (!deferred_encoding.empty()) out << "deferred to " << deferred_encoding << '\n';
        return out.str();
    }
};

// Feeds `text` to a fresh SourceAudit in pieces: `cuts` are the offsets
// where a piece ends (ascending, each within the text); the rest is the
// last piece. Pieces may be empty. `filter` chooses what is kept, as a
// policy does; none keeps every import. `classified`: each piece comes with
// its blocks classified, as a file scan gives them.
inline AuditOutcome audit_text(std::string_view text, bool skipping, const std::vector<std::size_t>& cuts = {},
                               const ImportFilter* filter = nullptr, bool classified = false) {
    SourceAudit stage(skipping, filter);
    PieceClassifier classifier;
    const auto feed = [&](std::string_view piece) {
        if (classified) {
            stage.feed_classified(classifier.classify(piece));
        } else {
            stage.feed(piece);
        }
    };
    std::size_t from = 0;
    for (const std::size_t cut : cuts) {
        feed(text.substr(from, cut - from));
        from = cut;
    }
    feed(text.substr(from));
    stage.finish();
    AuditOutcome outcome;
    outcome.imports = std::move(stage.imports());
    outcome.refused = stage.refused();
    outcome.refusal = stage.refusal();
    outcome.refusal_line = stage.refusal_line();
    outcome.deferred_encoding = stage.deferred_encoding();
    return outcome;
}

}  // namespace scanner_core::testing
