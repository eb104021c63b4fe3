"""How fingerprints name files: relative to the project that holds them
(the directory of the policy in use when it holds the file, else the
nearest directory above the file with a .git: the repository's root), so
that a file has one name however the run named it (a tree given, or the
file itself, from any directory); a file no project holds is named
relative to the nearest path given on the command line that holds it, or
as named when given itself, as the command named every file before.

A baseline is matched under more names than the one its fingerprints
were made with (keys): the earlier naming, relative to the path given,
which is what the fingerprints of an earlier version's baselines hash; and
for a file found in a tree given, its path below the tree joined to each
tree the baseline's run was given (the JSON report's "trees"), so that the
next version of a plugin, unpacked in a directory of another name, matches
the baseline of the one before."""

import os

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Sequence


class FileNames:
    """How fingerprints name files (see the module's docstring). `project`:
    the directory of the policy in use, if any."""

    def __init__(self, paths: "Sequence[str]", project: str | None = None) -> None:
        self._given = {os.path.normpath(path) for path in paths}
        self._root_of: dict[str, str] = {}  # directory -> the path given above it, "" for none
        self._project = None if project is None else os.path.abspath(project)
        # A directory's name in its project, "" for one no project holds.
        self._in_project: dict[str, str] = {}
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

    def keys(self, filepath: str, trees: "Sequence[str]" = ()) -> list[str]:
        """Every name a baseline's fingerprints may know the file by: its
        key first, then the earlier naming, then, for a file found in a
        tree given, its path below the tree joined to each of `trees` (a
        baseline's, as tree_name names them)."""
        root, rest = self._parts(filepath)
        names = [self.key(filepath), rest if root and rest else root or rest]
        if root and rest:
            names += [rest if tree == os.curdir else os.path.join(tree, rest) for tree in trees]
        return list(dict.fromkeys(names))

    def tree_name(self, directory: str) -> str | None:
        """A directory given as its files' keys begin ('.' for the project
        itself); None when no project holds it (its files' keys are their
        paths below it)."""
        return self._in_project_of(os.path.normpath(directory)) or None

    def _parts(self, filepath: str) -> tuple[str, str]:
        """The path given that holds the file ("" for none) and the file's
        path below it ("" for the path given itself)."""
        path = os.path.normpath(filepath)
        if path in self._given:
            return path, ""
        # The directory as os.path.dirname gives it, for a path normpath made.
        head = path.rpartition(os.sep)[0] or (os.sep if path.startswith(os.sep) else "")
        root = self._root_of.get(head)
        if root is None:
            root = self._root(head)
        return (root, path[len(root):].lstrip(os.sep)) if root else ("", path)

    def _key(self, filepath: str) -> str:
        root, rest = self._parts(filepath)
        if root and rest:  # found in a tree given
            above = self._in_project_of(root)
            return rest if above in ("", os.curdir) else os.path.join(above, rest)
        # Given itself, or below no path given: its directory's name in its
        # project (looked up once per directory), then its own.
        path = root or rest
        directory, _, name = path.rpartition(os.sep)
        if not name:
            return path
        above = self._in_project_of(directory or (os.sep if path.startswith(os.sep) else os.curdir))
        if not above:
            return path
        return name if above == os.curdir else os.path.join(above, name)

    def _in_project_of(self, path: str) -> str:
        """The name of the directory `path` in the project that holds it
        ('.' for the project itself), "" for none; looked up once per path."""
        named = self._in_project.get(path)
        if named is None:
            absolute = os.path.abspath(path)
            project = self._project if self._project is not None and _holds(self._project, absolute) else None
            if project is None:
                project = _repository_of(absolute)
            named = "" if project is None else os.path.relpath(absolute, project)
            self._in_project[path] = named
        return named


def _holds(directory: str, path: str) -> bool:
    return path == directory or path.startswith(directory.rstrip(os.sep) + os.sep)


def _repository_of(path: str) -> str | None:
    """The nearest directory at or above `path` holding a .git (a directory,
    or a file for a worktree), None when none does."""
    directory = path
    while True:
        if os.path.lexists(os.path.join(directory, ".git")):
            return directory
        parent = os.path.dirname(directory)
        if parent == directory:
            return None
        directory = parent
