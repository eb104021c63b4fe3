"""A reviewer's loop: fingerprints that survive moved lines, the baseline of
an earlier run, --quiet, and GitLab's code-quality report."""

import collections
import hashlib
import io
import json
import os
import random
import shutil

import pytest

from scanner_gate import fingerprint, gitlab_report, policy, sarif_report
from scanner_gate.findings import FileReport, Finding, Kind, Tally
from scanner_gate.run import Run

from .conftest import POLICY, as_pyproject, gate
from .test_reports import sarif_findings, without_location


def reference_digest(line):
    """The normalised text of a line as the fingerprint defines it: runs of
    whitespace made one space, ends trimmed."""
    return hashlib.sha256(b" ".join(line.split())).hexdigest()


class TestLineDigests:
    @pytest.mark.parametrize("chunk", [1, 2, 3, 5, 64 * 1024])
    def test_every_line_digest_is_its_normalised_text_however_the_file_is_cut(self, tmp_path, monkeypatch, chunk):
        monkeypatch.setattr(fingerprint, "CHUNK", chunk)
        generator = random.Random(chunk)
        for case in range(60):
            content = bytes(generator.choice(b"ab \t\x0c\r\n") for _ in range(generator.randrange(0, 40)))
            path = tmp_path / f"{case}.py"
            path.write_bytes(content)
            lines = content.split(b"\n")
            wanted = generator.sample(range(1, len(lines) + 3), k=min(4, len(lines) + 2))

            digests = fingerprint.line_digests(str(path), wanted)

            assert digests == {n: reference_digest(lines[n - 1]) for n in wanted if n <= len(lines)}, content

    def test_a_line_longer_than_many_pieces_is_hashed_without_being_held(self, tmp_path):
        line = b"import  os  # " + b"x " * (3 * fingerprint.CHUNK) + b"\t"
        path = tmp_path / "long.py"
        path.write_bytes(b"import json\n" + line + b"\nimport yaml")

        assert fingerprint.line_digests(str(path), [2, 3]) == {2: reference_digest(line), 3: reference_digest(b"import yaml")}

    def test_a_fifo_in_the_files_place_is_not_waited_on(self, tmp_path):
        fifo = tmp_path / "swapped.py"
        os.mkfifo(fifo)

        assert fingerprint.line_digests(str(fifo), [1]) == {}


class TestFileNames:
    def test_a_file_is_named_from_the_nearest_path_given_that_holds_it(self, tmp_path, monkeypatch):
        monkeypatch.chdir(tmp_path)  # in no project: no policy named, no repository
        names = fingerprint.FileNames(["plugins/", "plugins/inner", "single.py", "/abs"])
        deep = "a/" * 1500  # deeper than Python's recursion limit

        assert [names.key(path) for path in (
            "plugins/x.py", "plugins//inner/y.py", "plugins/inner/z/y.py", "single.py", "./single.py",
            "/abs/p/q.py", "elsewhere/w.py", f"plugins/{deep}v.py",
        )] == ["x.py", "y.py", "z/y.py", "single.py", "single.py", "p/q.py", "elsewhere/w.py", f"{deep}v.py"]

    @pytest.mark.parametrize("given", ["plugins", "plugins/", "./plugins/../plugins", "/abs/tree", "."])
    def test_the_files_of_one_tree_are_named_alike_however_often_their_directory_comes(self, given, tmp_path,
                                                                                          monkeypatch):
        monkeypatch.chdir(tmp_path)
        # Named once, then from their directory's name: the same as alone.
        paths = [f"{given}/{tail}" for tail in (
            "a.py", "b.py", "sub/c.py", "sub/d.py", "sub//e.py", "sub/./f.py", "sub/../g.py", "sub/../h.py",
            "x/y/../z/i.py", "x/y/../z/j.py", "k", "sub/.", "sub/..")]
        names = fingerprint.FileNames([given])
        assert [names.key(path) for path in paths + paths] == [
            fingerprint.FileNames([given]).key(path) for path in paths + paths]


V1 = "import json\nimport subprocess\nimport yaml\n"
# Lines added above and spaces changed: the old findings are the same; a
# second identical import and a new forbidden one are new.
V2 = '"""Version 2."""\n\nimport json\nimport   subprocess\t\nimport yaml\nimport subprocess\nimport os\n'


def findings_by(document, field):
    return [(f["line"], f["rule"], f["module"]) for file in document["files"] for f in file.get(field, [])]


