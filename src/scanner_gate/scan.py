"""The scan that produces the findings: the paths given, walked or read
through the native module scanner_audit, which gives for each file the line
scan's findings and the audit's, in one pass. A file in a codec that only
Python decodes is audited by Python's own parser instead (ast_audit).
"""

import dataclasses
import os
import stat
from collections.abc import Sequence

import scanner_audit

from scanner_gate import ast_audit
from scanner_gate.escape import escape
from scanner_gate.findings import KIND_OF_RULE, UNREADABLE, FileReport, Finding, scan_findings
from scanner_gate.policy import Policy
from scanner_gate.tree_root import depth_below_root

class ScanError(Exception):
    """A path given cannot be scanned at all; the message says which and why."""


def native_finding(finding: scanner_audit.Finding) -> Finding:
    return Finding(KIND_OF_RULE[finding.rule], finding.line, finding.module, finding.message)


def audit_findings(result: scanner_audit.Report, scanned: list[Finding], policy: Policy,
                   scanner: scanner_audit.Scanner) -> list[Finding]:
    """The findings of the audit for one file, given its line scan's."""
    if result.deferred_encoding is None:
        return [native_finding(finding) for finding in result.findings]
    # A codec that only Python decodes: its native finding says just that,
    # and Python's parser reads the file instead.
    return ast_audit.audit(result.filepath, scanned, scanner, policy.local_modules, result.deferred_encoding)


@dataclasses.dataclass(frozen=True)
class Options:
    audit: bool = True
    threads: int = 0


def _native_results(scanner: scanner_audit.Scanner, path: str, is_directory: bool, policy: Policy,
                    options: Options) -> list[scanner_audit.Report]:
    """What the native scan says of one path given: a directory is walked as
    scan_directory walks it, a file is scanned as named."""
    if not is_directory:
        return [scanner.scan_file(path, policy.local_modules, audit=options.audit, depth=depth_below_root(path))]
    try:
        return scanner.scan_directory(path, policy.local_modules, num_threads=options.threads, audit=options.audit)
    except RuntimeError as error:  # a directory below it that cannot be read, a link loop
        raise ScanError(f"cannot scan {escape(path)}: {escape(str(error))}") from error


def _not_a_file(path: str) -> FileReport:
    """A path that names a FIFO, a device or a socket: reading it could wait
    forever and it holds no plugin source, so it fails as a file that cannot
    be opened."""
    return FileReport(path, [Finding(UNREADABLE, None, None, f"{path}: {UNREADABLE.text}")])


def _kinds(paths: Sequence[str]) -> list[tuple[str, int]]:
    """Each path with its mode, following links; every path must exist."""
    kinds = []
    for path in paths:
        try:
            kinds.append((path, os.stat(path).st_mode))
        except OSError as error:
            raise ScanError(f"cannot scan {escape(path)}: {error.strerror}") from error
    return kinds


def scan(paths: Sequence[str], policy: Policy, options: Options) -> list[FileReport]:
    """One report per file found below or at the paths, sorted by file path.
    Raises ScanError, before anything is scanned, when a path does not
    exist, and when a tree cannot be walked."""
    scanner = policy.scanner()
    reports: dict[str, FileReport] = {}
    for path, mode in _kinds(paths):
        if not (stat.S_ISDIR(mode) or stat.S_ISREG(mode)):
            reports.setdefault(path, _not_a_file(path))
            continue
        for result in _native_results(scanner, path, stat.S_ISDIR(mode), policy, options):
            if result.filepath in reports:
                continue  # a file given twice, or given and also found in a tree given
            findings = scan_findings(result)
            if options.audit and not any(finding.kind is UNREADABLE for finding in findings):
                findings += audit_findings(result, findings, policy, scanner)
            reports[result.filepath] = FileReport(result.filepath, findings)
    # The walk returns files in directory-listing order, which differs from
    # one file system to another; sorted, the report reads the same anywhere.
    return sorted(reports.values(), key=lambda report: report.filepath)
