"""The cache of policies read before: what it serves is exactly what reading
the same bytes gives, and anything amiss leaves the policy read as usual."""

import os
import stat
import subprocess
import sys

import pytest

import scanner_audit
import scanner_gate
from scanner_gate import policy, policy_cache

from .conftest import POLICY, as_pyproject, gate

STRICTER = POLICY.replace('forbidden = ["os", "subprocess"]', 'forbidden = ["os", "subprocess", "yaml"]')


@pytest.fixture
def cache(tmp_path, monkeypatch):
    """An empty cache of this test's own; its entries' directory."""
    monkeypatch.setenv("XDG_CACHE_HOME", str(tmp_path / "cache"))
    monkeypatch.delenv(policy_cache.OFF, raising=False)
    return tmp_path / "cache" / "scanner-core" / "policies"


def entries(directory):
    return sorted(name for name in os.listdir(directory) if not name.startswith("."))


SECTIONS = """
[[paths]]
name = "tests"
match = ["**/tests/**"]
skip = true

[[paths]]
match = ["legacy/**"]
forbidden = ["subprocess"]
allowed_attributes = []
"""


class TestServed:
    @pytest.mark.parametrize("text", [
        POLICY.replace('allowed_prefixes = ["quenx"]', 'allowed_prefixes = ["quenx"]\nfail_on = "warning"'),
        POLICY.replace('allowed_prefixes = ["quenx"]', 'allowed_prefixes = ["quenx"]\nfail_on = "warning"\n'
                       'allowed_attributes = ["os.path"]\ntype_checking = "ignore"') + SECTIONS,
    ], ids=["lists", "sections"])
    def test_a_second_reading_is_served_without_the_toml_reader_and_gives_the_same_policy(self, cache, tmp_path,
                                                                                           text):
        path = tmp_path / "policy.toml"
        path.write_text(text)
        read = policy.load_file(str(path))
        assert read.fail_on == "warning"
        assert len(entries(cache)) == 1
        assert stat.S_IMODE(os.stat(cache).st_mode) == 0o700
        env = dict(os.environ, PYTHONPATH=os.pathsep.join(
            [os.path.dirname(scanner_audit.__file__), os.path.dirname(os.path.dirname(scanner_gate.__file__))]))
        served = subprocess.run(
            [sys.executable, "-c", "import sys; from scanner_gate import policy; "
             f"print(repr([sorted(v) if isinstance(v, frozenset) else v for v in policy.load_file({str(path)!r})])); "
             "print('tomllib' in sys.modules)"],
            capture_output=True, text=True, check=True, env=env)
        fields = [sorted(v) if isinstance(v, frozenset) else v for v in read]
        assert served.stdout.splitlines() == [repr(fields), "False"]

    def test_an_edited_policy_is_read_again_and_judges_by_its_new_content(self, cache, project):
        project.write("myplugin/net.py", "import yaml\n")
        assert project.run("plugins").returncode == 0
        (project.root / "pyproject.toml").write_text(as_pyproject(STRICTER))

        completed = project.run("plugins")

        assert completed.returncode == 1
        assert "plugins/myplugin/net.py:1: import interdit \u2014 'yaml'" in completed.stdout
        assert len(entries(cache)) == 2

    def test_the_same_bytes_read_as_a_policy_file_and_as_a_pyproject_are_kept_apart(self, cache, tmp_path):
        (tmp_path / "pyproject.toml").write_text(POLICY)
        (tmp_path / "policy.toml").write_text(POLICY)
        policy.load_file(str(tmp_path / "policy.toml"))
        with pytest.raises(policy.PolicyError, match="has no \\[tool.scanner-core.policy\\] table"):
            policy.load_file(str(tmp_path / "pyproject.toml"))


class TestAmiss:
    @pytest.mark.parametrize("damage", [b"", b"scanner-core policy tables 1\n", None])
    def test_an_entry_cut_short_or_garbled_is_no_entry(self, cache, tmp_path, damage):
        path = tmp_path / "policy.toml"
        path.write_text(POLICY)
        read = policy.load_file(str(path))
        [entry] = entries(cache)
        content = (cache / entry).read_bytes()
        (cache / entry).write_bytes(content[:-9] + b"S9999:x\nend\n" if damage is None else damage)

        assert policy.load_file(str(path)) == read

    def test_a_directory_others_may_write_to_is_not_used(self, cache, tmp_path):
        cache.mkdir(parents=True)
        cache.chmod(0o777)
        path = tmp_path / "policy.toml"
        path.write_text(POLICY)

        assert policy.load_file(str(path)).forbidden == {"os", "subprocess"}
        assert entries(cache) == []

    def test_turned_off_it_keeps_nothing(self, cache, tmp_path, monkeypatch):
        monkeypatch.setenv(policy_cache.OFF, "1")
        path = tmp_path / "policy.toml"
        path.write_text(POLICY)
        policy.load_file(str(path))
        assert not cache.exists()

    def test_a_refused_policy_is_never_kept(self, cache, tmp_path):
        path = tmp_path / "policy.toml"
        path.write_text(POLICY.replace("forbidden", "forbiden"))
        for _ in range(2):
            completed = gate("--policy", path, tmp_path)
            assert completed.returncode == 2
            assert "unknown key 'forbiden'" in completed.stderr
        assert not cache.exists() or entries(cache) == []
