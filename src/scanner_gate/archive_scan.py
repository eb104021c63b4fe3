"""The judgement of an archive as uploaded: a report for the archive itself,
whose findings say what makes it hostile or left it unread, then one for
each member the walk would judge in its extracted tree, in path order.

Nothing is extracted: each member's bytes go from the reader (zip_structure,
tar_stream) straight into the engine's full verdict a piece at a time, the
same verdict scan_file gives the same bytes at the same path, and are
checked on the way (size, CRC, RECORD hash). A zip nested in a zip and
stored is read where it lies; one deflated, or nested in a tar, is held in
memory up to HELD_BYTES in all; a tar nested anywhere is read as its
bytes come. Memory stays within a few pieces and those held bytes, whatever
the archive declares.

Any bound of the policy passed stops the reading of the whole archive
given, with an error: a bomb costs no more than the bound.
"""

import io
import itertools
import os
import stat
import threading

import scanner_audit

from scanner_gate import archives, tar_stream, wheel_record, zip_structure
from scanner_gate.findings import (
    ARCHIVE_BOUND, RECORD_MISMATCH, UNAUDITED, UNREADABLE, FileReport, Finding, archive_message, audit_findings,
    scan_findings,
)
from scanner_gate.options import Options
from scanner_gate.policy import Policy

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable, Iterator
    from typing import BinaryIO


# Bytes of nested archives held in memory at once, over every level.
HELD_BYTES = 32 << 20
# Why an archive was not read to its end when a bound stopped the reading
# of one it holds (a reason the rules' tables word in each language).
STOPPED_INSIDE = "borne d\u00e9pass\u00e9e dans une archive qu'elle contient"
# Bytes of a tar's source member kept in case Python's codecs must read it
# again: a longer one in such a codec fails unaudited.
MOST_KEPT = 8 << 20


class _Run:
    """What the reading of one archive given carries down its nesting."""

    def __init__(self, scanner: scanner_audit.Scanner, policy: Policy, options: Options,
                 judge: "Callable[[str], tuple[scanner_audit.Scanner, Policy]] | None" = None) -> None:
        self.scanner = scanner
        self.policy = policy
        # The scanner and policy of a member, by its path, where the
        # policy's [[paths]] sections choose them; None: the archive's for all.
        self.judge = judge
        self.options = options
        self.bounds = policy.bounds
        self.budget = zip_structure.Budget(policy.bounds)
        self.held_left = HELD_BYTES
        self.stopped = False  # a bound passed: nothing more is read
        self.fail_on_warning = policy.fail_on == "warning"
        self.reports: list[FileReport] = []  # appended to by the threads that read members
        self.lock = threading.Lock()  # over held_left
        # Readers of the archive given, one a thread, by position in the same
        # open file; None when it is read by one thread only.
        self.opener: "Callable[[], BinaryIO] | None" = None
        # Per archive read: the paths its members extract to, and the reports
        # of its sources that import local modules, with their paths; the
        # modules are looked up among the members once it is read (missing_local).
        self.members: dict[str, list[str]] = {}
        self.locals: dict[str, list[tuple[FileReport, str, scanner_audit.Report]]] = {}


def read(path: str, scanner: scanner_audit.Scanner, policy: Policy, options: Options,
         archive_format: str | None = None,
         judge: "Callable[[str], tuple[scanner_audit.Scanner, Policy]] | None" = None) -> list[FileReport]:
    """The reports of the archive at `path`: its own first, then its
    members' (and nested archives') in path order. `archive_format`: ZIP or
    TAR when known, else told from the file's first bytes. `judge`: the
    scanner and policy of each member, when sections of the policy choose."""
    run = _Run(scanner, policy, options, judge)
    try:
        descriptor = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
    except OSError as error:
        return [_unreadable(path, error, run)]
    try:
        raw: "BinaryIO" = io.BufferedReader(zip_structure.Positional(descriptor))
        try:
            status = os.fstat(descriptor)
            if not stat.S_ISREG(status.st_mode):
                raise OSError(0, "not a regular file")
            if archive_format is None:
                archive_format = archives.sniffed_format(raw.read(512)) or archives.ZIP
                raw.seek(0)
        except OSError as error:
            return [_unreadable(path, error, run)]
        run.opener = lambda: io.BufferedReader(zip_structure.Positional(descriptor))
        _read_archive(raw, status.st_size, path, archive_format, 1, run)
    finally:
        os.close(descriptor)
    _missing_local(run)
    own, members = run.reports[0], run.reports[1:]
    members.sort(key=lambda report: report.filepath)
    return [own, *members]


