"""Checks an installed scanner_core wheel from the environment it went into.

    python -I installed_check.py WHEEL SOURCE_STUB

Run by `make check-wheel` with the fresh environment's interpreter, from a
directory outside the source tree: the module must come from site-packages,
carry its stub, and scan a small plugin tree.
"""

import pathlib
import sys
import sysconfig
import tempfile
import zipfile

import scanner_core

wheel, source_stub = map(pathlib.Path, sys.argv[1:3])
stub_text = source_stub.read_text(encoding="utf-8")

# The wheel holds the module, its stub (twice: beside the module, and as the
# -stubs package that mypy looks for) and its metadata; no engine test or
# other build product. Directory entries (auditwheel writes them) hold
# nothing.
names = zipfile.ZipFile(wheel).namelist()
payload = sorted(name for name in names if ".dist-info/" not in name and not name.endswith("/"))
expected = sorted(["scanner_core-stubs/__init__.pyi", "scanner_core.pyi", pathlib.Path(scanner_core.__file__).name])
assert payload == expected, f"unexpected wheel content: {payload}"

site_packages = pathlib.Path(sysconfig.get_path("platlib")).resolve()
module = pathlib.Path(scanner_core.__file__).resolve()
assert module.parent == site_packages, f"scanner_core imported from {module}, not from {site_packages}"
for stub in (site_packages / "scanner_core.pyi", site_packages / "scanner_core-stubs" / "__init__.pyi"):
    assert stub.read_text(encoding="utf-8") == stub_text, f"{stub} differs from {source_stub}"

classifier = scanner_core.ImportClassifier({"os"}, {"json"}, ["quenx"])
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

print(f"installed wheel OK: {wheel.name} imports from {module.parent} with its stub, and scans")
