"""The instruction set the byte kernels run on changes no result: the line
scan and the full verdict of a tree dense in what the kernels look for are
the same in a child interpreter forced to each set by SCANNER_CORE_ISA, and
a value that names no set, or one the processor lacks, is said on standard
error and the widest set taken instead."""

import json
import os
import pathlib
import subprocess
import sys
import sysconfig

import pytest

from conftest import POLICY

SETS = ("plain", "sse2", "avx2", "avx512", "avx512vbmi")

# What the child prints: the set it ran on, then every message and finding.
CHILD = r"""
import json, sys
import scanner_audit, scanner_core
forbidden, exact, prefixes = json.loads(sys.argv[2])
tree, local = sys.argv[1], {"local_pkg"}
lines = scanner_core.ImportClassifier(set(forbidden), set(exact), prefixes).scan_directory(tree, local, 1)
full = scanner_audit.Scanner(set(forbidden), set(exact), prefixes).scan_directory(tree, local, 1, audit=True)
print(json.dumps({
    "set": scanner_audit.instruction_set(),
    "lines": sorted(map(repr, lines)),
    "full": sorted((r.filepath, r.passed, r.errors, r.warnings, r.finding_tuples) for r in full),
}))
"""

STDLIB_SAMPLES = ("test/test_fstring.py", "test/test_grammar.py", "test/test_tokenize.py",
                  "test/test_string_literals.py", "test/test_unicode_identifiers.py", "json/decoder.py")


@pytest.fixture(scope="module")
def tree(tmp_path_factory):
    """Real code dense in strings, f-strings and names, and shapes made to
    cross vector and block edges: long lines, long names, line ends of every
    kind, bytes above 0x7f, imports hidden in strings and shown in code."""
    root = tmp_path_factory.mktemp("kernels")
    lib = pathlib.Path(sysconfig.get_paths()["stdlib"])
    for sample in STDLIB_SAMPLES:
        source = lib / sample
        if source.exists():
            (root / sample.replace("/", "_")).write_bytes(source.read_bytes())
    pad = "x" * 61
    (root / "edges.py").write_text(
        "".join(f"{' ' * k}import os  # {pad[:k]}\n" for k in range(70))
        + "".join(f"s{k} = '{pad[:k]}import sys'; from subprocess import run\n" for k in range(70))
        + f"f'{{{'y' * 100}}}{{__import__(\"os\")}}'\r\nimport {'a' * 200}.b\rimport json\r\n"
        + "é = 1; import toolkit.api.x\n" + "getattr(__builtins__, '__imp' + 'ort__')('os')\n"
        + "x = 1 \\\n  ; import subprocess\n" + ("z = 1\n" * 200) + "# trailing import os",
        encoding="utf-8")
    (root / "long_line.py").write_text("import os.path as p, " + "q." * 5000 + "r\n" + "v = '" + "w" * 9000 + "'\n")
    (root / "latin.py").write_bytes(b"# -*- coding: latin-1 -*-\ns = '\xe9import os'\nimport subprocess\n")
    return root


def run_child(tree, value):
    env = dict(os.environ)
    env.pop("SCANNER_CORE_ISA", None)
    if value is not None:
        env["SCANNER_CORE_ISA"] = value
    done = subprocess.run([sys.executable, "-c", CHILD, str(tree), json.dumps([sorted(POLICY[0]), sorted(POLICY[1]), POLICY[2]])],
                          env=env, capture_output=True, text=True, check=True, timeout=120)
    return json.loads(done.stdout), done.stderr


def test_every_set_gives_the_verdicts_of_the_widest(tree):
    widest, quiet = run_child(tree, None)
    assert quiet == ""
    assert widest["set"] in SETS
    assert any(errors for _, _, errors, _, _ in widest["full"])  # the tree does hold findings
    ran = set()
    for name in SETS:
        forced, said = run_child(tree, name)
        if forced["set"] != name:  # a set this processor lacks
            assert forced["set"] == widest["set"] and f"SCANNER_CORE_ISA={name} is not available" in said
            continue
        ran.add(name)
        assert said == ""
        assert forced["lines"] == widest["lines"], name
        assert forced["full"] == widest["full"], name
    assert {"plain", widest["set"]} <= ran


@pytest.mark.parametrize("value", ["avx3", "SSE2", "sse2 "])
def test_a_value_naming_no_set_is_said_and_the_widest_taken(tree, value):
    widest, _ = run_child(tree, None)
    forced, said = run_child(tree, value)
    assert forced["set"] == widest["set"]
    assert f"SCANNER_CORE_ISA={value} names none of plain, sse2, avx2, avx512, avx512vbmi" in said
    assert forced["full"] == widest["full"]
