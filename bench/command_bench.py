"""The command end to end beside ruff's banned-api rule, side by side.

Times `python -m scanner_gate` (full verdict, text and JSON) and
`ruff check --no-cache --select TID251` with the same forbidden roots, on
the corpora of run_bench, in rounds that take each contender in turn (so
that a busy machine weighs on all alike), and reports medians and the
command's time over ruff's. Also the start-up figures (`--version`
against `python -c pass`) and the peak memory of the command in JSON on
many-small, above that of the bare interpreter.

    python bench/command_bench.py [--quick] [--runs N] [--module-dir DIR] [--ruff PATH]

ruff is taken beside the interpreter unless --ruff names it; it is not
installed by this script.
"""

import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
REPO = HERE.parent
sys.path.insert(0, str(HERE))

import corpora  # noqa: E402 - beside this script

CORPORA = ("stdlib", "many-small", "few-large", "long-lines")
TIMEOUT = 600
# Peak resident memory of a child, in KiB, read by a wrapper of its own so
# that each figure is one process's.
PEAK = ("import resource, subprocess, sys;"
        "subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL);"
        "print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)")


def policy_lists() -> dict[str, list[str]]:
    """bench/policy.txt: one collection a line, its name first."""
    lists = {}
    for line in (HERE / "policy.txt").read_text().splitlines():
        if line.strip() and not line.startswith("#"):
            name, *entries = line.split()
            lists[name] = entries
    return lists


def write_configs(directory: Path) -> tuple[Path, Path]:
    lists = policy_lists()
    policy = directory / "policy.toml"
    policy.write_text(
        "[policy]\n"
        + "".join(f"{key} = {json.dumps(lists.get(key, []))}\n" for key in ("forbidden", "allowed_exact",
                                                                              "allowed_prefixes"))
        + f"[plugin]\nlocal_modules = {json.dumps(lists.get('local', []))}\n")
    ruff = directory / "ruff.toml"
    ruff.write_text("exclude = []\n[lint]\nselect = [\"TID251\"]\n[lint.flake8-tidy-imports.banned-api]\n"
                    + "".join(f'"{root}".msg = "forbidden"\n' for root in lists["forbidden"]))
    return policy, ruff


def timed(argv: list[str], env: dict) -> float:
    start = time.perf_counter()
    done = subprocess.run(argv, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=env, timeout=TIMEOUT)
    seconds = time.perf_counter() - start
    if done.returncode not in (0, 1):
        raise RuntimeError(f"{argv[:3]} failed ({done.returncode}): {done.stderr.decode(errors='replace')[:300]}")
    return seconds


def peak_kib(argv: list[str], env: dict) -> int:
    done = subprocess.run([sys.executable, "-c", PEAK, *argv], capture_output=True, env=env, timeout=TIMEOUT,
                          check=True)
    return int(done.stdout)


# The engine alone on the same trees, in one process and one call each.
ENGINE_ALONE = """
import json, sys, scanner_audit
lists = json.loads(sys.argv[1])
scanner = scanner_audit.Scanner(set(lists.get("forbidden", [])), set(lists.get("allowed_exact", [])),
                                lists.get("allowed_prefixes", []))
for path in sys.argv[2:]:
    scanner.scan_tree(path, set(lists.get("local", [])))
"""


def batch_times(cache: Path, env: dict, ruff: str, quick: bool, runs: int, log=print) -> dict[str, float]:
    """Many plugins, each with its own job: --batch in one process beside
    ruff's banned-api rule run once per plugin and the engine alone on the
    same trees, medians in seconds (and "plugins", "files"). The plugins are
    the 33 published ones of bench/plugins.txt, unpacked, each judged by the
    host's policy (examples/host_policy.toml) with its own packages as local
    modules, so that every job's policy is its own (12 plugins when quick)."""
    import plugin_set
    import plugin_trial

    plugins = plugin_set.ensure(cache, log=log)[: 12 if quick else None]
    with tempfile.TemporaryDirectory() as scratch:
        jobs = Path(scratch) / "jobs.jsonl"
        ruff_config = Path(scratch) / "ruff.toml"
        ruff_config.write_text("exclude = []\n[lint]\nselect = [\"TID251\"]\n[lint.flake8-tidy-imports.banned-api]\n"
                               + "".join(f'"{root}".msg = "forbidden"\n' for root in plugin_trial.host_forbidden()))
        lines = []
        for plugin in plugins:
            _, host = plugin_trial.policy_files(Path(scratch), plugin)
            lines.append(json.dumps({"id": plugin.name, "paths": [str(plugin.tree)], "policy": str(host)}) + "\n")
        jobs.write_text("".join(lines))
        batch = [sys.executable, "-m", "scanner_gate", "--batch", str(jobs)]
        ruff_argv = [ruff, "check", "--no-cache", "--quiet", "--output-format", "concise", "--config",
                     str(ruff_config)]
        lists = {"forbidden": plugin_trial.host_forbidden()}
        engine = [sys.executable, "-c", ENGINE_ALONE, json.dumps(lists), *(str(plugin.tree) for plugin in plugins)]
        times: dict[str, list[float]] = {"batch": [], "ruff": [], "engine": []}
        for round_ in range(runs + 1):  # the first round warms the page cache
            took = {"batch": timed(batch, env),
                    "ruff": sum(timed([*ruff_argv, str(plugin.tree)], env) for plugin in plugins),
                    "engine": timed(engine, env)}
            if round_:
                for name, value in took.items():
                    times[name].append(value)
    figures = {name: statistics.median(values) for name, values in times.items()}
    figures["plugins"] = len(plugins)
    figures["files"] = sum(len(list(plugin.tree.rglob("*.py"))) for plugin in plugins)
    return figures


