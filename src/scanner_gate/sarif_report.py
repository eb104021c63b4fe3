"""The SARIF 2.1.0 log, for code-scanning tools: one run, one result per
finding in line order, one rule per kind of finding. The results are
written as files are judged, and the rules after them in the run.

Each rule has a title, a full description, help in text and Markdown (the
rule's page, in the language chosen), a helpUri where the documentation's
published address is configured (scanner_gate.rules.docs_url), and the
properties code-scanning services read: security-severity (a number from
0.0 to 10.0, as a string) and tags (scanner_gate.rules). Each result has a
region (startLine 1 for a finding about the whole file; startColumn where
the column is known, counted in characters as the run's columnKind says) and, under
partialFingerprints, its fingerprint (scanner_gate.fingerprint), so that a
re-upload after lines moved updates the same alerts. With a baseline, each
result has a baselineState, "new" or "unchanged", and the findings the
baseline accepts are suppressed (kind "external", status "accepted").

Each result locates its file by a URI: relative to the current directory
(uriBaseId SRCROOT, which originalUriBaseIds gives as a file: URI) for a file
below it, else an absolute file: URI. Every byte of the name but letters,
digits and '/-._~' is percent-encoded, so a URI names a file exactly,
whatever its bytes. A member of an archive is the archive's URI, then `!/`
and the member's path (percent-encoded alike, so a '!' of a name is
%21), as the text report names it; the run's artifacts list it as a
nested artifact, its parentIndex the archive's, and its artifactLocation
gives that index. A message says what was found, in the language chosen,
without the file and line that its location gives, escaped as in the text
report. The run's
property bag names the policy applied, as the JSON report does; under a
policy with [[paths]] sections, it lists the files a section skipped
({"file", "section"}), and each result of a file a section judged names
it in its own property bag.
"""

import json
import os
import pathlib
import urllib.parse
from collections.abc import Iterator
from typing import TextIO

from scanner_gate import __version__, json_report, json_stream
from scanner_gate.archives import SEPARATOR
from scanner_gate.escape import escape
from scanner_gate.findings import KINDS, Finding, Kind, line_order
from scanner_gate.rules import help_of
from scanner_gate.run import Run
from scanner_gate.wording import said

SCHEMA = "https://docs.oasis-open.org/sarif/sarif/v2.1.0/errata01/os/schemas/sarif-schema-2.1.0.json"
BASE = "SRCROOT"  # the current directory, which relative artifact URIs start from
TOOL = "scanner-core"
FINGERPRINT = "scannerCoreFinding/v1"


def version() -> str:
    return __version__


def _quote(path: str) -> str:
    return urllib.parse.quote(os.fsencode(path), safe="/")


def artifact_location(filepath: str, nested: int = 0) -> dict[str, str]:
    """Where a file is; for a member of `nested` archives, the archive's
    location with the member's path after '!/'."""
    if nested:
        disk, *members = filepath.rsplit(SEPARATOR, nested)
        location = artifact_location(disk)
        location["uri"] += "".join(SEPARATOR + _quote(member) for member in members)
        return location
    absolute = os.path.abspath(filepath)
    relative = os.path.relpath(absolute)
    if relative == os.pardir or relative.startswith(os.pardir + os.sep):
        return {"uri": "file://" + _quote(absolute)}
    return {"uri": _quote(pathlib.PurePath(relative).as_posix()), "uriBaseId": BASE}


class Artifacts:
    """The run's artifacts: each archive that holds a result's file, and
    each member, nested in its archive."""

    def __init__(self) -> None:
        self.listed: list[dict[str, object]] = []
        self._index: dict[str, int] = {}

    def index(self, filepath: str, nested: int) -> int:
        """The index of a member's artifact, its archives listed first."""
        disk, *members = filepath.rsplit(SEPARATOR, nested)
        key = disk
        parent = self._add(key, {"location": artifact_location(disk)})
        for member in members:
            key += SEPARATOR + member
            parent = self._add(key, {"location": {"uri": _quote(member)}, "parentIndex": parent})
        return parent

    def _add(self, key: str, artifact: dict[str, object]) -> int:
        if key not in self._index:
            self._index[key] = len(self.listed)
            self.listed.append(artifact)
        return self._index[key]


def directory_uri(directory: str) -> str:
    return "file://" + _quote(os.path.join(os.path.abspath(directory), ""))


