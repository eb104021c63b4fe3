"""A zip read as Python reads it, and refused wherever two of its readers
would read it differently.

The central directory is the index zipfile (so pip's installer) and
zipimport both read; this reads it too, with zipfile's reading of the same
bytes as the oracle, and checks it against what other readers see: one end
record, at the end of the file (a comment holding another is refused);
the local headers, which a streaming extractor reads instead, agreeing
with the directory; the members laid end to end from the first byte (or
a zipapp's shebang line) to the directory, with no byte outside one and
none inside two; no encryption, no method but stored and deflated
(zipimport inflates whatever the label says), no NUL in a name (zipfile
cuts the name there), no Unicode-path field naming a member otherwise
(zipfile follows it, zipimport does not), no zip64 field zipimport cannot
read. A member's bytes are inflated here from its raw data, in pieces, and
must fill exactly its declared size with its CRC: zipimport inflates past
the size and checks no CRC, zipfile stops at the size and checks it.
"""

import io
import os
import stat
import struct
import threading
import zipfile
import zlib

from scanner_gate import archives
from scanner_gate.findings import AMBIGUOUS_ARCHIVE, ARCHIVE_BOUND, UNREADABLE_ARCHIVE, UNSAFE_MEMBER, Kind
from scanner_gate.policy import ArchiveBounds

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Iterator
    from typing import BinaryIO, NamedTuple
else:
    from scanner_gate.records import NamedTuple

# Decompressed bytes handed on at a time: the engine's read size.
PIECE = 256 * 1024
# Raw bytes read at a time.
RAW_PIECE = 64 * 1024
# The central directory may take this much a member on average: zipfile
# reads it whole, and holds a record of each member.
DIRECTORY_BYTES_PER_MEMBER = 1024
# The most bytes before the first member that can be a zipapp's shebang line.
MOST_SHEBANG = 4096

_END = b"PK\x05\x06"
_END64 = b"PK\x06\x06"
_LOCATOR64 = b"PK\x06\x07"
_CENTRAL = b"PK\x01\x02"
_LOCAL = b"PK\x03\x04"
_DESCRIPTOR = b"PK\x07\x08"
_END_SIZE, _LOCATOR_SIZE, _END64_SIZE, _CENTRAL_SIZE, _LOCAL_SIZE = 22, 20, 56, 46, 30
_MAX32, _MAX16 = 0xFFFFFFFF, 0xFFFF
_ZIP64_TAG, _UNICODE_PATH_TAG = 0x0001, 0x7075
_ENCRYPTED = 0x0001 | 0x0040 | 0x2000  # traditional, strong, masked central directory
_DESCRIBED = 0x0008  # sizes and CRC in a data descriptor after the data
_UTF8 = 0x0800
_STORED, _DEFLATED = 0, 8
_UNIX = 3  # the system that made the member, whose attributes hold a mode


class Problem(NamedTuple):
    """What makes an archive hostile or unread: a kind of finding and why,
    the text naming what it is about first, `ARCHIVE: ...` for the archive
    itself or `ARCHIVE!/MEMBER: ...` for a member (the finding on the
    archive's report holds it as its reason, archive_scan)."""

    kind: Kind
    text: str


class Refused(Exception):
    """The archive cannot be read on: its problem says why."""

    def __init__(self, kind: Kind, text: str) -> None:
        super().__init__(text)
        self.problem = Problem(kind, text)


class Entry(NamedTuple):
    """A member as the central directory gives it, checked against its local header."""

    name: str  # as zipfile and zipimport decode it
    flags: int
    method: int
    crc: int
    compressed: int
    size: int
    header: int  # where its local header starts in the file
    data: int = 0  # where its data starts
    end: int = 0  # past its data and data descriptor

    @property
    def is_dir(self) -> bool:
        return self.name.endswith("/")


class Layout(NamedTuple):
    entries: list[Entry]  # in the central directory's order
    problems: list[Problem]


