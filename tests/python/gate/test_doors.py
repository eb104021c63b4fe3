"""The doors a plugin can open to an import other than a plain import
statement, each tried through the command on a small tree: importers under
another name, text run as code, relative names, relative imports that climb
out of the tree, the private twins of forbidden modules."""

import json

import pytest

from .conftest import gate

# The policy of conftest.POLICY forbids os and subprocess; the tests that
# need more write their own.
WIDE_POLICY = """
[tool.scanner-core.policy]
forbidden = ["os", "socket", "ctypes", "importlib", "multiprocessing"]
allowed_exact = ["json", "builtins", "functools", "yaml"]
allowed_prefixes = ["quenx"]

[tool.scanner-core.plugin]
local_modules = ["myplugin"]
"""


def findings(completed):
    """(file name below plugins/, rule, line, module) of every finding in a --json run."""
    report = json.loads(completed.stdout)
    return {
        (entry["filepath"].partition("plugins/")[2], finding["rule"], finding["line"], finding["module"])
        for entry in report["files"]
        for finding in entry["findings"]
    }


@pytest.fixture
def wide(project):
    (project.root / "pyproject.toml").write_text(WIDE_POLICY)
    return project


class TestImportersUnderAnotherName:
    def test_a_call_through_an_alias_is_judged_as_the_call_it_is(self, wide):
        wide.write("myplugin/load.py", """\
            from builtins import __import__ as fetch
            from importlib import import_module as bring  # importlib itself is forbidden too
            import builtins as b

            fetch("socket")
            bring("ctypes.util")
            b.eval('__import__("multiprocessing")')
            """)

        completed = wide.run("--json", "plugins")

        assert completed.returncode == 1
        assert {
            ("myplugin/load.py", "hidden-forbidden-import", 5, "socket"),
            ("myplugin/load.py", "hidden-forbidden-import", 6, "ctypes.util"),
            ("myplugin/load.py", "hidden-forbidden-import", 7, "multiprocessing"),
        } <= findings(completed)

    def test_an_importer_handed_around_is_a_warning_that_fails_nothing_alone(self, wide):
        wide.write("myplugin/hand.py", """\
            import functools
            load = __import__
            functools.partial(__import__, "json")()
            getattr(__builtins__, "__import__")("json")
            __builtins__["import_module"]
            """)

        completed = wide.run("--json", "plugins")

        assert completed.returncode == 0, completed.stdout
        assert {rule for _, rule, _, _ in findings(completed)} == {"importer-reference"}
        assert {line for _, _, line, _ in findings(completed)} == {2, 3, 4, 5}


class TestTextRunAsCode:
    def test_a_constant_text_is_audited_and_its_imports_judged_at_the_call(self, wide):
        wide.write("myplugin/run.py", """\
            exec("import json")
            exec('''
            x = 1
            exec("from socket import socket")
            ''')
            code = compile("import ctypes", "<plugin>", "exec")
            """)

        completed = wide.run("--json", "plugins")

        assert completed.returncode == 1
        assert findings(completed) == {
            ("myplugin/run.py", "hidden-forbidden-import", 2, "socket"),
            ("myplugin/run.py", "hidden-forbidden-import", 6, "ctypes"),
        }

    def test_text_that_is_no_constant_is_a_warning(self, wide):
        # Bytes are read as compile reads them only when constant.
        wide.write("myplugin/run.py", "exec(open('payload').read())\neval(b'1' + data)\n")

        completed = wide.run("--json", "plugins")

        assert completed.returncode == 0
        assert findings(completed) == {
            ("myplugin/run.py", "dynamic-code", 1, "exec"),
            ("myplugin/run.py", "dynamic-code", 2, "eval"),
        }

    def test_nesting_past_what_the_audit_follows_fails_the_file(self, wide):
        text = "import json"
        for _ in range(9):
            text = f"exec({text!r})"
        wide.write("myplugin/deep.py", text + "\n")

        completed = wide.run("--json", "plugins")

        assert completed.returncode == 1
        assert ("myplugin/deep.py", "unaudited-file", 1, None) in findings(completed)


