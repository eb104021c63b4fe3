"""Benchmark driver: the module's scan_directory beside the I/O floor,
ripgrep, GNU grep and two pure-Python checkers, on five corpora; the
module once more as a CI job meets it, one scan in a fresh interpreter, and
the first call of a fresh process beside the later ones; where the module's
time goes (kernel, scanning, results); each contender's peak memory; the
module's scaling with threads and file count; the engine micro-benchmarks;
the full verdict on files of hostile shapes (bench/hostile_shapes.py); archives
as uploaded beside their trees, a 1 GiB member, compression bombs
(bench/archive_bench.py).

Every contender runs on a corpus in the same process run, in rounds that
alternate their order, after one warm-up run each; times are medians, and
each ratio to the floor is the median of the ratios of runs made side by
side, so that load from other processes on the machine cancels out as far
as it can. Peak memory comes from a run of each contender in a process of
its own: a native program's warm-up, one more run for the others (see
measure_memory). The table goes to standard output
and to a Markdown file, the picture to a PNG beside it.

Usage: run_bench.py [--quick] [--runs N] [--out FILE] [--png FILE] [--cache DIR]
                    [--module-dir DIR] [--bench-dir DIR]
"""

from __future__ import annotations

import argparse
import datetime
import gc
import json
import os
import platform
import shlex
import statistics
import subprocess
import sys
import resource
import signal
import tempfile
import time
from dataclasses import dataclass, field
from pathlib import Path

HERE = Path(__file__).resolve().parent
REPO = HERE.parent
sys.path.insert(0, str(HERE))

import archive_bench  # noqa: E402
import codec_bench  # noqa: E402
import command_bench  # noqa: E402
import corpora  # noqa: E402
import hostile_shapes  # noqa: E402
import py_checkers  # noqa: E402

POLICY = HERE / "policy.txt"

PATTERN = "^[ \t]*(import|from)[ \t]"  # a real tab, for grep's sake
SUBPROCESS_TIMEOUT = 600
# A hostile shape's scan that takes longer is reported as such, not waited for.
HOSTILE_TIMEOUT = 60
# The sparse corpus's runs take seconds each and vary little: fewer rounds.
SPARSE_RUNS = 3
# The first-call figure: fresh processes per corpus, calls in each (the
# first, then the later ones it is compared with).
FIRST_CALL_PROCESSES = 5
FIRST_CALL_CALLS = 4
# ripgrep's note in place of the lines of a file in which it saw a NUL byte.
RG_BINARY_NOTE = b": binary file matches ("
# Why a contender does not run on a corpus, for the report.
SKIP_REASONS = {
    ("python ast", "long-lines"): "lines of megabytes: the parse takes minutes and says nothing new",
    ("python re", "sparse"): "it reads each file whole, a GiB-sized bytes object per thread, and reading it "
                             "line by line would not help: the hole is one line of GiBs",
    ("python ast", "sparse"): "the same whole-file read, for a parse that fails on the first NUL byte",
    ("ruff TID251", "sparse"): "it reads each file whole into memory, 3 GiB at a time",
}


@dataclass
class Outcome:
    seconds: float
    files: int | None = None
    findings: str = ""  # what the contender counted, for the table
    key: tuple | None = None  # compared across contenders that must agree
    cpu: tuple | None = None  # processor seconds (in the program, in the kernel), all threads, when known


@dataclass
class Native:
    """A contender that is a program: its command line, and what its output says."""
    argv: object  # callable(corpus) -> list[str]
    parse: object  # callable(seconds, stdout) -> Outcome
    env: dict | None = None

    def run(self, corpus) -> Outcome:
        return self.parse(*run_command(self.argv(corpus), self.env))

    def warm_up(self, corpus) -> tuple[Outcome, Memory]:
        """One untimed run that also reads the program's own peak memory."""
        kib, out = run_measured(self.argv(corpus), self.env)
        return self.parse(float("nan"), out), Memory(kib / 1024, True)


@dataclass
class Contender:
    name: str
    threads: int
    run: object  # callable(corpus) -> Outcome
    command: str  # shown in the report
    floor: str = "floor"  # the contender each run is paired with
    skip: frozenset = frozenset()  # corpora it does not run on
    max_runs: int | None = None  # fewer timed rounds, for a contender that takes seconds a run
    memory: object = None  # callable(corpus) -> Memory, from a run in a process of its own
    native: Native | None = None  # a program: its warm-up run also gives its peak memory
    times: dict = field(default_factory=dict)  # corpus -> [seconds]
    cpu: dict = field(default_factory=dict)  # corpus -> [(user, system) processor seconds], when known
    ratios: dict = field(default_factory=dict)  # corpus -> [ratio to its floor]
    outcome: dict = field(default_factory=dict)  # corpus -> Outcome of the warm-up
    peak: dict = field(default_factory=dict)  # corpus -> Memory


@dataclass
class Memory:
    mib: float  # peak resident MiB: above the baseline interpreter, or the process's own
    own: bool  # True: a native process's own peak; False: above the baseline
    results_mib: float | None = None  # what the module's results hold, of that peak


def log(*args) -> None:
    print(*args, file=sys.stderr, flush=True)


def run_command(argv: list[str], env: dict | None = None) -> tuple[float, bytes]:
    start = time.perf_counter()
    done = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env, timeout=SUBPROCESS_TIMEOUT)
    seconds = time.perf_counter() - start
    if done.returncode not in (0, 1):  # 1: no match, for both searchers
        raise RuntimeError(f"{argv[0]} failed ({done.returncode}): {done.stderr.decode(errors='replace')[:500]}")
    return seconds, done.stdout


