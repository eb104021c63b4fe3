"""The scan that produces the findings: the paths given, walked or read
through the native module scanner_audit, which gives for each file the line
scan's findings and the audit's, in one pass. A file in a codec that only
Python decodes is decoded by Python's codec and read by the same native
audit (codec_audit).

A directory is walked by the gate's walk: links to directories are
followed, and every entry that Python could import but that is no source
(an extension module, a .pyc, a .pth, a dangling link, a FIFO) or that
cannot be walked (a loop, an unreadable directory) comes back as a report
of its own, with one finding naming it. An archive, found by the walk or
given (by its name, or by its first bytes for a file given), is read
member by member (archive_scan). A file that declares entry points (an
entry_points.txt of a distribution's metadata, a pyproject.toml), which the
walk names without reading, is read for them (entry_points).

A run that judges no file at all fails: each path given gets a finding
saying so.
"""

import os
import stat

import scanner_audit

from scanner_gate import archives, missing_local
from scanner_gate.escape import escape
from scanner_gate.findings import (
    NOTHING_JUDGED, UNREAD_ARCHIVE, UNREAD_ENTRY_POINTS, UNREADABLE, FileReport, Finding, audit_findings as native_findings,
    scan_findings,
)
from scanner_gate.options import Options
from scanner_gate.policy import Policy
from scanner_gate.tree_root import depth_below_root, depth_in_tree

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable, Iterator, Sequence
    from typing import NamedTuple

    from scanner_gate.sections import Judging
else:
    from scanner_gate.records import NamedTuple

class ScanError(Exception):
    """A path given cannot be scanned at all; the message says which and why."""


def audit_findings(result: scanner_audit.Report, scanned: list[Finding], policy: Policy,
                   scanner: scanner_audit.Scanner, depth: "Callable[[], int]",
                   local_imports: list[tuple[int, int | None, int, str, bool]] | None = None) -> list[Finding]:
    """The findings of the audit for one file, given its line scan's and
    how to find its depth below the root its relative imports may not
    climb above (looked up only for a file read again). `local_imports`:
    extended with those of a file read again."""
    if result.deferred_encoding is None:
        return native_findings(result)
    # A codec that only Python decodes: its native finding says just that,
    # and the file is read again through Python's decoder (imported only then).
    from scanner_gate import codec_audit

    return codec_audit.audit(result.filepath, scanned, scanner, policy.local_modules, result.deferred_encoding,
                             depth(), local_imports=local_imports)


def given_archive(path: str) -> str | None:
    """The format of a file given that is an archive, by its name, or by
    its first bytes for one not named as source: Python runs a zip given
    as a script whatever its name."""
    name = os.path.basename(path)
    by_name = archives.archive_format(name)
    if by_name is not None or name.endswith(".py"):
        return by_name
    try:
        descriptor = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
    except OSError:
        return None  # the scan says why
    try:
        if not stat.S_ISREG(os.fstat(descriptor).st_mode):
            return None
        return archives.sniffed_format(os.read(descriptor, 4096))
    except OSError:
        return None
    finally:
        os.close(descriptor)


def _native_results(scanner: scanner_audit.Scanner, path: str, is_directory: bool, policy: Policy,
                    options: Options) -> list[scanner_audit.Report]:
    """What the native scan says of one path given: a directory is walked by
    the gate's walk, a file is judged by its name, then scanned as named."""
    if not is_directory:
        judged = scanner.judge_by_name(path)
        if judged is not None:
            return [judged]
        return [scanner.scan_file(path, policy.local_modules, audit=options.audit, depth=depth_below_root(path),
                                  digests=options.fingerprints)]
    try:
        package, standard = _tree_lookup(path, options)
        return scanner.scan_tree(path, policy.local_modules, num_threads=options.threads, audit=options.audit,
                                 digests=options.fingerprints, local_package=package, standard_names=standard)
    except (RuntimeError, OSError) as error:  # a directory far down moved during the walk; no threads
        raise ScanError(f"cannot scan {escape(path)}: {escape(str(error))}") from error


def _tree_lookup(path: str, options: Options) -> tuple[list[str] | None, "frozenset[str]"]:
    """The engine looks up an audited tree's local imports as it reads
    each file (missing_local.tree_lookup); nothing to look up otherwise."""
    return missing_local.tree_lookup(path) if options.audit else (None, frozenset())


