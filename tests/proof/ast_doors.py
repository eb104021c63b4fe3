"""Every door to an importer that a syntax tree shows, read from Python's
own `ast`: import statements (relative ones with their level), calls of
__import__ and import_module under their names or an alias bound by an
import statement, relative names resolved from a constant anchor, any other
reference to an importer (a name not called, getattr with a constant name,
a subscript with a constant key, a module's loader), the submodules a
constant fromlist names, and the text given to exec, eval and compile, read
in turn as Python source.

A constant is what Python's compiler folds to one (see `fold`), the value of
`:=` included; the text given to a code runner may be bytes, read with
their coding declaration as compile reads them, or the first element of a
starred display, or the source of a `**` dict display.

A name is an alias from the point where its import statement binds it to
the end of the file, whatever the scope: the text is read in order, as the
native audit reads it. A text given to exec runs in the file's globals, so
it sees the aliases and the names of followed modules bound before the
call, and those it binds hold in the file after the call.

`vars(m)` of a name bound to a followed module is its namespace, read by a
constant key as `m.__dict__` is (`vars(logging)["os"]`), and so is the
`get` of either (`logging.__dict__.get("os")`).

Every string of an annotation (a parameter's, a def's return, an annotated
target's) is given to eval by typing.get_type_hints: each that folds to a
str is read as the text given to eval, at the string's line; a text Python
refuses is marked as refused, as exec's is, though the native audit gives
no finding of its own for it there.
"""

import ast
import bisect
import dataclasses
import io
import tokenize
from collections.abc import Iterator

import ast_payloads
import ast_reach

IMPORTERS = {"__import__": "importer", "import_module": "module_importer"}
# What a name bound to a function of the table by a `from` statement, or a chain to one, is.
FUNCTION_ROLES = {"module_name": "module_importer", "object_path": "module_importer", "python_text": "code",
                  "pickle_payload": "payload", "log_config": "configuration"}
# The roles of a name that is a reference when it is not called.
CALLED_ROLES = ("importer", "module_importer", "code", "payload", "configuration")
CODE_RUNNERS = ("exec", "eval", "compile")
LOADERS = ("__loader__",)
# Texts that name a door, as a subscript's key or getattr's name.
DOOR_TEXTS = frozenset(("__import__", "import_module", "exec", "eval", "compile", "__loader__"))
# Texts given to exec nested deeper than this cannot be judged: the file fails.
MOST_NESTING = 8
# CPython folds `text * n` only while the result holds at most this many
# characters (bytes of bytes); ints are folded here below this size only.
MOST_MULTIPLIED = 4096
MOST_FOLDED_INTEGER = 1 << 62
# Bytes in a codec only Python's codecs read cannot be judged: the file fails.
FOREIGN_BYTES = "code en octets d'un codage que seul Python lit"


@dataclasses.dataclass(frozen=True)
class Door:
    """One door found. `kind`: "import" (a module judged by the policy, or
    relative when `level` > 0), "dynamic" (an importer called with a name
    that is no constant: `name` is the callee), "reference", "code" (exec,
    eval or compile of what is no constant text), "refused" (a constant text
    Python refuses), "relative" (a relative dynamic import without a constant
    anchor), "unaudited" (texts nested too deep), "graph" (what leads into
    the object graph), "search" (search paths changed), "taken" (a name a
    `from` statement takes, joined to its module: `name` may be an
    attribute of it)."""

    line: int
    kind: str
    name: str
    level: int = 0
    target: str = ""  # "reached": the forbidden module, `name` being the chain


Position = tuple[int, int]


def position(node: ast.AST) -> Position:
    return (getattr(node, "lineno", 0), getattr(node, "col_offset", 0))


START: Position = (0, -1)
END: Position = (1 << 62, 0)


