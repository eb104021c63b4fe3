#include "audit/source_audit.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

#include "audit/import_finder.hpp"
#include "audit/python_lexer.hpp"
#include "lexical/source_encoding.hpp"

namespace scanner_core {
namespace {

constexpr char kByteOrderMark[] = "\xef\xbb\xbf";
// How many bytes that follow the held-back ones are joined with them.
constexpr std::size_t kSeam = 64;
// ISO-8859-1 is turned into UTF-8 this many bytes at a time.
constexpr std::size_t kLatin1Chunk = 16 * 1024;

}  // namespace

struct SourceAudit::Reader {
    Reader(FoundImports& found, TokenSink* observer)
        : finder(observer == nullptr ? std::make_unique<ImportFinder>(found) : nullptr),
          lexer(observer != nullptr ? *observer : static_cast<TokenSink&>(*finder)) {}

    // None when an observer takes the tokens: a finder costs its frames to make.
    std::unique_ptr<ImportFinder> finder;
    PythonLexer lexer;
    CodingDeclaration coding;
    // The first bytes, until they show whether a byte-order mark begins the text.
    char start[3] = {};
    std::size_t start_size = 0;
    bool started = false;
    // Bytes the lexer holds back, and room for those that follow them.
    char seam[PythonLexer::kMaxHeldBack + kSeam] = {};
    std::size_t held = 0;
    std::string utf8;  // the ISO-8859-1 text of a chunk, as UTF-8
};

SourceAudit::SourceAudit(bool skipping, const ImportFilter* filter, TokenSink* observer)
    : imports_(filter), reader_(std::make_unique<Reader>(imports_, observer)) {
    reader_->lexer.set_skipping(skipping);
}

SourceAudit::~SourceAudit() = default;

void SourceAudit::stop(std::string reason, std::int64_t line) {
    if (stopped_) return;
    stopped_ = true;
    refusal_ = std::move(reason);
    refusal_line_ = line;
    imports_.clear();
}

void SourceAudit::read_decoded() noexcept {
    reader_->lexer.set_decoded(true);
    reader_->started = true;
    reader_->coding.end();  // nothing seen yet: UTF-8
}

void SourceAudit::refuse(std::string reason, std::int64_t line) {
    // The caller's reason comes first: Python decodes a whole file before
    // it reads any of it.
    deferred_encoding_.clear();
    deferral_.clear();
    stopped_ = false;
    stop(std::move(reason), line);
}

void SourceAudit::feed(std::string_view piece) {
    if (piece.empty() || nul_) return;
    // Python refuses a source with a NUL byte anywhere, before it decodes or
    // reads anything else: that is its reason, even after another one.
    if (std::memchr(piece.data(), '\0', piece.size()) != nullptr) {
        nul_ = true;
        deferred_encoding_.clear();
        deferral_.clear();
        stopped_ = false;
        stop("source code string cannot contain null bytes", 0);
        return;
    }
    if (stopped_) return;
    Reader& r = *reader_;
    const char* data = piece.data();
    std::size_t size = piece.size();
    if (!r.started && r.start_size == 0 && size >= 3) {
        r.started = true;
        const bool mark = std::memcmp(data, kByteOrderMark, 3) == 0;
        r.lexer.borrow_from(loan_, mark ? 3 : 0);
        if (mark) {
            r.coding.after_byte_order_mark();
            data += 3;
            size -= 3;
        }
    }
    if (!r.started) {
        // A first piece shorter than a byte-order mark: gather up to three
        // bytes, to tell one from text.
        while (size > 0 && r.start_size < 3) {
            const char byte = *data++;
            --size;
            r.start[r.start_size] = byte;
            const bool same = byte == kByteOrderMark[r.start_size];
            ++r.start_size;
            if (!same) break;
        }
        const bool mark = std::memcmp(r.start, kByteOrderMark, r.start_size) == 0;
        if (mark && r.start_size < 3) return;  // still the beginning of a mark
        r.started = true;
        r.lexer.borrow_from(loan_, mark ? 3 : 0);
        if (mark) {
            r.coding.after_byte_order_mark();
        } else {
            take(r.start, r.start_size, false);
        }
    }
    take(data, size, false);
}

void SourceAudit::feed_classified(const ClassifiedPiece& piece) {
    // Unset however the feed ends: the piece lasts for this call only.
    struct Unset {
        PythonLexer& lexer;
        ~Unset() { lexer.set_blocks(nullptr); }
    } unset{reader_->lexer};
    reader_->lexer.set_blocks(&piece);
    feed(piece.text);
}

void SourceAudit::finish() {
    finished_ = true;
    if (stopped_) return;
    Reader& r = *reader_;
    if (!r.started) {  // a text that is the beginning of a byte-order mark
        r.started = true;
        take(r.start, r.start_size, false);
    }
    take(nullptr, 0, true);
    if (stopped_) return;
    r.lexer.finish();
    if (r.lexer.refused()) {
        stop(r.lexer.reason(), r.lexer.refusal_line());
    } else if (r.finder != nullptr && r.finder->unjudgeable()) {
        // Python reads it in the encoding it was read in here, a byte-order
        // mark dropped as Python drops it (plain UTF-8 would keep it as a
        // character that Python's own reading never sees).
        deferral_ = r.finder->unjudgeable_reason();
        deferred_encoding_ = r.coding.result() == CodingDeclaration::Result::latin1 ? "iso-8859-1"
                             : r.coding.byte_order_mark()                             ? "utf-8-sig"
                                                                                      : "utf-8";
        imports_.clear();
    }
}

void SourceAudit::take(const char* data, std::size_t size, bool final) {
    Reader& r = *reader_;
    if (r.coding.result() == CodingDeclaration::Result::undecided) {
        const std::size_t looked = r.coding.scan(data, size);
        if (final) r.coding.end();
        // What came before the decision is blank lines and comments, which
        // read the same whatever the encoding.
        lex(data, looked, final && looked == size);
        data += looked;
        size -= looked;
        if (stopped_) return;
        switch (r.coding.result()) {
            case CodingDeclaration::Result::undecided: return;
            case CodingDeclaration::Result::other:
                deferred_encoding_ = r.coding.name();
                deferral_ = "codage " + deferred_encoding_;
                stopped_ = true;
                imports_.clear();
                return;
            case CodingDeclaration::Result::bad_bom:
                stop("encoding problem: " + r.coding.name() + " with BOM", 0);
                return;
            default: break;
        }
    }
    if (r.coding.result() != CodingDeclaration::Result::latin1) {
        lex(data, size, final);
        return;
    }
    // Each byte of ISO-8859-1 is the code point of the same value: the
    // text lexed is no longer the file's bytes, which the loan counts.
    r.lexer.borrow_from(nullptr, 0);
    do {
        const std::size_t chunk = std::min(size, kLatin1Chunk);
        r.utf8.clear();
        for (std::size_t i = 0; i < chunk; ++i) {
            const auto byte = static_cast<unsigned char>(data[i]);
            if (byte < 0x80) {
                r.utf8.push_back(static_cast<char>(byte));
            } else {
                r.utf8.push_back(static_cast<char>(0xc0 | (byte >> 6)));
                r.utf8.push_back(static_cast<char>(0x80 | (byte & 0x3f)));
            }
        }
        data += chunk;
        size -= chunk;
        lex(r.utf8.data(), r.utf8.size(), final && size == 0);
    } while (size > 0 && !stopped_);
}

void SourceAudit::lex(const char* data, std::size_t size, bool final) {
    Reader& r = *reader_;
    if (r.held > 0) {
        // The held-back bytes and enough of what follows them to decide.
        const std::size_t extra = std::min(size, kSeam);
        if (extra > 0) std::memcpy(r.seam + r.held, data, extra);
        const std::size_t joined = r.held + extra;
        const std::size_t used = r.lexer.lex(r.seam, joined, final && extra == size);
        if (used < r.held) {  // only when everything that followed fit in the seam
            std::memmove(r.seam, r.seam + used, joined - used);
            r.held = joined - used;
            if (r.lexer.refused()) stop(r.lexer.reason(), r.lexer.refusal_line());
            return;
        }
        const std::size_t past = used - r.held;
        r.held = 0;
        data += past;
        size -= past;
    }
    const std::size_t used = r.lexer.lex(data, size, final);
    r.held = size - used;
    if (r.held > 0) std::memcpy(r.seam, data + used, r.held);
    if (r.lexer.refused()) stop(r.lexer.reason(), r.lexer.refusal_line());
}

}  // namespace scanner_core