def _not_a_file(path: str) -> list[Finding]:
    """The finding of a path that names a FIFO, a device or a socket: reading
    it could wait forever and it holds no plugin source, so it fails as a
    file that cannot be opened."""
    return [Finding(UNREADABLE, None, None, f"{path}: {UNREADABLE.text}")]


def _kinds(paths: "Sequence[str]") -> list[tuple[str, os.stat_result]]:
    """Each path with its status, following links; every path must exist."""
    kinds = []
    for path in paths:
        try:
            kinds.append((path, os.stat(path)))
        except OSError as error:
            raise ScanError(f"cannot scan {escape(path)}: {error.strerror}") from error
    return kinds


def _same_file(path: str, other: str, entry: bool) -> bool:
    """Whether two paths with the same identity name one file, as the system
    says (of the entries themselves, links not followed, for `entry`): a
    walk may take an identity from a directory listing, which some file
    systems number otherwise. In doubt, not: reported twice, never skipped."""
    try:
        if entry:
            mine, theirs = os.lstat(path), os.lstat(other)
            return (mine.st_dev, mine.st_ino) == (theirs.st_dev, theirs.st_ino)
        return os.path.samefile(path, other)
    except OSError:
        return False


class _Found(NamedTuple):
    """A file to report, as the walk found it: the native record and the path given above it."""

    filepath: str
    result: scanner_audit.Report | None  # None for a path that names no file nor directory
    given: str  # the path given on the command line
    tree: bool  # whether `given` is a directory walked
    entry: bool  # whether the walk reports the entry itself (a link, a .pyc), not a source read
    deferred: str | None = None  # the codec that only Python decodes the file with, if any
    counts: tuple[int, int] | None = None  # the engine's errors and warnings
    archive: str | None = None  # an archive to read: its format (archives.ZIP, archives.TAR)
    entry_points: bool = False  # a file of entry points to read


def _archive_of(result: scanner_audit.Report, entry: bool) -> str | None:
    """The format of the archive a walk's record names, for the record of
    an archive it found; None for any other."""
    if not entry:
        return None
    rows = result.finding_tuples
    if not rows or rows[0][0] != UNREAD_ARCHIVE.id:
        return None
    return archives.archive_format(os.path.basename(result.filepath)) or archives.ZIP


def _entry_points_of(result: scanner_audit.Report, entry: bool) -> bool:
    """Whether a walk's record names a file of entry points, left unread."""
    if not entry:
        return False
    rows = result.finding_tuples
    return bool(rows) and rows[0][0] == UNREAD_ENTRY_POINTS.id


