"""A forbidden module taken through an allowed module outside the standard
library is judged once the policy names a table of what that module holds.

The package is made here, its table written by the command in a child
interpreter that has it on its path, and each route first run under this
interpreter to prove it hands the plugin the forbidden module (or an object
defined in it), as the laundering tests do for the standard library.
"""

import json
import os
import pathlib
import subprocess
import sys
import textwrap

import pytest

import scanner_audit
import scanner_gate
from scanner_gate import holding_tables
from scanner_gate.findings import audit_findings, scan_findings

sys.path.insert(0, str(pathlib.Path(__file__).parents[2] / "proof"))
import ast_audit  # noqa: E402 - the oracle lives with the proof

PACKAGE = {
    # The print proves that what a module writes when imported is no part of the table.
    "fakepkg/__init__.py": "import os as _o\nfrom subprocess import Popen\nfrom . import tools\nprint('imported')\n",
    # A submodule the import loads, holding a module that holds a forbidden one.
    "fakepkg/tools.py": "import logging as log\nimport json\n",
}
POLICY = """
[policy]
forbidden = ["os", "subprocess", "shutil"]
allowed_exact = ["json", "logging"]
allowed_prefixes = ["fakepkg"]
"""
# (source, expression the plugin ends up holding, the forbidden module it is or was defined in)
ROUTES = {
    "from_import": ("from fakepkg import _o\n", "_o", "os"),
    "attribute_chain": ("import fakepkg\n", "fakepkg._o.system", "posix"),
    "object_by_from": ("from fakepkg import Popen\n", "Popen", "subprocess"),
    "object_by_attribute": ("import fakepkg\n", "fakepkg.Popen", "subprocess"),
    "through_a_submodule": ("import fakepkg\n", "fakepkg.tools.log.os", "os"),
}
# Where the gate names the chain's end: os's functions are posix's own twin.
NAMED = {"attribute_chain": "os"}


def command(*args, site=None):
    """python -m scanner_gate with the native modules and the package of
    this session, and `site` (the throwaway package's directory) on the path."""
    env = dict(os.environ)
    paths = [os.path.dirname(scanner_audit.__file__), os.path.dirname(os.path.dirname(scanner_gate.__file__))]
    env["PYTHONPATH"] = os.pathsep.join(paths + ([str(site)] if site else []))
    return subprocess.run([sys.executable, "-m", "scanner_gate", *map(os.fspath, args)], capture_output=True,
                          encoding="utf-8", env=env, timeout=300)


def defined_in(site, source, expression):
    """What the plugin holds, as Python run with the package on its path says."""
    probe = textwrap.dedent(f"""
        import sys, types
        sys.path.insert(0, {str(site)!r})
        namespace = {{}}
        exec(compile({source + "__reached__ = " + expression + chr(10)!r}, "plugin.py", "exec"), namespace)
        held = namespace["__reached__"]
        print(held.__name__ if isinstance(held, types.ModuleType) else held.__module__)
    """)
    run = subprocess.run([sys.executable, "-I", "-c", probe], capture_output=True, text=True, check=True)
    return run.stdout.strip().splitlines()[-1]


@pytest.fixture(scope="module")
def project(tmp_path_factory):
    """The package, its table written by the command, a policy naming it,
    and one plugin file per route."""
    root = tmp_path_factory.mktemp("extra_holdings")
    site = root / "site"
    for relative, text in PACKAGE.items():
        (site / relative).parent.mkdir(parents=True, exist_ok=True)
        (site / relative).write_text(text)
    (root / "tables").mkdir()
    written = command("--write-holdings", root / "tables" / "fakepkg.json", "--python", sys.executable, "fakepkg",
                      site=site)
    assert written.returncode == 0, written.stderr
    (root / "with.toml").write_text(POLICY + 'holdings = ["tables/fakepkg.json"]\n')
    (root / "without.toml").write_text(POLICY)
    tree = root / "plugin"
    tree.mkdir()
    for name, (source, expression, _) in ROUTES.items():
        (tree / f"{name}.py").write_text(source + "__reached__ = " + expression + "\n")
    return root, site, written


def findings(root, policy):
    run = command("--json", "--policy", root / policy, root / "plugin")
    report = json.loads(run.stdout)
    return {entry["filepath"].rsplit("/", 1)[-1][:-3]: entry for entry in report["files"]}, run, report