def _missing_local(run: _Run) -> None:
    """Adds to the reports of the sources of each archive read the local
    imports that none of its members provides."""
    from scanner_gate import missing_local

    made: dict[int, FileReport] = {}
    for name, sources in run.locals.items():
        lookup = missing_local.Lookup(run.members.get(name, ()))
        for report, installed, result in sources:
            missing = lookup.findings(report.filepath, "", result.local_imports, installed,
                                      archives.member_name(name, ""))
            if missing:
                findings = scan_findings(result) + audit_findings(result) + missing
                made[id(report)] = FileReport(report.filepath, findings, report.fail_on_warning, nested=report.nested,
                                              allowed_used=report.allowed_used)
    if made:
        run.reports = [made.get(id(report), report) for report in run.reports]


def _unreadable(path: str, error: OSError, run: _Run) -> FileReport:  # the archive given
    reason = f" ({error.strerror})" if error.strerror else ""
    return FileReport(path, [Finding(UNREADABLE, None, None, f"{path}: {UNREADABLE.text}{reason}")],
                      run.fail_on_warning, unread=True)


def _read_archive(raw: "BinaryIO", size: int, name: str, archive_format: str, level: int, run: _Run) -> None:
    """Reads one archive, nested at `level` (1: the one given), adding its
    report, then its members', to the run."""
    own = len(run.reports)
    run.reports.append(FileReport(name, [], run.fail_on_warning))  # made again below
    problems: list[zip_structure.Problem] = []
    finished = False
    try:
        if level > run.bounds.max_depth:
            raise zip_structure.Refused(ARCHIVE_BOUND, f"{name}: archive imbriqu\u00e9e au niveau {level}, plus "
                                        f"que max_depth ({run.bounds.max_depth})")
        if archive_format == archives.ZIP:
            finished = _read_zip(raw, size, name, level, run, problems)
        else:
            finished = _read_tar(raw, size, name, level, run, problems)
    except zip_structure.Refused as refusal:
        problems.append(refusal.problem)
        if refusal.problem.kind is ARCHIVE_BOUND:
            run.stopped = True
    if run.stopped and not any(problem.kind is ARCHIVE_BOUND for problem in problems):
        # Stopped by a bound passed in an archive it holds: it was not read to its end.
        problems.append(zip_structure.Problem(ARCHIVE_BOUND, f"{name}: {STOPPED_INSIDE}"))
    # Found by several threads: in one order whatever their timing.
    problems.sort(key=lambda problem: (problem.kind.id, problem.text))
    findings = [Finding(problem.kind, None, None, archive_message(problem.kind, name, _reason(problem, name)))
                for problem in problems]
    run.reports[own] = FileReport(name, findings, run.fail_on_warning, unread=not finished or run.stopped,
                                  nested=level - 1)


def _reason(problem: zip_structure.Problem, name: str) -> str:
    """What a problem of the archive `name` says, for its finding's
    reason: the text alone when it is about the archive itself, else the
    member it names first (`ARCHIVE!/MEMBER: ...`). The archive's own name
    is cut by its length, never searched for."""
    own = f"{name}: "
    return problem.text[len(own):] if problem.text.startswith(own) else problem.text