class Window(io.RawIOBase):
    """Bytes `start` to `start + length` of a seekable file, as a file of
    their own: a stored member read as an archive without a copy."""

    def __init__(self, raw: "BinaryIO", start: int, length: int) -> None:
        super().__init__()
        self._raw, self._start, self._length, self._at = raw, start, length, 0

    def readable(self) -> bool:
        return True

    def seekable(self) -> bool:
        return True

    def tell(self) -> int:
        return self._at

    def seek(self, offset: int, whence: int = io.SEEK_SET) -> int:
        base = {io.SEEK_SET: 0, io.SEEK_CUR: self._at, io.SEEK_END: self._length}[whence]
        if base + offset < 0:
            raise OSError(22, "negative seek position")
        self._at = base + offset
        return self._at

    def readinto(self, buffer: "bytearray | memoryview") -> int:  # type: ignore[override]
        wanted = min(len(buffer), self._length - self._at)
        if wanted <= 0:
            return 0
        self._raw.seek(self._start + self._at)
        data = self._raw.read(wanted)
        buffer[: len(data)] = data
        self._at += len(data)
        return len(data)


def _read_at(raw: "BinaryIO", offset: int, count: int) -> bytes:
    raw.seek(offset)
    return raw.read(count)


def _extras(extra: bytes) -> list[tuple[int, bytes]] | None:
    """The extra fields, in order; None when they do not parse (zipfile refuses them)."""
    fields, at = [], 0
    while at + 4 <= len(extra):
        tag, size = struct.unpack_from("<HH", extra, at)
        if at + 4 + size > len(extra):
            return None
        fields.append((tag, extra[at + 4 : at + 4 + size]))
        at += 4 + size
    return fields


def _decoded(raw_name: bytes, flags: int) -> str:
    return raw_name.decode("utf-8") if flags & _UTF8 else raw_name.decode("cp437")


def _zip64_values(fields: list[tuple[int, bytes]], wanted: int) -> list[int] | None:
    """The first `wanted` values of the zip64 field, as zipimport reads them
    too (the field last, its size a multiple of 8, three values at most);
    None when they differ or are missing."""
    if not fields or fields[-1][0] != _ZIP64_TAG or any(tag == _ZIP64_TAG for tag, _ in fields[:-1]):
        return None
    data = fields[-1][1]
    if len(data) % 8 or len(data) > 24 or len(data) < 8 * wanted:
        return None
    return list(struct.unpack_from(f"<{wanted}Q", data))


def _unicode_path(fields: list[tuple[int, bytes]], name: str, problems: list[Problem], where: str) -> None:
    """A Unicode-path field that names the member otherwise: zipfile takes
    that name, zipimport and other readers the header's."""
    for tag, data in fields:
        if tag != _UNICODE_PATH_TAG or len(data) < 5:
            continue
        try:
            other = data[5:].decode("utf-8")
        except UnicodeDecodeError:
            other = None
        if other != name:
            problems.append(Problem(AMBIGUOUS_ARCHIVE, f"{where}: champ de chemin Unicode qui le nomme autrement "
                                    f"({other!r}), nom que zipfile suit et zipimport non"))


