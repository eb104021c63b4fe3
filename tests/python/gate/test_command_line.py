"""The quick reading of the command line against argparse's: wherever it
answers, it answers as argparse does; where it does not, argparse reads
the line, so every refusal and its message stay argparse's."""

import pathlib

import pytest

from scanner_gate import command_line
from scanner_gate.arguments import parser
from scanner_gate.policy import as_named

READ_ALIKE = [
    ["plugins"],
    ["a", "b", "c"],
    ["--policy", "p.toml", "plugins"],
    ["--policy=p.toml", "--json", "-q", "plugins", "x.py"],
    ["--format", "sarif", "--no-audit", "--threads", "3", "--fail-on", "warning", "--baseline", "b.json", "p"],
    ["--format=gitlab", "--threads=0", "--fail-on=error", "--baseline=", "--quiet", "p"],
    ["--json", "--json", "p"],
    ["--policy", "a", "--policy", "b", "p"],
    ["--", "-h", "--json"],
    ["--policy", "p.toml", "--", "p"],
    ["-", "p"],
    ["", "p"],
    ["--threads", "1024", "p"],
    ["--output", "json:r.json", "--output=sarif:-", "--statistics", "--format", "github", "p"],
    ["--output", "text:a:b", "p"],
]
LEFT_TO_ARGPARSE = [
    [],
    ["-h"],
    ["--version", "p"],
    ["--json", "--format", "text", "p"],
    ["--format", "xml", "p"],
    ["--threads", "1025", "p"],
    ["--threads", "-1", "p"],
    ["--threads", "\u0663", "p"],
    ["--policy", "-x", "p"],
    ["--policy"],
    ["p", "--json"],
    ["p", "--json", "q"],
    ["--pol", "x", "p"],
    ["-qh", "p"],
    ["--"],
    ["p", "--", "q"],
    ["--", "p", "--", "q"],
    ["--no-audit=1", "p"],
    ["--output", "xml:r.xml", "p"],
    ["--output", "json:", "p"],
    ["--output", "json", "p"],
]


@pytest.mark.parametrize("argv", READ_ALIKE, ids=" ".join)
def test_a_plain_line_reads_as_argparse_reads_it(argv):
    quick = command_line.parse(argv)
    assert quick is not None
    assert vars(quick) == vars(parser().parse_args(argv))


@pytest.mark.parametrize("argv", LEFT_TO_ARGPARSE, ids=" ".join)
def test_any_other_line_is_left_to_argparse(argv):
    assert command_line.parse(argv) is None


@pytest.mark.parametrize("path", ["a", "./a", "a/", "a//b", "/a", "//a", "///a", ".", "", "a/./b", "a/../b", "/",
                                  "//", "x/./pyproject.toml/"])
def test_a_policy_is_named_as_pathlib_names_it(path):
    assert as_named(path) == str(pathlib.Path(path))
