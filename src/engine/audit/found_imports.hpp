// The imports a file's audit finds and keeps for the judgement at the
// file's end. An import that can come to no finding is dropped as it is
// found, so that what the audit holds follows its findings, not the size
// of the file: a file of a billion allowed imports holds none.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "policy/holding_table.hpp"

namespace scanner_core {

// One import the audit found.
struct AuditedImport {
    enum class Kind : unsigned char {
        statement,         // `import a` or `from a import b`: `name` is the module
        dynamic_constant,  // __import__ or import_module with a constant name: `name` is it
        dynamic_other,     // __import__ or import_module with any other name: `name` is the callee
        importer_reference,    // an importer named but not called with a name: `name` is what was named
        dynamic_code,          // exec, eval or compile of what is no constant text: `name` is the callee
        relative_dynamic,      // a relative dynamic import whose anchor is no constant: `name` is the callee
        refused_code,          // a constant text given to exec, eval or compile that Python refuses: no name
        unaudited_code,        // a text given to exec, eval or compile nested too deep to judge: `name` says so
        reached,               // a forbidden module reached by a chain of names through another: `name` is
                               // it, `via` the chain (`logging.os`)
        object_graph,          // what leads into the interpreter's objects was read or called: `name` is it
        search_path,           // where imports are searched was changed: `name` is what
        local_name,            // a name a `from` statement takes from a relative or own module, kept only
                               // when the filter keeps_local: `name` is the module's dotted name (empty for
                               // `from . import`) joined by a dot to the name taken, `level` as a statement's
    };
    AuditedImport() = default;
    AuditedImport(Kind kind, std::int64_t line, std::string name, std::uint64_t level = 0, std::int64_t column = 0)
        : kind(kind), line(line), name(std::move(name)), level(level), column(column) {}

    Kind kind = Kind::statement;
    std::int64_t line = 0;  // counted at line feeds, as the line scan counts
    std::string name;
    // statement, dynamic_constant and local_name: the levels above the importing
    // module's package the name is relative to (0: absolute). The name has
    // no leading dots then.
    std::uint64_t level = 0;
    // 1-based, in code points since the last line feed, as the line scan
    // counts: where the statement or the call begins (for what a text given
    // to exec imports, where that call begins); 0 where not known.
    std::int64_t column = 0;
    // A statement's long name as the line scan lent it (see name_loan.hpp):
    // `lent_size` bytes from `lent_at`, `name` being empty. Null otherwise.
    std::shared_ptr<std::string> lent;
    std::size_t lent_at = 0;
    std::size_t lent_size = 0;
    // reached: the chain of names that reaches the module.
    std::string via;

    // The name, wherever it is held. Never fails.
    std::string_view module() const noexcept {
        return lent ? std::string_view(*lent).substr(lent_at, lent_size) : std::string_view(name);
    }
};

// Which modules the judgement may report. Called on the thread that feeds
// the audit.
class ImportFilter {
public:
    virtual ~ImportFilter() = default;
    // Whether the judgement of `module` (a name without leading dots) may be
    // other than silent. Throws std::bad_alloc only.
    virtual bool judged(std::string_view module) const = 0;
    // Whether a relative import of `level` (above 0) reaches above the
    // tree's root, which is judged whatever the module; by default none
    // does. Never fails.
    virtual bool above_root(std::uint64_t) const noexcept { return false; }
    // Whether a chain of attributes from `module`, a module of the standard
    // library bound to a name, may reach a module the policy forbids (see
    // module_holdings.hpp); by default none does. Throws std::bad_alloc only.
    virtual bool reaches_forbidden(std::string_view) const { return false; }
    // Whether the policy forbids `module`; by default none. Throws
    // std::bad_alloc only.
    virtual bool forbids(std::string_view) const { return false; }
    // Whether `module` is one of the plugin's own modules (not the standard
    // library's of that name); by default none. Throws std::bad_alloc only.
    virtual bool own(std::string_view) const { return false; }
    // What modules hold under other names, under the policy: by default the
    // standard library's alone. Valid while the filter is. Never fails.
    virtual const HoldingTable& holdings() const noexcept { return HoldingTable::standard(); }
    // Whether the imports of the plugin's own modules and the relative ones
    // that stay below the root are kept, with the names `from` statements
    // take from them (Kind::local_name), for a caller that checks the tree
    // provides them; by default they are dropped. Never fails.
    virtual bool keeps_local() const noexcept { return false; }
    // What the filter remembers of whether the finder follows `module`
    // (1, 0; -1: nothing), and remembering it; by default nothing is
    // remembered. Never fails; remembering throws std::bad_alloc only.
    virtual int follows_remembered(std::string_view) const noexcept { return -1; }
    virtual void remember_follows(std::string_view, bool) const {}
};

class FoundImports {
public:
    // With no filter every import is kept, repeats included; with one, an
    // empty name, a relative import that stays below the root, a module the
    // filter does not judge (but for those two when it keeps_local, the
    // package itself aside), and a repeat of a kept import on the same line
    // (same module, same kind of finding) are dropped.
    explicit FoundImports(const ImportFilter* filter = nullptr);
    FoundImports(const FoundImports&) = delete;
    FoundImports& operator=(const FoundImports&) = delete;

    // Keeps `found` unless it is dropped as above. Throws std::bad_alloc only.
    void add(AuditedImport found);
    // Whether a statement's or a constant dynamic import's `module` (no
    // leading dots) at `level` would be dropped whatever else it holds:
    // asked first, it spares building an import only to drop it. Throws
    // std::bad_alloc only (from the filter).
    bool drops(std::string_view module, std::uint64_t level) const;
    // Adds each import of `other`, in order, and empties it.
    void take(FoundImports& other);
    void clear() noexcept;

    const ImportFilter* filter() const noexcept { return filter_; }
    // The imports kept, in the order found.
    std::vector<AuditedImport>& kept() noexcept { return kept_; }

private:
    // Entries of kept_ by index, equal when they would make the same finding.
    struct Hash {
        const std::vector<AuditedImport>* kept;
        std::size_t operator()(std::size_t index) const noexcept;
    };
    struct Same {
        const std::vector<AuditedImport>* kept;
        bool operator()(std::size_t a, std::size_t b) const noexcept;
    };
    using OnLine = std::unordered_set<std::size_t, Hash, Same>;

    const ImportFilter* const filter_;
    std::vector<AuditedImport> kept_;
    std::int64_t line_ = -1;  // the line of on_line_'s imports
    OnLine on_line_;
};

}  // namespace scanner_core
