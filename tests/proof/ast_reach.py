"""Names bound to standard modules, followed through Python's syntax tree.

A name bound to a standard module by an import statement, or by an
assignment, an annotated one or `:=` whose value is such a module (a name,
or a chain of attributes landing on one: `l = logging`, `h =
logging.handlers`), is followed to the file's end, scopes aside, as the
native audit follows it: each chain of
attributes on it (`logging.os.system`), each name a `from` statement takes
from such a module (`from logging import os`, `from ssl import *`), walked
through the engine's table of what each module holds. A chain that lands on
a module the policy forbids, or on an object defined in one, is a finding at
the chain's first name, or at the `from` statement. A chain that lands on a
function of the standard library that imports by a name, runs a text, or
leads into the object graph, or reads a payload or a logging configuration
for the modules it names, is handed to the doors (ast_doors).

Only the table of holdings is the engine's (the standard one, and the rows a
policy gives for other modules); the functions are listed here again, from
the 3.13 sources, and the reading is the syntax tree's.
"""

import ast
import bisect
from collections.abc import Callable, Iterable, Iterator, Set
from dataclasses import dataclass

import scanner_audit

# (module, function): (kind, keyword of the argument read)
FUNCTIONS: dict[tuple[str, str], tuple[str, str]] = {
    ("cProfile", "run"): ("python_text", "statement"),
    ("cProfile", "runctx"): ("python_text", "statement"),
    ("profile", "run"): ("python_text", "statement"),
    ("profile", "runctx"): ("python_text", "statement"),
    ("pdb", "run"): ("python_text", "statement"),
    ("pdb", "runctx"): ("python_text", "statement"),
    ("pdb", "runeval"): ("python_text", "expression"),
    ("timeit", "timeit"): ("python_text", "stmt"),
    ("timeit", "repeat"): ("python_text", "stmt"),
    ("timeit", "Timer"): ("python_text", "stmt"),
    ("pkgutil", "resolve_name"): ("object_path", "name"),
    ("pydoc", "locate"): ("object_path", "path"),
    ("unittest.mock", "patch"): ("object_path", "target"),
    ("runpy", "run_module"): ("module_name", "mod_name"),
    ("importlib.util", "find_spec"): ("module_name", "name"),
    ("code", "InteractiveConsole"): ("opaque", ""),
    ("code", "InteractiveInterpreter"): ("opaque", ""),
    ("code", "interact"): ("opaque", ""),
    ("doctest", "run_docstring_examples"): ("opaque", ""),
    ("doctest", "testmod"): ("opaque", ""),
    ("importlib.util", "module_from_spec"): ("opaque", ""),
    ("importlib.util", "spec_from_file_location"): ("opaque", ""),
    ("importlib.util", "spec_from_loader"): ("opaque", ""),
    ("logging.config", "dictConfig"): ("log_config", "config"),
    ("logging.config", "fileConfig"): ("opaque", ""),
    ("logging.config", "listen"): ("opaque", ""),
    ("pickle", "Unpickler"): ("opaque", ""),
    ("pickle", "load"): ("opaque", ""),
    ("pickle", "loads"): ("pickle_payload", ""),
    ("_pickle", "Unpickler"): ("opaque", ""),
    ("_pickle", "load"): ("opaque", ""),
    ("_pickle", "loads"): ("pickle_payload", ""),
    ("runpy", "run_path"): ("opaque", ""),
    ("site", "addsitedir"): ("opaque", ""),
    ("zipimport", "zipimporter"): ("opaque", ""),
    ("gc", "get_objects"): ("object_graph", ""),
    ("gc", "get_referents"): ("object_graph", ""),
    ("gc", "get_referrers"): ("object_graph", ""),
    ("inspect", "currentframe"): ("object_graph", ""),
    ("inspect", "stack"): ("object_graph", ""),
    ("inspect", "trace"): ("object_graph", ""),
    ("logging", "currentframe"): ("object_graph", ""),
    ("sys", "_current_frames"): ("object_graph", ""),
    ("sys", "_getframe"): ("object_graph", ""),
    ("sys", "path"): ("search_path", ""),
    ("sys", "meta_path"): ("search_path", ""),
    ("sys", "path_hooks"): ("search_path", ""),
    ("sys", "modules"): ("module_table", ""),
}
FUNCTION_MODULES = frozenset(module for module, _ in FUNCTIONS)
# Attributes of any object that lead into the interpreter's objects.
GRAPH = frozenset({"__subclasses__", "__globals__", "__builtins__", "__code__", "__closure__", "f_globals",
                   "f_locals", "f_builtins", "f_back", "gi_frame", "cr_frame", "ag_frame", "tb_frame"})
