"""A forbidden module taken through a module the policy allows is judged.

Each route is first run under this interpreter, to prove that it hands the
plugin the forbidden module (or an object defined in it); then the gate must
fail the file and name the chain.
"""

import json
import subprocess
import sys
import textwrap

import pytest

from .conftest import gate

POLICY = """
[policy]
forbidden = ["os", "subprocess", "socket", "shutil"]
allowed_exact = ["logging", "json", "tempfile", "typing", "pickle", "webbrowser", "ssl", "pty"]
"""

# (source, expression the plugin ends up holding, the forbidden module it is
# or was defined in, as Python says and, where the gate stops earlier on the
# chain, as the gate names it)
ROUTES = {
    "from_import": ("from logging import os\n", "os", "os"),
    "from_import_aliased": ("from webbrowser import subprocess as run\n", "run", "subprocess"),
    "attribute_chain": ("import logging\n", "logging.os.system", "posix", "os"),
    "private_attribute": ("import tempfile\n", "tempfile._shutil.rmtree", "shutil"),
    "submodule_alias": ("import logging.handlers as lh\n", "lh.socket", "socket"),
    "module_taken_by_from": ("from logging import handlers\n", "handlers.socket", "socket"),
    "star_import": ("from ssl import *\n", "os", "os"),
    # pty takes os's functions, which posix defines: os's own twin.
    "object_of_a_twin": ("import pty\n", "pty.close", "posix"),
    "chain_across_lines": ("import logging\nx = (logging\n     .os)\n", "x", "os"),
    # Python folds the name to `logging` (NFKC): so must the gate.
    "folded_spelling": ("import logging\n", "\uff4c\uff4f\uff47\uff47\uff49\uff4e\uff47.os", "os"),
    # Two spellings of one name: composed in the import, decomposed in the use.
    "non_ascii_alias": ("import logging as \u00e9t\u00e9\n", "e\u0301te\u0301.os", "os"),
    "constant_getattr": ("import logging\n", "getattr(logging, 'o' + 's')", "os"),
    "module_dict": ("import logging\n", "logging.__dict__['os']", "os"),
    "parenthesised_module": ("import tempfile\n", "(tempfile)._shutil", "shutil"),
    # Far below the import, past many lines the audit passes over without tokens.
    "far_below": ("import logging\n" + "x = 1  # logging\n" * 5000 + "def f():\n    pass\n", "logging.os", "os"),
    # The module's namespace, read by a constant key.
    "vars_key": ("import tempfile\n", "vars(tempfile)['_shutil']", "shutil"),
    "vars_get": ("import logging\n", "vars(logging).get('os')", "os"),
    "module_dict_get": ("import logging\n", "logging.__dict__.get('o' 's')", "os"),
    # The module bound to another name, which is followed from there on.
    "assigned": ("import logging\nlog = logging\n", "log.os", "os"),
    "assigned_on_one_line": ("import logging\nlog = logging; held = log.os\n", "held", "os", "os"),
    "assigned_twice": ("import logging.handlers\nfirst = second = logging.handlers\n", "second.socket", "socket"),
    "parenthesised_target": ("import tempfile\n(t) = tempfile\n", "t._shutil", "shutil"),
    "annotated": ("import logging\nfrom typing import Any\nlog: Any = logging\n", "log.os", "os"),
    "walrus": ("import logging\nif (log := logging):\n    pass\n", "log.os", "os"),
    "walrus_in_a_comprehension": ("import tempfile\n[t := tempfile for _ in 'x']\n", "t._shutil", "shutil"),
    # A function's global: bindings hold file-wide already.
    "global_in_a_function": ("import logging\ndef bind():\n    global log\n    log = logging\nbind()\n", "log.os",
                             "os"),
    # A text run as code shares the module's globals both ways.
    "bound_by_exec": ("exec('import logging as log')\n", "log.os", "os"),
    "assigned_by_exec": ("import logging\nexec('log = logging')\n", "log.os", "os"),
    "followed_inside_eval": ("import logging\n", "eval('logging.os')", "os"),
}

# (source, rule): what the file cannot show, which is a warning.
WARNED = {
    "vars_computed": "import logging\nvars(logging)[input()]\n",
    "vars_get_computed": "import logging\nvars(logging).get(input())\n",
    "module_dict_get_computed": "import logging\nlogging.__dict__.get(input())\n",
}


def defined_in(source, expression):
    """Where the object the plugin holds comes from, run by Python itself: a
    module's name, or the module an object was defined in."""
    probe = textwrap.dedent(f"""
        import types
        namespace = {{}}
        exec(compile({source + "__reached__ = " + expression + chr(10)!r}, "plugin.py", "exec"), namespace)
        held = namespace["__reached__"]
        print(held.__name__ if isinstance(held, types.ModuleType) else held.__module__)
    """)
    return subprocess.run([sys.executable, "-I", "-c", probe], capture_output=True, text=True, check=True).stdout.strip()


