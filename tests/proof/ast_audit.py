"""The audit through Python's own parser, the oracle the native audit is
held to: every import that the `ast` of a file shows, judged by the
policy, less those the line scan reported.

It reads a file as the interpreter will (the bytes go to the parser, which
applies the byte-order mark and the coding declaration itself), so it finds
what a line scan cannot see: `import json, os`, `x = 1; import os`,
`if c: import os`, continuation lines, `import ｏｓ`, `__import__("os")`.
A file it cannot parse fails with an unaudited-file error, in Python's words.

Lines are counted as the native audit counts them: at the line feeds of the
file's bytes, as the line scan counts; in a file of a codec that only Python
decodes, at the line feeds of the decoded text, which are the parser's own.
It costs about 80 times the line scan, and its syntax tree hundreds of times
the file's size in memory: it is for tests.
"""

import ast
import codecs
import re
from collections.abc import Callable, Iterable, Iterator, Set

import scanner_audit

from scanner_gate.findings import (
    DYNAMIC,
    FORBIDDEN,
    HIDDEN_FORBIDDEN,
    HIDDEN_UNLISTED,
    UNAUDITED,
    UNLISTED,
    Finding,
    Kind,
)

DYNAMIC_IMPORTERS = ("__import__", "import_module")


def judge(scanner: scanner_audit.Scanner, local_modules: Set[str], module: str) -> Kind | None:
    """The policy's verdict on an import: FORBIDDEN, UNLISTED or None.
    Empty and relative names are not judged, nor the plugin's own modules."""
    if not module or module.startswith("."):
        return None
    if module in local_modules or module.partition(".")[0] in local_modules:
        return None
    try:
        module.encode("utf-8")
    except UnicodeEncodeError:  # a lone surrogate, which no policy entry holds
        return UNLISTED
    if scanner.is_forbidden(module):
        return FORBIDDEN
    if scanner.is_allowed(module):
        return None
    return UNLISTED


def printable(text: str) -> str:
    """A string constant may hold anything; in a message, a line break or a
    terminal control character is written as Python's unicode_escape writes it."""
    return "".join(c if c.isprintable() else c.encode("unicode_escape").decode("ascii") for c in text)


def read(path: str) -> bytes:
    with open(path, "rb") as stream:
        return stream.read()


def scan_line_numbers(data: bytes) -> Callable[[int], int]:
    """Maps the parser's line numbers of a UTF-8 or ISO-8859-1 file onto the
    scan's, which counts line feeds of the file's bytes: the parser also
    ends a line at a lone carriage return."""
    if b"\r" not in data.replace(b"\r\n", b""):
        return lambda line: line
    scan_lines, line = [1], 1
    for match in re.finditer(rb"[^\r\n]*(?:\r\n|\r|\n|$)", data):
        chunk = match.group()
        if not chunk:
            continue
        line += chunk.endswith(b"\n")
        if chunk[-1:] in (b"\r", b"\n"):
            scan_lines.append(line)
    return lambda parser_line: scan_lines[min(parser_line, len(scan_lines)) - 1]


def decoded_line_numbers(data: bytes, encoding: str) -> Callable[[int], int]:
    """Maps a line of the file's bytes (counted at line feeds) to the line of
    the decoded text on which it begins: the text of the bytes before it,
    line breaks made line feeds as Python makes them, decoded."""

    def decoded_line(line: int) -> int:
        start = 0
        for _ in range(line - 1):
            start = data.index(b"\n", start) + 1
        before = data[:start].replace(b"\r\n", b"\n").replace(b"\r", b"\n")
        text = codecs.getincrementaldecoder(encoding)(errors="replace").decode(before)
        return text.count("\n") + 1

    return decoded_line


def callee_name(call: ast.Call) -> str | None:
    """'__import__', 'importlib.import_module', ... for a call of a dynamic
    importer, under whatever name or module alias; None for any other call."""
    function = call.func
    if isinstance(function, ast.Name) and function.id in DYNAMIC_IMPORTERS:
        return function.id
    if isinstance(function, ast.Attribute) and function.attr in DYNAMIC_IMPORTERS:
        return f"{function.value.id}.{function.attr}" if isinstance(function.value, ast.Name) else function.attr
    return None


