// What a constant pickle payload imports when `pickle.loads` reads it: the
// (module, name) pair of every GLOBAL, INST and STACK_GLOBAL opcode that the
// unpickler reaches, named as its find_class imports them (Python 2's names
// mapped to Python 3's under protocols 0 to 2), and every opcode that takes
// an object from what cannot be read (a STACK_GLOBAL whose operands are not
// known texts, an extension code of copyreg's registry).
//
// The payload is run as CPython 3.13's unpickler runs it, as far as what
// it imports depends on it: the stack (with its marks) and the memo are
// followed, holding known texts and what is surely no text, and the reading
// stops where the unpickler raises for the payload's own shape (an unknown
// opcode, a truncated argument, a stack underflow, a missing mark or memo
// entry, an unsupported protocol, STOP). What only running it would tell (a
// REDUCE that raises) does not stop it: it may judge more, never less.
// Linear in the payload; past a bound of stack pieces or memo entries what
// they hold is no longer known, which makes the later STACK_GLOBALs unknown
// rather than the memory grow.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace scanner_core {

struct PickleGlobal {
    // Where the opcode begins in the payload.
    std::size_t offset = 0;
    // False: the opcode takes an object that cannot be read from the payload
    // (module and name are empty).
    bool known = false;
    // The module imported and the name taken from it, as find_class takes
    // them (mapped when `mapped`); `dotted`: the protocol is 4 or more, so a
    // dotted name is a chain of attributes.
    std::string module;
    std::string name;
    bool dotted = false;
    // The pair as the payload names it, when the mapping of Python 2's names
    // changed it (what find_class imports with fix_imports=False).
    bool mapped = false;
    std::string original_module;
    std::string original_name;
};

// How the reading of a payload ended.
enum class PickleEnd : std::uint8_t {
    stop,       // at STOP: the unpickler returns
    refused,    // where the unpickler raises for the payload's shape (or at its end without STOP)
};

// Reads `payload` as pickle.loads does and calls `take` for each global in
// the order the unpickler reaches them. Returns how the reading ended.
// Throws std::bad_alloc only (and what `take` throws); thread-safe.
PickleEnd read_pickle_globals(std::string_view payload, const std::function<void(const PickleGlobal&)>& take);

// Maps (`module`, `name`) as find_class does under protocols 0 to 2 with
// fix_imports: by the pair first, else by the module. Returns whether it
// changed them. Never fails but as std::string's assignment does.
bool map_python2_name(std::string& module, std::string& name);

}  // namespace scanner_core
