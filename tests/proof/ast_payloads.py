"""What constant data given to a standard function imports, read for the
oracle: a pickle payload given to pickle.loads, with pickletools' table of
opcodes, and a logging configuration given to dictConfig, on the syntax
tree. The rules are stated again here, from CPython 3.13's sources:

- the unpickler runs the opcodes in order until STOP; GLOBAL and INST name
  a module and an object (UTF-8 and ASCII lines), STACK_GLOBAL takes the two
  texts on top of the stack; find_class maps Python 2's names below protocol
  3 (_compat_pickle) and reads a dotted name as a chain from protocol 4. It
  raises where an argument is cut short, an opcode is unknown, the stack has
  too little above its last mark, a mark or memo entry is missing, the
  protocol is above 5, a persistent id is met, or STACK_GLOBAL's operands
  are known not to be texts; nothing is imported after.
- What cannot be known is read on: the result of REDUCE and of the other
  opcodes that build objects, texts written with escapes, a text of bytes
  beyond ASCII; a STACK_GLOBAL of such operands, and an extension code
  (which copyreg's registry maps), are globals the payload does not name.
- A configuration is read when it is a dict display whose keys are constant
  texts, without `**`, and whose values fold to constants, are displays read
  in turn, are numbers, or (for "()", "class", "queue", "listener", which it
  resolves) a dotted name of the file; each value resolved, and each text
  `ext://path` anywhere, names a dotted path imported as
  BaseConfigurator.resolve imports it; a `cfg://` reference resolved there
  resolves the text it refers to, which makes the configuration unread.
"""

import _compat_pickle
import ast
import io
import pickletools
import re
import struct
from collections.abc import Callable, Iterator

HIGHEST_PROTOCOL = 5
CONVERT_PATTERN = re.compile(r"^(?P<prefix>[a-z]+)://(?P<suffix>.*)$")
RESOLVED_KEYS = frozenset({"()", "class", "queue", "listener"})


class Text(str):
    """A text on the stack or in the memo."""


UNKNOWN = object()  # what cannot be known
OTHER = object()  # surely no text
LINE_ARGUMENTS = frozenset({"decimalnl_short", "decimalnl_long", "floatnl"})


class Stop(Exception):
    """Where the unpickler raises."""


def _line(stream: io.BytesIO) -> bytes:
    line = stream.readline()
    if not line.endswith(b"\n"):
        raise Stop("truncated")
    return line[:-1]


def _take(stream: io.BytesIO, count: int) -> bytes:
    data = stream.read(count)
    if len(data) != count:
        raise Stop("truncated")
    return data


def _decimal(line: bytes) -> int | None:
    """A PUT or GET's key when it is digits alone (Python reads more forms)."""
    return int(line) if line.isdigit() and line.isascii() and len(line) <= 18 else None