def argument(call: ast.Call, position: int, keyword: str) -> ast.expr | None:
    if len(call.args) > position and not any(isinstance(a, ast.Starred) for a in call.args[: position + 1]):
        return call.args[position]
    return next((k.value for k in call.keywords if k.arg == keyword), None)


def is_relative_import_call(call: ast.Call) -> bool:
    """__import__(name, globals, locals, fromlist, level) with a level above 0."""
    level = argument(call, 4, "level")
    return isinstance(level, ast.Constant) and type(level.value) is int and level.value > 0


def imports_of(tree: ast.AST) -> Iterator[tuple[int, str | None, str | None]]:
    """Yields (line, module, callee) for every import in the tree: callee is
    None for an import statement, and module None for a dynamic import whose
    name is not a constant string. A from-import is its `from` module, as for
    the scan; relative imports are left out."""
    for node in ast.walk(tree):  # iterative: deep nesting cannot overflow it
        if isinstance(node, ast.Import):
            for alias in node.names:
                yield node.lineno, alias.name, None
        elif isinstance(node, ast.ImportFrom):
            if node.level == 0:
                yield node.lineno, node.module, None
        elif isinstance(node, ast.Call) and (callee := callee_name(node)):
            name = argument(node, 0, "name")
            if isinstance(name, ast.Constant) and isinstance(name.value, str):
                if not is_relative_import_call(node):
                    yield node.lineno, name.value, callee
            else:
                yield node.lineno, None, callee


def unaudited(filepath: str, text: str, line: int | None = None) -> Finding:
    where = f"{filepath}:{line}" if line else filepath
    return Finding(UNAUDITED, line, None, f"{where}: {printable(text)}")


def parse(filepath: str, data: bytes) -> tuple[ast.AST | None, Finding | None]:
    """The file's syntax tree, or the finding that says why there is none."""
    try:
        return ast.parse(data, filename=filepath), None
    except SyntaxError as error:  # also an undecodable file, or a NUL byte
        line = error.lineno if isinstance(error.lineno, int) and error.lineno > 0 else None
        return None, unaudited(filepath, f"fichier refus\u00e9 par le parseur Python ({error.msg})", line)
    except Exception as error:  # RecursionError, MemoryError, ...: nothing a plugin writes may stop the report
        reason = f"{type(error).__name__}: {error}" if str(error) else type(error).__name__
        return None, unaudited(filepath, f"fichier refus\u00e9 par le parseur Python ({reason})")


def audit(
    filepath: str,
    scanned: Iterable[Finding],
    scanner: scanner_audit.Scanner,
    local_modules: Set[str],
    encoding: str | None = None,
) -> list[Finding]:
    """The audit's findings for one file, given the line scan's: the imports
    that Python's parser finds and the scan did not report on their line.
    `encoding`: the codec of a file the engine leaves to Python's codecs."""
    data = read(filepath)
    tree, refusal = parse(filepath, data)
    if tree is None:
        return [refusal] if refusal else []

    # An import the scan reported, on the line where it reported it, is not
    # hidden; the same import on another line is.
    seen = {(finding.line, finding.module) for finding in scanned if finding.kind in (FORBIDDEN, UNLISTED)}
    if encoding is None:
        to_scan_line = scan_line_numbers(data)
    else:
        to_decoded_line = decoded_line_numbers(data, encoding)
        seen = {(to_decoded_line(line), module) for line, module in seen if line}
        to_scan_line = lambda line: line  # noqa: E731 - the parser's lines are the decoded text's
    added: dict[str, Finding] = {}
    for parser_line, module, callee in imports_of(tree):
        line = to_scan_line(parser_line)
        if module is None:
            kind, name = DYNAMIC, callee or ""
        else:
            verdict = judge(scanner, local_modules, module)
            if verdict is None or (line, module) in seen:
                continue
            kind, name = (HIDDEN_FORBIDDEN if verdict is FORBIDDEN else HIDDEN_UNLISTED), module
        message = f"{filepath}:{line}: {kind.text}{printable(name)}'"
        added.setdefault(message, Finding(kind, line, name, message))
    return sorted(added.values(), key=lambda finding: finding.line or 0)