@pytest.mark.parametrize("route", sorted(ROUTES))
def test_a_route_through_a_described_module_fails_the_file(route, project):
    root, site, _ = project
    source, expression, target = ROUTES[route]
    assert defined_in(site, source, expression) == target  # Python hands it over

    entry = findings(root, "with.toml")[0][route]
    reached = {finding["module"] for finding in entry["findings"] if finding["rule"] == "forbidden-module-reached"}
    assert not entry["passed"] and NAMED.get(route, target) in reached


def test_the_engine_and_the_oracle_follow_the_table_alike(project):
    root, _, _ = project
    rows = holding_tables.read(str(root / "tables" / "fakepkg.json"))
    scanner = scanner_audit.Scanner({"os", "subprocess", "shutil"}, {"json", "logging"}, ["fakepkg"], rows)
    for route in ROUTES:
        report = scanner.scan_file(str(root / "plugin" / f"{route}.py"), set())
        expected = ast_audit.audit(report.filepath, scan_findings(report), scanner, frozenset(), holdings=rows)
        found = sorted((f.kind.id, f.line, f.module, f.message) for f in audit_findings(report))
        assert found and found == sorted((f.kind.id, f.line, f.module, f.message) for f in expected), route


def test_without_the_table_the_same_routes_pass_unseen(project):
    root, _, _ = project
    judged, run, _ = findings(root, "without.toml")
    assert run.returncode == 0 and all(entry["passed"] and not entry["findings"] for entry in judged.values())


def test_the_table_holds_the_package_and_its_loaded_submodule_and_not_what_it_printed(project):
    root, _, written = project
    table = json.loads((root / "tables" / "fakepkg.json").read_text())
    rows = {tuple(row[:4]) for row in table["rows"]}
    assert table["format"] == "scanner-core holdings 1" and table["python"].startswith("3.13.")
    assert {("fakepkg", "_o", "os", True), ("fakepkg", "Popen", "subprocess", False),
            ("fakepkg.tools", "log", "logging", True)} <= rows
    assert "imported" not in written.stdout  # the module's print went to stderr


def test_the_report_lists_what_the_described_module_holds(project):
    root, _, _ = project
    report = findings(root, "with.toml")[2]
    assert report["policy"]["reachable"]["fakepkg"] == ["os", "subprocess"]


MALFORMED = {
    "not_json": "{",
    "no_format": json.dumps({"python": "3.13.0", "modules": [], "rows": []}),
    "another_python": json.dumps({"format": "scanner-core holdings 1", "python": "3.12.1", "modules": [], "rows": []}),
    "short_row": json.dumps({"format": "scanner-core holdings 1", "python": "3.13.0", "modules": ["p"],
                             "rows": [["p", "os", "os", True]]}),
    "flag_not_bool": json.dumps({"format": "scanner-core holdings 1", "python": "3.13.0", "modules": ["p"],
                                 "rows": [["p", "os", "os", 1, 0]]}),
    "standard_module": json.dumps({"format": "scanner-core holdings 1", "python": "3.13.0", "modules": ["logging"],
                                   "rows": [["logging", "x", "json", True, False]]}),
    "lone_surrogate": json.dumps({"format": "scanner-core holdings 1", "python": "3.13.0", "modules": ["p"],
                                  "rows": [["p", "\ud800", "os", True, False]]}),
}


@pytest.mark.parametrize("name", sorted(MALFORMED) + ["missing"])
def test_a_table_that_cannot_be_read_refuses_the_policy(name, project, tmp_path):
    root, _, _ = project
    if name != "missing":
        (tmp_path / "table.json").write_text(MALFORMED[name])
    (tmp_path / "policy.toml").write_text(POLICY + 'holdings = ["table.json"]\n')
    run = command("--policy", tmp_path / "policy.toml", root / "plugin")
    assert run.returncode == 2 and run.stdout == ""
    assert "holdings" in run.stderr and "table.json" in run.stderr and "Traceback" not in run.stderr


def test_the_command_refuses_a_standard_module_and_a_module_that_cannot_be_imported(tmp_path):
    standard = command("--write-holdings", tmp_path / "t.json", "logging")
    missing = command("--write-holdings", tmp_path / "t.json", "no_such_module_here")
    assert standard.returncode == 2 and "standard library" in standard.stderr
    assert missing.returncode == 2 and "no_such_module_here" in missing.stderr
    assert not (tmp_path / "t.json").exists()