def _read_zip(raw: "BinaryIO", size: int, name: str, level: int, run: _Run,
              problems: list[zip_structure.Problem]) -> bool:
    """Reads a zip's members; False when its structure left them unread."""
    wheel = name.lower().endswith(".whl")
    layout = zip_structure.read_layout(raw, size, name, run.bounds, wheel)
    problems += layout.problems
    if layout.problems:
        return False  # which of its readings would be judged? None: it is refused
    run.budget.members += len(layout.entries)
    if run.budget.members > run.bounds.max_members:
        raise zip_structure.Refused(ARCHIVE_BOUND, f"{name}: plus de max_members ({run.bounds.max_members}) membres")
    record = _wheel_record(raw, name, layout.entries, run, problems) if wheel else None
    files = [entry for entry in layout.entries if not entry.is_dir]
    run.members[name] = [zip_structure.installed_path(archives.placed(entry.name)) if wheel
                         else archives.placed(entry.name) for entry in files]
    opener, run.opener = (run.opener, None) if level == 1 else (None, None)  # only the given archive's
    threads = min(len(files), run.options.threads or os.cpu_count() or 1)
    if opener is not None and threads > 1:
        _side_by_side(files, threads, opener, name, wheel, record, level, run, problems)
    else:
        for entry in files:
            if run.stopped:
                return False
            _zip_member(raw, entry, name, wheel, record, level, run, problems)
    if run.stopped:
        return False
    if record is not None:
        record.finish()
    return True


def _zip_member(raw: "BinaryIO", entry: zip_structure.Entry, name: str, wheel: bool,
                record: wheel_record.Record | None, level: int, run: _Run,
                problems: list[zip_structure.Problem]) -> None:
    """Reads and judges one member of a zip. Raises Refused for a bound passed."""
    where = archives.member_name(name, entry.name)
    try:
        zip_structure.check_declared(entry, where, run.bounds)
        pieces = zip_structure.member_pieces(raw, entry, where, run.budget)
        if record is not None:
            pieces = record.checked(entry.name, pieces)
        placed = archives.placed(entry.name)
        installed = zip_structure.installed_path(placed) if wheel else placed

        def reread() -> "Iterator[bytes]":
            return zip_structure.member_pieces(raw, entry, where, zip_structure.Budget(
                run.bounds._replace(max_total_bytes=entry.size)))

        stored = (raw, entry.data, entry.size) if entry.method == 0 else None
        _member(where, placed, installed, entry.size, pieces, reread, stored, wheel, level, run, name)
    except zip_structure.Refused as refusal:
        if refusal.problem.kind is ARCHIVE_BOUND:
            raise  # said once, by the archive's reading
        problems.append(refusal.problem)


