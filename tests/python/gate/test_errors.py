"""What goes wrong in a tree is a finding in a kept report; what the command
cannot do is one line on stderr and exit status 2; each file is reported
once however it is reached."""

import json
import os
import pytest


def findings_by_file(completed):
    return {f["filepath"]: [g["rule"] for g in f["findings"]] for f in json.loads(completed.stdout)["files"]}


class TestWalkFailuresAreFindings:
    def test_links_to_the_tree_or_above_it_and_a_link_that_cannot_be_looked_up_are_errors_and_the_rest_kept(self, project):
        os.symlink("spin", project.tree / "spin")  # a link to itself
        os.symlink("..", project.tree / "myplugin" / "up")  # back to the tree's root
        os.symlink("n" * 300, project.tree / "long.py")  # a name the system refuses to look up
        os.symlink("/", project.tree / "everything")  # holds the tree: walking it would walk the machine

        completed = project.run("--json", "plugins")

        assert completed.returncode == 1, completed.stderr
        assert findings_by_file(completed) == {
            "plugins/everything": ["link-loop"],
            "plugins/long.py": ["unreadable-entry"],
            "plugins/myplugin/__init__.py": [],
            "plugins/myplugin/core.py": ["unlisted-import"],
            "plugins/myplugin/up": ["link-loop"],
            "plugins/spin": ["link-loop"],
        }

    @pytest.mark.skipif(os.geteuid() == 0, reason="root reads every directory")
    def test_an_unreadable_directory_is_an_error_naming_it(self, project):
        project.write("locked/hidden.py", "import os\n")
        os.chmod(project.tree / "locked", 0)
        try:
            completed = project.run("--json", "plugins")
        finally:
            os.chmod(project.tree / "locked", 0o755)

        assert completed.returncode == 1
        assert findings_by_file(completed)["plugins/locked"] == ["unreadable-entry"]
        assert "plugins/myplugin/core.py" in findings_by_file(completed)


class TestEachFileOnce:
    def test_a_tree_named_twice_and_files_reached_through_links_are_reported_once(self, project):
        project.write("native.so", b"\0")
        os.symlink("core.py", project.tree / "myplugin" / "again.py")
        os.symlink("myplugin", project.tree / "mirror")

        completed = project.run("--json", "plugins", "./plugins", "plugins/myplugin/core.py")

        assert completed.returncode == 1
        assert sorted(findings_by_file(completed)) == [
            "plugins/myplugin/__init__.py", "plugins/myplugin/core.py", "plugins/native.so",
        ]
        assert json.loads(completed.stdout)["summary"]["scanned"] == 3


class TestTheCommandCannot:
    @pytest.mark.parametrize("threads", ["4294967296", "99999999999999999999", "1025"])
    def test_a_thread_count_out_of_range_is_one_line_and_status_2(self, project, threads):
        completed = project.run("--threads", threads, "plugins")

        assert completed.returncode == 2
        assert completed.stdout == ""
        assert completed.stderr.count("\n") == 1 and "not a thread count" in completed.stderr

    def test_a_full_disk_is_one_line_and_status_2(self, project):
        with open("/dev/full", "w") as full:
            completed = project.run("plugins", stdout=full)

        assert completed.returncode == 2
        assert completed.stderr == "scanner-core: cannot write the report: No space left on device\n"

    def test_a_closed_pipe_ends_quietly_with_the_verdict(self, project):
        # The report is written as files are judged: the failing file comes
        # after more report than a pipe's buffer holds, and still fails the run.
        for index in range(400):
            project.write(f"myplugin/ok_{index:03}.py", "import json\n")
        project.write("myplugin/zz_bad.py", "import os\n")
        read_end, write_end = os.pipe()
        os.close(read_end)
        try:
            completed = project.run("plugins", stdout=write_end)
        finally:
            os.close(write_end)

        assert completed.stderr == ""
        assert completed.returncode == 1

    def test_an_internal_error_is_one_line_and_status_2_not_a_traceback(self, project, monkeypatch, capsys):
        from scanner_gate import cli, scan

        def broken(*_args, **_kwargs):
            raise KeyError("a fault of the command's own")

        monkeypatch.setattr(scan, "scan", broken)
        monkeypatch.chdir(project.root)

        status = cli.main(["plugins"])

        captured = capsys.readouterr()
        assert status == 2
        assert captured.err == "scanner-core: internal error: KeyError: \"a fault of the command's own\"\n"