class TestBaseline:
    def test_old_findings_moved_are_known_and_new_ones_fail(self, project, tmp_path_factory):
        project.write("myplugin/shell.py", V1)
        old = project.run("--json", "plugins")
        baseline = tmp_path_factory.mktemp("review") / "v1.json"
        baseline.write_text(old.stdout)
        project.write("myplugin/shell.py", V2)
        # The next version unpacked elsewhere: the file is named relative to the path given.
        elsewhere = tmp_path_factory.mktemp("v2") / "plugins"
        shutil.copytree(project.tree, elsewhere)

        for completed in (project.run("--json", "--baseline", baseline, "plugins"),
                          project.run("--json", "--baseline", baseline, elsewhere)):
            document = json.loads(completed.stdout)
            assert completed.returncode == 1
            assert findings_by(document, "known") == [
                (4, "unlisted-import", "yaml"),  # core.py's, unchanged
                (4, "forbidden-import", "subprocess"), (5, "unlisted-import", "yaml")]
            assert findings_by(document, "findings") == [
                (6, "forbidden-import", "subprocess"), (7, "forbidden-import", "os")]
            assert document["summary"] == {"scanned": 3, "passed": 2, "failed": 1, "errors": 2, "warnings": 0,
                                           "not_read": 0, "known": 3}

        project.write("myplugin/shell.py", V2.replace("import subprocess\nimport os\n", ""))
        accepted = project.run("--baseline", baseline, "plugins")
        assert accepted.returncode == 0, accepted.stdout
        assert "      known    [forbidden-import] plugins/myplugin/shell.py:4: import interdit \u2014 'subprocess'\n" \
            in accepted.stdout
        assert accepted.stdout.endswith("3 files scanned: 3 passed, 0 failed; 0 errors, 0 warnings; 3 known "
                                        "(in the baseline)\n")

    def test_a_file_that_was_not_judged_is_never_known(self, project, tmp_path):
        project.write("myplugin/broken.py", "import json\ndef f(:\n")
        os.mkfifo(project.tree / "myplugin" / "pipe.py")
        baseline = tmp_path / "baseline.json"
        baseline.write_text(project.run("--json", "plugins", "plugins/myplugin/pipe.py").stdout)

        completed = project.run("--json", "--baseline", baseline, "plugins", "plugins/myplugin/pipe.py")

        assert completed.returncode == 1
        document = json.loads(completed.stdout)
        assert findings_by(document, "findings") == [(2, "unaudited-file", None), (None, "not-a-regular-file", None)]
        assert findings_by(document, "known") == [(4, "unlisted-import", "yaml")]

    def test_known_findings_are_unchanged_and_suppressed_in_sarif_and_notices_in_annotations(self, project, tmp_path):
        project.write("myplugin/shell.py", V1)
        baseline = tmp_path / "baseline.json"
        baseline.write_text(project.run("--json", "plugins").stdout)
        project.write("myplugin/shell.py", V2)

        log = json.loads(project.run("--format", "sarif", "--baseline", baseline, "plugins").stdout)
        annotations = project.run("--format", "github", "--baseline", baseline, "plugins").stdout

        sarif_findings(log, project.root)  # valid, with rules and regions
        states = [(r["locations"][0]["physicalLocation"]["region"]["startLine"], r["ruleId"], r["baselineState"],
                   [s["status"] for s in r.get("suppressions", [])]) for r in log["runs"][0]["results"]]
        assert states == [
            (4, "unlisted-import", "unchanged", ["accepted"]),
            (4, "forbidden-import", "unchanged", ["accepted"]), (5, "unlisted-import", "unchanged", ["accepted"]),
            (6, "forbidden-import", "new", []), (7, "forbidden-import", "new", [])]
        assert annotations.splitlines()[1:] == [
            "::notice file=plugins/myplugin/shell.py,line=4,col=1,title=forbidden-import (known)::"
            "import interdit \u2014 'subprocess'",
            "::notice file=plugins/myplugin/shell.py,line=5,col=1,title=unlisted-import (known)::"
            "import non whitelist\u00e9 \u2014 'yaml'",
            "::error file=plugins/myplugin/shell.py,line=6,col=1,title=forbidden-import::"
            "import interdit \u2014 'subprocess'",
            "::error file=plugins/myplugin/shell.py,line=7,col=1,title=forbidden-import::"
            "import interdit \u2014 'os'",
            "3 files scanned: 2 passed, 1 failed; 2 errors, 0 warnings; 3 known (in the baseline)",
        ]

    @pytest.mark.parametrize(
        ("content", "complaint"),
        [
            (None, "cannot read the baseline"),
            ("fifo", "is not a regular file"),  # not waited on
            (b"\xff{", "is not a JSON document"),
            (b"[]", "no 'files' list"),
            (b'{"files": [{"findings": [{"rule": "forbidden-import"}]}]}', "a finding without a fingerprint"),
            (b'{"files": [{"findings": [{"fingerprint": 3}]}]}', "a fingerprint is not a string"),
        ],
    )
    def test_a_baseline_that_is_not_a_report_of_this_command_is_unusable(self, project, tmp_path, content, complaint):
        baseline = tmp_path / "baseline.json"
        if content == "fifo":
            os.mkfifo(baseline)
        elif content is not None:
            baseline.write_bytes(content)

        completed = project.run("--baseline", baseline, "plugins")

        assert (completed.returncode, completed.stdout) == (2, "")
        assert complaint in completed.stderr


