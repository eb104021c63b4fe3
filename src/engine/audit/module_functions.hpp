// The functions of CPython 3.13's standard library that reach a module
// other than by an import statement: those that import a module named by a
// string (`pkgutil.resolve_name("os:system")`), run a text as Python
// (`timeit.timeit("import os")`), import from what they cannot be read to
// hold (`pickle.load`), read a constant payload or configuration for the
// modules it names (`pickle.loads`, `logging.config.dictConfig`), or lead into the interpreter's objects (the object
// graph: `gc.get_objects()`, `sys._getframe()`); and the attributes that do
// the same on any object (`f.__globals__`) or change where imports are
// searched (`sys.path`). Read off the 3.13 sources; the audit's page lists it.
#pragma once

#include <cstdint>
#include <string_view>
#include <utility>

namespace scanner_core {

struct ModuleFunction {
    enum class Kind : std::uint8_t {
        module_name,  // the argument names a module that is imported
        object_path,  // "module:attr" or a dotted path, whose module is imported
        python_text,  // the argument is run as Python, as exec runs it
        opaque,       // imports what its argument holds, which is not read: every call is a warning
        object_graph, // leads to objects of other modules (frames, globals): every use is a warning
        search_path,  // where imports are searched: changing it is a warning
        module_table, // sys.modules: a constant key is judged as an import of it
        pickle_payload,  // a constant payload is read: what its opcodes import is judged (pickle_globals.hpp)
        log_config,      // a dict display whose targets are constant is read: each is judged as an import
    };
    std::string_view module;
    std::string_view function;
    Kind kind;
    std::string_view keyword;  // the argument's keyword, for the kinds that read one
};

// The entry of `function` of `module`, or null. Never fails; thread-safe.
const ModuleFunction* module_function(std::string_view module, std::string_view function) noexcept;

// Whether `module` has entries above. Never fails; thread-safe.
bool has_module_functions(std::string_view module) noexcept;

// The entries of `module`, in function order: [first, second). Never
// fails; thread-safe.
std::pair<const ModuleFunction*, const ModuleFunction*> module_functions_of(std::string_view module) noexcept;

// Calls `take(function)` for each function of `module` above. Never fails
// but as `take` does.
template <class Take>
void for_each_module_function(std::string_view module, Take take);

// The entries above, by module then function: [first, last).
const ModuleFunction* module_functions_begin() noexcept;
const ModuleFunction* module_functions_end() noexcept;

template <class Take>
void for_each_module_function(std::string_view module, Take take) {
    for (const ModuleFunction* at = module_functions_begin(); at != module_functions_end(); ++at) {
        if (at->module == module) take(at->function);
    }
}

// Whether reading `attribute`, on any object, leads into the object graph
// (`__globals__`, `__subclasses__`, frames' `f_globals`, ...). Never fails.
bool graph_attribute(std::string_view attribute) noexcept;

// Whether calling `method` on a list of search paths changes it (`append`,
// `insert`, ...). Never fails.
bool mutating_method(std::string_view method) noexcept;

}  // namespace scanner_core
