#!/usr/bin/env python3
"""Checks a plugin tree against an import policy, the way a host would.

    scan_plugins.py [--policy FILE] [--format text|json|sarif|github] [--json]
                    [--audit] [--threads N] DIR

Reads the policy (a TOML file, by default policy.toml beside this script),
scans every .py file below DIR in one scan_directory call and prints a
report in one of four formats:

    text    each file with its errors and warnings, then a summary (default)
    json    one JSON document, {"files": [...], "summary": {...}} (--json too)
    sarif   one SARIF 2.1.0 log, for code-scanning tools
    github  one CI workflow command per finding, then the summary

With --audit, every scanned file is also parsed with Python's own parser,
which finds the imports that the line scan cannot see (`import json, os`,
`x = 1; import os`, `__import__("os")`, ...); those the same policy forbids
or leaves unlisted are added as findings of their own kinds.

Exit status: 0 when every file passed, 1 when at least one file failed (a
forbidden import, hidden or not, or a file that cannot be opened), 2 when
the policy or DIR cannot be used.
"""

import argparse
import ast
import dataclasses
import importlib.metadata
import json
import os
import pathlib
import re
import stat
import sys
import tomllib
import urllib.parse

import scanner_core

DEFAULT_POLICY = pathlib.Path(__file__).with_name("policy.toml")

# The sections and keys a policy file may hold; each value is a list of str.
POLICY_KEYS = {
    "policy": ("forbidden", "allowed_exact", "allowed_prefixes"),
    "plugin": ("local_modules",),
}

# The audit parses a file whole, and its syntax tree takes many times the
# file's size: a larger file (a hostile plugin's, surely) is reported as not
# audited instead of exhausting the memory.
AUDIT_MAX_BYTES = 16 * 1024 * 1024


class PolicyError(Exception):
    pass


@dataclasses.dataclass(frozen=True)
class Kind:
    """A kind of finding: a SARIF rule, a level, and for imports the text
    that stands before the module's name in the message."""

    id: str
    level: str
    description: str
    text: str = ""


# The module's own messages.
FORBIDDEN = Kind("forbidden-import", "error", "An import whose root the policy forbids.", "import interdit \u2014 '")
UNLISTED = Kind("unlisted-import", "warning", "An import on none of the policy's lists.", "import non whitelist\u00e9 \u2014 '")
UNREADABLE = Kind("unreadable-file", "error", "A file that cannot be opened.", "impossible d'ouvrir le fichier")
# A message of the module in none of the forms above is still reported.
OTHER_ERROR = Kind("other-scan-error", "error", "An error of the scan in a form this report does not know.")
OTHER_WARNING = Kind("other-scan-warning", "warning", "A warning of the scan in a form this report does not know.")
# The audit's findings.
HIDDEN_FORBIDDEN = Kind(
    "hidden-forbidden-import", "error",
    "A forbidden import that the line scan does not see, found by Python's parser.", "import cach\u00e9 interdit \u2014 '",
)
HIDDEN_UNLISTED = Kind(
    "hidden-unlisted-import", "warning",
    "An unlisted import that the line scan does not see, found by Python's parser.",
    "import cach\u00e9 non whitelist\u00e9 \u2014 '",
)
DYNAMIC = Kind(
    "non-constant-dynamic-import", "warning",
    "A call of __import__ or import_module whose module name is not a constant string.",
    "import dynamique non constant \u2014 '",
)
UNAUDITED = Kind("unaudited-file", "warning", "A file that the audit could not read or that Python's parser refuses.")

KINDS = (FORBIDDEN, UNLISTED, UNREADABLE, OTHER_ERROR, OTHER_WARNING, HIDDEN_FORBIDDEN, HIDDEN_UNLISTED, DYNAMIC, UNAUDITED)


@dataclasses.dataclass(frozen=True)
class Finding:
    kind: Kind
    line: int | None  # None for a finding about the whole file
    module: str | None
    message: str


