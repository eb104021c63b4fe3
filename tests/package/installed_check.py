"""Checks an installed scanner_core wheel from the environment it went into.

    python -I installed_check.py WHEEL SOURCE_DIR

Run by `make check-wheel` and `make check-sdist` with the fresh
environment's interpreter, from an empty directory outside the source tree:
both native modules must come from site-packages with their stubs, scan a
small plugin tree, and the command must run as the console script
scanner-core and as python -m scanner_gate, reading the policy from the
pyproject.toml of the directory it runs in.
"""

import importlib.metadata
import json
import os
import pathlib
import subprocess
import sys
import sysconfig
import tempfile
import zipfile

import scanner_audit
import scanner_core

wheel, source = map(pathlib.Path, sys.argv[1:3])
site_packages = pathlib.Path(sysconfig.get_path("platlib")).resolve()

# The wheel holds the two modules, their stubs (each twice: beside the module,
# and as the -stubs package that mypy looks for), the command's package and
# the metadata; no engine test or other build product. Directory entries
# (auditwheel writes them) hold nothing.
names = zipfile.ZipFile(wheel).namelist()
payload = sorted(name for name in names if ".dist-info/" not in name and not name.endswith("/"))
package = sorted(
    f"scanner_gate/{path.relative_to(source / 'scanner_gate').as_posix()}"
    for path in (source / "scanner_gate").rglob("*")
    if path.suffix in (".py", ".typed") and "__pycache__" not in path.parts
)
expected = sorted(
    [f"{name}{suffix}" for name in ("scanner_core", "scanner_audit") for suffix in (".pyi", "-stubs/__init__.pyi")]
    + [pathlib.Path(module.__file__).name for module in (scanner_core, scanner_audit)]
    + package
)
assert payload == expected, f"unexpected wheel content: {payload}, expected {expected}"

for module in (scanner_core, scanner_audit):
    name = module.__name__
    path = pathlib.Path(module.__file__).resolve()
    assert path.parent == site_packages, f"{name} imported from {path}, not from {site_packages}"
    stub_text = (source / "binding" / f"{name}.pyi").read_text(encoding="utf-8")
    for stub in (site_packages / f"{name}.pyi", site_packages / f"{name}-stubs" / "__init__.pyi"):
        assert stub.read_text(encoding="utf-8") == stub_text, f"{stub} differs from the source's"

classifier = scanner_core.ImportClassifier({"os"}, {"json"}, ["quenx"])
scanner = scanner_audit.Scanner({"os"}, {"json"}, ["quenx"])
with tempfile.TemporaryDirectory() as tree:
    plugin = pathlib.Path(tree, "plugin")
    plugin.mkdir()
    (plugin / "main.py").write_text("import json\nimport os.path\nimport yaml\nfrom quenx.api import Plugin\nimport plugin.util\n")
    (plugin / "util.py").write_text("from . import main\n")
    results = classifier.scan_directory(tree, {"plugin"}, num_threads=2)
    by_name = {pathlib.Path(result.filepath).name: result for result in results}
    main = by_name["main.py"]
    assert sorted(by_name) == ["main.py", "util.py"], sorted(by_name)
    assert main.errors == [f"{main.filepath}:2: import interdit \u2014 'os.path'"], main.errors
    assert main.warnings == [f"{main.filepath}:3: import non whitelist\u00e9 \u2014 'yaml'"], main.warnings
    assert not main.passed and by_name["util.py"].passed
    # The same line scan through scanner_audit, a path object and a name
    # that is not UTF-8 included.
    (plugin / "caf\udce9.py").write_bytes(b"import os\n")
    reports = {report.filepath: report for report in scanner.scan_directory(pathlib.Path(tree), {"plugin"}, audit=False)}
    for result in results:
        assert (reports[result.filepath].errors, reports[result.filepath].warnings) == (result.errors, result.warnings)
    odd = reports[os.path.join(tree, "plugin", "caf\udce9.py")]
    assert odd.errors == [f"{odd.filepath}:1: import interdit \u2014 'os'"] and not odd.passed, odd.errors

# The command, from a directory whose pyproject.toml holds the policy: the
# console script and -m give the same report, in text and as JSON.
version = importlib.metadata.version("scanner_core")
script = pathlib.Path(sys.prefix, "bin", "scanner-core")
env = {key: value for key, value in os.environ.items() if key != "PYTHONPATH"}
commands = {"console script": [str(script)], "-m": [sys.executable, "-I", "-m", "scanner_gate"]}
with tempfile.TemporaryDirectory() as project:
    root = pathlib.Path(project)
    (root / "pyproject.toml").write_text('[tool.scanner-core.policy]\nforbidden = ["os"]\nallowed_exact = ["json"]\n')
    (root / "plugins").mkdir()
    (root / "plugins" / "clean.py").write_text("import json\n")
    (root / "plugins" / "hidden.py").write_text("import json, os\n")
    outputs = {}
    for how, command in commands.items():
        shown = subprocess.run([*command, "--version"], capture_output=True, text=True, cwd=root, env=env, check=True)
        assert shown.stdout == f"scanner-core {version}\n", (how, shown.stdout)
        text = subprocess.run([*command, "plugins/"], capture_output=True, text=True, cwd=root, env=env)
        assert text.returncode == 1, (how, text.returncode, text.stdout, text.stderr)
        assert "FAIL  plugins/hidden.py  (1 error, 0 warnings)" in text.stdout.splitlines(), (how, text.stdout)
        assert text.stdout.endswith("2 files scanned: 1 passed, 1 failed; 1 error, 0 warnings\n"), (how, text.stdout)
        document = subprocess.run([*command, "--json", "plugins/"], capture_output=True, text=True, cwd=root, env=env)
        [hidden] = [f for f in json.loads(document.stdout)["files"] if f["filepath"] == "plugins/hidden.py"]
        assert [f["rule"] for f in hidden["findings"]] == ["hidden-forbidden-import"], (how, hidden)
        # The rules' texts ship in the package: a report in English, and a rule's page.
        english = subprocess.run([*command, "-q", "--lang", "en", "plugins/"], capture_output=True, text=True,
                                 cwd=root, env=env)
        assert "plugins/hidden.py:1: hidden forbidden import \u2014 'os'" in english.stdout, (how, english.stdout)
        page = subprocess.run([*command, "--explain", "hidden-forbidden-import"], capture_output=True, text=True,
                              cwd=root, env=env, check=True)
        assert page.stdout.startswith("# hidden-forbidden-import\n"), (how, page.stdout)
        outputs[how] = (text.stdout, document.stdout, english.stdout, page.stdout)
    assert outputs["console script"] == outputs["-m"]

print(
    f"installed wheel OK: {wheel.name} imports scanner_core and scanner_audit from {site_packages} with their stubs, "
    f"and scanner-core {version} runs as a console script and with -m"
)
