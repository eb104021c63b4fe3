#include "gate/local_imports.hpp"

namespace scanner_core {

std::vector<LocalImport> local_imports(const std::vector<AuditedImport>& imports, const ImportFilter& filter) {
    std::vector<LocalImport> kept;
    for (const AuditedImport& found : imports) {
        using Kind = AuditedImport::Kind;
        const bool taken = found.kind == Kind::local_name;
        if (!taken && found.kind != Kind::statement && found.kind != Kind::dynamic_constant) continue;
        const std::string_view module = found.module();
        if (module.empty() || module.front() == '.') continue;
        // Above the root is an error of its own; an absolute name is local only when the plugin's.
        if (found.level > 0 ? filter.above_root(found.level) : !filter.own(module)) continue;
        kept.push_back({found.line, found.column, found.level, std::string(module), taken});
    }
    return kept;
}

}  // namespace scanner_core