class TestQuiet:
    def test_quiet_reports_the_failing_files_and_the_same_summary(self, project):
        project.write("myplugin/shell.py", "import os\n")

        full = project.run("plugins")
        quiet = project.run("--quiet", "plugins")

        assert quiet.returncode == full.returncode == 1
        assert quiet.stdout == (
            "FAIL  plugins/myplugin/shell.py  (1 error, 0 warnings)\n"
            "      error    [forbidden-import] plugins/myplugin/shell.py:1: import interdit \u2014 'os'\n"
            "by rule: forbidden-import 1, unlisted-import 1\n"
            + full.stdout.splitlines()[-1] + "\n"
        )


class TestRulesAddedLater:
    def test_a_kind_no_table_knows_has_a_rule_with_generic_help_and_a_severity(self, tmp_path):
        # A kind of finding added after this table: the report must still be
        # valid, its rule listed and explained from its level.
        kind = Kind("some-later-rule", "error", "A later kind of finding.")
        path = tmp_path / "x.py"
        path.write_text("import os\n")
        report = fingerprint.fingerprint(
            FileReport(str(path), [Finding(kind, 1, "os", f"{path}:1: later")]), fingerprint.FileNames([str(tmp_path)]))
        tally = Tally()
        tally.add(report)
        run = Run((str(tmp_path),), policy.Policy(frozenset(), frozenset(), (), frozenset(), "p.toml"), True,
                  [report], tally)
        sarif, gitlab = io.StringIO(), io.StringIO()

        sarif_report.write(run, sarif)
        gitlab_report.write(run, gitlab)

        log = json.loads(sarif.getvalue())
        [(_, line, level, rule, _, fingerprint_, _)] = sarif_findings(log, os.getcwd())
        assert (line, level, rule) == (1, "error", "some-later-rule")
        [described] = [r for r in log["runs"][0]["tool"]["driver"]["rules"] if r["id"] == "some-later-rule"]
        assert described["fullDescription"]["text"] == "A later kind of finding."
        assert described["properties"]["security-severity"] == "7.0"
        [issue] = json.loads(gitlab.getvalue())
        assert (issue["check_name"], issue["severity"], issue["fingerprint"]) == (
            "some-later-rule", "critical", fingerprint_)


class TestGitLab:
    def test_each_finding_is_an_issue_with_a_unique_fingerprint_and_its_severity(self, project):
        project.write("myplugin/shell.py", "import os\nimport os\n__import__(name)\nimport json, subprocess\n")
        project.write("myplugin/broken.py", b"\x00")

        issues = json.loads(project.run("--format", "gitlab", "plugins").stdout)
        document = json.loads(project.run("--json", "plugins").stdout)

        assert [(i["location"]["path"], i["location"]["lines"]["begin"], i["check_name"], i["severity"])
                for i in issues] == [
            ("plugins/myplugin/broken.py", 1, "unaudited-file", "critical"),
            ("plugins/myplugin/core.py", 4, "unlisted-import", "minor"),
            ("plugins/myplugin/shell.py", 1, "forbidden-import", "critical"),
            ("plugins/myplugin/shell.py", 2, "forbidden-import", "critical"),
            ("plugins/myplugin/shell.py", 3, "non-constant-dynamic-import", "minor"),
            ("plugins/myplugin/shell.py", 4, "hidden-forbidden-import", "blocker"),
        ]
        assert [i["fingerprint"] for i in issues] == [f["fingerprint"] for file in document["files"]
                                                      for f in file["findings"]]
        assert len({i["fingerprint"] for i in issues}) == len(issues)
        assert [i["description"] for i in issues] == [without_location(file["filepath"], f["line"], f["message"])
                                                      for file in document["files"] for f in file["findings"]]


