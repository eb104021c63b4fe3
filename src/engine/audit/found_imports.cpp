#include "audit/found_imports.hpp"

#include <functional>
#include <utility>

namespace scanner_core {
namespace {

// Whether the import names a module the policy judges, and so makes a
// finding of the module's verdict; the other kinds make findings of their own.
bool judged_import(const AuditedImport& found) noexcept {
    return found.kind == AuditedImport::Kind::statement || found.kind == AuditedImport::Kind::dynamic_constant;
}

// What tells findings apart besides the name: a statement and a constant
// dynamic import of one module make the same finding.
unsigned finding_kind(const AuditedImport& found) noexcept {
    if (judged_import(found)) return found.level == 0 ? 0u : 1u;
    return 2u + static_cast<unsigned>(found.kind);
}

// A set of a long line's imports is not cleared for the next line (clearing
// walks every bucket): it is made anew.
constexpr std::size_t kBucketsWorthKeeping = 64;

// A name is hashed by its length and at most this many bytes at each end:
// a name of megabytes costs no pass over it, and two names that agree there
// are told apart by the comparison, which a hit makes anyway.
constexpr std::size_t kHashedEnd = 128;

}  // namespace

std::size_t FoundImports::Hash::operator()(std::size_t index) const noexcept {
    const AuditedImport& found = (*kept)[index];
    const std::string_view name = found.module();
    std::size_t hash = std::hash<std::size_t>{}(name.size()) ^ finding_kind(found);
    if (name.size() <= 2 * kHashedEnd) return hash ^ std::hash<std::string_view>{}(name);
    hash ^= std::hash<std::string_view>{}(name.substr(0, kHashedEnd));
    return hash * 31 ^ std::hash<std::string_view>{}(name.substr(name.size() - kHashedEnd));
}

bool FoundImports::Same::operator()(std::size_t a, std::size_t b) const noexcept {
    const AuditedImport& first = (*kept)[a];
    const AuditedImport& second = (*kept)[b];
    return finding_kind(first) == finding_kind(second) && first.level == second.level &&
           first.module() == second.module();
}

FoundImports::FoundImports(const ImportFilter* filter)
    : filter_(filter), on_line_(0, Hash{&kept_}, Same{&kept_}) {}

void FoundImports::add(AuditedImport found) {
    if (filter_ == nullptr) {
        kept_.push_back(std::move(found));
        return;
    }
    if (judged_import(found) && drops(found.module(), found.level)) return;
    if (found.line != line_) {
        if (on_line_.bucket_count() > kBucketsWorthKeeping) {
            on_line_ = OnLine(0, Hash{&kept_}, Same{&kept_});
        } else {
            on_line_.clear();
        }
        line_ = found.line;
    }
    kept_.push_back(std::move(found));
    try {
        if (!on_line_.insert(kept_.size() - 1).second) kept_.pop_back();
    } catch (...) {
        kept_.pop_back();
        throw;
    }
}

bool FoundImports::drops(std::string_view module, std::uint64_t level) const {
    if (filter_ == nullptr) return false;
    if (level > 0) return !filter_->above_root(level) && (module.empty() || !filter_->keeps_local());
    if (module.empty() || module.front() == '.') return true;
    if (filter_->judged(module)) return false;
    return !filter_->keeps_local() || !filter_->own(module);
}

void FoundImports::take(FoundImports& other) {
    for (AuditedImport& found : other.kept_) add(std::move(found));
    other.clear();
}

void FoundImports::clear() noexcept {
    kept_.clear();
    on_line_.clear();
    line_ = -1;
}

}  // namespace scanner_core
