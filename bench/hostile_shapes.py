"""Files whose shape, not their size, could decide what the full verdict
costs: each shape written as a 4 MB and an 8 MB file, each scanned by
`scanner_audit` (line scan and audit) in a fresh process, beside ordinary
code of the same sizes.

For each file: the median seconds of `scan_file(..., audit=True)` over
a few fresh processes, the throughput, and the peak resident memory above an interpreter that has
imported the module and scanned nothing; for each shape the 8 MB time over
the 4 MB time (2 for a linear reader). A run that passes its time limit is
reported as such, not waited for.

Usage: hostile_shapes.py MODULE_DIR OUT_DIR [--sizes 4,8] [--only SHAPE,...]
                         [--timeout SECONDS] [--runs N] [--json FILE]
Prints a Markdown table; --json also writes the figures.
"""

from __future__ import annotations

import argparse
import json
import subprocess
import sys
import sysconfig
from pathlib import Path

MB = 1_000_000

_ORDINARY_MODULES = ("argparse.py", "textwrap.py", "dataclasses.py", "enum.py", "inspect.py")


def _repeat(unit: bytes, size: int) -> bytes:
    return unit * (size // len(unit) + 1)


def _one_line(head: bytes, item: bytes, tail: bytes, size: int) -> bytes:
    count = max(1, (size - len(head) - len(tail)) // len(item))
    return head + item * count + tail


def _ordinary(size: int) -> bytes:
    library = Path(sysconfig.get_paths()["stdlib"])
    text = b"".join((library / name).read_bytes() + b"\n" for name in _ORDINARY_MODULES)
    return _repeat(text, size)[:size].rpartition(b"\n")[0] + b"\n"


def _numbered(template: str, size: int) -> bytes:
    """`template` repeated to `size` bytes, its {k} the number of each copy:
    every copy names something of its own."""
    lines, total, k = [], 0, 0
    while total < size:
        line = template.format(k=k).encode()
        lines.append(line)
        total += len(line)
        k += 1
    return b"".join(lines)


def _fstring_field(size: int) -> bytes:
    return _one_line(b'x = f"{a', b" + a", b'}"\n', size)


# Each shape: what a plugin author writes, as a function of the size.
SHAPES = {
    "ordinary code": _ordinary,
    "non-ASCII names": lambda n: _repeat("α = beta + 1\n".encode(), n),
    "lone CR line ends": lambda n: _repeat(b"x = 1\r", n),
    "CR LF and CR mixed": lambda n: _repeat(b"x = 1\r\ny = (2,\r3)\r", n),
    "lines the skipper gives back": lambda n: _repeat("if x: import json as j, json.decoder\ny = ｘ\n".encode(), n),
    "one line of match words": lambda n: _one_line(b"x = ", b"match", b"\n", n),
    "one long name": lambda n: _one_line(b"x = ", b"a", b"\n", n),
    "one long dotted import": lambda n: _one_line(b"import a", b".a", b"\n", n),
    "long name before import_module": lambda n: _one_line(b"", b"a", b".import_module('os')\n", n),
    "bracketed items on one line": lambda n: _one_line(b"x = [", b"1, ", b"]\n", n),
    "deep brackets": lambda n: _repeat(b"x = " + b"(" * 199 + b"1" + b")" * 199 + b"\n", n),
    "one long string": lambda n: _one_line(b"x = '", b"a", b"'\n", n),
    "one long triple-quoted string": lambda n: _one_line(b'x = """', b"a\n", b'"""\n', n),
    "long continuation chain": lambda n: _one_line(b"x = 1", b" + \\\n1", b"\n", n),
    "long f-string field": _fstring_field,
    "many ; on one line": lambda n: _one_line(b"", b"x = 1; ", b"\n", n),
    "long match header": lambda n: _one_line(b"match (0", b", 0", b"):\n    case _: pass\n", n),
    "import in every f-string": lambda n: _repeat(b"x = f'{__import__(\"json\")}'\n", n),
    "one pickle payload of marks": lambda n: _one_line(b"import pickle\npickle.loads(b'", b"(N", b"')\n", n // 2)[:-3]
    + b"1" * (n // 4) + b".')\n",
    "one pickle payload of memoized texts": lambda n: _one_line(b"import pickle\npickle.loads(b'\\x80\\x04",
                                                               b"\\x8c\\x01x\\x94", b"\\x93.')\n", n),
    "one logging configuration of many paths": lambda n: _one_line(
        b"import logging.config\nlogging.config.dictConfig({'version': 1, 'x': [", b"'ext://json.decoder', ", b"]})\n", n),
    # Names followed through what the standard modules hold, and the words
    # of the object graph: every use is looked at, none may cost more.
    # More names bound to a followed module than are looked for at once.
    "many names bound to a followed module": lambda n: _numbered("import logging as a{k}\na{k}.getLogger()\n", n),
    "a followed name on every line": lambda n: b"import logging\n" + _repeat(b"logging.getLogger(x).info(y)\n", n),
    "dunder attributes on every line": lambda n: _repeat(b"x.__class__.__name__ + y._code__z + f_back_\n", n),
    # Lines the line scan reports and the audit reads as text: what the
    # verdict holds of them until the string ends must not follow their count.
    "import lines in one string": lambda n: _one_line(b'x = """\n', b"import os\n", b'"""\n', n),
    "unlike import lines in one string": lambda n: _one_line(b'x = """\n', b"import os\nimport sys\n", b'"""\n', n),
    # Read as the file of a tree whose local imports are looked up: every
    # line a finding of its own, each said once.
    "a missing local module on every line": lambda n: _numbered("from .m{k} import x\n", n),
}

# The shapes written as the one file of a tree (its package's module), and
# scanned as a tree with its local imports looked up.
_TREE_SHAPES = {"a missing local module on every line"}

# One scan in a fresh interpreter ("baseline": none), timed; then the
# process's peak resident memory, whose excess over the baseline's is the
# scan's. VmHWM, not ru_maxrss: Linux carries ru_maxrss over from the
# process that forked the child, so a large parent (run_bench) would hide
# the scan's own peak behind its own.
_CHILD = r"""
import sys, time
sys.path.insert(0, sys.argv[1])
import scanner_audit
import os
scanner = scanner_audit.Scanner({"os"}, {"json"}, ["toolkit"], local_imports=True)
start = time.perf_counter()
if sys.argv[2] == "baseline":
    report = None
elif os.path.isdir(sys.argv[2]):
    [report] = [r for r in scanner.scan_tree(sys.argv[2], {"pkg"}, local_package=[], standard_names=set())
                if r.filepath.endswith("module.py")]
else:
    report = scanner.scan_file(sys.argv[2], set(), audit=True)
seconds = time.perf_counter() - start
with open("/proc/self/status") as status:
    peak = next(int(line.split()[1]) for line in status if line.startswith("VmHWM:"))
print(seconds, peak * 1024, len(report.findings) if report else 0,
      report.passed if report else True)
"""


def write_shapes(out: Path, sizes: list[int], only: set[str] | None) -> list[tuple[str, int, Path]]:
    """Writes each shape at each size (once; kept between runs) and returns
    (shape, size in MB, path) in order."""
    out.mkdir(parents=True, exist_ok=True)
    files = []
    for index, (shape, make) in enumerate(SHAPES.items()):
        if only and shape not in only:
            continue
        for size in sizes:
            path = out / f"shape{index:02d}-{size}MB.py"
            written = path
            if shape in _TREE_SHAPES:
                path = out / f"shape{index:02d}-{size}MB"
                written = path / "pkg" / "module.py"
                written.parent.mkdir(parents=True, exist_ok=True)
                (written.parent / "__init__.py").touch()
            if not written.exists():
                written.write_bytes(make(size * MB))
            files.append((shape, size, path))
    return files


def _child(module_dir: str, what: str, timeout: float) -> tuple[float, int, int, bool] | None:
    try:
        done = subprocess.run([sys.executable, "-c", _CHILD, module_dir, what], capture_output=True, text=True,
                              timeout=timeout, check=True)
    except subprocess.TimeoutExpired:
        return None
    seconds, peak, findings, passed = done.stdout.split()
    return float(seconds), int(peak), int(findings), passed == "True"


def baseline_peak(module_dir: str) -> int:
    """The peak resident bytes of an interpreter that imported the module
    and made a scanner (the least of three)."""
    return min(_child(module_dir, "baseline", 60.0)[1] for _ in range(3))


def measure(module_dir: str, path: Path, timeout: float, runs: int, baseline: int) -> dict:
    """`runs` scans of `path`, each in a fresh interpreter: the median
    seconds, the most memory above the baseline, the findings of the last."""
    outcomes = []
    for _ in range(runs):
        outcome = _child(module_dir, str(path), timeout)
        if outcome is None:
            return {"seconds": None, "peak": None, "findings": None, "passed": None}
        outcomes.append(outcome)
    seconds = sorted(o[0] for o in outcomes)[len(outcomes) // 2]
    peak = max(o[1] for o in outcomes) - baseline
    return {"seconds": seconds, "peak": max(peak, 0), "findings": outcomes[-1][2], "passed": outcomes[-1][3]}


def run(module_dir: str, out: Path, sizes: list[int], timeout: float, runs: int = 3,
        only: set[str] | None = None, log=lambda *args: None) -> list[dict]:
    baseline = baseline_peak(module_dir)
    rows = []
    for shape, size, path in write_shapes(out, sizes, only):
        figures = measure(module_dir, path, timeout, runs, baseline)
        read = path / "pkg" / "module.py" if path.is_dir() else path
        figures.update(shape=shape, size_mb=size, bytes=read.stat().st_size)
        rows.append(figures)
        log(f"[bench] hostile shape {shape}, {size} MB: {figures['seconds']} s")
    return rows


def table(rows: list[dict], timeout: float) -> list[str]:
    """Markdown: one row per shape, each size's seconds and MB/s, the ratio
    of the largest size's time to the smallest's, the peak memory."""
    sizes = sorted({row["size_mb"] for row in rows})
    by_shape: dict[str, dict[int, dict]] = {}
    for row in rows:
        by_shape.setdefault(row["shape"], {})[row["size_mb"]] = row
    ordinary = by_shape.get("ordinary code", {})

    def speed(row: dict) -> float | None:
        return row["bytes"] / MB / row["seconds"] if row["seconds"] else None

    head = ["shape"]
    for size in sizes:
        head += [f"{size} MB s", f"{size} MB MB/s"]
    head += [f"{sizes[-1]} MB ÷ {sizes[0]} MB", "÷ ordinary MB/s", "peak MiB"]
    lines = ["| " + " | ".join(head) + " |", "|---|" + "---:|" * (len(head) - 1)]
    for shape, by_size in by_shape.items():
        cells = [shape]
        for size in sizes:
            row = by_size.get(size)
            if row is None or row["seconds"] is None:
                cells += [f"> {timeout:g}" if row else "", ""]
            else:
                cells += [f"{row['seconds']:.3f}", f"{speed(row):.1f}"]
        first, last = by_size.get(sizes[0]), by_size.get(sizes[-1])
        ratio = last["seconds"] / first["seconds"] if first and last and first["seconds"] and last["seconds"] else None
        cells.append(f"{ratio:.2f}" if ratio else "")
        mine, theirs = speed(last) if last and last["seconds"] else None, None
        if ordinary.get(sizes[-1]) and ordinary[sizes[-1]]["seconds"]:
            theirs = speed(ordinary[sizes[-1]])
        cells.append(f"{mine / theirs:.2f}" if mine and theirs else "")
        peaks = [row["peak"] for row in by_size.values() if row["peak"] is not None]
        cells.append(f"{max(peaks) / 2**20:.1f}" if peaks else "")
        lines.append("| " + " | ".join(cells) + " |")
    return lines


def targets(rows: list[dict]) -> list[tuple[str, str, bool]]:
    """(what, measured, met) for each shape: its largest file's throughput
    at least a third of ordinary code's, that file's time at most 2.2 times
    the smallest's, its peak at most 64 MiB above the interpreter. A run
    that passed its time limit meets none."""
    sizes = sorted({row["size_mb"] for row in rows})
    by = {(row["shape"], row["size_mb"]): row for row in rows}
    ordinary = by.get(("ordinary code", sizes[-1]))
    found = []
    for shape in dict.fromkeys(row["shape"] for row in rows):
        if shape == "ordinary code":
            continue
        small, large = by.get((shape, sizes[0])), by.get((shape, sizes[-1]))
        if not (small and large and small["seconds"] and large["seconds"] and ordinary and ordinary["seconds"]):
            found.append((f"{shape}: read within the time limit", "no", False))
            continue
        share = (large["bytes"] / large["seconds"]) / (ordinary["bytes"] / ordinary["seconds"])
        found.append((f"{shape}: ≥ ⅓ of ordinary code's throughput", f"{share:.2f}", share >= 1 / 3))
        ratio = large["seconds"] / small["seconds"]
        found.append((f"{shape}: {sizes[-1]} MB ≤ 2.2× {sizes[0]} MB", f"{ratio:.2f}", ratio <= 2.2))
        peak = max(small["peak"], large["peak"]) / 2**20
        found.append((f"{shape}: peak ≤ 64 MiB above the interpreter", f"{peak:.1f} MiB", peak <= 64))
    return found


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("module_dir")
    parser.add_argument("out_dir", type=Path)
    parser.add_argument("--sizes", default="4,8")
    parser.add_argument("--only", default="")
    parser.add_argument("--timeout", type=float, default=120.0)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--json", type=Path)
    args = parser.parse_args()
    sizes = [int(size) for size in args.sizes.split(",")]
    only = {shape for shape in args.only.split(",") if shape} or None
    rows = run(args.module_dir, args.out_dir, sizes, args.timeout, args.runs, only,
               lambda *words: print(*words, file=sys.stderr, flush=True))
    if args.json:
        args.json.write_text(json.dumps(rows, indent=1))
    print("\n".join(table(rows, args.timeout)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
