"""The text report, for people: each file with its verdict and messages,
then the summary. File names, module names and messages are escaped
(scanner_gate.escape), so that nothing a plugin names reaches the terminal
raw: a name cannot move the cursor, erase a line or start a new one."""

from typing import TextIO

from scanner_gate.escape import escape
from scanner_gate.findings import plural
from scanner_gate.run import Run

MAX_PATHS_NAMED = 5


def write(run: Run, out: TextIO) -> None:
    # A hook runner may pass thousands of files: each has its own line below.
    shown = run.paths if len(run.paths) <= MAX_PATHS_NAMED else run.paths[: MAX_PATHS_NAMED - 1]
    paths = ", ".join(escape(path) for path in shown)
    if len(shown) < len(run.paths):
        paths += f" and {len(run.paths) - len(shown)} more paths"
    local = ", ".join(escape(name) for name in sorted(run.policy.local_modules)) or "none"
    audit = "" if run.audited else " (line scan only: --no-audit)"
    forbidden = ", ".join(escape(name) for name in sorted(run.policy.forbidden)) or "none"
    deny = "; every warning fails its file" if run.policy.fail_on == "warning" else ""
    out.write(
        f"Scanning {paths} with the policy {escape(run.policy.source)}{audit}; forbidden: {forbidden}; "
        f"local modules: {local}{deny}\n\n"
    )
    for report in run.reports:
        counts = f"{plural(len(report.errors), 'error')}, {plural(len(report.warnings), 'warning')}"
        verdict = "ok  " if report.passed else "FAIL"
        out.write(f"{verdict}  {escape(report.filepath)}  ({counts})\n")
        for finding in report.in_report_order():
            out.write(f"      {finding.kind.level:8} {escape(finding.message)}\n")
    out.write(f"\n{run.summary.line()}\n")
