"""The entry points a plugin declares, judged as the imports its host makes
when it loads them.

A host finds a plugin's entry points with importlib.metadata, which reads
the entry_points.txt of each distribution's metadata directory (.dist-info,
.egg-info, an egg's EGG-INFO); an installer writes that file from the
[project.scripts], [project.gui-scripts] and [project.entry-points.GROUP]
tables of the project's pyproject.toml. Loading the entry point
`module:attr.sub` imports `module`, then takes its attribute `attr`, then
`sub`. Each is judged as the Python text `from module import attr;
attr.sub` (`import module` for a module alone), written on the entry's line
of a text with the file's lines, by the engine's text audit: the rules, the
policy (local modules included) and the line are those of a source's.

entry_points.txt is read as importlib.metadata reads it: strict UTF-8 with
universal newlines, each line (as str.splitlines cuts it) stripped, lines
empty or starting with '#' passed over, `[group]` opening a group, any
other line `name = value`, cut at its first '='. pyproject.toml is read as
tomllib reads it. What neither the host nor the gate can read so is an
invalid-entry-point error, never passed over: bytes that are no UTF-8, a
line without '=' (importlib.metadata raises on it), an entry before any
group, a reference that is not a dotted name of identifiers as Python
source writes them (the text would name another module than the host
imports), a value that is no string, a file that TOML refuses.
"""

import codecs
import io
import itertools
import keyword
import re
import unicodedata

import scanner_audit

from scanner_gate import codec_audit
from scanner_gate.findings import INVALID_ENTRY_POINT, KIND_OF_RULE, UNREADABLE, FileReport, Finding, line_order
from scanner_gate.policy import Policy

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Iterable, Iterator

# An object reference as importlib.metadata matches it (EntryPoint.pattern):
# a module, an optional ':' and attribute chain, optional extras in brackets.
REFERENCE = re.compile(r"(?P<module>[\w.]+)\s*(:\s*(?P<attr>[\w.]+)\s*)?((?P<extras>\[.*\])\s*)?$")

# A line of entry_points.txt longer than this fails unread: the host's
# entries are short, and a line is held whole to be read.
MAX_LINE_CHARS = 1 << 20
# A pyproject.toml is parsed whole; a larger one fails unread.
MAX_PYPROJECT_BYTES = 4 << 20
# The text given to the audit is fed in pieces of about this size.
FEED_CHARS = 256 * 1024

# The fixed reasons of invalid-entry-point (the texts' tables word them).
OUTSIDE_GROUP = "entr\u00e9e hors de tout groupe [...]"
NO_EQUALS = "ligne sans '='"
LINE_TOO_LONG = f"ligne de plus de {MAX_LINE_CHARS} caract\u00e8res"
FILE_TOO_LARGE = f"fichier de plus de {MAX_PYPROJECT_BYTES} octets"
NOT_A_TABLE = "table attendue"
NOT_A_STRING = "valeur qui n'est pas une cha\u00eene"
TOO_DEEP = "imbrication trop profonde pour \u00eatre lue"
# The two texts of invalid-entry-point; the first takes a reason.
UNREADABLE_TEXT = INVALID_ENTRY_POINT.text
NOT_A_NAME_TEXT = "cible de point d'entr\u00e9e qui n'est pas un nom point\u00e9 de Python \u2014 '"

PYPROJECT_NAME = "pyproject.toml"


def _is_name(part: str) -> bool:
    """Whether `part` is written in source as the host names it: an
    identifier, no keyword, unchanged by the NFKC folding the parser applies."""
    return part.isidentifier() and not keyword.iskeyword(part) and unicodedata.normalize("NFKC", part) == part


