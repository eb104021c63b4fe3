"""The engine's ready-made report blocks against the command's own Python
formats, which write files the engine cannot (codecs only Python decodes,
runs with a baseline): both must give the same bytes, whatever the names."""

import os
import pathlib
import random

import pytest

import scanner_audit
from scanner_gate import fingerprint, json_report, text_report
from scanner_gate.escape import escape
from scanner_gate.findings import FileReport, line_order

# Every import here is unlisted, so that each name becomes a finding.
SCANNER = scanner_audit.Scanner({"os", "subprocess"}, {"json"}, [])
LONG = "a" * 1500


def long_lines() -> bytes:
    """Lines of finding far longer than the pieces files are read back in
    (64 KiB), words and runs of every kind of ASCII whitespace falling
    across the pieces' ends."""
    pick = random.Random(24)
    lines = []
    for module in ("os", "subprocess"):
        words = [pick.choice([b"w", b"word", b"\xc3\xa9", b" ", b"\t", b"\x0b\x0c", b"  \r"]) for _ in range(60000)]
        lines.append(b"import " + module.encode() + b"  # " + b"".join(words))
    return b"\n".join(lines) + b"\r\n"

SOURCES = {
    # Names Python decodes to characters that do not print, that stand for
    # bytes, that lie beyond the BMP, lone surrogates, quotes and backslashes.
    b"names.py": (
        "import os\n"
        "  import   os  \t\r\n"
        "import os; import os\n"
        '"""\nimport subprocess\n"""\n'
        "__import__('a\\x1bb\\u0085c\\u00ad\\u200b\\u202e')\n"
        "__import__('\\udc80\\ud800z')\n"
        "__import__('\\U0001f600\\U000e0001\u00e9\u4e2d')\n"
        "__import__('q\"uo\\\\te')\n"
        "__import__(name)\n"
        f"import {LONG}\n"
        "from . import x\n"
    ).encode("utf-8"),
    # A file name that is not UTF-8, with control characters and a
    # backslash, and a line that is not UTF-8 either.
    b"caf\xe9 \x1b[31m\\ \"q\" \xed\xa0\x80.py": b"import subprocess\n# \xff\xfe\nimport yaml\n",
    b"clean.py": b"import json\n",
    b"long_lines.py": long_lines(),
    b"empty.py": b"",
    b"refused.py": b"import os\ndef (:\n",
}


@pytest.fixture
def tree(tmp_path):
    for name, content in SOURCES.items():
        (tmp_path / os.fsdecode(name)).write_bytes(content)
    return tmp_path


def made_here(native, fail_on_warning):
    """A report of the same findings, which the command's Python writes."""
    report = FileReport(native.filepath, None, fail_on_warning, native=native)
    return FileReport(native.filepath, list(report.findings), fail_on_warning)


def records(tree, digests):
    return SCANNER.scan_tree(str(tree), set(), num_threads=1, audit=True, digests=digests)


@pytest.mark.parametrize("fail_on_warning", [False, True])
def test_text_block_is_the_text_report_of_the_same_findings(tree, fail_on_warning):
    for native in records(tree, False):
        assert native.text_block(fail_on_warning).decode("utf-8") == text_report.file_text(
            made_here(native, fail_on_warning))


@pytest.mark.parametrize("digests", [False, True])
def test_json_block_is_the_json_report_of_the_same_findings_fingerprinted_alike(tree, digests):
    names = fingerprint.FileNames([str(tree)])
    for native in records(tree, digests):
        name = names.key(native.filepath)
        here = made_here(native, False)
        findings = sorted(here.findings, key=line_order)
        lines = [finding.line for finding in findings if finding.line is not None]
        # The Python reading of the lines, which files read through a codec still use.
        marked = fingerprint._fingerprinted(findings, name, fingerprint.line_digests(native.filepath, lines))
        assert native.fingerprints(name) == [finding.fingerprint for finding in marked]
        parts: list[str] = []
        json_report._file(here.replace(marked), False, parts)
        assert native.json_block(False, name).decode("ascii") == "".join(parts)


def test_fingerprints_tell_repeated_lines_apart_and_skip_lines_gone(tree):
    [native] = [record for record in records(tree, False) if record.filepath.endswith("names.py")]
    prints = native.fingerprints("names.py")
    assert len(set(filter(None, prints))) == len(prints)  # `import os; import os` ranks 0 and 1
    # The file loses its lines after the scan: their findings have no fingerprint.
    pathlib.Path(native.filepath).write_bytes(b"import os")
    assert native.fingerprints("names.py")[0] is not None
    assert native.fingerprints("names.py")[1:] == [None] * (len(prints) - 1)


def test_a_long_message_is_shown_elided_and_marked_in_text_and_whole_in_json(tree):
    [native] = [record for record in records(tree, False) if record.filepath.endswith("names.py")]
    text = native.text_block(False).decode("utf-8")
    [line] = [line for line in text.splitlines() if "aaaa" in line]
    hidden = len(escape(native.filepath)) + len(":12: import non whitelisté — ''") + len(LONG) - 700
    assert f" [\u2026 {hidden} characters not shown \u2026] " in line
    assert LONG not in text
    assert LONG in native.json_block(False, "names.py").decode("ascii")


def test_files_written_together_read_as_each_written_alone(tree):
    natives = records(tree, True)
    names = [f"n{index}" for index in range(len(natives))]
    pieces: list[bytes] = []
    scanner_audit.write_json_blocks(natives, names, True, True, lambda piece: pieces.append(bytes(piece)))
    alone = [native.json_block(True, name).decode("ascii") for native, name in zip(natives, names)]
    assert b"".join(pieces).decode("ascii") == "[\n" + ",\n".join(alone)
    texts: list[bytes] = []
    scanner_audit.write_text_blocks(natives, True, lambda piece: texts.append(bytes(piece)))
    assert b"".join(texts) == b"".join(native.text_block(True) for native in natives)
