"""A local or relative import that no file of the tree provides is a warning.

A plugin that extends its package's search path to the standard library's
directory makes `from . import socket` run the real `socket` under its own
name. Each such route is first run under this interpreter, to prove which
file Python imports; then the gate must name the missing module. Ordinary
packages (submodules, attributes of `__init__`, namespace packages,
bytecode and extension modules) must stay quiet.
"""

import json
import os
import subprocess
import sys
import textwrap
import zipfile

import pytest

from .conftest import gate

POLICY = """
[policy]
forbidden = ["os", "subprocess", "socket"]
allowed_exact = ["sysconfig", "importlib"]

[plugin]
local_modules = ["weather"]
"""

# The search path extended under another name, which the search-path rule
# does not follow: the missing module is all that shows the route.
EXTEND = 'import sysconfig\np = __path__\np.append(sysconfig.get_paths()["stdlib"])\n'

# (the package's __init__, other files of the package, the module the plugin
# ends up holding, the file Python runs for it)
ROUTES = {
    "relative_name": (EXTEND + "from . import socket\n", {}, "weather.socket", "socket.py"),
    "own_absolute_name": (EXTEND + "from weather import subprocess\n", {}, "weather.subprocess", "subprocess.py"),
    "relative_module": (EXTEND + "from .socket import create_connection\n", {}, "weather.socket", "socket.py"),
    "dynamic_relative": (EXTEND + "import importlib\nimportlib.import_module('.socket', __package__)\n", {},
                         "weather.socket", "socket.py"),
    # A directory without __init__ loses to a module found later on the path.
    "namespace_shadowed": (EXTEND + "from .socket import create_connection\n", {"socket/readme.txt": "x\n"},
                           "weather.socket", "socket.py"),
}


def write_tree(root, files):
    for relative, content in files.items():
        path = root / relative
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(content) if isinstance(content, bytes) else path.write_text(content)


def imported_file(tree, module):
    """The file Python 3.13 runs for `module` once the plugin is imported."""
    probe = textwrap.dedent(f"""
        import sys
        sys.path.insert(0, {str(tree)!r})
        import weather
        print(sys.modules[{module!r}].__file__)
    """)
    return subprocess.run([sys.executable, "-I", "-B", "-c", probe], capture_output=True, text=True, check=True).stdout.strip()


def findings(run):
    report = json.loads(run.stdout)
    return {(entry["filepath"], finding["rule"], finding["module"]): finding["message"]
            for entry in report["files"] for finding in entry["findings"]}


def missing(run):
    return {key[0].rsplit("/", 1)[-1]: key[2] for key in findings(run) if key[1] == "missing-local-module"}


@pytest.fixture
def policy(tmp_path):
    path = tmp_path / "policy.toml"
    path.write_text(POLICY)
    return path


@pytest.mark.parametrize("route", sorted(ROUTES))
def test_a_standard_module_run_under_the_plugins_name_is_named_and_fails_on_warnings(route, tmp_path, policy):
    init, others, module, runs = ROUTES[route]
    tree = tmp_path / "plugin"
    write_tree(tree, {"weather/__init__.py": init, **{f"weather/{name}": text for name, text in others.items()}})
    standard = os.path.dirname(os.__file__)
    assert imported_file(tree, module) == os.path.join(standard, runs)  # Python runs the standard module

    run = gate("--json", "--fail-on", "warning", "--policy", policy, tree)

    assert run.returncode == 1, run.stderr
    assert {key[1] for key in findings(run)} == {"missing-local-module"}
    [(key, message)] = [(key, message) for key, message in findings(run).items()]
    expected = os.path.join(str(tree), "weather", module.rsplit(".", 1)[1] + ".py")
    assert message.endswith(f"\u2192 {expected}'"), message