class TestRelativeNames:
    def test_a_constant_anchor_is_resolved_as_importlib_resolves_it(self, wide):
        wide.write("myplugin/anchor.py", """\
            __import__("", {"__package__": "socket"}, None, (), 1)
            __import__("util", {"__name__": "ctypes.wintypes"}, None, (), 1)
            """)
        wide.write("myplugin/other.py", "import importlib\nimportlib.import_module('..util', 'json.x')\n")

        completed = wide.run("--json", "plugins")

        assert completed.returncode == 1
        assert {
            ("myplugin/anchor.py", "hidden-forbidden-import", 1, "socket"),
            ("myplugin/anchor.py", "hidden-forbidden-import", 2, "ctypes.util"),
        } <= findings(completed)
        assert ("myplugin/other.py", "hidden-unlisted-import", 2, "json.util") not in findings(completed)

    def test_an_anchor_that_is_no_constant_is_a_warning(self, wide):
        wide.write("myplugin/anchor.py", "__import__('x', namespace, None, (), 1)\n")

        completed = wide.run("--json", "plugins")

        assert completed.returncode == 0
        assert findings(completed) == {("myplugin/anchor.py", "relative-dynamic-import", 1, "__import__")}


class TestClimbingOutOfTheTree:
    def test_a_level_above_the_root_given_is_an_error(self, wide):
        wide.write("top.py", "from .. import secrets\n")
        wide.write("myplugin/fine.py", "from .. import sibling\nfrom . import core\n")
        wide.write("myplugin/deeper/out.py", "from .... import host\n")
        wide.write("myplugin/own.py", "__import__('host', globals(), None, ['x'], 3)\n")

        completed = wide.run("--json", "plugins")

        assert completed.returncode == 1
        assert {(name, rule, line, module) for name, rule, line, module in findings(completed)
                if rule == "relative-import-above-root"} == {
            ("top.py", "relative-import-above-root", 1, ".."),
            ("myplugin/deeper/out.py", "relative-import-above-root", 1, "...."),
            ("myplugin/own.py", "relative-import-above-root", 1, "...host"),
            ("myplugin/own.py", "relative-import-above-root", 1, "...host.x"),  # its fromlist's submodule
        }

    def test_a_file_given_alone_has_the_working_directory_as_its_root_or_its_own_directory(
        self, wide, tmp_path_factory
    ):
        path = wide.write("myplugin/fine.py", "from .. import sibling\n")
        policy = wide.root / "pyproject.toml"
        elsewhere = tmp_path_factory.mktemp("elsewhere")

        from_root = wide.run("--json", "plugins/myplugin/fine.py")
        from_its_directory = gate("--policy", policy, "--json", "fine.py", cwd=wide.tree / "myplugin")
        from_outside = gate("--policy", policy, "--json", path, cwd=elsewhere)

        assert from_root.returncode == 0, from_root.stdout
        for alone in (from_its_directory, from_outside):
            assert alone.returncode == 1
            finding = ("relative-import-above-root", 1, "..")
            assert finding in {(rule, line, module) for _, rule, line, module in findings(alone)}


class TestPrivateTwins:
    @pytest.mark.parametrize("twin", ["posix", "_posixsubprocess", "nt"])
    def test_the_modules_that_implement_a_forbidden_one_are_forbidden(self, project, twin):
        project.write("myplugin/twin.py", f"x = 1; import {twin}\nimport {twin}\n")

        completed = project.run("--json", "plugins")

        assert completed.returncode == 1
        assert {
            ("myplugin/twin.py", "hidden-forbidden-import", 1, twin),
            ("myplugin/twin.py", "forbidden-import", 2, twin),
        } <= findings(completed)