def _end_records(raw: "BinaryIO", size: int, bounds: ArchiveBounds,
                 problems: list[Problem], path: str) -> tuple[int, int, int, int]:
    """(entries, the directory's size, where it starts in the file, the
    offset the end record gives it), the end records checked."""
    if size < _END_SIZE:
        raise Refused(UNREADABLE_ARCHIVE, f"{path}: pas une archive zip (trop courte)")
    tail_size = min(size, _MAX16 + _END_SIZE + _LOCATOR_SIZE + _END64_SIZE)
    tail = _read_at(raw, size - tail_size, tail_size)
    at = tail.rfind(_END)
    if at < 0 or len(tail) - at < _END_SIZE:
        raise Refused(UNREADABLE_ARCHIVE, f"{path}: pas une archive zip (aucune fin d'archive)")
    end_at = size - tail_size + at
    _, disk, directory_disk, disk_entries, entries, directory_size, directory_offset, comment_size = struct.unpack_from(
        "<4s4H2LH", tail, at)
    # zipfile takes the last 22 bytes for the end record when they read as one
    # without a comment, zipimport the last signature: they must be the same.
    if tail[-_END_SIZE:].startswith(_END) and tail[-2:] == b"\0\0" and end_at != size - _END_SIZE:
        problems.append(Problem(AMBIGUOUS_ARCHIVE, f"{path}: plusieurs fins d'archive, que zipfile et zipimport "
                                "ne prennent pas au m\u00eame endroit"))
    if end_at + _END_SIZE + comment_size < size:
        problems.append(Problem(AMBIGUOUS_ARCHIVE, f"{path}: {size - end_at - _END_SIZE - comment_size} octets "
                                "apr\u00e8s la fin de l'archive"))
    elif end_at + _END_SIZE + comment_size > size:
        problems.append(Problem(AMBIGUOUS_ARCHIVE, f"{path}: fin d'archive dont le commentaire d\u00e9passe le fichier"))
    comment = tail[at + _END_SIZE :]
    if any(signature in comment for signature in (_END, _END64, _LOCATOR64, _CENTRAL, _LOCAL)):
        problems.append(Problem(AMBIGUOUS_ARCHIVE, f"{path}: commentaire d'archive qui contient une autre "
                                "structure zip (une seconde fin d'archive pour un autre lecteur)"))
    if disk or directory_disk or disk_entries != entries:
        raise Refused(UNREADABLE_ARCHIVE, f"{path}: archive zip sur plusieurs disques")
    directory_end = end_at
    locator = tail[at - _LOCATOR_SIZE : at] if at >= _LOCATOR_SIZE else b""
    record = tail[at - _LOCATOR_SIZE - _END64_SIZE : at - _LOCATOR_SIZE] if at >= _LOCATOR_SIZE + _END64_SIZE else b""
    if locator.startswith(_LOCATOR64):
        _, locator_disk, record_offset, disks = struct.unpack("<4sLQL", locator)
        if not record.startswith(_END64):
            raise Refused(AMBIGUOUS_ARCHIVE, f"{path}: fin zip64 annonc\u00e9e mais absente \u00e0 sa place")
        (_, record_size, _, _, disk64, directory_disk64, disk_entries64, entries64, directory_size64,
         directory_offset64) = struct.unpack("<4sQ2H2L4Q", record)
        if locator_disk or disks != 1 or disk64 or directory_disk64 or disk_entries64 != entries64:
            raise Refused(UNREADABLE_ARCHIVE, f"{path}: archive zip sur plusieurs disques")
        if record_size != _END64_SIZE - 12:
            problems.append(Problem(AMBIGUOUS_ARCHIVE, f"{path}: fin zip64 \u00e9tendue, que zipfile et zipimport "
                                    "lisent sans ses donn\u00e9es"))
        for narrow, wide, placeholder in ((entries, entries64, _MAX16), (directory_size, directory_size64, _MAX32),
                                          (directory_offset, directory_offset64, _MAX32)):
            if narrow not in (placeholder, wide):
                problems.append(Problem(AMBIGUOUS_ARCHIVE, f"{path}: fins d'archive zip et zip64 qui se contredisent"))
                break
        entries, directory_size, directory_offset = entries64, directory_size64, directory_offset64
        directory_end = end_at - _LOCATOR_SIZE - _END64_SIZE
        shift = directory_end - directory_size - directory_offset
        if record_offset + shift != directory_end:
            problems.append(Problem(AMBIGUOUS_ARCHIVE, f"{path}: localisateur zip64 qui d\u00e9signe une autre fin"))
    elif record.startswith(_END64):
        # zipimport takes a zip64 end record at that place without a locator; zipfile does not.
        problems.append(Problem(AMBIGUOUS_ARCHIVE, f"{path}: fin zip64 sans localisateur, que seul zipimport lit"))
    if entries > bounds.max_members:
        raise Refused(ARCHIVE_BOUND, f"{path}: {entries} membres annonc\u00e9s, plus que max_members "
                      f"({bounds.max_members})")
    if directory_size > bounds.max_members * DIRECTORY_BYTES_PER_MEMBER:
        raise Refused(ARCHIVE_BOUND, f"{path}: r\u00e9pertoire central de {directory_size} octets, plus que "
                      f"{DIRECTORY_BYTES_PER_MEMBER} par membre permis (max_members {bounds.max_members})")
    directory_start = directory_end - directory_size
    if directory_start < 0 or directory_offset > directory_start:
        raise Refused(UNREADABLE_ARCHIVE, f"{path}: r\u00e9pertoire central hors du fichier")
    return entries, directory_size, directory_start, directory_offset


