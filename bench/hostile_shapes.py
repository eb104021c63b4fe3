"""Files whose shape, not their size, could decide what the full verdict
costs: each shape written as a 4 MB and an 8 MB file, each scanned by
`scanner_audit` (line scan and audit) in a fresh process, beside ordinary
code of the same sizes.

For each file: the seconds of one `scan_file(..., audit=True)`, the
throughput, and the peak resident memory above an interpreter that has
imported the module and scanned nothing; for each shape the 8 MB time over
the 4 MB time (2 for a linear reader). A run that passes its time limit is
reported as such, not waited for.

Usage: hostile_shapes.py MODULE_DIR OUT_DIR [--sizes 4,8] [--only SHAPE,...]
                         [--timeout SECONDS] [--json FILE]
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


def _fstring_field(size: int) -> bytes:
    return _one_line(b'x = f"{a', b" + a", b'}"\n', size)


# Each shape: what a plugin author writes, as a function of the size.
SHAPES = {
    "ordinary code": _ordinary,
    "non-ASCII names": lambda n: _repeat("α = beta + 1\n".encode(), n),
    "lone CR line ends": lambda n: _repeat(b"x = 1\r", n),
    "CR LF and CR mixed": lambda n: _repeat(b"x = 1\r\ny = (2,\r3)\r", n),
    "lines the skipper gives back": lambda n: _repeat("y = 'é' + ß\nimport os as o, sys\n".encode(), n),
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
    "import in every f-string": lambda n: _repeat(b"x = f'{__import__(\"os\")}'\n", n),
}

_CHILD = r"""
import resource, sys, time
sys.path.insert(0, sys.argv[1])
import scanner_audit
scanner = scanner_audit.Scanner({"os"}, {"json"}, ["toolkit"])
scanner.scan_file(sys.argv[3], set(), audit=True) if sys.argv[2] == "warm" else None
base = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
start = time.perf_counter()
report = scanner.scan_file(sys.argv[3], set(), audit=True) if sys.argv[2] == "scan" else None
seconds = time.perf_counter() - start
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print(seconds, (peak - base) * 1024, len(report.findings) if report else 0, report.passed if report else True)
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
            if not path.exists():
                path.write_bytes(make(size * MB))
            files.append((shape, size, path))
    return files


def measure(module_dir: str, path: Path, timeout: float) -> dict:
    """One scan of `path` in a fresh interpreter: seconds, bytes of peak
    memory above the interpreter with the module imported, findings."""
    try:
        done = subprocess.run([sys.executable, "-c", _CHILD, module_dir, "scan", str(path)], capture_output=True,
                              text=True, timeout=timeout, check=True)
    except subprocess.TimeoutExpired:
        return {"seconds": None, "peak": None, "findings": None, "passed": None}
    seconds, peak, findings, passed = done.stdout.split()
    return {"seconds": float(seconds), "peak": int(peak), "findings": int(findings), "passed": passed == "True"}


def run(module_dir: str, out: Path, sizes: list[int], timeout: float, only: set[str] | None = None) -> list[dict]:
    rows = []
    for shape, size, path in write_shapes(out, sizes, only):
        figures = measure(module_dir, path, timeout)
        figures.update(shape=shape, size_mb=size, bytes=path.stat().st_size)
        rows.append(figures)
        print(f"  {shape} {size} MB: {figures['seconds']}", file=sys.stderr, flush=True)
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


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("module_dir")
    parser.add_argument("out_dir", type=Path)
    parser.add_argument("--sizes", default="4,8")
    parser.add_argument("--only", default="")
    parser.add_argument("--timeout", type=float, default=120.0)
    parser.add_argument("--json", type=Path)
    args = parser.parse_args()
    sizes = [int(size) for size in args.sizes.split(",")]
    only = {shape for shape in args.only.split(",") if shape} or None
    rows = run(args.module_dir, args.out_dir, sizes, args.timeout, only)
    if args.json:
        args.json.write_text(json.dumps(rows, indent=1))
    print("\n".join(table(rows, args.timeout)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
