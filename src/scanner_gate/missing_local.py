"""The imports of the plugin's own and relative modules that no file of the
tree provides (rule missing-local-module).

Python looks such a module up along its package's search path. When no
file of the plugin provides it, what it imports is whatever that path
leads to: a plugin that extended its `__path__` to the standard library's
directory and then writes `from . import socket` runs the real `socket`
under its own name, which the policy never judges. The engine keeps these
imports (scanner_audit.Report.local_imports); this module looks each one
up as Python's path finder would, in the directory the importing file's
package is, and words the finding.

What provides a module `x` in a directory is what the path finder takes
there: a package `x/` with an `__init__` source, bytecode or extension
module, or `x.py`, `x.pyc`, an extension module `x.<tag>.so` or
`x.<tag>.pyd`, or a directory `x/` without `__init__` (a namespace
portion), except where `x` is the top-level name of a standard module: a
module found later on the search path wins over a namespace portion.

A name a `from` statement takes (`from . import name`) may be an attribute
the package's `__init__` defines, which Python tries first: it is a
finding only when no file provides it and the name is a standard module's
top-level name (the shape that launders one), or when the package has no
`__init__`, so holds no attribute. A name taken from a plain module is an
attribute of it.

Directories are listed once per run (names matched exactly, as the path
finder's own listing does), only those the imports point into. A tree
walked by the engine has its files' imports looked up there, on the scan's
threads, in the same way (tree_lookup); this module looks up those of a
file given alone, of a file read again through Python's codec, and of an
archive's members.
"""

import os
import sys

from scanner_gate.findings import MISSING_LOCAL, Finding

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Iterable, Sequence

# The standard library's top-level names, as the 3.13 interpreter knows them.
_STANDARD = sys.stdlib_module_names
# The suffixes the path finder takes for a module's file, extensions aside
# (not `.pyw`, a source only on Windows: elsewhere the finder passes it by).
_FILE_SUFFIXES = (".py", ".pyc")
_EXTENSION_ENDS = (".so", ".pyd")

_PACKAGE, _MODULE, _NAMESPACE = "package", "module", "namespace"


def tree_lookup(root: str) -> tuple[list[str], "frozenset[str]"]:
    """What has the engine look up the tree `root`'s local imports on the
    scan's threads as Lookup looks them up (scanner_audit.Scanner.scan_tree's
    local_package and standard_names): the root's own package names, and
    the standard library's top-level names."""
    return list(Lookup()._chain(root)), _STANDARD


class _Listing:
    """What a directory holds, as the path finder sees it: each entry as a
    file or a directory (links followed), and the stems of its extension
    modules."""

    __slots__ = ("files", "directories", "extensions")

    def __init__(self) -> None:
        self.files: set[str] = set()
        self.directories: set[str] = set()
        self.extensions: set[str] = set()

    @classmethod
    def of(cls, directory: str) -> "_Listing":
        """The directory's listing on disk. Raises OSError."""
        made = cls()
        files, directories = made.files, made.directories
        with os.scandir(directory) as entries:
            for entry in entries:
                try:
                    if entry.is_dir():
                        directories.add(entry.name)
                    elif entry.is_file():
                        files.add(entry.name)
                except OSError:
                    continue  # the walk reports an entry it cannot look up
        made.extensions.update(name.partition(".")[0] for name in files if name.endswith(_EXTENSION_ENDS))
        return made

    def add_file(self, name: str) -> None:
        self.files.add(name)
        if name.endswith(_EXTENSION_ENDS):
            self.extensions.add(name.partition(".")[0])

    def has_init(self) -> bool:
        return "__init__" in self.extensions or any(f"__init__{suffix}" in self.files for suffix in _FILE_SUFFIXES)


