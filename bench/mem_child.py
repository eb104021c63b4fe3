"""One Python contender's scan in a process of its own, so that the
process's peak resident memory, which bench/peak_rss reads when it ends, is
that scan's.

Every kind runs the same script with the same imports (scanner_core, the
checkers, ctypes) and builds the same classifier; `baseline` then stops, so
that its peak is the interpreter with the module imported and nothing
scanned, and the others' peaks above it are what their scan costs.

Usage: mem_child.py KIND DIR THREADS MODULE_DIR
       KIND: baseline | module | full | python-re | python-ast
Prints one JSON line: files, and for `module` the bytes its results hold.
"""

from __future__ import annotations

import ctypes
import gc
import json
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent


class _Mallinfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
                 "keepcost")]


def _heap_query():
    try:
        query = ctypes.CDLL(None).mallinfo2
    except (OSError, AttributeError):
        return None
    query.restype = _Mallinfo2
    return query


_MALLINFO2 = _heap_query()


def heap_in_use() -> int | None:
    """Bytes the C allocator has handed out and not had back (all arenas,
    mapped chunks included): what the engine's records occupy, without the
    memory the allocator keeps for reuse."""
    if _MALLINFO2 is None:
        return None
    info = _MALLINFO2()
    return info.uordblks + info.hblkhd


def main() -> int:
    kind, directory, threads, module_dir = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4]
    sys.path[:0] = [module_dir, str(HERE)]
    import py_checkers
    import scanner_core

    policy = py_checkers.read_policy(str(HERE / "policy.txt"))
    classifier = scanner_core.ImportClassifier(
        set(policy.forbidden), set(policy.allowed_exact), list(policy.allowed_prefixes)
    )
    local = set(policy.local)
    report: dict = {"kind": kind}
    if kind == "module":
        gc.collect()
        before = heap_in_use()
        results = classifier.scan_directory(directory, local, threads)
        gc.collect()
        after = heap_in_use()
        report["files"] = len(results)
        if before is not None and after is not None:
            # The records' C++ contents live on the C heap; their Python
            # wrappers are small objects of the interpreter's own allocator.
            wrappers = sys.getsizeof([]) + sum(sys.getsizeof(r) for r in results)
            report["results_bytes"] = after - before + wrappers
    elif kind == "full":
        import scanner_audit

        auditor = scanner_audit.Scanner(
            set(policy.forbidden), set(policy.allowed_exact), list(policy.allowed_prefixes)
        )
        report["files"] = len(auditor.scan_directory(directory, local, threads, audit=True))
    elif kind == "python-re":
        report["files"] = len(py_checkers.ReChecker(policy, threads).run(directory))
    elif kind == "python-ast":
        checker = py_checkers.AstChecker(policy, threads)
        try:
            report["files"] = checker.run(directory)[0]
        finally:
            checker.close()  # joins the workers, so that their peaks count in this process's
    elif kind != "baseline":
        print(f"mem_child.py: unknown kind {kind!r}", file=sys.stderr)
        return 2
    print(json.dumps(report))
    return 0


if __name__ == "__main__":
    sys.exit(main())