def _central_directory(raw: "BinaryIO", path: str, entries: int, directory_start: int, directory_size: int,
                       shift: int, problems: list[Problem]) -> list[tuple[Entry, bytes]]:
    """The members the directory lists, each with its name's bytes."""
    directory = _read_at(raw, directory_start, directory_size)
    if len(directory) != directory_size:
        raise Refused(UNREADABLE_ARCHIVE, f"{path}: r\u00e9pertoire central tronqu\u00e9")
    listed: list[tuple[Entry, bytes]] = []
    at = 0
    while at < len(directory):
        if len(directory) - at < _CENTRAL_SIZE or not directory.startswith(_CENTRAL, at):
            raise Refused(UNREADABLE_ARCHIVE, f"{path}: r\u00e9pertoire central illisible (octet {at})")
        (_, made_by, needed, flags, method, _, _, crc, compressed, size, name_size, extra_size, comment_size, disk,
         _, attributes, offset) = struct.unpack_from("<4s6H3L5H2L", directory, at)
        at += _CENTRAL_SIZE
        raw_name = directory[at : at + name_size]
        extra = directory[at + name_size : at + name_size + extra_size]
        at += name_size + extra_size + comment_size
        if at > len(directory):
            raise Refused(UNREADABLE_ARCHIVE, f"{path}: r\u00e9pertoire central tronqu\u00e9")
        try:
            name = _decoded(raw_name, flags)
        except UnicodeDecodeError:
            raise Refused(UNREADABLE_ARCHIVE, f"{path}: nom de membre annonc\u00e9 en UTF-8 qui n'en est pas "
                          f"({raw_name!r})") from None
        where = archives.member_name(path, name)
        fields = _extras(extra)
        if fields is None:
            raise Refused(UNREADABLE_ARCHIVE, f"{where}: champs suppl\u00e9mentaires illisibles")
        wide = [value == _MAX32 for value in (size, compressed, offset)]
        if any(wide):
            values = _zip64_values(fields, sum(wide))
            if values is None:
                problems.append(Problem(AMBIGUOUS_ARCHIVE, f"{where}: champ zip64 que zipimport ne lit pas "
                                        "comme zipfile"))
                continue
            if wide[0]:
                size = values.pop(0)
            if wide[1]:
                compressed = values.pop(0)
            if wide[2]:
                offset = values.pop(0)
        if disk:
            raise Refused(UNREADABLE_ARCHIVE, f"{path}: archive zip sur plusieurs disques")
        if needed > zipfile.MAX_EXTRACT_VERSION:
            raise Refused(UNREADABLE_ARCHIVE, f"{where}: version {needed / 10:.1f} du format, que zipfile ne lit pas")
        _unicode_path(fields, name, problems, where)
        mode = attributes >> 16
        if made_by >> 8 == _UNIX and stat.S_IFMT(mode) not in (0, stat.S_IFREG, stat.S_IFDIR):
            # unzip makes it a link, a device or a FIFO; zipfile and pip write a file of its bytes.
            problems.append(Problem(UNSAFE_MEMBER, f"{where}: lien, p\u00e9riph\u00e9rique ou FIFO selon ses attributs "
                                    f"Unix ({stat.filemode(mode)}), qu'un extracteur cr\u00e9e et zipfile non"))
        listed.append((Entry(name, flags, method, crc, compressed, size, offset + shift), raw_name))
    if len(listed) != entries and not any(p.kind is AMBIGUOUS_ARCHIVE and "zip64" in p.text for p in problems):
        problems.append(Problem(AMBIGUOUS_ARCHIVE, f"{path}: {len(listed)} membres dans le r\u00e9pertoire central, "
                                f"{entries} annonc\u00e9s par la fin d'archive (zipimport refuse l'\u00e9cart)"))
    return listed