def pickle_globals(data: bytes) -> Iterator[tuple[str, str, bool, tuple[str, str] | None] | None]:
    """Each global the unpickler reaches in `data`: (module, name, dotted,
    (module, name) as written when mapped), or None for one it does not
    name; until it stops."""
    stream = io.BytesIO(data)
    stack: list[list[object]] = [[]]  # the values between marks, the first below them all
    memo: dict[int, object] = {}
    exact = True  # every entry of the memo is known
    protocol = 0

    def pop() -> object:
        if not stack[-1]:
            raise Stop("underflow")
        return stack[-1].pop()

    def found(module: str, name: str) -> tuple[str, str, bool, tuple[str, str] | None]:
        if protocol < 3:
            if (module, name) in _compat_pickle.NAME_MAPPING:
                new = _compat_pickle.NAME_MAPPING[(module, name)]
            else:
                new = (_compat_pickle.IMPORT_MAPPING.get(module, module), name)
            if new != (module, name):
                return new[0], new[1], False, (module, name)
        return module, name, protocol >= 4, None

    try:
        while True:
            code = stream.read(1)
            opcode = pickletools.code2op.get(code.decode("latin-1")) if code else None
            if opcode is None or opcode.name == "STOP":
                return
            name = opcode.name
            if name == "MARK":
                stack.append([])
            elif name == "POP":
                if stack[-1]:
                    stack[-1].pop()
                elif len(stack) > 1:
                    stack.pop()  # the mark on top
                else:
                    return
            elif name == "DUP":
                value = pop()
                stack[-1] += [value, value]
            elif name in ("GLOBAL", "INST"):
                if name == "INST" and len(stack) == 1:
                    return
                module, attribute = _line(stream), _line(stream)
                codec = "utf-8" if name == "GLOBAL" else "ascii"
                try:
                    yield found(module.decode(codec), attribute.decode(codec))
                except UnicodeDecodeError:
                    return
                if name == "INST":
                    stack.pop()
                stack[-1].append(UNKNOWN)
            elif name == "STACK_GLOBAL":
                attribute, module = pop(), pop()
                if attribute is OTHER or module is OTHER:
                    return
                if isinstance(attribute, Text) and isinstance(module, Text):
                    yield found(str(module), str(attribute))
                else:
                    yield None
                stack[-1].append(UNKNOWN)
            elif name in ("SHORT_BINUNICODE", "BINUNICODE", "BINUNICODE8"):
                size = {"SHORT_BINUNICODE": "<B", "BINUNICODE": "<I", "BINUNICODE8": "<Q"}[name]
                (length,) = struct.unpack(size, _take(stream, struct.calcsize(size)))
                try:
                    stack[-1].append(Text(_take(stream, length).decode("utf-8", "surrogatepass")))
                except UnicodeDecodeError:
                    return
            elif name == "UNICODE":
                line = _line(stream)
                stack[-1].append(UNKNOWN if b"\\" in line else Text(line.decode("latin-1")))
            elif name in ("STRING", "BINSTRING", "SHORT_BINSTRING"):
                if name == "STRING":
                    raw = _line(stream)
                    if len(raw) < 2 or raw[:1] != raw[-1:] or raw[:1] not in (b"'", b'"'):
                        return
                    raw = raw[1:-1]
                    if b"\\" in raw:
                        stack[-1].append(UNKNOWN)
                        continue
                else:
                    raw = opcode.arg.reader(stream).encode("latin-1")
                stack[-1].append(Text(raw.decode("ascii")) if raw.isascii() else UNKNOWN)
            elif name in ("GET", "BINGET", "LONG_BINGET"):
                key = _decimal(_line(stream)) if name == "GET" else opcode.arg.reader(stream)
                if key in memo:
                    stack[-1].append(memo[key])
                elif exact and key is not None:
                    return
                else:
                    stack[-1].append(UNKNOWN)
            elif name in ("PUT", "BINPUT", "LONG_BINPUT", "MEMOIZE"):
                if name == "PUT":
                    key = _decimal(_line(stream))
                elif name == "MEMOIZE":
                    key = len(memo) if exact else None
                else:
                    key = opcode.arg.reader(stream)
                if not stack[-1]:
                    return
                if key is None:  # which entry is not known: none is
                    memo.clear()
                    exact = False
                else:
                    memo[key] = stack[-1][-1]
            elif name == "PROTO":
                protocol = opcode.arg.reader(stream)
                if protocol > HIGHEST_PROTOCOL:
                    return
            elif name == "FRAME":
                if opcode.arg.reader(stream) > len(data) - stream.tell():
                    return
            elif name in ("PERSID", "BINPERSID"):
                return  # pickle.loads has no persistent_load
            elif name in ("EXT1", "EXT2", "EXT4"):
                opcode.arg.reader(stream)
                yield None
                stack[-1].append(UNKNOWN)
            else:
                if opcode.arg is not None and opcode.arg.name in LINE_ARGUMENTS:
                    _line(stream)
                elif opcode.arg is not None:
                    opcode.arg.reader(stream)
                before = opcode.stack_before
                after = [UNKNOWN if kind is pickletools.anyobject else OTHER for kind in opcode.stack_after]
                if pickletools.markobject in before:
                    if len(stack) == 1:
                        return
                    taken = stack.pop()
                    if name == "OBJ" and not taken:
                        return
                    if before.index(pickletools.markobject) > 0:
                        # What is added to the object below the mark, which must be there.
                        if not any(stack):
                            return
                        continue
                else:
                    for _ in before:
                        pop()
                stack[-1] += after
    except (Stop, ValueError, struct.error):
        return


def _dotted(node: ast.AST) -> bool:
    while isinstance(node, ast.Attribute):
        node = node.value
    return isinstance(node, ast.Name)


def _numeric(node: ast.AST) -> bool:
    if isinstance(node, ast.Constant):
        return type(node.value) in (int, float, complex)
    if isinstance(node, ast.UnaryOp) and isinstance(node.op, (ast.UAdd, ast.USub)):
        return _numeric(node.operand)
    if isinstance(node, ast.BinOp) and isinstance(node.op, (ast.Add, ast.Sub)):
        return _numeric(node.left) and _numeric(node.right)
    return False


def configuration_targets(node: ast.AST, fold: Callable[[ast.AST], object],
                          constant_text: Callable[[ast.AST], str | None]) -> list[str] | None:
    """The dotted paths a configuration given to dictConfig resolves, or None
    when it cannot be read. `fold` and `constant_text` fold constants as the
    compiler does (ast_doors)."""
    if not isinstance(node, ast.Dict):
        return None
    targets: list[str] = []

    def value(item: ast.AST, key: str | None) -> bool:
        if isinstance(item, ast.Dict):
            for k, v in zip(item.keys, item.values):
                text = constant_text(k) if k is not None else None
                if text is None or not value(v, text):
                    return False
            return True
        if isinstance(item, (ast.List, ast.Tuple)):
            return all(not isinstance(e, ast.Starred) and value(e, None) for e in item.elts)
        folded = fold(item)
        resolved = key in RESOLVED_KEYS
        if isinstance(folded, str):
            match = CONVERT_PATTERN.match(folded)
            if match is None:
                if resolved:
                    targets.append(folded)
            elif match["prefix"] == "ext":
                targets.append(match["suffix"])
            elif match["prefix"] == "cfg":
                return not resolved  # resolved, it resolves the text it refers to, which is not followed
            elif resolved:  # no converter: resolved as it is
                targets.append(folded)
            return True
        if folded is None or isinstance(folded, (bytes, int, tuple)) or _numeric(item):
            return True
        return resolved and _dotted(item)

    return targets if value(node, None) else None
