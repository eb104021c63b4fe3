"""The tables of policies read before, so that a run need not import the
TOML reader, which costs more than judging a small plugin.

An entry holds the exact bytes of the file it was read from, how it was
read (the tables of a policy file, or the [tool.scanner-core] tables of a
pyproject.toml), the interpreter's version, and the tables the reading
gave, which every policy is then made from as if just read: an entry is
used only when all of these are equal, so it cannot change a verdict.
Only tables that made a policy are kept (lists of strings, fail_on, lang,
and the archive bounds' integers).

Entries live in a directory of the user's own, $XDG_CACHE_HOME (else
~/.cache) /scanner-core/policies, made 0700 and used only while it is
the user's and no one else may write to it; each is written whole under
another name and renamed into place. Anything amiss (no home directory, a
full disk, an entry cut short or of another form) counts as no entry:
the policy is read as usual. SCANNER_CORE_NO_POLICY_CACHE set to anything
but an empty string turns the cache off.
"""

import _thread
import os
import sys
import zlib

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Mapping

OFF = "SCANNER_CORE_NO_POLICY_CACHE"
_FORM = b"scanner-core policy tables 3\n"
_END = b"\nend\n"
# Each value as a tag, its length in bytes and its UTF-8 bytes: a string
# (S), or a list (L, its length the count of values that follow it); an
# integer (I) is its tag and its decimal digits, a boolean (B) its tag and
# 0 or 1; an array of tables ([[paths]]) is A and the count of tables that
# follow it, each a list of keys and values.
_STRING, _LIST, _INTEGER, _BOOLEAN, _TABLES = b"S", b"L", b"I", b"B", b"A"


def _directory() -> int | None:
    """A descriptor of the cache's directory, made if need be; None when
    there is none to use."""
    if os.environ.get(OFF):
        return None
    base = os.environ.get("XDG_CACHE_HOME", "")
    if not os.path.isabs(base):
        home = os.path.expanduser("~")
        if not os.path.isabs(home):
            return None
        base = os.path.join(home, ".cache")
    path = os.path.join(base, "scanner-core", "policies")
    try:
        os.makedirs(path, mode=0o700, exist_ok=True)
        descriptor = os.open(path, os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW | os.O_CLOEXEC)
    except OSError:
        return None
    try:
        status = os.fstat(descriptor)
    except OSError:
        os.close(descriptor)
        return None
    if status.st_uid != os.getuid() or status.st_mode & 0o077:
        os.close(descriptor)  # not the user's alone: another could plant entries
        return None
    return descriptor


def _key(source: bytes, reading: str) -> bytes:
    version = f"{sys.implementation.name} {sys.hexversion:x}"
    return f"{reading}\n{version}\n{len(source)}\n".encode() + source + b"\n"


def _name(source: bytes, reading: str) -> str:
    return f"{zlib.crc32(source):08x}-{reading}"


def _encode(tables: "Mapping[str, object]") -> bytes | None:
    """The tables as an entry holds them; None for tables of another shape
    than a policy's (tables, or arrays of tables, of strings, integers,
    booleans and lists of strings)."""
    parts = []

    def put(tag: bytes, text: str) -> None:
        data = text.encode()
        parts.append(tag + str(len(data)).encode() + b":" + data)

    def table(content: object) -> bool:
        if not isinstance(content, dict):
            return False
        parts.append(_LIST + str(len(content)).encode() + b":")
        for key, value in content.items():
            put(_STRING, key)
            if isinstance(value, str):
                put(_STRING, value)
            elif isinstance(value, bool):
                parts.append(_BOOLEAN + (b"1:" if value else b"0:"))
            elif isinstance(value, int):
                if value < 0 or len(str(value)) > 12:  # as _Reader reads counts back
                    return False
                parts.append(_INTEGER + str(value).encode() + b":")
            elif isinstance(value, list) and all(isinstance(item, str) for item in value):
                parts.append(_LIST + str(len(value)).encode() + b":")
                for item in value:
                    put(_STRING, item)
            else:
                return False
        return True

    for name, content in tables.items():
        put(_STRING, name)
        if isinstance(content, list):
            parts.append(_TABLES + str(len(content)).encode() + b":")
            if not all(table(item) for item in content):
                return None
        elif not table(content):
            return None
    return b"".join(parts)