def test_a_file_given_alone_is_judged_in_its_package(tmp_path, policy):
    tree = tmp_path / "plugin"
    write_tree(tree, {"weather/__init__.py": "", "weather/core.py": "from . import helpers\nfrom . import socket\n",
                      "weather/helpers.py": ""})

    run = gate("--json", "--policy", policy, tree / "weather" / "core.py")

    assert missing(run) == {"core.py": ".socket"}


def test_an_archives_members_are_looked_up_among_its_members(tmp_path, policy):
    archive = tmp_path / "plugin.zip"
    with zipfile.ZipFile(archive, "w") as made:
        made.writestr("weather/__init__.py", EXTEND + "from . import socket\nfrom . import core\n")
        made.writestr("weather/core.py", "from .sub import thing\n")
        made.writestr("weather/sub/thing.py", "")

    run = gate("--json", "--policy", policy, archive)

    assert missing(run) == {"__init__.py": ".socket"}


ORDINARY = {
    "weather/__init__.py": "__version__ = '1.0'\nfrom . import core\n",
    "weather/core.py": textwrap.dedent("""\
        from . import __version__, providers
        from .providers import cache
        from .providers.cache import Cache
        import weather.providers.cache
        from weather import core
        from .space import thing
        from .space.thing import value
        from . import legacy, fast
        from .. import weather
        import importlib
        importlib.import_module(".providers", __package__)
        """),
    "weather/providers/__init__.py": "",
    "weather/providers/cache.py": "class Cache:\n    pass\n",
    "weather/space/thing.py": "value = 1\n",  # a namespace package
    "weather/legacy.pyc": b"",  # bytecode alone: Python imports it
    "weather/fast.cpython-313-x86_64-linux-gnu.so": b"",
    "weather/data.txt": "not a module\n",
}


def test_an_ordinary_package_makes_no_finding(tmp_path, policy):
    tree = tmp_path / "plugin"
    write_tree(tree, ORDINARY)

    run = gate("--json", "--policy", policy, tree)

    assert missing(run) == {}
    # The bytecode and the extension module are judged as such, not as missing.
    assert {"compiled-bytecode", "extension-module"} <= {key[1] for key in findings(run)}


@pytest.mark.parametrize(("source", "extra", "expected"), [
    # An attribute the package's __init__ may define: quiet, unless a standard name.
    ("from . import version_info\n", {}, None),
    ("from . import json\n", {}, ".json"),
    # A namespace package holds no attribute: any name must be a file.
    ("from .space import version_info\n", {"weather/space/other.py": ""}, ".space.version_info"),
    # A plain module's names are its attributes.
    ("from .helpers import socket\n", {"weather/helpers.py": ""}, None),
    # A module the tree lacks, whatever its name.
    ("from .absent import thing\n", {}, ".absent"),
    ("import weather.absent\n", {}, "weather.absent"),
    # A .pyw is a source only on Windows: elsewhere the finder passes it by.
    ("from . import socket\n", {"weather/socket.pyw": ""}, ".socket"),
    # Read again through Python's codec, judged the same.
    ("# -*- coding: cp1252 -*-\nfrom . import socket\n", {}, ".socket"),
    # A module of the plugin's own that this tree does not hold is not its business.
    ("import weather_extras.absent\n", {}, None),
])
def test_what_a_from_statement_takes_is_judged_as_python_looks_it_up(source, extra, expected, tmp_path):
    tree = tmp_path / "plugin"
    write_tree(tree, {"weather/__init__.py": "version_info = (1, 0)\n", "weather/core.py": source, **extra})
    policy = tmp_path / "policy.toml"
    policy.write_text(POLICY.replace('["weather"]', '["weather", "weather_extras"]'))

    run = gate("--json", "--policy", policy, tree)

    assert missing(run) == ({} if expected is None else {"core.py": expected})


