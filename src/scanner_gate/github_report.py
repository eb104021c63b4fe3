"""CI annotations: one workflow command per finding, in line order, then
the summary line. A message says what was found, in the language chosen,
without the file and line that the command's properties give. Each is titled with its rule; a finding a baseline
accepts is a notice titled "RULE (known)", which does not mark the run as
failed in the log. `line` and `col` (characters from 1) are given where
they are known. A finding of a file a [[paths]] section judged ends with
"[section NAME]"; a file a section skipped is a notice titled "skipped".

The file, the title and the message are first escaped as in the text
report (so a name holds no line break and no control character), then as
workflow commands require: '%', CR and LF in the message, and ':' and ','
as well in the properties.
"""

from typing import TextIO

from scanner_gate.escape import escape, shown
from scanner_gate.findings import Finding, line_order
from scanner_gate.run import Run
from scanner_gate.wording import said


def escape_data(text: str) -> str:
    return text.replace("%", "%25").replace("\r", "%0D").replace("\n", "%0A")


def escape_property(text: str) -> str:
    return escape_data(text).replace(":", "%3A").replace(",", "%2C")


def annotation(finding: Finding, filepath: str, file: str, known: bool, lang: str = "fr") -> str:
    command, title = ("notice", f"{finding.kind.id} (known)") if known else (finding.kind.level, finding.kind.id)
    line = "" if finding.line is None else f",line={finding.line}"
    if finding.line is not None and finding.column is not None:
        line += f",col={finding.column}"
    message = escape_data(shown(escape(said(finding, filepath, lang))))
    return f"::{command} file={file}{line},title={escape_property(title)}::{message}\n"


def write(run: Run, out: TextIO) -> None:
    for report in run.reports:
        file = escape_property(escape(report.filepath))
        if report.skipped:
            section = escape_data(shown(escape(report.section or "")))
            out.write(f"::notice file={file},title=skipped::skipped by the section {section}\n")
            continue
        labelled = [(finding, False) for finding in report.findings] + [(finding, True) for finding in report.known]
        for finding, known in sorted(labelled, key=lambda pair: line_order(pair[0])):
            made = annotation(finding, report.filepath, file, known, run.lang)
            if report.section is not None:
                made = made[:-1] + escape_data(shown(escape(f" [section {report.section}]"))) + "\n"
            out.write(made)
    out.write(run.summary.line() + "\n")
