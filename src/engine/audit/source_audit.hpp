// The audit's stage: reads a source file as Python 3.13 reads it when it
// imports it (the encoding it decides, then its tokens and statements),
// from the pieces the line scan gets, and collects every import the file
// holds, wherever it stands.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "audit/found_imports.hpp"
#include "reading/name_loan.hpp"
#include "reading/scan_stage.hpp"

namespace scanner_core {

class TokenSink;

class SourceAudit final : public ScanStage {
public:
    // `skipping`: whether lines that cannot hold an import are passed over
    // without tokens (the fast way, and the default); the findings are the
    // same either way, which tests check. `filter`: which imports are kept
    // (see FoundImports); none keeps all. `observer`: a sink that gets
    // every token in the finder's place (no line is passed over, and no
    // import is found then): the file read as Python reads it, for another
    // reader. Throws std::bad_alloc only.
    explicit SourceAudit(bool skipping = true, const ImportFilter* filter = nullptr, TokenSink* observer = nullptr);
    ~SourceAudit() override;
    SourceAudit(const SourceAudit&) = delete;
    SourceAudit& operator=(const SourceAudit&) = delete;

    void feed(std::string_view piece) override;
    // feed, the skipper reading the piece's blocks where the bytes it
    // passes over lie in the piece (not those of a seam or a conversion).
    void feed_classified(const ClassifiedPiece& piece) override;
    void finish() override;

    // The text is already decoded (by Python's codec, for a codec this
    // reader does not know): UTF-8, read from its first byte, with no
    // byte-order mark or coding declaration to look for. Call before the
    // first feed. Never fails.
    void read_decoded() noexcept;
    // Reads the long names the file's line scan lends to `loan` from it
    // (see name_loan.hpp), where the file is read as its own bytes: its
    // offsets are the file's. Call before the first feed. Never fails.
    void borrow_from(NameLoan* loan) noexcept { loan_ = loan; }
    // Stops reading: the file fails with `reason` (Python's), on `line`
    // (0: the whole file), whatever else it found. Throws std::bad_alloc only.
    void refuse(std::string reason, std::int64_t line);

    // Whether the file was read to its end (false when it could not be opened).
    bool finished() const noexcept { return finished_; }
    // After finish: the imports found, in the order found (none when refused or deferred).
    std::vector<AuditedImport>& imports() noexcept { return imports_.kept(); }
    // Set when the file cannot be read as Python source: why (in Python's
    // words where it has them), and on what line (0: the whole file).
    bool refused() const noexcept { return !refusal_.empty(); }
    const std::string& refusal() const noexcept { return refusal_; }
    std::int64_t refusal_line() const noexcept { return refusal_line_; }
    // Set when the file must be read by Python itself to be judged: the
    // codec Python reads it with (one this reader does not decode, as Python
    // looks it up, or the one it was read with here), and why, in French.
    const std::string& deferred_encoding() const noexcept { return deferred_encoding_; }
    const std::string& deferral() const noexcept { return deferral_; }

private:
    struct Reader;  // the decoder, lexer and finder, held apart from this header

    void take(const char* data, std::size_t size, bool final);
    void lex(const char* data, std::size_t size, bool final);
    void stop(std::string reason, std::int64_t line);

    FoundImports imports_;
    std::unique_ptr<Reader> reader_;
    NameLoan* loan_ = nullptr;
    std::string refusal_;
    std::int64_t refusal_line_ = 0;
    std::string deferred_encoding_;
    std::string deferral_;
    bool stopped_ = false;
    bool nul_ = false;
    bool finished_ = false;
};

}  // namespace scanner_core
