"""A policy as precise as the reviewer's intent: where each finding stands
(checked against Python's own syntax tree), imports only type checkers see,
attributes of a forbidden module a plugin may use, and dotted local
modules. What an escape or a rebinding claims is run under Python to prove it."""

import ast
import json
import os
import subprocess
import sys
import textwrap

import pytest

import scanner_audit

from .conftest import POLICY

IMPORT_RULES = {"forbidden-import", "unlisted-import", "hidden-forbidden-import", "hidden-unlisted-import"}


def scan(tmp_path, source, *, forbidden=("os", "canary"), allowed_attributes=(), type_checking="error",
         name="plugin.py", local=frozenset()):
    path = tmp_path / name
    path.write_text(textwrap.dedent(source))
    scanner = scanner_audit.Scanner(set(forbidden), {"json", "typing"}, [], allowed_attributes=list(allowed_attributes),
                                    type_checking=type_checking)
    return scanner.scan_file(str(path), set(local))


def rows(report):
    """(rule, line, module, context) of every finding."""
    tuples = report.scan_tuples + report.finding_tuples
    return [(rule, line, module, context) for (rule, line, _, module, _), context in zip(tuples, report.contexts)]


# --- where a finding stands, as Python's syntax tree says -----------------

def _catches(handler):
    names = []
    if handler.type is None:
        return True
    for node in ast.walk(handler.type):
        if isinstance(node, ast.Name):
            names.append(node.id)
        elif isinstance(node, ast.Attribute):
            names.append(node.attr)
    return any(name in {"ImportError", "ModuleNotFoundError", "Exception", "BaseException"} for name in names)


def _is_main(test):
    return (isinstance(test, ast.Compare) and len(test.ops) == 1 and isinstance(test.ops[0], ast.Eq)
            and {type(test.left), type(test.comparators[0])} == {ast.Name, ast.Constant}
            and {getattr(test.left, "id", None), getattr(test.comparators[0], "id", None)} & {"__name__"}
            and "__main__" in {getattr(test.left, "value", None), getattr(test.comparators[0], "value", None)})


def contexts_by_tree(source: bytes):
    """{(line, column in code points from 1): context words} of every absolute import statement."""
    lines = source.split(b"\n")
    found = {}

    def visit(node, words):
        if isinstance(node, (ast.Import, ast.ImportFrom)) and not getattr(node, "level", 0):
            column = len(lines[node.lineno - 1][:node.col_offset].decode()) + 1
            found[(node.lineno, column)] = ",".join(sorted(words)) or "module"
        for field, value in ast.iter_fields(node):
            children = value if isinstance(value, list) else [value]
            added = set()
            if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)) and field == "body":
                added = {"function"}
            elif isinstance(node, ast.Lambda) and field == "body":
                added = {"function"}
            elif isinstance(node, ast.ClassDef) and field == "body":
                added = {"class"}
            elif isinstance(node, ast.If) and field == "body" and _is_main(node.test):
                added = {"main"}
            elif isinstance(node, (ast.Try, ast.TryStar)) and field == "body" and any(map(_catches, node.handlers)):
                added = {"optional"}
            for child in children:
                if isinstance(child, ast.AST):
                    visit(child, words | added)

    visit(ast.parse(source), frozenset())
    return found


def test_where_each_import_stands_is_what_pythons_syntax_tree_says_on_the_standard_library(tmp_path):
    library = os.path.dirname(os.__file__)
    files = sorted(os.path.join(library, name) for name in os.listdir(library) if name.endswith(".py"))[::2]
    scanner = scanner_audit.Scanner({"zzz_nothing"}, set(), [])
    compared = 0
    for path in files:
        with open(path, "rb") as stream:
            source = stream.read()
        expected = contexts_by_tree(source)
        report = scanner.scan_file(path, set())
        tuples = report.scan_tuples + report.finding_tuples
        for (rule, line, column, module, _), context in zip(tuples, report.contexts):
            if rule in IMPORT_RULES and (line, column) in expected:
                assert context == expected[(line, column)], (path, line, module)
                compared += 1
    assert compared > 500


@pytest.mark.parametrize("source, where", [
    ("def f():\n    import canary\n", "function"),
    ("def f(x=__import__('canary')):\n    pass\n", "module"),
    ("class C:\n    def m(self): import canary\n", "class,function"),
    ("class C(object): import canary\n", "class"),
    ("try:\n    import canary\nexcept (ValueError, ModuleNotFoundError):\n    pass\n", "optional"),
    ("try:\n    import canary\nexcept ValueError:\n    pass\n", "module"),
    ("try:\n    pass\nexcept ImportError:\n    import canary\n", "module"),
    ("try:\n    try:\n        import canary\n    finally:\n        pass\nexcept:\n    pass\n", "optional"),
    ("if __name__ == '__main__':\n    import canary\n", "main"),
    ("if '__main__' != __name__:\n    import canary\n", "module"),
    ("f = lambda: __import__('canary')\n", "function"),
    ("g = (lambda: 0, __import__('canary'))\n", "module"),
    ("async def f():\n    import canary\n", "function"),
    ("class C:\n    pass\nif C:\n    def f():\n        import canary\n", "function"),
    ("def f(): \\\nimport canary\n", "function"),
    ("import canary\n", "module"),
    ("if x:\n    pass\nelif __name__ == \"__main__\": import canary\n", "main"),
])
def test_each_context_is_told_as_python_runs_the_block(tmp_path, source, where):
    found = [context for rule, _, module, context in rows(scan(tmp_path, source)) if module == "canary"]
    assert found == [where]