def test_a_missing_local_module_counts_and_matches_a_baseline_as_any_finding(tmp_path, policy):
    tree = tmp_path / "plugin"
    write_tree(tree, {"weather/__init__.py": "", "weather/core.py": "import os\nfrom . import socket\n"})
    baseline = tmp_path / "baseline.json"

    made = gate("--json", "--policy", policy, tree)
    baseline.write_text(made.stdout)
    again = gate("--json", "--policy", policy, "--baseline", baseline, tree)

    [core] = [entry for entry in json.loads(made.stdout)["files"] if entry["filepath"].endswith("core.py")]
    assert [(finding["rule"], finding["line"], finding["column"]) for finding in core["findings"]] == [
        ("forbidden-import", 1, 1), ("missing-local-module", 2, 1)]
    assert all(finding["fingerprint"] for finding in core["findings"])
    assert len(core["warnings"]) == 1 and json.loads(made.stdout)["summary"]["warnings"] == 1
    assert json.loads(again.stdout)["summary"]["warnings"] == 0, again.stdout


def test_a_finding_added_on_a_local_imports_line_is_fingerprinted_from_the_scans_own_reading(tmp_path):
    import scanner_audit

    tree = tmp_path / "plugin"
    write_tree(tree, {"weather/__init__.py": "", "weather/core.py": "import os\nfrom . import socket\n"})
    scanner = scanner_audit.Scanner({"os"}, set(), [], local_imports=True)
    [core] = [report for report in scanner.scan_tree(str(tree), {"weather"}, digests=True)
              if report.filepath.endswith("core.py")]
    (tree / "weather" / "core.py").write_text("")  # what a second reading would see instead

    core.add_findings([("missing-local-module", 2, 1, ".socket", "'.socket'")])

    assert core.rules == ["forbidden-import", "missing-local-module"]
    assert None not in core.fingerprints("weather/core.py")


LOOKED_UP = {
    "weather/__init__.py": "from . import core, socket, version_info\nimport weather.absent\n",
    "weather/core.py": "from .providers import cache, json, extra\nfrom .. import weather\nfrom .space import thing\n"
                       "from .linked import deep\nfrom .ghost import x\nfrom .fast import y\nimport weather.core\n",
    "weather/providers/__init__.py": "from ..absent.inner import x\nfrom ... import anything\n",
    "weather/providers/cache.py": "from . import cache, socket\nfrom .cache import socket\nfrom .gone import a, b\n",
    "weather/space/thing.py": "from .. import json\n",
    "weather/socket/readme.txt": "a directory of a standard name, no package\n",
    "weather/fast.cpython-313-x86_64-linux-gnu.so": b"",
    "elsewhere/__init__.py": "",
    "elsewhere/deep.py": "",
}


@pytest.mark.parametrize("spelling", ["absolute", "trailing_slash", "relative", "the_package_itself"])
def test_the_engines_lookup_of_a_tree_finds_what_the_commands_own_lookup_finds(spelling, tmp_path, monkeypatch):
    import scanner_audit

    from scanner_gate import missing_local

    tree = tmp_path / "plugin"
    write_tree(tree, LOOKED_UP)
    (tree / "weather" / "linked").symlink_to(tree / "elsewhere")
    (tree / "weather" / "ghost.py").symlink_to(tree / "nowhere.py")  # dangling: provides nothing
    monkeypatch.chdir(tmp_path)
    root = {"absolute": str(tree), "trailing_slash": f"{tree}/", "relative": "plugin",
            "the_package_itself": "plugin/weather"}[spelling]
    scanner = scanner_audit.Scanner({"os"}, set(), [], local_imports=True)

    package, standard = missing_local.tree_lookup(root)
    looked_up = scanner.scan_tree(root, {"weather"}, local_package=package, standard_names=standard)
    engine = {report.filepath: [row[1:] for row in report.finding_tuples if row[0] == "missing-local-module"]
              for report in looked_up}
    lookup = missing_local.Lookup()
    command = {report.filepath: [(finding.line, finding.column, finding.module, finding.message)
                                 for finding in lookup.findings(report.filepath, root, report.local_imports)]
               for report in scanner.scan_tree(root, {"weather"})}

    assert engine == command
    assert sum(map(len, engine.values())) >= 5
