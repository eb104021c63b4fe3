"""Constants as Python's compiler folds them: a text given to exec, eval or
compile that is no plain literal but that Python runs as a constant text,
and the names of __import__'s fromlist. Each case is first run by this
interpreter, a harmless module standing in for the forbidden one, to prove
that Python imports what the text names; the gate must then fail the file
with the forbidden module put in its place."""

import ast
import json
import subprocess
import sys
import textwrap

import pytest

from .conftest import gate

# Each case imports the module `{m}` (given whole in `{m}`, or in two
# pieces `{head}` and `{tail}`), or `{m}.{sub}` through a fromlist.
TEXTS = {
    "texts_added": 'exec("imp" + "ort {m}")',
    "a_text_times_one": 'exec("import {m}" * 1)',
    "a_tuples_element": 'exec(("import json", "import {m}")[1])',
    "a_starred_list": 'exec(*["import {m}"])',
    "the_value_of_a_walrus": 'exec(text := "import {m}")',
    "a_double_starred_dict": 'exec(compile(**{{"source": "import {m}", "filename": "x", "mode": "exec"}}))',
    "bytes": "eval(b\"__import__('{m}')\")",
    "bytes_in_their_declared_coding": 'exec(b"# coding: latin-1\\nimport {m}")',
    "a_name_added": '__import__("{head}" + "{tail}")',
}
FROMLIST = '__import__("{m}", fromlist=["{sub}"])'

POLICY = """
[tool.scanner-core.policy]
forbidden = ["subprocess"]
allowed_exact = ["json", "concurrent.futures"]

[tool.scanner-core.plugin]
local_modules = ["myplugin"]
"""


def runs_import(tmp_path, source, module):
    """Whether this interpreter, running `source` as a module's code,
    imports `module`: a harmless package of that name stands in."""
    package = tmp_path / "stand_in"
    for part in module.split("."):
        package = package / part
        package.mkdir(parents=True, exist_ok=True)
        (package / "__init__.py").write_text("")
    probe = f"import sys\nsys.path.insert(0, {str(tmp_path / 'stand_in')!r})\n{source}\nprint({module!r} in sys.modules)\n"
    completed = subprocess.run([sys.executable, "-I", "-c", probe], capture_output=True, text=True, timeout=60,
                               check=True)
    return completed.stdout.strip() == "True"


@pytest.mark.parametrize("case", sorted(TEXTS))
def test_a_folded_constant_is_judged_as_the_import_python_makes(case, tmp_path):
    # Python imports the stand-in through the folded text...
    stand_in = TEXTS[case].format(m="probe_mod", head="probe", tail="_mod")
    assert runs_import(tmp_path, stand_in, "probe_mod")
    # ... and the gate fails the file that imports the forbidden module so.
    root = tmp_path / "project"
    (root / "plugins" / "myplugin").mkdir(parents=True)
    (root / "pyproject.toml").write_text(POLICY)
    source = "import json\n\n" + TEXTS[case].format(m="subprocess", head="subpro", tail="cess") + "\n"
    (root / "plugins" / "myplugin" / "load.py").write_text(source)

    completed = gate_json(root)

    assert completed.returncode == 1, completed.stderr
    assert ("hidden-forbidden-import", 3, "subprocess") in findings(completed)


def test_a_constant_fromlist_imports_each_name_as_a_submodule(tmp_path):
    # Judged as any import: concurrent.futures is allowed, not what lies below it.
    stand_in = FROMLIST.format(m="probe_pkg", sub="inner")
    assert runs_import(tmp_path, stand_in, "probe_pkg.inner")
    root = tmp_path / "project"
    (root / "plugins" / "myplugin").mkdir(parents=True)
    (root / "pyproject.toml").write_text(POLICY)
    (root / "plugins" / "myplugin" / "load.py").write_text(textwrap.dedent("""\
        __import__("concurrent.futures", fromlist=["process"])
        __import__("json", fromlist=names)
        """))

    completed = gate_json(root)

    assert completed.returncode == 0, completed.stderr
    assert findings(completed) == {
        ("hidden-unlisted-import", 1, "concurrent.futures.process"),
        ("non-constant-dynamic-import", 2, "__import__"),
    }


def test_what_cpython_leaves_to_run_time_stays_a_warning(tmp_path):
    # Past CPython's limit for `*`, the text is built when the line runs.
    source = 'exec("import subprocess;" + "#" * 4097)\n'
    folded = compile(source, "x", "exec", flags=ast.PyCF_OPTIMIZED_AST)
    assert not isinstance(folded.body[0].value.args[0], ast.Constant)
    root = tmp_path / "project"
    (root / "plugins" / "myplugin").mkdir(parents=True)
    (root / "pyproject.toml").write_text(POLICY)
    (root / "plugins" / "myplugin" / "load.py").write_text(source)

    completed = gate_json(root)

    assert completed.returncode == 0, completed.stderr
    assert findings(completed) == {("dynamic-code", 1, "exec")}


def gate_json(root):
    return gate("--json", "plugins", cwd=root)


def findings(completed):
    report = json.loads(completed.stdout)
    return {(finding["rule"], finding["line"], finding["module"]) for entry in report["files"]
            for finding in entry["findings"]}
