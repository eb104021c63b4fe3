"""Checks the sdist's members before pip is asked to build from it.

    python sdist_check.py SDIST SOURCE_TREE

Run by `make check-sdist`. Every member must be a plain file or directory
inside the one top directory: pip refuses to unpack an sdist with a link
to an absolute path or out of the tree, and a link inside it would still
point at whatever the unpacking machine has there. The files must be
exactly what building the wheel reads, as it stands in SOURCE_TREE: the
build files, the readme the metadata quotes, everything below src/ (but
Python caches), and the PKG-INFO that the sdist adds.
"""

import os
import pathlib
import sys
import tarfile

sdist, tree = map(pathlib.Path, sys.argv[1:3])
top = sdist.name.removesuffix(".tar.gz")

expected = {"PKG-INFO", "pyproject.toml", "CMakeLists.txt", "README.md"}
for directory, subdirectories, files in os.walk(tree / "src"):
    subdirectories[:] = [name for name in subdirectories if name != "__pycache__"]
    for name in files:
        if not name.endswith(".pyc"):
            expected.add((pathlib.Path(directory) / name).relative_to(tree).as_posix())

found = set()
unpacked_bytes = 0
with tarfile.open(sdist, "r:gz") as archive:
    for member in archive.getmembers():
        assert member.name == top or member.name.startswith(top + "/"), f"{member.name} is outside {top}/"
        kind = "file" if member.isfile() else "directory" if member.isdir() else None
        assert kind, f"{member.name} is not a plain file or directory (type {member.type!r}, link to {member.linkname!r})"
        # pip unpacks with the tarfile data filter; it must take every member.
        tarfile.data_filter(member, "/nonexistent/unpack-here")
        if kind == "file":
            found.add(member.name.removeprefix(top + "/"))
            unpacked_bytes += member.size

missing, unexpected = sorted(expected - found), sorted(found - expected)
assert not missing and not unexpected, f"{sdist.name}: missing {missing}, unexpected {unexpected}"
print(
    f"sdist OK: {sdist.name}, {len(found)} files, {sdist.stat().st_size / 1024:.1f} KiB "
    f"({unpacked_bytes / 1024:.1f} KiB unpacked), no links"
)
