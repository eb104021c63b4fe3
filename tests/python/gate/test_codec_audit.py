"""Files in codecs that only Python decodes, read as the command reads them
(Python's incremental decoder, then the native audit), held to Python's own
parser on a catalogue of codecs: the same findings on the same lines, and
the same refusals in the same words, however the file is cut into pieces."""

import ast
import os
import pathlib
import sys

import pytest

import scanner_audit
from scanner_gate import codec_audit
from scanner_gate.findings import UNAUDITED, scan_findings

sys.path.insert(0, str(pathlib.Path(__file__).parents[2] / "proof"))
import ast_audit  # noqa: E402 - the oracle lives with the proof

SCANNER = scanner_audit.Scanner({"os", "sys", "subprocess"}, {"json"}, [])
LOCAL = frozenset({"mine"})

IMPORTS = "import os\nx = 1; import sys\nif x: import json, subprocess\n__import__('os'); __import__(x)\nimport mine\n"


def text_in(codec, text):
    return f"# coding: {codec}\n{text}".encode(codec)


# Sent to Python's own reading by a name spelled with \N{...}.
BOM_DEFERRED = b"\xef\xbb\xbfx = __import__('\\N{LATIN SMALL LETTER O}s')\n" + IMPORTS.encode()

ACCEPTED = {
    "cp1252": text_in("cp1252", "x = '\u20ac\u00e9\u2019'\n" + IMPORTS),
    "latin-9": text_in("iso8859-15", "s = '\u20ac'  # \u0152uvre\n" + IMPORTS),
    "koi8-r": text_in("koi8-r", "# \u043f\u0440\u0438\u0432\u0435\u0442\n" + IMPORTS),
    "shift_jis": text_in("shift_jis", "x = '\u65e5\u672c\u8a9e\u30bd'\n" + IMPORTS),
    "euc_jp": text_in("euc_jp", "x = '\u8868'\n" + IMPORTS),
    "gb18030": text_in("gb18030", "x = '\u4e2d\u6587\U0001f600'\n" + IMPORTS),
    "iso2022_jp": text_in("iso2022_jp", "x = '\u65e5\u672c'\ny = '\u8a9e'; import os\n" + IMPORTS),
    "utf8 spelled as Python's reader does not know it": b"# coding: utf8\nx = '\xc3\xa9'\n" + IMPORTS.encode(),
    "latin1 spelled likewise": b"# vim: set fileencoding=latin1 :\nx = '\xe9'\n" + IMPORTS.encode(),
    # Line breaks that decoding makes: UTF-7's, and the escapes' of unicode_escape.
    "utf-7 line feeds": b"# coding: utf-7\nimport os+AAo-import sys+AAo-x = '+AOk-'; import json, subprocess\nimport os\n",
    "utf-7 carriage return in a string": b"# coding: utf-7\nx = 'a+AA0-b'; import sys\n",
    "a declaration that decodes to another name": b"# coding: utf-7+AC0-8\nimport os\nx = 1; import sys\n",
    "utf-7 carriage return and line feed": b"# coding: utf-7\nx = 1+AA0ACg-import sys\n",
    "unicode_escape joined lines": b"# coding: unicode_escape\nx = 1 + \\\n2\nimport os\nimport sys; y = '\\\nz'\nimport os\n",
    "unicode_escape made lines": b"# coding: unicode_escape\nx = 1\\nimport os\\r\\nimport sys\\n\nimport os\n",
    "unicode_escape carriage returns in strings":
        b"# coding: unicode_escape\nx = 'a\\r' + 'import sys'; y = f'\\r{1}' + '\\r'\nz = 1; import os\n",
    "unicode_escape names": b"# coding: unicode_escape\n__import__('\\\\x6fs')\n\\x69mport sys\n",
    "raw_unicode_escape": b"# coding: raw_unicode_escape\nx = 1\\u000aimport os\nimport sys\\u000a\n",
    # Line breaks of the bytes, which Python makes line feeds before it decodes.
    "carriage returns": b"# coding: cp1252\rimport os\r\nx = 1; import sys\rimport os\r\r\nimport sys",
    "no line feed at the end": b"# coding: unicode_escape\nimport os\nx = 1; import sys",
}

REFUSED = {
    "undecodable byte": b"# coding: cp1252\nimport os\nx = '\x81'\nimport sys\n",
    "undecodable bytes after an import": text_in("shift_jis", "import os\n" * 50) + b"x = '\x82'\n",
    "truncated escape": b"# coding: unicode_escape\nimport os\nx = '\\x4'\n",
    "lone surrogate": b"# coding: unicode_escape\nimport os\nx = '\\ud800\\udc00\\ud800'\n",
    "surrogate before an undecodable byte": b"# coding: unicode_escape\nx = '\\ud800'\nimport os\ny = '\\x4'\n",
    "unknown codec": b"# coding: no-such-codec\nimport os\n",
    "a codec of bytes": b"# coding: hex\nimport os\n",
    "a codec of text to text": b"# coding: rot13\nvzcbeg bf\n",
    "utf-16": b"# coding: utf-16\nimport os\n",
    "utf-32": b"# coding: utf-32\nimport os\n",
    # The line feed Python adds at the end is decoded with the rest.
    "utf-16 without a line feed at the end": b"# coding: utf-16\nimport os",
    "EBCDIC": b"# coding: cp037\n" + "import os\n".encode("cp037"),
    "byte-order mark with another codec": b"\xef\xbb\xbf# coding: cp1252\nimport os\n",
    "NUL that decoding makes": b"# coding: unicode_escape\nimport os\\x00\n",
}

