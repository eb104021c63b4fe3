"""Fingerprints: what identifies a finding from one run to the next, when
lines are added above it or the plugin's tree is unpacked elsewhere.

A fingerprint is the SHA-256 of the file's name (relative to its project,
as scanner_gate.file_names names it),
the rule, the module, the text of the finding's line with its runs of
whitespace made one space and its ends trimmed, and the finding's rank
among the file's findings that share all of these (two identical lines,
two fingerprints). Not the line's number: a finding that moves keeps it.

The engine does not hand the line's text over, so it is read back here,
only for files that have findings on a line: one pass over the file in
pieces of CHUNK bytes, hashed as they come, so that a line of any length
costs no more memory than a piece. A line that cannot be read back (the
file vanished, is no longer a regular file, or has lost that line since
it was scanned) gives no fingerprint: such a finding never matches a
baseline. A line changed meanwhile gives another fingerprint, so its
finding is new.
"""

import os
import stat

from scanner_gate.escape import escape
from scanner_gate.file_names import FileNames
from scanner_gate.findings import FileReport, Finding, line_order

TYPE_CHECKING = False
if TYPE_CHECKING:
    import hashlib
    from collections.abc import Sequence

CHUNK = 64 * 1024
# Bumped when what is hashed changes, so that old baselines match nothing
# rather than the wrong finding.
SCHEME = "scanner-core/1"


def _sha256(data: bytes = b"") -> "hashlib._Hash":
    # Imported when a line is hashed here: most runs hash in the engine,
    # and the import costs as much as judging a small plugin.
    import hashlib

    return hashlib.sha256(data)


class _LineText:
    """The normalised text of one line, hashed piece by piece."""

    def __init__(self) -> None:
        self._hash = _sha256()
        self._started = False
        self._space = False  # whitespace seen since the last word

    def update(self, piece: bytes) -> None:
        words = piece.split()
        if not words:
            self._space = self._space or bool(piece)
            return
        if self._started and (self._space or piece[:1].isspace()):
            self._hash.update(b" ")
        self._hash.update(b" ".join(words))
        self._started = True
        self._space = piece[-1:].isspace()

    def digest(self) -> str:
        return self._hash.hexdigest()


def _digest_of(line: bytes) -> str:
    """The digest of a whole line held in one piece, as _LineText gives it."""
    return _sha256(b" ".join(line.split())).hexdigest()


def line_digests(path: str, lines: "Sequence[int]") -> dict[int, str]:
    """The digest of the normalised text of each line numbered in `lines`
    (1-based; a line ends at LF, as the scan counts them). A line the file
    does not have, or a file that cannot be read or is not a regular file,
    gives no entry. Reads the file once, up to its last line wanted."""
    wanted = sorted(set(lines))
    digests: dict[int, str] = {}
    if not wanted:
        return digests
    try:
        # O_NONBLOCK: a FIFO put in the file's place must not hold the run.
        descriptor = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
    except OSError:
        return digests
    try:
        if stat.S_ISREG(os.fstat(descriptor).st_mode):
            # A file shorter than a piece, as most plugin files are, is
            # split once; a longer one is read again from its start.
            first = os.read(descriptor, CHUNK)
            if len(first) < CHUNK:
                parts = first.split(b"\n", wanted[-1])
                for line in wanted:
                    if line <= len(parts):
                        digests[line] = _digest_of(parts[line - 1])
            else:
                os.lseek(descriptor, 0, os.SEEK_SET)
                _read_lines(descriptor, wanted, digests)
    except OSError:
        return {}
    finally:
        os.close(descriptor)
    return digests


def _read_lines(descriptor: int, wanted: list[int], digests: dict[int, str]) -> None:
    number = 1  # the line the next piece continues (or, the first, begins)
    begins = True  # whether the next piece begins line `number`
    current: _LineText | None = None  # that line's text so far, when wanted and unfinished
    following = 0  # index in `wanted` of the next line not yet begun
    while current is not None or following < len(wanted):
        chunk = os.read(descriptor, CHUNK)
        if not chunk:
            if begins and wanted[following] == number:  # an empty file: one empty line
                current = _LineText()
            if current is not None:  # the last line, with no LF after it
                digests[number] = current.digest()
            return
        # Split no further than the end of the last line wanted: imports
        # stand near the top, and the rest of the piece is not needed.
        parts = chunk.split(b"\n", wanted[-1] - number + 1)
        last = number + len(parts) - 1  # the line the chunk's last part begins
        if current is not None:
            current.update(parts[0])
            if last > number:
                digests[number] = current.digest()
                current = None
        while following < len(wanted) and wanted[following] < last:
            digests[wanted[following]] = _digest_of(parts[wanted[following] - number])
            following += 1
        if (last > number or begins) and following < len(wanted) and wanted[following] == last:
            current = _LineText()
            current.update(parts[-1])
            following += 1
        number = last
        begins = False


def _fingerprinted(findings: list[Finding], key: str, digests: dict[int, str]) -> list[Finding]:
    # Escaped texts hold no control character: NUL separates the parts,
    # SOH stands for a missing module, so no two identities hash alike.
    prefix = _sha256(f"{SCHEME}\0{escape(key)}\0".encode())
    ranks: dict[tuple[str, str | None, str], int] = {}
    marked = []
    for finding in findings:
        line, rule, module = finding.line, finding.kind.id, finding.module
        text = "" if line is None else digests.get(line)
        if text is None:
            marked.append(finding)
            continue
        rank = ranks.get((rule, module, text), 0)
        ranks[rule, module, text] = rank + 1
        name = "\x01" if module is None else escape(module)
        identity = prefix.copy()
        identity.update(f"{rule}\0{name}\0{text}\0{rank}".encode())
        value = identity.hexdigest()
        marked.append(finding._replace(fingerprint=value))
    return marked


def fingerprint(report: FileReport, names: FileNames, key: str | None = None) -> FileReport:
    """The report with each finding fingerprinted, in line order, the file
    named `key` (by default, its name in the run); reads the file back only
    when a finding has a line (the engine does, for its own findings)."""
    findings = sorted(report.findings, key=line_order)
    if key is None:
        key = report.name or names.key(report.filepath)
    if report.native is not None:  # the engine's findings, in the same order
        values = report.native.fingerprints(key)
        marked = [finding._replace(fingerprint=value) for finding, value in zip(findings, values, strict=True)]
        return report.replace(marked)
    lines = [finding.line for finding in findings if finding.line is not None]
    digests = line_digests(report.filepath, lines) if lines else {}
    marked = _fingerprinted(findings, key, digests)
    return report.replace(marked)