@dataclasses.dataclass
class FileReport:
    filepath: str
    findings: list[Finding]

    @property
    def errors(self):
        return [finding.message for finding in self.findings if finding.kind.level == "error"]

    @property
    def warnings(self):
        return [finding.message for finding in self.findings if finding.kind.level == "warning"]

    @property
    def passed(self):
        return not self.errors

    def in_report_order(self):
        """Errors, then warnings, each in the order found, as every format lists them."""
        return sorted(self.findings, key=lambda finding: finding.kind.level != "error")


def load_policy(path):
    """Returns (classifier, local_modules) from a policy file.

    Every key is optional (a missing one is an empty list), but an unknown
    section or key is refused: a misspelt "forbiden" would otherwise
    silently forbid nothing.
    """
    try:
        with open(path, "rb") as stream:
            document = tomllib.load(stream)
    except OSError as error:
        raise PolicyError(f"cannot read {path}: {error.strerror}") from error
    except tomllib.TOMLDecodeError as error:
        raise PolicyError(f"{path} is not valid TOML: {error}") from error

    values = {}
    for section, content in document.items():
        if section not in POLICY_KEYS or not isinstance(content, dict):
            raise PolicyError(f"{path}: unknown section [{section}] (expected [policy] and [plugin])")
        for key, value in content.items():
            if key not in POLICY_KEYS[section]:
                expected = ", ".join(POLICY_KEYS[section])
                raise PolicyError(f"{path}: unknown key {key!r} in [{section}] (expected {expected})")
            if not isinstance(value, list) or not all(isinstance(item, str) for item in value):
                raise PolicyError(f"{path}: [{section}] {key} must be a list of strings")
            values[key] = value

    classifier = scanner_core.ImportClassifier(
        forbidden=set(values.get("forbidden", [])),
        allowed_exact=set(values.get("allowed_exact", [])),
        allowed_prefixes=values.get("allowed_prefixes", []),
    )
    return classifier, frozenset(values.get("local_modules", []))


# --- The scan's findings -----------------------------------------------------


def scan_finding(filepath, message, level):
    """Reads one of the module's messages back into a finding."""
    if message == f"{filepath}: {UNREADABLE.text}":
        return Finding(UNREADABLE, None, None, message)
    line, _, text = message.removeprefix(f"{filepath}:").partition(": ")
    if message.startswith(f"{filepath}:") and line.isascii() and line.isdigit():
        for kind in (FORBIDDEN, UNLISTED):
            if text.startswith(kind.text) and text.endswith("'"):
                return Finding(kind, int(line), text[len(kind.text) : -1], message)
    return Finding(OTHER_ERROR if level == "error" else OTHER_WARNING, None, None, message)


def scan_report(result):
    findings = [scan_finding(result.filepath, m, "error") for m in result.errors]
    findings += [scan_finding(result.filepath, m, "warning") for m in result.warnings]
    return FileReport(result.filepath, findings)


# --- The audit ---------------------------------------------------------------


def judge(classifier, local_modules, module):
    """The module's own verdict on an import: FORBIDDEN, UNLISTED or None.
    Empty and relative names are not judged, nor the plugin's own modules."""
    if not module or module.startswith("."):
        return None
    if module in local_modules or module.partition(".")[0] in local_modules:
        return None
    if classifier.is_forbidden(module):
        return FORBIDDEN
    if classifier.is_allowed(module):
        return None
    return UNLISTED


def printable(text):
    """A string constant may hold anything; in a message, a line break or a
    terminal control character is written as an escape."""
    return "".join(c if c.isprintable() else c.encode("unicode_escape").decode("ascii") for c in text)


def read_for_audit(path):
    """The file's bytes, at most AUDIT_MAX_BYTES + 1 of them. Opened without
    blocking, so that a file swapped for a FIFO since the scan cannot hang
    the audit, and refused unless it is a regular file."""
    descriptor = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
    with open(descriptor, "rb") as stream:
        if not stat.S_ISREG(os.fstat(descriptor).st_mode):
            raise OSError("not a regular file")
        return stream.read(AUDIT_MAX_BYTES + 1)


