"""Runs the scanner-core hook through pre-commit, as a user's repository would.

    python pre_commit_check.py SOURCE_TREE WORK_DIR

Run by `make check-pre-commit` with .venv's interpreter, which has the
pinned pre-commit. The working tree of SOURCE_TREE (its tracked files and
the untracked ones git does not ignore) is committed into a repository of
its own, with fixed dates so that the same tree gives the same revision;
a throwaway project repository names it in its .pre-commit-config.yaml.
pre-commit then builds the hook's environment from source (once per
revision: WORK_DIR/home keeps it) and runs the hook, scoped with `files:`
to plugins/, on a file that hides a forbidden import from the line scan,
which must fail, and on a clean file, which must pass; the project's own
script, out of scope, is not judged.
"""

import os
import pathlib
import shutil
import subprocess
import sys

source, work = (pathlib.Path(arg).resolve() for arg in sys.argv[1:3])
hook_repo, project, home = work / "hook-repo", work / "project", work / "home"
FIXED = {
    "GIT_AUTHOR_NAME": "scanner-core check", "GIT_AUTHOR_EMAIL": "check@localhost",
    "GIT_COMMITTER_NAME": "scanner-core check", "GIT_COMMITTER_EMAIL": "check@localhost",
    "GIT_AUTHOR_DATE": "2000-01-01T00:00:00Z", "GIT_COMMITTER_DATE": "2000-01-01T00:00:00Z",
}
# pre-commit finds python3.13 (the hook's language_version) beside the
# interpreter that runs it; nothing of the user's git configuration applies.
env = {
    **{k: v for k, v in os.environ.items() if not k.startswith(("GIT_", "PRE_COMMIT", "PYTHONPATH"))},
    **FIXED,
    "PATH": f"{pathlib.Path(sys.executable).parent}{os.pathsep}{os.environ['PATH']}",
    "PRE_COMMIT_HOME": str(home),
    "GIT_CONFIG_GLOBAL": os.devnull,
    "GIT_CONFIG_NOSYSTEM": "1",
}


def git(*args, cwd):
    return subprocess.run(["git", *args], cwd=cwd, env=env, check=True, capture_output=True).stdout


# The hook's repository: this working tree as one commit.
shutil.rmtree(hook_repo, ignore_errors=True)
hook_repo.mkdir(parents=True)
git("init", "-q", "-b", "main", cwd=hook_repo)
listed = git("ls-files", "-z", "--cached", "--others", "--exclude-standard", cwd=source).split(b"\0")
for relative in filter(None, listed):
    origin, copy = os.path.join(bytes(source), relative), os.path.join(bytes(hook_repo), relative)
    if not os.path.lexists(origin):
        continue  # deleted in the working tree, not yet in the index
    os.makedirs(os.path.dirname(copy), exist_ok=True)
    if os.path.islink(origin):
        os.symlink(os.readlink(origin), copy)
    else:
        shutil.copy2(origin, copy)
git("add", "-A", cwd=hook_repo)
git("commit", "-q", "-m", "the working tree", cwd=hook_repo)
revision = git("rev-parse", "HEAD", cwd=hook_repo).decode().strip()

# The user's repository, with its policy in pyproject.toml.
shutil.rmtree(project, ignore_errors=True)
project.mkdir()
git("init", "-q", "-b", "main", cwd=project)
(project / "pyproject.toml").write_text('[tool.scanner-core.policy]\nforbidden = ["os"]\nallowed_exact = ["json"]\n')
(project / ".pre-commit-config.yaml").write_text(
    f"repos:\n- repo: {hook_repo}\n  rev: {revision}\n  hooks:\n  - id: scanner-core\n    files: ^plugins/\n"
)
(project / "plugins").mkdir()
(project / "plugins" / "hidden.py").write_text("import json, os\n")  # os only the audit sees
(project / "plugins" / "clean.py").write_text("import json\n")
(project / "tool.py").write_text("import os\n")  # the project's own script, out of the hook's scope
git("add", "-A", cwd=project)


def hook(*files):
    completed = subprocess.run(
        [sys.executable, "-m", "pre_commit", "run", "scanner-core", "--verbose", "--color", "never", "--files", *files],
        cwd=project, env=env, capture_output=True, text=True,
    )
    print(f"$ pre-commit run scanner-core --verbose --files {' '.join(files)}   # exit status {completed.returncode}")
    print(completed.stdout + completed.stderr, end="", flush=True)
    return completed


failing = hook("plugins/hidden.py", "plugins/clean.py", "tool.py")
assert failing.returncode == 1, "the hook must fail on a hidden forbidden import"
assert "FAIL  plugins/hidden.py  (1 error, 0 warnings)" in failing.stdout
assert "error    [hidden-forbidden-import] plugins/hidden.py:1: import cach\u00e9 interdit \u2014 'os'" in failing.stdout
# The clean file is counted, not listed (--verbose would list it).
assert "1 file without findings not listed (--verbose lists them)" in failing.stdout
assert "2 files scanned" in failing.stdout and "tool.py" not in failing.stdout, "files: keeps the script out"

passing = hook("plugins/clean.py", "tool.py")
assert passing.returncode == 0, "the hook must pass a clean file"
assert "1 file scanned: 1 passed, 0 failed; 0 errors, 0 warnings" in passing.stdout

# Environments of earlier revisions go; this one stays for the next run.
subprocess.run([sys.executable, "-m", "pre_commit", "gc"], cwd=project, env=env, check=True, capture_output=True)
print(f"pre-commit OK: the hook of revision {revision[:12]} fails a hidden import and passes a clean file")