def _descriptor_size(raw: "BinaryIO", entry: Entry, data_end: int, next_start: int) -> int | None:
    """The size of the data descriptor after a member's data, read as the
    one form that matches the directory and ends where the next structure
    starts; None when none does."""
    found = _read_at(raw, data_end, 24)
    for signed in (True, False):
        body = found[4:] if signed else found
        if signed and not found.startswith(_DESCRIPTOR):
            continue
        for wide in (False, True):
            layout = "<LQQ" if wide else "<LLL"
            length = struct.calcsize(layout)
            if len(body) < length:
                continue
            crc, compressed, size = struct.unpack_from(layout, body)
            total = length + (4 if signed else 0)
            if (crc, compressed, size) == (entry.crc, entry.compressed, entry.size) and data_end + total == next_start:
                return total
    return None


def _local_headers(raw: "BinaryIO", path: str, listed: list[tuple[Entry, bytes]], directory_start: int,
                   problems: list[Problem]) -> list[Entry]:
    """Each member with where its data lies, its local header checked
    against the directory; and the members checked to lie end to end."""
    order = sorted(range(len(listed)), key=lambda index: listed[index][0].header)
    placed: list[Entry | None] = [None] * len(listed)
    for position, index in enumerate(order):
        entry, raw_name = listed[index]
        where = archives.member_name(path, entry.name)
        next_start = listed[order[position + 1]][0].header if position + 1 < len(order) else directory_start
        header = _read_at(raw, entry.header, _LOCAL_SIZE)
        if len(header) != _LOCAL_SIZE or not header.startswith(_LOCAL):
            raise Refused(AMBIGUOUS_ARCHIVE, f"{where}: pas d'en-t\u00eate local \u00e0 l'endroit que le "
                          "r\u00e9pertoire central indique")
        _, _, flags, method, _, _, crc, compressed, size, name_size, extra_size = struct.unpack("<4s5H3L2H", header)
        local_name = raw.read(name_size)
        local_fields = _extras(raw.read(extra_size))
        if local_name != raw_name:
            problems.append(Problem(AMBIGUOUS_ARCHIVE, f"{where}: l'en-t\u00eate local le nomme {local_name!r}, "
                                    "le r\u00e9pertoire central autrement"))
        if local_fields is None:
            raise Refused(UNREADABLE_ARCHIVE, f"{where}: champs suppl\u00e9mentaires locaux illisibles")
        if (flags ^ entry.flags) & (_ENCRYPTED | _DESCRIBED | _UTF8) or method != entry.method:
            problems.append(Problem(AMBIGUOUS_ARCHIVE, f"{where}: drapeaux ou m\u00e9thode de l'en-t\u00eate local "
                                    "diff\u00e9rents du r\u00e9pertoire central"))
        wide = [value == _MAX32 for value in (size, compressed)]
        if any(wide):
            values = _zip64_values(local_fields, sum(wide)) or []
            size = values.pop(0) if wide[0] and values else size
            compressed = values.pop(0) if wide[1] and values else compressed
        declared = (crc, compressed, size)
        if declared != (entry.crc, entry.compressed, entry.size) and not (
                entry.flags & _DESCRIBED and declared == (0, 0, 0)):
            problems.append(Problem(AMBIGUOUS_ARCHIVE, f"{where}: taille ou CRC de l'en-t\u00eate local "
                                    "diff\u00e9rents du r\u00e9pertoire central"))
        if local_name == raw_name:
            _unicode_path(local_fields, entry.name, problems, where)
        data = entry.header + _LOCAL_SIZE + name_size + extra_size
        data_end = data + entry.compressed
        end = data_end
        if entry.flags & _DESCRIBED:
            descriptor = _descriptor_size(raw, entry, data_end, next_start)
            if descriptor is None:
                problems.append(Problem(AMBIGUOUS_ARCHIVE, f"{where}: descripteur de donn\u00e9es absent ou "
                                        "diff\u00e9rent du r\u00e9pertoire central"))
            else:
                end += descriptor
        if end > next_start:
            problems.append(Problem(AMBIGUOUS_ARCHIVE, f"{where}: chevauche le membre ou le r\u00e9pertoire qui "
                                    "le suit (deux lecteurs n'y liraient pas les m\u00eames octets)"))
        elif end < next_start:
            problems.append(Problem(AMBIGUOUS_ARCHIVE, f"{where}: {next_start - end} octets cach\u00e9s apr\u00e8s "
                                    "lui, hors de tout membre"))
        placed[index] = entry._replace(data=data, end=end)
    return [entry for entry in placed if entry is not None]


