// What each module of CPython's standard library holds under another name:
// the modules bound to its attributes (`logging.os` is `os`) and the objects
// defined in a module under another root (`shutil.chown`'s functions of
// posix). A plugin that takes one of these through a module the policy
// allows takes the module it names. The table is generated at build time
// from the interpreter the engine is built for (module_holdings_table.py).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "policy/import_classifier.hpp"

namespace scanner_core {

class HoldingTable;

struct Holding {
    std::string_view module;     // the module that holds it, dotted
    std::string_view attribute;  // the name it holds it under
    std::string_view target;     // the module it is, or the module that defined it
    bool is_module;              // the attribute is the module `target` (else an object of it)
    bool starred;                // `from module import *` binds it
};

// What `module` holds as `attribute`, or null when the table has nothing
// (the module's own objects, or a module outside the standard library).
// Never fails; thread-safe (a constant table).
const Holding* holding_of(std::string_view module, std::string_view attribute) noexcept;

// Every holding of `module`, in attribute order: [first, last). Never fails.
struct Holdings {
    const Holding* first;
    const Holding* last;
    const Holding* begin() const noexcept { return first; }
    const Holding* end() const noexcept { return last; }
};
Holdings holdings_of(std::string_view module) noexcept;
// The whole table, by module then attribute. Never fails.
Holdings all_holdings() noexcept;

// Whether the policy's verdict on an import of `module` is forbidden,
// whatever the plugin's own modules are called. Throws std::bad_alloc only;
// thread-safe.
bool forbidden_module(const ImportClassifier& classifier, std::string_view module);

// Whether `module` (or its root) is one of the plugin's own modules, which
// the standard library's table says nothing of. Throws std::bad_alloc only.
bool own_module(std::string_view module, const std::unordered_set<std::string>& local_modules);

// The modules a plugin may take through `module` that the policy forbids:
// the end of every chain of attributes from it that lands on a forbidden
// module or an object of one (the module that defined it), sorted, each
// once. Throws std::bad_alloc only; thread-safe.
std::vector<std::string> forbidden_reached_from(const ImportClassifier& classifier, std::string_view module);

// The modules of the table from which a chain of attributes reaches a module
// the classifier forbids, under a policy: computed once when the policy is
// loaded, then read by every thread. Throws std::bad_alloc only.
class ReachingModules {
public:
    // Through the standard library's table alone.
    explicit ReachingModules(const ImportClassifier& classifier);
    // Through `table` (holding_table.hpp): the standard rows and a policy's
    // others. `table` is read here only, not kept.
    ReachingModules(const ImportClassifier& classifier, const HoldingTable& table);
    // Whether a chain of attributes from `module` may end on a forbidden
    // module or an object of one. Thread-safe.
    bool reaches(std::string_view module) const;
    bool empty() const noexcept { return reaching_.empty(); }

private:
    std::unordered_set<std::string> reaching_;
};

}  // namespace scanner_core
