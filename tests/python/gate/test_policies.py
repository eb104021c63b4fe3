"""Policies that would judge nothing are refused; deny by default; every
report names the policy it applied."""

import json

import pytest


class TestPoliciesThatJudgeNothing:
    @pytest.mark.parametrize(
        ("table", "entry"),
        [
            ('forbidden = ["os.path"]', "'os.path'"),
            ('forbidden = ["subprocess", " os"]', "' os'"),
            ('forbidden = [""]', "''"),
            ('forbidden = ["os.*"]', "'os.*'"),
            ('forbidden = ["o-s"]', "'o-s'"),
            ('forbidden = ["class"]', "'class'"),
            ('forbidden = ["\uff4f\uff53"]', "'\uff4f\uff53'"),  # Python reads it as "os": the entry would never match
        ],
    )
    def test_a_forbidden_entry_that_is_no_top_level_name_is_refused_naming_it(self, project, table, entry):
        (project.root / "policy.toml").write_text(f"[policy]\n{table}\n", encoding="utf-8")

        completed = project.run("--policy", "policy.toml", "plugins")

        assert completed.returncode == 2
        assert completed.stdout == ""
        assert f"forbidden entry {entry} is not a top-level module name" in completed.stderr
        assert completed.stderr.count("\n") == 1

    @pytest.mark.parametrize("local", ["subprocess", "subprocess.run", "\uff53ubprocess"])
    def test_a_local_module_that_is_forbidden_is_refused(self, project, local):
        (project.root / "policy.toml").write_text(
            f'[policy]\nforbidden = ["subprocess"]\n[plugin]\nlocal_modules = ["{local}"]\n', encoding="utf-8"
        )

        completed = project.run("--policy", "policy.toml", "plugins")

        assert completed.returncode == 2
        assert f"local_modules entry {local!r} is forbidden" in completed.stderr

    @pytest.mark.parametrize(
        "content", ["", "[policy]\n", '[plugin]\nlocal_modules = ["x"]\n', "[policy]\nforbidden = []\nallowed_exact = []\n"]
    )
    def test_a_policy_with_nothing_forbidden_or_allowed_is_refused(self, project, content):
        (project.root / "policy.toml").write_text(content)

        completed = project.run("--policy", "policy.toml", "plugins")

        assert completed.returncode == 2
        assert "the policy has no forbidden and no allowed entry" in completed.stderr

    def test_an_allow_list_alone_is_a_policy(self, project):
        (project.root / "policy.toml").write_text('[policy]\nallowed_prefixes = ["json", "quenx"]\n')

        completed = project.run("--policy", "policy.toml", "plugins")

        assert completed.returncode == 0, completed.stderr


class TestDenyByDefault:
    def test_fail_on_warning_from_the_command_or_the_policy_fails_an_unlisted_import(self, project):
        strict = project.root / "strict.toml"
        strict.write_text('[policy]\nforbidden = ["os"]\nallowed_exact = ["json"]\nfail_on = "warning"\n')

        lenient = project.run("--json", "plugins")
        by_flag = project.run("--json", "--fail-on", "warning", "plugins")
        by_policy = project.run("--json", "--policy", strict, "plugins")
        flag_cannot_relax = project.run("--json", "--fail-on", "error", "--policy", strict, "plugins")

        assert lenient.returncode == 0
        assert by_flag.returncode == by_policy.returncode == flag_cannot_relax.returncode == 1
        failed = {f["filepath"] for f in json.loads(by_flag.stdout)["files"] if not f["passed"]}
        assert failed == {"plugins/myplugin/core.py"}  # its `import yaml`: a warning, now failing

    def test_an_unknown_fail_on_is_refused(self, project):
        (project.root / "policy.toml").write_text('[policy]\nforbidden = ["os"]\nfail_on = "never"\n')

        completed = project.run("--policy", "policy.toml", "plugins")

        assert completed.returncode == 2
        assert 'fail_on must be "error" or "warning"' in completed.stderr


class TestThePolicyAppliedIsNamed:
    def test_json_and_sarif_name_the_source_the_forbidden_roots_and_what_fails(self, project):
        as_json = json.loads(project.run("--json", "--fail-on", "warning", "plugins").stdout)
        as_sarif = json.loads(project.run("--format", "sarif", "plugins").stdout)

        source = f"{project.root / 'pyproject.toml'} [tool.scanner-core]"
        # json holds os (json.tool.argparse._os): what taking it through json would refuse.
        reachable = {"json": ["os"]}
        assert as_json["policy"] == {
            "source": source, "forbidden": ["os", "subprocess"], "fail_on": "warning", "reachable": reachable,
        }
        assert as_sarif["runs"][0]["properties"]["policy"] == {
            "source": source, "forbidden": ["os", "subprocess"], "fail_on": "error", "reachable": reachable,
        }
