"""Archives through the command: what reading an archive as uploaded costs
beside its extracted tree, a wheel with a member of 1 GiB, compression bombs.

- The standard library corpus (corpora's `stdlib`) as a zip, beside the same
  tree: the command's median wall and processor seconds on each, run in
  alternation; target: the zip at most 1.2 times the tree (wall).
- A wheel whose one module is 1 GiB of ordinary code lines (64 MiB with
  --quick), its import statements left out so that its findings stay few:
  judged (not refused), its peak resident memory at most 64 MiB above the
  same command on a wheel of one small module. (Findings are output, and
  memory follows them: the same module with its imports makes about 150,000
  findings, whose records take as much again.)
- Compression bombs of about 42 KB: a 42.zip-like nest of zips, 16 in each
  of its levels, each bottom file 4 MiB of zeros (petabytes in all), and one
  member inflating 1000 times: each refused (archive-bound-exceeded) in
  under a second.

The archives are made once into the cache. Used by run_bench.py, or alone:

    python bench/archive_bench.py --cache DIR --peak-rss build/bench/bench/peak_rss [--quick]
"""

from __future__ import annotations

import argparse
import base64
import hashlib
import io
import json
import os
import statistics
import subprocess
import sys
import sysconfig
import tempfile
import zipfile
from pathlib import Path

import corpora

HERE = Path(__file__).resolve().parent
REPO = HERE.parent
VERSION = 2
POLICY = "[policy]\nforbidden = [\"os\", \"subprocess\", \"socket\"]\nallowed_exact = [\"json\"]\n"
_ORDINARY = ("argparse.py", "textwrap.py", "dataclasses.py", "enum.py", "inspect.py")


def _zip(members: list[tuple[str, bytes]], level: int = 9) -> bytes:
    data = io.BytesIO()
    with zipfile.ZipFile(data, "w", zipfile.ZIP_DEFLATED, compresslevel=level) as archive:
        for name, body in members:
            archive.writestr(name, body)
    return data.getvalue()


def nested_bomb(levels: int = 5) -> bytes:
    """16 zips in each of `levels` levels over 16 files of 4 MiB of zeros."""
    layer = _zip([(f"{i}.py", bytes(4 << 20)) for i in range(16)])
    for _ in range(levels):
        layer = _zip([(f"lib {i}.zip", layer) for i in range(16)])
    return layer


def flat_bomb() -> bytes:
    """One module of 42 MB of blank lines, about 42 KB compressed."""
    return _zip([("pkg/bomb.py", b"\n" * 42_000_000)])


def big_wheel(path: Path, size: int) -> None:
    """A wheel whose module is `size` bytes of ordinary code without its
    import statements, with its RECORD."""
    library = Path(sysconfig.get_paths()["stdlib"])
    text = b"".join(line for name in _ORDINARY for line in (library / name).read_bytes().splitlines(keepends=True)
                    if not line.lstrip().startswith((b"import ", b"from ")))
    digest, written = hashlib.sha256(), 0
    info = "big-1.0.dist-info"
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED, compresslevel=1) as archive:
        with archive.open("big/module.py", "w", force_zip64=size > 1 << 31) as member:
            while written < size:
                piece = text[: size - written]
                member.write(piece)
                digest.update(piece)
                written += len(piece)
        record = [f"big/module.py,sha256={base64.urlsafe_b64encode(digest.digest()).rstrip(b'=').decode()},{size}"]
        for name, body in ((f"{info}/METADATA", b"Metadata-Version: 2.1\nName: big\nVersion: 1.0\n"),):
            archive.writestr(name, body)
            sha = base64.urlsafe_b64encode(hashlib.sha256(body).digest()).rstrip(b"=").decode()
            record.append(f"{name},sha256={sha},{len(body)}")
        archive.writestr(f"{info}/RECORD", "\n".join(record + [f"{info}/RECORD,,"]) + "\n")


def archives(cache: Path, quick: bool, log=print) -> dict[str, Path]:
    """The corpus tree, its zip, the wheels and the bombs, made once per recipe."""
    tree = corpora.ensure(cache, "stdlib", corpora.recipes(quick)["stdlib"], log).path
    size = (64 if quick else 1024) << 20
    root = cache / ("archives-quick" if quick else "archives")
    stamp = root / "recipe.json"
    wanted = json.dumps({"version": VERSION, "size": size, "tree": str(tree)})
    paths = {"tree": tree, "zip": root / "stdlib.zip", "wheel": root / "big-1.0-py3-none-any.whl",
             "small wheel": root / "small" / "small-1.0-py3-none-any.whl", "nested bomb": root / "42.zip",
             "flat bomb": root / "flat-bomb.zip"}
    if not (stamp.is_file() and stamp.read_text() == wanted):
        log(f"[bench] archives: making the archives in {root}")
        root.mkdir(parents=True, exist_ok=True)
        paths["small wheel"].parent.mkdir(exist_ok=True)
        with zipfile.ZipFile(paths["zip"], "w", zipfile.ZIP_DEFLATED) as archive:
            for dirpath, dirnames, filenames in os.walk(tree):
                dirnames.sort()
                for filename in sorted(filenames):
                    full = Path(dirpath) / filename
                    archive.write(full, full.relative_to(tree).as_posix())
        big_wheel(paths["wheel"], size)
        big_wheel(paths["small wheel"], 4096)
        paths["nested bomb"].write_bytes(nested_bomb())
        paths["flat bomb"].write_bytes(flat_bomb())
        stamp.write_text(wanted)
    return paths


