"""--batch: many jobs, each with its own policy and paths, in one process;
each job's line is the verdict of its own run."""

import json

import pytest

from .conftest import gate
from .test_archives import wheel_of


def lines(completed):
    return [json.loads(line) for line in completed.stdout.splitlines()]


@pytest.fixture
def market(project):
    """Plugins of different grants: each job's policy differs from the others'."""
    for index in range(12):
        forbidden = ["os", "subprocess"] if index % 2 else ["socket"]
        fail_on = "warning" if index % 3 == 0 else "error"
        # Grants that share their lists but not their local modules share a scanner, not a verdict.
        local = ["myplugin", f"yaml{index}"] if index % 4 == 0 else ["myplugin"]
        (project.root / f"grant{index}.toml").write_text(
            f"[policy]\nforbidden = {json.dumps(forbidden)}\nallowed_exact = [\"json\"]\nfail_on = \"{fail_on}\"\n"
            f"[plugin]\nlocal_modules = {json.dumps(local)}\n")
        project.write(f"p{index}/mod.py", f"import json\nimport os\nimport socket\nimport yaml{index}\n")
    project.write("p3/café.py", "import os\n")  # a name beyond ASCII, written escaped on its job's line
    (project.tree / "p5" / "plugin.whl").write_bytes(wheel_of({"pkg/run.py": "import subprocess\n"}))
    return project


class TestBatch:
    def test_each_jobs_line_is_the_json_report_of_its_own_run(self, market):
        jobs = [{"id": f"job{index}", "paths": [f"plugins/p{index}"], "policy": f"grant{index}.toml"}
                for index in range(12)]
        jobs.append({"id": "pyproject", "paths": ["plugins/p0", "plugins/p1/mod.py"]})

        completed = gate("--batch", "-", "--threads", "4", cwd=market.root,
                         stdin="".join(json.dumps(job) + "\n" for job in jobs))

        assert completed.returncode == 1, completed.stderr
        assert completed.stdout.isascii()
        written = {line.pop("id"): line for line in lines(completed)}
        assert sorted(written) == sorted(job["id"] for job in jobs)
        for job in jobs:
            policy = ["--policy", job["policy"]] if "policy" in job else []
            alone = market.run("--json", *policy, *job["paths"])
            assert written[job["id"]] == json.loads(alone.stdout), job["id"]

    def test_a_job_that_cannot_be_used_is_an_error_line_and_the_others_go_on(self, market):
        batch = market.root / "jobs.jsonl"
        batch.write_text("\n".join([
            json.dumps({"id": "missing path", "paths": ["plugins/nowhere"], "policy": "grant1.toml"}),
            json.dumps({"id": "missing policy", "paths": ["plugins/p1"], "policy": "nowhere.toml"}),
            "{not json",
            "[1, 2]",
            json.dumps({"id": "typo", "paths": ["plugins/p1"], "polcy": "grant1.toml"}),
            json.dumps({"id": "no paths", "paths": []}),
            "",
            json.dumps({"id": "good", "paths": ["plugins/myplugin"], "policy": "grant2.toml"}),
        ]) + "\n")

        completed = market.run("--batch", batch)

        assert completed.returncode == 1
        errors = sorted((line["line"], line["id"], line["error"]) for line in lines(completed) if "error" in line)
        assert [(number, identity) for number, identity, _ in errors] == [
            (1, "missing path"), (2, "missing policy"), (3, None), (4, None), (5, "typo"), (6, "no paths")]
        assert "cannot scan plugins/nowhere" in errors[0][2] and "cannot read nowhere.toml" in errors[1][2]
        assert "unknown keys 'polcy'" in errors[4][2]
        [good] = [line for line in lines(completed) if line["id"] == "good"]
        assert good["summary"]["failed"] == 0

    def test_the_status_is_0_when_every_job_passed_and_2_only_when_the_batch_cannot_be_read(self, market):
        passing = json.dumps({"id": 1, "paths": ["plugins/myplugin"], "policy": "grant2.toml"}) + "\n"
        (market.root / "bad.jsonl").write_bytes(passing.encode() + b"\xff\xfe\n")

        assert gate("--batch", "-", cwd=market.root, stdin=passing).returncode == 0
        for args in (["--batch", "nowhere.jsonl"], ["--batch", "bad.jsonl"]):
            completed = market.run(*args)
            assert completed.returncode == 2 and "cannot read the batch" in completed.stderr
        refused = market.run("--batch", "-", "plugins")
        assert (refused.returncode, refused.stdout) == (2, "")
        assert "not with PATH" in refused.stderr