def scan(paths: "Sequence[str]", policy: Policy, options: Options) -> "Iterator[FileReport]":
    """One report per file found below or at the paths, in file path order,
    each made as it is read; a file reached twice (named twice, named and
    found in a tree, found through a link or a hard link) is reported once,
    by device and inode, as first found. Raises ScanError, before anything
    is reported, when a path does not exist, and when a tree cannot be
    walked at all: every path is walked before the first report. A tree
    given alone (with options.streamed) is read while its first files are
    reported; several paths are read whole first."""
    scanner = policy.scanner()
    kinds = _kinds(paths)
    if len(kinds) == 1 and stat.S_ISDIR(kinds[0][1].st_mode):
        # One tree: its walk reports each file once already (by device and
        # inode, confirmed), so only the order is left to make, from the
        # walk's paths. The files are then read in that order on the scan's
        # threads while the first ones are reported.
        path = kinds[0][0]
        if options.streamed:
            return _reports(_streamed(scanner, path, policy, options), scanner, policy, options, [path])
        one_tree = []
        for result in _native_results(scanner, path, True, policy, options):
            filepath, entry, deferred, counts = result.brief  # one call where four would do
            one_tree.append(_Found(filepath, result, path, True, entry, deferred, counts, _archive_of(result, entry),
                                   _entry_points_of(result, entry)))
        one_tree.sort(key=lambda file: file.filepath, reverse=True)
        return _reports(_popped(one_tree), scanner, policy, options, [path])
    found: dict[str, _Found] = {}
    seen: dict[tuple[bool, int, int], str] = {}  # identity: the path reported
    for path, status in kinds:
        mode = status.st_mode
        if not (stat.S_ISDIR(mode) or stat.S_ISREG(mode)):
            found.setdefault(path, _Found(path, None, path, False, False))
            continue
        tree = stat.S_ISDIR(mode)
        archive = None if tree else given_archive(path)
        if archive is not None:
            if path not in found and (True, status.st_dev, status.st_ino) not in seen:
                seen[(True, status.st_dev, status.st_ino)] = path
                found[path] = _Found(path, None, path, False, True, archive=archive)
            continue
        for result in _native_results(scanner, path, tree, policy, options):
            # An entry the walk reports (a link itself, a .pyc) is told
            # apart from a source read, which may be the same inode.
            filepath, entry, deferred, counts = result.brief
            inode = result.identity if tree else (status.st_dev, status.st_ino)
            identity = None if inode is None else (entry, *inode)
            if filepath in found:
                continue  # a file given twice
            if identity in seen and _same_file(filepath, seen[identity], entry):
                continue  # given and also found in a tree given, or found in two trees
            if identity is not None:
                seen.setdefault(identity, filepath)
            found[filepath] = _Found(filepath, result, path, tree, entry, deferred, counts,
                                     _archive_of(result, entry), _entry_points_of(result, entry))
    # The walk returns files in directory-listing order, which differs from
    # one file system to another; sorted, the report reads the same anywhere.
    ordered = sorted(found.values(), key=lambda file: file.filepath, reverse=True)
    del found
    return _reports(_popped(ordered), scanner, policy, options, paths)


def _popped(ordered: list[_Found]) -> "Iterator[_Found]":
    """The files `ordered` (in reverse), each let go once taken."""
    while ordered:
        yield ordered.pop()


def _streamed(scanner: scanner_audit.Scanner, path: str, policy: Policy, options: Options) -> "Iterator[_Found]":
    """The files of the tree `path`, in file path order, each as soon as
    the scan's threads have read it. Raises ScanError, before anything is
    read, when the tree cannot be walked or no thread can be started."""
    try:
        walk = scanner_audit.walk_tree(path)
        paths = walk.paths
        # In the order of a sort in reverse taken from its end, as the files of several paths are.
        order = sorted(range(len(paths)), key=paths.__getitem__, reverse=True)[::-1]
        package, standard = _tree_lookup(path, options)
        stream = scanner.stream_tree(walk, order, policy.local_modules, num_threads=options.threads,
                                     audit=options.audit, digests=options.fingerprints, local_package=package,
                                     standard_names=standard)
    except (RuntimeError, OSError) as error:  # a directory far down moved during the walk; no threads
        raise ScanError(f"cannot scan {escape(path)}: {escape(str(error))}") from error
    count = len(order)
    del walk, paths, order

    def files() -> "Iterator[_Found]":
        for position in range(count):
            result = stream.take(position)
            filepath, entry, deferred, counts = result.brief  # one call where four would do
            yield _Found(filepath, result, path, True, entry, deferred, counts, _archive_of(result, entry),
                         _entry_points_of(result, entry))

    return files()


def _reports(ordered: "Iterator[_Found]", scanner: scanner_audit.Scanner, policy: Policy,
             options: Options, paths: "Sequence[str]") -> "Iterator[FileReport]":
    """The reports of the files `ordered`, each native record freed once
    its findings are made; an archive's are made as it is read.
    When no file was judged, one report per path given says so (but for
    a path whose own report says it was not read)."""
    fail_on_warning = policy.fail_on == "warning"
    judged = False
    refused: set[str] = set()  # paths given whose own report says they were not read
    judging = None
    if policy.sections:
        from scanner_gate.sections import Judging  # imported by the policies that have [[paths]]

        judging = Judging(policy, options)
    made = _made(ordered, scanner, policy, options, judging)
    if judging is not None and any(section.skip for section in policy.sections):
        # Whether a skip is honoured depends on every file judged.
        made = iter(judging.settled(made))
    for report in made:
        if report.unread:
            refused.add(report.filepath)
        elif not report.skipped:
            judged = True
        yield report
    if not judged:
        for path in paths:
            if path in refused:
                continue
            text = f"{path}: {NOTHING_JUDGED.text}"
            yield FileReport(path, [Finding(NOTHING_JUDGED, None, None, text)], fail_on_warning, unread=True)