@pytest.fixture(scope="module")
def judged(tmp_path_factory):
    """The gate's findings for one file per route, as JSON, from one run."""
    root = tmp_path_factory.mktemp("laundering")
    (root / "policy.toml").write_text(POLICY)
    tree = root / "plugin"
    tree.mkdir()
    for name, (source, expression, *_) in ROUTES.items():
        (tree / f"{name}.py").write_text(source + "__reached__ = " + expression + "\n", encoding="utf-8")
    for name, source in WARNED.items():
        (tree / f"{name}.py").write_text(source)
    (tree / "ordinary.py").write_text(ORDINARY)
    run = gate("--json", "--policy", root / "policy.toml", tree)
    report = json.loads(run.stdout)
    return {entry["filepath"].rsplit("/", 1)[-1][:-3]: entry for entry in report["files"]}, run, report


@pytest.mark.parametrize("route", sorted(ROUTES))
def test_a_forbidden_module_reached_through_an_allowed_one_fails_the_file(route, judged):
    source, expression, target, *named = ROUTES[route]
    assert defined_in(source, expression) == target  # Python hands it over
    target = named[0] if named else target

    entry = judged[0][route]
    reached = [finding for finding in entry["findings"] if finding["rule"] == "forbidden-module-reached"]
    assert not entry["passed"]
    assert target in {finding["module"] for finding in reached}
    assert all(f"\u2192 {finding['module']}'" in finding["message"] for finding in reached)


ORDINARY = """\
import json
import logging
import logging.handlers
import pickle
import tempfile
import typing
from json import *
from logging import getLogger, handlers as logging_handlers
from typing import Optional

log = getLogger(__name__)
logging.basicConfig(level=logging.INFO)
handler = logging.handlers.RotatingFileHandler("x.log")
other = logging_handlers.QueueHandler
data = pickle.dumps(json.loads(dumps({"a": 1})))
value: Optional[typing.Any] = None
# logging.os in a comment, and "logging.os" in a string, are no chain
text = "logging.os.system"
getLogger().os = 1
directory = tempfile.mkdtemp
log_module = logging
log_module.getLogger("x").info("y")
namespace = vars(logging)
level = vars(logging)["INFO"] + logging.__dict__.get("DEBUG", 0)
same, other = logging, json
temporary: typing.Any = tempfile
temporary.gettempdir()
"""


@pytest.mark.parametrize("route", sorted(WARNED))
def test_a_key_computed_at_run_time_is_a_warning(route, judged):
    entry = judged[0][route]
    assert [finding["rule"] for finding in entry["findings"]] == ["non-constant-dynamic-import"]
    assert entry["findings"][0]["level"] == "warning"


def test_ordinary_use_of_allowed_modules_gets_no_new_finding(judged):
    entry = judged[0]["ordinary"]
    assert entry["findings"] == [] and entry["passed"]


def test_the_report_lists_what_the_allowed_standard_modules_hold_that_is_forbidden(judged, tmp_path):
    (tmp_path / "policy.toml").write_text(POLICY)
    (tmp_path / "plain.py").write_text("x = 1\n")

    text = gate("--policy", tmp_path / "policy.toml", tmp_path / "plain.py").stdout
    reachable = judged[2]["policy"]["reachable"]

    assert reachable["logging"] == ["os", "socket"] and reachable["tempfile"] == ["os", "shutil"]
    assert "typing" not in reachable and "pickle" not in reachable  # they hold none of the forbidden modules
    assert "logging \u2192 os, socket" in text.splitlines()[1]


def test_the_chain_and_the_module_are_named_and_the_run_fails(judged):
    entry, run = judged[0]["attribute_chain"], judged[1]
    (finding,) = [finding for finding in entry["findings"] if finding["rule"] == "forbidden-module-reached"]
    assert "'logging.os \u2192 os'" in finding["message"] and finding["line"] == 2 and finding["column"] == 15
    assert run.returncode == 1


def test_a_plugin_module_of_the_same_name_is_not_followed(tmp_path):
    (tmp_path / "policy.toml").write_text(POLICY + '\n[plugin]\nlocal_modules = ["logging"]\n')
    (tmp_path / "plugin").mkdir()
    (tmp_path / "plugin" / "use.py").write_text("import logging\nlogging.os\n")

    run = gate("--json", "--policy", tmp_path / "policy.toml", tmp_path / "plugin")

    assert run.returncode == 0, run.stdout


def test_nothing_is_followed_when_no_allowed_module_reaches_a_forbidden_one(tmp_path):
    (tmp_path / "policy.toml").write_text('[policy]\nforbidden = ["ctypes"]\nallowed_exact = ["logging"]\n')
    (tmp_path / "plugin").mkdir()
    (tmp_path / "plugin" / "use.py").write_text("import logging\nlogging.os.system\n")

    run = gate("--json", "--policy", tmp_path / "policy.toml", tmp_path / "plugin")

    assert run.returncode == 0, run.stdout