def scan_line_numbers(data):
    """Maps the parser's line numbers onto the scan's. The parser also ends
    a line at a lone carriage return, the scan only at a line feed."""
    if b"\r" not in data or b"\r" not in data.replace(b"\r\n", b""):
        return lambda line: line
    scan_lines, line = [1], 1
    for match in re.finditer(rb"\r\n|\r|\n", data):
        line += match.group().endswith(b"\n")
        scan_lines.append(line)
    return lambda parser_line: scan_lines[parser_line - 1]


DYNAMIC_IMPORTERS = ("__import__", "import_module")


def callee_name(call):
    """'__import__', 'importlib.import_module', ... for a call of a dynamic
    importer, under whatever name or module alias; None for any other call."""
    function = call.func
    if isinstance(function, ast.Name) and function.id in DYNAMIC_IMPORTERS:
        return function.id
    if isinstance(function, ast.Attribute) and function.attr in DYNAMIC_IMPORTERS:
        return f"{function.value.id}.{function.attr}" if isinstance(function.value, ast.Name) else function.attr
    return None


def argument(call, position, keyword):
    if len(call.args) > position and not any(isinstance(a, ast.Starred) for a in call.args[: position + 1]):
        return call.args[position]
    return next((k.value for k in call.keywords if k.arg == keyword), None)


def is_relative_import_call(call):
    """__import__(name, globals, locals, fromlist, level) with a level above 0."""
    level = argument(call, 4, "level")
    return isinstance(level, ast.Constant) and type(level.value) is int and level.value > 0


def imports_of(tree):
    """Yields (line, module, callee) for every import in the tree: callee is
    None for an import statement, and module None for a dynamic import whose
    name is not a constant string. A from-import is its `from` module, as for
    the scan; relative imports are left out."""
    for node in ast.walk(tree):  # iterative: deep nesting cannot overflow it
        if isinstance(node, ast.Import):
            for alias in node.names:
                yield node.lineno, alias.name, None
        elif isinstance(node, ast.ImportFrom):
            if node.level == 0:
                yield node.lineno, node.module, None
        elif isinstance(node, ast.Call) and (callee := callee_name(node)):
            name = argument(node, 0, "name")
            if isinstance(name, ast.Constant) and isinstance(name.value, str):
                if not is_relative_import_call(node):
                    yield node.lineno, name.value, callee
            else:
                yield node.lineno, None, callee


def unaudited(filepath, text, line=None):
    where = f"{filepath}:{line}" if line else filepath
    return Finding(UNAUDITED, line, None, f"{where}: {printable(text)}")


def parse(filepath, data):
    """The file's syntax tree, or the finding that says why there is none.
    Bytes go to the parser as they are: it reads the byte-order mark and the
    coding declaration itself."""
    try:
        return ast.parse(data, filename=filepath), None
    except SyntaxError as error:  # also an undecodable file, or a NUL byte
        line = error.lineno if isinstance(error.lineno, int) and error.lineno > 0 else None
        return None, unaudited(filepath, f"fichier refus\u00e9 par le parseur Python ({error.msg})", line)
    except Exception as error:  # RecursionError, MemoryError, ...: nothing a plugin writes may stop the report
        reason = f"{type(error).__name__}: {error}" if str(error) else type(error).__name__
        return None, unaudited(filepath, f"fichier refus\u00e9 par le parseur Python ({reason})")


