#include "gate/finding_places.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>

#include "audit/finding_context.hpp"
#include "audit/found_imports.hpp"
#include "audit/private_twins.hpp"
#include "audit/source_audit.hpp"
#include "policy/module_holdings.hpp"

namespace scanner_core {
namespace {

// Small pieces: the reading stops at the first piece past what it needs,
// most often the imports at the top of a file.
constexpr std::size_t kPiece = std::size_t{8} << 10;
constexpr std::string_view kAttributeUse = "usage d'un module interdit hors des attributs permis — '";
constexpr std::string_view kTypeCheckingChanged =
    "TYPE_CHECKING modifiable par ce fichier, dont la politique dépend — '";

// Chains of attributes through the table of what modules hold.
class HoldingsCheck final : public ChainCheck {
public:
    explicit HoldingsCheck(const FullScanner& scanner) : scanner_(scanner) {}

    bool escapes(std::string_view chain, std::string_view allowed, bool bare) const override {
        if (graph_step(chain, allowed)) return true;
        std::size_t at = chain.find('.');
        std::string current(chain.substr(0, at));
        bool module = true;  // `current` is the module the chain has reached
        while (at != std::string_view::npos) {
            const std::size_t next = chain.find('.', at + 1);
            const std::string_view attribute =
                chain.substr(at + 1, next == std::string_view::npos ? std::string_view::npos : next - at - 1);
            const bool past = at >= allowed.size();  // a step beyond the allowed chain
            const Holding* held = scanner_.holdings().holding_of(current, attribute);
            if (held == nullptr) {  // the module's own object, or what the table does not know
                module = false;
                break;
            }
            if (past && forbidden_module(scanner_.classifier(), held->target) &&
                (held->is_module || !own_object(chain.substr(0, chain.find('.')), held->target))) {
                return true;
            }
            if (!held->is_module) {
                module = false;
                break;
            }
            current = std::string(held->target);
            at = next;
        }
        // An allowed module passed on whole may be taken on to a forbidden one.
        return bare && module && chain.size() > chain.find('.') && scanner_.reaching().reaches(current);
    }

private:
    // Whether a step below the allowed chain reaches into the object graph:
    // `os.path.join.__globals__` holds posixpath's globals, `os` among them.
    // Only the dunders that are plain strings are no way back.
    static bool graph_step(std::string_view chain, std::string_view allowed) {
        std::size_t at = chain.find('.', allowed.size() < chain.size() ? allowed.size() : chain.size());
        while (at != std::string_view::npos) {
            const std::size_t next = chain.find('.', at + 1);
            const std::string_view step =
                chain.substr(at + 1, next == std::string_view::npos ? std::string_view::npos : next - at - 1);
            if (step.size() > 4 && step.substr(0, 2) == "__" && step.substr(step.size() - 2) == "__" &&
                step != "__name__" && step != "__qualname__" && step != "__doc__" && step != "__module__") {
                return true;
            }
            at = next;
        }
        return false;
    }

    // Whether an object that `defined` made belongs to the forbidden module
    // `root` itself: `os.path.normpath` is posix's function, and the policy
    // that allows `os.path` allows what it holds. A module reached that way,
    // or another forbidden module's object, is no part of it.
    static bool own_object(std::string_view root, std::string_view defined) {
        const std::string_view defined_root = defined.substr(0, defined.find('.'));
        if (defined_root == root) return true;
        const std::vector<std::string_view> twins = private_twins(root);
        return std::find(twins.begin(), twins.end(), defined_root) != twins.end();
    }

    const FullScanner& scanner_;
};

bool same_place(const AuditFinding& finding, const FindingContext::Place& place) noexcept {
    return finding.line == place.line && (finding.column == 0 || finding.column == place.column);
}

std::string_view root_of(std::string_view module) noexcept { return module.substr(0, module.find('.')); }

// Drops the forbidden imports of `module` (and the hidden ones, with
// `hidden`) that stand at one of `places`, from both lists of `result`.
// Throws nothing.
void drop_imports(FullResult& result, std::string_view module, const std::vector<FindingContext::Place>& places,
                  bool hidden) {
    const auto dropped = [&](const AuditFinding& finding) {
        if (finding.rule != AuditRule::forbidden_import &&
            !(hidden && finding.rule == AuditRule::hidden_forbidden_import)) {
            return false;
        }
        if (root_of(finding.module_view()) != module) return false;
        return std::any_of(places.begin(), places.end(),
                           [&](const FindingContext::Place& place) { return same_place(finding, place); });
    };
    for (std::vector<AuditFinding>* list : {&result.scan_findings, &result.findings}) {
        list->erase(std::remove_if(list->begin(), list->end(), dropped), list->end());
    }
}

// Reads the file into `audit`, piece by piece, until `context` is settled
// or the file ends. False when it cannot.
bool read_into(const std::string& path, SourceAudit& audit, const FindingContext& context) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) return false;
    thread_local const std::unique_ptr<char[]> buffer(new char[kPiece]);
    for (;;) {
        const ssize_t got = ::read(fd, buffer.get(), kPiece);
        if (got < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (got == 0) break;
        audit.feed(std::string_view(buffer.get(), static_cast<std::size_t>(got)));
        if (audit.refused()) return false;
        if (context.settled()) return true;
    }
    audit.finish();
    return audit.finished() && !audit.refused() && audit.deferred_encoding().empty();
}

}  // namespace