def run_measured(argv: list[str], env: dict | None = None) -> tuple[int, bytes]:
    """Runs `argv` to its end under bench/peak_rss and returns its peak
    resident memory in KiB (the largest of the process and the descendants
    it waited for) and its standard output."""
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        process = subprocess.Popen([PEAK_RSS, *argv], stdout=out, stderr=err, env=env, start_new_session=True)
        try:
            process.wait(timeout=SUBPROCESS_TIMEOUT)
        except subprocess.TimeoutExpired:
            os.killpg(process.pid, signal.SIGKILL)  # the command too, not only its launcher
            process.wait()
        out.seek(0)
        err.seek(0)
        errors = err.read().decode(errors="replace")
        lines = errors.rstrip("\n").rsplit("\n", 1)
        if process.returncode not in (0, 1) or not lines[-1].startswith("peak_rss_kib="):
            raise RuntimeError(f"{argv[0]} failed ({process.returncode}): {errors[-500:]}")
        return int(lines[-1].split("=", 1)[1]), out.read()


PEAK_RSS = ""  # bench/peak_rss of --bench-dir, set in main


def timed_call(call):
    """Runs call() once; returns its wall time, its result and the
    process's (user, system) processor seconds. The collector must not run
    inside the timed call."""
    gc.collect()
    gc.disable()
    try:
        cpu_start = resource.getrusage(resource.RUSAGE_SELF)
        start = time.perf_counter()
        results = call()
        seconds = time.perf_counter() - start
        cpu_end = resource.getrusage(resource.RUSAGE_SELF)
    finally:
        gc.enable()
    return seconds, results, (cpu_end.ru_utime - cpu_start.ru_utime, cpu_end.ru_stime - cpu_start.ru_stime)