def audit(report, classifier, local_modules):
    """Adds to a file's report the imports that Python's parser finds and the
    scan did not report. The scan's own findings stay as they are."""
    if any(finding.kind is UNREADABLE for finding in report.findings):
        return  # the scan's error already fails the file
    try:
        data = read_for_audit(report.filepath)
    except (OSError, ValueError) as error:
        reason = getattr(error, "strerror", None) or str(error)
        report.findings.append(unaudited(report.filepath, f"fichier illisible pour l'audit ({reason})"))
        return
    if len(data) > AUDIT_MAX_BYTES:
        text = f"fichier trop grand pour l'audit (plus de {AUDIT_MAX_BYTES} octets)"
        report.findings.append(unaudited(report.filepath, text))
        return
    tree, refusal = parse(report.filepath, data)
    if refusal:
        report.findings.append(refusal)
        return

    # An import the scan reported, on the line where it reported it, is not
    # hidden; the same import on another line is.
    seen = {(f.line, f.module) for f in report.findings if f.kind in (FORBIDDEN, UNLISTED)}
    to_scan_line = scan_line_numbers(data)
    added = {}
    for parser_line, module, callee in imports_of(tree):
        line = to_scan_line(parser_line)
        if module is None:
            kind, name = DYNAMIC, callee
        else:
            verdict = judge(classifier, local_modules, module)
            if verdict is None or (line, module) in seen:
                continue
            kind, name = (HIDDEN_FORBIDDEN if verdict is FORBIDDEN else HIDDEN_UNLISTED), module
        message = f"{report.filepath}:{line}: {kind.text}{printable(name)}'"
        added.setdefault(message, Finding(kind, line, name, message))
    report.findings += sorted(added.values(), key=lambda finding: finding.line)


# --- Reports -----------------------------------------------------------------


def summarise(reports):
    return {
        "scanned": len(reports),
        "passed": sum(1 for report in reports if report.passed),
        "failed": sum(1 for report in reports if not report.passed),
        "errors": sum(len(report.errors) for report in reports),
        "warnings": sum(len(report.warnings) for report in reports),
    }


def plural(count, word):
    return f"{count} {word}" if count == 1 else f"{count} {word}s"


def summary_line(summary):
    return (
        f"{plural(summary['scanned'], 'file')} scanned: {summary['passed']} passed, {summary['failed']} failed; "
        f"{plural(summary['errors'], 'error')}, {plural(summary['warnings'], 'warning')}"
    )


def print_text(args, local_modules, reports, summary):
    print(f"Scanning {args.directory} with the policy {args.policy}; local modules: {', '.join(sorted(local_modules)) or 'none'}")
    print()
    for report in reports:
        counts = f"{plural(len(report.errors), 'error')}, {plural(len(report.warnings), 'warning')}"
        verdict = "ok  " if report.passed else "FAIL"
        print(f"{verdict}  {report.filepath}  ({counts})")
        for message in report.errors:
            print(f"      error    {message}")
        for message in report.warnings:
            print(f"      warning  {message}")
    print()
    print(summary_line(summary))


def print_json(args, local_modules, reports, summary):
    files = [
        {"filepath": r.filepath, "passed": r.passed, "errors": r.errors, "warnings": r.warnings} for r in reports
    ]
    print(json.dumps({"files": files, "summary": summary}, indent=2))


SARIF_SCHEMA = "https://docs.oasis-open.org/sarif/sarif/v2.1.0/errata01/os/schemas/sarif-schema-2.1.0.json"
SARIF_BASE = "PLUGINDIR"  # the scanned directory, as artifact URIs are relative to it


def module_version():
    try:
        return importlib.metadata.version("scanner_core")
    except importlib.metadata.PackageNotFoundError:  # used from a build directory
        return "unknown"


def relative_uri(filepath, directory):
    """The file as a URI reference relative to the scanned directory: every
    byte of the name but letters, digits, '/' and '-._~' percent-encoded
    (a blank, a non-ASCII letter, and also ':' so no segment reads as a scheme)."""
    relative = pathlib.PurePath(os.path.relpath(filepath, directory)).as_posix()
    return urllib.parse.quote(os.fsencode(relative), safe="/")


def directory_uri(directory):
    uri = pathlib.Path(directory).resolve().as_uri()
    return uri if uri.endswith("/") else uri + "/"


