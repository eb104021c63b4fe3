"""Where the policy comes from: --policy FILE, else the working directory's
pyproject.toml, never a file inside the tree under review."""

import pytest

from .conftest import POLICY, as_pyproject, gate

# A policy that forbids nothing: what a hostile plugin would ship.
LAX = '[tool.scanner-core.policy]\nallowed_prefixes = ["os", "subprocess", "yaml"]\n'


class TestPolicyLookup:
    def test_the_working_directory_pyproject_holds_and_the_tree_own_does_not(self, project):
        project.write("myplugin/shell.py", "import subprocess\n")
        project.write("pyproject.toml", LAX)
        project.write("myplugin/pyproject.toml", LAX)

        completed = project.run("plugins")

        assert completed.returncode == 1
        assert completed.stdout.startswith(
            f"Scanning plugins with the policy {project.root / 'pyproject.toml'} [tool.scanner-core]; "
            "forbidden: os, subprocess; local modules: myplugin\n"
        )
        assert "plugins/myplugin/shell.py:1: import interdit \u2014 'subprocess'" in completed.stdout

    @pytest.mark.parametrize("scanned", [".", "pyproject.toml", "./plugins/.."])
    def test_a_pyproject_inside_the_scanned_paths_is_refused(self, project, scanned):
        completed = project.run(scanned)

        assert completed.returncode == 2
        assert completed.stdout == ""
        assert f"pyproject.toml lies inside the scanned path {scanned}" in completed.stderr
        assert "--policy pyproject.toml" in completed.stderr

    def test_policy_file_wins_and_a_pyproject_named_with_it_is_vouched_for(self, project, tmp_path_factory):
        project.write("myplugin/shell.py", "import subprocess\n")
        lax = tmp_path_factory.mktemp("elsewhere") / "lax.toml"
        lax.write_text('[policy]\nallowed_prefixes = ["subprocess", "yaml"]\n')

        by_file = project.run("--policy", lax, "plugins")
        vouched = project.run("--policy", "pyproject.toml", ".")

        assert by_file.returncode == 0, by_file.stdout
        assert vouched.returncode == 1
        assert "FAIL  ./plugins/myplugin/shell.py  (1 error, 0 warnings)" in vouched.stdout

    @pytest.mark.parametrize(
        ("content", "complaint"),
        [
            ("", "has no [tool.scanner-core.policy] table"),
            ('[tool.scanner-core.plugin]\nlocal_modules = ["x"]\n', "has no [tool.scanner-core.policy] table"),
            (as_pyproject(POLICY).replace("forbidden", "forbiden"), "unknown key 'forbiden' in [tool.scanner-core.policy]"),
            (as_pyproject(POLICY) + "[tool.scanner-core.rules]\n", "unknown section [tool.scanner-core.rules]"),
            ('[tool.scanner-core.policy]\nforbidden = "os"\n', "[tool.scanner-core.policy] forbidden must be a list of strings"),
            ("[tool.scanner-core.policy\n", "is not valid TOML"),
        ],
    )
    def test_two_for_a_pyproject_without_a_usable_policy(self, project, content, complaint):
        (project.root / "pyproject.toml").write_text(content)

        completed = project.run("plugins")

        assert completed.returncode == 2
        assert complaint in completed.stderr
        assert f"{project.root / 'pyproject.toml'}" in completed.stderr
        assert completed.stdout == ""

    def test_two_without_any_policy_saying_where_it_looked(self, project):
        (project.root / "pyproject.toml").unlink()

        completed = project.run("plugins")

        assert completed.returncode == 2
        assert completed.stderr == (
            f"scanner-core: no policy: {project.root / 'pyproject.toml'} does not exist (give one with --policy FILE, "
            f"or add [tool.scanner-core.policy] to {project.root / 'pyproject.toml'})\n"
        )

    def test_from_a_subdirectory_the_policy_above_is_named_but_not_read(self, project):
        below = project.root / "tools" / "deeper"
        below.mkdir(parents=True)
        (project.root / "tools" / "pyproject.toml").write_text("[project]\nname = 'tools'\n")  # holds none

        completed = gate("../../plugins", cwd=below)

        assert completed.returncode == 2 and completed.stdout == ""
        above = project.root / "pyproject.toml"
        assert completed.stderr.endswith(f"; {above} holds one, which is read only when named: --policy {above})\n")
        assert gate("--policy", above, "../../plugins", cwd=below).returncode == 0

    @pytest.mark.parametrize(
        ("content", "complaint"),
        [
            ('[policy]\nforbiden = ["os"]\n', "unknown key 'forbiden' in [policy]"),
            ('[rules]\nforbidden = ["os"]\n', "unknown section [rules]"),
        ],
    )
    def test_two_for_a_policy_file_with_unknown_keys_or_missing(self, project, content, complaint):
        (project.root / "policy.toml").write_text(content)

        wrong = project.run("--policy", "policy.toml", "plugins")
        missing = project.run("--policy", "nope.toml", "plugins")

        assert (wrong.returncode, missing.returncode) == (2, 2)
        assert complaint in wrong.stderr
        assert "cannot read nope.toml: No such file or directory" in missing.stderr