def make_contenders(args, policy, threads: int) -> list[Contender]:
    sys.path.insert(0, str(args.module_dir))
    import scanner_core  # the module built by the dev preset

    classifier = scanner_core.ImportClassifier(
        set(policy.forbidden), set(policy.allowed_exact), list(policy.allowed_prefixes)
    )
    local = set(policy.local)
    floor_bin = str(args.bench_dir / "io_floor")
    engine_bin = str(args.bench_dir / "engine_scan")

    def child_peak(kind: str, num_threads: int):
        def memory(corpus):
            kib, out = run_measured([sys.executable, str(HERE / "mem_child.py"), kind, str(corpus.path),
                                     str(num_threads), str(args.module_dir)])
            report = json.loads(out)
            results = report.get("results_bytes")
            return Memory((kib - args.baseline_kib) / 1024, False,
                          None if results is None else results / 2**20)

        return memory

    def module(num_threads: int):
        def run(corpus):
            seconds, results, cpu = timed_call(lambda: classifier.scan_directory(str(corpus.path), local, num_threads))
            errors = sum(len(r.errors) for r in results)
            warnings = sum(len(r.warnings) for r in results)
            return Outcome(seconds, len(results), f"{errors} E / {warnings} W", ("messages", errors, warnings), cpu)

        return run

    def floor(num_threads: int):
        def parse(_, out):
            fields = dict(item.split("=") for item in out.decode().split())
            mb = int(fields["bytes"]) / 1e6
            return Outcome(float(fields["seconds"]), int(fields["files"]), f"{mb:.1f} MB read", cpu=cpu_of(fields))

        return Native(lambda corpus: [floor_bin, str(corpus.path), str(num_threads)], parse)

    def engine_parse(_, out):
        fields = dict(item.split("=") for item in out.decode().split())
        errors, warnings = int(fields["errors"]), int(fields["warnings"])
        return Outcome(float(fields["seconds"]), int(fields["files"]), f"{errors} E / {warnings} W",
                       ("messages", errors, warnings), cpu_of(fields))

    engine = Native(lambda corpus: [engine_bin, str(corpus.path), "0", str(POLICY)], engine_parse)

    # One scan in a fresh interpreter, timed as a process from its start to
    # its end, as ripgrep is: the interpreter's start and the import count.
    def one_shot_parse(seconds, out):
        fields = dict(item.split("=") for item in out.rsplit(b"\n", 2)[-2].decode().split())
        errors, warnings = int(fields["errors"]), int(fields["warnings"])
        return Outcome(seconds, int(fields["files"]), f"{errors} E / {warnings} W", ("messages", errors, warnings))

    one_shot = Native(lambda corpus: [sys.executable, str(HERE / "one_shot.py"), str(args.module_dir),
                                      str(corpus.path), "0", str(POLICY)], one_shot_parse)

    # -uuu includes --binary: a file holding a NUL byte is searched to its
    # end, NULs taken as line ends, and a match in it is reported as a note
    # in place of the line; each note counts as one line found.
    def ripgrep_parse(seconds, out):
        lines = out.count(b"\n")
        notes = out.count(RG_BINARY_NOTE)
        noted = f" ({notes} as binary-file notes)" if notes else ""
        return Outcome(seconds, None, f"{lines} lines{noted}", ("lines", lines))

    ripgrep = Native(lambda corpus: ["rg", "-uuu", "-j", str(threads), "-n", "--no-heading", "-g", "*.py", PATTERN,
                                     str(corpus.path)], ripgrep_parse)

    # In a file it takes for binary, GNU grep skips the holes (SEEK_DATA)
    # and reads only the data: -a makes it read the sparse files' every byte
    # as the others do, and print the matching lines.
    def grep_argv(corpus):
        text = ["-a"] if corpus.kind == "sparse" else []
        return ["grep", "-rn", *text, "--include=*.py", "-E", PATTERN, str(corpus.path)]

    def grep_parse(seconds, out):
        lines = out.count(b"\n")
        return Outcome(seconds, None, f"{lines} lines", ("lines", lines))

    grep = Native(grep_argv, grep_parse, dict(os.environ, LC_ALL="C"))

    re_checker = py_checkers.ReChecker(policy, threads)

    def python_re(corpus):
        gc.collect()
        start = time.perf_counter()
        results = re_checker.run(str(corpus.path))
        seconds = time.perf_counter() - start
        errors = sum(len(e) for _, e, _ in results)
        warnings = sum(len(w) for _, _, w in results)
        return Outcome(seconds, len(results), f"{errors} E / {warnings} W", ("messages", errors, warnings))

    ast_checker = None

    def python_ast(corpus):
        nonlocal ast_checker
        if ast_checker is None:  # started once, kept warm
            ast_checker = py_checkers.AstChecker(policy, threads)
            args.cleanup.append(ast_checker.close)
        start = time.perf_counter()
        files, errors, warnings, failed = ast_checker.run(str(corpus.path))
        seconds = time.perf_counter() - start
        return Outcome(seconds, files, f"{errors} E / {warnings} W, {failed} unparsed")

    # The full verdict: the line scan and the audit in one pass, in this
    # process, as scan_directory is called.
    import scanner_audit

    auditor = scanner_audit.Scanner(set(policy.forbidden), set(policy.allowed_exact), list(policy.allowed_prefixes))

    def full_verdict(corpus):
        seconds, results, cpu = timed_call(lambda: auditor.scan_directory(str(corpus.path), local, 0, audit=True))
        errors = sum(len(r.errors) for r in results)
        warnings = sum(len(r.warnings) for r in results)
        hidden = sum(1 for r in results for f in r.findings if f.rule != "non-constant-dynamic-import")
        dynamic = sum(1 for r in results for f in r.findings if f.rule == "non-constant-dynamic-import")
        # Not keyed to scanner_core's counts: the exact verdict drops the line
        # scan's findings that the audit read as text in strings and comments.
        return Outcome(seconds, len(results), f"{errors} E / {warnings} W + audit {hidden} / {dynamic} dynamic",
                       cpu=cpu)

    # The command as a CI job or a hook runs it: a fresh interpreter, the
    # policy from a file, the text report written out.
    command_policy = args.cache / "policy.toml"
    command_policy.write_text(
        "[policy]\n" + "".join(f"{key} = {json.dumps(list(values))}\n" for key, values in (
            ("forbidden", policy.forbidden), ("allowed_exact", policy.allowed_exact),
            ("allowed_prefixes", policy.allowed_prefixes))) + f"[plugin]\nlocal_modules = {json.dumps(list(policy.local))}\n")
    command_env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(args.module_dir), str(REPO / "src")]))

    def command_parse(seconds, out):
        summary = out.rstrip(b"\n").rsplit(b"\n", 1)[-1].decode()
        return Outcome(seconds, None, summary.split(": ", 1)[-1])

    def command(*options):
        return Native(lambda corpus: [sys.executable, "-m", "scanner_gate", "--policy", str(command_policy), *options,
                                      str(corpus.path)], command_parse, command_env)

    gate_full, gate_line = command(), command("--no-audit")

    # The best-known peer's rule for banned imports, with the same forbidden
    # roots; its default exclusions (venv, build, ...) are lifted, so that it
    # reads every file the others read.
    ruff_config = args.cache / "ruff.toml"
    ruff_config.write_text(
        "exclude = []\n[lint]\nselect = [\"TID251\"]\n[lint.flake8-tidy-imports.banned-api]\n"
        + "".join(f'"{root}".msg = "forbidden"\n' for root in policy.forbidden))
    ruff_bin = str(Path(sys.executable).with_name("ruff"))

    def ruff_parse(seconds, out):
        lines = out.count(b"\n")
        return Outcome(seconds, None, f"{lines} diagnostics")

    ruff = Native(lambda corpus: [ruff_bin, "check", "--no-cache", "--quiet", "--output-format", "concise",
                                  "--config", str(ruff_config), str(corpus.path)], ruff_parse)

    q = shlex.quote
    contenders = [
        Contender("floor", threads, floor(0).run, f"bench/io_floor DIR 0  # {threads} threads", native=floor(0)),
        Contender("scanner_core", threads, module(0), "ImportClassifier.scan_directory(DIR, local, 0)",
                  memory=child_peak("module", 0)),
        Contender("engine (C++)", threads, engine.run, "bench/engine_scan DIR 0 bench/policy.txt  # no binding",
                  native=engine),
        Contender("scanner_core one-shot", threads, one_shot.run,
                  "python bench/one_shot.py build/dev DIR 0 bench/policy.txt  # a fresh interpreter, whole process",
                  native=one_shot),
        Contender("ripgrep", threads, ripgrep.run,
                  f"rg -uuu -j {threads} -n --no-heading -g '*.py' {q(PATTERN)} DIR".replace("\t", "\\t"),
                  native=ripgrep),
        Contender("GNU grep", 1, grep.run,
                  f"LC_ALL=C grep -rn --include='*.py' -E {q(PATTERN)} DIR  # -a on sparse".replace("\t", "\\t"),
                  native=grep),
        Contender("python re", threads, python_re, f"bench/py_checkers.py ReChecker, {threads} threads",
                  skip=frozenset({"sparse"}), memory=child_peak("python-re", threads)),
        Contender("python ast", threads, python_ast, f"bench/py_checkers.py AstChecker, {threads} processes",
                  skip=frozenset({"long-lines", "sparse"}), max_runs=5, memory=child_peak("python-ast", threads)),
        Contender("full verdict", threads, full_verdict,
                  "scanner_audit.Scanner(...).scan_directory(DIR, local, 0, audit=True)",
                  memory=child_peak("full", 0)),
        Contender("scanner-core --no-audit", threads, gate_line.run,
                  "python -m scanner_gate --policy POLICY.toml --no-audit DIR  # the command, a fresh interpreter",
                  native=gate_line),
        Contender("scanner-core", threads, gate_full.run,
                  "python -m scanner_gate --policy POLICY.toml DIR  # the full verdict, a fresh interpreter",
                  native=gate_full),
        Contender("ruff TID251", threads, ruff.run,
                  "ruff check --no-cache --quiet --output-format concise --config RUFF.toml DIR",
                  skip=frozenset({"sparse"}), native=ruff),
        Contender("floor 1t", 1, floor(1).run, "bench/io_floor DIR 1", native=floor(1)),
        Contender("scanner_core 1t", 1, module(1), "ImportClassifier.scan_directory(DIR, local, 1)",
                  floor="floor 1t", memory=child_peak("module", 1)),
        Contender("scanner_core 2t", 2, module(2), "ImportClassifier.scan_directory(DIR, local, 2)",
                  memory=child_peak("module", 2)),
    ]
    if args.quick:  # the ast checker alone would take minutes
        contenders = [c for c in contenders if c.name != "python ast"]
    return contenders


