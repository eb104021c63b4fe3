"""How deep a file lies below the root that its relative imports may not
climb above: the tree given, for a file found in it; for a file given
alone, the current directory when the file lies below it (a hook runs at
the repository's root), else the file's own directory."""

import os


def depth_below_root(path: str) -> int:
    """The directories between that root and the file's directory: 0 when
    the file is directly in it."""
    relative = os.path.relpath(os.path.abspath(path))
    parts = relative.split(os.sep)
    if parts[0] == os.pardir:  # not below the current directory
        return 0
    return len(parts) - 1


def depth_in_tree(root: str, path: str) -> int:
    """The directories between a tree given and the directory of `path`, a
    path its walk composed below it."""
    return len(os.path.relpath(path, root).split(os.sep)) - 1
