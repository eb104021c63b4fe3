"""scanner-core --batch FILE: many runs in one process, each a job of its
own policy and paths, judged side by side on the machine's cores.

The batch is JSON lines, each a job {"id": ..., "paths": [...], "policy":
FILE} ("policy" optional: ./pyproject.toml's, as a run that names none),
read as they come (FILE '-': standard input). Each job's line is written
whole as soon as it is judged, in the order jobs finish: its id, then what
--format json writes for the same run (policy, trees, files, summary), on
one line. A job that cannot be used (a line that is no such object, a
policy or a path that cannot be used, an internal error) gets
{"id": ..., "error": "...", "line": N} (N its line in the batch; the id
null for a line with none), and the other jobs go on.

Exit status: 1 when any job failed (a file failed, or the job could not
be used), 0 when every file of every job passed, 2 only when the batch
itself cannot be read."""

import io
import json
import os
import queue
import re
import sys
import threading

from scanner_gate.escape import escape

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Iterator
    from typing import TextIO

# Jobs read ahead of those judged, per worker: enough to keep every worker
# busy, few enough that memory follows the jobs at work, not the batch.
AHEAD = 2


class BatchError(Exception):
    """The batch itself cannot be read; the message says why."""


class JobError(Exception):
    """A job that cannot be used; the message says why."""


def _jobs(stream: "TextIO") -> "Iterator[tuple[int, object, object]]":
    """Each job's line number, id and job (or the JobError that the line
    is), blank lines passed over."""
    number = 0
    while True:
        try:
            line = stream.readline()
        except (OSError, UnicodeDecodeError) as error:
            raise BatchError(f"cannot read the batch: {escape(str(error))}") from error
        if not line:
            return
        number += 1
        if not line.strip():
            continue
        try:
            job = json.loads(line)
        except (ValueError, RecursionError) as error:
            yield number, None, JobError(f"line {number} is not a JSON object: {escape(str(error))}")
            continue
        if not isinstance(job, dict):
            yield number, None, JobError(f"line {number} is not a JSON object")
            continue
        yield number, job.get("id"), job


def _paths_and_policy(job: "dict[str, object]", number: int) -> tuple[list[str], str | None]:
    unknown = sorted(set(job) - {"id", "paths", "policy"})
    if unknown:
        raise JobError(f"line {number}: unknown keys {', '.join(map(repr, unknown))} (expected id, paths, policy)")
    paths = job.get("paths")
    if not isinstance(paths, list) or not paths or not all(isinstance(path, str) and path for path in paths):
        raise JobError(f"line {number}: 'paths' must be a list of paths, not empty")
    policy_named = job.get("policy")
    if policy_named is not None and not isinstance(policy_named, str):
        raise JobError(f"line {number}: 'policy' must be a file's path")
    return paths, policy_named


def judged(job: "dict[str, object]", number: int, audit: bool, fail_on_warning: bool,
           lang: str | None) -> tuple[str, bool]:
    """The job's report, as --format json writes it for the same run (an
    object on one line, ASCII, without its opening brace), and whether it
    failed. Raises JobError when it cannot be used."""
    from scanner_gate import json_report, policy
    from scanner_gate.file_names import FileNames
    from scanner_gate.findings import Tally
    from scanner_gate.options import Options
    from scanner_gate.run import Run
    from scanner_gate.run_reports import counted, project_of, reviewed, trees_given
    from scanner_gate.scan import ScanError, scan

    paths, policy_named = _paths_and_policy(job, number)
    try:
        found = policy.load_file(policy_named) if policy_named is not None else policy.find(paths)
        if fail_on_warning:
            found = found.failing_on_warnings()
        # The jobs share the cores: each is judged on one thread.
        reports = scan(paths, found, Options(audit=audit, threads=1, fingerprints=True, streamed=False))
    except (policy.PolicyError, ScanError) as error:
        raise JobError(str(error)) from error
    language = lang or found.lang or "fr"
    names = FileNames(paths, project_of(policy_named))
    tally = Tally()
    shown = counted(reviewed(reports, names, {"json"}, None, language), tally, False)
    run = Run(tuple(paths), found, audit, shown, tally, lang=language, trees=trees_given(paths, names))
    written = io.TextIOWrapper(io.BytesIO(), encoding="utf-8", newline="\n")
    json_report.write(run, written)
    data = written.buffer.getvalue()
    # A line feed is never inside a JSON string, so that those of the
    # report and the indents after them are layout alone.
    if data.isascii():
        return _LAYOUT.sub(b"", data)[1:].decode("ascii"), tally.failed_any
    content = json.dumps(json.loads(data), ensure_ascii=True, separators=(",", ":"))
    return content[1:], tally.failed_any


_LAYOUT = re.compile(rb"\n *")


def _line(identity: object, content: "dict[str, object] | str") -> str:
    """The job's line: its id, then the report given (a report's members on
    one line, or an object)."""
    if isinstance(content, str):
        return f'{{"id":{json.dumps(identity, ensure_ascii=True)},{content}\n'
    return json.dumps({"id": identity, **content}, ensure_ascii=True, separators=(",", ":")) + "\n"


def run(source: str, threads: int, audit: bool, fail_on_warning: bool, lang: str | None, out: "TextIO") -> int:
    """Judges the batch read from `source` ('-': standard input), a line to
    `out` per job; the exit status. Raises BatchError when it cannot be read."""
    workers = threads or os.cpu_count() or 1
    try:
        stream = sys.stdin if source == "-" else open(source, encoding="utf-8")
    except OSError as error:
        raise BatchError(f"cannot read the batch {escape(source)}: {error.strerror}") from error
    writing = threading.Lock()
    room = threading.BoundedSemaphore(workers * AHEAD)
    failed = threading.Event()
    lost: list[BaseException] = []  # the output could not be written

    def work(number: int, identity: object, job: object) -> None:
        try:
            if isinstance(job, JobError):
                raise job
            assert isinstance(job, dict)
            content, failing = judged(job, number, audit, fail_on_warning, lang)
            line = _line(identity, content)
        except JobError as error:
            failing, line = True, _line(identity, {"error": str(error), "line": number})
        except MemoryError:
            failing, line = True, _line(identity, {"error": "out of memory", "line": number})
        except Exception as error:  # noqa: BLE001 - one job's fault is its line, the others go on
            failing = True
            line = _line(identity, {"error": f"internal error: {type(error).__name__}: {escape(str(error))}",
                                    "line": number})
        finally:
            room.release()
        if failing:
            failed.set()
        with writing:
            try:
                out.write(line)
                out.flush()
            except (OSError, ValueError) as error:
                lost.append(error)

    # Plain threads over a queue: the executor of concurrent.futures costs
    # more to import than a small job takes.
    waiting: "queue.SimpleQueue[tuple[int, object, object] | None]" = queue.SimpleQueue()

    def worker() -> None:
        while (taken := waiting.get()) is not None:
            work(*taken)

    pool = [threading.Thread(target=worker, name=f"batch-{index}", daemon=True) for index in range(workers)]
    for thread in pool:
        thread.start()
    try:
        for number, identity, job in _jobs(stream):
            room.acquire()
            if lost:
                break
            waiting.put((number, identity, job))
    finally:
        for _ in pool:
            waiting.put(None)
        for thread in pool:
            thread.join()
        if stream is not sys.stdin:
            stream.close()
    if lost:
        first = lost[0]
        if isinstance(first, BrokenPipeError):
            raise first
        raise OSError(getattr(first, "errno", 0), f"cannot write the batch's report: {first}")
    return 1 if failed.is_set() else 0