def sarif_result(finding, filepath, directory):
    location = {"artifactLocation": {"uri": relative_uri(filepath, directory), "uriBaseId": SARIF_BASE}}
    if finding.line is not None:
        location["region"] = {"startLine": finding.line}
    return {
        "ruleId": finding.kind.id,
        "ruleIndex": KINDS.index(finding.kind),
        "level": finding.kind.level,
        "message": {"text": finding.message},
        "locations": [{"physicalLocation": location}],
    }


def print_sarif(args, local_modules, reports, summary):
    rules = [
        {"id": kind.id, "shortDescription": {"text": kind.description}, "defaultConfiguration": {"level": kind.level}}
        for kind in KINDS
    ]
    run = {
        "tool": {"driver": {"name": "scan_plugins", "version": module_version(), "rules": rules}},
        "originalUriBaseIds": {SARIF_BASE: {"uri": directory_uri(args.directory)}},
        "results": [
            sarif_result(finding, report.filepath, args.directory)
            for report in reports
            for finding in report.in_report_order()
        ],
    }
    print(json.dumps({"$schema": SARIF_SCHEMA, "version": "2.1.0", "runs": [run]}, indent=2))


def escape_data(text):
    return text.replace("%", "%25").replace("\r", "%0D").replace("\n", "%0A")


def escape_property(text):
    return escape_data(text).replace(":", "%3A").replace(",", "%2C")


def print_github(args, local_modules, reports, summary):
    for report in reports:
        for finding in report.in_report_order():
            properties = f"file={escape_property(report.filepath)}"
            if finding.line is not None:
                properties += f",line={finding.line}"
            print(f"::{finding.kind.level} {properties}::{escape_data(finding.message)}")
    print(summary_line(summary))


FORMATS = {"text": print_text, "json": print_json, "sarif": print_sarif, "github": print_github}


def thread_count(text):
    try:
        value = int(text)
    except ValueError:
        value = -1
    if value < 0:
        raise argparse.ArgumentTypeError(f"not a thread count: {text!r} (0 means one per hardware thread)")
    return value


def parse_arguments(argv):
    parser = argparse.ArgumentParser(description="Check the imports of a plugin tree against an import policy.")
    parser.add_argument("directory", metavar="DIR", help="the plugin tree to scan")
    parser.add_argument(
        "--policy", metavar="FILE", default=DEFAULT_POLICY, help="policy file (default: policy.toml beside this script)"
    )
    formats = parser.add_mutually_exclusive_group()
    formats.add_argument("--format", choices=FORMATS, default="text", help="report format (default: text)")
    formats.add_argument("--json", dest="format", action="store_const", const="json", help="same as --format json")
    parser.add_argument(
        "--audit", action="store_true", help="also parse each file with Python's parser to find hidden imports"
    )
    parser.add_argument(
        "--threads", metavar="N", type=thread_count, default=0, help="worker threads (default 0: one per hardware thread)"
    )
    return parser, parser.parse_args(argv)


def main(argv=None):
    parser, args = parse_arguments(argv)
    try:
        classifier, local_modules = load_policy(args.policy)
    except PolicyError as error:
        parser.exit(2, f"{parser.prog}: {error}\n")
    try:
        results = classifier.scan_directory(args.directory, local_modules, num_threads=args.threads)
    except RuntimeError as error:
        parser.exit(2, f"{parser.prog}: cannot scan {args.directory}: {error}\n")
    try:
        reports = [scan_report(result) for result in results]
    except UnicodeDecodeError:
        parser.exit(2, f"{parser.prog}: cannot report on {args.directory}: a file name below it is not UTF-8\n")

    # The scan returns files in directory-listing order, which differs from
    # one file system to another; sorted, the report reads the same anywhere.
    reports.sort(key=lambda report: report.filepath)
    if args.audit:
        for report in reports:
            audit(report, classifier, local_modules)
    summary = summarise(reports)
    FORMATS[args.format](args, local_modules, reports, summary)
    return 1 if summary["failed"] else 0


if __name__ == "__main__":
    sys.exit(main())
