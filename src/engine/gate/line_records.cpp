#include "gate/line_records.hpp"

#include <algorithm>
#include <utility>

#include "line_scan/import_message.hpp"
#include "line_scan/scan_messages.hpp"

namespace scanner_core {
namespace {

// Names up to this long are held once per file, however many records name
// them; a longer one is held by its record (the line scan gathered it).
constexpr std::size_t kLongestShared = 256;

}  // namespace

std::uint32_t LineRecords::module_of(const LineFinding& finding) {
    if (finding.lent != nullptr) {
        modules_.emplace_back();
        modules_.back().lent = *finding.lent;
        return static_cast<std::uint32_t>(modules_.size() - 1);
    }
    if (finding.gathered != nullptr || finding.module.size() > kLongestShared) {
        modules_.emplace_back();
        modules_.back().own = finding.gathered != nullptr ? std::move(*finding.gathered) : std::string(finding.module);
        return static_cast<std::uint32_t>(modules_.size() - 1);
    }
    // Most records name the module of the one before.
    if (!runs_.empty()) {
        const Run& run = runs_.back();
        const std::uint32_t previous = said(run, run.count - 1) >> 1;
        const Module& last = modules_[previous];
        if (last.shared != nullptr && *last.shared == finding.module) return previous;
    }
    const auto [at, added] =
        short_names_.emplace(std::string(finding.module), static_cast<std::uint32_t>(modules_.size()));
    if (added) {
        modules_.emplace_back();
        modules_.back().shared = &at->first;
    }
    return at->second;
}

void LineRecords::found(const LineFinding& finding) {
    const Said word = module_of(finding) << 1 | (finding.verdict == ImportVerdict::forbidden ? 1u : 0u);
    if (!runs_.empty()) {
        Run& last = runs_.back();
        if (last.line + last.count == finding.line && last.column == finding.column) {
            if (last.mixed == kUniform && last.said == word) {
                ++last.count;
                return;
            }
            // Unlike records on consecutive lines: a word each, when the
            // run is one record long or mixed already.
            if (last.mixed == kUniform && last.count == 1) {
                last.mixed = said_.size();
                said_.push_back(last.said);
            }
            if (last.mixed != kUniform) {
                said_.push_back(word);
                ++last.count;
                return;
            }
        }
    }
    runs_.push_back({finding.line, 1, finding.column, word, kUniform});
}

void LineRecords::lines_since(std::vector<std::int64_t>& out) {
    for (; seen_run_ < runs_.size(); ++seen_run_, seen_in_run_ = 0) {
        const Run& run = runs_[seen_run_];
        for (; seen_in_run_ < run.count; ++seen_in_run_) out.push_back(run.line + seen_in_run_);
        if (seen_run_ + 1 == runs_.size()) return;  // the last run may grow yet
    }
}

std::size_t LineRecords::run_at(std::int64_t line) const noexcept {
    const auto after = std::upper_bound(runs_.begin(), runs_.end(), line,
                                        [](std::int64_t value, const Run& run) { return value < run.line; });
    if (after == runs_.begin()) return runs_.size();
    const std::size_t index = static_cast<std::size_t>(after - runs_.begin()) - 1;
    const Run& run = runs_[index];
    return line < run.line + run.count ? index : runs_.size();
}

void LineRecords::pair_with(std::vector<AuditedImport>& imports) {
    paired_ = true;
    using Place = std::pair<std::size_t, std::int64_t>;
    constexpr std::size_t kNone = static_cast<std::size_t>(-1);
    std::vector<Place> twin(imports.size(), {kNone, 0});  // the record of the same module on the import's line
    for (std::size_t k = 0; k < imports.size(); ++k) {
        const AuditedImport& found = imports[k];
        const bool statement = found.kind == AuditedImport::Kind::statement;
        if ((!statement && found.kind != AuditedImport::Kind::dynamic_constant) || found.level != 0) continue;
        const std::size_t run = run_at(found.line);
        if (run == runs_.size()) continue;
        const std::string_view name = found.module();
        const std::string_view module = modules_[said(runs_[run], found.line - runs_[run].line) >> 1].name();
        // A name the record lent is the record's own bytes: nothing to compare.
        const bool same_bytes = name.data() == module.data();
        if (name.size() < module.size() || (!same_bytes && name.compare(0, module.size(), module) != 0)) continue;
        if (name.size() == module.size()) {
            twin[k] = {run, found.line};
            if (statement) standing_.emplace_back(run, found.line);
        } else if (statement && name[module.size()] == '.') {
            standing_.emplace_back(run, found.line);
        }
    }
    std::sort(standing_.begin(), standing_.end());
    standing_.erase(std::unique(standing_.begin(), standing_.end()), standing_.end());
    std::size_t kept = 0;
    for (std::size_t k = 0; k < imports.size(); ++k) {
        if (twin[k].first != kNone && std::binary_search(standing_.begin(), standing_.end(), twin[k])) continue;
        if (kept != k) imports[kept] = std::move(imports[k]);
        ++kept;
    }
    imports.erase(imports.begin() + static_cast<std::ptrdiff_t>(kept), imports.end());
}

void LineRecords::make_findings(std::vector<AuditFinding>& out) {
    // How many findings each module is in, so that a long name is moved
    // into the last one's message rather than copied.
    std::vector<std::uint32_t> uses(modules_.size(), 0);
    const auto each = [&](auto&& visit) {
        if (paired_) {
            for (const auto& [run, line] : standing_) visit(runs_[run], line, said(runs_[run], line - runs_[run].line));
        } else {
            for (const Run& run : runs_) {
                for (std::int64_t k = 0; k < run.count; ++k) visit(run, run.line + k, said(run, k));
            }
        }
    };
    std::size_t count = 0;
    each([&](const Run&, std::int64_t, Said word) {
        ++uses[word >> 1];
        ++count;
    });
    out.reserve(out.size() + count);
    each([&](const Run& run, std::int64_t line, Said word) {
        Module& module = modules_[word >> 1];
        const bool error = (word & 1) != 0;
        AuditFinding made;
        made.rule = error ? AuditRule::forbidden_import : AuditRule::unlisted_import;
        made.line = line;
        made.column = run.column;
        const std::string_view text = error ? kForbiddenImport : kUnlistedImport;
        const bool last = --uses[word >> 1] == 0;
        if (module.shared != nullptr) {
            made.module = *module.shared;
            made.message = import_message(path_, line, text, made.module, nullptr);
        } else {
            // A long name is written once, inside its message, which quotes
            // it whole before the closing quote.
            std::string* room = nullptr;
            if (last && module.lent && module.lent.use_count() == 1) room = module.lent.get();
            if (last && !module.lent) room = &module.own;
            const std::string_view name = module.name();
            made.module_size = name.size();
            made.message = import_message(path_, line, text, name, room);
            made.module_at = made.message.size() - 1 - made.module_size;
            made.module_in_message = true;
        }
        out.push_back(std::move(made));
    });
    runs_.clear();
    runs_.shrink_to_fit();
    said_.clear();
    said_.shrink_to_fit();
    modules_.clear();
    short_names_.clear();
    standing_.clear();
}

}  // namespace scanner_core
