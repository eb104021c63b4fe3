"""Several reports from one judgement (--output FORMAT:FILE), and the
count of findings by rule after the summary (--statistics)."""

import collections
import json

import pytest

PLUGIN = "import json\nimport subprocess\nimport yaml\nimport os\nimport toml\n"


@pytest.fixture
def judged(project):
    project.write("myplugin/shell.py", PLUGIN)
    return project


class TestOutputs:
    @pytest.mark.parametrize("lang", ["fr", "en"])
    def test_each_format_written_at_once_is_the_report_of_its_own_run(self, judged, tmp_path, lang):
        # json beside sarif is fingerprinted here, not by the engine: the bytes must not change.
        separately = {name: judged.run("--lang", lang, "--format", name, "plugins").stdout
                      for name in ("text", "json", "sarif", "gitlab")}

        together = judged.run("--lang", lang, "--output", f"json:{tmp_path / 'r.json'}",
                              "--output", f"sarif:{tmp_path / 'r.sarif'}", "--output", f"text:{tmp_path / 'r.txt'}",
                              "--format", "gitlab", "plugins")

        assert together.returncode == 1, together.stderr
        assert together.stdout == separately["gitlab"]
        assert (tmp_path / "r.json").read_text() == separately["json"]
        assert (tmp_path / "r.sarif").read_text() == separately["sarif"]
        assert (tmp_path / "r.txt").read_text() == separately["text"]

    def test_standard_output_holds_only_the_report_named_dash(self, judged, tmp_path):
        to_file = judged.run("--output", f"json:{tmp_path / 'r.json'}", "plugins")
        annotations = judged.run("--output", f"json:{tmp_path / 'r.json'}", "--output", "github:-", "plugins")

        assert (to_file.returncode, to_file.stdout) == (1, "")
        assert annotations.stdout == judged.run("--format", "github", "plugins").stdout
        assert json.loads((tmp_path / "r.json").read_text())["summary"]["failed"] == 1

    @pytest.mark.parametrize("args, complaint", [
        (["--json", "--output", "sarif:-"], "two reports to standard output"),
        (["--output", "json:same", "--output", "sarif:./same"], "two reports to same and ./same, one file"),
        (["--output", "xml:r.xml"], "not FORMAT:FILE"),
        (["--output", "json:missing/r.json"], "cannot write the report missing/r.json"),
    ])
    def test_outputs_that_cannot_all_be_written_end_the_run_before_any_report(self, judged, args, complaint):
        completed = judged.run(*args, "plugins")

        assert (completed.returncode, completed.stdout) == (2, "")
        assert complaint in completed.stderr
        assert not (judged.root / "same").exists()


class TestStatistics:
    def by_rule(self, document):
        return collections.Counter(finding["rule"] for file in document["files"] for finding in file["findings"])

    def table(self, text):
        head, *rows = text.splitlines()
        counts = {row.split()[1]: int(row.split()[0]) for row in rows}
        return head, counts, [row.split()[1] for row in rows]

    def test_the_count_by_rule_follows_the_summary_most_frequent_first(self, judged):
        expected = self.by_rule(json.loads(judged.run("--json", "plugins").stdout))

        completed = judged.run("--statistics", "plugins")

        report, _, statistics = completed.stdout.partition("statistics: ")
        assert report.splitlines()[-1].startswith("3 files scanned")
        head, counts, order = self.table("statistics: " + statistics)
        assert head == f"statistics: {sum(expected.values())} findings by rule"
        assert counts == expected and order == ["unlisted-import", "forbidden-import"]

    def test_beside_a_json_document_on_standard_output_they_go_to_standard_error(self, judged):
        completed = judged.run("--json", "--statistics", "plugins")

        document = json.loads(completed.stdout)
        assert self.table(completed.stderr)[1] == self.by_rule(document)