class _Reader:
    """Reads back what _encode wrote; any other form raises ValueError."""

    def __init__(self, data: bytes) -> None:
        self._data = data
        self._at = 0

    def _next(self, tag: bytes) -> int:
        data, at = self._data, self._at
        if data[at:at + 1] != tag:
            raise ValueError("not an entry")
        colon = data.index(b":", at + 1)
        digits = data[at + 1:colon]
        if not digits.isdigit() or len(digits) > 12:
            raise ValueError("not an entry")
        self._at = colon + 1
        return int(digits)

    def string(self) -> str:
        size = self._next(_STRING)
        end = self._at + size
        if end > len(self._data):
            raise ValueError("cut short")
        text = self._data[self._at:end].decode()
        self._at = end
        return text

    def count(self) -> int:
        return self._next(_LIST)

    def integer(self) -> int:
        return self._next(_INTEGER)

    def boolean(self) -> bool:
        value = self._next(_BOOLEAN)
        if value > 1:
            raise ValueError("not an entry")
        return value == 1

    def tables(self) -> int:
        return self._next(_TABLES)

    def at(self, tag: bytes) -> bool:
        return self._data[self._at:self._at + 1] == tag

    def done(self) -> bool:
        return self._at == len(self._data)


def _decode(data: bytes) -> "dict[str, object]":
    reader = _Reader(data)

    def table() -> "dict[str, list[str] | str | int | bool]":
        made: dict[str, list[str] | str | int | bool] = {}
        for _ in range(reader.count()):
            key = reader.string()
            if reader.at(_STRING):
                made[key] = reader.string()
            elif reader.at(_INTEGER):
                made[key] = reader.integer()
            elif reader.at(_BOOLEAN):
                made[key] = reader.boolean()
            else:
                made[key] = [reader.string() for _ in range(reader.count())]
        return made

    tables: dict[str, object] = {}
    while not reader.done():
        name = reader.string()
        if name in tables:
            raise ValueError("not an entry")
        tables[name] = [table() for _ in range(reader.tables())] if reader.at(_TABLES) else table()
    return tables


def load(source: bytes, reading: str) -> "dict[str, object] | None":
    """The tables stored for these exact bytes read this way, or None."""
    directory = _directory()
    if directory is None:
        return None
    try:
        descriptor = os.open(_name(source, reading), os.O_RDONLY | os.O_NOFOLLOW | os.O_CLOEXEC,
                             dir_fd=directory)
    except OSError:
        os.close(directory)
        return None
    try:
        status = os.fstat(descriptor)
        key = _FORM + _key(source, reading)
        # An entry is its key and tables a few times smaller than the file they came from.
        if status.st_uid != os.getuid() or status.st_mode & 0o022 or status.st_size > len(key) + 4 * len(source) + 4096:
            return None
        data = os.read(descriptor, status.st_size + 1)
        if len(data) != status.st_size or not data.startswith(key) or not data.endswith(_END):
            return None
        return _decode(data[len(key):-len(_END)])
    except (OSError, ValueError, UnicodeDecodeError):
        return None
    finally:
        os.close(descriptor)
        os.close(directory)


def store(source: bytes, reading: str, tables: "Mapping[str, object]") -> None:
    """Keeps the tables read from these bytes; fails silently."""
    try:
        encoded = _encode(tables)
    except UnicodeEncodeError:  # a lone surrogate, which no TOML text holds
        return
    if encoded is None:
        return
    directory = _directory()
    if directory is None:
        return
    name = _name(source, reading)
    # A batch's jobs may store the same policy at once, from threads.
    temporary = f".{name}.{os.getpid()}.{_thread.get_ident()}"
    try:
        descriptor = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC,
                             0o600, dir_fd=directory)
        try:
            data = _FORM + _key(source, reading) + encoded + _END
            while data:
                data = data[os.write(descriptor, data):]
        finally:
            os.close(descriptor)
        os.replace(temporary, name, src_dir_fd=directory, dst_dir_fd=directory)
    except OSError:
        try:
            os.unlink(temporary, dir_fd=directory)
        except OSError:
            pass
    finally:
        os.close(directory)