class Lookup:
    """The lookups of one run: each directory listed at most once. Made
    with `members` (an archive's, as paths extracted), it looks them up
    instead of the disk."""

    def __init__(self, members: "Iterable[str] | None" = None) -> None:
        self._listings: dict[str, _Listing | None] = {}
        self._chains: dict[str, tuple[str, ...]] = {}
        # What each lookup found, by its directory, name and whether the
        # last part is taken from a package: the files of a package import
        # the same names, and each is looked up once. Bounded by the imports.
        self._found: dict[tuple[str, str, bool], str | None] = {}
        self._members = members is not None
        if members is not None:
            for member in members:
                directory, _, name = member.rpartition("/")
                self._member_listing(directory).add_file(name)
                while directory:
                    directory, _, name = directory.rpartition("/")
                    self._member_listing(directory).directories.add(name)

    def _member_listing(self, directory: str) -> _Listing:
        listing = self._listings.get(directory)
        if listing is None:
            listing = self._listings[directory] = _Listing()
        return listing

    def _listing(self, directory: str) -> _Listing | None:
        if self._members:
            return self._listings.get(directory.strip("/")) or _Listing()
        if directory not in self._listings:
            try:
                self._listings[directory] = _Listing.of(directory or os.curdir)
            except OSError:
                self._listings[directory] = None  # the walk says why, where it is in the tree
        return self._listings[directory]

    def _is_package(self, directory: str) -> bool:
        listing = self._listing(directory)
        return listing is not None and listing.has_init()

    def _kind(self, directory: str, name: str) -> str | None:
        """What provides `name` in `directory`; None when nothing does, and
        _PACKAGE when the directory cannot be listed (in doubt, provided:
        the walk reports a directory it cannot read)."""
        listing = self._listing(directory)
        if listing is None:
            return _PACKAGE
        if name in listing.directories and self._is_package(os.path.join(directory, name)):
            return _PACKAGE
        if name in listing.extensions or any(name + suffix in listing.files for suffix in _FILE_SUFFIXES):
            return _MODULE
        if name in listing.directories and name not in _STANDARD:
            return _NAMESPACE
        return None

    def _chain(self, root: str) -> tuple[str, ...]:
        """The dotted name of `root` when it is a package (its parents'
        names while they are packages too), else ()."""
        if self._members:
            return ()  # an archive's root is no package of a known name
        if root not in self._chains:
            names: list[str] = []
            directory = os.path.abspath(root)
            while self._is_package(directory):
                parent, name = os.path.split(directory)
                names.append(name)
                if parent == directory:
                    break
                directory = parent
            self._chains[root] = tuple(reversed(names))
        return self._chains[root]

    def package_root(self, filepath: str) -> str:
        """For a file given alone: the directory of its topmost package
        (its own directory, walked upward while `__init__` is there), the
        tree its imports are looked up in."""
        directory = os.path.dirname(filepath) or os.curdir
        top = directory
        while self._is_package(directory):
            top = directory
            parent = os.path.normpath(os.path.join(directory, os.pardir))
            if os.path.abspath(parent) == os.path.abspath(directory):
                break
            directory = parent
        return top

    def findings(self, filepath: str, root: str, rows: "Sequence[tuple[int, int | None, int, str, bool]]",
                 located: str | None = None, shown_in: str = "") -> list[Finding]:
        """The findings of the file's local imports (scanner_audit's rows),
        the file lying in the tree `root`. An archive's member is `located`
        at its path in the archive, and the files it lacks are shown
        `shown_in` the archive (`ARCHIVE!/`)."""
        made = []
        said: set[tuple[int, str]] = set()  # `from .x import y` lacking x is said once
        anchors: dict[int, str] = {}  # by level: a file's relative imports share a few
        found = self._found
        text = MISSING_LOCAL.text
        for line, column, level, name, taken in rows:
            if level:
                anchor = anchors.get(level)
                if anchor is None:
                    anchor = os.path.dirname(filepath if located is None else located)
                    for _ in range(level - 1):
                        anchor = os.path.dirname(anchor)
                    anchors[level] = anchor
                key = (anchor, name, taken)
                if key in found:
                    missing = found[key]
                else:
                    missing = found[key] = self._missing(anchor, name.split("."), taken)
            else:
                parts = name.split(".")
                chain = self._chain(root)
                if chain:
                    if tuple(parts[:len(chain)]) != chain:
                        continue  # a module of the plugin's that this tree does not hold
                    parts = parts[len(chain):]
                elif self._kind(root, parts[0]) is None:
                    continue  # the same
                key = (root, ".".join(parts), taken)
                if key in found:
                    missing = found[key]
                else:
                    missing = found[key] = self._missing(root, parts, taken)
            if missing is None or (line, missing) in said:
                continue
            said.add((line, missing))
            shown = "." * level + name
            message = f"{filepath}:{line}: {text}{shown} \u2192 {shown_in}{missing}'"
            made.append(Finding(MISSING_LOCAL, line, shown, message, None, column))
        return made

    def _missing(self, directory: str, parts: "Sequence[str]", taken: bool) -> str | None:
        """The file that should provide the first part of `parts` that
        nothing provides below `directory`, or None."""
        for index, part in enumerate(parts):
            kind = self._kind(directory, part)
            if kind is None:
                if taken and index == len(parts) - 1 and part not in _STANDARD and self._is_package(directory):
                    return None  # may be an attribute its __init__ defines
                return os.path.join(directory, part + ".py")
            if kind == _MODULE:
                return None  # what follows is an attribute of the module
            directory = os.path.join(directory, part)
        return None
