"""The chains of names through allowed modules, read off Python's syntax tree.

A name bound to a standard module by an import statement is followed to the
file's end, scopes aside, as the native audit follows it: each chain of
attributes on it (`logging.os.system`), each name a `from` statement takes
from such a module (`from logging import os`, `from ssl import *`), walked
through the engine's table of what each module holds. A chain that lands on
a module the policy forbids, or on an object defined in one, is a finding at
the chain's first name, or at the `from` statement.

Only the table is shared with the engine; the reading is the syntax tree's.
"""

import ast
from collections.abc import Callable, Iterator, Set
from dataclasses import dataclass

import scanner_audit


@dataclass(frozen=True)
class Reached:
    line: int
    via: str  # the chain as written, names normalised
    target: str  # the forbidden module


class Table:
    """The engine's table, and what reaches a forbidden module under a policy."""

    def __init__(self, forbidden: Callable[[str], bool], local_modules: Set[str]) -> None:
        self.held: dict[str, dict[str, tuple[str, bool, bool]]] = {}
        for module, attribute, target, is_module, starred in scanner_audit.module_holdings():
            self.held.setdefault(module, {})[attribute] = (target, is_module, starred)
        self.forbidden = forbidden
        self.local_modules = local_modules
        self._reaching: dict[str, bool] = {}

    def _reaches(self, module: str, seen: frozenset[str] = frozenset()) -> bool:
        if module in self._reaching:
            return self._reaching[module]
        found = False
        for target, is_module, _ in self.held.get(module, {}).values():
            if self.forbidden(target) or (is_module and target not in seen and self._reaches(target, seen | {module})):
                found = True
                break
        if not seen:  # a result within a cycle's search may be partial
            self._reaching[module] = found
        return found

    def followed(self, module: str) -> bool:
        """Whether a name bound to `module` is followed: it is no plugin's own
        module, is not forbidden itself (its import fails the file already),
        and some chain from it reaches a forbidden one."""
        if module.partition(".")[0] in self.local_modules or module in self.local_modules:
            return False
        return not self.forbidden(module) and self._reaches(module)


def _position(node: ast.AST) -> tuple[int, int]:
    return (getattr(node, "lineno", 0), getattr(node, "col_offset", 0))


def _chain(node: ast.Attribute) -> tuple[ast.Name, list[str]] | None:
    """The name and attributes of a chain made of attributes alone, or None."""
    attributes: list[str] = []
    value: ast.AST = node
    while isinstance(value, ast.Attribute):
        attributes.append(value.attr)
        value = value.value
    if not isinstance(value, ast.Name):
        return None
    attributes.reverse()
    return value, attributes


def reached(tree: ast.AST, table: Table) -> Iterator[Reached]:
    """Every chain of `tree` that reaches a forbidden module, in source order."""
    events: list[tuple[tuple[int, int], int, ast.AST]] = []
    inner: set[int] = set()  # attributes that are the value of another
    for node in ast.walk(tree):
        if isinstance(node, ast.Attribute) and isinstance(node.value, ast.Attribute):
            inner.add(id(node.value))
    for node in ast.walk(tree):
        if isinstance(node, (ast.Import, ast.ImportFrom)):
            events.append((_position(node), 0, node))
        elif isinstance(node, ast.Attribute) and id(node) not in inner:
            events.append((_position(node), 1, node))
    events.sort(key=lambda event: (event[0], event[1]))
    bound: dict[str, str] = {}

    def follow(module: str, name: str, as_name: str, line: int) -> Iterator[Reached]:
        held = table.held.get(module, {}).get(name)
        if held is None:
            return
        target, is_module, _ = held
        if table.forbidden(target):
            yield Reached(line, f"{module}.{name}", target)
        elif is_module and table.followed(target):
            bound[as_name] = target

    for _, _, node in events:
        if isinstance(node, ast.Import):
            for alias in node.names:
                if alias.asname is not None:
                    if table.followed(alias.name):
                        bound[alias.asname] = alias.name
                else:
                    root = alias.name.partition(".")[0]
                    if table.followed(root):
                        bound[root] = root
        elif isinstance(node, ast.ImportFrom):
            if node.level or not node.module or not table.followed(node.module):
                continue
            for alias in node.names:
                if alias.name == "*":
                    for name, (_, _, starred) in sorted(table.held.get(node.module, {}).items()):
                        if starred:
                            yield from follow(node.module, name, name, node.lineno)
                else:
                    yield from follow(node.module, alias.name, alias.asname or alias.name, node.lineno)
        else:
            assert isinstance(node, ast.Attribute)
            chain = _chain(node)
            if chain is None or chain[0].id not in bound:
                continue
            name, attributes = chain
            module, via = bound[name.id], name.id
            for attribute in attributes:
                held = table.held.get(module, {}).get(attribute)
                if held is None:
                    break
                via = f"{via}.{attribute}"
                target, is_module, _ = held
                if table.forbidden(target):
                    yield Reached(name.lineno, via, target)
                    break
                if not is_module:
                    break
                module = target
