"""examples/scan_plugins.py: its report, its JSON document and its exit
status, checked against what scanner_core itself says about the same tree."""

import json
import os
import pathlib
import subprocess
import sys
import textwrap
import tomllib

import pytest

import scanner_core

EXAMPLES = pathlib.Path(__file__).parents[2] / "examples"
SCRIPT = EXAMPLES / "scan_plugins.py"
PLUGINS = EXAMPLES / "plugins"
UNREADABLE = PLUGINS / "weather" / "providers" / "unreadable.py"

POLICY = """
[policy]
forbidden = ["os", "subprocess"]
allowed_exact = ["json"]
allowed_prefixes = ["quenx"]

[plugin]
local_modules = ["myplugin"]
"""


def run(*args, cwd=None):
    # The child finds scanner_core where this test does (PYTHONPATH).
    return subprocess.run(
        [sys.executable, str(SCRIPT), *map(str, args)], capture_output=True, encoding="utf-8", cwd=cwd
    )


def direct_scan(directory, policy_file=EXAMPLES / "policy.toml"):
    """The oracle: the example policy applied by the module itself."""
    with open(policy_file, "rb") as stream:
        policy = tomllib.load(stream)
    classifier = scanner_core.ImportClassifier(
        set(policy["policy"]["forbidden"]),
        set(policy["policy"]["allowed_exact"]),
        policy["policy"]["allowed_prefixes"],
    )
    results = classifier.scan_directory(str(directory), set(policy["plugin"]["local_modules"]))
    return sorted(results, key=lambda result: result.filepath)


def as_dict(result):
    return {"filepath": result.filepath, "passed": result.passed, "errors": result.errors, "warnings": result.warnings}


@pytest.fixture
def plugin(tmp_path):
    """A small plugin tree with its policy file; returns (tree, policy)."""
    policy = tmp_path / "policy.toml"
    policy.write_text(POLICY)
    tree = tmp_path / "plugins"

    def write(relative, text):
        path = tree / relative
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(textwrap.dedent(text))

    write("myplugin/__init__.py", "from . import core\n")
    write("myplugin/core.py", "import json\nfrom quenx.api import Plugin\nimport myplugin.util\nimport yaml\n")
    write("myplugin/util.py", "import json.decoder\n")
    return tree, policy, write


class TestReportOnTheExampleTree:
    def test_every_file_appears_sorted_with_its_messages_then_the_summary(self):
        completed = run(PLUGINS)
        expected = direct_scan(PLUGINS)
        lines = completed.stdout.splitlines()

        assert completed.returncode == 1
        file_lines = [line for line in lines if line.startswith(("ok  ", "FAIL"))]
        assert [line.split()[1] for line in file_lines] == [result.filepath for result in expected]
        for line, result in zip(file_lines, expected):
            assert line.startswith("ok    " if result.passed else "FAIL  ")
            assert line.endswith(f"({len(result.errors)} error{'s' * (len(result.errors) != 1)}, "
                                 f"{len(result.warnings)} warning{'s' * (len(result.warnings) != 1)})")
        messages = [line.strip() for line in lines if line.startswith("      ")]
        assert messages == [
            f"{kind:8} {message}"
            for result in expected
            for kind, message in [("error", m) for m in result.errors] + [("warning", m) for m in result.warnings]
        ]
        failed = sum(not result.passed for result in expected)
        errors = sum(len(result.errors) for result in expected)
        warnings = sum(len(result.warnings) for result in expected)
        assert lines[-1] == (
            f"{len(expected)} files scanned: {len(expected) - failed} passed, {failed} failed; "
            f"{errors} errors, {warnings} warnings"
        )

    def test_the_example_shows_each_verdict_and_ignores_local_and_relative_imports(self):
        results = direct_scan(PLUGINS)
        errors = [m for r in results for m in r.errors]
        warnings = [m for r in results for m in r.warnings]

        assert any(": import interdit \u2014 'os'" in m for m in errors), "a forbidden root in a from-import"
        assert any(": import non whitelist\u00e9 \u2014 'collections'" in m for m in warnings), "exact is not a prefix"
        assert any(r.passed and r.warnings for r in results), "warnings alone do not fail a file"
        assert any(r.passed and not r.warnings for r in results)
        # weather and tiles are the plugin's own packages; "from . import"
        # and "from ..units import" are relative: none of them is judged.
        assert not [m for m in errors + warnings if "'weather" in m or "'tiles" in m or "'units" in m]
        assert all(r.filepath.endswith(".py") for r in results), "palette.json is not scanned"

    def test_the_unreadable_file_is_reported_and_the_scan_goes_on(self):
        # The file is a link to a write-only kernel attribute, which nobody
        # (root included) can open for reading.
        if not os.path.exists(UNREADABLE):
            pytest.skip(f"{os.readlink(UNREADABLE)} does not exist on this machine")
        try:
            with open(UNREADABLE, "rb"):
                pytest.skip(f"{os.readlink(UNREADABLE)} is readable on this machine")
        except PermissionError:
            pass

        completed = run(PLUGINS)

        path = str(UNREADABLE)
        assert f"FAIL  {path}  (1 error, 0 warnings)" in completed.stdout
        assert f"      error    {path}: impossible d'ouvrir le fichier" in completed.stdout.splitlines()