def run(peak_rss: str, path: Path, policy: Path, env: dict) -> tuple[float, float, int, int, str]:
    """One run of the command under peak_rss: wall and processor seconds,
    peak KiB, exit status, last line of the report."""
    argv = [peak_rss, sys.executable, "-m", "scanner_gate", "-q", "--policy", str(policy), str(path)]
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        before = os.times()
        done = subprocess.run(argv, stdout=out, stderr=err, env=env, timeout=3600)
        after = os.times()
        out.seek(0)
        err.seek(0)
        errors = err.read().decode(errors="replace").rstrip("\n").rsplit("\n", 1)
        if done.returncode not in (0, 1) or not errors[-1].startswith("peak_rss_kib="):
            raise RuntimeError(f"the command failed on {path} ({done.returncode}): {errors[-1][:300]}")
        report = out.read().decode(errors="replace")
    cpu = (after.children_user - before.children_user) + (after.children_system - before.children_system)
    return (after.elapsed - before.elapsed, cpu, int(errors[-1].split("=", 1)[1]), done.returncode,
            report.rstrip("\n").rsplit("\n", 1)[-1] + (" [archive-bound-exceeded]" if "[archive-bound-exceeded]"
                                                         in report else ""))


def section(cache: Path, peak_rss: str, module_dir: Path, quick: bool, runs: int, log=print) -> list[str]:
    """The report's section: markdown lines, targets included."""
    paths = archives(cache, quick, log)
    policy = cache / "archive-policy.toml"
    policy.write_text(POLICY)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(module_dir), str(REPO / "src")]))
    measured: dict[str, list[tuple[float, float, int, int, str]]] = {}
    for round_ in range(runs):  # the tree and its zip in alternation, so that load falls on both
        for name in ("tree", "zip") if round_ % 2 == 0 else ("zip", "tree"):
            log(f"[bench] archives: the command on the {name} of the standard library")
            measured.setdefault(name, []).append(run(peak_rss, paths[name], policy, env))
    for name in ("small wheel", "wheel", "nested bomb", "flat bomb"):
        log(f"[bench] archives: the command on the {name}")
        measured[name] = [run(peak_rss, paths[name], policy, env) for _ in range(1 if "wheel" in name else runs)]

    def wall(name: str) -> float:
        return statistics.median(m[0] for m in measured[name])

    def cpu(name: str) -> float:
        return statistics.median(m[1] for m in measured[name])

    lines = ["## Archives as uploaded", "",
             f"The command (`python -m scanner_gate -q`, full verdict) on each; median of {runs} runs (the "
             "wheels: one); peak = peak resident memory (`bench/archive_bench.py`).", "",
             "| input | bytes | median wall s | median processor s | peak MiB | exit | report |",
             "|---|---:|---:|---:|---:|---:|---|"]
    for name, path in paths.items():
        size = sum(f.stat().st_size for f in path.rglob("*") if f.is_file()) if path.is_dir() else path.stat().st_size
        peak = max(m[2] for m in measured[name]) / 1024
        lines.append(f"| {name} | {size:,} | {wall(name):.3f} | {cpu(name):.3f} | {peak:.1f} | "
                     f"{measured[name][0][3]} | {measured[name][0][4]} |")
    ratio = wall("zip") / wall("tree")
    above = (max(m[2] for m in measured["wheel"]) - measured["small wheel"][0][2]) / 1024
    judged = measured["wheel"][0][3] in (0, 1) and "[archive-bound-exceeded]" not in measured["wheel"][0][4]
    big = "64 MiB" if quick else "1 GiB"
    targets = [
        ("the stdlib zip's verdict ≤ 1.2× its tree's (wall)", f"{ratio:.2f}× (processor: "
         f"{cpu('zip') / cpu('tree'):.2f}×)", ratio <= 1.2),
        (f"a wheel with a {big} member judged, peak ≤ 64 MiB above a small wheel's", f"{above:.1f} MiB",
         judged and above <= 64),
    ]
    for name in ("nested bomb", "flat bomb"):
        refused = all(m[3] == 1 and m[4].endswith("[archive-bound-exceeded]") for m in measured[name])
        size = paths[name].stat().st_size
        targets.append((f"{name} ({size / 1000:.0f} KB) refused in < 1 s", f"{wall(name):.3f} s",
                        refused and wall(name) < 1))
    lines += ["", "| target | measured | met |", "|---|---|---|"]
    lines += [f"| {what} | {measured_} | {'yes' if met else '**no**'} |" for what, measured_, met in targets]
    lines.append("")
    return lines


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--cache", type=Path, default=Path.home() / ".cache" / "scanner-core" / "bench")
    parser.add_argument("--peak-rss", default=str(REPO / "build" / "bench" / "bench" / "peak_rss"))
    parser.add_argument("--module-dir", type=Path, default=REPO / "build" / "dev")
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--runs", type=int, default=5)
    args = parser.parse_args()
    print("\n".join(section(args.cache, args.peak_rss, args.module_dir, args.quick, args.runs,
                            lambda *a: print(*a, file=sys.stderr))))
    return 0


if __name__ == "__main__":
    sys.exit(main())
