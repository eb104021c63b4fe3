"""Every entry of a tree that Python could import or run is judged: read as
source, or a finding naming it."""

import importlib.machinery
import json
import os

import pytest

from .conftest import zip_of


def findings_by_file(completed):
    return {f["filepath"]: [(g["rule"], g["level"]) for g in f["findings"]] for f in json.loads(completed.stdout)["files"]}


@pytest.fixture
def bare(project):
    """The project with a plugin tree that holds nothing yet."""
    for name in ("myplugin/__init__.py", "myplugin/core.py"):
        os.unlink(project.tree / name)
    return project


class TestImportableFilesThatAreNoSource:
    def test_a_tree_of_nothing_but_unreadable_importables_fails_naming_each(self, bare):
        bare.write("pkg/__init__.py", "from . import native, loader\n")
        bare.write("pkg/native.cpython-313-x86_64-linux-gnu.so", b"\x7fELF")
        bare.write("pkg/loader.pyc", b"\xf3\x0d\x0d\x0a")
        bare.write("pkg/__pycache__/__init__.cpython-313.pyc", b"\xf3\x0d\x0d\x0a")
        bare.write("hook.pth", "import pkg\n")
        os.symlink("gone.py", bare.tree / "pkg" / "dead.py")
        os.unlink(bare.tree / "pkg" / "__init__.py")

        completed = bare.run("--json", "plugins")

        assert completed.returncode == 1, completed.stderr
        assert findings_by_file(completed) == {
            "plugins/hook.pth": [("path-configuration-file", "error")],
            "plugins/pkg/__pycache__/__init__.cpython-313.pyc": [("compiled-bytecode", "error")],
            "plugins/pkg/dead.py": [("dangling-link", "error")],
            "plugins/pkg/loader.pyc": [("compiled-bytecode", "error")],
            "plugins/pkg/native.cpython-313-x86_64-linux-gnu.so": [("extension-module", "error")],
        }

    @pytest.mark.parametrize("suffix", sorted(set(importlib.machinery.EXTENSION_SUFFIXES) | {".pyd", ".SO"}))
    def test_every_extension_suffix_is_an_extension_module_in_a_tree_and_alone(self, bare, suffix):
        bare.write(f"mod{suffix}", b"\0")

        walked = bare.run("--json", "plugins")
        alone = bare.run("--json", f"plugins/mod{suffix}")

        assert (walked.returncode, alone.returncode) == (1, 1)
        expected = {f"plugins/mod{suffix}": [("extension-module", "error")]}
        assert findings_by_file(walked) == findings_by_file(alone) == expected

    def test_a_fifo_named_as_a_module_is_not_a_regular_file_and_the_walk_does_not_wait(self, bare):
        os.mkfifo(bare.tree / "pipe.py")

        completed = bare.run("--json", "plugins")

        assert completed.returncode == 1
        # Nothing else was read: the run judged nothing, which fails it too.
        assert findings_by_file(completed) == {"plugins/pipe.py": [("not-a-regular-file", "error")],
                                               "plugins": [("nothing-judged", "error")]}

    def test_an_archive_in_the_tree_is_read_and_its_members_judged_as_files(self, bare):
        bare.write("vendored.zip", zip_of({"lib/mod.py": "import subprocess\n", "lib/README": "import os\n"}))

        completed = bare.run("--json", "plugins")

        assert completed.returncode == 1
        assert findings_by_file(completed) == {"plugins/vendored.zip": [],
                                               "plugins/vendored.zip!/lib/mod.py": [("forbidden-import", "error")]}


class TestLinks:
    def test_a_linked_directory_outside_the_tree_is_walked_where_it_points(self, bare):
        outside = bare.root / "elsewhere"
        outside.mkdir()
        (outside / "evil.py").write_text("import subprocess\n")
        (outside / "ext.abi3.so").write_bytes(b"\0")
        os.symlink(outside, bare.tree / "linked")

        completed = bare.run("--json", "plugins")

        assert completed.returncode == 1
        assert findings_by_file(completed) == {
            "plugins/linked/evil.py": [("forbidden-import", "error")],
            "plugins/linked/ext.abi3.so": [("extension-module", "error")],
        }

    def test_a_linked_file_outside_the_tree_is_read_where_it_points(self, bare):
        (bare.root / "real.py").write_text("import os\n")
        os.symlink(bare.root / "real.py", bare.tree / "alias.py")

        completed = bare.run("--json", "plugins")

        assert completed.returncode == 1
        assert findings_by_file(completed) == {"plugins/alias.py": [("forbidden-import", "error")]}