def _before_first(raw: "BinaryIO", path: str, first: int, problems: list[Problem]) -> None:
    """The bytes before the first member: none, or a zipapp's shebang line."""
    if first <= 0:
        return
    head = _read_at(raw, 0, min(first, MOST_SHEBANG))
    if first <= MOST_SHEBANG and head.startswith(b"#!") and head.endswith(b"\n") and head.count(b"\n") == 1:
        return
    problems.append(Problem(AMBIGUOUS_ARCHIVE, f"{path}: {first} octets avant l'archive, qui ne sont pas la "
                            "ligne shebang d'une zipapp"))


def _names(path: str, entries: list[Entry], wheel: bool, problems: list[Problem]) -> None:
    """Names an extractor would write outside its target, or two members to one place."""
    seen: dict[str, str] = {}
    files: dict[str, str] = {}
    directories: set[str] = set()
    for entry in entries:
        where = archives.member_name(path, entry.name)
        if "\0" in entry.name:
            continue  # refused as ambiguous already
        if entry.is_dir and archives.is_target(entry.name):
            continue  # "./", the target itself
        problem = archives.name_problem(entry.name)
        if problem is not None:
            problems.append(Problem(UNSAFE_MEMBER, f"{where}: {problem}"))
            continue
        if entry.name in seen:
            problems.append(Problem(AMBIGUOUS_ARCHIVE, f"{where}: deux membres de ce nom, dont les lecteurs ne "
                                    "gardent pas le m\u00eame"))
            continue
        seen[entry.name] = entry.name
        key = archives.same_place_key(installed_path(archives.placed(entry.name)) if wheel
                                      else archives.placed(entry.name))
        parts = key.split("/")
        directories.update("/".join(parts[:count]) for count in range(1, len(parts)))
        if entry.is_dir:
            directories.add(key)
            continue
        if key in files:
            problems.append(Problem(AMBIGUOUS_ARCHIVE, f"{where}: \u00e9crit au m\u00eame endroit que "
                                    f"{archives.member_name(path, files[key])} (casse, s\u00e9parateurs ou "
                                    "r\u00e9pertoire .data)"))
            continue
        files[key] = entry.name
    for key in sorted(directories.intersection(files)):
        problems.append(Problem(AMBIGUOUS_ARCHIVE, f"{archives.member_name(path, files[key])}: fichier et "
                                "r\u00e9pertoire \u00e0 la fois"))


def installed_path(placed: str) -> str:
    """Where pip installs a wheel's member: what its .data directory's
    purelib and platlib hold goes to the same place as the wheel's root."""
    parts = placed.split("/")
    if len(parts) > 2 and parts[0].endswith(".data") and parts[1] in ("purelib", "platlib"):
        return "/".join(parts[2:])
    return placed


