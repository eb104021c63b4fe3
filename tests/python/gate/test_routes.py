"""Standard functions that import by a name or run a text, the object graph
and search paths: each route a plugin may take past its imports is judged.

A route with a constant target is first run under this interpreter, to prove
that it imports the forbidden module; then the gate must fail the file.
"""

import json
import subprocess
import sys

import pytest

from .conftest import gate

POLICY = """
[policy]
forbidden = ["os", "subprocess", "socket", "shutil", "pty"]
allowed_exact = ["sys", "pkgutil", "pydoc", "runpy", "timeit", "pickle", "unittest", "importlib", "gc"]
"""

# (source, the module judged, a module that Python loads only when it runs the target): none of them is
# loaded when the interpreter starts with -I -S. run_module runs shutil's code as __main__, which loads
# fnmatch.
BY_NAME = {
    "resolve_name": ("import pkgutil\npkgutil.resolve_name('socket:socket')\n", "socket", "socket"),
    "locate": ("import pydoc\npydoc.locate('shutil.rmtree')\n", "shutil.rmtree", "shutil"),
    "run_module": ("import runpy\nrunpy.run_module('shutil')\n", "shutil", "fnmatch"),
    "resolve_name_bound": ("from pkgutil import resolve_name as r\nr('subprocess:Popen')\n", "subprocess",
                           "subprocess"),
    "timeit_text": ("import timeit\ntimeit.timeit('import socket', number=1)\n", "socket", "socket"),
    "timeit_keyword": ("import timeit\ntimeit.timeit(stmt='import pty', number=1)\n", "pty", "pty"),
}

# (source, rule): what the file cannot show the target of, or what leads past every import.
WARNED = {
    "resolve_name_computed": ("import pkgutil\nname = input()\npkgutil.resolve_name(name)\n",
                              "non-constant-dynamic-import"),
    "timeit_computed": ("import timeit\ntimeit.timeit(input())\n", "dynamic-code"),
    "getattr_computed": ("import logging\ngetattr(logging, input())\n", "non-constant-dynamic-import"),
    "module_dict_computed": ("import logging\nlogging.__dict__[input()]\n", "non-constant-dynamic-import"),
    "pickle_payload": ("import pickle\npickle.loads(open('payload', 'rb').read())\n", "non-constant-dynamic-import"),
    "subclasses": ("().__class__.__mro__[1].__subclasses__()\n", "object-graph"),
    "globals_of_a_function": ("(lambda: 0).__globals__\n", "object-graph"),
    "frames": ("import sys\nsys._getframe(1).f_back\n", "object-graph"),
    "search_path_inserted": ("import sys\nsys.path.insert(0, '/elsewhere')\n", "search-path"),
    "package_path_extended": ("__path__ += ['/usr/lib/python3.13']\n", "search-path"),
    "search_path_sliced": ("import sys\nsys.path[0:0] = ['/elsewhere']\n", "search-path"),
}

ORDINARY = """\
import sys
import pickle
from unittest import mock

here = sys.modules[__name__]
for entry in sys.path:
    pass
first = sys.path[0]
data = pickle.dumps({"a": 1})
name = type(here).__name__
patcher = mock.patch.object(here, "name")
"""


def imported_by(source):
    """Whether running `source` under Python loads the module it names."""
    probe = (
        "import sys\n"
        f"before = set(sys.modules)\n"
        f"exec(compile({source!r}, 'plugin.py', 'exec'), {{'__name__': 'plugin'}})\n"
        "print(' '.join(sorted(set(sys.modules) - before)))\n"
    )
    run = subprocess.run([sys.executable, "-I", "-S", "-c", probe], capture_output=True, text=True, check=True)
    return run.stdout.split()


@pytest.fixture(scope="module")
def judged(tmp_path_factory):
    """The gate's findings per file, from one run over a file per route."""
    root = tmp_path_factory.mktemp("routes")
    (root / "policy.toml").write_text(POLICY)
    tree = root / "plugin"
    tree.mkdir()
    for name, (source, *_) in {**BY_NAME, **WARNED}.items():
        (tree / f"{name}.py").write_text(source)
    (tree / "ordinary.py").write_text(ORDINARY)
    report = json.loads(gate("--json", "--policy", root / "policy.toml", tree).stdout)
    return {entry["filepath"].rsplit("/", 1)[-1][:-3]: entry for entry in report["files"]}


@pytest.mark.parametrize("route", sorted(BY_NAME))
def test_a_constant_name_or_text_given_to_a_standard_function_is_judged_as_an_import(route, judged):
    source, target, loaded = BY_NAME[route]
    assert loaded in imported_by(source)  # Python runs the target

    entry = judged[route]
    assert not entry["passed"]
    assert ("hidden-forbidden-import", target) in {(finding["rule"], finding["module"]) for finding in entry["findings"]}


@pytest.mark.parametrize("route", sorted(WARNED))
def test_a_route_whose_target_the_file_cannot_show_is_a_warning(route, judged):
    _, rule = WARNED[route]
    assert rule in {finding["rule"] for finding in judged[route]["findings"] if finding["level"] == "warning"}


def test_the_graph_leads_to_a_forbidden_function_without_any_import():
    probe = (
        "wrap = [c for c in ().__class__.__mro__[1].__subclasses__() if c.__name__ == '_wrap_close'][0]\n"
        "print(wrap.__init__.__globals__['system'].__module__)\n"
    )
    run = subprocess.run([sys.executable, "-I", "-c", probe], capture_output=True, text=True, check=True)
    assert run.stdout.strip() == "posix"


def test_reading_the_search_path_or_a_module_by_its_own_name_is_no_finding(judged):
    entry = judged["ordinary"]
    assert entry["findings"] == [] and entry["passed"]