PIECE_SIZES = (1, 2, 3, 7, codec_audit.PIECE_BYTES)


def audited(path, piece_bytes, monkeypatch):
    """(rule, line, module, message) of the audit as the command makes it."""
    monkeypatch.setattr(codec_audit, "PIECE_BYTES", piece_bytes)
    report = SCANNER.scan_file(path, set(LOCAL))
    scanned = scan_findings(report)
    if report.deferred_encoding is None:  # a file the engine reads itself
        return sorted((f.rule, f.line, f.module, f.message) for f in report.findings)
    findings = codec_audit.audit(report.filepath, scanned, SCANNER, LOCAL, report.deferred_encoding)
    return sorted((f.kind.id, f.line, f.module, f.message) for f in findings)


def oracle(path):
    report = SCANNER.scan_file(path, set(LOCAL))
    findings = ast_audit.audit(report.filepath, scan_findings(report), SCANNER, LOCAL, report.deferred_encoding)
    return sorted((f.kind.id, f.line, f.module, f.message) for f in findings)


def test_the_codec_named_for_python_decodes_the_file_as_python_reads_it(tmp_path):
    path = tmp_path / "plugin.py"
    path.write_bytes(BOM_DEFERRED)
    report = SCANNER.scan_file(str(path), set(LOCAL))
    codec = report.deferred_encoding
    assert codec is not None, "the file must be one only Python judges"
    assert ast.dump(ast.parse(BOM_DEFERRED.decode(codec))) == ast.dump(ast.parse(BOM_DEFERRED))
    # The command's reading takes the mark for the one Python drops, not for another codec's.
    findings = codec_audit.audit(report.filepath, scan_findings(report), SCANNER, LOCAL, codec)
    assert findings and not any("BOM" in finding.message for finding in findings)


@pytest.mark.parametrize("piece_bytes", PIECE_SIZES)
@pytest.mark.parametrize("name", ACCEPTED)
def test_findings_and_lines_are_pythons(tmp_path, monkeypatch, name, piece_bytes):
    path = tmp_path / "plugin.py"
    path.write_bytes(ACCEPTED[name])
    expected = oracle(str(path))
    assert expected and all(rule != UNAUDITED.id for rule, *_ in expected), "the catalogue's file must parse"
    assert audited(str(path), piece_bytes, monkeypatch) == expected


@pytest.mark.parametrize("piece_bytes", PIECE_SIZES)
@pytest.mark.parametrize("name", REFUSED)
def test_what_python_refuses_fails_with_its_reason(tmp_path, monkeypatch, name, piece_bytes):
    path = tmp_path / "plugin.py"
    path.write_bytes(REFUSED[name])
    [(rule, line, _, message)] = oracle(str(path))
    assert rule == UNAUDITED.id
    [(our_rule, our_line, _, our_message)] = audited(str(path), piece_bytes, monkeypatch)
    assert our_rule == UNAUDITED.id
    if line is None:  # refused as it is decoded: Python's own words, positions included
        assert (our_line, our_message) == (line, message)


@pytest.mark.parametrize("piece_bytes", PIECE_SIZES)
def test_a_carriage_return_that_decoding_makes_in_code_hides_no_import(tmp_path, monkeypatch, piece_bytes):
    # Python refuses these; what its tokens show after the return is still read.
    path = tmp_path / "plugin.py"
    path.write_bytes(b"# coding: unicode_escape\nx = 1\\rimport os\n# note\\rimport sys\n")
    assert oracle(str(path))[0][0] == UNAUDITED.id
    found = {(line, module) for rule, line, module, _ in audited(str(path), piece_bytes, monkeypatch)}
    assert found == {(2, "os"), (3, "sys")}


def test_a_codec_that_holds_back_a_long_stretch_fails_it_unread(tmp_path, monkeypatch):
    # UTF-7 decodes a base64 run only once it ends, again from its start at
    # every piece: an endless run would cost the square of its length.
    monkeypatch.setattr(codec_audit, "PIECE_BYTES", 16)
    monkeypatch.setattr(codec_audit, "MAX_HELD_BACK", 64)
    path = tmp_path / "plugin.py"
    path.write_bytes(b"# coding: utf-7\nimport os\nx = '+" + b"AGEAYgBj" * 12 + b"-'\n")
    [finding] = codec_audit.audit(str(path), [], SCANNER, LOCAL, "utf-7")
    assert finding.kind is UNAUDITED and "retient plus de 64 octets" in finding.message
    monkeypatch.setattr(codec_audit, "MAX_HELD_BACK", 200)
    assert [f.module for f in codec_audit.audit(str(path), [], SCANNER, LOCAL, "utf-7")] == ["os"]


def test_a_file_changed_into_a_fifo_since_the_scan_fails_unread(tmp_path):
    fifo = tmp_path / "plugin.py"
    os.mkfifo(fifo)
    [finding] = codec_audit.audit(str(fifo), [], SCANNER, LOCAL, "cp1252")
    assert finding.kind is UNAUDITED and "fichier illisible pour l'audit" in finding.message
