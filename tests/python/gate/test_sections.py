"""The policy's [[paths]] sections: the first whose globs match a file
judges it by its keys or skips it, every format names it, and a skip that
judged code could reach through an import the policy does not judge is
refused."""

import json
import random
import re

import pytest

from scanner_gate.path_globs import GlobError, compile_glob, matches

from .conftest import POLICY, as_pyproject
from .test_archives import wheel_of
from .test_reports import sarif_findings

SECTIONS = """
[[paths]]
name = "tests"
match = ["tests/**", "**/conftest.py"]
skip = true

[[paths]]
match = ["legacy/**", "**/legacy.py"]
forbidden = ["subprocess"]
fail_on = "warning"

[[paths]]
name = "never reached"
match = ["legacy/old.py"]
forbidden = ["os", "subprocess", "socket"]
"""


def with_sections(project, sections=SECTIONS, policy=POLICY):
    """The policy and its sections, in the pyproject.toml and in policy.toml."""
    (project.root / "policy.toml").write_text(policy + sections)
    pyproject = as_pyproject(policy + sections).replace("[[paths]]", "[[tool.scanner-core.paths]]")
    (project.root / "pyproject.toml").write_text(pyproject.replace("\npaths = ", "\n[tool.scanner-core]\npaths = "))


def by_file(document):
    return {file["filepath"].removeprefix("plugins/"): (file.get("section"), file.get("skipped", False),
                                                        [(f["rule"], f["module"]) for f in file["findings"]])
            for file in document["files"]}


