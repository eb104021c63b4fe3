"""The command on one large file in a codec that only Python decodes: its
throughput and its peak memory above the same command on a small file.

A 64 MiB plugin module (4 MiB with --quick), written in cp1252 with
non-ASCII text in its strings and comments, and in unicode_escape with the
same text as escapes; beside them the same module in UTF-8, which the
engine decodes itself, for the cost of going through Python's decoder.
Each ends with an import that only the audit sees. Used by run_bench.py,
or alone:

    python bench/codec_bench.py --cache DIR --peak-rss build/bench/bench/peak_rss [--quick]
"""

from __future__ import annotations

import argparse
import json
import os
import random
import statistics
import subprocess
import sys
import tempfile
from pathlib import Path

import corpora

HERE = Path(__file__).resolve().parent
REPO = HERE.parent
VERSION = 3
NON_ASCII = ["caf\u00e9", "na\u00efve", "\u20ac 12", "r\u00e9sum\u00e9", "d\u00e9j\u00e0 vu", "\u2019", "\u00c9t\u00e9"]
HIDDEN = "x = 1; import subprocess\n"
POLICY = "[policy]\nforbidden = [\"os\", \"subprocess\", \"socket\"]\nallowed_exact = [\"json\"]\n"


def module_text(size: int) -> str:
    """About `size` characters of plugin code with non-ASCII text."""
    rng = random.Random(22)
    lines = corpora.plugin_source(rng, size * 6 // 7).splitlines()
    for i in range(0, len(lines), 3):
        lines[i] += f"  # {rng.choice(NON_ASCII)} {rng.choice(NON_ASCII)}"
    return "\n".join(lines) + "\n" + HIDDEN


def files(cache: Path, quick: bool) -> dict[str, Path]:
    """The three files (and a small one per codec), generated once per recipe."""
    size = (4 if quick else 64) * 1024 * 1024
    root = cache / ("codecs-quick" if quick else "codecs")
    stamp = root / "recipe.json"
    wanted = json.dumps({"version": VERSION, "size": size})
    paths = {name: root / name / "plugin.py" for name in ("cp1252", "unicode_escape", "utf-8")}
    small = {f"{name} (small)": root / f"{name}-small" / "plugin.py" for name in paths}
    if not (stamp.is_file() and stamp.read_text() == wanted):
        text = module_text(size)
        escaped = text.replace("\\", "\\\\").encode("ascii", "backslashreplace")
        contents = {
            "cp1252": b"# coding: cp1252\n" + text.encode("cp1252"),
            "unicode_escape": b"# coding: unicode_escape\n" + escaped,
            "utf-8": text.encode("utf-8"),
        }
        for name, data in contents.items():
            for path, body in ((paths[name], data), (small[f"{name} (small)"], data[:4096].rsplit(b"\n", 1)[0])):
                path.parent.mkdir(parents=True, exist_ok=True)
                path.write_bytes(body + b"\n")
        stamp.write_text(wanted)
    return {**paths, **small}


def run(peak_rss: str, path: Path, policy: Path, env: dict) -> tuple[float, int, str]:
    """One run of the command under peak_rss: wall seconds, peak KiB, summary line."""
    argv = [peak_rss, sys.executable, "-m", "scanner_gate", "--policy", str(policy), str(path.parent)]
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        start = os.times().elapsed
        done = subprocess.run(argv, stdout=out, stderr=err, env=env, timeout=3600)
        seconds = os.times().elapsed - start
        out.seek(0)
        err.seek(0)
        errors = err.read().decode(errors="replace").rstrip("\n").rsplit("\n", 1)
        if done.returncode not in (0, 1) or not errors[-1].startswith("peak_rss_kib="):
            raise RuntimeError(f"the command failed on {path} ({done.returncode}): {errors[-1][:300]}")
        summary = out.read().decode(errors="replace").rstrip("\n").rsplit("\n", 1)[-1]
    return seconds, int(errors[-1].split("=", 1)[1]), summary


def section(cache: Path, peak_rss: str, module_dir: Path, quick: bool, runs: int, log=print) -> list[str]:
    """The report's section: markdown lines."""
    paths = files(cache, quick)
    policy = cache / "codec-policy.toml"
    policy.write_text(POLICY)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(module_dir), str(REPO / "src")]))
    measured = {}
    for name, path in paths.items():
        log(f"[bench] codecs: the command on {name}")
        measured[name] = [run(peak_rss, path, policy, env) for _ in range(1 if "small" in name else runs)]
    lines = ["## A file in a codec only Python decodes", "",
             "The command (`python -m scanner_gate`, full verdict, text report) on one file; peak = its peak "
             "resident memory above the same command on the first 4 KiB of the same file; "
             f"median of {runs} runs.", "",
             "| file | bytes | median s | MB/s | peak MiB | above small file MiB | report |",
             "|---|---:|---:|---:|---:|---:|---|"]
    for name in ("cp1252", "unicode_escape", "utf-8"):
        size = paths[name].stat().st_size
        seconds = statistics.median(s for s, _, _ in measured[name])
        peak = max(k for _, k, _ in measured[name])
        small_peak = measured[f"{name} (small)"][0][1]
        summary = measured[name][0][2]
        lines.append(f"| {name} | {size:,} | {seconds:.2f} | {size / 1e6 / seconds:,.1f} | {peak / 1024:.1f} | "
                     f"{(peak - small_peak) / 1024:.1f} | {summary} |")
    lines.append("")
    return lines


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--cache", type=Path, default=Path.home() / ".cache" / "scanner-core" / "bench")
    parser.add_argument("--peak-rss", default=str(REPO / "build" / "bench" / "bench" / "peak_rss"))
    parser.add_argument("--module-dir", type=Path, default=REPO / "build" / "dev")
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--runs", type=int, default=3)
    args = parser.parse_args()
    print("\n".join(section(args.cache, args.peak_rss, args.module_dir, args.quick, args.runs,
                            lambda *a: print(*a, file=sys.stderr))))
    return 0


if __name__ == "__main__":
    sys.exit(main())
