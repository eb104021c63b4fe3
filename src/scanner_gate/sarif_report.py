"""The SARIF 2.1.0 log, for code-scanning tools: one run, one result per
finding, one rule per kind of finding.

Each result locates its file by a URI: relative to the current directory
(uriBaseId SRCROOT, which originalUriBaseIds gives as a file: URI) for a file
below it, else an absolute file: URI. Every byte of the name but letters,
digits and '/-._~' is percent-encoded, so a URI names a file exactly,
whatever its bytes. Messages are escaped as in the text report. The run's
property bag names the policy applied, as the JSON report does.
"""

import json
import os
import pathlib
import urllib.parse
from typing import TextIO

from scanner_gate import installed_version, json_report
from scanner_gate.escape import escape
from scanner_gate.findings import KINDS, Finding
from scanner_gate.run import Run

SCHEMA = "https://docs.oasis-open.org/sarif/sarif/v2.1.0/errata01/os/schemas/sarif-schema-2.1.0.json"
BASE = "SRCROOT"  # the current directory, which relative artifact URIs start from
TOOL = "scanner-core"


def version() -> str:
    return installed_version() or "unknown"


def _quote(path: str) -> str:
    return urllib.parse.quote(os.fsencode(path), safe="/")


def artifact_location(filepath: str) -> dict[str, str]:
    absolute = os.path.abspath(filepath)
    relative = os.path.relpath(absolute)
    if relative == os.pardir or relative.startswith(os.pardir + os.sep):
        return {"uri": "file://" + _quote(absolute)}
    return {"uri": _quote(pathlib.PurePath(relative).as_posix()), "uriBaseId": BASE}


def directory_uri(directory: str) -> str:
    return "file://" + _quote(os.path.join(os.path.abspath(directory), ""))


def result(finding: Finding, filepath: str) -> dict[str, object]:
    location: dict[str, object] = {"artifactLocation": artifact_location(filepath)}
    if finding.line is not None:
        location["region"] = {"startLine": finding.line}
    return {
        "ruleId": finding.kind.id,
        "ruleIndex": KINDS.index(finding.kind),
        "level": finding.kind.level,
        "message": {"text": escape(finding.message)},
        "locations": [{"physicalLocation": location}],
    }


def write(run: Run, out: TextIO) -> None:
    rules = [
        {"id": kind.id, "shortDescription": {"text": kind.description}, "defaultConfiguration": {"level": kind.level}}
        for kind in KINDS
    ]
    log_run = {
        "tool": {"driver": {"name": TOOL, "version": version(), "rules": rules}},
        "originalUriBaseIds": {BASE: {"uri": directory_uri(os.curdir)}},
        "properties": {"policy": json_report.policy_object(run.policy)},
        "results": [result(finding, report.filepath) for report in run.reports for finding in report.in_report_order()],
    }
    out.write(json.dumps({"$schema": SCHEMA, "version": "2.1.0", "runs": [log_run]}, indent=2) + "\n")