class Bindings:
    """Names bound by import statements to an importer, a code runner or
    getattr (`from importlib import import_module as im`), and names of the
    module builtins (`import builtins as b`), each from where it is bound;
    with `outer`, also those of the text a text given to exec is in, bound
    before `at` there."""

    def __init__(self, tree: ast.AST, outer: "Bindings | None" = None, at: Position = START,
                 chains: "ast_reach.Chains | None" = None) -> None:
        aliases: dict[str, list[tuple[Position, str]]] = {}
        if chains is not None:
            # `from pkgutil import resolve_name`: the name is an importer, `from timeit import timeit` a code runner.
            for statement, bound, function in chains.imported:
                role = FUNCTION_ROLES.get(function.kind)
                if role:
                    aliases.setdefault(bound, []).append((end_position(statement), role))
        builtins: dict[str, list[Position]] = {"builtins": [START], "__builtins__": [START]}
        if outer is not None:
            for name in outer.aliases:
                role = outer.alias_role(name, at)
                if role:
                    aliases[name] = [(START, role)]
            for name in outer.builtins:
                if outer.is_builtins(name, at):
                    builtins[name] = [START]
        for node in ast.walk(tree):
            if isinstance(node, ast.ImportFrom) and node.level == 0 and node.module in ("importlib", "builtins"):
                for alias in node.names:
                    role = imported_role(node.module, alias.name)
                    if role and alias.asname and alias.asname != alias.name:
                        aliases.setdefault(alias.asname, []).append((end_position(alias), role))
            elif isinstance(node, ast.Import):
                for alias in node.names:
                    if alias.name == "builtins" and alias.asname:
                        builtins.setdefault(alias.asname, []).append(end_position(alias))
        self.aliases: dict[str, list[tuple[Position, str]]] = {name: sorted(bound) for name, bound in aliases.items()}
        self.builtins: dict[str, list[Position]] = {name: sorted(bound) for name, bound in builtins.items()}

    def alias_role(self, name: str, where: Position) -> str | None:
        """The role of the last binding of `name` before `where`."""
        bound = self.aliases.get(name)
        if not bound:
            return None
        k = bisect.bisect_right(bound, (where, "\uffff")) - 1
        return bound[k][1] if k >= 0 else None

    def is_builtins(self, name: str, where: Position) -> bool:
        bound = self.builtins.get(name)
        return bound is not None and bound[0] < where

    def take(self, inner: "Bindings", at: Position) -> None:
        """What a text given to exec bound, from `at` (the call's end) on."""
        for name in inner.aliases:
            role = inner.alias_role(name, END)
            if role:
                bisect.insort(self.aliases.setdefault(name, []), (at, role))
        for name in inner.builtins:
            if name not in self.builtins:
                self.builtins[name] = [at]


def end_position(node: ast.AST) -> Position:
    return (getattr(node, "end_lineno", 0) or 0, getattr(node, "end_col_offset", 0) or 0)


def imported_role(module: str, name: str) -> str | None:
    """The role of `name` imported from importlib or builtins."""
    if name == "__import__":
        return "importer"
    if module == "importlib":
        return "module_importer" if name == "import_module" else None
    if name in CODE_RUNNERS:
        return "code"
    return "getattr" if name == "getattr" else None


def role_of(node: ast.AST, bindings: Bindings) -> str | None:
    """What a name or attribute gives: "importer" (__import__),
    "module_importer" (import_module), "code", "getattr", "loader", or None."""
    if isinstance(node, ast.Name):
        return name_role(node.id, position(node), bindings)
    if isinstance(node, ast.Attribute):
        if node.attr in IMPORTERS:  # any object's: importlib may have any name
            return IMPORTERS[node.attr]
        if node.attr == "__loader__":
            return "loader"
        value = node.value
        if isinstance(value, ast.Name) and bindings.is_builtins(value.id, position(value)):
            if node.attr in CODE_RUNNERS:
                return "code"
            if node.attr == "getattr":
                return "getattr"
            if node.attr == "vars":
                return "vars"
    return None


def name_role(name: str, where: Position, bindings: Bindings) -> str | None:
    role = bindings.alias_role(name, where)
    if role:
        return role
    if name in IMPORTERS:
        return IMPORTERS[name]
    if name in CODE_RUNNERS:
        return "code"
    if name == "getattr":
        return "getattr"
    if name == "vars":
        return "vars"
    if name in LOADERS:
        return "loader"
    return "module_spec" if name == "__spec__" else None


def callee(function: ast.expr) -> str:
    if isinstance(function, ast.Name):
        return function.id
    if isinstance(function, ast.Attribute):
        return f"{function.value.id}.{function.attr}" if isinstance(function.value, ast.Name) else function.attr
    return ""


class _NotConstant:
    """What a run that folds to no constant gives."""


NOT_CONSTANT = _NotConstant()


@dataclasses.dataclass(frozen=True)
class Display:
    """A list display, or a tuple one with an element that folds to no
    constant (which CPython leaves to run time): its elements as folded."""

    elements: tuple[object, ...]


