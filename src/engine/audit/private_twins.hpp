// The private twins of public modules: the built-in and private modules
// through which CPython 3.13 implements a public module, and which give a
// plugin that module's powers under another name (`import posix` is
// `import os` without the name). A policy that forbids a module forbids its
// twins too. The table is read off the interpreter's own `Lib/` sources
// (what each public module imports to implement itself); the README lists it.
#pragma once

#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace scanner_core {

// Returns the twins of the top-level module `root`, none when it has none.
// Never fails; thread-safe (a constant table).
std::vector<std::string_view> private_twins(std::string_view root);

// Returns `forbidden` with the twins of each of its entries added. Throws
// std::bad_alloc only.
std::unordered_set<std::string> with_private_twins(std::unordered_set<std::string> forbidden);

}  // namespace scanner_core
