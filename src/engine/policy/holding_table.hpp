// What modules hold under other names, as a policy sees it: the standard
// library's table compiled in (module_holdings.hpp) and the rows of tables
// a policy names for modules outside it (an allowed `requests` holding
// `os`), which the command writes by importing them in a child interpreter.
// Every lookup that follows a chain of attributes goes through one of these,
// so that a module outside the standard library is followed exactly as a
// standard one.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "policy/module_holdings.hpp"

namespace scanner_core {

// One row of a table outside the standard library, owned.
struct HoldingRow {
    std::string module;     // the module that holds it, dotted
    std::string attribute;  // the name it holds it under
    std::string target;     // the module it is, or the module that defined it
    bool is_module = false; // the attribute is the module `target` (else an object of it)
    bool starred = false;   // `from module import *` binds it
};

class HoldingTable {
public:
    // The standard library's table alone. Never fails.
    HoldingTable() noexcept = default;
    // The standard library's table and `extra`. A row of a module the
    // standard table already describes is dropped (the build's interpreter
    // says what a standard module holds), and of rows with the same module
    // and attribute the first is kept. Throws std::bad_alloc only.
    explicit HoldingTable(std::vector<HoldingRow> extra);
    HoldingTable(const HoldingTable&) = delete;
    HoldingTable& operator=(const HoldingTable&) = delete;
    HoldingTable(HoldingTable&&) noexcept = default;
    HoldingTable& operator=(HoldingTable&&) noexcept = default;

    // The table of every policy that names no other. Never fails.
    static const HoldingTable& standard() noexcept;

    // What `module` holds as `attribute`, or null when neither table has
    // it; valid while the table is. Never fails; thread-safe (immutable).
    const Holding* holding_of(std::string_view module, std::string_view attribute) const noexcept;
    // Every holding of `module`, in attribute order, from the one table
    // that describes it. Never fails; thread-safe.
    Holdings holdings_of(std::string_view module) const noexcept;
    // The length in bytes of the longest attribute of either table. Never fails.
    std::size_t longest_attribute() const noexcept { return longest_attribute_; }
    // The rows added to the standard ones, by module then attribute. Never fails.
    Holdings extra() const noexcept { return {extra_.data(), extra_.data() + extra_.size()}; }

private:
    // The owned text the views of extra_ point into; never changed once
    // extra_ is made (a move keeps the strings' buffers and the rows' places).
    std::vector<HoldingRow> owned_;
    std::vector<Holding> extra_;
    std::size_t longest_attribute_ = standard_longest_attribute();

    static std::size_t standard_longest_attribute() noexcept;
};

// The modules a plugin may take through `module` that the policy forbids,
// as forbidden_reached_from (module_holdings.hpp) finds them, through
// `table`. Throws std::bad_alloc only; thread-safe.
std::vector<std::string> forbidden_reached_from(const ImportClassifier& classifier, const HoldingTable& table,
                                                std::string_view module);

}  // namespace scanner_core
