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
from collections.abc import Callable, Iterable, Set

import scanner_audit

import ast_doors
import ast_reach
from scanner_gate.findings import (
    ABOVE_ROOT,
    DYNAMIC,
    DYNAMIC_CODE,
    IMPORTER_REFERENCE,
    REFUSED_CODE_TEXT,
    RELATIVE_DYNAMIC,
    REACHED,
    OBJECT_GRAPH,
    SEARCH_PATH,
    FORBIDDEN,
    HIDDEN_FORBIDDEN,
    HIDDEN_UNLISTED,
    UNAUDITED,
    UNLISTED,
    Finding,
    Kind,
)


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


_TABLES: dict[tuple[object, ...], ast_reach.Table] = {}


def reach_table(scanner: scanner_audit.Scanner, local_modules: Set[str],
                holdings: tuple[ast_reach.Row, ...] = ()) -> ast_reach.Table:
    """The table of what modules hold, the standard ones and `holdings`
    (the scanner's rows for others), under the scanner's policy (made once per policy)."""
    key = (id(scanner), frozenset(local_modules), holdings)
    if key not in _TABLES:
        _TABLES[key] = ast_reach.Table(lambda module: judge(scanner, frozenset(), module) is FORBIDDEN, local_modules,
                                       holdings)
    return _TABLES[key]


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


def relative_name(level: int, module: str) -> str:
    """A relative name as written: its dots, then the module; a level too
    high to write out is given as a count."""
    return ("." * level if level <= 64 else f"<{level} points>") + module


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
    depth: int = 0,
    holdings: tuple[ast_reach.Row, ...] = (),
) -> list[Finding]:
    """The audit's findings for one file, given the line scan's: the imports
    that Python's parser finds and the scan did not report on their line,
    and the other doors to an importer (see ast_doors). `encoding`: the
    codec of a file the engine leaves to Python's codecs; `depth`: the
    directories between the tree's root and the file's directory;
    `holdings`: the rows the scanner was given for modules outside the
    standard library."""
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
    reached_doors: dict[tuple[int, str], Finding] = {}
    # One reading for the doors and the chains: what a text run as code binds, the file's chains see.
    finder = ast_doors.Finder(tree, 0, table=reach_table(scanner, local_modules, holdings))
    for door in finder.doors():
        line = to_scan_line(door.line)
        name = door.name
        if door.kind == "taken":
            continue  # the gate's to look up (ast_locals)
        if door.kind == "import" and door.level > 0:
            if door.level <= depth + 1:
                continue
            kind, name = ABOVE_ROOT, relative_name(door.level, door.name)
        elif door.kind == "import":
            verdict = judge(scanner, local_modules, door.name)
            if verdict is None or (line, door.name) in seen:
                continue
            kind = HIDDEN_FORBIDDEN if verdict is FORBIDDEN else HIDDEN_UNLISTED
        elif door.kind == "reached":  # one per line and module, as the chains below
            message = f"{filepath}:{line}: {REACHED.text}{printable(name)} \u2192 {printable(door.target)}'"
            reached_doors.setdefault((line, door.target), Finding(REACHED, line, door.target, message))
            continue
        elif door.kind == "refused":
            message = f"{filepath}:{line}: {REFUSED_CODE_TEXT}"
            added.setdefault(message, Finding(DYNAMIC_CODE, line, None, message))
            continue
        elif door.kind == "unaudited":
            finding = unaudited(filepath, f"code dynamique non audit\u00e9 ({door.name})", line)
            added.setdefault(finding.message, finding)
            continue
        else:
            kind = {"dynamic": DYNAMIC, "reference": IMPORTER_REFERENCE, "code": DYNAMIC_CODE,
                    "relative": RELATIVE_DYNAMIC, "graph": OBJECT_GRAPH, "search": SEARCH_PATH}[door.kind]
        message = f"{filepath}:{line}: {kind.text}{printable(name)}'"
        added.setdefault(message, Finding(kind, line, name, message))
    # One finding per line and module reached: the first chain that reaches it.
    chains: dict[tuple[int, str], Finding] = dict(reached_doors)
    assert finder.chains is not None
    for found in finder.chains.reached:
        line = to_scan_line(found.line)
        message = f"{filepath}:{line}: {REACHED.text}{printable(found.via)} \u2192 {printable(found.target)}'"
        chains.setdefault((line, found.target), Finding(REACHED, line, found.target, message))
    added.update({finding.message: finding for finding in chains.values()})
    return sorted(added.values(), key=lambda finding: finding.line or 0)
