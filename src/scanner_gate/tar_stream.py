"""A tar (an sdist) read as one pass over its bytes, as tarfile reads it, and
refused wherever another reader would read it otherwise.

The compression (gzip, bzip2, xz, or none, told by the first bytes as
tarfile tells it) is undone here, one stream only: Python's gzip and bz2
readers go on into a second stream where tarfile's streaming reader stops,
so anything but zeros after the first is refused. tarfile reads the
headers (pax and GNU names included) from the stream; this stops it at a
header's data larger than any name needs, and at the bounds. A header
tarfile cannot read after the first makes it stop quietly where another
reader would go on, and bytes other than zeros after the end-of-archive
block are members for a reader that skips zeros: both are refused.

Links, devices, FIFOs, sparse members and types tarfile does not know are
refused: with its data filter tarfile refuses them or writes something
else than without it. Nothing is written anywhere.
"""

import bz2
import io
import lzma
import tarfile
import zlib

from scanner_gate import archives
from scanner_gate.findings import AMBIGUOUS_ARCHIVE, ARCHIVE_BOUND, UNREADABLE_ARCHIVE, UNSAFE_MEMBER
from scanner_gate.policy import ArchiveBounds
from scanner_gate.zip_structure import PIECE, RATIO_FROM, RAW_PIECE, Budget, Problem, Refused

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Iterator
    from typing import IO, BinaryIO, NamedTuple, Self
else:
    from scanner_gate.records import NamedTuple

# The longest data of a pax or GNU header: names and a few keys, never more.
MOST_HEADER_DATA = 1 << 20
_INFLATER = type(zlib.decompressobj())
# The headers tarfile stops at without a word after the first member.
_QUIET_STOPS: tuple[type[Exception], ...] = tuple(
    getattr(tarfile, name) for name in ("InvalidHeaderError", "TruncatedHeaderError"))
_HEADER_TYPES = (tarfile.GNUTYPE_LONGNAME, tarfile.GNUTYPE_LONGLINK, tarfile.XHDTYPE, tarfile.XGLTYPE,
                 tarfile.SOLARIS_XHDTYPE)


class Decompressed(io.RawIOBase):
    """The bytes of one compressed stream of `raw`, undone a piece at a time
    and counted against the budget and the ratio bound; for an
    uncompressed tar, `raw`'s bytes as they are."""

    def __init__(self, raw: "BinaryIO", compressed_size: int, path: str, budget: Budget) -> None:
        super().__init__()
        self._raw = raw
        self._path = path
        self._budget = budget
        self._compressed_size = max(compressed_size, 1)
        head = raw.read(6)
        self._pending = head  # raw bytes read, not yet given to the decompressor
        self._decompressor: "zlib._Decompress | bz2.BZ2Decompressor | lzma.LZMADecompressor | None"  # noqa
        if head.startswith(b"\x1f\x8b"):
            self._decompressor = zlib.decompressobj(16 + zlib.MAX_WBITS)
        elif head.startswith(b"BZh"):
            self._decompressor = bz2.BZ2Decompressor()
        elif head.startswith(b"\xfd7zXZ\x00"):
            self._decompressor = lzma.LZMADecompressor(lzma.FORMAT_XZ)
        else:
            self._decompressor = None
        self.made = 0  # bytes given on
        self._ended = False

    def readable(self) -> bool:
        return True

    def _raw_piece(self, wanted: int = RAW_PIECE) -> bytes:
        if self._pending:
            data, self._pending = self._pending[:wanted], self._pending[wanted:]
            return data
        return self._raw.read(wanted)

    def _undone(self, wanted: int) -> bytes:
        """Up to `wanted` bytes more of the stream; empty at its end."""
        decompressor = self._decompressor
        if decompressor is None:
            return self._raw_piece(wanted)
        while not self._ended:
            if isinstance(decompressor, _INFLATER):
                data = decompressor.unconsumed_tail or self._raw_piece()
            else:
                data = self._raw_piece() if decompressor.needs_input else b""
            try:
                piece = decompressor.decompress(data, wanted)
            except (zlib.error, OSError, EOFError, lzma.LZMAError) as error:
                raise Refused(UNREADABLE_ARCHIVE, f"{self._path}: compression illisible ({error})") from None
            if decompressor.eof:
                self._ended = True
                self._after_stream(decompressor.unused_data)
            if piece:
                return piece
            if not data and not self._ended:
                raise Refused(UNREADABLE_ARCHIVE, f"{self._path}: flux compress\u00e9 tronqu\u00e9")
        return b""

    def _after_stream(self, unused: bytes) -> None:
        """What follows the compressed stream: zeros at most, which every
        reader passes over; a second stream or anything else is a part of
        the archive only some readers see."""
        data = unused
        while True:
            if data.strip(b"\0"):
                raise Refused(AMBIGUOUS_ARCHIVE, f"{self._path}: donn\u00e9es apr\u00e8s le flux compress\u00e9 "
                              "(un second flux, que gzip et bz2 lisent et le lecteur en flux de tarfile non)")
            data = self._raw.read(RAW_PIECE)
            if not data:
                return

    def readinto(self, buffer: "bytearray | memoryview") -> int:  # type: ignore[override]
        piece = self._undone(min(len(buffer), PIECE))
        if piece:
            self.made += len(piece)
            self._budget.take(len(piece), self._path)
            consumed = self._raw.tell() if self._decompressor is not None else self.made
            if self.made >= RATIO_FROM and self.made > self._budget.bounds.max_ratio * max(consumed, 1):
                raise Refused(ARCHIVE_BOUND, f"{self._path}: plus de {self.made} octets pour {consumed} "
                              f"compress\u00e9s, un rapport au-del\u00e0 de max_ratio ({self._budget.bounds.max_ratio})")
        buffer[: len(piece)] = piece
        return len(piece)


