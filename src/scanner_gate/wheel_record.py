"""A wheel's RECORD, the list of its files with their hashes and sizes, held
against what the wheel holds: a file it does not list, lists otherwise,
or lists and lacks means the wheel is not what its builder wrote, and an
installer that checks the list would refuse it.

Every file but RECORD itself (and its signatures) must be listed once,
with a hash of an algorithm hashlib always has and the wheel format
allows (not md5 nor sha1), and the size when one is given.
"""

import base64
import csv
import hashlib

from scanner_gate.findings import RECORD_MISMATCH
from scanner_gate.zip_structure import Problem

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Iterable, Iterator

_UNSIGNED = ("RECORD", "RECORD.jws", "RECORD.p7s")
_WEAK = ("md5", "sha1")
_REFUSED = "-"  # a row whose hash was refused already


def record_name(names: "Iterable[str]") -> list[str]:
    """The RECORD files of a wheel's .dist-info directories at its root."""
    found = []
    for name in names:
        directory, slash, base = name.partition("/")
        if slash and base == "RECORD" and directory.endswith(".dist-info"):
            found.append(name)
    return found


class Record:
    """The rows of a RECORD, each checked off as its file is read."""

    def __init__(self, where: str, text: bytes, record: str, problems: list[Problem]) -> None:
        self._where = where  # the wheel, as messages name it
        self._record = record
        self._directory = record.rpartition("/")[0]
        self._rows: dict[str, tuple[str, str, int | None]] = {}
        self._problems = problems
        try:
            lines = text.decode("utf-8").splitlines()
        except UnicodeDecodeError:
            self._fail(f"{record} n'est pas en UTF-8")
            return
        try:
            rows = list(csv.reader(lines))
        except csv.Error as error:
            self._fail(f"{record} illisible ({error})")
            return
        for row in rows:
            if not row:
                continue
            path, digest, size = (row + ["", ""])[:3]
            if path in self._rows:
                self._fail(f"{record} liste deux fois {path!r}")
                continue
            algorithm, _, value = digest.partition("=")
            if digest and (algorithm in _WEAK or algorithm not in hashlib.algorithms_guaranteed or not value):
                self._fail(f"{record}: empreinte {digest!r} de {path!r} d'un algorithme que les roues n'admettent pas")
                algorithm = _REFUSED
            self._rows[path] = (algorithm, value, int(size) if size.isdigit() else None)

    def _fail(self, text: str) -> None:
        self._problems.append(Problem(RECORD_MISMATCH, f"{self._where}: {text}"))

    def checked(self, name: str, pieces: "Iterator[bytes]") -> "Iterator[bytes]":
        """The member's pieces, hashed on the way; its row checked at their end."""
        row = self._rows.pop(name, None)
        if name.rpartition("/")[0] == self._directory and name.rpartition("/")[2] in _UNSIGNED:
            yield from pieces
            return
        if row is None:
            self._fail(f"{name!r} absent de {self._record}")
            yield from pieces
            return
        algorithm, value, size = row
        if algorithm in ("", _REFUSED):
            if not algorithm:
                self._fail(f"{name!r} sans empreinte dans {self._record}")
            yield from pieces
            return
        hasher = hashlib.new(algorithm)
        total = 0
        for piece in pieces:
            hasher.update(piece)
            total += len(piece)
            yield piece
        made = base64.urlsafe_b64encode(hasher.digest()).rstrip(b"=").decode()
        if made != value.rstrip("="):
            self._fail(f"{name!r}: empreinte {algorithm} diff\u00e9rente de celle de {self._record}")
        elif size is not None and size != total:
            self._fail(f"{name!r}: {total} octets, {size} selon {self._record}")

    def finish(self) -> None:
        """The rows left name files the wheel does not hold."""
        for path in sorted(self._rows):
            if path.endswith("/") or path.rpartition("/")[2] in _UNSIGNED and path.rpartition("/")[0] == self._directory:
                continue
            self._fail(f"{self._record} liste {path!r}, que la roue ne contient pas")
        self._rows.clear()
