"""CI annotations: one workflow command per finding, then the summary line.

The file and the message are first escaped as in the text report (so a
name holds no line break and no control character), then as workflow
commands require: '%', CR and LF in the message, and ':' and ',' as well in
the file.
"""

from typing import TextIO

from scanner_gate.escape import escape
from scanner_gate.run import Run


def escape_data(text: str) -> str:
    return text.replace("%", "%25").replace("\r", "%0D").replace("\n", "%0A")


def escape_property(text: str) -> str:
    return escape_data(text).replace(":", "%3A").replace(",", "%2C")


def write(run: Run, out: TextIO) -> None:
    for report in run.reports:
        file = escape_property(escape(report.filepath))
        for finding in report.in_report_order():
            line = "" if finding.line is None else f",line={finding.line}"
            out.write(f"::{finding.kind.level} file={file}{line}::{escape_data(escape(finding.message))}\n")
    out.write(run.summary.line() + "\n")