def fold(node: ast.AST | None) -> object:
    """The constant `node` folds to, as CPython 3.13's compiler folds them,
    within what the audit follows: str, bytes, an int (a bool as its int),
    None, a tuple of constants (str, bytes, int), or a Display; NOT_CONSTANT
    otherwise. Folded: string literals, ints below 2**62 in size with unary
    signs, `+` of two str or two bytes, a str or bytes times an int within
    CPython's limit, `+`, `-` and `*` of ints below 2**62, a tuple's element,
    a str's character or a byte by an int, and the value of `:=`."""
    if isinstance(node, ast.Constant):
        value = node.value
        if isinstance(value, (str, bytes)) or value is None:
            return value
        if isinstance(value, bool):
            return int(value)
        if type(value) is int and value < MOST_FOLDED_INTEGER:
            return value
        return NOT_CONSTANT
    if isinstance(node, ast.NamedExpr):
        return fold(node.value)
    if isinstance(node, ast.UnaryOp) and isinstance(node.op, (ast.UAdd, ast.USub)):
        value = fold(node.operand)
        if type(value) is not int:
            return NOT_CONSTANT
        return -value if isinstance(node.op, ast.USub) else value
    if isinstance(node, ast.BinOp) and isinstance(node.op, (ast.Add, ast.Sub, ast.Mult)):
        left, right = fold(node.left), fold(node.right)
        if type(left) is int and type(right) is int:
            value = left + right if isinstance(node.op, ast.Add) else left - right if isinstance(
                node.op, ast.Sub) else left * right
            return value if -MOST_FOLDED_INTEGER < value < MOST_FOLDED_INTEGER else NOT_CONSTANT
        if isinstance(node.op, ast.Sub):
            return NOT_CONSTANT
        if isinstance(node.op, ast.Add):
            same = (isinstance(left, str) and isinstance(right, str)) or (
                isinstance(left, bytes) and isinstance(right, bytes))
            return left + right if same else NOT_CONSTANT  # type: ignore[operator]
        if type(left) is int and isinstance(right, (str, bytes)):
            left, right = right, left
        if not (isinstance(left, (str, bytes)) and type(right) is int):
            return NOT_CONSTANT
        if left and (right < 0 or right > MOST_MULTIPLIED // len(left)):
            return NOT_CONSTANT  # CPython leaves it to run time
        return left * right if left else left[:0]
    if isinstance(node, ast.Subscript):
        value, index = fold(node.value), fold(node.slice)
        if not isinstance(value, (tuple, str, bytes)) or type(index) is not int or not (
                -len(value) <= index < len(value)):
            return NOT_CONSTANT
        return value[index]
    if isinstance(node, (ast.Tuple, ast.List)):
        elements = tuple(NOT_CONSTANT if isinstance(e, ast.Starred) else fold(e) for e in node.elts)
        constant = all(isinstance(e, (str, bytes)) or type(e) is int for e in elements)
        return elements if isinstance(node, ast.Tuple) and constant else Display(elements)
    return NOT_CONSTANT


def constant_text(node: ast.AST | None) -> str | None:
    value = fold(node)
    return value if isinstance(value, str) else None


def code_source(call: ast.Call, name: str = "source") -> object:
    """What a code runner is given to run: the first argument (or the first
    element of a starred display there), else the first `name`= (source=)
    or the source of a `**` dict display of constant keys; NOT_CONSTANT
    when none is."""
    args = call.args
    if args and not isinstance(args[0], ast.Starred):
        return fold(args[0])
    starred = args[0].value if args else None
    while isinstance(starred, ast.NamedExpr):  # `*(t := [...])` gives the display's elements
        starred = starred.value
    if isinstance(starred, (ast.List, ast.Tuple)):
        elements = starred.elts
        if elements and not isinstance(elements[0], ast.Starred):
            first = fold(elements[0])
            if isinstance(first, (str, bytes)):
                return first
    for keyword in call.keywords:
        if keyword.arg == name:
            return fold(keyword.value)
        if keyword.arg is None and isinstance(keyword.value, ast.Dict):
            found: tuple[object] | None = None
            for key, value in zip(keyword.value.keys, keyword.value.values):
                if constant_text(key) is None:
                    found = None
                    break
                if constant_text(key) == "source":  # a dict display's source, whatever the function
                    found = (fold(value),)
            if found is not None:
                return found[0]
    return NOT_CONSTANT


def parse_code(text: str | bytes) -> ast.AST | str:
    """The syntax tree of a text given to a code runner, the blanks that
    begin it passed over as eval does; "refused" when Python refuses it,
    "unaudited" for bytes in a codec only Python's codecs read. Raises what
    the parser raises beyond SyntaxError and ValueError."""
    if isinstance(text, bytes):
        text = text.lstrip(b" \t")
        try:
            codec, _ = tokenize.detect_encoding(io.BytesIO(text).readline)
        except SyntaxError as error:
            unknown = "unknown encoding" in str(error) and not text.startswith(b"\xef\xbb\xbf")
            return "unaudited" if unknown else "refused"
        if codec not in ("utf-8", "utf-8-sig", "iso-8859-1"):
            return "unaudited"
    else:
        text = text.lstrip(" \t")  # a str: no coding declaration applies
    try:
        return ast.parse(text)
    except (SyntaxError, ValueError):
        return "refused"


def argument(call: ast.Call, position_: int, keyword: str) -> ast.expr | None:
    if len(call.args) > position_ and not any(isinstance(a, ast.Starred) for a in call.args[: position_ + 1]):
        return call.args[position_]
    return next((k.value for k in call.keywords if k.arg == keyword), None)


def defined_names(node: ast.AST) -> Iterator[tuple[str, Position]]:
    """Names that are no expressions but are tokens of the text: parameters,
    keyword arguments, global and nonlocal names, names in patterns."""
    if isinstance(node, ast.arg):
        yield node.arg, position(node)
    elif isinstance(node, ast.keyword) and node.arg is not None:
        yield node.arg, position(node)
    elif isinstance(node, (ast.Global, ast.Nonlocal)):
        for name in node.names:
            yield name, position(node)
    elif isinstance(node, (ast.MatchAs, ast.MatchStar)) and node.name is not None:
        yield node.name, position(node)
    elif isinstance(node, ast.MatchMapping) and node.rest is not None:
        yield node.rest, position(node)
    elif isinstance(node, ast.MatchClass):
        for name in node.kwd_attrs:
            yield name, position(node)
    elif isinstance(node, (ast.TypeVar, ast.ParamSpec, ast.TypeVarTuple)):
        yield node.name, position(node)


NO_ANCHOR = object()


def dict_package(globals_: ast.Dict) -> "str | None | object":
    """The package importlib computes from a dict of constant texts given as
    a module's globals; None when it holds anything else, NO_ANCHOR when it
    gives no package."""
    package = name = None
    has_path = False
    for key, value in zip(globals_.keys, globals_.values):
        key_text = constant_text(key)
        if key_text is None:
            return None  # `**other`, or a key computed at run time
        text = constant_text(value)
        if key_text == "__package__":
            if text is None:
                return None
            package = text
        elif key_text == "__name__":
            if text is None:
                return None
            name = text
        elif key_text == "__path__":
            has_path = True
        elif key_text == "__spec__":
            return None
    if package is not None:
        return package
    if name is not None:
        return name if has_path else name.rpartition(".")[0]
    return NO_ANCHOR


def resolve(package: str, level: int, rest: str) -> str | None:
    """importlib's resolution of a relative name; None above the top level."""
    for _ in range(level - 1):
        if "." not in package:
            return None
        package = package.rpartition(".")[0]
    return f"{package}.{rest}" if rest else package


class Finder:
    def __init__(self, tree: ast.AST, nesting: int, outer: Bindings | None = None, at: Position = START,
                 table: "ast_reach.Table | None" = None, seeds: tuple[tuple[Position, str, str], ...] = ()) -> None:
        self.tree = tree
        self.nesting = nesting
        self.table = table
        self.seeds = seeds
        calls = sorted((node for node in ast.walk(tree) if isinstance(node, ast.Call)), key=position)
        # What the texts bind to modules holds in the file from their call
        # on, and may change what a later text is: read again until it holds.
        taken: tuple[tuple[Position, str, str], ...] = ()
        self.text_bound = taken
        for _ in range(MOST_NESTING):
            self.chains = ast_reach.Chains(tree, table, seeds + taken) if table is not None else None
            self.bindings = Bindings(tree, outer, at, self.chains)
            self.texts: dict[int, Finder | str] = {}
            bound = self.read_texts(calls)
            if bound == taken:
                break
            taken = self.text_bound = bound

    def modules_seen(self, where: Position) -> tuple[tuple[Position, str, str], ...]:
        """The names of followed modules a text read at `where` sees."""
        if self.chains is None:
            return ()
        return tuple((START, name, module) for name, module in sorted(self.chains.modules_at(where).items()))

    def read_texts(self, calls: list[ast.Call]) -> tuple[tuple[Position, str, str], ...]:
        """The texts given to exec, read in the order of the text, each with
        the bindings made before it: "refused" for one Python refuses,
        "unaudited" for bytes only its codecs read. Returns the names the
        texts bound to modules, each from its call's end."""
        bound: list[tuple[Position, str, str]] = []
        for call in calls:
            text = self.code_text(call)
            if text is None or self.nesting >= MOST_NESTING:
                continue
            try:
                inner = parse_code(text)
            except Exception:  # RecursionError, MemoryError: left to audit_text
                continue
            if isinstance(inner, str):
                self.texts[id(call)] = inner
                continue
            where = end_position(call)
            finder = Finder(inner, self.nesting + 1, self.bindings, where, self.table, self.modules_seen(where))
            self.texts[id(call)] = finder
            self.bindings.take(finder.bindings, where)
            if finder.chains is not None:
                # What the text bound, its own texts included.
                for name in sorted(finder.chains.own | {name for _, name, _ in finder.text_bound}):
                    module = finder.chains.module_of(name, END)
                    if module is not None:
                        bound.append((where, name, module))
        return tuple(bound)

    def function(self, node: ast.AST) -> "ast_reach.Function | None":
        """The function of the table a chain on a followed module lands on."""
        return self.chains.functions.get(id(node)) if self.chains is not None else None

    def function_alias(self, node: ast.AST) -> bool:
        """Whether a name was bound to a function of the table by a `from`
        statement (before it): its attributes are other functions."""
        if self.chains is None or not isinstance(node, ast.Name):
            return False
        return any(bound == node.id and ast_reach.end_position(statement) < ast_reach.position(node)
                   for statement, bound, function in self.chains.imported
                   if function.kind in FUNCTION_ROLES)

    def role(self, node: ast.AST) -> str | None:
        function = self.function(node)
        if function is not None:
            return FUNCTION_ROLES.get(function.kind)
        return role_of(node, self.bindings)

    def keyword(self, node: ast.AST, role: str | None) -> str:
        function = self.function(node)
        if function is not None and function.keyword:
            return function.keyword
        return "source" if role == "code" else "name"

    def callee(self, node: ast.expr) -> str:
        function = self.function(node)
        return function.via if function is not None else callee(node)

    def code_text(self, call: ast.Call) -> str | bytes | None:
        """The constant text given to a code runner, if the call is one."""
        if self.role(call.func) != "code":
            return None
        text = code_source(call, self.keyword(call.func, "code"))
        return text if isinstance(text, (str, bytes)) else None

    def doors(self) -> Iterator[Door]:
        # Functions called, and classes of class patterns, which look like
        # calls; the attributes of __spec__ other than its loader.
        called: set[int] = set()
        harmless: set[int] = set()
        for node in ast.walk(self.tree):
            if isinstance(node, ast.Call):
                called.add(id(node.func))
            elif isinstance(node, ast.MatchClass):
                called.add(id(node.cls))
            elif isinstance(node, ast.Attribute) and node.attr != "loader":
                harmless.add(id(node.value))
        for node in ast.walk(self.tree):
            if isinstance(node, ast.Import):
                for alias in node.names:
                    yield Door(node.lineno, "import", alias.name)
            elif isinstance(node, ast.ImportFrom):
                yield Door(node.lineno, "import", node.module or "", node.level)
                module = node.module or ""
                for alias in node.names:
                    if alias.name != "*":
                        yield Door(node.lineno, "taken", f"{module}.{alias.name}" if module else alias.name,
                                   node.level)
            elif isinstance(node, (ast.Name, ast.Attribute)):
                role = self.role(node)
                name = node.id if isinstance(node, ast.Name) else node.attr
                function = self.function(node)
                if function is not None:
                    # An attribute of the function is another (`mock.patch.object`).
                    if role and id(node) not in called and id(node) not in harmless:
                        yield Door(node.lineno, "reference", function.via)
                    elif function.kind == "opaque":
                        yield Door(node.lineno, "dynamic", function.via)
                    elif function.kind == "object_graph":
                        yield Door(node.lineno, "graph", function.via)
                elif role == "loader" or (role in CALLED_ROLES and id(node) not in called
                                          and not (id(node) in harmless and self.function_alias(node))):
                    yield Door(node.lineno, "reference", name)
                elif role == "module_spec" and id(node) not in called and id(node) not in harmless:
                    yield Door(node.lineno, "reference", name)
            elif isinstance(node, ast.Subscript):
                key = constant_text(node.slice)
                if key in DOOR_TEXTS:
                    yield Door(node.lineno, "reference", key)
            if isinstance(node, ast.Call):
                yield from self.call(node)
            for name, where in defined_names(node):
                role = name_role(name, where, self.bindings)
                if role in CALLED_ROLES + ("loader", "module_spec"):
                    yield Door(where[0], "reference", name)
        if self.chains is not None:
            yield from self.graph_and_paths()
        yield from self.annotation_doors()

    def annotation_doors(self) -> Iterator[Door]:
        """Each string of an annotation, read as the text given to eval at its line."""
        for node in ast.walk(self.tree):
            annotations: list[ast.expr] = []
            if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)):
                arguments = node.args
                for parameter in [*arguments.posonlyargs, *arguments.args, *arguments.kwonlyargs,
                                  arguments.vararg, arguments.kwarg]:
                    if parameter is not None and parameter.annotation is not None:
                        annotations.append(parameter.annotation)
                if node.returns is not None:
                    annotations.append(node.returns)
            elif isinstance(node, ast.AnnAssign):
                annotations.append(node.annotation)
            for annotation in annotations:
                for string, text in annotation_texts(annotation):
                    yield from self.annotation_text(text, string)

    def annotation_text(self, text: str, node: ast.expr) -> Iterator[Door]:
        line = node.lineno
        if self.nesting >= MOST_NESTING:
            yield Door(line, "unaudited", "code dynamique imbriqu\u00e9 trop profond\u00e9ment")
            return
        text = text.lstrip(" \t")
        if not text:
            return
        try:
            tree = parse_code(text)
        except Exception:  # RecursionError, MemoryError: it cannot be judged
            yield Door(line, "unaudited", "code dynamique trop profond pour le parseur")
            return
        if isinstance(tree, str):
            # eval raises before it runs any of it, and the native audit, which
            # looks for no mistake of grammar, reads it all the same: what it
            # finds on this line is beyond the comparison, as for exec.
            yield Door(line, "refused", "")
            return
        where = end_position(node)
        finder = Finder(tree, self.nesting + 1, self.bindings, where, self.table, self.modules_seen(where))
        for door in finder.doors():
            yield dataclasses.replace(door, line=line)
        yield from finder.reached_doors(line)

    def graph_and_paths(self) -> Iterator[Door]:
        """The object graph's attributes, search paths changed, sys.modules
        subscripted, and the functions of the table taken by a `from` statement."""
        assert self.chains is not None
        for statement, _, function in self.chains.imported:
            kind = {"object_graph": "graph", "search_path": "search", "opaque": "dynamic",
                    "module_table": "dynamic"}.get(function.kind)
            if kind:
                yield Door(statement.lineno, kind, function.via)
        # What a search path's list is, and what it is named in a finding.
        def search_list(node: ast.AST) -> str | None:
            while isinstance(node, ast.Subscript):
                node = node.value
            function = self.function(node)
            if function is not None and function.kind == "search_path":
                return function.via
            if isinstance(node, ast.Name) and node.id == "__path__":
                return "__path__"
            if isinstance(node, ast.Attribute) and node.attr in ("__path__", "submodule_search_locations"):
                return node.attr
            return None

        for node in ast.walk(self.tree):
            if isinstance(node, ast.Attribute):
                if node.attr in ast_reach.GRAPH:
                    yield Door(node.lineno, "graph", node.attr)
                elif node.attr in ast_reach.MUTATING:
                    changed = search_list(node.value)
                    if changed is not None:
                        yield Door(node.lineno, "search", f"{changed}.{node.attr}")
            elif isinstance(node, (ast.Assign, ast.AugAssign)):
                for target in node.targets if isinstance(node, ast.Assign) else [node.target]:
                    changed = search_list(target)
                    if changed is not None:
                        yield Door(target.lineno, "search", changed)
            elif isinstance(node, ast.Subscript) and self.namespace(node.value) is not None:
                module, via, written = self.namespace(node.value)  # type: ignore[misc]
                key = constant_text(node.slice)
                if key is not None:
                    yield from self.held(module, key, via, node.lineno)
                else:
                    yield Door(node.lineno, "dynamic", f"{written}[...]")
            elif isinstance(node, ast.Subscript):
                function = self.function(node.value)
                if function is not None and function.kind == "module_table":
                    key = constant_text(node.slice)
                    if key is not None:
                        yield Door(node.lineno, "import", key)
                    elif not (isinstance(node.slice, ast.Name) and node.slice.id == "__name__"):
                        yield Door(node.lineno, "dynamic", "sys.modules[...]")

    def namespace(self, node: ast.AST) -> tuple[str, str, str] | None:
        """The namespace of a followed module that `node` is: `m.__dict__`,
        or `vars(m)` of a name bound to one; its module, the chain before
        it, and how it is written in a finding."""
        assert self.chains is not None
        if id(node) in self.chains.dicts:
            module, via = self.chains.dicts[id(node)]
            return module, via, f"{via}.__dict__"
        if not isinstance(node, ast.Call) or self.role(node.func) != "vars":
            return None
        args = node.args
        if len(args) != 1 or not isinstance(args[0], ast.Name):
            return None
        module = self.chains.module_of(args[0].id, position(args[0]))
        return (module, args[0].id, f"vars({args[0].id})") if module is not None else None

    def namespace_get(self, call: ast.Call) -> Iterator[Door]:
        """`<namespace>.get(key)`: the key taken from the module as an attribute."""
        func = call.func
        if not isinstance(func, ast.Attribute) or func.attr != "get" or self.namespace(func.value) is None:
            return
        module, via, written = self.namespace(func.value)  # type: ignore[misc]
        args = call.args
        key = constant_text(args[0]) if args and not isinstance(args[0], ast.Starred) else None
        if key is not None:
            yield from self.held(module, key, via, call.lineno)
        else:
            yield Door(call.lineno, "dynamic", f"{written}.get(...)")

    def reached_doors(self, line: int) -> Iterator[Door]:
        """The chains of a text run as code that reach a forbidden module, at the call's line."""
        if self.chains is not None:
            for found in self.chains.reached:
                yield Door(line, "reached", found.via, target=found.target)

    def held(self, module: str, name: str, via: str, line: int) -> Iterator[Door]:
        """`name` taken from `module` by a constant: a forbidden module, or an object of one."""
        assert self.table is not None
        held = self.table.held.get(module, {}).get(name)
        if held is not None and self.table.forbidden(held[0]):
            yield Door(line, "reached", f"{via}.{name}", target=held[0])

    def call(self, call: ast.Call) -> Iterator[Door]:
        role = self.role(call.func)
        if self.chains is not None:
            yield from self.namespace_get(call)
        if role == "getattr" and self.chains is not None:
            args = call.args
            first = args[0] if args and not isinstance(args[0], ast.Starred) else None
            module = self.chains.module_of(first.id, position(first)) if isinstance(first, ast.Name) else None
            if module is not None and len(args) >= 2 and not isinstance(args[1], ast.Starred):
                assert isinstance(first, ast.Name)
                key = constant_text(args[1])
                if key is not None:
                    yield from self.held(module, key, first.id, call.lineno)
                else:
                    yield Door(call.lineno, "dynamic", f"getattr({first.id}, ...)")
        if role == "getattr":
            args = call.args
            if len(args) >= 2 and not any(isinstance(a, ast.Starred) for a in args[:2]):
                name = constant_text(args[1])
                if name in DOOR_TEXTS:
                    yield Door(call.lineno, "reference", name)
        elif role == "code":
            text = self.code_text(call)
            if text is None:
                yield Door(call.lineno, "code", self.callee(call.func))
            elif id(call) in self.texts:
                finder = self.texts[id(call)]
                if finder == "refused":
                    yield Door(call.lineno, "refused", "")
                elif finder == "unaudited":
                    yield Door(call.lineno, "unaudited", FOREIGN_BYTES)
                else:
                    assert isinstance(finder, Finder)
                    for door in finder.doors():
                        yield dataclasses.replace(door, line=call.lineno)
                    yield from finder.reached_doors(call.lineno)
            else:
                yield from audit_text(text, call.lineno, self.nesting)
        elif role in ("importer", "module_importer"):
            yield from self.dynamic_import(call, role)
        elif role == "payload":
            yield from self.payload(call)
        elif role == "configuration":
            yield from self.configuration(call)

    def payload(self, call: ast.Call) -> Iterator[Door]:
        """pickle.loads(data, /): each module a constant payload imports, each
        name it takes followed; a str raises before anything is read."""
        first = call.args[0] if call.args and not isinstance(call.args[0], ast.Starred) else None
        data = fold(first) if first is not None else NOT_CONSTANT
        if isinstance(data, str):
            return
        if not isinstance(data, bytes):
            yield Door(call.lineno, "dynamic", self.callee(call.func))
            return
        # fix_imports=False imports Python 2's names as they are.
        as_written = any(keyword.arg == "fix_imports" for keyword in call.keywords)
        for found in ast_payloads.pickle_globals(data):
            if found is None:
                yield Door(call.lineno, "dynamic", self.callee(call.func))
                continue
            module, name, dotted, original = found
            yield from self.taken(module, name, dotted, call.lineno)
            if original is not None and as_written:
                yield from self.taken(original[0], original[1], False, call.lineno)

    def taken(self, module: str, name: str, dotted: bool, line: int) -> Iterator[Door]:
        """find_class: `module` imported, then `name` taken from it (a chain when dotted)."""
        if not module or module.startswith("."):
            return  # __import__ raises
        yield Door(line, "import", module)
        if self.table is None or not self.table.followed_from(module):
            return
        if not dotted:
            yield from self.held(module, name, module, line)
            return
        yield from self.chain(module, name.split("."), line, submodules=False)

    def chain(self, module: str, parts: list[str], line: int, submodules: bool) -> Iterator[Door]:
        """Attributes taken in turn from `module` through the table: a forbidden
        module or an object of one is reached; with `submodules`, a submodule
        is imported (as logging's resolve imports one it does not find)."""
        assert self.table is not None
        via = module
        for part in parts:
            held = self.table.held.get(module, {}).get(part)
            if held is None:
                return
            target, is_module, _ = held
            via = f"{via}.{part}"
            if submodules and is_module and target == f"{module}.{part}":
                yield Door(line, "import", target)
                if self.table.forbidden(target):
                    return
            elif self.table.forbidden(target):
                yield Door(line, "reached", via, target=target)
                return
            elif not is_module:
                return
            module = target

    def configuration(self, call: ast.Call) -> Iterator[Door]:
        """dictConfig(config): each dotted path a configuration read whole resolves."""
        given = argument(call, 0, "config")
        targets = ast_payloads.configuration_targets(given, fold, constant_text) if given is not None else None
        if targets is None:
            yield Door(call.lineno, "dynamic", self.callee(call.func))
            return
        for path in targets:
            first, _, rest = path.partition(".")
            if not first:
                continue  # __import__ raises
            yield Door(call.lineno, "import", first)
            if rest and self.table is not None and self.table.followed_from(first):
                yield from self.chain(first, rest.split("."), call.lineno, submodules=True)

    def dynamic_import(self, call: ast.Call, role: str) -> Iterator[Door]:
        name = constant_text(argument(call, 0, self.keyword(call.func, role)))
        if name is None:
            yield Door(call.lineno, "dynamic", self.callee(call.func))
            return
        if role == "module_importer":
            if ":" in name:
                # "module:attribute", as pkgutil.resolve_name reads it: the module is imported. Under a name
                # an import binds, it is not told from import_module, whose reading is judged too.
                if self.function(call.func) is None:
                    yield Door(call.lineno, "import", name)
                name = name.partition(":")[0]
            level = len(name) - len(name.lstrip("."))
            rest = name[level:]
        else:
            given = argument(call, 4, "level")
            level = given.value if isinstance(given, ast.Constant) and type(given.value) is int else 0
            rest = name
        if level <= 0:
            yield Door(call.lineno, "import", name)
            if role == "importer":
                yield from fromlist_doors(call, name, 0)
            return
        yield from self.relative(call, role, rest, level)

    def relative(self, call: ast.Call, role: str, rest: str, level: int) -> Iterator[Door]:
        args = call.args
        module_style = role == "module_importer"
        packages = [k.value for k in call.keywords if k.arg == "package"]
        if module_style and len(args) < 2 and packages:
            anchor, positional = packages[0], False
        elif len(args) >= 2 and not any(isinstance(a, ast.Starred) for a in args[:2]):
            anchor, positional = args[1], True
        else:
            anchor, positional = None, False
        own = isinstance(anchor, ast.Name) and anchor.id == "__package__"
        own = own or (positional and isinstance(anchor, ast.Call) and isinstance(anchor.func, ast.Name)
                      and anchor.func.id == "globals")
        if own:  # the module's own package: as a relative import statement
            yield Door(call.lineno, "import", rest, level)
            if role == "importer":
                yield from fromlist_doors(call, rest, level)
            return
        if module_style or not positional:
            package = constant_text(anchor) if anchor is not None else None
        else:
            found = dict_package(anchor) if isinstance(anchor, ast.Dict) else None
            package = found if isinstance(found, str) else None
        if package is None:
            yield Door(call.lineno, "relative", self.callee(call.func))
            return
        # An empty package, or a level above its top, makes importlib raise: nothing is imported.
        resolved = resolve(package, level, rest) if package else None
        if resolved is not None:
            yield Door(call.lineno, "import", resolved)
            if role == "importer":
                yield from fromlist_doors(call, resolved, 0)


