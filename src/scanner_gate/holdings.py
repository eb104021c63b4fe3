"""What the allowed modules hold that the policy forbids.

A module the policy allows may hold a forbidden one as an attribute
(`logging.os`): the audit fails a file that takes it so. The reports' header
lists, for each allowed entry of the standard library or of the policy's
tables of holdings, the forbidden modules reached from it, so that the
reviewer sees what those rules will refuse. The table is the engine's,
generated from the interpreter it was built for, with the rows of the
policy's tables for modules outside the standard library
(scanner_gate.holding_tables); other modules are in neither.
"""

import sys

from scanner_gate.escape import escape

TYPE_CHECKING = False
if TYPE_CHECKING:
    from scanner_gate.policy import Policy

_MADE: dict[tuple[object, ...], dict[str, list[str]]] = {}


def reachable(policy: "Policy") -> dict[str, list[str]]:
    """Each allowed entry (exact or prefix) of the standard library, or that
    the policy's tables of holdings describe, that holds forbidden modules,
    and those modules, sorted; made once per policy."""
    key = (policy.forbidden, policy.allowed_exact, tuple(policy.allowed_prefixes), policy.holdings)
    if key not in _MADE:
        scanner = policy.scanner()
        described = {row[0] for row in policy.holdings}
        made: dict[str, list[str]] = {}
        for entry in sorted(set(policy.allowed_exact) | set(policy.allowed_prefixes)):
            if entry.partition(".")[0] not in sys.stdlib_module_names and entry not in described:
                continue
            reached = scanner.forbidden_reached_from(entry)
            if reached:
                made[entry] = reached
        _MADE[key] = made
    return _MADE[key]


def described(policy: "Policy") -> str:
    """The same as one line of text: `logging → os, socket; json → os`, or empty."""
    return "; ".join(f"{escape(entry)} \u2192 {', '.join(reached)}" for entry, reached in reachable(policy).items())
