"""The rules' texts against the engine's table, and --lang: every rule the
engine can report has a row in every language, every example makes its
rule's finding, and every message it makes reads back through the French
forms and comes out in English."""

import io
import json
import os
import re
import tarfile

import pytest

import scanner_audit
from scanner_gate import LANGUAGES, archives, wording
from scanner_gate.texts import EXAMPLE_POLICY, Archive, Fifo, File, Link, table

from .conftest import EXAMPLES, gate, zip_of
from .test_reports import without_location

ENGINE_RULES = dict(scanner_audit.rules())


def archive_bytes(archive):
    """The bytes of an example's archive: a tar or a zip of its members, by its name."""
    members = {member.path: archive_bytes(member) if isinstance(member, Archive) else member.text.encode()
               for member in archive.members}
    if archives.archive_format(archive.path) == archives.TAR:
        data = io.BytesIO()
        compression = {"gz": "gz", "tgz": "gz", "bz2": "bz2", "xz": "xz"}.get(archive.path.rpartition(".")[2], "")
        with tarfile.open(fileobj=data, mode=f"w:{compression}") as made:
            for name, body in members.items():
                info = tarfile.TarInfo(name)
                info.size = len(body)
                made.addfile(info, io.BytesIO(body))
        made_bytes = data.getvalue()
    else:
        made_bytes = zip_of(members)
    return made_bytes[:len(made_bytes) // 2] if archive.cut else made_bytes


def make_example(root, entries):
    """Writes an example's plugin/ tree and its policy below `root`."""
    root.mkdir(parents=True, exist_ok=True)
    (root / "pyproject.toml").write_text(EXAMPLE_POLICY)
    for entry in entries:
        path = root / entry.path
        path.parent.mkdir(parents=True, exist_ok=True)
        if isinstance(entry, File):
            path.write_text(entry.text)
        elif isinstance(entry, Link):
            os.symlink(entry.target, path)
        elif isinstance(entry, Fifo):
            os.mkfifo(path)
        elif isinstance(entry, Archive):
            path.write_bytes(archive_bytes(entry))


class TestEveryRuleHasItsTexts:
    @pytest.mark.parametrize("lang", LANGUAGES)
    def test_each_table_has_a_row_for_every_rule_of_the_engine_and_no_other(self, lang):
        assert sorted(table(lang).rules) == sorted(ENGINE_RULES)

    @pytest.mark.parametrize("lang", [lang for lang in LANGUAGES if lang != "fr"])
    def test_each_form_stands_where_the_french_one_does_with_the_same_placeholder(self, lang):
        # A message is read by the French form and written with the form of
        # the same rank: a form missing or out of place would mistranslate.
        def placeholders(forms):
            return [("{module}" in form, "{reason}" in form) for form in forms]

        for rule, french in table("fr").rules.items():
            assert placeholders(table(lang).rules[rule].says) == placeholders(french.says), rule

    @pytest.mark.parametrize("lang", [lang for lang in LANGUAGES if lang != "fr"])
    def test_each_table_words_every_reason_the_french_one_knows(self, lang):
        # One it lacks would stay in French in that language.
        assert sorted(table(lang).reasons) == sorted(table("fr").reasons)


@pytest.mark.parametrize("rule", sorted(ENGINE_RULES))
def test_every_example_makes_its_rule_and_reads_back_in_every_language(rule, tmp_path):
    examples = {lang: table(lang).rules[rule].example for lang in LANGUAGES}
    if not any(examples.values()):
        # Only the line scan's catch-alls have no input that makes them, and
        # unread-archive and unread-entry-points, which the command never
        # reports: it reads every archive and every file of entry points.
        assert rule in ("other-scan-error", "other-scan-warning", "unread-archive", "unread-entry-points")
        return
    for lang, example in examples.items():
        root = tmp_path / lang
        make_example(root, example)

        french = gate("--json", "plugin", cwd=root)
        english = gate("--json", "--lang", "en", "plugin", cwd=root)

        assert french.returncode in (0, 1), french.stderr
        found = [(file["filepath"], f) for file in json.loads(french.stdout)["files"] for f in file["findings"]
                 if f["rule"] == rule]
        assert found, (lang, rule, "the example does not make its finding")
        assert all(f["level"] == ENGINE_RULES[rule] for _, f in found)
        translated = {(file["filepath"], f["line"], f["rule"]): f["message"]
                      for file in json.loads(english.stdout)["files"] for f in file["findings"]}
        for filepath, finding in found:
            text = without_location(filepath, finding["line"], finding["message"])
            assert wording.read(rule, text) is not None, (rule, text)
            in_english = translated[(filepath, finding["line"], rule)]
            assert in_english != finding["message"] or rule.startswith("other-"), in_english
            assert wording.read(rule, without_location(filepath, finding["line"], in_english)) is None


class TestLanguage:
    def test_english_reports_translate_every_message_and_keep_the_fingerprints(self, project):
        project.write("myplugin/shell.py", b"import json\nexec(input())\n\x00")
        project.write("myplugin/clean.py", "import os\n")

        french = json.loads(project.run("--json", "plugins").stdout)
        english = json.loads(project.run("--json", "--lang", "en", "plugins").stdout)

        def findings(document):
            return [(file["filepath"], f["rule"], f["line"], f["module"], f["fingerprint"], f["message"])
                    for file in document["files"] for f in file["findings"]]

        assert [f[:5] for f in findings(english)] == [f[:5] for f in findings(french)]
        assert [f[5] for f in findings(english)] == [
            "plugins/myplugin/clean.py:1: forbidden import \u2014 'os'",
            "plugins/myplugin/core.py:4: unlisted import \u2014 'yaml'",
            "plugins/myplugin/shell.py: file refused by Python's parser (source code string cannot contain null "
            "bytes)",
        ]
        # A baseline made in one language serves the other.
        for file in english["files"]:
            assert file["errors"] == [f["message"] for f in file["findings"] if f["level"] == "error"]

    def test_the_policy_chooses_the_language_and_the_command_line_overrides_it(self, project):
        project.write("myplugin/shell.py", "import os\n")
        pyproject = project.root / "pyproject.toml"
        pyproject.write_text(pyproject.read_text().replace("[tool.scanner-core.policy]\n",
                                                           "[tool.scanner-core.policy]\nlang = \"en\"\n"))

        english = project.run("-q", "plugins").stdout
        french = project.run("-q", "--lang", "fr", "plugins").stdout
        explained = project.run("--explain", "forbidden-import").stdout

        assert "plugins/myplugin/shell.py:1: forbidden import \u2014 'os'" in english
        assert "plugins/myplugin/shell.py:1: import interdit \u2014 'os'" in french
        assert explained.startswith("# forbidden-import\n\nAn import whose root the policy forbids.")

    def test_an_unknown_language_or_rule_is_refused(self, project):
        pyproject = project.root / "pyproject.toml"
        pyproject.write_text(pyproject.read_text().replace("[tool.scanner-core.policy]\n",
                                                           "[tool.scanner-core.policy]\nlang = \"de\"\n"))

        policy = project.run("plugins")
        rule = gate("--explain", "no-such-rule")

        assert policy.returncode == 2 and 'lang must be "fr" or "en"' in policy.stderr
        assert rule.returncode == 2 and "no rule 'no-such-rule'" in rule.stderr


class TestTheReportForPeople:
    def test_colour_is_for_terminals_only_unless_asked(self, project):
        project.write("myplugin/shell.py", "import os\n")

        piped = project.run("--color", "auto", "plugins").stdout
        coloured = project.run("--color", "always", "plugins").stdout

        assert "\x1b" not in piped
        assert "\x1b[1;31mFAIL\x1b[0m  plugins/myplugin/shell.py" in coloured
        # Without its escapes the coloured report is the plain one.
        assert re.sub("\x1b\\[[0-9;]*m", "", coloured) == piped

    def test_files_without_findings_are_counted_not_listed_unless_verbose(self):
        plain = gate("--policy", EXAMPLES / "policy.toml", EXAMPLES / "plugins").stdout
        verbose = gate("--verbose", "--policy", EXAMPLES / "policy.toml", EXAMPLES / "plugins").stdout

        listed = [line for line in plain.splitlines() if line.startswith(("ok  ", "FAIL"))]
        every = [line for line in verbose.splitlines() if line.startswith(("ok  ", "FAIL"))]
        assert len(every) == 11 and len(listed) == 5
        assert set(listed) <= set(every)
        assert all("(0 errors, 0 warnings)" in line for line in set(every) - set(listed))
        assert plain.splitlines()[-3:] == [
            "by rule: forbidden-import 3, unreadable-file 1, unlisted-import 5",
            "6 files without findings not listed (--verbose lists them)",
            "10 files scanned: 8 passed, 2 failed; 1 not read; 4 errors, 5 warnings",
        ]