def rule(kind: Kind, lang: str = "fr") -> dict[str, object]:
    help = help_of(kind, lang)
    made: dict[str, object] = {
        "id": kind.id,
        "shortDescription": {"text": help.title},
        "fullDescription": {"text": help.full_description},
        "help": {"text": help.text, "markdown": help.markdown},
    }
    if help.help_uri is not None:
        made["helpUri"] = help.help_uri
    made["defaultConfiguration"] = {"level": kind.level}
    made["properties"] = {"security-severity": f"{help.security_severity:.1f}", "tags": list(help.tags)}
    return made


def result(finding: Finding, filepath: str, rule_index: int, baseline: str | None, lang: str = "fr",
           nested: int = 0, artifacts: Artifacts | None = None, section: str | None = None) -> dict[str, object]:
    region: dict[str, int] = {"startLine": finding.line or 1}
    if finding.column is not None and finding.line is not None:
        region["startColumn"] = finding.column
    where: dict[str, object] = dict(artifact_location(filepath, nested))
    if nested and artifacts is not None:
        where["index"] = artifacts.index(filepath, nested)
    location = {"artifactLocation": where, "region": region}
    entry: dict[str, object] = {
        "ruleId": finding.kind.id,
        "ruleIndex": rule_index,
        "level": finding.kind.level,
        "message": {"text": escape(said(finding, filepath, lang))},
        "locations": [{"physicalLocation": location}],
    }
    if finding.fingerprint is not None:
        entry["partialFingerprints"] = {FINGERPRINT: finding.fingerprint}
    properties: dict[str, object] = {}
    if finding.context is not None:
        properties["tags"] = finding.context.split(",")
    if section is not None:
        properties["section"] = escape(section)
    if properties:
        entry["properties"] = properties
    if baseline is not None:
        entry["baselineState"] = baseline
        if baseline == "unchanged":
            entry["suppressions"] = [
                {"kind": "external", "status": "accepted", "justification": "in the baseline the reviewer gave"}]
    return entry


def _results(run: Run, kinds: list[Kind], index: dict[str, int], artifacts: Artifacts,
             skipped: list[dict[str, str]]) -> Iterator[dict[str, object]]:
    """Each finding's result, file by file as the run judges them; a kind
    that no table lists is added to `kinds` as it is first met, the
    archives and members met to `artifacts`, and the files a section
    skipped to `skipped`."""
    for report in run.reports:
        if report.skipped:
            skipped.append({"file": escape(report.filepath), "section": escape(report.section or "")})
            continue
        labelled = [(finding, "new") for finding in report.findings]
        labelled += [(finding, "unchanged") for finding in report.known]
        for finding, state in sorted(labelled, key=lambda pair: line_order(pair[0])):
            if finding.kind.id not in index:
                index[finding.kind.id] = len(kinds)
                kinds.append(finding.kind)
            state_or_none = state if run.baseline is not None else None
            made = result(finding, report.filepath, index[finding.kind.id], state_or_none, run.lang, report.nested,
                          artifacts, report.section)
            yield made


def _log(run: Run, kinds: list[Kind], artifacts: Artifacts | None = None,
         skipped: list[dict[str, str]] | None = None) -> dict[str, object]:
    """The log, its results standing in the run before the rules and artifacts they index."""
    log_run: dict[str, object] = {
        "results": json_stream.PLACEHOLDER,
        "tool": {"driver": {"name": TOOL, "version": version(), "rules": [rule(kind, run.lang) for kind in kinds]}},
        "originalUriBaseIds": {BASE: {"uri": directory_uri(os.curdir)}},
        # Columns count characters, as the engine counts them.
        "columnKind": "unicodeCodePoints",
        "properties": {"policy": json_report.policy_object(run.policy)},
    }
    if run.policy.sections:
        log_run["properties"] = {"policy": json_report.policy_object(run.policy), "skipped": skipped or []}
    if artifacts is not None and artifacts.listed:
        log_run["artifacts"] = artifacts.listed
    return {"$schema": SCHEMA, "version": "2.1.0", "runs": [log_run]}


def write(run: Run, out: TextIO) -> None:
    kinds = list(KINDS)
    index = {kind.id: position for position, kind in enumerate(kinds)}
    before, _ = json_stream.around(_log(run, []))
    out.write(before)
    artifacts = Artifacts()
    skipped: list[dict[str, str]] = []
    json_stream.write_list(_results(run, kinds, index, artifacts, skipped), 3, out)
    _, after = json_stream.around(_log(run, kinds, artifacts, skipped))
    out.write(after + "\n")
