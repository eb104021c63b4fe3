// The local imports of a tree's files that no file of the tree provides
// (rule missing-local-module), looked up as Python's path finder would, in
// the worker threads that read the files. A plugin that extended its
// package's search path to the standard library's directory makes
// `from . import socket` run the real `socket` under its own name; only
// the missing file shows that route.
//
// What provides a module `x` in a directory: a package `x/` (with an
// `__init__` source, bytecode or extension module), `x.py`, `x.pyc`, an
// extension module `x.<tag>.so` or `.pyd`, or a directory `x/` without
// `__init__` (a namespace portion) unless `x` is a standard module's
// top-level name, which a later entry of the search path wins over. A name
// a `from` statement takes may be an attribute its package's `__init__`
// defines: missing only when it is a standard module's name, or the
// package has no `__init__`. Paths are spelled as Python's os.path spells
// them, from the root as given, so that the messages read the same as the
// command's own lookups (of a file given alone, or an archive's members).
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "gate/full_scan.hpp"
#include "gate/local_imports.hpp"

namespace scanner_core {

// The tree the lookups are made in.
struct LocalTree {
    // The names of the root's packages when the root itself is one
    // (`weather` for a root that is `plugin/weather/`), outermost first;
    // empty when it is not a package.
    std::vector<std::string> package;
    // The standard library's top-level module names.
    std::unordered_set<std::string> standard;
};

class LocalLookup {
public:
    // Lookups below `root` (as given: its spelling is the messages').
    // Never fails but std::bad_alloc.
    LocalLookup(std::string root, LocalTree tree);
    LocalLookup(const LocalLookup&) = delete;
    LocalLookup& operator=(const LocalLookup&) = delete;

    // The findings of `imports`, the local imports of the file at
    // `filepath` (below the root), in their order, one per line and file
    // missing. Each directory is listed once for all the calls (one that
    // cannot be listed provides everything: the walk says why). Throws
    // std::bad_alloc only. Thread-safe.
    std::vector<AuditFinding> findings(const std::string& filepath, const std::vector<LocalImport>& imports);

private:
    struct Listing;
    enum class Kind : std::uint8_t { none, package, module, name_space };

    std::shared_ptr<const Listing> listing(const std::string& directory);
    bool is_package(const std::string& directory);
    Kind kind(const std::string& directory, const std::string& name);
    // The file that should provide the first of `parts` nothing provides
    // below `directory`, or nullopt.
    std::optional<std::string> missing(std::string directory, const std::vector<std::string>& parts, bool taken);
    std::optional<std::string> missing_memo(const std::string& directory, const std::vector<std::string>& parts,
                                            bool taken);

    const std::string root_;
    const LocalTree tree_;
    std::mutex mutex_;  // guards both memos
    std::unordered_map<std::string, std::shared_ptr<const Listing>> listings_;
    // By directory, dotted name and whether the last part is taken: the
    // files of a package import the same names. Bounded by the imports.
    std::unordered_map<std::string, std::optional<std::string>> found_;
};

}  // namespace scanner_core
