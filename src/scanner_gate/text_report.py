"""The text report, for people: each file with findings, with its verdict
and its findings in line order, each with its level and rule, then the
counts by rule and the summary. A file without findings is listed only
with --verbose (the summary counts it all the same); with --quiet, only
the files that failed. File names, module names and messages are escaped
(scanner_gate.escape), so that nothing a plugin names reaches the terminal
raw: a name cannot move the cursor, erase a line or start a new one. A
finding a baseline accepts is written with `known` in place of its level.

The engine writes the files' parts when they are its own findings, in
French and without colour (scanner_audit.write_text_blocks); in another
language, or in colour, they are written here, the same bytes but for the
words chosen."""

import scanner_audit

from scanner_gate import colour, holdings
from scanner_gate.byte_sink import Sink
from scanner_gate.escape import escape, shown
from scanner_gate.findings import FileReport, line_order, plural
from scanner_gate.run import Run
from scanner_gate.wording import message

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import TextIO

MAX_PATHS_NAMED = 5
_LEVEL_STYLE = {"error": colour.RED, "warning": colour.YELLOW, "known": colour.DIM}


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
    held = holdings.described(run.policy) if run.audited else ""
    through = f"Forbidden modules that allowed ones hold, refused when taken through them: {held}\n" if held else ""
    return (
        f"Scanning {paths} with the policy {escape(run.policy.source)}{audit}; forbidden: {forbidden}; "
        f"local modules: {local}{deny}\n{through}\n"
    )


def file_text(report: FileReport, lang: str = "fr", color: bool = False) -> str:
    """The file's part of the report, made here (the engine's text_block
    writes the same, in French and without colour, for a report of its own)."""
    errors, warnings = report.counts()
    counts = f"{plural(errors, 'error')}, {plural(warnings, 'warning')}"
    if report.known:
        counts += f", {len(report.known)} known"
    verdict = colour.paint("ok  ", colour.GREEN, color) if report.passed else colour.paint("FAIL", colour.BOLD_RED, color)
    if report.skipped:
        return f"{colour.paint('skip', colour.DIM, color)}  {escape(report.filepath)}  {section_label(report)}\n"
    used = f"  [allowed attributes used: {', '.join(escape(chain) for chain in report.allowed_used)}]"
    lines = [f"{verdict}  {escape(report.filepath)}  ({counts})" + (used if report.allowed_used else "")
             + (f"  {section_label(report)}" if report.section is not None else "") + "\n"]
    labelled = [(finding, finding.kind.level) for finding in report.findings]
    labelled += [(finding, "known") for finding in report.known]
    for finding, label in sorted(labelled, key=lambda pair: line_order(pair[0])):
        level = colour.paint(f"{label:8}", _LEVEL_STYLE[label], color)
        text = shown(escape(message(finding, report.filepath, lang)))
        where = f"  ({finding.context.replace(',', ', ')})" if finding.context and finding.context != "module" else ""
        lines.append(f"      {level} [{finding.kind.id}] {text}{where}\n")
    return "".join(lines)


def section_label(report: FileReport) -> str:
    """The [[paths]] section that judged or skipped the file, as the report names it."""
    refused = f": skip refused, {report.skip_refused}" if report.skip_refused else ""
    return f"[section {escape(report.section or '')}{escape(refused)}]"


def _without_findings(report: FileReport) -> bool:
    return (report.passed and not (report.error_total or report.warning_total or report.known)
            and not report.skipped and report.skip_refused is None)


def _by_rule(run: Run) -> str:
    """The findings that count, by rule: errors first, each level by count."""
    by_rule = run.tally.by_rule
    if not by_rule:
        return ""
    from scanner_gate.findings import KIND_OF_RULE

    order = sorted(by_rule, key=lambda rule: (KIND_OF_RULE[rule].level != "error", -by_rule[rule], rule))
    return "by rule: " + ", ".join(f"{rule} {by_rule[rule]}" for rule in order) + "\n"


# Files whose parts the engine writes in one call, as for the JSON report.
BATCH = 256


def write(run: Run, out: "TextIO") -> None:
    sink = Sink(out)
    if not run.quiet:
        sink.text(_header(run))
    fail_on_warning = run.policy.fail_on == "warning"
    made_here = run.lang != "fr" or run.color  # the engine writes French without colour
    unlisted = 0  # files without findings, left out without --verbose
    waiting: list[scanner_audit.Report] = []  # the engine's files, to be written together
    for report in run.reports:
        if not run.verbose and _without_findings(report):
            unlisted += 1
            continue
        if report.ready_made and report.native is not None and not made_here:
            waiting.append(report.native)
            if len(waiting) == BATCH:
                scanner_audit.write_text_blocks(waiting, fail_on_warning, sink.utf8)
                waiting.clear()
            continue
        if waiting:
            scanner_audit.write_text_blocks(waiting, fail_on_warning, sink.utf8)
            waiting.clear()
        sink.text(file_text(report, run.lang, run.color))
    if waiting:
        scanner_audit.write_text_blocks(waiting, fail_on_warning, sink.utf8)
    ending = "" if run.quiet else "\n"
    ending += colour.paint(_by_rule(run).rstrip("\n"), colour.DIM, run.color) + "\n" if run.tally.by_rule else ""
    if unlisted and not run.quiet:
        ending += f"{plural(unlisted, 'file')} without findings not listed (--verbose lists them)\n"
    ending += colour.paint(run.summary.line(), colour.BOLD, run.color) + "\n"
    sink.text(ending)
    sink.flush()
