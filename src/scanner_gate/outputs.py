"""Where a run's reports go: --format on standard output, and each
--output FORMAT:FILE, all written from one judgement; and --statistics,
the count of findings by rule after them."""

import os

from scanner_gate.command_line import STDOUT
from scanner_gate.escape import escape

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import TextIO

    from scanner_gate.findings import Tally

# Standard output holding one of these is a document a reader parses: the
# statistics go to standard error instead, so that it stays one.
DOCUMENTS = {"json", "sarif", "gitlab"}


class OutputError(Exception):
    """The outputs named cannot be used; the message says which and why."""


def chosen(format_given: str | None, outputs: "list[tuple[str, str]] | None") -> list[tuple[str, str]]:
    """Each (format, file) to write, '-' for standard output: --format's
    (text when neither it nor --output is given) on standard output first,
    then the --output ones in the order given. Two reports to one file are
    refused: one would overwrite the other."""
    wanted = list(outputs or [])
    if format_given is not None or not wanted:
        wanted.insert(0, (format_given or "text", STDOUT))
    seen: dict[str, str] = {}
    for _, file in wanted:
        key = file if file == STDOUT else os.path.realpath(file)
        if key in seen:
            where = "standard output" if file == STDOUT else escape(seen[key])
            if file not in (STDOUT, seen[key]):
                where += f" and {escape(file)}, one file"
            raise OutputError(f"two reports to {where}: give each --output a file of its own")
        seen[key] = file
    return wanted


def open_file(file: str) -> "TextIO":
    """The stream of an --output FILE, opened before anything is written,
    so that a file that cannot be written ends the run before its report."""
    try:
        return open(file, "w", encoding="utf-8", errors="backslashreplace")
    except OSError as error:
        raise OutputError(f"cannot write the report {escape(file)}: {error.strerror or error}") from error


def statistics(tally: "Tally") -> str:
    """The findings that count (not those a baseline accepts), by rule:
    the most frequent first, then by rule id; each with its level."""
    from scanner_gate.findings import KIND_OF_RULE, plural

    by_rule = tally.by_rule or {}
    if not by_rule:
        return "statistics: no findings\n"
    order = sorted(by_rule, key=lambda rule: (-by_rule[rule], rule))
    width = max(len(str(by_rule[rule])) for rule in order)
    named = max(len(rule) for rule in order)
    lines = [f"statistics: {plural(sum(by_rule.values()), 'finding')} by rule\n"]
    lines += [f"{by_rule[rule]:>{width}}  {rule:<{named}}  {KIND_OF_RULE[rule].level}\n" for rule in order]
    return "".join(lines)