def _side_by_side(files: list[zip_structure.Entry], threads: int, opener: "Callable[[], BinaryIO]", name: str,
                  wheel: bool, record: wheel_record.Record | None, level: int, run: _Run,
                  problems: list[zip_structure.Problem]) -> None:
    """Reads and judges the members on `threads` threads, each with a reader
    of its own: inflating, hashing and the engine's scan run without the
    interpreter lock. A bound passed stops them all and is raised here, as
    is anything else a thread raised."""
    queue = iter(files)
    taking = threading.Lock()
    raised: list[BaseException] = []

    def work() -> None:
        raw = opener()
        try:
            while not run.stopped and not raised:
                with taking:
                    entry = next(queue, None)
                if entry is None:
                    return
                _zip_member(raw, entry, name, wheel, record, level, run, problems)
        except BaseException as error:  # noqa: BLE001 - handed to the calling thread
            run.stopped = True
            raised.append(error)

    workers = [threading.Thread(target=work, name=f"scanner-core archive {k}") for k in range(threads)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    if raised:
        bounds = [error for error in raised if isinstance(error, zip_structure.Refused)]
        raise (bounds or raised)[0]


def _wheel_record(raw: "BinaryIO", name: str, entries: list[zip_structure.Entry], run: _Run,
                  problems: list[zip_structure.Problem]) -> wheel_record.Record | None:
    """The wheel's RECORD, read first; None when it has none or several
    (a finding), so that no member is checked against it."""
    found = wheel_record.record_name(entry.name for entry in entries)
    if len(found) != 1:
        text = "aucun fichier .dist-info/RECORD" if not found else f"plusieurs fichiers RECORD ({', '.join(found)})"
        problems.append(zip_structure.Problem(RECORD_MISMATCH, f"{name}: {text}"))
        return None
    entry = next(entry for entry in entries if entry.name == found[0])
    where = archives.member_name(name, entry.name)
    if entry.size > run.bounds.max_members * zip_structure.DIRECTORY_BYTES_PER_MEMBER:
        raise zip_structure.Refused(ARCHIVE_BOUND, f"{where}: RECORD de {entry.size} octets, plus que "
                                    f"{zip_structure.DIRECTORY_BYTES_PER_MEMBER} par membre permis")
    rows = b"".join(zip_structure.member_pieces(raw, entry, where, zip_structure.Budget(
        run.bounds._replace(max_total_bytes=entry.size))))
    return wheel_record.Record(name, rows, entry.name, problems)


def _read_tar(raw: "BinaryIO", size: int, name: str, level: int, run: _Run,
              problems: list[zip_structure.Problem]) -> bool:
    for member in tar_stream.members(raw, size, name, run.budget, problems):
        if run.stopped:
            return False
        where = archives.member_name(name, member.name)
        placed = archives.placed(member.name)
        run.members.setdefault(name, []).append(placed)
        try:
            _member(where, placed, placed, member.size, member.pieces, None, None, False, level, run, name)
        except zip_structure.Refused as refusal:
            if refusal.problem.kind is ARCHIVE_BOUND:
                raise  # said once, by the archive's reading
            problems.append(refusal.problem)
    return True


def _is_script(installed: str, wheel: bool) -> bool:
    """A file of a wheel's .data/scripts, which pip installs as a command."""
    parts = installed.split("/")
    return wheel and len(parts) > 2 and parts[0].endswith(".data") and parts[1] == "scripts"


def _member(where: str, placed: str, installed: str, size: int, pieces: "Iterator[bytes]",
            reread: "Callable[[], Iterator[bytes]] | None", stored: "tuple[BinaryIO, int, int] | None", wheel: bool,
            level: int, run: _Run, archive: str = "") -> None:
    """Judges one member (of `archive`) as the walk would judge a file at its path."""
    role = archives.role(placed)
    if role is None and _is_script(placed, wheel):
        # A script pip installs runs under Python when its shebang names it.
        first = next(pieces, b"")
        pieces = itertools.chain((first,), pieces)
        line = first.split(b"\n", 1)[0]
        if line.startswith(b"#!") and b"python" in line.lower():
            role = archives.SOURCE
    if role == archives.SOURCE:
        report = _judge_source(where, archives.depth(installed), pieces, reread, level, run)
        run.reports.append(report)
        if report.native is not None and report.native.local_imports:
            with run.lock:
                run.locals.setdefault(archive, []).append((report, installed, report.native))
    elif role == archives.ENTRY:
        tar_stream.read_all(pieces)
        judged = run.scanner.judge_by_name(where)
        assert judged is not None  # its name is the walk's
        fail_on_warning = run.fail_on_warning if run.judge is None else run.judge(where)[1].fail_on == "warning"
        run.reports.append(FileReport(where, None, fail_on_warning, native=judged, nested=level))
    elif role == archives.ARCHIVE:
        _nested(where, placed, size, pieces, stored, level, run)
    elif role == archives.ENTRY_POINTS:
        from scanner_gate import entry_points  # imported by the runs that meet one

        findings = entry_points.judged(where, placed, pieces, run.scanner, run.policy)
        tar_stream.read_all(pieces)  # to its end, for the archive's checks of it
        if findings is not None:
            run.reports.append(FileReport(where, findings, run.fail_on_warning, nested=level))
    else:
        tar_stream.read_all(pieces)


def _nested(where: str, placed: str, size: int, pieces: "Iterator[bytes]",
            stored: "tuple[BinaryIO, int, int] | None", level: int, run: _Run) -> None:
    """Reads an archive held in a member, then the member's last bytes, so
    that its own checks run too."""
    archive_format = archives.archive_format(placed.rpartition("/")[2])
    if level + 1 > run.bounds.max_depth:
        _read_archive(io.BytesIO(), 0, where, archive_format or archives.ZIP, level + 1, run)
        tar_stream.read_all(pieces)
        return
    if archive_format == archives.TAR:
        source = tar_stream.from_pieces(pieces)
        _read_archive(source, size, where, archives.TAR, level + 1, run)
        if not run.stopped:
            tar_stream.read_all(pieces)
        return
    if stored is not None:
        # Stored: read where it lies, once its bytes are checked.
        tar_stream.read_all(pieces)
        raw, start, length = stored
        _read_archive(io.BufferedReader(zip_structure.Window(raw, start, length)), length, where, archives.ZIP,
                      level + 1, run)
        return
    with run.lock:
        room = size <= run.held_left
        if room:
            run.held_left -= size
    if not room:
        raise zip_structure.Refused(ARCHIVE_BOUND, f"{where}: archive imbriqu\u00e9e compress\u00e9e de {size} "
                                    f"octets, plus que les {HELD_BYTES} que sa lecture peut garder en m\u00e9moire")
    try:
        held = b"".join(pieces)
        _read_archive(io.BytesIO(held), len(held), where, archives.ZIP, level + 1, run)
    finally:
        with run.lock:
            run.held_left += size


def _judge_source(where: str, depth: int, pieces: "Iterator[bytes]", reread: "Callable[[], Iterator[bytes]] | None",
                  level: int, run: _Run) -> FileReport:
    """The full verdict on a member that is Python source, as scan_file's
    on the same bytes at that path."""
    options = run.options
    scanner, policy = (run.scanner, run.policy) if run.judge is None else run.judge(where)
    fail_on_warning = policy.fail_on == "warning"
    scan = scanner.scan_member(where, policy.local_modules, audit=options.audit, depth=depth,
                               digests=options.fingerprints)
    # A member that only Python's codecs decode (the engine says so at its
    # end) is read again through them: a zip's from the archive, a tar's
    # from its bytes, kept up to MOST_KEPT as they pass.
    kept: list[bytes] | None = [] if reread is None and options.audit else None
    kept_bytes = 0
    too_long = False
    for piece in pieces:
        scan.feed(piece)
        if kept is not None:
            kept_bytes += len(piece)
            if kept_bytes > MOST_KEPT:
                kept = None
                too_long = True
            else:
                kept.append(piece)
    result = scan.finish()
    filepath, entry, deferred, counts = result.brief
    if deferred is None or not options.audit:
        return FileReport(filepath, None, fail_on_warning, native=result, counts=counts, nested=level)
    findings = scan_findings(result)
    if too_long:
        findings.append(Finding(UNAUDITED, None, None, f"{where}: membre d'une archive tar \u00e0 lire par Python "
                                f"({deferred}), trop long pour \u00eatre gard\u00e9 le temps de le relire"))
    elif not any(finding.kind is UNREADABLE for finding in findings):
        from scanner_gate import codec_audit

        source = reread() if reread is not None else iter(kept or ())
        try:
            findings += codec_audit.audit(where, findings, scanner, policy.local_modules, deferred, depth,
                                          pieces=source)
        except zip_structure.Refused as refusal:
            findings.append(Finding(UNAUDITED, None, None, f"{where}: fichier illisible pour l'audit "
                                    f"({_reason(refusal.problem, where)})"))
    return FileReport(filepath, findings, fail_on_warning, nested=level, allowed_used=result.allowed_used)