class TestSections:
    def test_the_first_section_that_matches_judges_the_file_by_its_keys_and_every_format_names_it(self, project):
        with_sections(project)
        project.write("legacy/old.py", "import os\nimport yaml\n")
        project.write("myplugin/legacy.py", "import subprocess\n")

        completed = project.run("--json", "plugins")

        files = by_file(json.loads(completed.stdout))
        assert files == by_file(json.loads(project.run("--json", "--policy", "policy.toml", "plugins").stdout))
        legacy = "paths #2 (legacy/**, **/legacy.py)"
        # os is no longer forbidden there, and any warning fails.
        assert files["legacy/old.py"] == (legacy, False, [("unlisted-import", "os"), ("unlisted-import", "yaml")])
        assert files["myplugin/legacy.py"] == (legacy, False, [("forbidden-import", "subprocess")])
        assert files["myplugin/core.py"] == (None, False, [("unlisted-import", "yaml")])
        text = project.run("plugins").stdout
        assert f"FAIL  plugins/legacy/old.py  (0 errors, 2 warnings)  [section {legacy}]\n" in text
        annotations = project.run("--format", "github", "plugins").stdout
        assert f"title=unlisted-import::import non whitelist\u00e9 \u2014 'os' [section {legacy}]\n" in annotations

    def test_a_skipped_file_is_listed_and_counted_in_every_format_never_silently(self, project):
        with_sections(project)
        project.write("tests/test_core.py", "import os\n")
        project.write("tests/conftest.py", "import subprocess\n")

        document = json.loads(project.run("--json", "plugins").stdout)
        text = project.run("plugins")
        sarif = json.loads(project.run("--format", "sarif", "plugins").stdout)
        gitlab = json.loads(project.run("--format", "gitlab", "plugins").stdout)
        github = project.run("--format", "github", "plugins").stdout

        assert text.returncode == 0
        assert by_file(document)["tests/test_core.py"] == ("tests", True, [])
        assert document["summary"]["skipped"] == 2 and document["summary"]["scanned"] == 2
        assert "skip  plugins/tests/test_core.py  [section tests]\n" in text.stdout
        assert text.stdout.endswith("2 files scanned: 2 passed, 0 failed; 0 errors, 1 warning; "
                                    "2 skipped (by the policy's paths)\n")
        sarif_findings(sarif, project.root)  # valid
        assert sarif["runs"][0]["properties"]["skipped"] == [
            {"file": "plugins/tests/conftest.py", "section": "tests"},
            {"file": "plugins/tests/test_core.py", "section": "tests"}]
        assert [(issue["location"]["path"], issue["check_name"], issue["severity"]) for issue in gitlab
                if issue["check_name"] == "skipped"] == [
            ("plugins/tests/conftest.py", "skipped", "info"), ("plugins/tests/test_core.py", "skipped", "info")]
        assert "::notice file=plugins/tests/test_core.py,title=skipped::skipped by the section tests\n" in github

    @pytest.mark.parametrize("placed, local, reason", [
        ("myplugin/tests/test_core.py", "", "'myplugin' is a local module, which the policy does not judge"),
        ("other/tests/test_core.py", "", "'other' holds files judged in this run, which may import it"),
        ("quenx/tests/test_core.py", "", "'quenx' is allowed by the policy"),
        ("tests/test_core.py", "tests", "'tests' is a local module, which the policy does not judge"),
        ("tests/test_core.py", "setup.py", "modules judged in this run lie at the root of the path given, whose "
                                           "package's relative imports reach it"),
    ])
    def test_a_skip_is_refused_where_judged_code_could_import_the_file_unjudged(self, project, placed, local,
                                                                                 reason):
        with_sections(project, SECTIONS.replace('"tests/**"', '"tests/**", "**/tests/**"'))
        if local.endswith(".py"):
            project.write(local, "from .tests import test_core\n")
        elif local:
            with_sections(project, policy=POLICY.replace('["myplugin"]', f'["myplugin", "{local}"]'))
        project.write("other/__init__.py", "")
        project.write(placed, "import os\n")

        completed = project.run("--json", "plugins")

        assert completed.returncode == 1
        [file] = [file for file in json.loads(completed.stdout)["files"] if file["filepath"] == f"plugins/{placed}"]
        assert (file["section"], file["skip_refused"], file["passed"]) == ("tests", reason, False)
        assert "skipped" not in file

    def test_a_directory_no_import_can_name_is_a_root_so_an_sdists_tests_are_skipped(self, project):
        # An sdist's members all lie below `name-1.0/`, which no import can
        # name: its tests are their own top-level package, judged nowhere.
        with_sections(project, SECTIONS.replace('"tests/**"', '"**/tests/**"'))
        members = {"dice-1.0/dice/__init__.py": "from . import roll\n", "dice-1.0/dice/roll.py": "import json\n",
                   "dice-1.0/tests/test_roll.py": "import os\n", "dice-1.0/dice/tests/test_inner.py": "import os\n"}
        (project.tree / "dice.whl").write_bytes(wheel_of(members))
        for member, text in members.items():
            project.write("unpacked/" + member, text)

        files = by_file(json.loads(project.run("--json", "plugins").stdout))

        for where in ("dice.whl!/", "unpacked/"):
            assert files[where + "dice-1.0/tests/test_roll.py"] == ("tests", True, [])
            # Inside the judged package, its relative imports may reach it.
            assert files[where + "dice-1.0/dice/tests/test_inner.py"] == ("tests", False, [("forbidden-import", "os")])

    def test_members_of_an_archive_are_matched_as_the_reports_name_them(self, project):
        with_sections(project, SECTIONS.replace('"**/legacy.py"', '"*.whl!/legacy/**"'))
        (project.tree / "plugin.whl").write_bytes(wheel_of({"legacy/run.py": "import os\nimport subprocess\n",
                                                            "tests/test_run.py": "import os\n"}))

        files = by_file(json.loads(project.run("--json", "plugins").stdout))

        assert files["plugin.whl!/legacy/run.py"] == (
            "paths #2 (legacy/**, *.whl!/legacy/**)", False, [("unlisted-import", "os"),
                                                              ("forbidden-import", "subprocess")])
        # Not tests/** (the member's path is below the wheel's name), and judged.
        assert files["plugin.whl!/tests/test_run.py"] == (None, False, [("forbidden-import", "os")])

    def test_the_command_lines_fail_on_warning_holds_in_every_section(self, project):
        with_sections(project, SECTIONS.replace('fail_on = "warning"', 'allowed_exact = ["json", "yaml"]'))
        project.write("legacy/old.py", "import toml\n")

        lax = by_file(json.loads(project.run("--json", "plugins").stdout))
        strict = json.loads(project.run("--json", "--fail-on", "warning", "plugins").stdout)

        assert lax["legacy/old.py"][2] == [("unlisted-import", "toml")]
        assert [file["passed"] for file in strict["files"] if file["filepath"] == "plugins/legacy/old.py"] == [False]

    def test_a_run_whose_every_file_is_skipped_judged_nothing_and_fails(self, project):
        with_sections(project, SECTIONS.replace('match = ["tests/**", "**/conftest.py"]', 'match = ["**"]'))
        (project.tree / "myplugin").rename(project.tree / "tests")

        completed = project.run("plugins")

        assert completed.returncode == 1
        assert "[nothing-judged] plugins" in completed.stdout

    @pytest.mark.parametrize("section, complaint", [
        ("[[paths]]\nskip = true\n", "needs match, a list of globs"),
        ('[[paths]]\nmatch = ["a/**"]\nskip = true\nforbidden = ["os"]\n', "give skip = true, or keys of the policy"),
        ('[[paths]]\nmatch = ["a/**"]\n', "neither skips its files nor replaces a key"),
        ('[[paths]]\nmatch = ["a/**"]\nlang = "en"\n', "unknown key 'lang'"),
        ('[[paths]]\nmatch = ["a/[bc"]\nskip = true\n', "'[' without its ']'"),
        ('[[paths]]\nmatch = ["/abs/**"]\nskip = true\n', "a glob is relative to the path given"),
        ('[[paths]]\nmatch = ["a/**"]\nforbidden = ["os.path"]\n', "forbidden entry 'os.path'"),
        ("paths = 3\n", "must be an array of tables"),
    ])
    def test_a_section_that_cannot_be_used_refuses_the_policy(self, project, section, complaint):
        with_sections(project, "\n" + section)

        completed = project.run("plugins")

        assert (completed.returncode, completed.stdout) == (2, "")
        assert complaint in completed.stderr


