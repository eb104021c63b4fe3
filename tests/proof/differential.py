"""The differential test: every .py file below the given roots, audited
natively and by Python's parser (audit_oracle), in several processes.
Prints the counts, and each failure; exits 1 when any file fails.

usage: differential.py [--jobs N] [--stdlib] [--site-packages] [ROOT ...]
"""

import argparse
import collections
import multiprocessing
import os
import sys
import sysconfig
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import audit_oracle  # noqa: E402

_comparer: audit_oracle.Comparer | None = None


def _start() -> None:
    global _comparer
    _comparer = audit_oracle.Comparer()


def _compare(path: str) -> tuple[str, audit_oracle.Outcome]:
    assert _comparer is not None
    return path, _comparer.compare(path)


def sources(root: str) -> list[str]:
    """The regular .py files below root (links to files included, links to
    directories not entered), sorted."""
    found = []
    for directory, subdirectories, files in os.walk(root):
        subdirectories.sort()
        for name in files:
            path = os.path.join(directory, name)
            if name.endswith(".py") and os.path.isfile(path):
                found.append(path)
    return sorted(found)


def roots(arguments: argparse.Namespace) -> list[str]:
    chosen = list(arguments.roots)
    if arguments.stdlib:
        chosen.append(sysconfig.get_paths()["stdlib"])
    if arguments.site_packages:
        for key in ("purelib", "platlib"):
            path = sysconfig.get_paths()[key]
            if path not in chosen:
                chosen.append(path)
    return chosen


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("roots", nargs="*")
    parser.add_argument("--stdlib", action="store_true", help="the interpreter's standard library")
    parser.add_argument("--site-packages", action="store_true", help="this environment's site-packages")
    parser.add_argument("--jobs", type=int, default=os.cpu_count() or 1)
    arguments = parser.parse_args()
    chosen = roots(arguments)
    if not chosen:
        parser.error("no root to compare")
    start = time.monotonic()
    failed = False
    for root in chosen:
        paths = sources(root)
        counts: collections.Counter[str] = collections.Counter()
        dropped = 0
        failures = []
        with multiprocessing.Pool(arguments.jobs, initializer=_start) as pool:
            for path, outcome in pool.imap_unordered(_compare, paths, chunksize=8):
                counts[outcome.kind] += 1
                dropped += outcome.dropped
                if outcome.kind == "refused_by_python_only" and not outcome.tokenized:
                    counts["refused_by_python_only, tokens up to Python's error"] += 1
                if outcome.failed:
                    failures.append((path, outcome))
        for path, outcome in sorted(failures):
            print(f"  {outcome.kind}: {path}: {outcome.detail}")
        summary = ", ".join(f"{counts[kind]} {kind}" for kind in sorted(counts))
        print(f"[differential] {root}: {len(paths)} files: {summary}")
        print(f"[differential] {root}: {dropped} line scan findings dropped as text by the full verdict")
        failed = failed or bool(failures) or not paths
    print(f"[differential] {'FAILED' if failed else 'passed'} in {time.monotonic() - start:.0f} s")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
