"""What the allowed modules of the standard library hold that the policy forbids.

A module the policy allows may hold a forbidden one as an attribute
(`logging.os`): the audit fails a file that takes it so. The reports' header
lists, for each allowed entry of the standard library, the forbidden modules
reached from it, so that the reviewer sees what those rules will refuse. The
table is the engine's, generated from the interpreter it was built for;
modules outside the standard library are not in it.
"""

import sys

from scanner_gate.escape import escape

TYPE_CHECKING = False
if TYPE_CHECKING:
    from scanner_gate.policy import Policy

_MADE: dict[tuple[frozenset[str], frozenset[str], tuple[str, ...]], dict[str, list[str]]] = {}


def reachable(policy: "Policy") -> dict[str, list[str]]:
    """Each allowed entry (exact or prefix) of the standard library that
    holds forbidden modules, and those modules, sorted; made once per policy."""
    key = (policy.forbidden, policy.allowed_exact, tuple(policy.allowed_prefixes))
    if key not in _MADE:
        scanner = policy.scanner()
        made: dict[str, list[str]] = {}
        for entry in sorted(set(policy.allowed_exact) | set(policy.allowed_prefixes)):
            if entry.partition(".")[0] not in sys.stdlib_module_names:
                continue
            reached = scanner.forbidden_reached_from(entry)
            if reached:
                made[entry] = reached
        _MADE[key] = made
    return _MADE[key]


def described(policy: "Policy") -> str:
    """The same as one line of text: `logging → os, socket; json → os`, or empty."""
    return "; ".join(f"{escape(entry)} \u2192 {', '.join(reached)}" for entry, reached in reachable(policy).items())
