"""The module as Python sees it: attributes, docstrings, signatures, the
version gate and the argument conversions of the classifier."""

import glob
import json
import os
import subprocess
import sys
import textwrap

import pytest

import scanner_core
from scanner_core import FileResult, ImportClassifier

MODULE_DOC = "Scanner C++ pour plugins quenx — import classification multithread"

INIT_DOC = (
    "\nConstruit le classificateur.\n\nParameters\n----------\n"
    'forbidden        : set de racines de modules interdits ("os", "sys", …)\n'
    'allowed_exact    : set de modules/racines autorisés en exact ("json", "re", …)\n'
    'allowed_prefixes : liste de préfixes sans ".*" ("quenx", "sqlalchemy", …)\n'
    + " " * 13
)

SCAN_DIRECTORY_DOC = (
    "\nScanne récursivement tous les .py d'un répertoire en parallèle.\n\n"
    "num_threads=0 → hardware_concurrency() (auto).\n" + " " * 13
)


class TestModuleFrame:
    def test_docstring_and_exactly_two_classes(self):
        assert scanner_core.__doc__ == MODULE_DOC
        public = {name for name in vars(scanner_core) if not name.startswith("__")}
        assert public == {"FileResult", "ImportClassifier"}

    def test_classes_have_no_docstring_and_plain_bases(self):
        for cls in (FileResult, ImportClassifier):
            assert cls.__doc__ is None
            assert cls.__module__ == "scanner_core"
            assert cls.__mro__[1].__name__ == "pybind11_object"

    def test_members_are_registered_in_order(self):
        assert [m for m in vars(FileResult) if not m.startswith("_") or m == "__repr__"] == [
            "filepath", "errors", "warnings", "passed", "__repr__",
        ]
        assert [m for m in vars(ImportClassifier) if m in {
            "__init__", "is_allowed", "is_forbidden", "scan_file", "scan_directory"}] == [
            "__init__", "is_allowed", "is_forbidden", "scan_file", "scan_directory"]

    def test_docstrings_are_byte_exact(self):
        init = ImportClassifier.__init__.__doc__
        assert init == (
            "__init__(self: scanner_core.ImportClassifier, forbidden: collections.abc.Set[str], "
            "allowed_exact: collections.abc.Set[str], allowed_prefixes: collections.abc.Sequence[str])"
            " -> None\n\n" + INIT_DOC + "\n"
        )
        assert ImportClassifier.scan_file.__doc__ == (
            "scan_file(self: scanner_core.ImportClassifier, filepath: str, local_modules: "
            "collections.abc.Set[str]) -> scanner_core.FileResult\n\n"
            "Scanne un fichier .py et retourne un FileResult.\n"
        )
        assert ImportClassifier.scan_directory.__doc__ == (
            "scan_directory(self: scanner_core.ImportClassifier, src_dir: str, local_modules: "
            "collections.abc.Set[str], num_threads: typing.SupportsInt | typing.SupportsIndex = 0)"
            " -> list[scanner_core.FileResult]\n\n" + SCAN_DIRECTORY_DOC + "\n"
        )

    def test_members_without_docstring_show_the_signature_alone(self):
        for name in ("is_allowed", "is_forbidden"):
            assert getattr(ImportClassifier, name).__doc__ == (
                f"{name}(self: scanner_core.ImportClassifier, module: str) -> bool\n"
            )
        assert FileResult.__repr__.__doc__ == "__repr__(self: scanner_core.FileResult) -> str\n"

    def test_properties_are_read_only_with_typed_getters(self):
        expected = {"filepath": "str", "errors": "list[str]", "warnings": "list[str]", "passed": "bool"}
        for name, result in expected.items():
            prop = vars(FileResult)[name]
            assert isinstance(prop, property)
            assert prop.fset is None and prop.fdel is None
            assert prop.__doc__ == ""
            assert prop.fget.__doc__ == f"(self: scanner_core.FileResult) -> {result}\n"

    def test_file_result_has_no_python_constructor(self):
        with pytest.raises(TypeError) as raised:
            FileResult()
        assert str(raised.value) == "scanner_core.FileResult: No constructor defined!"


def other_interpreters():
    """CPython interpreters on this machine that are not 3.13."""
    found = {}
    candidates = [f"python3.{minor}" for minor in (12, 14, 11)]
    for directory in os.environ.get("PATH", "").split(os.pathsep):
        for name in candidates:
            found.setdefault(os.path.join(directory, name), None)
    for path in glob.glob(os.path.expanduser("~/.pyenv/versions/3.1[1-9]*/bin/python3.1?")):
        found.setdefault(path, None)
    usable = []
    for path in found:
        if not os.access(path, os.X_OK):
            continue
        probe = subprocess.run([path, "-c", "import sys; print(sys.version)"], capture_output=True, text=True)
        if probe.returncode == 0 and not probe.stdout.startswith("3.13"):
            usable.append(path)
    return usable


def test_other_interpreter_versions_are_refused_with_import_error():
    interpreters = other_interpreters()
    if not interpreters:
        pytest.skip("no CPython other than 3.13 on this machine")
    # Lazy binding lets the loader resolve the entry point of a module built
    # for another version, so that its own version gate is what answers.
    script = textwrap.dedent(
        """
        import importlib.util, json, os, sys
        sys.setdlopenflags(os.RTLD_LAZY)
        location = importlib.util.spec_from_file_location("scanner_core", sys.argv[1])
        try:
            importlib.util.module_from_spec(location)
        except ImportError as error:
            print(json.dumps([str(error), sys.version]))
        """
    )
    probe = subprocess.run(
        [interpreters[0], "-c", script, scanner_core.__file__], capture_output=True, text=True, timeout=60
    )
    assert probe.returncode == 0, probe.stderr
    message, version = json.loads(probe.stdout)
    assert message == (
        "Python version mismatch: module was compiled for Python 3.13, but the interpreter "
        f"version is incompatible: {version}."
    )