class Member(NamedTuple):
    """A regular file of the tar, whose bytes are read before the next member."""

    name: str  # as tarfile gives it
    size: int
    pieces: "Iterator[bytes]"


class _State:
    """What the reading of one tar learns as tarfile goes: why it stopped."""

    def __init__(self, path: str, bounds: ArchiveBounds, budget: Budget) -> None:
        self.path = path
        self.bounds = bounds
        self.budget = budget
        self.stop: Exception | None = None


def _info_class(state: _State) -> type[tarfile.TarInfo]:
    class BoundedInfo(tarfile.TarInfo):
        """tarfile's member, held to the bounds before tarfile reads its data."""

        @classmethod
        def fromtarfile(cls, reader: tarfile.TarFile) -> "Self":
            try:
                return super().fromtarfile(reader)
            except tarfile.HeaderError as error:
                state.stop = error
                raise

        def _proc_member(self, reader: tarfile.TarFile) -> tarfile.TarInfo:
            where = archives.member_name(state.path, self.name)
            if self.size > state.bounds.max_member_bytes:
                raise Refused(ARCHIVE_BOUND, f"{where}: {self.size} octets annonc\u00e9s, plus que max_member_bytes "
                              f"({state.bounds.max_member_bytes})")
            if self.type in _HEADER_TYPES and self.size > MOST_HEADER_DATA:
                raise Refused(UNREADABLE_ARCHIVE, f"{state.path}: en-t\u00eate \u00e9tendu de {self.size} octets")
            if self.type not in _HEADER_TYPES:
                state.budget.members += 1
                if state.budget.members > state.bounds.max_members:
                    raise Refused(ARCHIVE_BOUND, f"{state.path}: plus de max_members ({state.bounds.max_members}) "
                                  "membres")
            processed: tarfile.TarInfo = super()._proc_member(reader)  # type: ignore[misc]
            return processed

    return BoundedInfo


def _pieces(stream: "IO[bytes]", size: int) -> "Iterator[bytes]":
    left = size
    while left:
        piece = stream.read(min(PIECE, left))
        if not piece:
            return  # tarfile said it: "unexpected end of data"
        left -= len(piece)
        yield piece