def known_modules(completed):
    document = json.loads(completed.stdout)
    return sorted((file["filepath"].rsplit("/", 1)[-1], f["module"]) for file in document["files"]
                  for f in file["known"])


class TestNamesAcrossRuns:
    ACCEPTED = [("core.py", "yaml"), ("shell.py", "subprocess"), ("shell.py", "yaml")]

    @pytest.fixture
    def reviewed(self, project, tmp_path_factory):
        project.write("myplugin/shell.py", V1)
        baseline = tmp_path_factory.mktemp("review") / "baseline.json"
        baseline.write_text(project.run("--json", "plugins").stdout)
        project.write("myplugin/shell.py", V2)
        return project, baseline

    def test_a_baseline_of_the_tree_knows_its_files_named_one_by_one_from_anywhere(self, reviewed):
        project, baseline = reviewed
        files = ["plugins/myplugin/core.py", "plugins/myplugin/shell.py"]

        from_root = project.run("--json", "--baseline", baseline, *files)
        from_below = gate("--json", "--policy", "../pyproject.toml", "--baseline", baseline,
                          "myplugin/core.py", project.tree / "myplugin/shell.py", cwd=project.tree)

        for completed in (from_root, from_below):
            assert known_modules(completed) == self.ACCEPTED, completed.stderr
            assert completed.stderr == ""

    def test_a_baseline_of_files_named_one_by_one_knows_them_in_the_tree(self, project, tmp_path):
        project.write("myplugin/shell.py", V1)
        baseline = tmp_path / "baseline.json"
        baseline.write_text(project.run("--json", "plugins/myplugin/core.py", "plugins/myplugin/shell.py").stdout)

        assert known_modules(project.run("--json", "--baseline", baseline, "plugins")) == self.ACCEPTED

    def test_a_baseline_of_one_version_knows_the_next_beside_it_under_another_name(self, reviewed):
        project, baseline = reviewed
        shutil.copytree(project.tree, project.root / "plugin-1.1")

        assert known_modules(project.run("--json", "--baseline", baseline, "plugin-1.1")) == self.ACCEPTED

    def test_an_earlier_versions_baseline_named_below_the_tree_given_still_knows_its_findings(self, project,
                                                                                             tmp_path):
        project.write("myplugin/shell.py", V1)
        document = json.loads(project.run("--json", "plugins").stdout)
        # The earlier naming, hashed as the fingerprint's definition says: the
        # file relative to the tree given; and no "trees".
        for file in document["files"]:
            name = file["filepath"].removeprefix("plugins/")
            lines = (project.root / file["filepath"]).read_bytes().split(b"\n")
            ranks = collections.Counter()
            for finding in file["findings"]:
                text = reference_digest(lines[finding["line"] - 1])
                identity = (finding["rule"], finding["module"], text)
                old = f"scanner-core/1\0{name}\0" + "\0".join(identity) + f"\0{ranks[identity]}"
                ranks[identity] += 1
                finding["fingerprint"] = hashlib.sha256(old.encode()).hexdigest()
        del document["trees"]
        baseline = tmp_path / "old.json"
        baseline.write_text(json.dumps(document))
        project.write("myplugin/shell.py", V2)

        completed = project.run("--json", "--baseline", baseline, "plugins")

        assert known_modules(completed) == self.ACCEPTED
        assert completed.stderr == ""

    def test_a_baseline_that_knows_none_of_the_findings_it_could_is_a_warning(self, reviewed, tmp_path):
        project, baseline = reviewed
        other = tmp_path / "other"
        other.mkdir()
        (other / "mod.py").write_text("import os\n")
        (other / "pyproject.toml").write_text(as_pyproject(POLICY))
        stranger = tmp_path / "stranger.json"
        stranger.write_text(gate("--json", "mod.py", cwd=other).stdout)

        completed = project.run("--baseline", stranger, "plugins")

        assert completed.returncode == 1
        assert completed.stderr == (
            f"scanner-core: warning: the baseline {stranger} knows none of the 5 findings it could: it was made of "
            "other files, of these under names no longer theirs (another project), or all its findings are gone; "
            "each of them counts as new\n")
