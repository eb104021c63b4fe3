"""The JSON report, for machines: {"policy": {...}, "trees": [...],
"files": [...], "summary": {...}}, the policy being {"source",
"forbidden", "fail_on"}, and the trees the directories given that a
project holds, named as the fingerprints name them (relative to the
project: '.' for the project itself), for a baseline made of the report.

Each file is {"filepath", "passed", "errors", "warnings", "findings"},
errors and warnings being the messages, and each finding {"rule", "level",
"line", "column", "module", "message", "fingerprint"} in line order, then
column (line, column and module null where there is none: the column, in
characters from 1, is known for every import and call found; the
fingerprint null when the line could not be read back). With a baseline, each file also has "known", the findings the
baseline accepts, and the summary their count. A file a [[paths]] section
judged or skipped names it ("section"); a skipped one has "skipped": true
and no findings, one whose skip was refused "skip_refused", why; the
summary of a policy with sections counts the files skipped. Every string a plugin chose
is escaped as in the text report, so the document is valid, strict JSON for
any file name (a name that is not UTF-8 included), and printing a field
cannot drive a terminal.
"""

import scanner_audit

from scanner_gate import holdings
from scanner_gate.byte_sink import Sink
from scanner_gate.escape import escape
from scanner_gate.findings import FileReport, Finding
from scanner_gate.policy import Policy
from scanner_gate.run import Run
from scanner_gate.wording import message

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Mapping
    from typing import TextIO

# Written as json.dumps(document, indent=2) writes it, byte for byte, but a
# file at a time as the reports come. The engine writes the objects of the
# files whose findings it made (scanner_audit.write_json_blocks); the rest
# are written here, without the pure-Python encoder that indent= costs:
# each string goes through json's own C encoder, taken without importing
# json (whose decoder imports re, which costs more than a small run).
try:
    from _json import encode_basestring_ascii as _string
except ImportError:  # an interpreter without json's accelerator
    from json.encoder import encode_basestring_ascii as _string


def _list(items: list[str], pad: str, parts: list[str]) -> None:
    """Appends a list of values already written at `pad` + two spaces."""
    if not items:
        parts.append("[]")
        return
    parts.append("[\n")
    for index, item in enumerate(items):
        if index:
            parts.append(",\n")
        parts.append(item)
    parts.append(f"\n{pad}]")


def _finding(finding: Finding, pad: str, message: str | None = None) -> str:
    """A finding at `pad`; `message`: its message already written, when it is."""
    inner = pad + "  "
    kind, line, module, text, fingerprint, column, context = finding
    if message is None:
        message = _string(escape(text))
    if context is None:
        where = "null"
    else:
        where = "[\n" + ",\n".join(f'{inner}  "{word}"' for word in context.split(",")) + f"\n{inner}]"
    return (
        f"{pad}{{\n{inner}\"rule\": \"{kind.id}\",\n{inner}\"level\": \"{kind.level}\",\n"
        f"{inner}\"line\": {'null' if line is None else line},\n"
        f"{inner}\"column\": {'null' if column is None else column},\n"
        f"{inner}\"context\": {where},\n"
        f"{inner}\"module\": {'null' if module is None else _string(escape(module))},\n"
        f"{inner}\"message\": {message},\n"
        f"{inner}\"fingerprint\": {'null' if fingerprint is None else _string(fingerprint)}\n{pad}}}"
    )


def _file(report: FileReport, baseline: bool, parts: list[str], lang: str = "fr") -> None:
    """Appends the file's object, in pieces: a module name may be megabytes
    long, and is copied no more than it must be. Its messages are in `lang`."""
    pad, inner, item = "    ", "      ", "        "
    findings = report.in_report_order()
    # Each message escaped and encoded once, for its list and its finding.
    messages = [_string(escape(message(finding, report.filepath, lang))) for finding in findings]
    levels = [finding.kind.level for finding in findings]
    parts += [pad, "{\n", inner, '"filepath": ', _string(escape(report.filepath)), ",\n",
              inner, '"passed": ', "true" if report.passed else "false", ",\n", inner, '"errors": ']
    for level, close in (("error", ",\n"), ("warning", ",\n")):
        if level == "warning":
            parts += [inner, '"warnings": ']
        _list([item + text for kind, text in zip(levels, messages) if kind == level], inner, parts)
        parts.append(close)
    parts += [inner, '"findings": ']
    _list([_finding(finding, item, text) for finding, text in zip(findings, messages)], inner, parts)
    if report.allowed_used:
        parts += [",\n", inner, '"allowed_used": ']
        _list([item + _string(escape(chain)) for chain in report.allowed_used], inner, parts)
    if baseline:
        parts += [",\n", inner, '"known": ']
        known = [_finding(finding, item, _string(escape(message(finding, report.filepath, lang))))
                 for finding in report.known]
        _list(known, inner, parts)
    if report.section is not None:
        parts += [",\n", inner, '"section": ', _string(escape(report.section))]
        if report.skipped:
            parts += [",\n", inner, '"skipped": true']
        if report.skip_refused is not None:
            parts += [",\n", inner, '"skip_refused": ', _string(escape(report.skip_refused))]
    parts += ["\n", pad, "}"]


