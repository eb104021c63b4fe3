"""Load and leaks: many Python threads scanning with one classifier at once
get exactly what a lone call gets, and thousands of calls, failing ones
included, leave neither memory nor threads behind.

`make test` runs these at a size that fits continuous integration;
SCANNER_CORE_STRESS=full (`make stress`) runs them at full size."""

import gc
import os
import threading

import pytest

from conftest import native_threads, threads_left_over

FULL = os.environ.get("SCANNER_CORE_STRESS") == "full"
ROUNDS = 200 if FULL else 50
THREADS = 8
CALLS = 2000 if FULL else 600
WARM_UP_CALLS = 100
# Resident memory may move by allocator noise, never by what a leak of one
# call's records (hundreds of kB here) times the calls would add.
RSS_BOUND = 4 * 2**20


@pytest.fixture
def tree(tmp_path):
    """120 files of different sizes, each with forbidden, unlisted, allowed,
    local and relative imports, so that every record carries messages."""
    for i in range(120):
        directory = tmp_path / f"pkg{i % 5}"
        directory.mkdir(exist_ok=True)
        lines = ["#" * 80] * (i * 40)
        lines += ["import os.path", "import yaml", "import json", "from mypkg import x", "from . import y"] * 25
        (directory / f"m{i}.py").write_text("\n".join(lines) + "\n")
    return str(tmp_path)


def snapshot(results):
    return [(r.filepath, r.errors, r.warnings, r.passed) for r in results]


def status(field):
    with open("/proc/self/status") as lines:
        return next(int(line.split()[1]) for line in lines if line.startswith(field + ":"))


def test_eight_threads_share_one_classifier_round_after_round(classifier, tree):
    single_file = os.path.join(tree, "pkg3", "m8.py")
    expected_tree = snapshot(classifier.scan_directory(tree, {"mypkg"}, 1))
    expected_file = snapshot([classifier.scan_file(single_file, {"mypkg"})])
    assert len(expected_tree) == 120 and len(expected_file[0][1]) == 25 and len(expected_file[0][2]) == 25

    start = threading.Barrier(THREADS)  # every round starts all threads together
    mismatches = []
    completed = []

    def caller(index):
        for round_number in range(ROUNDS):
            start.wait()
            workers = (index + round_number) % 5  # 0 (automatic) to 4
            if snapshot(classifier.scan_directory(tree, {"mypkg"}, workers)) != expected_tree:
                mismatches.append(("scan_directory", index, round_number))
            if snapshot([classifier.scan_file(single_file, {"mypkg"})]) != expected_file:
                mismatches.append(("scan_file", index, round_number))
            completed.append(index)

    callers = [threading.Thread(target=caller, args=(i,)) for i in range(THREADS)]
    for thread in callers:
        thread.start()
    for thread in callers:
        thread.join()
    assert mismatches == []
    assert len(completed) == THREADS * ROUNDS


def test_memory_and_threads_stay_flat_over_thousands_of_calls(classifier, tree, tmp_path_factory):
    missing = str(tmp_path_factory.mktemp("gone") / "missing")
    single_file = os.path.join(tree, "pkg1", "m6.py")

    def call(number):
        # Successful scans of both kinds, and the failures whose exceptions
        # carry engine strings out through the binding.
        kind = number % 4
        if kind == 0:
            assert len(classifier.scan_directory(tree, {"mypkg"}, 4)) == 120
        elif kind == 1:
            assert len(classifier.scan_file(single_file, set()).errors) == 25
        elif kind == 2:
            with pytest.raises(RuntimeError):
                classifier.scan_directory(missing, set())
        else:
            with pytest.raises(RuntimeError):
                classifier.scan_file(tree, set())

    threads_before = native_threads()
    for number in range(WARM_UP_CALLS):
        call(number)
    gc.collect()
    warm = status("VmRSS") * 1024
    for number in range(WARM_UP_CALLS, CALLS):
        call(number)
    gc.collect()
    after = status("VmRSS") * 1024
    assert after - warm < RSS_BOUND, f"resident memory grew from {warm} to {after} bytes over {CALLS} calls"
    assert threads_left_over(threads_before) == []
    print(f"\nRSS after {WARM_UP_CALLS} calls: {warm / 2**20:.1f} MiB; after {CALLS}: {after / 2**20:.1f} MiB")