def measure(contenders: list[Contender], corpus, runs: int, key: str | None = None) -> None:
    """Warm-up, then `runs` rounds in rotating order; fills times and ratios
    under `key` (the corpus name by default)."""
    key = key or corpus.name
    active = [c for c in contenders if corpus.name not in c.skip]
    for c in active:
        log(f"[bench] {key}: warm-up {c.name}")
        if c.native is not None:
            c.outcome[key], c.peak[key] = c.native.warm_up(corpus)
        else:
            c.outcome[key] = c.run(corpus)
    for round_ in range(runs):
        log(f"[bench] {key}: round {round_ + 1}/{runs}")
        shift = round_ % len(active)
        times = {}
        for c in active[shift:] + active[:shift]:
            if c.max_runs is None or round_ < c.max_runs:
                times[c.name] = c.run(corpus)
        for c in active:
            if c.name in times:
                c.times.setdefault(key, []).append(times[c.name].seconds)
                c.ratios.setdefault(key, []).append(times[c.name].seconds / times[c.floor].seconds)
                if times[c.name].cpu is not None:
                    c.cpu.setdefault(key, []).append(times[c.name].cpu)


def cpu_of(fields: dict) -> tuple | None:
    """The (user, system) processor seconds a native program reports."""
    if "cpu_user" not in fields:
        return None
    return float(fields["cpu_user"]), float(fields["cpu_system"])


def measure_first_call(args, corpus) -> dict:
    """The first scan_directory of fresh interpreters beside the later calls
    of the same processes: per process, the first call's time over the
    median of the later ones; the figure is the median over processes."""
    processes = min(FIRST_CALL_PROCESSES, SPARSE_RUNS) if corpus.kind == "sparse" else FIRST_CALL_PROCESSES
    firsts, laters, ratios, cpu_ratios = [], [], [], []
    for _ in range(processes):
        _, out = run_command([sys.executable, str(HERE / "first_call.py"), str(args.module_dir), str(corpus.path),
                              "0", str(POLICY), str(FIRST_CALL_CALLS)])
        report = json.loads(out)
        seconds, cpu = report["seconds"], report["cpu"]
        later = statistics.median(seconds[1:])
        firsts.append(seconds[0])
        laters.append(later)
        ratios.append(seconds[0] / later)
        cpu_ratios.append(cpu[0] / statistics.median(cpu[1:]))
    return {"first": median(firsts), "later": median(laters), "ratio": median(ratios),
            "cpu_ratio": median(cpu_ratios), "processes": processes}


def measure_baseline(args) -> int:
    """Peak resident KiB of the Python child that imports what every Python
    contender's child imports and scans nothing: the median of three."""
    argv = [sys.executable, str(HERE / "mem_child.py"), "baseline", str(HERE), "1", str(args.module_dir)]
    return int(statistics.median(run_measured(argv)[0] for _ in range(3)))


def measure_memory(contenders: list[Contender], corpus, key: str | None = None) -> None:
    """For the module and the Python checkers, which are timed inside this
    process: one more run in a child interpreter of its own, for its peak
    resident memory above the baseline child. (The native programs' own
    peaks come from their warm-up runs.)"""
    key = key or corpus.name
    for c in contenders:
        if corpus.name in c.skip or c.memory is None:
            continue
        log(f"[bench] {key}: peak memory of {c.name}")
        c.peak[key] = c.memory(corpus)


def median(values):
    return statistics.median(values) if values else float("nan")


def agreement(contenders: list[Contender], corpus_name: str) -> dict[str, str]:
    """A mark per contender: whether it counted what the others of its kind counted."""
    marks = {}
    by_kind: dict[str, set] = {}
    for c in contenders:
        o = c.outcome.get(corpus_name)
        if o is not None and o.key is not None:
            by_kind.setdefault(o.key[0], set()).add(o.key)
    for c in contenders:
        o = c.outcome.get(corpus_name)
        if o is None or o.key is None:
            marks[c.name] = ""
        else:
            marks[c.name] = " ✓" if len(by_kind[o.key[0]]) == 1 else " ✗ differs"
    return marks


def same_messages(policy, scanner_core_results, corpus, recipe) -> bool:
    """Whether the Python re checker produces the module's messages, file by
    file; on the sparse corpus, the sparse files' messages are the ones they
    were made to give, and the checker reads only the small files."""
    expected = corpora.sparse_expectations(recipe) if corpus.kind == "sparse" else {}
    mine = {}
    for path in py_checkers.walk_sources(str(corpus.path)):
        relative = os.path.relpath(path, corpus.path)
        if relative in expected:
            errors, warnings = [], []
            for line, module in expected[relative]:
                verdict = policy.judge(module)
                if verdict:
                    (errors if verdict == 1 else warnings).append(py_checkers.message(path, line, module, verdict))
            mine[path] = (errors, warnings)
        else:
            _, errors, warnings = py_checkers.check_file(path, policy)
            mine[path] = (errors, warnings)
    theirs = {r.filepath: (list(r.errors), list(r.warnings)) for r in scanner_core_results}
    return mine == theirs


def paired_speedup(by_name: dict, mine: str, rival: str, corpus_name: str) -> float | None:
    """The median over rounds of the rival's time over mine, each pair from
    one round; None when either did not run there."""
    if corpus_name not in by_name[mine].times or corpus_name not in by_name[rival].times:
        return None
    return median([theirs / ours for ours, theirs in zip(by_name[mine].times[corpus_name],
                                                          by_name[rival].times[corpus_name])])


def mean_cpu(contender: Contender, corpus_name: str) -> tuple | None:
    """The mean (user, system) processor seconds of a contender's timed runs."""
    runs = contender.cpu.get(corpus_name)
    if not runs:
        return None
    return statistics.fmean(u for u, _ in runs), statistics.fmean(k for _, k in runs)


