"""The root assumed for the relative imports of a file given alone: the
current directory when the file lies below it (a hook runs at the
repository's root), else the file's own directory."""

import os


def depth_below_root(path: str) -> int:
    """The directories between that root and the file's directory: 0 when
    the file is directly in it."""
    relative = os.path.relpath(os.path.abspath(path))
    parts = relative.split(os.sep)
    if parts[0] == os.pardir:  # not below the current directory
        return 0
    return len(parts) - 1
