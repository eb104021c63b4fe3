"""The imports of a file's own and relative modules, read off Python's
syntax tree: what the engine keeps for the gate to look up
(scanner_audit.Report.local_imports), stated independently.

A row is (line, level, name, taken): a module the import names (relative
below the root, `level` > 0, or absolute and one of the plugin's own), and
for a `from` statement of such a module each name it takes, joined to the
module by a dot (`taken`: the last part may be an attribute). Relative
imports that climb above the root are an error of their own, not rows.
"""

import ast
from collections.abc import Callable, Set

import ast_doors


def own(module: str, local_modules: Set[str]) -> bool:
    return module in local_modules or module.split(".", 1)[0] in local_modules


def local_rows(tree: ast.AST, local_modules: Set[str], depth: int, table: object,
               to_scan_line: Callable[[int], int]) -> set[tuple[int, int, str, bool]]:
    """The rows of a parsed file `depth` directories below the root."""
    def kept(level: int, module: str) -> bool:
        if level > 0:
            return level <= depth + 1
        return bool(module) and own(module, local_modules)

    rows: set[tuple[int, int, str, bool]] = set()
    for door in ast_doors.doors_of(tree, table):
        if door.kind not in ("import", "taken") or not door.name:
            continue
        taken = door.kind == "taken"
        # A name taken is kept when the module it is taken from is.
        module = door.name.rpartition(".")[0] if taken else door.name
        if kept(door.level, module):
            rows.add((to_scan_line(door.line), door.level, door.name, taken))
    return rows

