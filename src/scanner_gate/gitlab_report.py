"""GitLab's code-quality report: one JSON list of issues, one per finding in
line order, each {"description", "check_name", "fingerprint", "severity",
"location": {"path", "lines": {"begin"}}}, written as files are judged.

check_name is the rule; the fingerprint is the finding's (a hash of the
file, rule and line number instead when its line could not be read back),
unique in the report, as GitLab keeps one issue per fingerprint; begin is
1 for a finding about the whole file; the description says what was found, in the language
chosen, without the file and line that location gives. A failing finding is "critical"
("blocker" for a hidden forbidden import and any rule as severe), any
other "minor", and one a baseline accepts "info", its description starting
with "known: ". The path is the file as scanned, escaped as in the text
report, so run it from the repository's root with relative paths. A
finding of a file a [[paths]] section judged ends its description with
"[section NAME]"; a file a section skipped is an "info" issue, check_name
"skipped".
"""

import hashlib
import json
import os
from collections.abc import Iterator
from typing import TextIO

from scanner_gate import json_stream
from scanner_gate.escape import escape
from scanner_gate.findings import Finding, line_order
from scanner_gate.rules import security_severity
from scanner_gate.run import Run
from scanner_gate.wording import said

BLOCKER = 9.0  # security severity from which a failing finding blocks


def severity(finding: Finding, known: bool) -> str:
    if known:
        return "info"
    if finding.kind.level != "error":
        return "minor"
    return "blocker" if security_severity(finding.kind) >= BLOCKER else "critical"


def fingerprint(finding: Finding, path: str) -> str:
    if finding.fingerprint is not None:
        return finding.fingerprint
    identity = json.dumps(["unread line", path, finding.kind.id, finding.module, finding.line])
    return hashlib.sha256(identity.encode("ascii")).hexdigest()


def issue(finding: Finding, path: str, known: bool, filepath: str = "", lang: str = "fr") -> dict[str, object]:
    return {
        "description": ("known: " if known else "") + escape(said(finding, filepath, lang)),
        "check_name": finding.kind.id,
        "fingerprint": fingerprint(finding, path),
        "severity": severity(finding, known),
        "location": {"path": path, "lines": {"begin": finding.line or 1}},
        **({"categories": finding.context.split(",")} if finding.context is not None else {}),
    }


def _issues(run: Run) -> Iterator[dict[str, object]]:
    """Each finding's issue, file by file as the run judges them."""
    for report in run.reports:
        path = escape(os.path.normpath(report.filepath))
        if report.skipped:
            identity = json.dumps(["skipped", path]).encode("ascii")
            yield {"description": f"skipped by the section {escape(report.section or '')}", "check_name": "skipped",
                   "fingerprint": hashlib.sha256(identity).hexdigest(), "severity": "info",
                   "location": {"path": path, "lines": {"begin": 1}}}
            continue
        labelled = [(finding, False) for finding in report.findings] + [(finding, True) for finding in report.known]
        for finding, known in sorted(labelled, key=lambda pair: line_order(pair[0])):
            made = issue(finding, path, known, report.filepath, run.lang)
            if report.section is not None:
                made["description"] = f"{made['description']} [section {escape(report.section)}]"
            yield made


def write(run: Run, out: TextIO) -> None:
    json_stream.write_list(_issues(run), 0, out)
    out.write("\n")