class _Judge:
    """Gathers a file's entries as the lines of a Python text, fed to the
    engine's text audit as they come, and the findings of entries it
    cannot read."""

    def __init__(self, filepath: str, scanner: scanner_audit.Scanner, policy: Policy) -> None:
        self.filepath = filepath
        self.audit = scanner_audit.TextAudit(scanner, filepath, set(policy.local_modules), 0)
        self.findings: list[Finding] = []
        self.declared = 0  # entries met, and what could not be read
        self.line = 1  # the line the text fed so far ends on
        self.statements: list[str] = []  # of that line, not yet fed
        self.pending: list[str] = []
        self.pending_chars = 0

    def invalid(self, line: int | None, reason: str) -> None:
        self.declared += 1
        where = self.filepath if line is None else f"{self.filepath}:{line}"
        self.findings.append(Finding(INVALID_ENTRY_POINT, line, None, f"{where}: {UNREADABLE_TEXT} ({reason})"))

    def reference(self, value: str, line: int) -> None:
        """Judges the object reference `value` of the entry on `line`."""
        self.declared += 1
        match = REFERENCE.match(value)
        module = match["module"] if match else ""
        attr = match["attr"] if match else None
        names = module.split(".") + ([] if attr is None else attr.split("."))
        if match is None or len(value.splitlines()) > 1 or not all(map(_is_name, names)):
            # A line break would let an installer write more than this
            # entry into the entry_points.txt it makes from the value.
            self.findings.append(Finding(INVALID_ENTRY_POINT, line, None,
                                         f"{self.filepath}:{line}: {NOT_A_NAME_TEXT}{value}'"))
            return
        if attr is None:
            self._write(line, f"import {module}")
        else:
            self._write(line, f"from {module} import {attr.partition('.')[0]}; {attr}")

    def _write(self, line: int, statement: str) -> None:
        if line != self.line:
            self._end_line()
            gap = line - self.line  # lines are given in order
            while gap > 0:
                part = min(gap, FEED_CHARS)
                self._add("\n" * part)
                gap -= part
            self.line = line
        self.statements.append(statement)

    def _end_line(self) -> None:
        if self.statements:
            self._add("; ".join(self.statements))
            self.statements.clear()

    def _add(self, text: str) -> None:
        self.pending.append(text)
        self.pending_chars += len(text)
        if self.pending_chars >= FEED_CHARS:
            self._flush()

    def _flush(self) -> None:
        if self.pending:
            self.audit.feed("".join(self.pending).encode("utf-8"))
            self.pending.clear()
            self.pending_chars = 0

    def finish(self) -> list[Finding]:
        self._end_line()
        self._add("\n")
        self._flush()
        # The audit's columns are those of the text made here, not the file's.
        findings = [Finding(KIND_OF_RULE[f.rule], f.line, f.module, f.message) for f in self.audit.finish([])]
        return sorted(findings + self.findings, key=line_order)


def _decoded_lines(pieces: "Iterable[bytes]", judge: _Judge) -> "Iterator[tuple[int, str]]":
    """The lines of the text as importlib.metadata reads it (strict UTF-8,
    universal newlines), each with its number; stops at the first one it
    cannot read, with the finding that says why."""
    decoder = codecs.getincrementaldecoder("utf-8")("strict")
    newlines = io.IncrementalNewlineDecoder(None, translate=True)
    line, held, offset = 1, "", 0
    for piece in itertools.chain(pieces, (None,)):
        final = piece is None
        start = offset - len(decoder.getstate()[0])  # where the bytes the decoder is given begin
        offset += len(piece or b"")
        try:
            text = decoder.decode(piece or b"", final)
        except UnicodeDecodeError as error:
            # Python's own words, which place the byte in the whole file.
            judge.invalid(None, codec_audit.decode_error_text(error, start))
            return
        lines = (held + newlines.decode(text, final)).split("\n")
        held = lines.pop()
        for text_line in lines:
            yield line, text_line
            line += 1
        if len(held) > MAX_LINE_CHARS:
            judge.invalid(line, LINE_TOO_LONG)
            return
    if held:
        yield line, held


def _read_entry_points(pieces: "Iterable[bytes]", judge: _Judge) -> None:
    group: str | None = None
    for number, text_line in _decoded_lines(pieces, judge):
        for part in text_line.splitlines():
            entry = part.strip()
            if not entry or entry.startswith("#"):
                continue
            if entry.startswith("[") and entry.endswith("]"):
                group = entry.strip("[]")
            elif group is None:
                judge.invalid(number, OUTSIDE_GROUP)
            elif "=" not in entry:
                judge.invalid(number, NO_EQUALS)
            else:
                judge.reference(entry.partition("=")[2].strip(), number)


# A TOML text cut into what the locator needs: strings whole (a bracket or
# a newline in one is no token), comments, newlines, brackets and keys.
_TOML_TOKEN = re.compile(
    r'(?P<string>"""(?:[^"\\]++|\\.|"(?!""))*+"{3,5}'
    r"|'''(?:[^']++|'(?!''))*+'{3,5}"
    r'|"(?:[^"\\\n]++|\\.)*+"'
    r"|'[^'\n]*+')"
    r"|(?P<comment>#[^\n]*+)|(?P<newline>\n)|(?P<space>[ \t\r]++)|(?P<bare>[A-Za-z0-9_-]++)|(?P<other>.)",
    re.DOTALL,
)


def _key_part(token: str) -> str:
    if token.startswith("'"):
        return token[1:-1]
    if token.startswith('"'):
        import tomllib  # only for a pyproject.toml: entry_points.txt files are the common case

        return str(tomllib.loads(f"k = {token}")["k"])  # its escapes, as TOML reads them
    return token


