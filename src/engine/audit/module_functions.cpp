#include "audit/module_functions.hpp"

#include <algorithm>
#include <iterator>
#include <tuple>

namespace scanner_core {
namespace {

using Kind = ModuleFunction::Kind;

// By module, then function, for the search.
constexpr ModuleFunction kTable[] = {
    {"_pickle", "Unpickler", Kind::opaque, {}},
    {"_pickle", "load", Kind::opaque, {}},
    {"_pickle", "loads", Kind::pickle_payload, {}},  // its payload is positional only
    {"cProfile", "run", Kind::python_text, "statement"},
    {"cProfile", "runctx", Kind::python_text, "statement"},
    {"code", "InteractiveConsole", Kind::opaque, {}},
    {"code", "InteractiveInterpreter", Kind::opaque, {}},
    {"code", "interact", Kind::opaque, {}},
    {"doctest", "run_docstring_examples", Kind::opaque, {}},
    {"doctest", "testmod", Kind::opaque, {}},
    {"gc", "get_objects", Kind::object_graph, {}},
    {"gc", "get_referents", Kind::object_graph, {}},
    {"gc", "get_referrers", Kind::object_graph, {}},
    {"importlib.util", "find_spec", Kind::module_name, "name"},
    {"importlib.util", "module_from_spec", Kind::opaque, {}},
    {"importlib.util", "spec_from_file_location", Kind::opaque, {}},
    {"importlib.util", "spec_from_loader", Kind::opaque, {}},
    {"inspect", "currentframe", Kind::object_graph, {}},
    {"inspect", "stack", Kind::object_graph, {}},
    {"inspect", "trace", Kind::object_graph, {}},
    {"logging", "currentframe", Kind::object_graph, {}},
    {"logging.config", "dictConfig", Kind::log_config, "config"},
    {"logging.config", "fileConfig", Kind::opaque, {}},
    {"logging.config", "listen", Kind::opaque, {}},
    {"pdb", "run", Kind::python_text, "statement"},
    {"pdb", "runctx", Kind::python_text, "statement"},
    {"pdb", "runeval", Kind::python_text, "expression"},
    {"pickle", "Unpickler", Kind::opaque, {}},
    {"pickle", "load", Kind::opaque, {}},
    {"pickle", "loads", Kind::pickle_payload, {}},
    {"pkgutil", "resolve_name", Kind::object_path, "name"},
    {"profile", "run", Kind::python_text, "statement"},
    {"profile", "runctx", Kind::python_text, "statement"},
    {"pydoc", "locate", Kind::object_path, "path"},
    {"runpy", "run_module", Kind::module_name, "mod_name"},
    {"runpy", "run_path", Kind::opaque, {}},
    {"site", "addsitedir", Kind::opaque, {}},
    {"sys", "_current_frames", Kind::object_graph, {}},
    {"sys", "_getframe", Kind::object_graph, {}},
    {"sys", "meta_path", Kind::search_path, {}},
    {"sys", "modules", Kind::module_table, {}},
    {"sys", "path", Kind::search_path, {}},
    {"sys", "path_hooks", Kind::search_path, {}},
    {"timeit", "Timer", Kind::python_text, "stmt"},
    {"timeit", "repeat", Kind::python_text, "stmt"},
    {"timeit", "timeit", Kind::python_text, "stmt"},
    {"unittest.mock", "patch", Kind::object_path, "target"},
    {"zipimport", "zipimporter", Kind::opaque, {}},
};

bool before(const ModuleFunction& entry, std::string_view module, std::string_view function) noexcept {
    return std::tie(entry.module, entry.function) < std::tie(module, function);
}

}  // namespace

const ModuleFunction* module_function(std::string_view module, std::string_view function) noexcept {
    const ModuleFunction* found = std::lower_bound(
        std::begin(kTable), std::end(kTable), 0,
        [module, function](const ModuleFunction& entry, int) { return before(entry, module, function); });
    if (found == std::end(kTable) || found->module != module || found->function != function) return nullptr;
    return found;
}

bool has_module_functions(std::string_view module) noexcept {
    const ModuleFunction* found =
        std::lower_bound(std::begin(kTable), std::end(kTable), module,
                         [](const ModuleFunction& entry, std::string_view name) { return entry.module < name; });
    return found != std::end(kTable) && found->module == module;
}

std::pair<const ModuleFunction*, const ModuleFunction*> module_functions_of(std::string_view module) noexcept {
    const ModuleFunction* first =
        std::lower_bound(std::begin(kTable), std::end(kTable), module,
                         [](const ModuleFunction& entry, std::string_view name) { return entry.module < name; });
    const ModuleFunction* last =
        std::upper_bound(first, std::end(kTable), module,
                         [](std::string_view name, const ModuleFunction& entry) { return name < entry.module; });
    return {first, last};
}

const ModuleFunction* module_functions_begin() noexcept { return std::begin(kTable); }
const ModuleFunction* module_functions_end() noexcept { return std::end(kTable); }

bool graph_attribute(std::string_view attribute) noexcept {
    for (const std::string_view name :
         {"__subclasses__", "__globals__", "__builtins__", "__code__", "__closure__", "f_globals", "f_locals",
          "f_builtins", "f_back", "gi_frame", "cr_frame", "ag_frame", "tb_frame"}) {
        if (attribute == name) return true;
    }
    return false;
}

bool mutating_method(std::string_view method) noexcept {
    for (const std::string_view name :
         {"append", "insert", "extend", "remove", "pop", "clear", "reverse", "sort", "__setitem__", "__iadd__",
          "__delitem__"}) {
        if (method == name) return true;
    }
    return false;
}

}  // namespace scanner_core
