#include "gate/full_scan.hpp"
#include "gate/local_lookup.hpp"

#include <algorithm>
#include <charconv>
#include <optional>
#include <stdexcept>
#include <system_error>
#include <utility>

#include "audit/private_twins.hpp"
#include "audit/source_audit.hpp"
#include "gate/source_verdict.hpp"
#include "lexical/python_unicode.hpp"
#include "reading/file_scan.hpp"
#include "reading/source_tree.hpp"
#include "scan/parallel_scan.hpp"

namespace scanner_core {
namespace {

constexpr std::string_view kHiddenForbidden = "import caché interdit — '";
constexpr std::string_view kHiddenUnlisted = "import caché non whitelisté — '";
constexpr std::string_view kDynamic = "import dynamique non constant — '";
constexpr std::string_view kRefused = "fichier refusé par le parseur Python (";
constexpr std::string_view kDeferred = "fichier non audité par le moteur, à lire par Python (";
constexpr std::string_view kReference = "référence à un importeur hors d'un appel — '";
constexpr std::string_view kDynamicCode = "code dynamique non constant — '";
constexpr std::string_view kRefusedCode = "code dynamique refusé par Python, qui ne l'exécutera pas";
constexpr std::string_view kUnauditedCode = "code dynamique non audité (";
constexpr std::string_view kRelativeDynamic = "import dynamique relatif sans ancre constante — '";
constexpr std::string_view kAboveRoot = "import relatif hors de l'arbre — '";
constexpr std::string_view kReached = "module interdit atteint par une chaîne de noms — '";
constexpr std::string_view kObjectGraph = "accès au graphe des objets de l'interpréteur — '";
constexpr std::string_view kSearchPath = "chemins de recherche des imports modifiés — '";

// A relative name as written: its dots, then the module. A level too high
// to write out is given as a count.
std::string relative_name(std::uint64_t level, std::string_view module) {
    constexpr std::uint64_t kMostDots = 64;
    std::string name = level <= kMostDots ? std::string(level, '.') : "<" + std::to_string(level) + " points>";
    return name.append(module);
}

// What a problem of the gate's walk says about its entry.
constexpr std::string_view kExtensionModule = "module d'extension compilé, que Python importe sans source à lire";
constexpr std::string_view kCompiledBytecode = "bytecode compilé, que Python peut exécuter au lieu de la source";
constexpr std::string_view kPathConfiguration =
    "fichier .pth, dont les lignes import s'exécutent au démarrage de Python";
constexpr std::string_view kUnreadArchive = "archive non lue (wheel, zip, zipapp, egg ou sdist)";
constexpr std::string_view kUnreadEntryPoints = "points d'entrée non lus (entry_points.txt ou pyproject.toml)";
constexpr std::string_view kDanglingLink = "lien vers un fichier absent";
constexpr std::string_view kNotARegularFile = "ni fichier ordinaire ni répertoire";
constexpr std::string_view kLinkLoop = "boucle de liens";
constexpr std::string_view kUnreadableEntry = "entrée illisible";

// "<path>:<line>: " or, for the whole file, "<path>: ".
std::string message_head(const std::string& path, std::int64_t line) {
    std::string head = path;
    if (line > 0) {
        char digits[24];
        const std::to_chars_result end = std::to_chars(std::begin(digits), std::end(digits), line);
        head.append(":").append(digits, end.ptr);
    }
    head.append(": ");
    return head;
}

AuditFinding finding(AuditRule rule, const std::string& path, std::int64_t line, std::string module,
                     std::string_view text, std::string_view detail, std::string_view close) {
    std::string message = message_head(path, line);
    message.append(text);
    unicode::append_printable(detail, message);
    message.append(close);
    return {rule, line, std::move(module), std::move(message), 0};
}

using Reported = FullScanner::Reported;

// The directories between `root` and the directory of `path`, a path the
// walk composed below `root`.
int depth_below(std::string_view root, std::string_view path) noexcept {
    if (path.substr(0, root.size()) == root) path.remove_prefix(root.size());
    int depth = 0;
    bool separator = true;  // separators before the first name are the root's
    for (const char c : path) {
        if (c == '/') {
            if (!separator) ++depth;
            separator = true;
        } else {
            separator = false;
        }
    }
    return depth;
}

bool was_reported(const Reported& reported, std::int64_t line, std::string_view module) {
    return std::binary_search(reported.begin(), reported.end(), std::make_pair(line, module));
}

}  // namespace

bool was_unread(const FullResult& result) noexcept {
    for (const std::vector<AuditFinding>* list : {&result.scan_findings, &result.findings}) {
        for (const AuditFinding& finding : *list) {
            switch (finding.rule) {
                case AuditRule::unreadable_file:
                case AuditRule::unread_archive:
                case AuditRule::unread_entry_points:
                case AuditRule::dangling_link:
                case AuditRule::not_a_regular_file:
                case AuditRule::link_loop:
                case AuditRule::unreadable_entry:
                case AuditRule::archive_bound_exceeded:
                case AuditRule::unreadable_archive:
                case AuditRule::nothing_judged: return true;
                default: break;
            }
        }
    }
    return false;
}

std::vector<std::int64_t> finding_lines(const FullResult& result) {
    std::vector<std::int64_t> lines;
    for (const std::vector<AuditFinding>* list : {&result.scan_findings, &result.findings}) {
        for (const AuditFinding& finding : *list) {
            if (finding.line > 0) lines.push_back(finding.line);
        }
    }
    std::sort(lines.begin(), lines.end());
    lines.erase(std::unique(lines.begin(), lines.end()), lines.end());
    return lines;
}

std::string_view rule_id(AuditRule rule) noexcept {
    switch (rule) {
        case AuditRule::hidden_forbidden_import: return "hidden-forbidden-import";
        case AuditRule::hidden_unlisted_import: return "hidden-unlisted-import";
        case AuditRule::non_constant_dynamic_import: return "non-constant-dynamic-import";
        case AuditRule::importer_reference: return "importer-reference";
        case AuditRule::dynamic_code: return "dynamic-code";
        case AuditRule::relative_dynamic_import: return "relative-dynamic-import";
        case AuditRule::relative_import_above_root: return "relative-import-above-root";
        case AuditRule::forbidden_module_reached: return "forbidden-module-reached";
        case AuditRule::object_graph: return "object-graph";
        case AuditRule::search_path: return "search-path";
        case AuditRule::forbidden_attribute_use: return "forbidden-attribute-use";
        case AuditRule::type_checking_import: return "type-checking-import";
        case AuditRule::type_checking_changed: return "type-checking-changed";
        case AuditRule::missing_local_module: return "missing-local-module";
        case AuditRule::extension_module: return "extension-module";
        case AuditRule::compiled_bytecode: return "compiled-bytecode";
        case AuditRule::path_configuration_file: return "path-configuration-file";
        case AuditRule::unread_archive: return "unread-archive";
        case AuditRule::unread_entry_points: return "unread-entry-points";
        case AuditRule::invalid_entry_point: return "invalid-entry-point";
        case AuditRule::ambiguous_archive: return "ambiguous-archive";
        case AuditRule::unsafe_archive_member: return "unsafe-archive-member";
        case AuditRule::wheel_record_mismatch: return "wheel-record-mismatch";
        case AuditRule::archive_bound_exceeded: return "archive-bound-exceeded";
        case AuditRule::unreadable_archive: return "unreadable-archive";
        case AuditRule::nothing_judged: return "nothing-judged";
        case AuditRule::dangling_link: return "dangling-link";
        case AuditRule::not_a_regular_file: return "not-a-regular-file";
        case AuditRule::link_loop: return "link-loop";
        case AuditRule::unreadable_entry: return "unreadable-entry";
        case AuditRule::forbidden_import: return "forbidden-import";
        case AuditRule::unlisted_import: return "unlisted-import";
        case AuditRule::unreadable_file: return "unreadable-file";
        case AuditRule::other_scan_error: return "other-scan-error";
        case AuditRule::other_scan_warning: return "other-scan-warning";
        case AuditRule::unaudited_file: break;
    }
    return "unaudited-file";
}

std::vector<AuditRule> all_rules() {
    std::vector<AuditRule> rules;
    for (int rule = 0; rule <= static_cast<int>(AuditRule::nothing_judged); ++rule) {
        rules.push_back(static_cast<AuditRule>(rule));
    }
    return rules;
}

std::optional<AuditRule> rule_with_id(std::string_view id) {
    for (const AuditRule rule : all_rules()) {
        if (rule_id(rule) == id) return rule;
    }
    return std::nullopt;
}

bool climbs_above_root(std::uint64_t level, int depth) noexcept {
    return level > static_cast<std::uint64_t>(depth < 0 ? 0 : depth) + 1;
}

bool is_error(AuditRule rule) noexcept {
    return rule != AuditRule::unlisted_import && rule != AuditRule::other_scan_warning &&
           rule != AuditRule::hidden_unlisted_import && rule != AuditRule::non_constant_dynamic_import &&
           rule != AuditRule::importer_reference &&
           rule != AuditRule::dynamic_code && rule != AuditRule::relative_dynamic_import &&
           rule != AuditRule::object_graph && rule != AuditRule::search_path &&
           rule != AuditRule::type_checking_import && rule != AuditRule::missing_local_module;
}

namespace {

// The rule of a problem of the gate's walk, and what its message says.
std::pair<AuditRule, std::string_view> rule_of(EntryProblem problem) noexcept {
    switch (problem) {
        case EntryProblem::extension_module: return {AuditRule::extension_module, kExtensionModule};
        case EntryProblem::compiled_bytecode: return {AuditRule::compiled_bytecode, kCompiledBytecode};
        case EntryProblem::path_configuration: return {AuditRule::path_configuration_file, kPathConfiguration};
        case EntryProblem::archive: return {AuditRule::unread_archive, kUnreadArchive};
        case EntryProblem::entry_points: return {AuditRule::unread_entry_points, kUnreadEntryPoints};
        case EntryProblem::dangling_link: return {AuditRule::dangling_link, kDanglingLink};
        case EntryProblem::not_a_regular_file: return {AuditRule::not_a_regular_file, kNotARegularFile};
        case EntryProblem::link_loop: return {AuditRule::link_loop, kLinkLoop};
        case EntryProblem::unreadable_entry: break;
    }
    return {AuditRule::unreadable_entry, kUnreadableEntry};
}

// The record of one problem of the gate's walk.
FullResult problem_result(const TreeProblem& problem) {
    const auto [rule, text] = rule_of(problem.problem);
    FullResult result;
    result.scan.filepath = std::string(problem.path);
    std::string reason;
    if (problem.error != 0) reason = " (" + std::generic_category().message(problem.error) + ")";
    result.findings.push_back(finding(rule, result.scan.filepath, 0, {}, text, {}, reason));
    result.passed = !is_error(rule);
    result.entry = true;
    result.identity = problem.identity;
    return result;
}

}  // namespace

std::optional<FullResult> judge_by_name(const std::string& filepath) {
    const std::size_t slash = filepath.rfind('/');
    const std::string_view name = std::string_view(filepath).substr(slash == std::string::npos ? 0 : slash + 1);
    std::string_view directory = std::string_view(filepath).substr(0, slash == std::string::npos ? 0 : slash);
    while (!directory.empty() && directory.back() == '/') directory.remove_suffix(1);
    directory.remove_prefix(directory.rfind('/') + 1);
    const std::optional<EntryProblem> problem = problem_of_file(directory, name);
    if (!problem) return std::nullopt;
    return problem_result(TreeProblem{*problem, filepath, 0, {}});
}

FullScanner::FullScanner(std::unordered_set<std::string> forbidden, std::unordered_set<std::string> allowed_exact,
                         std::vector<std::string> allowed_prefixes, std::vector<HoldingRow> holdings,
                         const std::vector<std::string>& allowed_attributes, std::string_view type_checking,
                         bool local_imports)
    : classifier_(with_private_twins(std::move(forbidden)), std::move(allowed_exact), std::move(allowed_prefixes)),
      holdings_(std::move(holdings)),
      keeps_local_(local_imports) {
    if (type_checking == "warning") {
        precision_.type_checking = TypeChecking::warning;
    } else if (type_checking == "ignore") {
        precision_.type_checking = TypeChecking::ignore;
    } else if (type_checking != "error") {
        throw std::invalid_argument("type_checking must be \"error\", \"warning\" or \"ignore\"");
    }
    // Only the attributes of a module the policy forbids restrict anything.
    for (const std::string& chain : allowed_attributes) {
        const std::string root = chain.substr(0, chain.find('.'));
        if (root.empty() || !forbidden_module(classifier_, root)) continue;
        auto at = std::find_if(precision_.allowed_attributes.begin(), precision_.allowed_attributes.end(),
                               [&](const auto& entry) { return entry.first == root; });
        if (at == precision_.allowed_attributes.end()) {
            precision_.allowed_attributes.emplace_back(root, std::vector<std::string>{});
            at = precision_.allowed_attributes.end() - 1;
        }
        at->second.push_back(chain);
    }
}

void add_findings(FullResult& result, std::vector<AuditFinding> added) {
    std::vector<std::int64_t> lines;
    result.findings.reserve(result.findings.size() + added.size());
    for (AuditFinding& made : added) {
        if (is_error(made.rule)) result.passed = false;
        if (result.digested && made.line > 0) lines.push_back(made.line);
        result.findings.push_back(std::move(made));
    }
    std::stable_sort(result.findings.begin(), result.findings.end(),
                     [](const AuditFinding& a, const AuditFinding& b) { return a.line < b.line; });
    if (lines.empty()) return;
    std::sort(lines.begin(), lines.end());
    lines.erase(std::unique(lines.begin(), lines.end()), lines.end());
    const auto held = [&](std::int64_t line) {
        const auto at = std::lower_bound(result.line_digests.begin(), result.line_digests.end(), line,
                                         [](const LineDigest& digest, std::int64_t wanted) { return digest.line < wanted; });
        return at != result.line_digests.end() && at->line == line;
    };
    lines.erase(std::remove_if(lines.begin(), lines.end(), held), lines.end());
    if (lines.empty()) return;
    std::vector<LineDigest> more = line_digests(result.scan.filepath, lines);
    const auto by_line = [](const LineDigest& a, const LineDigest& b) { return a.line < b.line; };
    const std::size_t before = result.line_digests.size();
    result.line_digests.insert(result.line_digests.end(), std::make_move_iterator(more.begin()),
                               std::make_move_iterator(more.end()));
    std::inplace_merge(result.line_digests.begin(), result.line_digests.begin() + static_cast<std::ptrdiff_t>(before),
                       result.line_digests.end(), by_line);
}

AuditFinding rule_finding(AuditRule rule, const std::string& path, std::int64_t line, std::string module,
                          std::string_view text, std::string_view detail, std::string_view close) {
    return finding(rule, path, line, std::move(module), text, detail, close);
}

FullResult FullScanner::scan_file(const std::string& filepath, const std::unordered_set<std::string>& local_modules,
                                  bool audit, int depth, bool digests) const {
    ScanWorker worker;
    return scan_source(SourceLocation{filepath}, local_modules, worker, OpenMode::any, audit, depth, digests);
}

std::vector<FullResult> FullScanner::scan_directory(const std::string& src_dir,
                                                    const std::unordered_set<std::string>& local_modules,
                                                    unsigned int num_threads, bool audit) const {
    const SourceTree files = walk_sources(src_dir);
    if (files.empty()) return {};
    const std::size_t thread_count = worker_count(num_threads, files.size());
    return scan_in_parallel(files, thread_count, [&](const SourceLocation& where, ScanWorker& worker) {
        return scan_source(where, local_modules, worker, OpenMode::regular_only, audit,
                           depth_below(src_dir, where.path));
    });
}

std::vector<FullResult> FullScanner::scan_tree(const std::string& src_dir,
                                               const std::unordered_set<std::string>& local_modules,
                                               unsigned int num_threads, bool audit, bool digests,
                                               const LocalTree* local) const {
    const SourceTree files = walk_gate(src_dir);
    std::vector<FullResult> results;
    if (!files.empty()) {
        const std::size_t thread_count = worker_count(num_threads, files.size());
        std::optional<LocalLookup> lookup;
        if (local != nullptr) lookup.emplace(src_dir, *local);
        results.resize(files.size());
        run_in_parallel(files.size(), thread_count, WorkIndex([&](std::size_t index, ScanWorker& worker) {
                            results[index] = scan_walked(files, index, local_modules, worker, audit, digests,
                                                         lookup ? &*lookup : nullptr);
                        }));
    }
    results.reserve(results.size() + files.problem_count());
    for (std::size_t index = 0; index < files.problem_count(); ++index) {
        results.push_back(walk_problem_result(files.problem(index), digests));
    }
    return results;
}

std::vector<AuditFinding> FullScanner::judge(SourceAudit& stage, const std::string& filepath,
                                             const Reported& reported,
                                             const std::unordered_set<std::string>& local_modules, int depth,
                                             VerdictMemo* memo) const {
    std::vector<AuditFinding> findings;
    if (!stage.deferred_encoding().empty()) {
        findings.push_back(finding(AuditRule::unaudited_file, filepath, 0, {}, kDeferred, stage.deferral(), ")"));
    } else if (stage.refused()) {
        findings.push_back(
            finding(AuditRule::unaudited_file, filepath, stage.refusal_line(), {}, kRefused, stage.refusal(), ")"));
    } else {
        for (AuditedImport& found : stage.imports()) {
            AuditRule rule = AuditRule::non_constant_dynamic_import;
            std::string_view text = kDynamic;
            std::string_view close = "'";
            using Kind = AuditedImport::Kind;
            const bool judged = found.kind == Kind::statement || found.kind == Kind::dynamic_constant;
            if (found.kind == Kind::local_name) continue;  // the caller's (local_imports.hpp)
            if (judged && found.level > 0) {
                if (!climbs_above_root(found.level, depth)) continue;
                rule = AuditRule::relative_import_above_root;
                text = kAboveRoot;
                found.name = relative_name(found.level, found.module());
                found.lent.reset();
            } else if (found.kind == Kind::importer_reference) {
                rule = AuditRule::importer_reference;
                text = kReference;
            } else if (found.kind == Kind::dynamic_code || found.kind == Kind::refused_code) {
                rule = AuditRule::dynamic_code;
                text = found.kind == Kind::dynamic_code ? kDynamicCode : kRefusedCode;
                if (found.kind == Kind::refused_code) close = "";
            } else if (found.kind == Kind::object_graph) {
                rule = AuditRule::object_graph;
                text = kObjectGraph;
            } else if (found.kind == Kind::search_path) {
                rule = AuditRule::search_path;
                text = kSearchPath;
            } else if (found.kind == Kind::relative_dynamic) {
                rule = AuditRule::relative_dynamic_import;
                text = kRelativeDynamic;
            } else if (found.kind == Kind::unaudited_code) {
                rule = AuditRule::unaudited_file;
                text = kUnauditedCode;
                close = ")";
            } else if (found.kind == Kind::reached) {
                // Judged as an import of the module reached, whatever the plugin's own modules are called.
                if (!forbidden_module(classifier_, found.name)) continue;
                AuditFinding made = finding(AuditRule::forbidden_module_reached, filepath, found.line, {}, kReached,
                                            {}, {});
                made.column = found.column;
                unicode::append_printable(found.via, made.message);
                made.message.append(" → ");
                unicode::append_printable(found.name, made.message);
                made.message.append("'");
                made.module = std::move(found.name);
                findings.push_back(std::move(made));
                continue;
            } else if (found.kind != Kind::dynamic_other) {
                const std::string_view module = found.module();
                if (module.empty() || module.front() == '.') continue;
                // What the line scan reported is left out before it is judged:
                // the verdict would be the one the record already holds.
                if (was_reported(reported, found.line, module)) continue;
                const ImportVerdict verdict = memo != nullptr ? classifier_.judge(module, local_modules, *memo)
                                                              : classifier_.verdict_on(std::string(module), local_modules);
                if (verdict == ImportVerdict::silent) continue;
                const bool forbidden = verdict == ImportVerdict::forbidden;
                rule = forbidden ? AuditRule::hidden_forbidden_import : AuditRule::hidden_unlisted_import;
                text = forbidden ? kHiddenForbidden : kHiddenUnlisted;
            }
            // A lent name is copied, once, into the finding that names it.
            std::string name = found.lent ? std::string(found.module()) : std::move(found.name);
            AuditFinding made = finding(rule, filepath, found.line, std::move(name), text, {}, {});
            made.column = found.column;
            unicode::append_printable(made.module, made.message);
            made.message.append(close);
            if (rule == AuditRule::unaudited_file) made.module.clear();  // the text was why, not a module
            findings.push_back(std::move(made));
        }
        // In line order, and one finding per line, rule and module: the
        // first, where a line repeats an import. Sorted, not compared pair
        // by pair: a line may hold a million imports.
        std::stable_sort(findings.begin(), findings.end(),
                         [](const AuditFinding& a, const AuditFinding& b) { return a.line < b.line; });
        std::vector<std::size_t> order(findings.size());
        for (std::size_t k = 0; k < order.size(); ++k) order[k] = k;
        const auto same_finding = [&findings](std::size_t a, std::size_t b) {
            return findings[a].line == findings[b].line && findings[a].rule == findings[b].rule &&
                   findings[a].module_view() == findings[b].module_view();
        };
        std::stable_sort(order.begin(), order.end(), [&findings](std::size_t a, std::size_t b) {
            const AuditFinding& x = findings[a];
            const AuditFinding& y = findings[b];
            if (x.line != y.line) return x.line < y.line;
            if (x.rule != y.rule) return x.rule < y.rule;
            return x.module_view() < y.module_view();
        });
        std::vector<char> repeated(findings.size(), 0);
        for (std::size_t k = 1; k < order.size(); ++k) {
            if (same_finding(order[k - 1], order[k])) repeated[order[k]] = 1;
        }
        std::size_t kept = 0;
        for (std::size_t k = 0; k < findings.size(); ++k) {
            if (repeated[k] != 0) continue;
            if (kept != k) findings[kept] = std::move(findings[k]);
            ++kept;
        }
        findings.erase(findings.begin() + static_cast<std::ptrdiff_t>(kept), findings.end());
    }
    return findings;
}

FullResult FullScanner::scan_walked(const SourceTree& files, std::size_t index,
                                    const std::unordered_set<std::string>& local_modules, ScanWorker& worker,
                                    bool audit, bool digests, LocalLookup* lookup) const {
    const SourceLocation where = files.location(index);
    FullResult result = scan_source(where, local_modules, worker, OpenMode::regular_only, audit, where.depth, digests);
    result.identity = files.identity(index);
    if (lookup != nullptr && !result.local_imports.empty()) {
        std::vector<AuditFinding> missing = lookup->findings(result.scan.filepath, result.local_imports);
        result.local_imports = {};
        if (!missing.empty()) add_findings(result, std::move(missing));
    }
    return result;
}

FullResult walk_problem_result(const TreeProblem& problem, bool digests) {
    FullResult result = problem_result(problem);
    result.digested = digests;
    return result;
}

FullResult FullScanner::scan_source(const SourceLocation& where, const std::unordered_set<std::string>& local_modules,
                                    ScanWorker& worker, OpenMode mode, bool audit, int depth, bool digests) const {
    SourceVerdict verdict(*this, std::string(where.path), local_modules, worker, audit, depth, digests, true);
    PieceClassifier* blocks = verdict.classified() ? &worker.blocks : nullptr;
    return scan_pieces(where, mode, worker.reader, {&verdict}, blocks) ? verdict.result() : verdict.unopened();
}

}  // namespace scanner_core
