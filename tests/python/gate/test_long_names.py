"""Module names of hundreds of kilobytes, which the engine reads across the
pieces of a file and which its line scan lends to its audit instead of both
gathering them: the full verdict is the line scan's records and Python's
own reading (its parser as the oracle), whichever byte of the name or
around it a piece ends on, whatever form the statement takes and however
the file is encoded."""

import pathlib
import sys

import pytest

import scanner_audit
import scanner_core
from scanner_gate.findings import audit_findings, scan_findings

sys.path.insert(0, str(pathlib.Path(__file__).parents[2] / "proof"))
import ast_audit  # noqa: E402 - the oracle lives with the proof

POLICY = ({"os", "subprocess"}, {"json"}, [])
SCANNER = scanner_audit.Scanner(*POLICY)
LINE_SCAN = scanner_core.ImportClassifier(*POLICY)
LOCAL = frozenset({"mine"})

PIECE = 256 * 1024  # the engine reads a file through a buffer of this size
# Where the name ends, from the end of the file's first piece: on the
# bytes the line scan keeps back for its next block, and either side.
ENDS = (-4000, -65, -64, -1, 0, 1, 70)

# (head, tail) around the name G: each a way a statement holds a long name.
FORMS = {
    "plain import": (b"import ", b"\nx = 1\n"),
    "import then alias": (b"import ", b" as g\n"),
    "from import": (b"from ", b" import x\n"),
    "relative from import": (b"from ...", b" import x\n"),
    "dotted, the name first": (b"import ", b".tail\n"),
    "dotted, both parts long": (b"import ", b"." + b"b" * 40000 + b" as g\n"),
    "dotted, short parts after it": (b"from ", b".a" * 40 + b" import x\n"),
    "dotted, with blanks the line scan stops at": (b"import ", b" . tail\n"),
    "statement the line scan rejects": (b"import ", b";x = 1\n"),
    "cut short by a character the line scan does not take": (b"import ", "\u00e9t\u00e9\n".encode()),
    "called": (b"", b"()\n"),
}
ENCODINGS = {"utf-8": b"", "utf-8 with a byte-order mark": b"\xef\xbb\xbf", "latin-1": b"# coding: latin-1\n"}


def source(prefix, head, tail, end):
    """A file whose name starts in its first piece and ends `end` bytes after it."""
    before = len(prefix) + len(head)
    name = bytes(b"abcdefghijklmnopqrstuvwxyz_0123456789"[k % 37] for k in range(PIECE + end - before))
    return prefix + head + name + tail


def reported(path):
    report = SCANNER.scan_file(str(path), set(LOCAL))
    return report, sorted((f.kind.id, f.line, f.module, f.message) for f in audit_findings(report))


@pytest.mark.parametrize("encoding", ENCODINGS)
@pytest.mark.parametrize("form", FORMS)
def test_a_long_name_across_pieces_is_judged_as_python_reads_it(tmp_path, form, encoding):
    head, tail = FORMS[form]
    failures = []
    for end in ENDS:
        path = tmp_path / f"plugin{end}.py"
        path.write_bytes(source(ENCODINGS[encoding], head, tail, end))
        report, audited = reported(path)
        expected = ast_audit.audit(report.filepath, scan_findings(report), SCANNER, LOCAL, report.deferred_encoding)
        if audited != sorted((f.kind.id, f.line, f.module, f.message) for f in expected):
            failures.append(f"audit, name ending at {end}")
        line_scan = LINE_SCAN.scan_file(str(path), set(LOCAL))
        if [f.message for f in scan_findings(report)] != line_scan.errors + line_scan.warnings:
            failures.append(f"records, name ending at {end}")
    assert not failures


def test_the_name_a_record_reports_is_whole_and_the_audit_adds_nothing(tmp_path):
    path = tmp_path / "plugin.py"
    path.write_bytes(source(b"", b"import ", b"\nx = 1\n", -1))
    name = path.read_bytes()[len(b"import ") : -len(b"\nx = 1\n")]

    report = SCANNER.scan_file(str(path), set(LOCAL))

    assert [(f.kind.id, f.line, f.module) for f in scan_findings(report)] == [("unlisted-import", 1, name.decode())]
    assert audit_findings(report) == []


@pytest.mark.parametrize(
    "head",
    [b"x = ", "\u00e9 = 1; x = ".encode(), b"from ", "from \u00e9".encode()],
    ids=["name", "name after a wider character", "dots", "dots after a wider character"],
)
@pytest.mark.parametrize("end", [-1, 0, 1, 70])
def test_a_call_after_a_long_name_or_run_of_dots_has_its_column_in_characters(tmp_path, head, end):
    dots = head.startswith(b"from")
    text = source(b"", head, b" import x; __import__('os')\n" if dots else b"; __import__('os')\n", end)
    if dots:  # the name's bytes as dots, after the head
        text = head + b"." * (PIECE + end - len(head)) + text[PIECE + end :]
    path = tmp_path / "plugin.py"
    path.write_bytes(text)

    report = SCANNER.scan_file(str(path), set(LOCAL))

    calls = [f for f in report.findings if f.module == "os"]
    assert [f.column for f in calls] == [len(text[: text.index(b"__import__")].decode()) + 1]


def test_lines_of_long_names_one_after_another_are_each_reported_whole(tmp_path):
    names = [bytes([ord("a") + k]) * (60000 + 7 * k) for k in range(12)]  # three pieces' worth
    path = tmp_path / "plugin.py"
    path.write_bytes(b"".join(b"import " + name + (b"\n" if k % 2 else b" as x\n") for k, name in enumerate(names)))

    report = SCANNER.scan_file(str(path), set(LOCAL))

    assert [(f.line, f.module) for f in scan_findings(report)] == [(k + 1, n.decode()) for k, n in enumerate(names)]
    assert audit_findings(report) == []


def test_a_long_import_inside_a_string_is_text_and_reported_by_neither(tmp_path):
    path = tmp_path / "plugin.py"
    path.write_bytes(source(b'x = """\n', b"import ", b'\n"""\n', 1))

    report = SCANNER.scan_file(str(path), set(LOCAL))

    assert LINE_SCAN.scan_file(str(path), set(LOCAL)).warnings  # the line scan alone takes it for an import
    assert scan_findings(report) == [] and audit_findings(report) == []
