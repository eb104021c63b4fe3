"""What the gate takes for an archive, and how it names and places members.

An archive is recognised by its name as the walk recognises it (a wheel,
a zip, a zipapp, an egg, an sdist's tar), and a file named on the command
line by its first bytes too: Python runs a zip given as a script whatever
its name. A member is named `ARCHIVE!/MEMBER` in every report format, a
member of a nested archive `ARCHIVE!/INNER.whl!/MEMBER`; a member name
that holds `!/` itself is refused, so that the notation reads one way.

A member is judged by the path an extractor would write it at, as the
walk judges a tree's file at that path: a source by its `.py`, an
extension module, bytecode or a `.pth` by their names, an archive read in
turn, a file of entry points (entry_points.txt, pyproject.toml) read for
them. (A name the walk comes to judge by other rules is judged here the
same way through `role`.)
"""

ZIP = "zip"
TAR = "tar"
SEPARATOR = "!/"

# As the walk's names, compared ignoring case.
_ZIP_SUFFIXES = (".whl", ".zip", ".pyz", ".egg")
_TAR_SUFFIXES = (".tar.gz", ".tgz", ".tar.bz2", ".tar.xz", ".tar")
_PROBLEM_SUFFIXES = (".so", ".pyd", ".pyc", ".pth")

# First bytes: a zip's first local header, or a zipapp's shebang; the
# compressions tarfile opens; a tar's ustar magic (at 257).
_ZIP_MAGIC = (b"PK\x03\x04", b"PK\x05\x06")
_COMPRESSED_MAGIC = (b"\x1f\x8b", b"BZh", b"\xfd7zXZ\x00")
_USTAR_AT = 257

SOURCE = "source"  # read and judged as Python source
ENTRY = "entry"  # judged by its name, as the walk judges it
ARCHIVE = "archive"  # read in turn
ENTRY_POINTS = "entry points"  # read for the entry points it declares (scanner_gate.entry_points)


def archive_format(name: str) -> str | None:
    """ZIP or TAR for a file whose name says it is an archive, else None."""
    lowered = name.lower()
    if lowered.endswith(_ZIP_SUFFIXES):
        return ZIP
    if lowered.endswith(_TAR_SUFFIXES):
        return TAR
    return None


def sniffed_format(head: bytes) -> str | None:
    """ZIP or TAR for a file whose first bytes (at least 512 of them, when
    it has that many) are an archive's, else None. A zip that starts with
    a shebang line is a zipapp; whether the rest is a zip is for the
    reader to say."""
    if head.startswith(_ZIP_MAGIC) or (head.startswith(b"#!") and b"\nPK\x03\x04" in head):
        return ZIP
    if head.startswith(_COMPRESSED_MAGIC) or head[_USTAR_AT:_USTAR_AT + 5] == b"ustar":
        return TAR
    return None


def member_name(archive: str, member: str) -> str:
    """How reports name `member` of `archive`."""
    return f"{archive}{SEPARATOR}{member}"


def _parts(name: str) -> list[str]:
    return [part for part in name.replace("\\", "/").split("/") if part not in ("", ".")]


def placed(name: str) -> str:
    """Where an extractor writes a member, relative to its target: both
    separators read as one, empty and `.` parts dropped. Only for a name
    `name_problem` passes."""
    return "/".join(_parts(name))


def is_target(name: str) -> bool:
    """Whether a directory's name is the extractor's target itself (`.`, `./`)."""
    parts = [part for part in name.split("/") if part]
    return bool(parts) and all(part == "." for part in parts)


def name_problem(name: str) -> str | None:
    """Why an extractor would write `name` outside its target or somewhere
    else than another would, or the report could not name it plainly; None
    for a plain relative name."""
    if not name.isprintable() and any(ord(c) < 0x20 or 0x7F <= ord(c) <= 0x9F for c in name):
        return "caract\u00e8re de contr\u00f4le ou NUL dans le nom"
    if name.startswith(("/", "\\")):
        return "nom absolu"
    if len(name) >= 2 and name[1] == ":" and name[0].isascii() and name[0].isalpha():
        return "nom qui commence par un lecteur"
    if ".." in name.replace("\\", "/").split("/"):
        return "nom qui remonte hors de la cible ('..')"
    if "\\" in name:
        return "barre oblique inverse, un s\u00e9parateur pour certains extracteurs"
    if SEPARATOR in name:
        return f"nom qui contient '{SEPARATOR}', le s\u00e9parateur des membres dans les rapports"
    if not _parts(name):
        return "nom vide"
    return None


def same_place_key(path: str) -> str:
    """What two members an extractor would write over each other share, on
    a file system that ignores case: their placed path, case folded."""
    return path.casefold()


def role(path: str) -> str | None:
    """How the walk would judge a file at `path` (placed): SOURCE, ENTRY,
    ARCHIVE, ENTRY_POINTS, or None for a file it passes over."""
    name = path.rpartition("/")[2]
    if len(name) > 3 and name.endswith(".py"):
        return SOURCE
    if archive_format(name) is not None:
        return ARCHIVE
    if name.lower().endswith(_PROBLEM_SUFFIXES):
        return ENTRY
    if is_entry_points(path):
        return ENTRY_POINTS
    return None


def is_entry_points(path: str) -> bool:
    """Whether the file at `path` ('/'-separated) declares entry points, as
    the engine's walk tells: a pyproject.toml, or an entry_points.txt in a
    directory importlib.metadata reads as a distribution's metadata
    (.dist-info, .egg-info, an egg's EGG-INFO). Letter case ignored: a
    tree may be installed where it does not count."""
    directory, _, name = path.rstrip("/").rpartition("/")
    name = name.lower()
    if name == "pyproject.toml":
        return True
    if name != "entry_points.txt":
        return False
    directory = directory.rstrip("/").rpartition("/")[2].lower()
    return directory.endswith((".dist-info", ".egg-info")) or directory == "egg-info"


def depth(path: str) -> int:
    """The directories between the archive's root and a member's directory."""
    return path.count("/")
