"""How fingerprints name files: relative to the nearest path given on the
command line that holds them (so that a plugin's next version unpacked
elsewhere matches), or as named when given themselves."""

import os

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Sequence


class FileNames:
    """How fingerprints name files: relative to the nearest path given on
    the command line that holds them, or as named when given themselves."""

    def __init__(self, paths: "Sequence[str]") -> None:
        self._given = {os.path.normpath(path) for path in paths}
        self._root_of: dict[str, str] = {}  # directory -> the path given above it, "" for none
        # With one path given (a tree), a file's name is that of its
        # directory as the walk wrote it, once known, then its own: the
        # files of a tree are named without normalising each path again.
        self._prefix_of: dict[str, str] | None = {} if len(self._given) == 1 else None

    def _root(self, directory: str) -> str:
        # Up the tree until a directory known or given, then every
        # directory passed is known: each is looked at once per run (a loop,
        # not recursion: a hostile tree may be thousands of levels deep).
        passed = []
        root = ""
        while directory not in self._root_of:
            if directory in self._given:
                root = directory
                break
            passed.append(directory)
            parent = os.path.dirname(directory)
            if not parent or parent == directory:
                break
            directory = parent
        else:
            root = self._root_of[directory]
        for below in passed:
            self._root_of[below] = root
        return root

    def key(self, filepath: str) -> str:
        """The name of a file the scan reported, as fingerprints hash it."""
        prefixes = self._prefix_of
        if prefixes is None:
            return self._key(filepath)
        directory, _, name = filepath.rpartition(os.sep)
        if name in ("", ".", ".."):
            return self._key(filepath)
        prefix = prefixes.get(directory)
        if prefix is not None:
            return prefix + name
        key = self._key(filepath)
        if key.endswith(name):
            prefixes[directory] = key[: len(key) - len(name)]
        return key

    def _key(self, filepath: str) -> str:
        path = os.path.normpath(filepath)
        if path in self._given:
            return path
        # The directory as os.path.dirname gives it, for a path normpath made.
        head = path.rpartition(os.sep)[0] or (os.sep if path.startswith(os.sep) else "")
        root = self._root_of.get(head)
        if root is None:
            root = self._root(head)
        return path[len(root):].lstrip(os.sep) if root else path
