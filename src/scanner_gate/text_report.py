"""The text report, for people: each file with its verdict and findings in
line order, each with its level and rule, then the summary. With --quiet,
only the files that failed and the summary. File names, module names and
messages are escaped (scanner_gate.escape), so that nothing a plugin names
reaches the terminal raw: a name cannot move the cursor, erase a line or
start a new one. A finding a baseline accepts is written with `known` in
place of its level."""

import scanner_audit

from scanner_gate.byte_sink import Sink
from scanner_gate.escape import escape, shown
from scanner_gate.findings import FileReport, line_order, plural
from scanner_gate.run import Run

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import TextIO

MAX_PATHS_NAMED = 5


def _header(run: Run) -> str:
    # A hook runner may pass thousands of files: each has its own line below.
    shown = run.paths if len(run.paths) <= MAX_PATHS_NAMED else run.paths[: MAX_PATHS_NAMED - 1]
    paths = ", ".join(escape(path) for path in shown)
    if len(shown) < len(run.paths):
        paths += f" and {len(run.paths) - len(shown)} more paths"
    local = ", ".join(escape(name) for name in sorted(run.policy.local_modules)) or "none"
    audit = "" if run.audited else " (line scan only: --no-audit)"
    forbidden = ", ".join(escape(name) for name in sorted(run.policy.forbidden)) or "none"
    deny = "; every warning fails its file" if run.policy.fail_on == "warning" else ""
    return (
        f"Scanning {paths} with the policy {escape(run.policy.source)}{audit}; forbidden: {forbidden}; "
        f"local modules: {local}{deny}\n\n"
    )


def file_text(report: FileReport) -> str:
    """The file's part of the report, made here (the engine's text_block
    writes the same for a report of its own)."""
    errors, warnings = report.counts()
    counts = f"{plural(errors, 'error')}, {plural(warnings, 'warning')}"
    if report.known:
        counts += f", {len(report.known)} known"
    verdict = "ok  " if report.passed else "FAIL"
    lines = [f"{verdict}  {escape(report.filepath)}  ({counts})\n"]
    labelled = [(finding, finding.kind.level) for finding in report.findings]
    labelled += [(finding, "known") for finding in report.known]
    for finding, label in sorted(labelled, key=lambda pair: line_order(pair[0])):
        lines.append(f"      {label:8} [{finding.kind.id}] {shown(escape(finding.message))}\n")
    return "".join(lines)


# Files whose parts the engine writes in one call, as for the JSON report.
BATCH = 256


def write(run: Run, out: "TextIO") -> None:
    sink = Sink(out)
    if not run.quiet:
        sink.text(_header(run))
    fail_on_warning = run.policy.fail_on == "warning"
    waiting: list[scanner_audit.Report] = []  # the engine's files, to be written together
    for report in run.reports:
        if report.ready_made and report.native is not None:
            waiting.append(report.native)
            if len(waiting) == BATCH:
                scanner_audit.write_text_blocks(waiting, fail_on_warning, sink.utf8)
                waiting.clear()
            continue
        if waiting:
            scanner_audit.write_text_blocks(waiting, fail_on_warning, sink.utf8)
            waiting.clear()
        sink.text(file_text(report))
    if waiting:
        scanner_audit.write_text_blocks(waiting, fail_on_warning, sink.utf8)
    sink.text(("" if run.quiet else "\n") + f"{run.summary.line()}\n")
    sink.flush()