# --- what only type checkers see -------------------------------------------

TYPE_CHECKING_CASES = [
    ("from typing import TYPE_CHECKING\nif TYPE_CHECKING:\n    import canary\n", True),
    ("import typing\nif typing.TYPE_CHECKING:\n    import canary\n", True),
    ("import typing as t\nif t.TYPE_CHECKING:\n    import canary\n", True),
    ("from typing import TYPE_CHECKING\nif TYPE_CHECKING: import canary\n", True),
    ("TYPE_CHECKING = True\nif TYPE_CHECKING:\n    import canary\n", False),
    ("from typing import TYPE_CHECKING\nTYPE_CHECKING = 1\nif TYPE_CHECKING:\n    import canary\n", False),
    ("from typing import TYPE_CHECKING\nif not TYPE_CHECKING:\n    import canary\n", False),
    ("from typing import TYPE_CHECKING\nif TYPE_CHECKING:\n    pass\nelse:\n    import canary\n", False),
    ("from typing import TYPE_CHECKING\nglobals()['TYPE_CHECKING'] = 1\nif TYPE_CHECKING:\n    import canary\n", False),
    ("from typing import TYPE_CHECKING\ndef f(TYPE_CHECKING=1):\n    if TYPE_CHECKING:\n        import canary\n"
     "f()\n", False),
    ("import typing\ntyping.TYPE_CHECKING = True\nif typing.TYPE_CHECKING:\n    import canary\n", False),
    ("import typing\nsetattr(typing, 'TYPE_' + 'CHECKING', 1)\nif typing.TYPE_CHECKING:\n    import canary\n", False),
    ("from typing import TYPE_CHECKING as T\nif T:\n    import canary\n", None),
]


