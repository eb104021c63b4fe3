"""Files and directories on the command line, and the exit status."""

import json
import os

import pytest


def files_of(completed):
    return {f["filepath"]: f for f in json.loads(completed.stdout)["files"]}


class TestFilesAndDirectories:
    def test_files_and_trees_together_each_file_once_sorted(self, project):
        project.write("other/tool", "#!/usr/bin/env python\nimport os\n")  # no .py: scanned as given
        project.write("myplugin/notes.txt", "import os\n")  # not a .py file: a walk skips it

        completed = project.run("--json", "plugins/other/tool", "plugins/myplugin", "plugins/myplugin/core.py")

        assert completed.returncode == 1
        assert list(files_of(completed)) == [
            "plugins/myplugin/__init__.py", "plugins/myplugin/core.py", "plugins/other/tool",
        ]
        assert files_of(completed)["plugins/other/tool"]["errors"] == ["plugins/other/tool:2: import interdit \u2014 'os'"]

    def test_one_tree_reports_a_file_reached_by_a_hard_link_and_a_link_once(self, project):
        shell = project.write("myplugin/shell.py", "import os\n")
        os.link(shell, project.tree / "myplugin" / "again.py")
        os.symlink("../myplugin", project.tree / "other")

        completed = project.run("--json", "plugins")

        # Which name is reported follows the directory's listing order.
        assert len([path for path in files_of(completed) if path.endswith(("shell.py", "again.py"))]) == 1
        assert json.loads(completed.stdout)["summary"]["scanned"] == 3

    def test_a_missing_path_is_unusable_input_and_nothing_is_reported(self, project):
        completed = project.run("plugins/myplugin/core.py", "plugins/nope.py")

        assert completed.returncode == 2
        assert completed.stdout == ""
        assert "cannot scan plugins/nope.py: No such file or directory" in completed.stderr

    def test_a_fifo_given_fails_as_a_file_that_cannot_be_opened_without_waiting(self, project):
        fifo = project.tree / "myplugin" / "pipe.py"
        os.mkfifo(fifo)
        # Were the FIFO opened for reading, the run would wait for a writer
        # forever, and gate()'s timeout would fail the test.
        completed = project.run("--json", "plugins/myplugin/pipe.py", "plugins/myplugin")

        assert completed.returncode == 1
        [finding] = files_of(completed)["plugins/myplugin/pipe.py"]["findings"]
        assert finding | {"fingerprint": None} == {
            "rule": "unreadable-file", "level": "error", "line": None, "column": None, "context": None, "module": None,
            "message": "plugins/myplugin/pipe.py: impossible d'ouvrir le fichier", "fingerprint": None,
        }

    def test_no_audit_is_the_line_scan_alone(self, project):
        project.write("myplugin/hidden.py", "import json, os\n")

        full = project.run("plugins")
        line_scan = project.run("--no-audit", "--verbose", "plugins")

        assert (full.returncode, line_scan.returncode) == (1, 0)
        assert "FAIL  plugins/myplugin/hidden.py  (1 error, 0 warnings)" in full.stdout
        assert "ok    plugins/myplugin/hidden.py  (0 errors, 0 warnings)" in line_scan.stdout


class TestExitStatus:
    def test_zero_when_every_file_passes_even_with_warnings_one_when_nothing_was_judged(self, project):
        (project.tree / "empty").mkdir()
        passing = project.run("plugins")
        empty = project.run("plugins/empty")

        assert passing.returncode == 0, passing.stdout + passing.stderr
        assert passing.stdout.splitlines()[-1] == "2 files scanned: 2 passed, 0 failed; 0 errors, 1 warning"
        assert empty.returncode == 1
        assert "[nothing-judged] plugins/empty: " in empty.stdout
        assert empty.stdout.splitlines()[-1] == "0 files scanned: 0 passed, 0 failed; 1 not read; 1 error, 0 warnings"

    def test_the_report_is_the_same_for_every_thread_count(self, project):
        for i in range(12):
            project.write(f"myplugin/gen/m{i}.py", "import os\n" if i % 3 == 0 else "import json, yaml\n")

        reports = [project.run("--threads", n, "plugins") for n in ("1", "4", "0")]

        assert {r.returncode for r in reports} == {1}
        assert reports[0].stdout == reports[1].stdout == reports[2].stdout

    @pytest.mark.parametrize(
        ("args", "complaint"),
        [
            (["--threads", "-1"], "not a thread count"),
            (["--json", "--format", "text"], "not allowed with argument"),
            ([], "the following arguments are required: PATH"),
        ],
    )
    def test_two_for_unusable_arguments(self, project, args, complaint):
        completed = project.run(*args, *(["plugins"] if args else []))

        assert completed.returncode == 2
        assert complaint in completed.stderr
        assert completed.stdout == ""