def members(raw: "BinaryIO", compressed_size: int, path: str, budget: Budget,
            problems: list[Problem]) -> "Iterator[Member]":
    """The regular files of the tar `raw` in archive order, each to be read
    to its end (or not at all) before the next is asked for; every other
    kind of member and every name or structure another reader would take
    otherwise is added to `problems`. Raises Refused when it cannot be
    read on (a bound passed, a stream it cannot undo)."""
    state = _State(path, budget.bounds, budget)
    stream = Decompressed(raw, compressed_size, path, budget)
    try:
        reader = tarfile.open(fileobj=stream, mode="r|", tarinfo=_info_class(state))
    except tarfile.TarError as error:
        raise Refused(UNREADABLE_ARCHIVE, f"{path}: tarfile refuse l'archive ({error})") from None
    files: dict[str, str] = {}
    directories: set[str] = set()
    with reader:
        while True:
            try:
                info = reader.next()
            except tarfile.TarError as error:
                raise Refused(UNREADABLE_ARCHIVE, f"{path}: tarfile refuse l'archive ({error})") from None
            if info is None:
                break
            where = archives.member_name(path, info.name)
            if info.isdir() and archives.is_target(info.name):
                continue  # "." itself, as `tar -C dir .` writes it: the target
            problem = archives.name_problem(info.name)
            if problem is not None:
                problems.append(Problem(UNSAFE_MEMBER, f"{where}: {problem}"))
                continue
            kind = _kind_problem(info)
            if kind is not None:
                problems.append(Problem(UNSAFE_MEMBER, f"{where}: {kind}"))
                continue
            key = archives.same_place_key(archives.placed(info.name))
            parts = key.split("/")
            directories.update("/".join(parts[:count]) for count in range(1, len(parts)))
            if info.isdir():
                directories.add(key)
                continue
            if key in files:
                problems.append(Problem(AMBIGUOUS_ARCHIVE, f"{where}: \u00e9crit au m\u00eame endroit que "
                                        f"{archives.member_name(path, files[key])}"))
                continue
            files[key] = info.name
            member_stream = reader.extractfile(info)
            assert member_stream is not None  # a regular file
            yield Member(info.name, info.size, _pieces(member_stream, info.size))
        _after_end(reader, state, stream, path)
    for key in sorted(directories.intersection(files)):
        problems.append(Problem(AMBIGUOUS_ARCHIVE, f"{archives.member_name(path, files[key])}: fichier et "
                                "r\u00e9pertoire \u00e0 la fois"))


def _kind_problem(info: tarfile.TarInfo) -> str | None:
    """Why a member is no regular file or directory that every reader writes alike."""
    if info.issym() or info.islnk():
        return f"lien vers {info.linkname!r}, que le filtre de donn\u00e9es de tarfile refuse ou r\u00e9\u00e9crit"
    if info.ischr() or info.isblk() or info.isfifo():
        return "p\u00e9riph\u00e9rique ou FIFO"
    if info.issparse():
        return "membre creux, que les lecteurs ne remplissent pas tous de m\u00eame"
    if not (info.isreg() or info.isdir()) or info.type not in (tarfile.REGTYPE, tarfile.AREGTYPE, tarfile.CONTTYPE,
                                                               tarfile.DIRTYPE):
        return f"type de membre {info.type!r} que tarfile \u00e9crit comme un fichier sans filtre et refuse avec"
    return None


def _after_end(reader: tarfile.TarFile, state: _State, stream: Decompressed, path: str) -> None:
    """Where tarfile stopped: at an end-of-archive block followed by zeros
    only, or at the end of the data."""
    stop = state.stop
    if isinstance(stop, _QUIET_STOPS):
        raise Refused(AMBIGUOUS_ARCHIVE, f"{path}: en-t\u00eate illisible apr\u00e8s le d\u00e9but ({stop}), o\u00f9 "
                      "tarfile s'arr\u00eate sans erreur et d'autres lecteurs non")
    rest = reader.fileobj
    while True:
        data = rest.read(PIECE)
        if not data:
            return
        if data.strip(b"\0"):
            raise Refused(AMBIGUOUS_ARCHIVE, f"{path}: donn\u00e9es apr\u00e8s la fin de l'archive tar, des membres "
                          "pour un lecteur qui saute les blocs nuls")


def read_all(pieces: "Iterator[bytes]") -> None:
    """Reads pieces to their end, for their checks alone."""
    for _ in pieces:
        pass


def from_pieces(pieces: "Iterator[bytes]") -> "BinaryIO":
    """A file that reads the given pieces in turn (a tar nested in a member)."""
    return _PieceFile(pieces)  # type: ignore[return-value]


class _PieceFile(io.RawIOBase):
    def __init__(self, pieces: "Iterator[bytes]") -> None:
        super().__init__()
        self._pieces = pieces
        self._held = b""
        self._at = 0

    def readable(self) -> bool:
        return True

    def tell(self) -> int:
        return self._at

    def readinto(self, buffer: "bytearray | memoryview") -> int:  # type: ignore[override]
        while not self._held:
            self._held = next(self._pieces, b"")
            if not self._held:
                return 0
        count = min(len(buffer), len(self._held))
        buffer[:count] = self._held[:count]
        self._held = self._held[count:]
        self._at += count
        return count