std::string context_words(std::uint8_t context) {
    if ((context & kContextKnown) == 0) return {};
    std::string words;
    const auto add = [&](std::uint8_t flag, std::string_view word) {
        if ((context & flag) == 0) return;
        if (!words.empty()) words += ',';
        words += word;
    };
    add(FindingContext::class_body, "class");
    add(FindingContext::function, "function");
    add(FindingContext::main, "main");
    add(FindingContext::optional, "optional");
    add(FindingContext::type_checking, "type-checking");
    return words.empty() ? "module" : words;
}

bool needs_places(const FullResult& result, const FullScanner&, bool mentions_tc) noexcept {
    if (!result.deferred_encoding.empty() || result.entry) return false;
    if (mentions_tc) return true;
    for (const std::vector<AuditFinding>* list : {&result.scan_findings, &result.findings}) {
        for (const AuditFinding& finding : *list) {
            if (finding.line > 0) return true;
        }
    }
    return false;
}

void place_findings(FullResult& result, const FullScanner& scanner, bool mentions_tc, const std::string* bytes) {
    const Precision& precision = scanner.precision();
    std::vector<FindingContext::Place> places;
    for (const std::vector<AuditFinding>* list : {&result.scan_findings, &result.findings}) {
        for (const AuditFinding& finding : *list) places.push_back({finding.line, finding.column});
    }
    const HoldingsCheck check(scanner);
    FindingContext context(std::move(places), &check);
    // Uses are followed only for a module whose import fails this file.
    for (const auto& entry : precision.allowed_attributes) {
        const std::string& module = entry.first;
        const bool imported = std::any_of(result.scan_findings.begin(), result.scan_findings.end(),
                                          [&](const AuditFinding& finding) {
                                              return root_of(finding.module_view()) == module;
                                          }) ||
                              std::any_of(result.findings.begin(), result.findings.end(),
                                          [&](const AuditFinding& finding) {
                                              return root_of(finding.module_view()) == module;
                                          });
        if (imported) context.restrict(module, entry.second);
    }
    if (mentions_tc) context.watch_type_checking();
    // The finder stays idle (the context takes the tokens): no filter, no words of its own.
    SourceAudit audit(true, nullptr, &context);
    if (bytes != nullptr) {
        audit.feed(*bytes);
        if (!context.settled()) audit.finish();
        if (audit.refused() || !audit.deferred_encoding().empty()) return;
    } else if (!read_into(result.scan.filepath, audit, context)) {
        return;
    }

    std::size_t index = 0;
    for (std::vector<AuditFinding>* list : {&result.scan_findings, &result.findings}) {
        for (AuditFinding& finding : *list) {
            const std::uint8_t flags = context.context(index);
            if (finding.line > 0 && (flags & FindingContext::unknown) == 0) {
                finding.context = static_cast<std::uint8_t>(kContextKnown | flags);
            }
            ++index;
        }
    }
    const std::string& path = result.scan.filepath;

    // A forbidden module whose every use is an allowed attribute: its import
    // statements fail the file no more; each other use does.
    for (const auto& entry : precision.allowed_attributes) {
        const std::string& module = entry.first;
        if (context.unfollowed(module)) continue;
        std::vector<FindingContext::Place> used_at;
        for (const FindingContext::Use& use : context.uses()) {
            if (use.module != module) continue;
            used_at.push_back({use.line, use.column});
            AuditFinding made = rule_finding(AuditRule::forbidden_attribute_use, path, use.line, module,
                                             kAttributeUse, use.chain, "'");
            made.column = use.column;
            // A use under `if TYPE_CHECKING:` is judged as any other: the
            // import it stands for may run elsewhere.
            made.context = static_cast<std::uint8_t>(kContextKnown | (use.flags & ~FindingContext::type_checking));
            result.findings.push_back(std::move(made));
        }
        if (used_at.empty()) {
            drop_imports(result, module, context.restricted_statements(), true);
        } else {
            // `from os import system` is the import and its use at once: the
            // use, which names what is taken, is its one error.
            drop_imports(result, module, used_at, false);
        }
    }
    result.allowed_used = context.used_allowed();

    // What only type checkers see, judged as the policy says; a file that
    // may change TYPE_CHECKING fails where the policy relies on it.
    if (precision.type_checking != TypeChecking::error) {
        for (std::vector<AuditFinding>* list : {&result.scan_findings, &result.findings}) {
            if (precision.type_checking == TypeChecking::ignore) {
                list->erase(std::remove_if(list->begin(), list->end(),
                                           [](const AuditFinding& finding) {
                                               return (finding.context & FindingContext::type_checking) != 0;
                                           }),
                            list->end());
                continue;
            }
            for (AuditFinding& finding : *list) {
                if ((finding.context & FindingContext::type_checking) != 0 && is_error(finding.rule)) {
                    finding.rule = AuditRule::type_checking_import;
                }
            }
        }
        if (context.changes_type_checking()) {
            result.findings.insert(result.findings.begin(),
                                   rule_finding(AuditRule::type_checking_changed, path, 0, {}, kTypeCheckingChanged,
                                                "typing.TYPE_CHECKING", "'"));
        }
    }
    std::stable_sort(result.findings.begin(), result.findings.end(),
                     [](const AuditFinding& a, const AuditFinding& b) { return a.line < b.line; });
}

}  // namespace scanner_core