def reference(glob, path):
    """The glob as a regular expression, for short names only."""
    pattern = ""
    parts = glob.split("/")
    for index, part in enumerate(parts):
        last = index == len(parts) - 1
        if part == "**":
            pattern += ".*" if last else "(?:[^/]*/)*"
            continue
        pattern += re.sub(r"\\\*", "[^/]*", re.sub(r"\\\?", "[^/]", re.escape(part))) + ("" if last else "/")
    return re.fullmatch(pattern, path) is not None


class TestGlobs:
    def test_globs_match_as_their_regular_expression_does(self):
        generator = random.Random(34)
        for _ in range(3000):
            glob = "/".join(generator.choice(["**", "*", "a*", "*b", "a?", "ab", "*a*b"])
                            for _ in range(generator.randint(1, 4)))
            path = "/".join("".join(generator.choice("ab") for _ in range(generator.randint(1, 3)))
                            for _ in range(generator.randint(1, 4)))
            assert matches(compile_glob(glob), path) == reference(glob, path), (glob, path)

    def test_character_classes_take_one_character_of_theirs_or_none_of_theirs(self):
        assert [matches(compile_glob("t[a-c]st_[!x].py"), name) for name in (
            "tbst_y.py", "tdst_y.py", "tast_x.py", "tast_.py")] == [True, False, False, False]

    @pytest.mark.parametrize("glob", ["", "/a", "[ab", "a/[!"])
    def test_a_glob_that_cannot_be_read_is_refused(self, glob):
        with pytest.raises(GlobError):
            compile_glob(glob)