# What changes a list of search paths in place.
MUTATING = frozenset({"append", "insert", "extend", "remove", "pop", "clear", "reverse", "sort", "__setitem__",
                      "__iadd__", "__delitem__"})

Position = tuple[int, int]
# (module, attribute, target, target is a module, bound by `import *`)
Row = tuple[str, str, str, bool, bool]


@dataclass(frozen=True)
class Reached:
    line: int
    via: str  # the chain as written, names normalised
    target: str  # the forbidden module


@dataclass(frozen=True)
class Function:
    """A chain that lands on a function of the table."""

    via: str
    kind: str
    keyword: str


class Table:
    """The engine's table, and what is followed under a policy."""

    def __init__(self, forbidden: Callable[[str], bool], local_modules: Set[str], holdings: Iterable[Row] = ()) -> None:
        self.held: dict[str, dict[str, tuple[str, bool, bool]]] = {}
        for module, attribute, target, is_module, starred in scanner_audit.module_holdings():
            self.held.setdefault(module, {})[attribute] = (target, is_module, starred)
        # A policy's rows for other modules: a standard module stays the
        # built table's, and of two rows for one name the first stands.
        standard = frozenset(self.held)
        for module, attribute, target, is_module, starred in holdings:
            if module not in standard:
                self.held.setdefault(module, {}).setdefault(attribute, (target, is_module, starred))
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

    def followed_from(self, module: str) -> bool:
        """Whether what a constant takes from `module` is followed: it is
        neither forbidden (its import fails the file already) nor the
        plugin's own."""
        return not self.forbidden(module) and module.partition(".")[0] not in self.local_modules \
            and module not in self.local_modules

    def followed(self, module: str) -> bool:
        """Whether a name bound to `module` is followed: it is neither
        forbidden itself (its import fails the file already) nor the plugin's
        own, and it has functions of the table or some chain from it reaches
        a forbidden module."""
        if not module or self.forbidden(module):
            return False
        if module.partition(".")[0] in self.local_modules or module in self.local_modules:
            return False
        return module in FUNCTION_MODULES or self._reaches(module)


def position(node: ast.AST) -> Position:
    return (getattr(node, "lineno", 0), getattr(node, "col_offset", 0))


def end_position(node: ast.AST) -> Position:
    return (getattr(node, "end_lineno", 0) or 0, getattr(node, "end_col_offset", 0) or 0)


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


