"""Names chosen to forge the report: control characters, bidirectional
overrides, bytes that are not UTF-8, and names that read as options. In
every format each name is shown escaped, reads back to its exact bytes, and
the exit status is the verdict."""

import json
import os
import re

import pytest

from .conftest import has_control, unescape
from .test_reports import every_format

# Each name with the import in it; the verdict is the file's.
NAMES = {
    b"evil\x1b[2K\rok    .py": (b"import os\n", "FAIL"),  # erases its FAIL line and writes "ok"
    b"caf\xe9.py": (b"import json, os\n", "FAIL"),  # not UTF-8, and only the audit sees os
    b"line\nbreak\x7f.py": (b"import json\n", "ok  "),
    b"csi\xc2\x9b2J\xe2\x80\xaeyp.exe.py": (b"import json\n", "ok  "),  # C1 CSI, then a right-to-left override
    b"back\\x1b.py": (b'__import__("a\\x1b[2Kb")\n', "ok  "),  # a real backslash; a module name with ESC
}


@pytest.fixture
def hostile(project):
    for name, (content, _) in NAMES.items():
        project.write(b"myplugin/" + name, content)
    return project


def real_name(shown):
    return os.path.basename(unescape(shown))


class TestHostileNames:
    def test_text_shows_every_name_escaped_with_its_own_verdict(self, hostile):
        completed = hostile.run("--verbose", "plugins")

        assert completed.returncode == 1
        assert not has_control(completed.stdout)
        verdicts = {}
        for line in completed.stdout.splitlines():
            if line.startswith(("ok    ", "FAIL  ")):
                verdict, shown = line[:4], line[6:].rpartition("  (")[0]
                verdicts[real_name(shown)] = verdict
            elif line.startswith("      "):
                level, rule, message = line.split(None, 2)
                assert re.fullmatch(r"\[[a-z-]+\]", rule), line
                assert unescape(message).startswith(b"plugins/myplugin/"), message
        assert verdicts == {b"__init__.py": "ok  ", b"core.py": "ok  ", **{n: v for n, (_, v) in NAMES.items()}}
        assert "FAIL  plugins/myplugin/evil\\x1b[2K\\x0dok    .py  (1 error, 0 warnings)" in completed.stdout
        assert "FAIL  plugins/myplugin/caf\\xe9.py  (1 error, 0 warnings)" in completed.stdout
        assert "plugins/myplugin/csi\\u009b2J\\u202eyp.exe.py" in completed.stdout
        assert "plugins/myplugin/back\\\\x1b.py:1: import cach\u00e9 non whitelist\u00e9 \u2014 'a\\\\x1b[2Kb'" in completed.stdout

    def test_every_format_holds_the_same_escaped_names_in_strict_json(self, hostile):
        document, status = every_format("plugins", cwd=hostile.root)

        assert status == 1
        for fmt in ("json", "sarif", "github", "gitlab"):
            output = hostile.run("--format", fmt, "plugins").stdout
            assert output.isascii() or fmt == "github"
            assert not has_control(output)
        # Strict JSON: no lone surrogate, whatever the name.
        text = json.dumps(document, ensure_ascii=False)
        text.encode("utf-8")
        files = {real_name(f["filepath"]): f for f in document["files"]}
        assert set(files) == {b"__init__.py", b"core.py", *NAMES}
        assert [f["rule"] for f in files[b"caf\xe9.py"]["findings"]] == ["hidden-forbidden-import"]
        [dynamic] = files[b"back\\x1b.py"]["findings"]
        assert (dynamic["module"], dynamic["rule"]) == ("a\\x1b[2Kb", "hidden-unlisted-import")

    def test_a_name_that_is_not_utf8_no_longer_hides_the_others(self, project):
        project.write(b"myplugin/caf\xe9.py", b"import json\n")

        passing = project.run("--verbose", "plugins")
        project.write("myplugin/shell.py", "import subprocess\n")
        failing = project.run("--json", "plugins")

        assert passing.returncode == 0, passing.stderr
        assert "ok    plugins/myplugin/caf\\xe9.py  (0 errors, 0 warnings)" in passing.stdout
        assert failing.returncode == 1
        assert [f["passed"] for f in json.loads(failing.stdout)["files"]] == [True, True, True, False]

    @pytest.mark.parametrize("name", ["-h", "--version", "--no-audit", "--policy=lax.toml", "--"])
    def test_a_file_named_as_an_option_is_refused_not_obeyed(self, project, name):
        # A hook runner passes file names after the options: a file named
        # like an option at the repository's root must not steer the run.
        (project.root / name).write_text("#!/usr/bin/env python\nimport os\n")

        completed = project.run(name, "plugins/myplugin/core.py")
        with_separator = project.run("--", name, "plugins/myplugin/core.py") if name != "--" else None

        assert completed.returncode == 2
        assert completed.stdout == ""
        assert f"{name}: both an option and an existing file" in completed.stderr
        if with_separator:
            assert with_separator.returncode == 1, with_separator.stderr
            assert f"FAIL  {name}  (1 error, 0 warnings)" in with_separator.stdout


def test_a_tree_reported_while_it_is_read_reads_as_one_read_whole_first(hostile):
    """The stream of a tree's records is ordered from the walk's names: a
    name whose bytes are not UTF-8 sorts as its text does (a lone \\xc3
    before an x sorts after é, whose bytes it begins), the walk's problems
    (bytecode, a dangling link) among the files, every finding the same."""
    from scanner_gate import policy as policies
    from scanner_gate.options import Options
    from scanner_gate.scan import scan

    hostile.write(b"myplugin/\xc3x.py", b"import os\n")
    hostile.write("myplugin/\u00e9.py", "import os\nfrom . import gone\n")
    hostile.write(b"myplugin/old.pyc", b"")
    os.symlink(hostile.root / "nowhere.py", hostile.tree / "myplugin" / "dangling.py")
    policy = policies.load_file(str(hostile.root / "pyproject.toml"))

    def read(streamed):
        options = Options(fingerprints=True, streamed=streamed)
        return [(report.filepath, report.findings) for report in scan([str(hostile.tree)], policy, options)]

    streamed, whole = read(True), read(False)
    assert streamed == whole
    names = [os.fsencode(filepath).rsplit(b"/", 1)[1] for filepath, _ in streamed]
    assert names.index("\u00e9.py".encode()) < names.index(b"\xc3x.py")
    assert {b"old.pyc", b"dangling.py", b"caf\xe9.py"} <= set(names)
    assert sum(len(findings) for _, findings in streamed) >= 8