def _toml_lines(text: str) -> dict[tuple[str, ...], int]:
    """The line of each table header and key of `text` (which tomllib
    read) under [project], by its full path: an entry's line is that of
    the longest path that leads to it (an inline table's keys share the
    line of the table's key)."""
    lines: dict[tuple[str, ...], int] = {}
    table: tuple[str, ...] = ()
    line = 1
    state = "start"  # "header", "key", "value" (bracket depth `depth`), "after" the header
    parts: list[str] = []
    depth = 0
    start = 1
    for token in _TOML_TOKEN.finditer(text):
        kind, value = token.lastgroup, token.group()
        if kind in ("space", "comment"):
            continue
        if kind == "newline":
            line += 1
            if state != "value" or depth == 0:
                state = "start"
            continue
        if state == "start":
            parts, start = [], line
            state = "key"
            if value == "[":
                state = "header"
                continue
        if state == "header":
            if value == "]":
                table = tuple(parts)
                if table[:1] == ("project",):
                    lines.setdefault(table, start)
                state = "after"
            elif kind in ("bare", "string"):
                parts.append(_key_part(value))
        elif state == "key":
            if value == "=":
                path = table + tuple(parts)
                if path[:1] == ("project",):
                    lines.setdefault(path, start)
                state, depth = "value", 0
            elif kind in ("bare", "string"):
                parts.append(_key_part(value))
        elif state == "value":
            if value in ("[", "{"):
                depth += 1
            elif value in ("]", "}"):
                depth -= 1
            elif kind == "string":
                line += value.count("\n")  # a multi-line string's; a key is on one line
    return lines


def _line_of(lines: dict[tuple[str, ...], int], path: tuple[str, ...]) -> int:
    for end in range(len(path), 0, -1):
        if path[:end] in lines:
            return lines[path[:end]]
    return 1


def _read_pyproject(pieces: "Iterable[bytes]", judge: _Judge) -> None:
    data = bytearray()
    for piece in pieces:
        data += piece
        if len(data) > MAX_PYPROJECT_BYTES:
            judge.invalid(None, FILE_TOO_LARGE)
            return
    import tomllib  # only for a pyproject.toml: entry_points.txt files are the common case

    try:
        text = bytes(data).decode("utf-8")  # as tomllib.load decodes the bytes it reads
        document = tomllib.loads(text)
    except (UnicodeDecodeError, tomllib.TOMLDecodeError) as error:
        judge.invalid(None, str(error))
        return
    except RecursionError:
        judge.invalid(None, TOO_DEEP)
        return
    del data
    project = document.get("project")
    if project is None:
        return
    lines = _toml_lines(text)
    del text
    entries: list[tuple[int, object]] = []

    def table(path: tuple[str, ...], value: object) -> dict[str, object]:
        if isinstance(value, dict):
            return value
        judge.invalid(_line_of(lines, path), NOT_A_TABLE)
        return {}

    project = table(("project",), project)
    groups: list[tuple[tuple[str, ...], object]] = [
        (("project", key), project[key]) for key in ("scripts", "gui-scripts") if key in project
    ]
    if "entry-points" in project:
        points = table(("project", "entry-points"), project["entry-points"])
        groups += [(("project", "entry-points", group), value) for group, value in points.items()]
    for path, value in groups:
        for name, reference in table(path, value).items():
            entries.append((_line_of(lines, (*path, name)), reference))
    entries.sort(key=lambda entry: entry[0])  # tomllib gives tables in their order, not their lines'
    for line, reference in entries:
        if isinstance(reference, str):
            judge.reference(reference.strip(), line)
        else:
            judge.invalid(line, NOT_A_STRING)


def judged(filepath: str, placed: str, pieces: "Iterator[bytes]", scanner: scanner_audit.Scanner,
           policy: Policy) -> list[Finding] | None:
    """The findings of the entry points file `filepath` (as reports name
    it; `placed`: its path, for its name), given its bytes; None when it
    declares none, read to its end: like the walk's other files, it holds
    nothing the host imports, and it is not reported (a run of such files
    alone judged nothing). May leave pieces unread after a finding that
    ends the reading."""
    judge = _Judge(filepath, scanner, policy)
    if placed.rpartition("/")[2].lower() == PYPROJECT_NAME:
        _read_pyproject(pieces, judge)
    else:
        _read_entry_points(pieces, judge)
    findings = judge.finish()
    return findings if judge.declared else None


def report(filepath: str, scanner: scanner_audit.Scanner, policy: Policy) -> FileReport | None:
    """The report of an entry points file found on disk; None as for judged."""
    fail_on_warning = policy.fail_on == "warning"
    try:
        pieces = codec_audit.open_source(filepath)
        first = next(pieces, b"")  # opened here: a file that cannot be is unreadable, not invalid
    except OSError as error:
        reason = f" ({error.strerror})" if error.strerror else ""
        return FileReport(filepath, [Finding(UNREADABLE, None, None, f"{filepath}: {UNREADABLE.text}{reason}")],
                          fail_on_warning, unread=True)

    def whole() -> "Iterator[bytes]":
        yield first
        yield from pieces

    try:
        findings = judged(filepath, filepath, whole(), scanner, policy)
    except OSError as error:  # a read that fails halfway
        reason = error.strerror or str(error)
        return FileReport(filepath, [Finding(UNREADABLE, None, None, f"{filepath}: {UNREADABLE.text} ({reason})")],
                          fail_on_warning, unread=True)
    return None if findings is None else FileReport(filepath, findings, fail_on_warning)