def policy_object(policy: Policy) -> dict[str, object]:
    """Which policy judged the run: where it was read, what it forbids, what
    fails a file; and the names of its [[paths]] sections, if it has any."""
    made: dict[str, object] = {
        "source": escape(policy.source),
        "forbidden": [escape(name) for name in sorted(policy.forbidden)],
        "fail_on": policy.fail_on,
    }
    if policy.allowed_attributes:
        made["allowed_attributes"] = [escape(chain) for chain in policy.allowed_attributes]
    if policy.type_checking != "error":
        made["type_checking"] = policy.type_checking
    reachable = holdings.reachable(policy)
    if reachable:
        # What the allowed modules of the standard library hold that the policy forbids.
        made["reachable"] = {escape(entry): reached for entry, reached in reachable.items()}
    if policy.sections:
        made["sections"] = [escape(section.name) for section in policy.sections]
    return made


def _nested(value: "Mapping[str, object]") -> str:
    """A small object one level down, as json.dumps(indent=2) nests it: its
    values strings, integers, lists of strings or objects of such lists."""
    members = []
    for key, item in value.items():
        if isinstance(item, list):
            text = "[\n" + ",\n".join(f"      {_string(entry)}" for entry in item) + "\n    ]" if item else "[]"
        elif isinstance(item, dict):
            text = "{\n" + ",\n".join(
                f"      {_string(name)}: "
                + ("[\n" + ",\n".join(f"        {_string(entry)}" for entry in entries) + "\n      ]" if entries else "[]")
                for name, entries in item.items()
            ) + "\n    }" if item else "{}"
        else:
            text = _string(item) if isinstance(item, str) else str(item)
        members.append(f"    {_string(key)}: {text}")
    return "{\n" + ",\n".join(members) + "\n  }" if members else "{}"


def _totals(run: Run) -> dict[str, int]:
    summary = run.summary
    totals = {
        "scanned": summary.scanned,
        "passed": summary.passed,
        "failed": summary.failed,
        "errors": summary.errors,
        "warnings": summary.warnings,
        "not_read": summary.unread,
    }
    if summary.known is not None:
        totals["known"] = summary.known
    if run.policy.sections:
        totals["skipped"] = summary.skipped
    return totals


# Files whose objects the engine writes in one call: few enough that their
# records are freed soon, enough that a call's cost is spread thin.
BATCH = 256


def write(run: Run, out: "TextIO") -> None:
    sink = Sink(out)
    trees = "[]" if not run.trees else "[\n" + ",\n".join(f"    {_string(escape(tree))}" for tree in run.trees) + "\n  ]"
    sink.text(f'{{\n  "policy": {_nested(policy_object(run.policy))},\n  "trees": {trees},\n  "files": ')
    baseline = run.baseline is not None
    written = False
    # The engine's files, waiting to be written together (fingerprints included).
    waiting: list[scanner_audit.Report] = []
    names: list[str] = []

    def flush() -> None:
        nonlocal written
        if waiting:
            scanner_audit.write_json_blocks(waiting, names, run.policy.fail_on == "warning", not written, sink.utf8)
            written = True
            waiting.clear()
            names.clear()

    for report in run.reports:
        # The engine writes its findings' messages in French.
        if report.ready_made and report.native is not None and not baseline and run.lang == "fr":
            waiting.append(report.native)
            names.append(report.name or "")
            if len(waiting) == BATCH:
                flush()
            continue
        flush()
        parts = [",\n" if written else "[\n"]
        _file(report, baseline, parts, run.lang)
        sink.text("".join(parts))
        written = True
    flush()
    sink.text("\n  ]" if written else "[]")
    sink.text(f',\n  "summary": {_nested(_totals(run))}\n}}\n')
    sink.flush()
