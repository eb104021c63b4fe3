"""The audit through Python's own parser: every import that the `ast` of a
file shows, judged by the policy, less those the line scan reported.

It reads a file as the interpreter will (the bytes go to the parser, which
applies the byte-order mark and the coding declaration itself), so it finds
what a line scan cannot see: `import json, os`, `x = 1; import os`,
`if c: import os`, continuation lines, `import ｏｓ`, `__import__("os")`.
A file it cannot read or parse, or one too large for it, fails with an
unaudited-file error: its imports are unknown, so it does not pass.

It costs about 80 times the line scan, in one thread, and its syntax tree
hundreds of times the file's size in memory: it is the oracle the tests
hold the native audit to, and the path for the rare file whose codec only
Python decodes.
"""

import ast
import codecs
import os
import re
import stat
from collections.abc import Callable, Iterable, Set

import scanner_audit

from scanner_gate import ast_doors
from scanner_gate.findings import (
    ABOVE_ROOT,
    DYNAMIC,
    DYNAMIC_CODE,
    IMPORTER_REFERENCE,
    REFUSED_CODE_TEXT,
    RELATIVE_DYNAMIC,
    FORBIDDEN,
    HIDDEN_FORBIDDEN,
    HIDDEN_UNLISTED,
    UNAUDITED,
    UNLISTED,
    Finding,
    Kind,
)

# The syntax tree takes hundreds of times the size of its file (1.4 GiB for
# 4 MiB of plain statements): a larger file fails unaudited instead of
# exhausting memory. Only files in a codec the native audit does not read
# come here, and plugin sources in those are small.
MAX_BYTES = 1024 * 1024

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
    """The file's bytes, at most MAX_BYTES + 1 of them. Opened without
    blocking, so that a file swapped for a FIFO since the scan cannot hang
    the audit, and refused unless it is a regular file."""
    descriptor = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
    with open(descriptor, "rb") as stream:
        if not stat.S_ISREG(os.fstat(descriptor).st_mode):
            raise OSError(0, "not a regular file")
        return stream.read(MAX_BYTES + 1)


def scan_line_numbers(data: bytes, encoding: str | None = None) -> Callable[[int], int]:
    """Maps the parser's line numbers onto the scan's, which counts line
    feeds of the file's bytes. The parser also ends a line at a lone
    carriage return, and, in a file of another codec, at every line break
    that decoding makes (UTF-7's "+AAo-" is one)."""
    if encoding is None and b"\r" not in data.replace(b"\r\n", b""):
        return lambda line: line
    decoder = codecs.getincrementaldecoder(encoding or "utf-8")(errors="replace")
    scan_lines, line = [1], 1
    # Python ends lines at CR LF, CR and LF before it decodes anything.
    for match in re.finditer(rb"[^\r\n]*(?:\r\n|\r|\n|$)", data):
        chunk = match.group()
        if not chunk:
            continue
        ends_line = chunk[-1:] in (b"\r", b"\n")
        text = decoder.decode(chunk.rstrip(b"\r\n") + (b"\n" if ends_line else b""))
        # A line break that decoding made begins a line on the same line of bytes.
        scan_lines += [line] * (text.count("\n") - ends_line)
        line += chunk.endswith(b"\n")
        if ends_line:
            scan_lines.append(line)
    return lambda parser_line: scan_lines[min(parser_line, len(scan_lines)) - 1]


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
) -> list[Finding]:
    """The audit's findings for one file, given the line scan's: the imports
    that Python's parser finds and the scan did not report on their line,
    and the other doors to an importer (see ast_doors). `depth`: the
    directories between the tree's root and the file's directory."""
    try:
        data = read(filepath)
    except (OSError, ValueError) as error:
        reason = getattr(error, "strerror", None) or str(error)
        return [unaudited(filepath, f"fichier illisible pour l'audit ({reason})")]
    if len(data) > MAX_BYTES:
        return [unaudited(filepath, f"fichier trop grand pour l'audit (plus de {MAX_BYTES} octets)")]
    tree, refusal = parse(filepath, data)
    if tree is None:
        return [refusal] if refusal else []

    # An import the scan reported, on the line where it reported it, is not
    # hidden; the same import on another line is.
    seen = {(finding.line, finding.module) for finding in scanned if finding.kind in (FORBIDDEN, UNLISTED)}
    to_scan_line = scan_line_numbers(data, encoding)
    added: dict[str, Finding] = {}
    for door in ast_doors.doors_of(tree):
        line = to_scan_line(door.line)
        name = door.name
        if door.kind == "import" and door.level > 0:
            if door.level <= depth + 1:
                continue
            kind, name = ABOVE_ROOT, relative_name(door.level, door.name)
        elif door.kind == "import":
            verdict = judge(scanner, local_modules, door.name)
            if verdict is None or (line, door.name) in seen:
                continue
            kind = HIDDEN_FORBIDDEN if verdict is FORBIDDEN else HIDDEN_UNLISTED
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
                    "relative": RELATIVE_DYNAMIC}[door.kind]
        message = f"{filepath}:{line}: {kind.text}{printable(name)}'"
        added.setdefault(message, Finding(kind, line, name, message))
    return sorted(added.values(), key=lambda finding: finding.line or 0)