def machine_lines() -> list[str]:
    cpu = "unknown"
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    memory = "unknown"
    try:
        kb = int(Path("/proc/meminfo").read_text().split()[1])
        memory = f"{kb / 2**20:.1f} GiB"
    except (OSError, ValueError, IndexError):
        pass
    distro = ""
    try:
        for line in Path("/etc/os-release").read_text().splitlines():
            if line.startswith("PRETTY_NAME="):
                distro = line.split("=", 1)[1].strip('"')
    except OSError:
        pass

    def version(argv):
        try:
            return subprocess.run(argv, capture_output=True, text=True).stdout.splitlines()[0]
        except (OSError, IndexError):
            return "missing"

    return [
        f"- Machine: {cpu}, {os.cpu_count()} hardware threads, {memory} of memory",
        f"- System: {distro}, Linux {platform.release()}",
        f"- Python {platform.python_version()}; {version(['rg', '--version'])}; {version(['grep', '--version'])}",
    ]


def peak_cell(memory: Memory | None) -> str:
    if memory is None:
        return ""
    return f"{memory.mib:,.1f}{' †' if memory.own else ''}"


def ratio_cell(ratio: float | None) -> str:
    """A ratio for a table cell; empty where a contender did not run."""
    return "" if ratio is None else f"{ratio:.2f}"


def ms(seconds: float) -> str:
    return f"{seconds * 1e3:.1f}" if seconds < 10 else f"{seconds * 1e3:.0f}"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="small corpora and few runs: a smoke test")
    parser.add_argument("--runs", type=int, default=None, help="timed runs per contender (default 7, quick 5)")
    parser.add_argument("--out", type=Path, default=None, help="report file (default bench/RESULTS.md)")
    parser.add_argument("--png", type=Path, default=None, help="picture of the results (default bench/results.png)")
    parser.add_argument("--cache", type=Path, default=Path.home() / ".cache" / "scanner-core" / "bench")
    parser.add_argument("--module-dir", type=Path, default=REPO / "build" / "dev")
    parser.add_argument("--bench-dir", type=Path, default=REPO / "build" / "bench" / "bench")
    args = parser.parse_args()
    args.cleanup = []
    global PEAK_RSS
    PEAK_RSS = str(args.bench_dir / "peak_rss")
    runs = args.runs or (5 if args.quick else 7)
    out = args.out or (args.cache / "RESULTS-quick.md" if args.quick else HERE / "RESULTS.md")
    png = args.png or (args.cache / "results-quick.png" if args.quick else HERE / "results.png")
    threads = os.cpu_count() or 1
    policy = py_checkers.read_policy(str(HERE / "policy.txt"))
    started = datetime.datetime.now(datetime.timezone.utc)
    load_before = os.getloadavg()

    args.cache.mkdir(parents=True, exist_ok=True)
    # The quick corpora live apart, so that switching modes regenerates nothing.
    corpus_cache = args.cache / "quick" if args.quick else args.cache
    main_recipes = corpora.recipes(args.quick)
    main_corpora = [corpora.ensure(corpus_cache, name, recipe, log) for name, recipe in main_recipes.items()]
    scaling_corpora = [corpora.ensure(corpus_cache, name, recipe, log)
                       for name, recipe in corpora.scaling_recipes(args.quick).items()]

    args.baseline_kib = measure_baseline(args)
    log(f"[bench] baseline interpreter: {args.baseline_kib / 1024:.1f} MiB peak resident")
    contenders = make_contenders(args, policy, threads)
    try:
        checks = {}
        first_calls = {}
        for corpus in main_corpora:
            measure(contenders, corpus, min(runs, SPARSE_RUNS) if corpus.kind == "sparse" else runs)
            measure_memory(contenders, corpus)
            log(f"[bench] {corpus.name}: first call of fresh processes")
            first_calls[corpus.name] = measure_first_call(args, corpus)
            log(f"[bench] {corpus.name}: comparing the messages of scanner_core and python re")
            checks[corpus.name] = same_messages(policy, _scan_once(args, policy, corpus), corpus,
                                                main_recipes[corpus.name])
        scaling = [c for c in contenders if c.name in ("floor", "scanner_core", "engine (C++)")]
        for corpus in scaling_corpora:
            measure(scaling, corpus, runs, key=f"scale:{corpus.name}")
    finally:
        for close in args.cleanup:
            close()

    micro = run_micro(args, main_corpora)
    shapes = hostile_shapes.run(str(args.module_dir), args.cache / "hostile-shapes", [4, 8], HOSTILE_TIMEOUT,
                                1 if args.quick else 5, log=log)
    load_after = os.getloadavg()

    report = render(args, runs, threads, started, load_before, load_after, main_corpora, scaling_corpora,
                    contenders, checks, micro, first_calls, shapes)
    # A file in a codec only Python decodes, through the command.
    report += "\n" + "\n".join(codec_bench.section(args.cache, PEAK_RSS, args.module_dir, args.quick,
                                                   1 if args.quick else 3, log))
    # Archives as uploaded, through the command.
    report += "\n" + "\n".join(archive_bench.section(args.cache, PEAK_RSS, args.module_dir, args.quick,
                                                     3 if args.quick else 5, log))
    # Many plugins, a job each, in one run.
    report += "\n" + "\n".join(command_bench.section(args.cache, args.module_dir,
                                                     str(Path(sys.executable).with_name("ruff")), args.quick,
                                                     3 if args.quick else 5, log))
    out.parent.mkdir(parents=True, exist_ok=True)
    out.write_text(report)
    print(report)
    log(f"[bench] report written to {out}")
    try:
        import plot_results
    except ImportError as missing:  # run outside make, without the bench requirements
        log(f"[bench] no picture: {missing} (pip install -r bench/requirements.txt)")
    else:
        plot_results.draw(png, main_corpora, contenders, quick=args.quick, started=started)
        log(f"[bench] picture written to {png}")
    return 0


def _scan_once(args, policy, corpus):
    import scanner_core

    classifier = scanner_core.ImportClassifier(
        set(policy.forbidden), set(policy.allowed_exact), list(policy.allowed_prefixes)
    )
    return classifier.scan_directory(str(corpus.path), set(policy.local))


