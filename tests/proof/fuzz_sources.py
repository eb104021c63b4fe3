"""The fuzzer of the audit: writes Python sources (source_maker), has the
native audit and Python's parser read each, and holds the two to each other
as audit_oracle does. Source number i of a seed is always the same, so a
failure is reproduced by its seed and number; each failure is also shrunk
to a small input that fails the same way, and saved.

usage: fuzz_sources.py [--seed S] (--sources N | --seconds T) [--jobs J] [--out DIR]
"""

import argparse
import collections
import multiprocessing
import os
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import audit_oracle  # noqa: E402
import source_maker  # noqa: E402

BATCH = 200  # sources per task handed to a worker

_comparer: audit_oracle.Comparer | None = None
_path = ""


def _start(directory: str) -> None:
    global _comparer, _path
    _comparer = audit_oracle.Comparer()
    _path = os.path.join(directory, f"source-{os.getpid()}.py")


def check(data: bytes) -> audit_oracle.Outcome:
    assert _comparer is not None
    with open(_path, "wb") as stream:
        stream.write(data)
    return _comparer.compare(_path)


def _run_batch(task: tuple[int, int]) -> tuple[collections.Counter[str], list[tuple[int, bytes, audit_oracle.Outcome]]]:
    seed, first = task
    counts: collections.Counter[str] = collections.Counter()
    failures = []
    for index in range(first, first + BATCH):
        data = source_maker.make(seed, index)
        outcome = check(data)
        counts[outcome.kind] += 1
        if outcome.failed:
            failures.append((index, data, outcome))
    return counts, failures


def shrink(data: bytes, kind: str, budget: float = 20.0) -> bytes:
    """A smaller input that fails the same way: whole lines removed, then
    spans of bytes, as long as the failure stays."""
    deadline = time.monotonic() + budget

    def fails(candidate: bytes) -> bool:
        return check(candidate).kind == kind

    lines = data.splitlines(keepends=True)
    i = 0
    while i < len(lines) and time.monotonic() < deadline:
        candidate = lines[:i] + lines[i + 1 :]
        if fails(b"".join(candidate)):
            lines = candidate
        else:
            i += 1
    data = b"".join(lines)
    span = max(1, len(data) // 2)
    while span >= 1 and time.monotonic() < deadline:
        at = 0
        while at < len(data) and time.monotonic() < deadline:
            candidate = data[:at] + data[at + span :]
            if fails(candidate):
                data = candidate
            else:
                at += span
        span //= 2
    return data


def _shrink(failure: tuple[int, bytes, audit_oracle.Outcome]) -> tuple[int, bytes, bytes, audit_oracle.Outcome]:
    index, data, outcome = failure
    small = shrink(data, outcome.kind)
    return index, data, small, check(small)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seed", type=int, default=None, help="default: from the clock (printed)")
    run = parser.add_mutually_exclusive_group(required=True)
    run.add_argument("--sources", type=int, help="how many sources to write")
    run.add_argument("--seconds", type=float, help="how long to run")
    parser.add_argument("--jobs", type=int, default=os.cpu_count() or 1)
    parser.add_argument("--out", default="build/fuzz-sources", help="where failing inputs are saved")
    parser.add_argument("--max-failures", type=int, default=20, help="failures shrunk and shown at most")
    arguments = parser.parse_args()
    seed = arguments.seed if arguments.seed is not None else int(time.time()) % 1_000_000
    start = time.monotonic()
    counts: collections.Counter[str] = collections.Counter()
    failures: list[tuple[int, bytes, audit_oracle.Outcome]] = []
    scratch = tempfile.mkdtemp(prefix="fuzz-sources-", dir="/dev/shm" if os.access("/dev/shm", os.W_OK) else None)
    try:
        with multiprocessing.Pool(arguments.jobs, initializer=_start, initargs=(scratch,)) as pool:
            if arguments.sources is not None:
                tasks = [(seed, first) for first in range(0, arguments.sources, BATCH)]
                for batch_counts, batch_failures in pool.imap_unordered(_run_batch, tasks):
                    counts.update(batch_counts)
                    failures += batch_failures
            else:
                next_batch = 0
                pending = []
                while time.monotonic() - start < arguments.seconds or pending:
                    while len(pending) < 2 * arguments.jobs and time.monotonic() - start < arguments.seconds:
                        pending.append(pool.apply_async(_run_batch, ((seed, next_batch * BATCH),)))
                        next_batch += 1
                    batch_counts, batch_failures = pending.pop(0).get()
                    counts.update(batch_counts)
                    failures += batch_failures
            failures.sort(key=lambda failure: failure[0])
            shown = pool.map(_shrink, failures[: arguments.max_failures])
    finally:
        for name in os.listdir(scratch):
            os.unlink(os.path.join(scratch, name))
        os.rmdir(scratch)
    if shown:
        os.makedirs(arguments.out, exist_ok=True)
    for index, data, small, outcome in shown:
        stem = os.path.join(arguments.out, f"seed{seed}-{index}")
        with open(stem + ".py", "wb") as stream:
            stream.write(data)
        with open(stem + ".min.py", "wb") as stream:
            stream.write(small)
        print(f"  {outcome.kind}: source {index} of seed {seed}, shrunk to {small!r}: {outcome.detail}")
    total = sum(counts.values())
    summary = ", ".join(f"{counts[kind]} {kind}" for kind in sorted(counts))
    print(f"[fuzz-sources] seed {seed}: {total} sources in {time.monotonic() - start:.0f} s: {summary}")
    if failures:
        print(f"[fuzz-sources] FAILED: {len(failures)} sources; inputs saved under {arguments.out}")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