class TestJson:
    def test_one_object_per_file_and_the_summary(self):
        completed = run("--json", PLUGINS)
        document = json.loads(completed.stdout)
        expected = direct_scan(PLUGINS)

        assert completed.returncode == 1
        assert list(document) == ["files", "summary"]
        assert document["files"] == [as_dict(result) for result in expected]
        assert document["summary"] == {
            "scanned": len(expected),
            "passed": sum(r.passed for r in expected),
            "failed": sum(not r.passed for r in expected),
            "errors": sum(len(r.errors) for r in expected),
            "warnings": sum(len(r.warnings) for r in expected),
        }

    def test_policy_option_and_local_modules_from_the_policy_file(self, plugin):
        tree, policy, write = plugin
        write("myplugin/shell.py", "import subprocess\nimport os.path\n")

        completed = run("--json", "--policy", policy, tree)

        document = json.loads(completed.stdout)
        by_name = {pathlib.Path(f["filepath"]).name: f for f in document["files"]}
        shell = by_name["shell.py"]["filepath"]
        assert completed.returncode == 1
        assert by_name["shell.py"]["errors"] == [
            f"{shell}:1: import interdit \u2014 'subprocess'",
            f"{shell}:2: import interdit \u2014 'os.path'",
        ]
        core = by_name["core.py"]["filepath"]
        assert by_name["core.py"] == {
            "filepath": core,
            "passed": True,
            "errors": [],
            "warnings": [f"{core}:4: import non whitelist\u00e9 \u2014 'yaml'"],
        }
        assert document["summary"] == {"scanned": 4, "passed": 3, "failed": 1, "errors": 2, "warnings": 1}


class TestExitStatus:
    def test_zero_when_every_file_passes_even_with_warnings(self, plugin):
        tree, policy, _ = plugin
        completed = run("--policy", policy, tree)

        assert completed.returncode == 0, completed.stdout + completed.stderr
        assert completed.stdout.splitlines()[-1] == "3 files scanned: 3 passed, 0 failed; 0 errors, 1 warning"

    def test_one_when_a_file_has_a_forbidden_import(self, plugin):
        tree, policy, write = plugin
        write("myplugin/net.py", "from os import environ\n")

        completed = run("--policy", policy, tree)

        assert completed.returncode == 1
        assert f"FAIL  {tree / 'myplugin' / 'net.py'}  (1 error, 0 warnings)" in completed.stdout

    def test_zero_for_a_tree_without_python_files(self, tmp_path, plugin):
        _, policy, _ = plugin
        (tmp_path / "empty").mkdir()
        completed = run("--policy", policy, tmp_path / "empty")

        assert completed.returncode == 0
        assert completed.stdout.splitlines()[-1] == "0 files scanned: 0 passed, 0 failed; 0 errors, 0 warnings"

    def test_the_report_is_the_same_for_every_thread_count(self, plugin):
        tree, policy, write = plugin
        for i in range(12):
            write(f"myplugin/gen/m{i}.py", "import os\n" if i % 3 == 0 else "import yaml\n")

        reports = [run("--policy", policy, "--threads", n, tree) for n in (1, 4, 0)]

        assert {r.returncode for r in reports} == {1}
        assert reports[0].stdout == reports[1].stdout == reports[2].stdout

    @pytest.mark.parametrize(
        ("content", "complaint"),
        [
            ('[policy]\nforbiden = ["os"]\n', "unknown key 'forbiden' in [policy]"),
            ('[rules]\nforbidden = ["os"]\n', "unknown section [rules]"),
            ('[policy]\nforbidden = "os"\n', "[policy] forbidden must be a list of strings"),
            ("[policy]\nforbidden = [\n", "is not valid TOML"),
        ],
    )
    def test_two_for_a_policy_that_cannot_be_used(self, tmp_path, content, complaint):
        policy = tmp_path / "policy.toml"
        policy.write_text(content)

        completed = run("--policy", policy, PLUGINS)

        assert completed.returncode == 2
        assert complaint in completed.stderr
        assert completed.stdout == ""

    def test_two_for_a_missing_policy_file_or_directory(self, tmp_path):
        missing_policy = run("--policy", tmp_path / "nope.toml", PLUGINS)
        missing_tree = run(tmp_path / "nope")

        assert missing_policy.returncode == 2
        assert "cannot read" in missing_policy.stderr
        assert missing_tree.returncode == 2
        assert "cannot scan" in missing_tree.stderr
        assert "recursive directory iterator cannot open directory" in missing_tree.stderr

    def test_two_for_a_negative_thread_count(self):
        completed = run("--threads", "-1", PLUGINS)

        assert completed.returncode == 2
        assert "not a thread count" in completed.stderr