class Chains:
    """The names a tree binds to followed modules, each from where it is
    bound; the reached modules and functions of its chains and `from`
    statements, in source order."""

    def __init__(self, tree: ast.AST, table: Table, seeds: Iterable[tuple[Position, str, str]] = ()) -> None:
        """`seeds`: names bound other than by the tree's statements, each at
        a position: the file's names a text run as code sees, or what such a
        text bound, in the file from its call on."""
        self.table = table
        self.bound: dict[str, list[tuple[Position, str]]] = {}
        self.own: set[str] = set()  # the names the tree itself binds
        for at, name, module in seeds:
            self._bind(name, module, at)
        self.reached: list[Reached] = []
        # `from m import f` of a function of the table: the statement, the name bound, the function.
        self.imported: list[tuple[ast.ImportFrom, str, Function]] = []
        # Each chain that lands on a function: the attribute node, and the function.
        self.functions: dict[int, Function] = {}
        # Each `__dict__` of a followed module: the attribute node, the module and the chain before it.
        self.dicts: dict[int, tuple[str, str]] = {}
        events: list[tuple[Position, int, ast.AST]] = []
        inner: set[int] = set()
        for node in ast.walk(tree):
            if isinstance(node, ast.Attribute) and isinstance(node.value, ast.Attribute):
                inner.add(id(node.value))
        for node in ast.walk(tree):
            if isinstance(node, (ast.Import, ast.ImportFrom)):
                events.append((position(node), 0, node))
            elif isinstance(node, ast.Attribute) and id(node) not in inner:
                events.append((position(node), 1, node))
            elif isinstance(node, (ast.Assign, ast.AnnAssign, ast.NamedExpr)):
                # Bound once the value is read: after its own chains.
                events.append((end_position(node), 2, node))
        events.sort(key=lambda event: (event[0], event[1]))
        for _, _, node in events:
            if isinstance(node, ast.Import):
                self._import(node)
            elif isinstance(node, ast.ImportFrom):
                self._from(node)
            elif isinstance(node, (ast.Assign, ast.AnnAssign, ast.NamedExpr)):
                self._assign(node)
            else:
                assert isinstance(node, ast.Attribute)
                self._attributes(node)

    def module_of(self, name: str, where: Position) -> str | None:
        bound = self.bound.get(name)
        if not bound:
            return None
        k = bisect.bisect_right(bound, (where, "\uffff")) - 1
        return bound[k][1] if k >= 0 else None

    def _bind(self, name: str, module: str, at: Position, own: bool = False) -> None:
        bisect.insort(self.bound.setdefault(name, []), (at, module))
        if own:
            self.own.add(name)

    def modules_at(self, where: Position) -> dict[str, str]:
        """Every name bound to a module before `where`, and its module."""
        found = {}
        for name in self.bound:
            module = self.module_of(name, where)
            if module is not None:
                found[name] = module
        return found

    def module_value(self, node: ast.AST) -> str | None:
        """The followed module a value is: a name bound to one, or a chain
        of attributes from one that lands on a module of the table."""
        if isinstance(node, ast.Name):
            return self.module_of(node.id, position(node))
        if not isinstance(node, ast.Attribute):
            return None
        module = self.module_value(node.value)
        if module is None or node.attr == "__dict__" or (module, node.attr) in FUNCTIONS:
            return None
        held = self.table.held.get(module, {}).get(node.attr)
        if held is None or self.table.forbidden(held[0]) or not held[1]:
            return None
        return held[0]

    def _assign(self, node: ast.Assign | ast.AnnAssign | ast.NamedExpr) -> None:
        if isinstance(node, ast.Assign):
            targets = [target for target in node.targets if isinstance(target, ast.Name)]
        elif isinstance(node, ast.AnnAssign):
            simple = node.simple and isinstance(node.target, ast.Name) and node.value is not None
            targets = [node.target] if simple else []
        else:
            targets = [node.target]
        if not targets or node.value is None:
            return
        module = self.module_value(node.value)
        if module is None or not self.table.followed(module):
            return
        for target in targets:
            assert isinstance(target, ast.Name)
            self._bind(target.id, module, end_position(node), own=True)

    def _import(self, node: ast.Import) -> None:
        for alias in node.names:
            if alias.asname is not None:
                if self.table.followed(alias.name):
                    self._bind(alias.asname, alias.name, end_position(alias), own=True)
            else:
                root = alias.name.partition(".")[0]
                if self.table.followed(root):
                    self._bind(root, root, end_position(alias), own=True)

    def _from(self, node: ast.ImportFrom) -> None:
        if node.level or not node.module or not self.table.followed(node.module):
            return
        for alias in node.names:
            if alias.name == "*":
                for name, (_, _, starred) in sorted(self.table.held.get(node.module, {}).items()):
                    if starred:
                        self._take(node, name, name, end_position(node))
            else:
                self._take(node, alias.name, alias.asname or alias.name, end_position(alias))

    def _take(self, node: ast.ImportFrom, name: str, bound: str, at: Position) -> None:
        module = node.module or ""
        entry = FUNCTIONS.get((module, name))
        if entry is not None:
            self.imported.append((node, bound, Function(f"{module}.{name}", *entry)))
            return
        held = self.table.held.get(module, {}).get(name)
        if held is None:
            return
        target, is_module, _ = held
        if self.table.forbidden(target):
            self.reached.append(Reached(node.lineno, f"{module}.{name}", target))
        elif is_module and self.table.followed(target):
            self._bind(bound, target, at, own=True)

    def _attributes(self, node: ast.Attribute) -> None:
        chain = _chain(node)
        if chain is None:
            return
        name, attributes = chain
        module = self.module_of(name.id, position(name))
        if module is None:
            return
        via = name.id
        # The attribute nodes from the innermost out, for the function found.
        nodes: list[ast.Attribute] = []
        value: ast.AST = node
        while isinstance(value, ast.Attribute):
            nodes.append(value)
            value = value.value
        nodes.reverse()
        for attribute, at in zip(attributes, nodes):
            if attribute == "__dict__":
                self.dicts[id(at)] = (module, via)
                return
            via = f"{via}.{attribute}"
            entry = FUNCTIONS.get((module, attribute))
            if entry is not None:
                self.functions[id(at)] = Function(via, *entry)
                return
            held = self.table.held.get(module, {}).get(attribute)
            if held is None:
                return
            target, is_module, _ = held
            if self.table.forbidden(target):
                self.reached.append(Reached(name.lineno, via, target))
                return
            if not is_module:
                return
            module = target


def reached(tree: ast.AST, table: Table) -> Iterator[Reached]:
    """Every chain of `tree` that reaches a forbidden module, in source order."""
    yield from Chains(tree, table).reached
