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
        path = os.path.normpath(filepath)
        if path in self._given:
            return path
        # The directory as os.path.dirname gives it, for a path normpath made.
        head = path.rpartition(os.sep)[0] or (os.sep if path.startswith(os.sep) else "")
        root = self._root_of.get(head)
        if root is None:
            root = self._root(head)
        return path[len(root):].lstrip(os.sep) if root else path
