// The imports a file makes of the plugin's own modules and of modules
// relative to its package, kept for the caller that knows the tree: a
// module no file of the tree provides is found where the search path
// leads, which a plugin that extended its package's path (`__path__`) to
// the standard library's directory makes a standard module run under the
// plugin's name. The engine keeps them, the gate looks them up.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "audit/found_imports.hpp"

namespace scanner_core {

// One such import, as the statement or the call gives it.
struct LocalImport {
    std::int64_t line = 0;    // counted as AuditedImport::line
    std::int64_t column = 0;  // as AuditedImport::column; 0 where not known
    // The levels above the importing file's package (0: absolute, a module
    // of the plugin's own).
    std::uint64_t level = 0;
    // The dotted name below them, each part a module that must be found.
    // For a name a `from` statement takes, the last part may be an
    // attribute of the module before it instead.
    std::string name;
    bool taken_name = false;  // the last part is a name a `from` statement takes
};

// The local imports among `imports`, what an audit whose `filter`
// keeps_local kept (relative ones that stay below the root, the plugin's
// own modules, the names `from` statements take from them), in the order
// found. Throws std::bad_alloc only (and what the filter throws).
std::vector<LocalImport> local_imports(const std::vector<AuditedImport>& imports, const ImportFilter& filter);

}  // namespace scanner_core