def _oracle(raw: "BinaryIO", path: str, entries: list[Entry], problems: list[Problem]) -> None:
    """zipfile's reading of the same directory, which must agree with this one."""
    try:
        with zipfile.ZipFile(raw) as archive:
            infos = archive.infolist()
    except Exception as error:  # noqa: BLE001 - whatever zipfile raises, it cannot read the archive
        raise Refused(UNREADABLE_ARCHIVE, f"{path}: zipfile refuse l'archive ({type(error).__name__}: {error})") \
            from None
    if len(infos) != len(entries):
        problems.append(Problem(AMBIGUOUS_ARCHIVE, f"{path}: zipfile y lit {len(infos)} membres, pas {len(entries)}"))
        return
    for info, entry in zip(infos, entries):
        read = (info.filename, info.header_offset, info.compress_size, info.file_size, info.CRC, info.compress_type)
        if read != (entry.name, entry.header, entry.compressed, entry.size, entry.crc, entry.method):
            problems.append(Problem(AMBIGUOUS_ARCHIVE, f"{archives.member_name(path, entry.name)}: zipfile le lit "
                                    f"autrement ({info.filename!r} \u00e0 l'octet {info.header_offset})"))


def read_layout(raw: "BinaryIO", size: int, path: str, bounds: ArchiveBounds, wheel: bool = False) -> Layout:
    """The members of the zip `raw` (`size` bytes, named `path` in
    messages), with every problem that makes it hostile. Raises Refused
    when it cannot be read on at all (not a zip, a bound passed)."""
    problems: list[Problem] = []
    declared, directory_size, directory_start, directory_offset = _end_records(raw, size, bounds, problems, path)
    # How far the archive starts into the file (a zipapp's shebang line, or
    # other bytes before it), as zipfile and zipimport both reckon it.
    shift = directory_start - directory_offset
    listed = _central_directory(raw, path, declared, directory_start, directory_size, shift, problems)
    for entry, raw_name in listed:
        where = archives.member_name(path, entry.name)
        if b"\0" in raw_name:
            problems.append(Problem(AMBIGUOUS_ARCHIVE, f"{archives.member_name(path, entry.name.split(chr(0))[0])}"
                                    ": NUL dans le nom, que zipfile coupe l\u00e0 et zipimport non"))
        if entry.flags & _ENCRYPTED:
            problems.append(Problem(AMBIGUOUS_ARCHIVE, f"{where}: membre chiffr\u00e9, que zipfile refuse et que "
                                    "zipimport lit comme s'il ne l'\u00e9tait pas"))
        if entry.method not in (_STORED, _DEFLATED):
            problems.append(Problem(AMBIGUOUS_ARCHIVE, f"{where}: m\u00e9thode de compression {entry.method}, "
                                    "que zipimport lit comme deflate"))
        elif entry.method == _STORED and entry.compressed != entry.size:
            problems.append(Problem(AMBIGUOUS_ARCHIVE, f"{where}: membre non compress\u00e9 dont les deux tailles "
                                    "diff\u00e8rent"))
        if entry.is_dir and entry.size:
            problems.append(Problem(AMBIGUOUS_ARCHIVE, f"{where}: r\u00e9pertoire qui contient {entry.size} octets"))
    entries = _local_headers(raw, path, listed, directory_start, problems)
    first = min((entry.header for entry in entries), default=directory_start)
    _before_first(raw, path, first, problems)
    _names(path, entries, wheel, problems)
    _oracle(raw, path, entries, problems)
    return Layout(entries, problems)


class Positional(io.RawIOBase):
    """A file read by position (pread), each reader with a position of its
    own: threads read members of one open file side by side, from the file
    that was opened and examined, not from its name again."""

    def __init__(self, descriptor: int) -> None:
        super().__init__()
        self._descriptor = descriptor
        self._at = 0

    def readable(self) -> bool:
        return True

    def seekable(self) -> bool:
        return True

    def tell(self) -> int:
        return self._at

    def seek(self, offset: int, whence: int = io.SEEK_SET) -> int:
        base = {io.SEEK_SET: 0, io.SEEK_CUR: self._at, io.SEEK_END: os.fstat(self._descriptor).st_size}[whence]
        if base + offset < 0:
            raise OSError(22, "negative seek position")
        self._at = base + offset
        return self._at

    def readinto(self, buffer: "bytearray | memoryview") -> int:  # type: ignore[override]
        data = os.pread(self._descriptor, len(buffer), self._at)
        buffer[: len(data)] = data
        self._at += len(data)
        return len(data)


