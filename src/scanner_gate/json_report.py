"""The JSON report, for machines: {"policy": {...}, "files": [...],
"summary": {...}}, the policy being {"source", "forbidden", "fail_on"}.

Each file is {"filepath", "passed", "errors", "warnings", "findings"},
errors and warnings being the messages, and each finding {"rule", "level",
"line", "module", "message", "fingerprint"} in line order (line and module
null where there is none; the fingerprint null when the line could not be
read back). With a baseline, each file also has "known", the findings the
baseline accepts, and the summary their count. Every string a plugin chose
is escaped as in the text report, so the document is valid, strict JSON for
any file name (a name that is not UTF-8 included), and printing a field
cannot drive a terminal.
"""

import json
from typing import TextIO

from scanner_gate.escape import escape
from scanner_gate.findings import FileReport, Finding
from scanner_gate.policy import Policy
from scanner_gate.run import Run


def finding_object(finding: Finding) -> dict[str, object]:
    return {
        "rule": finding.kind.id,
        "level": finding.kind.level,
        "line": finding.line,
        "module": None if finding.module is None else escape(finding.module),
        "message": escape(finding.message),
        "fingerprint": finding.fingerprint,
    }


def file_object(report: FileReport, baseline: bool) -> dict[str, object]:
    findings = report.in_report_order()
    document: dict[str, object] = {
        "filepath": escape(report.filepath),
        "passed": report.passed,
        "errors": [escape(finding.message) for finding in findings if finding.kind.level == "error"],
        "warnings": [escape(finding.message) for finding in findings if finding.kind.level == "warning"],
        "findings": [finding_object(finding) for finding in findings],
    }
    if baseline:
        document["known"] = [finding_object(finding) for finding in report.known]
    return document


def policy_object(policy: Policy) -> dict[str, object]:
    """Which policy judged the run: where it was read, what it forbids, what fails a file."""
    return {
        "source": escape(policy.source),
        "forbidden": [escape(name) for name in sorted(policy.forbidden)],
        "fail_on": policy.fail_on,
    }


def write(run: Run, out: TextIO) -> None:
    summary = run.summary
    totals = {
        "scanned": summary.scanned,
        "passed": summary.passed,
        "failed": summary.failed,
        "errors": summary.errors,
        "warnings": summary.warnings,
    }
    if summary.known is not None:
        totals["known"] = summary.known
    document = {
        "policy": policy_object(run.policy),
        "files": [file_object(report, run.baseline is not None) for report in run.reports],
        "summary": totals,
    }
    out.write(json.dumps(document, indent=2) + "\n")