def _runs_canary(tmp_path, source):
    """Whether running `source` imports the module canary (proven in a child interpreter)."""
    (tmp_path / "canary.py").write_text("")
    code = source + "\nimport sys\nprint('canary' in sys.modules)\n"
    done = subprocess.run([sys.executable, "-I", "-c", f"import sys; sys.path.insert(0, {str(tmp_path)!r})\n" + code],
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    return done.stdout.split()[-1] == "True"


@pytest.mark.parametrize("source, trusted", TYPE_CHECKING_CASES)
def test_only_a_block_that_never_runs_is_judged_as_type_checkers_only(tmp_path, source, trusted):
    if trusted is not None:
        assert _runs_canary(tmp_path, source) is not trusted
    ignored = [row for row in rows(scan(tmp_path, source, type_checking="ignore")) if row[2] == "canary"]
    warned = rows(scan(tmp_path, source, type_checking="warning"))
    if trusted:
        assert ignored == []
        assert ("type-checking-import", 3 + source.count("\n", 0, source.index("import canary")) - 2, "canary",
                "type-checking") in [row for row in warned if row[2] == "canary"]
    else:
        assert [row[0] for row in ignored] == ["forbidden-import"] or [row[0] for row in ignored] == \
            ["hidden-forbidden-import"]
        assert all("type-checking" not in (row[3] or "") for row in warned)


def test_a_file_that_changes_type_checking_fails_where_the_policy_relies_on_it(tmp_path):
    source = "import typing\ntyping.TYPE_CHECKING = True\n"
    assert [row[0] for row in rows(scan(tmp_path, source, type_checking="ignore"))] == ["type-checking-changed"]
    assert rows(scan(tmp_path, source, type_checking="error")) == []
    # And it is no idle assignment: another module's block then runs.
    (tmp_path / "typed.py").write_text("from typing import TYPE_CHECKING\nif TYPE_CHECKING:\n    import canary\n")
    assert _runs_canary(tmp_path, source + "import typed\n")


# --- attributes of a forbidden module ----------------------------------------

ALLOWED = ("os.path", "os.environ", "os.getenv")


@pytest.mark.parametrize("source, used", [
    ("import os\nos.path.join('a', 'b')\nos.environ.get('X')\nos.getenv('Y')\n", ["os.path", "os.environ", "os.getenv"]),
    ("import os.path\nos.path.exists('x')\n", ["os.path"]),
    ("from os import path, environ as env\npath.join('a')\nenv['X']\n", ["os.path", "os.environ"]),
    ("from os.path import join\njoin('a')\n", ["os.path"]),
    ("import os\ndef f(os=None):\n    pass\nf(os=1)\nos.path.sep\n", ["os.path"]),
    # posix defines these two; os.path holds them, and what os.path holds is allowed with it.
    ("import os\nos.path.normpath('a')\nos.path.splitroot('a')\n", ["os.path"]),
])
def test_a_file_that_uses_only_allowed_attributes_passes_and_says_which(tmp_path, source, used):
    report = scan(tmp_path, source, allowed_attributes=ALLOWED)
    assert rows(report) == []
    assert report.passed
    assert report.allowed_used == used


@pytest.mark.parametrize("source, use", [
    ("import os\nos.system('true')\n", "os.system"),
    ("import os\nrun = getattr(os, 'sys' + 'tem')\n", "os"),
    ("import os\nhandle = os\n", "os"),
    ("import os\ndef give():\n    return os\n", "os"),
    ("from os import system\n", "os.system"),
    ("from os import path\npath.os.system('true')\n", "os.path.os.system"),
    ("import os\nos.path.os.system('true')\n", "os.path.os.system"),
    ("import os\np = os.path\n", "os.path"),
    ("import os as o\no.popen('true')\n", "os.popen"),
    ("import os.path as p\np.os\n", "os.path.os"),
    ("import os\nos.path.join.__globals__['os']\n", "os.path.join.__globals__"),
    ("import os\nos.environ.__class__\n", "os.environ.__class__"),
])
def test_each_escape_of_a_forbidden_module_is_an_error_naming_the_use(tmp_path, source, use):
    report = scan(tmp_path, source, allowed_attributes=ALLOWED)
    named = [message.rsplit("'", 2)[-2] for rule, _, _, _, message in report.scan_tuples + report.finding_tuples
             if rule == "forbidden-attribute-use"]
    assert use in named
    assert not report.passed


def test_an_import_that_is_itself_a_use_is_one_error_placed_as_the_import(tmp_path):
    report = scan(tmp_path, "try:\n    from os import system\nexcept ImportError:\n    pass\n",
                  allowed_attributes=ALLOWED)
    assert rows(report) == [("forbidden-attribute-use", 2, "os", "optional")]


def test_a_star_import_of_a_restricted_module_keeps_its_error(tmp_path):
    assert [row[0] for row in rows(scan(tmp_path, "from os import *\npath.join('a')\n",
                                        allowed_attributes=ALLOWED))] == ["forbidden-import"]


# --- dotted local modules ----------------------------------------------------

def test_a_dotted_local_module_owns_its_package_and_below_not_its_parents_other_children(tmp_path):
    source = ("import sphinxcontrib.mermaid\nimport sphinxcontrib.mermaid.render\n"
              "from sphinxcontrib.mermaid.util import x\nimport sphinxcontrib.other\nimport sphinxcontribution\n")
    found = rows(scan(tmp_path, source, local={"sphinxcontrib.mermaid"}))
    assert sorted(module for _, _, module, _ in found) == ["sphinxcontrib.other", "sphinxcontribution"]


# --- the formats --------------------------------------------------------------

def test_every_format_carries_where_findings_stand_and_the_attributes_used(project):
    (project.root / "pyproject.toml").unlink()
    (project.root / "policy.toml").write_text(POLICY.replace('allowed_exact = ["json"]',
                                                             'allowed_exact = ["json"]\nallowed_attributes = '
                                                             '["os.path"]'))
    project.write("myplugin/core.py", "import os\ndef f():\n    import subprocess\nos.path.join('a')\n")
    document = json.loads(project.run("--policy", "policy.toml", "--json", "plugins").stdout)
    file = next(file for file in document["files"] if file["filepath"].endswith("core.py"))
    assert [(f["rule"], f["context"]) for f in file["findings"]] == [("forbidden-import", ["function"])]
    assert file["allowed_used"] == ["os.path"]
    assert document["policy"]["allowed_attributes"] == ["os.path"]
    for lang in ("fr", "en"):  # the engine's block, then the one made here
        text = project.run("--policy", "policy.toml", "--lang", lang, "plugins").stdout
        assert "(function)" in text and "[allowed attributes used: os.path]" in text
    sarif = json.loads(project.run("--policy", "policy.toml", "--format", "sarif", "plugins").stdout)
    assert [r["properties"]["tags"] for r in sarif["runs"][0]["results"]] == [["function"]]
    gitlab = json.loads(project.run("--policy", "policy.toml", "--format", "gitlab", "plugins").stdout)
    assert [issue["categories"] for issue in gitlab if "core.py" in issue["location"]["path"]] == [["function"]]
    # Findings made by the command itself (a missing local module) keep the engine's attributes used.
    project.write("myplugin/extra.py", "import os\nfrom . import socket\nos.path.join('a')\n")
    document = json.loads(project.run("--policy", "policy.toml", "--json", "plugins").stdout)
    extra = next(file for file in document["files"] if file["filepath"].endswith("extra.py"))
    assert [f["rule"] for f in extra["findings"]] == ["missing-local-module"]
    assert extra["allowed_used"] == ["os.path"]