def run_micro(args, main_corpora) -> list[dict]:
    """Google Benchmark results of engine_bench on a few-large file."""
    few_large = next(c for c in main_corpora if c.name == "few-large")
    text = min(p for p in few_large.path.rglob("*.py"))
    argv = [str(args.bench_dir / "engine_bench"), str(text), str(HERE / "policy.txt"),
            "--benchmark_format=json", "--benchmark_repetitions=3", "--benchmark_report_aggregates_only=true",
            f"--benchmark_min_time={0.1 if args.quick else 0.5}"]
    log("[bench] micro-benchmarks: " + " ".join(shlex.quote(a) for a in argv))
    done = subprocess.run(argv, capture_output=True, text=True, timeout=SUBPROCESS_TIMEOUT)
    if done.returncode != 0:
        raise RuntimeError(f"engine_bench failed: {done.stderr[:500]}")
    data = json.loads(done.stdout)
    rows = [b for b in data["benchmarks"] if b.get("aggregate_name") == "median"]
    for row in rows:
        row["text"] = str(text)
        row["text_bytes"] = text.stat().st_size
    return rows


def render(args, runs, threads, started, load_before, load_after, main_corpora, scaling_corpora, contenders,
           checks, micro, first_calls, shapes) -> str:
    lines = ["# scanner_core benchmark results", ""]
    lines.append(f"Run of `make {'bench-quick' if args.quick else 'bench'}` on {started:%Y-%m-%d %H:%M} UTC.")
    lines.append("")
    lines += machine_lines()
    lines.append(f"- Load average before / after: {load_before[0]:.2f} / {load_after[0]:.2f} "
                 "(other work on the machine makes the times noisy; the ratios are paired to resist it)")
    lines.append(f"- Method: one warm-up run each, then {runs} rounds in rotating order (the ast checker: the "
                 f"first {min(runs, 5)}); time = median; ratio = median over rounds of (contender / floor of the "
                 "same round). The floor and the C++ engine time a second pass inside their process, as the "
                 "module's call is timed inside a warm Python process. The sparse corpus: "
                 f"{min(runs, SPARSE_RUNS)} rounds.")
    lines.append("- Peak memory: a run of each contender in a process of its own, started by bench/peak_rss, "
                 "which reads its peak resident set with wait4 when it ends: the warm-up run of the native "
                 "programs, one more run in a child interpreter for the others. For scanner_core "
                 "and the Python checkers, MiB above the "
                 f"baseline, a child interpreter that imports the same (scanner_core, the checkers) and scans "
                 f"nothing: {args.baseline_kib / 1024:.1f} MiB here. For the native programs (marked †), the "
                 "process's own peak. The python ast checker's is its largest process (the pool holds one "
                 "per thread).")
    lines.append("")

    lines += ["## Corpora", "", "| corpus | .py files | bytes | on disk | directory |", "|---|---:|---:|---:|---|"]
    for c in main_corpora + [s for s in scaling_corpora if s.name not in {m.name for m in main_corpora}]:
        lines.append(f"| {c.name} | {c.files:,} | {c.bytes:,} | {c.disk_bytes:,} | `{c.path}` |")
    lines.append("")
    if any(c.kind == "sparse" for c in main_corpora):
        lines.append("sparse: large `.py` files made with `os.truncate`, a hole of NUL bytes that costs no disk, "
                     "whose last line imports a forbidden module, and one ordinary small file. Every reader "
                     "still receives every byte.")
        lines.append("")

    lines += ["## Contenders", "",
              "| corpus | contender | threads | median ms | × floor | MB/s | peak MiB | files | findings |",
              "|---|---|---:|---:|---:|---:|---:|---:|---|"]
    for corpus in main_corpora:
        marks = agreement(contenders, corpus.name)
        for c in contenders:
            if corpus.name not in c.times:
                continue
            t = median(c.times[corpus.name])
            ratio = median(c.ratios[corpus.name])
            o = c.outcome[corpus.name]
            floor_note = "" if c.floor == "floor" else " (1t)"
            files = f"{o.files:,}" if o.files is not None else ""
            lines.append(f"| {corpus.name} | {c.name} | {c.threads} | {ms(t)} | {ratio:.2f}{floor_note} | "
                         f"{corpus.bytes / 1e6 / t:,.0f} | {peak_cell(c.peak.get(corpus.name))} | {files} | "
                         f"{o.findings}{marks[c.name]} |")
    lines.append("")
    lines.append("Peak MiB: above the baseline interpreter for scanner_core and the Python checkers; † the "
                 "native process's own peak resident memory.")
    lines.append("")
    lines.append("Findings: E / W = forbidden / unlisted imports reported; lines = lines the searcher printed. "
                 "✓ = equal to the other contenders counting the same thing. The python ast checker "
                 "judges what Python parses (every name of `import a, b`, statements after `;`), "
                 "so its counts differ by design.")
    if any(c.kind == "sparse" for c in main_corpora):
        lines.append("")
        lines.append("On the sparse corpus: ripgrep runs as everywhere else (`-uuu` includes `--binary`): it "
                     "searches a file holding NUL bytes to its end, taking the NULs for line ends, and reports "
                     "a match in it as a note (`binary file matches`) in place of the line, counted as one line. "
                     "GNU grep gets `-a`: in a file it takes for binary it skips the holes (SEEK_DATA) and reads "
                     "only the data, which no reader of the bytes can do, so it is made to read them as text, "
                     "the hole being one line it holds whole.")
    skipped = [(c.name, corpus.name) for corpus in main_corpora for c in contenders
               if corpus.name in c.skip and (c.name, corpus.name) in SKIP_REASONS]
    if skipped:
        lines.append("")
        lines.append("Not run: " + "; ".join(f"{name} on {corpus} ({SKIP_REASONS[(name, corpus)]})"
                                            for name, corpus in skipped) + ".")
    lines.append("")
    for name, same in checks.items():
        lines.append(f"- {name}: python re messages {'identical to' if same else 'DIFFERENT FROM'} "
                     "scanner_core's, file by file")
    lines.append("")

    by_name = {c.name: c for c in contenders}
    module = by_name["scanner_core"]

    lines += ["## One scan in a fresh process", "",
              "As a CI job meets them: `scanner_core one-shot` is a fresh interpreter that imports the module, "
              "scans once and writes every message; ripgrep searches the same tree for import lines on as many "
              "threads. Both are timed as whole processes, in the same rounds; the speed-up is the median over "
              "rounds of ripgrep's time over the one-shot's.", "",
              "| corpus | one-shot ms | ripgrep ms | ripgrep ÷ one-shot |", "|---|---:|---:|---:|"]
    for corpus in main_corpora:
        speedup = paired_speedup(by_name, "scanner_core one-shot", "ripgrep", corpus.name)
        if speedup is None:
            continue
        lines.append(f"| {corpus.name} | {ms(median(by_name['scanner_core one-shot'].times[corpus.name]))} | "
                     f"{ms(median(by_name['ripgrep'].times[corpus.name]))} | {speedup:.2f} |")
    lines.append("")

    if "full verdict" in by_name:
        lines += ["## The full verdict", "",
                  "The line scan and the audit in one pass (`scanner_audit`, in this process, as `scan_directory` "
                  "is timed), and the command end to end in a fresh interpreter, with and without the audit, "
                  "against ruff's banned-import rule (TID251) with the same forbidden roots. Ratios are paired "
                  "in the same rounds.", "",
                  "| corpus | scan_directory ms | full verdict ms | ÷ scan_directory | command --no-audit ms | "
                  "command ms | ÷ --no-audit | ruff TID251 ms | command ÷ ruff | full verdict peak MiB |",
                  "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|"]
        for corpus in main_corpora:
            if corpus.name not in by_name["full verdict"].times:
                continue
            full = paired_speedup(by_name, "scanner_core", "full verdict", corpus.name)
            command = paired_speedup(by_name, "scanner-core --no-audit", "scanner-core", corpus.name)
            ruff = paired_speedup(by_name, "ruff TID251", "scanner-core", corpus.name)
            cells = [ms(median(by_name[n].times[corpus.name])) if corpus.name in by_name[n].times else ""
                     for n in ("scanner_core", "full verdict", "scanner-core --no-audit", "scanner-core",
                               "ruff TID251")]
            lines.append(f"| {corpus.name} | {cells[0]} | {cells[1]} | {ratio_cell(full)} | {cells[2]} | "
                         f"{cells[3]} | {ratio_cell(command)} | {cells[4]} | {ratio_cell(ruff)} | "
                         f"{peak_cell(by_name['full verdict'].peak.get(corpus.name))} |")
        lines.append("")

    lines += ["## First call", "",
              f"The first `scan_directory` of a fresh interpreter beside the {FIRST_CALL_CALLS - 1} calls that follow "
              "it in the same process (each call's results dropped before the next): per process, the first "
              "call's time over the median of the later ones; the median over "
              f"{FIRST_CALL_PROCESSES} processes ({min(FIRST_CALL_PROCESSES, SPARSE_RUNS)} on the sparse corpus).", "",
              "| corpus | first call ms | later calls ms | first ÷ later | same, processor time |",
              "|---|---:|---:|---:|---:|"]
    for corpus in main_corpora:
        f = first_calls.get(corpus.name)
        if f is not None:
            lines.append(f"| {corpus.name} | {ms(f['first'])} | {ms(f['later'])} | {f['ratio']:.2f} | "
                         f"{f['cpu_ratio']:.2f} |")
    lines.append("")

    lines += ["## Where the time goes", "",
              "Processor time per call, all threads, in ms (the mean over the timed rounds): the floor's and "
              "the C++ engine's in the program and in the kernel (system calls, page faults), and the module's "
              "call in all; the module less the engine is what handing the results to Python costs. The kernel "
              "reports the split between program and kernel by sampling, so a single short run's split is coarse; "
              "the means over rounds are not.", "",
              "| corpus | floor: kernel | floor: program | engine: kernel | engine: scanning | module call | "
              "results (module − engine) |",
              "|---|---:|---:|---:|---:|---:|---:|"]
    for corpus in main_corpora:
        floor_cpu = mean_cpu(by_name["floor"], corpus.name)
        engine_cpu = mean_cpu(by_name["engine (C++)"], corpus.name)
        module_cpu = mean_cpu(module, corpus.name)
        if floor_cpu is None or engine_cpu is None or module_cpu is None:
            continue
        module_total = sum(module_cpu)
        lines.append(f"| {corpus.name} | {floor_cpu[1] * 1e3:.1f} | {floor_cpu[0] * 1e3:.1f} | "
                     f"{engine_cpu[1] * 1e3:.1f} | {engine_cpu[0] * 1e3:.1f} | {module_total * 1e3:.1f} | "
                     f"{(module_total - sum(engine_cpu)) * 1e3:.1f} |")
    lines.append("")

    lines += ["## Targets", "", "| target | measured | met |", "|---|---|:---:|"]

    def target(what: str, measured: str, met: bool) -> None:
        lines.append(f"| {what} | {measured} | {'yes' if met else 'no'} |")

    def ratio_target(what: str, ratio: float | None, met) -> None:
        if ratio is not None:
            target(what, f"{ratio:.2f}×", met(ratio))

    limits = {"stdlib": 1.0, "many-small": 1.0, "few-large": 2.0, "long-lines": 1.5}
    for corpus in main_corpora:
        limit = limits.get(corpus.name)
        if limit is not None:
            ratio_target(f"{corpus.name}: scan ≤ {limit:.1f}× floor", median(module.ratios[corpus.name]),
                         lambda r: r <= limit)
    for corpus in main_corpora:
        if corpus.name in ("stdlib", "many-small", "few-large"):
            ratio_target(f"{corpus.name}: one-shot ≥ 2× faster than ripgrep",
                         paired_speedup(by_name, "scanner_core one-shot", "ripgrep", corpus.name), lambda r: r >= 2)
    for corpus in main_corpora:
        f = first_calls.get(corpus.name)
        if f is not None:
            target(f"{corpus.name}: first call within 10 % of the later ones", f"{f['ratio']:.2f}",
                   f["ratio"] <= 1.10)
    for corpus in main_corpora:
        m = module.peak.get(corpus.name)
        if m is None:
            continue
        if corpus.kind == "sparse":
            target(f"{corpus.name}: peak ≤ 64 MiB above the interpreter", f"{m.mib:.1f} MiB", m.mib <= 64)
        elif m.results_mib is not None:
            beyond = m.mib - m.results_mib
            target(f"{corpus.name}: peak ≤ 16 MiB above the interpreter plus the results",
                   f"{m.mib:.1f} MiB − {m.results_mib:.1f} MiB of results = {beyond:.1f} MiB", beyond <= 16)
    for rival, factor in (("ripgrep", 2.0), ("python re", 5.0)):
        for corpus in main_corpora:
            ratio_target(f"{corpus.name}: ≥ {factor:g}× faster than {rival} (warm)",
                         paired_speedup(by_name, "scanner_core", rival, corpus.name), lambda r: r >= factor)
    if "full verdict" in by_name:
        for corpus in main_corpora:
            ratio_target(f"{corpus.name}: full verdict ≤ 1.5× scan_directory",
                         paired_speedup(by_name, "scanner_core", "full verdict", corpus.name), lambda r: r <= 1.5)
        ratio_target("stdlib: command ≤ 1.3× its --no-audit time",
                     paired_speedup(by_name, "scanner-core --no-audit", "scanner-core", "stdlib"), lambda r: r <= 1.3)
        ratio_target("stdlib: command ≤ half of ruff TID251's time",
                     paired_speedup(by_name, "ruff TID251", "scanner-core", "stdlib"), lambda r: r <= 0.5)
        for corpus in main_corpora:
            m = by_name["full verdict"].peak.get(corpus.name)
            if m is not None:
                target(f"{corpus.name}: full verdict peak ≤ 64 MiB above the interpreter", f"{m.mib:.1f} MiB",
                       m.mib <= 64)
    per_file = [median(module.times[f"scale:{c.name}"]) / c.files * 1e6 for c in scaling_corpora]
    if per_file:
        spread = max(per_file) / min(per_file)
        target(f"cost per file flat over {scaling_corpora[0].files:,}–{scaling_corpora[-1].files:,} files "
               "(max/min ≤ 1.25)", f"{spread:.2f}", spread <= 1.25)
    for what, measured, met in hostile_shapes.targets(shapes):
        target(what, measured, met)
    lines.append("")

    lines += ["## Hostile shapes", "",
              "Files whose shape a plugin author chooses, each as a 4 MB and an 8 MB file, beside ordinary code "
              "(modules of the standard library, repeated): the full verdict (`scanner_audit`'s `scan_file` with "
              f"`audit=True`), median of {1 if args.quick else 5} fresh processes; peak memory above an "
              "interpreter that imported the module (`bench/hostile_shapes.py`).", ""]
    lines += hostile_shapes.table(shapes, HOSTILE_TIMEOUT)
    lines.append("")

    lines += ["## Scaling", "", "Threads (ratio to the floor on as many threads):", "",
              "| corpus | 1 thread ms | × floor 1t | 2 threads ms | × floor | speed-up |", "|---|---:|---:|---:|---:|---:|"]
    one, two = by_name["scanner_core 1t"], by_name["scanner_core 2t"]
    for corpus in main_corpora:
        t1, t2 = median(one.times[corpus.name]), median(two.times[corpus.name])
        lines.append(f"| {corpus.name} | {ms(t1)} | {median(one.ratios[corpus.name]):.2f} | {ms(t2)} | "
                     f"{median(two.ratios[corpus.name]):.2f} | {t1 / t2:.2f} |")
    lines += ["", "File count (many-small, default threads):", "",
              "| files | scanner_core ms | µs per file | × floor | engine (C++) µs per file | floor ms | "
              "floor µs per file |",
              "|---:|---:|---:|---:|---:|---:|---:|"]
    floor, engine = by_name["floor"], by_name["engine (C++)"]
    for corpus in scaling_corpora:
        key = f"scale:{corpus.name}"
        t, f, e = median(module.times[key]), median(floor.times[key]), median(engine.times[key])
        lines.append(f"| {corpus.files:,} | {ms(t)} | {t / corpus.files * 1e6:.2f} | "
                     f"{median(module.ratios[key]):.2f} | {e / corpus.files * 1e6:.2f} | {ms(f)} | "
                     f"{f / corpus.files * 1e6:.2f} |")
    lines.append("")

    lines += ["## Micro-benchmarks (Google Benchmark, median of 3)", ""]
    if micro:
        lines.append(f"Text: `{micro[0]['text']}` ({micro[0]['text_bytes']:,} bytes, a realistic module).")
        lines += ["", "| benchmark | time per iteration | throughput |", "|---|---:|---:|"]
        for row in micro:
            name = row["run_name"]
            unit = row.get("time_unit", "ns")
            per_iter = f"{row['real_time']:.0f} {unit}"
            if "bytes_per_second" in row:
                throughput = f"{row['bytes_per_second'] / 1e6:,.0f} MB/s"
            elif "items_per_second" in row:
                throughput = f"{1e9 / row['items_per_second']:.1f} ns per import"
            else:
                throughput = ""
            lines.append(f"| {name} | {per_iter} | {throughput} |")
    lines.append("")

    lines += ["## Commands", "", "DIR is the corpus directory; N = "
              f"{threads} (the hardware threads).", "", "```"]
    lines.append(f"make {'bench-quick' if args.quick else 'bench'}")
    for c in contenders:
        lines.append(f"{c.name:22} {c.command}")
    lines.append(f"first call         python bench/first_call.py build/dev DIR 0 bench/policy.txt {FIRST_CALL_CALLS}"
                 f"  # {FIRST_CALL_PROCESSES} processes")
    lines.append("peak memory        bench/peak_rss COMMAND  # for the Python contenders, COMMAND is:")
    lines.append("                   python bench/mem_child.py baseline|module|python-re|python-ast DIR THREADS "
                 "build/dev")
    if micro:
        lines.append(f"engine_bench {micro[0]['text']} bench/policy.txt --benchmark_repetitions=3")
    lines += ["```", ""]
    return "\n".join(lines)


if __name__ == "__main__":
    sys.exit(main())