class Budget:
    """The bytes an archive given (with all it nests) may still inflate to,
    taken by the threads that read its members."""

    def __init__(self, bounds: ArchiveBounds) -> None:
        self.bounds = bounds
        self.left = bounds.max_total_bytes
        self.members = 0  # counted over every archive nested
        self._lock = threading.Lock()

    def take(self, count: int, where: str) -> None:
        with self._lock:
            self.left -= count
            left = self.left
        if left < 0:
            raise Refused(ARCHIVE_BOUND, f"{where}: plus de max_total_bytes ({self.bounds.max_total_bytes}) "
                          "octets d\u00e9compress\u00e9s en tout")


def check_declared(entry: Entry, where: str, bounds: ArchiveBounds) -> None:
    """Refuses a member whose declared size or ratio passes a bound, before
    a byte of it is inflated."""
    if entry.size > bounds.max_member_bytes:
        raise Refused(ARCHIVE_BOUND, f"{where}: {entry.size} octets annonc\u00e9s, plus que max_member_bytes "
                      f"({bounds.max_member_bytes})")
    if entry.size >= RATIO_FROM and entry.size > bounds.max_ratio * max(entry.compressed, 1):
        raise Refused(ARCHIVE_BOUND, f"{where}: {entry.size} octets pour {entry.compressed} compress\u00e9s, "
                      f"un rapport au-del\u00e0 de max_ratio ({bounds.max_ratio})")


# A member smaller than this is not held to the ratio: it cannot cost much.
RATIO_FROM = 1 << 20


def member_pieces(raw: "BinaryIO", entry: Entry, where: str, budget: Budget) -> "Iterator[bytes]":
    """The member's bytes, inflated here from its raw data a piece at a
    time (never more than PIECE at once), each counted against `budget`.
    Raises Refused, once the pieces read so far have been given, when the
    data inflates past the declared size, stops short of it, has bytes
    after its compressed stream, or fails its CRC: zipimport and zipfile
    would read different bytes."""
    left = entry.compressed
    crc = 0
    made = 0
    inflater = zlib.decompressobj(-15) if entry.method == _DEFLATED else None
    while True:
        if inflater is not None and inflater.unconsumed_tail:
            data = inflater.unconsumed_tail
        elif left:
            raw.seek(entry.data + entry.compressed - left)
            data = raw.read(min(RAW_PIECE if inflater is not None else PIECE, left))
            if not data:
                raise Refused(UNREADABLE_ARCHIVE, f"{where}: donn\u00e9es tronqu\u00e9es")
            left -= len(data)
        elif inflater is not None and not inflater.eof:
            data = b""  # what the inflater still holds back
        else:
            break
        if inflater is None:
            piece = data
        else:
            try:
                piece = inflater.decompress(data, PIECE)
            except zlib.error as error:
                raise Refused(UNREADABLE_ARCHIVE, f"{where}: flux deflate illisible ({error})") from None
            if inflater.eof and (inflater.unused_data or left):
                raise Refused(AMBIGUOUS_ARCHIVE, f"{where}: octets apr\u00e8s la fin de son flux deflate")
            if not piece and not data:
                break  # the stream is cut short: said below
        if not piece:
            continue
        made += len(piece)
        if made > entry.size:
            raise Refused(AMBIGUOUS_ARCHIVE, f"{where}: se d\u00e9compresse au-del\u00e0 de sa taille annonc\u00e9e "
                          f"({entry.size} octets), ce que zipimport lirait et zipfile non")
        budget.take(len(piece), where)
        crc = zlib.crc32(piece, crc)
        yield piece
    if inflater is not None and not inflater.eof:
        raise Refused(UNREADABLE_ARCHIVE, f"{where}: flux deflate tronqu\u00e9")
    if made != entry.size:
        raise Refused(AMBIGUOUS_ARCHIVE, f"{where}: {made} octets au lieu des {entry.size} annonc\u00e9s")
    if crc != entry.crc:
        raise Refused(AMBIGUOUS_ARCHIVE, f"{where}: CRC faux, que zipfile refuse et zipimport ignore")