def annotation_texts(node: ast.AST) -> Iterator[tuple[ast.expr, str]]:
    """The strings of an annotation: each largest part that folds to a str,
    and those within the replacement fields of an f-string."""
    if isinstance(node, ast.JoinedStr):
        for value in node.values:
            if isinstance(value, ast.FormattedValue):
                yield from annotation_texts(value)
        return
    folded = fold(node)
    if isinstance(folded, str):
        assert isinstance(node, ast.expr)
        yield node, folded
        return
    for child in ast.iter_child_nodes(node):
        yield from annotation_texts(child)


def fromlist_doors(call: ast.Call, module: str, level: int) -> Iterator[Door]:
    """The submodules of `module` that __import__'s fromlist names: each
    name but "*" (which takes __all__, as `from module import *` does); a
    dynamic import when the fromlist is no display of constant texts."""
    given = argument(call, 3, "fromlist")
    if given is None:
        return
    names = fold(given)
    if names is None:
        return
    elements = names.elements if isinstance(names, Display) else names if isinstance(names, tuple) else None
    if elements is None or not all(isinstance(name, str) for name in elements):
        yield Door(call.lineno, "dynamic", callee(call.func))
        return
    for name in elements:
        if name and name != "*":
            yield Door(call.lineno, "import", f"{module}.{name}" if module else name, level)


def audit_text(text: str | bytes, line: int, nesting: int) -> Iterator[Door]:
    """The doors of a text given to exec, eval or compile, all at the call's
    line. The blanks that begin it are passed over as eval does."""
    if nesting >= MOST_NESTING:
        yield Door(line, "unaudited", "code dynamique imbriqué trop profondément")
        return
    try:
        tree = parse_code(text)
    except Exception:  # RecursionError, MemoryError: it cannot be judged
        yield Door(line, "unaudited", "code dynamique trop profond pour le parseur")
        return
    if tree == "refused":
        yield Door(line, "refused", "")
        return
    if tree == "unaudited":
        yield Door(line, "unaudited", FOREIGN_BYTES)
        return
    assert isinstance(tree, ast.AST)
    for door in Finder(tree, nesting + 1).doors():
        yield dataclasses.replace(door, line=line)


def doors_of(tree: ast.AST, table: "ast_reach.Table | None" = None) -> Iterator[Door]:
    """Every door of a file's syntax tree, at the parser's lines; with
    `table`, the functions of standard modules and the object graph too."""
    return Finder(tree, 0, table=table).doors()