def _made(ordered: "Iterator[_Found]", scanner: scanner_audit.Scanner, policy: Policy, options: Options,
          judging: "Judging | None") -> "Iterator[FileReport]":
    lookup = missing_local.Lookup()  # the run's: each directory listed once

    def make(file: _Found, scanner: scanner_audit.Scanner, policy: Policy,
             judge: "Callable[[str], tuple[scanner_audit.Scanner, Policy]] | None") -> "Iterator[FileReport]":
        return _file_reports(file, scanner, policy, options, judge, lookup)

    for file in ordered:
        if judging is not None:
            yield from judging.made(file, scanner, make, rescanned)
        else:
            yield from _file_reports(file, scanner, policy, options, None, lookup)


def _missing_local(file: _Found, rows: "Sequence[tuple[int, int | None, int, str, bool]]",
                   lookup: "missing_local.Lookup | None") -> list[Finding]:
    """The findings of the file's local imports (`rows`) that no file
    provides: the tree given is the tree, and a file given alone lies in
    its package's."""
    if lookup is None or not rows:
        return []
    root = file.given if file.tree else lookup.package_root(file.filepath)
    return lookup.findings(file.filepath, root, rows)


def _file_reports(file: _Found, scanner: scanner_audit.Scanner, policy: Policy, options: Options,
                  judge: "Callable[[str], tuple[scanner_audit.Scanner, Policy]] | None" = None,
                  lookup: "missing_local.Lookup | None" = None) -> "Iterator[FileReport]":
    """The reports of one file found: one, or an archive's and its members'.
    `judge`: the scanner and policy of each member of an archive, by its
    path, where the policy's sections choose them."""
    fail_on_warning = policy.fail_on == "warning"
    result = file.result
    if file.archive is not None:
        from scanner_gate import archive_scan  # imported by the runs that meet an archive

        yield from archive_scan.read(file.filepath, scanner, policy, options, file.archive, judge)
        return
    if result is None:
        yield FileReport(file.filepath, _not_a_file(file.filepath), fail_on_warning, unread=True)
        return
    if file.entry_points:
        from scanner_gate import entry_points  # imported by the runs that meet one

        made = entry_points.report(file.filepath, scanner, policy)
        if made is not None:
            yield made
        return
    missing = [] if file.entry or not options.audit else _missing_local(file, result.local_imports, lookup)
    if file.entry or not options.audit or (file.deferred is None and not missing):
        # The engine's findings as they are: made only if a format asks.
        yield FileReport(file.filepath, None, fail_on_warning, native=result, counts=file.counts)
        return
    if file.deferred is None:
        # Into the engine's record, whose counts, blocks and fingerprints then hold them.
        result.add_findings([(finding.kind.id, finding.line or 0, finding.column, finding.module or "",
                              finding.message) for finding in missing])
        yield FileReport(file.filepath, None, fail_on_warning, native=result)
        return
    findings = scan_findings(result)
    if not any(finding.kind is UNREADABLE for finding in findings):
        def depth(file: _Found = file) -> int:
            return depth_in_tree(file.given, file.filepath) if file.tree else depth_below_root(file.given)

        read_again: list[tuple[int, int | None, int, str, bool]] = []
        findings += audit_findings(result, findings, policy, scanner, depth, read_again)
        findings += _missing_local(file, read_again, lookup)
    yield FileReport(file.filepath, findings, fail_on_warning, allowed_used=result.allowed_used)


def rescanned(file: _Found, scanner: scanner_audit.Scanner, policy: Policy, options: Options) -> _Found:
    """The file found, scanned again by another policy's scanner (a section's)."""
    if file.result is None or file.entry or file.archive is not None:
        return file  # judged by its name or its kind, whatever the policy
    depth = depth_in_tree(file.given, file.filepath) if file.tree else depth_below_root(file.filepath)
    result = scanner.scan_file(file.filepath, policy.local_modules, audit=options.audit, depth=depth,
                               digests=options.fingerprints)
    filepath, entry, deferred, counts = result.brief
    return file._replace(result=result, entry=entry, deferred=deferred, counts=counts)