def batch_figures(args: argparse.Namespace, env: dict) -> None:
    median = batch_times(args.cache, env, args.ruff, args.quick, args.runs,
                         log=lambda *a: print(*a, file=sys.stderr))
    print(f"\n{median['plugins']} published plugins ({median['files']} files), a job each: --batch "
          f"{median['batch'] * 1e3:.0f} ms, ruff TID251 one process a plugin {median['ruff'] * 1e3:.0f} ms, the "
          f"engine alone in one process {median['engine'] * 1e3:.0f} ms; batch ÷ ruff "
          f"{median['batch'] / median['ruff']:.2f}, batch ÷ engine {median['batch'] / median['engine']:.2f}")


def section(cache: Path, module_dir: Path, ruff: str, quick: bool, runs: int, log=print) -> list[str]:
    """The report's part on many plugins in one run (make bench)."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(module_dir), str(REPO / "src")]))
    try:
        median = batch_times(cache, env, ruff, quick, runs, log)
    except (subprocess.CalledProcessError, OSError) as error:  # no registry to fetch the plugins from
        return ["## Many plugins in one run", "", f"Not measured: the plugins could not be fetched ({error}).", ""]
    batch, ruff_ms, engine = (median[name] * 1e3 for name in ("batch", "ruff", "engine"))
    return ["## Many plugins in one run", "",
            f"{median['plugins']} published plugins (`bench/plugins.txt`, {median['files']} files), each a job of "
            "its own under the host's policy (`examples/host_policy.toml`, its own packages as local modules): "
            f"`scanner-core --batch` in one process, ruff's banned-api rule run once per plugin, and the engine "
            f"alone (`scan_tree` of each tree in one process); medians of {runs}.", "",
            "| --batch ms | ruff TID251, a process a plugin, ms | engine alone ms | batch ÷ ruff | batch ÷ engine |",
            "|---:|---:|---:|---:|---:|",
            f"| {batch:.0f} | {ruff_ms:.0f} | {engine:.0f} | {batch / ruff_ms:.2f} {'✓' if batch <= ruff_ms else '✗'} "
            f"| {batch / engine:.2f} {'✓' if batch <= 1.1 * engine else '✗'} |", ""]


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="the small corpora of run_bench --quick")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--corpus", action="append", choices=CORPORA, help="only this corpus (repeatable)")
    parser.add_argument("--cache", type=Path, default=Path.home() / ".cache" / "scanner-core" / "bench")
    parser.add_argument("--module-dir", type=Path, default=REPO / "build" / "dev")
    parser.add_argument("--ruff", default=shutil.which("ruff", path=str(Path(sys.executable).parent)))
    parser.add_argument("--before", nargs=2, type=Path, metavar=("MODULE_DIR", "SOURCE_DIR"),
                        help="an earlier build and its src/, timed in the same rounds")
    parser.add_argument("--batch-only", action="store_true", help="only the batch of published plugins")
    args = parser.parse_args()
    if not args.ruff:
        parser.error("no ruff beside the interpreter: name one with --ruff")

    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(args.module_dir), str(REPO / "src")]))
    if args.batch_only:
        batch_figures(args, env)
        return 0
    recipes = corpora.recipes(args.quick)
    chosen = [corpora.ensure(args.cache, name, recipes[name], log=lambda *a: print(*a, file=sys.stderr))
              for name in args.corpus or CORPORA]
    with tempfile.TemporaryDirectory() as scratch:
        policy, ruff_config = write_configs(Path(scratch))
        command = [sys.executable, "-m", "scanner_gate", "--policy", str(policy)]
        contenders = {
            "text": lambda path: [*command, str(path)],
            "json": lambda path: [*command, "--json", str(path)],
            **({"text before": lambda path: [*command, str(path)],
                "json before": lambda path: [*command, "--json", str(path)]} if args.before else {}),
            "ruff": lambda path: [args.ruff, "check", "--no-cache", "--quiet", "--output-format", "concise",
                                  "--config", str(ruff_config), str(path)],
        }
        envs = {name: env for name in contenders}
        if args.before:
            before_env = dict(os.environ, PYTHONPATH=os.pathsep.join(str(p) for p in args.before))
            envs["text before"] = envs["json before"] = before_env
            print("| corpus | files | text before ms | text ms | json before ms | json ms | ruff TID251 ms "
                  "| text ÷ ruff before | now | json ÷ ruff before | now |")
            print("|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|")
        else:
            print("| corpus | files | command text ms | command json ms | ruff TID251 ms | text ÷ ruff | json ÷ ruff |")
            print("|---|---:|---:|---:|---:|---:|---:|")
        for corpus in chosen:
            times: dict[str, list[float]] = {name: [] for name in contenders}
            for name, argv in contenders.items():  # warm-up: the page cache, not the figures
                timed(argv(corpus.path), envs[name])
            others = [name for name in contenders if name != "ruff"]
            for round_ in range(args.runs):
                # ruff first, then the others, starting with another each
                # round: the run that follows ruff's, which leaves memory to
                # reclaim, was slowed on the long lines by nearly half.
                start = round_ % len(others)
                for name in ["ruff", *others[start:], *others[:start]]:
                    times[name].append(timed(contenders[name](corpus.path), envs[name]))
            median = {name: statistics.median(values) for name, values in times.items()}
            if args.before:
                ms = {name: f"{value * 1e3:,.0f}" for name, value in median.items()}
                ratio = {name: f"{value / median['ruff']:.2f}" for name, value in median.items()}
                print(f"| {corpus.name} | {corpus.files} | {ms['text before']} | {ms['text']} | {ms['json before']} | "
                      f"{ms['json']} | {ms['ruff']} | {ratio['text before']} | {ratio['text']} | "
                      f"{ratio['json before']} | {ratio['json']} |", flush=True)
                continue
            print(f"| {corpus.name} | {corpus.files} | {median['text'] * 1e3:.0f} | {median['json'] * 1e3:.0f} | "
                  f"{median['ruff'] * 1e3:.0f} | {median['text'] / median['ruff']:.2f} | "
                  f"{median['json'] / median['ruff']:.2f} |", flush=True)

        bare = [sys.executable, "-c", "pass"]
        version = [sys.executable, "-m", "scanner_gate", "--version"]
        # A plugin of a dozen small files, as a reviewer or a hook meets one.
        plugin = [sys.executable, "-m", "scanner_gate", "--policy", str(REPO / "examples" / "policy.toml"),
                  str(REPO / "examples" / "plugins")]
        starts: dict[str, list[float]] = {name: [] for name in ("bare", "version", "version before", "plugin",
                                                                "plugin before")}
        for _ in range(max(args.runs, 20)):
            starts["bare"].append(timed(bare, env))
            starts["version"].append(timed(version, env))
            starts["plugin"].append(timed(plugin, env))
            if args.before:
                starts["version before"].append(timed(version, envs["json before"]))
                starts["plugin before"].append(timed(plugin, envs["json before"]))
        start = {name: statistics.median(values) * 1e3 if values else 0.0 for name, values in starts.items()}
        print(f"\nstart-up (medians of {len(starts['bare'])}): python -c pass {start['bare']:.1f} ms, "
              f"scanner-core --version {start['version']:.1f} ms"
              + (f" (before {start['version before']:.1f} ms)" if args.before else "")
              + f", a plugin of {len(list((REPO / 'examples' / 'plugins').rglob('*.py')))} files "
              f"{start['plugin']:.1f} ms, {start['plugin'] - start['bare']:.1f} ms above python -c pass"
              + (f" (before {start['plugin before'] - start['bare']:.1f} ms)" if args.before else ""))

        batch_figures(args, env)

        many_small = corpora.ensure(args.cache, "many-small", recipes["many-small"])
        interpreter = peak_kib(bare, env)
        for name in ("json", "json before") if args.before else ("json",):
            json_peak = peak_kib(contenders[name](many_small.path), envs[name])
            print(f"peak memory, {name} on many-small: {json_peak / 1024:.0f} MiB, "
                  f"{(json_peak - interpreter) / 1024:.0f} MiB above the interpreter ({interpreter / 1024:.0f} MiB)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
