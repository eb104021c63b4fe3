"""String annotations are read as the text eval is given.

typing.get_type_hints and inspect.get_annotations(eval_str=True) give every
string of an annotation to eval. Each route is first run under this
interpreter, to prove that evaluating the file's annotations imports the
forbidden module or hands it over; then the gate must fail the file, at the
string's line. Each file is that one line or two: a line the audit would
pass over without tokens holds no word that imports outside its strings.
"""

import json
import subprocess
import sys
import textwrap

import pytest

from .conftest import gate

POLICY = """
[policy]
forbidden = ["os", "subprocess", "socket"]
allowed_exact = ["logging", "typing"]
"""

# (source, what holds the annotations, the forbidden module, the line of the string)
IMPORTED = {
    "parameter": ("def f(x: \"__import__('subprocess')\"): pass\n", "f", "subprocess", 1),
    "return": ("def f() -> \"__import__('subprocess')\": pass\n", "f", "subprocess", 1),
    "starred_parameter": ("def f(*args: \"__import__('socket')\"): pass\n", "f", "socket", 1),
    "class_variable": ("class C:\n    x: \"__import__('subprocess')\"\n", "C", "subprocess", 2),
    "module_variable": ("x: \"__import__('socket')\" = 1\n", "module", "socket", 1),
    "nested_in_a_subscript": ("def f(x: list[\"__import__('subprocess')\"]): pass\n", "f", "subprocess", 1),
    "literals_side_by_side": ("def f(x: \"__imp\" \"ort__('subprocess')\"): pass\n", "f", "subprocess", 1),
    "literals_added": ("def f(x: \"__imp\" + \"ort__('socket')\"): pass\n", "f", "socket", 1),
    "on_a_later_line": ("def f(\n    a,\n    b: \"__import__('socket')\" = None,\n): pass\n", "f", "socket", 3),
}

# (source, what holds the annotations, the module the annotation's value is)
REACHED = {
    "followed_name": ("import logging\ndef f(x: \"logging.os\"): pass\n", "f", "os"),
    "followed_name_in_a_subscript": ("import logging\ndef f(x: list[\"logging.os\"]): pass\n", "f", "os"),
}

ORDINARY = """\
from typing import Optional


class MyClass:
    other: "MyClass"
    items: "list[int]" = []


def f(x: "MyClass", y: "int" = 1, *rest: "str", **named: "Optional[MyClass]") -> "Optional[MyClass]":
    z: "MyClass" = x
    return z


g = lambda x: "import os"
table = {"a": "import os", "b": x[1:"import os"] if False else None}
"""


def evaluated(source, holder):
    """The modules that evaluating the annotations of `holder` (a name the
    source binds, or the module) loads, as typing and inspect do, and what
    the annotations evaluate to, by type: run by Python itself."""
    probe = textwrap.dedent(f"""
        import inspect, sys, types, typing
        module = types.ModuleType("plugin")
        exec(compile({source!r}, "plugin.py", "exec"), module.__dict__)
        holder = module if {holder!r} == "module" else getattr(module, {holder!r})
        before = set(sys.modules)
        values = inspect.get_annotations(holder, eval_str=True)
        try:
            values["hints"] = typing.get_type_hints(holder)
        except TypeError as error:  # what an annotation held is no type
            values["error"] = str(error)
        print(" ".join(sorted(set(sys.modules) - before)))
        print(repr(values))
    """)
    run = subprocess.run([sys.executable, "-I", "-S", "-c", probe], capture_output=True, text=True, check=True)
    loaded, values = run.stdout.splitlines()
    return loaded.split(), values


@pytest.fixture(scope="module")
def judged(tmp_path_factory):
    """The gate's findings per file, from one run over a file per route."""
    root = tmp_path_factory.mktemp("annotations")
    (root / "policy.toml").write_text(POLICY)
    tree = root / "plugin"
    tree.mkdir()
    for name, (source, *_) in {**IMPORTED, **REACHED}.items():
        (tree / f"{name}.py").write_text(source)
    (tree / "ordinary.py").write_text(ORDINARY)
    report = json.loads(gate("--json", "--policy", root / "policy.toml", tree).stdout)
    return {entry["filepath"].rsplit("/", 1)[-1][:-3]: entry for entry in report["files"]}


@pytest.mark.parametrize("route", sorted(IMPORTED))
def test_an_import_in_a_string_annotation_fails_the_file_at_the_string(route, judged):
    source, holder, module, line = IMPORTED[route]
    assert module in evaluated(source, holder)[0]  # typing imports it

    entry = judged[route]
    assert not entry["passed"]
    assert ("hidden-forbidden-import", module, line) in {
        (finding["rule"], finding["module"], finding["line"]) for finding in entry["findings"]}


@pytest.mark.parametrize("route", sorted(REACHED))
def test_a_forbidden_module_reached_in_a_string_annotation_fails_the_file(route, judged):
    source, holder, module = REACHED[route]
    assert f"<module '{module}'" in evaluated(source, holder)[1]  # evaluating it hands the module over

    entry = judged[route]
    assert not entry["passed"]
    assert ("forbidden-module-reached", module, 2) in {
        (finding["rule"], finding["module"], finding["line"]) for finding in entry["findings"]}


def test_ordinary_string_annotations_and_other_strings_after_a_colon_get_no_finding(judged):
    entry = judged["ordinary"]
    assert entry["findings"] == [] and entry["passed"]
