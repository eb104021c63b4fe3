"""The CI recipes of examples/ci (and docs/ci.md, which shows them): their
YAML parses, the commands they run work on the example plugins and end as
the recipe says, and every place that pins the gate names this version."""

import json
import os
import pathlib
import re
import shutil
import subprocess
import sys
import tomllib

import pytest
import yaml

import scanner_audit
import scanner_gate

from .conftest import EXAMPLES

ROOT = EXAMPLES.parent
RECIPES = ROOT / "examples" / "ci"


def load(name):
    return yaml.safe_load((RECIPES / name).read_text())


@pytest.fixture
def repository(tmp_path):
    """A plugin repository as the recipes expect it: the example plugins in
    plugins/, the example policy in pyproject.toml, and scanner-core on PATH
    as pip installs it (here, this session's build)."""
    shutil.copytree(EXAMPLES / "plugins", tmp_path / "plugins", symlinks=True)
    policy = (EXAMPLES / "policy.toml").read_text()
    (tmp_path / "pyproject.toml").write_text(re.sub(r"^\[(\w+)\]$", r"[tool.scanner-core.\1]", policy, flags=re.M))
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    command = bin_dir / "scanner-core"
    command.write_text(f'#!/bin/sh\nexec "{sys.executable}" -m scanner_gate "$@"\n')
    command.chmod(0o755)
    path = os.pathsep.join([os.path.dirname(scanner_audit.__file__), os.path.dirname(os.path.dirname(scanner_gate.__file__))])
    env = {**os.environ, "PATH": f"{bin_dir}{os.pathsep}{os.environ['PATH']}", "PYTHONPATH": path}
    return tmp_path, env


def run(command, cwd, env):
    return subprocess.run(["bash", "-e", "-c", command], cwd=cwd, env=env, capture_output=True, text=True, timeout=300)


def installs(command):
    return "pip install" in command


class TestRecipes:
    def test_docs_show_each_recipe_as_it_is_in_examples(self):
        page = (ROOT / "docs" / "ci.md").read_text()
        shown = dict(re.findall(r"<!-- (examples/ci/[\w.-]+) -->\n```yaml\n(.*?)```\n", page, re.S))
        recipes = {f"examples/ci/{path.name}": path.read_text() for path in RECIPES.glob("*.yml")}
        assert shown == recipes

    def test_github_uploads_the_sarif_log_then_fails_on_the_verdict(self, repository):
        root, env = repository
        [job] = load("github-actions.yml")["jobs"].values()
        steps = job["steps"]
        upload = next(index for index, step in enumerate(steps) if "upload-sarif" in step.get("uses", ""))
        gate = next(step for step in steps if step.get("id") == "gate")
        assert gate.get("continue-on-error") is True and steps.index(gate) < upload

        outcomes = {}
        for step in steps:
            if "run" not in step or installs(step["run"]):
                continue
            condition = step.get("if")
            if condition is not None:
                # The one condition the recipe uses: the gate's outcome.
                assert condition == "steps.gate.outcome != 'success'"
                if outcomes["gate"] == 0:
                    continue
            completed = run(step["run"], root, env)
            outcomes[step.get("id", step["name"])] = completed.returncode
            if step is gate:
                log = json.loads((root / steps[upload]["with"]["sarif_file"]).read_text())
                assert {r["ruleId"] for r in log["runs"][0]["results"]} >= {"forbidden-import", "unreadable-file"}
        assert outcomes == {"gate": 1, "Fail on the verdict": 1}

    def test_gitlab_writes_the_code_quality_report_then_fails_on_the_verdict(self, repository):
        root, env = repository
        [job] = load("gitlab-ci.yml").values()
        assert job["artifacts"]["when"] == "always"

        completed = run("\n".join(job["script"]), root, env)

        assert completed.returncode == 1, completed.stderr
        assert "FAIL  plugins/weather/cli.py" in completed.stdout
        issues = json.loads((root / job["artifacts"]["reports"]["codequality"]).read_text())
        assert {issue["check_name"] for issue in issues} >= {"forbidden-import", "unreadable-file"}


def test_every_pin_of_the_gate_names_this_version_and_the_project():
    with open(ROOT / "pyproject.toml", "rb") as stream:
        source = tomllib.load(stream)["project"]["urls"]["Source"]
    tag = f"v{scanner_gate.__version__}"
    texts = {path: path.read_text() for path in
             [ROOT / "README.md", *(ROOT / "docs").glob("*.md"), *RECIPES.glob("*.yml")]}
    pins = [(path.name, url, rev) for path, text in texts.items()
            for url, rev in re.findall(r"git\+(\S+?)@(v[\w.]+)", text)]
    pins += [(path.name, url, rev) for path, text in texts.items()
             for url, rev in re.findall(r"repo: (\S+)\n\s*rev: (\S+)", text)]
    assert {path.name for path in texts if path.suffix == ".yml"} <= {name for name, _, _ in pins}
    assert "README.md" in {name for name, _, _ in pins}
    assert [pin for pin in pins if pin[1:] != (source, tag)] == []


def test_the_readme_links_only_to_files_that_exist():
    # The README is read on its own, on a forge or from an sdist: a page
    # moved in docs/ must not leave it pointing nowhere.
    readme = (ROOT / "README.md").read_text()
    targets = {target.partition("#")[0] for target in re.findall(r"\]\(([^)\s]+)\)", readme)}
    local = {target for target in targets if target and "://" not in target}
    assert local and [target for target in sorted(local) if not (ROOT / target).exists()] == []
