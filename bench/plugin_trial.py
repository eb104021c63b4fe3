"""The reviewer's trial: 33 published plugins judged as a host would.

Each plugin of bench/plugins.txt is judged twice in one --batch run, as a
job of its own: under the flat policy a host wrote before it could say
more (the forbidden roots alone), and under examples/host_policy.toml
(attributes of os allowed, imports only type checkers see ignored, tests
in a section of their own), each with the plugin's own top-level packages
as its local modules. Prints, for each plugin, both verdicts and what
still fails it under the host's policy, then whether every error the
flat policy found is still there or accounted for: an import of os whose
every use is an allowed attribute, an import only type checkers see, or
a test file skipped.

    python bench/plugin_trial.py [--cache DIR] [--module-dir DIR]
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import tempfile
import tomllib
from collections import Counter
from pathlib import Path

HERE = Path(__file__).resolve().parent
REPO = HERE.parent
sys.path.insert(0, str(HERE))

import plugin_set  # noqa: E402 - beside this script

HOST = REPO / "examples" / "host_policy.toml"


def host_forbidden() -> list[str]:
    """The roots the host's policy forbids."""
    return tomllib.loads(HOST.read_text())["policy"]["forbidden"]


def policy_files(directory: Path, plugin: plugin_set.Plugin) -> tuple[Path, Path]:
    """The flat and the host policy of one plugin's jobs."""
    local = f"\n[plugin]\nlocal_modules = {json.dumps(plugin.top_levels())}\n"
    host_text = HOST.read_text()
    forbidden = host_forbidden()
    flat = directory / f"{plugin.name}.flat.toml"
    flat.write_text(f"[policy]\nforbidden = {json.dumps(forbidden)}\n" + local)
    host = directory / f"{plugin.name}.host.toml"
    # [plugin] before the sections: a table after [[paths]] would be read as the section's.
    head, _, sections = host_text.partition("[[paths]]")
    host.write_text(head + local + "\n[[paths]]" + sections)
    return flat, host


def errors(job: dict) -> list[tuple[str, str, str, list[str]]]:
    """(member, rule, what, context) of each error of a job."""
    found = []
    for file in job.get("files", []):
        for finding in file["findings"]:
            if finding["level"] == "error":
                what = finding["message"].rsplit(" — ", 1)[-1]
                found.append((file["filepath"].rpartition("!/")[2], finding["rule"], what, finding["context"] or []))
    return found


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--cache", type=Path, default=Path.home() / ".cache" / "scanner-core" / "bench")
    parser.add_argument("--module-dir", type=Path, default=REPO / "build" / "dev")
    args = parser.parse_args()
    plugins = plugin_set.ensure(args.cache, log=lambda *a: print(*a, file=sys.stderr))
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(args.module_dir), str(REPO / "src")]))
    with tempfile.TemporaryDirectory() as scratch:
        lines = []
        for plugin in plugins:
            flat, host = policy_files(Path(scratch), plugin)
            for kind, policy in (("flat", flat), ("host", host)):
                lines.append(json.dumps({"id": [plugin.name, kind], "paths": [str(plugin.wheel)],
                                         "policy": str(policy)}))
        done = subprocess.run([sys.executable, "-m", "scanner_gate", "--batch", "-", "--lang", "en"],
                              input="\n".join(lines) + "\n", capture_output=True, text=True, env=env)
    if done.returncode not in (0, 1):
        print(done.stderr, file=sys.stderr)
        return 2
    jobs = {tuple(job["id"]): job for job in map(json.loads, done.stdout.splitlines())}
    failing = Counter()
    accounted = Counter()
    print("| plugin | files | flat policy | host policy | what fails it under the host's policy |")
    print("|---|---:|---|---|---|")
    for plugin in plugins:
        flat, host = jobs[(plugin.name, "flat")], jobs[(plugin.name, "host")]
        for job in (flat, host):
            if "error" in job:
                print(f"{plugin.name}: {job['error']}", file=sys.stderr)
                return 2
        verdicts = []
        for kind, job in (("flat", flat), ("host", host)):
            summary = job["summary"]
            verdicts.append(f"FAIL ({summary['errors']} errors)" if summary["failed"] else "pass")
            failing[kind] += bool(summary["failed"])
        host_errors = errors(host)
        uses = sorted({what for _, _, what, _ in host_errors})
        print(f"| {plugin.name} | {flat['summary']['scanned']} | {verdicts[0]} | {verdicts[1]} | "
              f"{', '.join(uses)} |")
        # Each error of the flat policy: still an error of the same module in
        # the same file, or why not.
        by_member = {file["filepath"].rpartition("!/")[2]: file for file in host["files"]}
        still = {(member, what.strip("'").split(".")[0]) for member, _, what, _ in host_errors}
        for member, rule, what, context in errors(flat):
            module = what.strip("'").split(".")[0]
            used = [chain for chain in by_member[member].get("allowed_used", []) if chain.split(".")[0] == module]
            if (member, module) in still:
                accounted["still an error"] += 1
            elif by_member[member].get("skipped"):
                accounted["in a test file skipped"] += 1
            elif "type-checking" in context:
                accounted["seen by type checkers only"] += 1
            elif used:
                accounted[f"an import of {module} whose every use is allowed"] += 1
            else:
                accounted[f"{rule} of {module}, no longer an error, unexplained"] += 1
                print(f"unexplained: {plugin.name} {member} {what}", file=sys.stderr)
    print(f"\nplugins failing: {failing['flat']} of {len(plugins)} under the flat policy, "
          f"{failing['host']} under the host's")
    print("errors of the flat policy: " + "; ".join(f"{count} {why}" for why, count in sorted(accounted.items())))
    return 0


if __name__ == "__main__":
    sys.exit(main())
