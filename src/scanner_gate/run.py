"""What every report format is given: the reports of one run and its context."""

import dataclasses

from scanner_gate.findings import FileReport, Summary
from scanner_gate.policy import Policy


@dataclasses.dataclass(frozen=True)
class Run:
    paths: tuple[str, ...]  # as given on the command line
    policy: Policy
    audited: bool
    reports: list[FileReport]  # those to report: with --quiet, the files that failed
    summary: Summary  # of every file scanned
    quiet: bool = False  # --quiet: the files that failed and the summary, nothing else
    baseline: str | None = None  # the baseline file given, as named
