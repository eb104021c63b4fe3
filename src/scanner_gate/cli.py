"""The command line: scanner-core [options] PATH...

Exit status: 0 when every file passed, 1 when at least one failed, 2 when
the policy, the baseline, an argument or a path cannot be used (nothing is
reported then) or the command cannot do its work (the report cannot be
written, an internal error): one line on stderr, never a traceback. A
reader that closes the pipe early ends the command quietly.
"""

import gc
import os
import sys

from scanner_gate import PROG, __version__
from scanner_gate.escape import escape

# What the scan needs is imported when there is one to run: a lone
# --version starts as fast as the interpreter does (typing included).
TYPE_CHECKING = False
if TYPE_CHECKING:
    import argparse
    import types
    from collections.abc import Iterable, Iterator, Sequence
    from typing import NoReturn, TextIO

    from scanner_gate.findings import Tally

    from scanner_gate.baseline import Baseline, Review
    from scanner_gate.file_names import FileNames
    from scanner_gate.findings import FileReport
    from scanner_gate.progress import Progress
    from scanner_gate.run import Run

def main(argv: "Sequence[str] | None" = None) -> int:
    try:
        return _main(argv)
    except BrokenPipeError:
        _silence_stdout()
        return 2
    except KeyboardInterrupt:
        _silence_stdout()
        sys.stderr.write(f"{PROG}: interrupted\n")
        return 2
    except MemoryError:
        _silence_stdout()
        sys.stderr.write(f"{PROG}: out of memory\n")
        return 2
    except Exception as error:  # noqa: BLE001 - a gate reports, it does not crash
        _silence_stdout()
        sys.stderr.write(f"{PROG}: internal error: {type(error).__name__}: {escape(str(error))}\n")
        return 2


def _silence_stdout() -> None:
    """Points stdout at /dev/null, so that what is still buffered for a pipe
    that is closed or a disk that is full is dropped at exit, not raised."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
    except (OSError, ValueError):
        pass


def _main(argv: "Sequence[str] | None") -> int:
    arguments = list(sys.argv[1:] if argv is None else argv)
    if arguments == ["--version"] and not os.path.lexists("--version"):
        sys.stdout.write(f"{PROG} {__version__}\n")
        return 0
    from scanner_gate.command_line import FINGERPRINTED, FORMATS, STDOUT, options_that_are_files, parse

    # Whatever the terminal's encoding, printing a name never fails the run.
    for stream in (sys.stdout, sys.stderr):
        if hasattr(stream, "reconfigure"):
            stream.reconfigure(errors="backslashreplace")
    if ambiguous := options_that_are_files(arguments):
        names = ", ".join(escape(name) for name in ambiguous)
        _refuse(f"{names}: both an option and an existing file; put '--' before the paths, or name files as ./NAME")
    args: "argparse.Namespace | types.SimpleNamespace"
    quick = parse(arguments)
    if quick is None:  # help, a mistake, a rarer form: argparse reads it, with its messages
        from scanner_gate.arguments import parse as parse_fully

        args = parse_fully(arguments)
    else:
        args = quick
    if args.explain is not None:
        return _explain(args.explain, args.lang)
    if args.write_holdings is not None:
        return _write_holdings(args)
    if args.python is not None:
        _refuse("--python names the interpreter of --write-holdings, and is given without it")
    if args.batch is not None:
        return _batch(args)
    import importlib

    from scanner_gate import policy
    from scanner_gate.findings import Tally
    from scanner_gate.progress import Progress
    from scanner_gate.run import Run
    from scanner_gate.options import Options
    from scanner_gate.scan import ScanError, scan
    from scanner_gate import outputs as report_outputs
    from scanner_gate.run_reports import counted, project_of, reviewed, trees_given

    try:
        wanted = report_outputs.chosen(args.format, args.output)
    except report_outputs.OutputError as error:
        _refuse(str(error))
    formats = {name for name, _ in wanted}
    progress = _progress(args.paths)
    try:
        found = policy.load_file(args.policy) if args.policy is not None else policy.find(args.paths)
        if args.fail_on == "warning":
            found = found.failing_on_warnings()
        accepted = _accepted(args.baseline)
        fingerprinted = bool(formats & FINGERPRINTED) or accepted is not None
        if progress is not None:
            progress.start()
        reports = scan(args.paths, found, Options(audit=args.audit, threads=args.threads, fingerprints=fingerprinted))
    except (policy.PolicyError, ScanError) as error:
        if progress is not None:
            progress.stop()
        _refuse(str(error))
    streams: "list[tuple[str, TextIO]]" = []
    try:
        for name, file in wanted:
            streams.append((name, sys.stdout if file == STDOUT else report_outputs.open_file(file)))
    except report_outputs.OutputError as error:
        if progress is not None:
            progress.stop()
        _refuse(str(error))
    lang = args.lang or found.lang or "fr"
    tally = Tally(baseline=accepted is not None, by_rule="text" in formats or args.statistics)
    file_names: "FileNames | None" = None
    if fingerprinted:
        from scanner_gate.file_names import FileNames

        file_names = FileNames(args.paths, project_of(args.policy))
    review: "Review | None" = None
    if accepted is not None and file_names is not None:
        from scanner_gate.baseline import Review

        review = Review(accepted, file_names)
    shown = counted(reviewed(reports, file_names, formats, review, lang), tally, args.quiet)
    trees = () if file_names is None or "json" not in formats else trees_given(args.paths, file_names)
    run = Run(tuple(args.paths), found, args.audit, shown, tally, quiet=args.quiet, baseline=args.baseline,
              lang=lang, verbose=args.verbose, trees=trees)
    if progress is not None:
        # A report to the same terminal would be broken by the line; to a
        # file or a pipe, the files judged are counted as it is written.
        progress.writing(tally, stop=_is_terminal(sys.stdout))
    # A report makes no reference cycles: the collector would only walk the
    # objects of every file already written, again and again.
    collecting = gc.isenabled()
    gc.disable()
    try:
        if len(streams) > 1:
            # Every format is written from the same judgement: the files are
            # judged once, and their reports held for each format in turn.
            run = run._replace(reports=list(run.reports))
        for name, stream in streams:
            coloured = name == "text" and stream is sys.stdout and _coloured(args.color)
            _write(run._replace(color=coloured), importlib.import_module(f"scanner_gate.{FORMATS[name]}"), stream)
    finally:
        if progress is not None:
            progress.stop()
        if collecting:
            gc.enable()
    if review is not None and review.could and not review.known and review.baseline.fingerprints:
        sys.stderr.write(
            f"{PROG}: warning: the baseline {escape(args.baseline)} knows none of the {review.could} findings it "
            "could: it was made of other files, of these under names no longer theirs (another project), or all its "
            "findings are gone; each of them counts as new\n")
    if args.statistics:
        on_stdout = [name for name, file in wanted if file == STDOUT]
        table = report_outputs.statistics(tally)
        if on_stdout and on_stdout[0] in report_outputs.DOCUMENTS:
            sys.stderr.write(table)
        else:
            _write_text(table)
    return 1 if tally.failed_any else 0


def _batch(args: "argparse.Namespace | types.SimpleNamespace") -> int:
    """--batch: each job's report on a line of its own."""
    given = [option for option, value in (
        ("PATH", args.paths), ("--policy", args.policy), ("--format", args.format), ("--output", args.output),
        ("--baseline", args.baseline), ("--statistics", args.statistics), ("--quiet", args.quiet),
        ("--verbose", args.verbose)) if value]
    if given:
        _refuse(f"--batch takes each job's paths and policy from its line, and writes JSON lines: not with "
                f"{', '.join(given)}")
    from scanner_gate import batch

    try:
        return batch.run(args.batch, args.threads, args.audit, args.fail_on == "warning", args.lang, sys.stdout)
    except batch.BatchError as error:
        _refuse(str(error))
    except BrokenPipeError:
        raise
    except OSError as error:
        _silence_stdout()
        _refuse(str(error))


def _write_holdings(args: "argparse.Namespace | types.SimpleNamespace") -> int:
    """--write-holdings FILE MODULE...: the table of what the modules hold, for a policy's holdings."""
    given = [option for option, value in (
        ("--policy", args.policy), ("--format", args.format), ("--output", args.output), ("--baseline", args.baseline),
        ("--batch", args.batch), ("--explain", args.explain), ("--statistics", args.statistics)) if value]
    if given:
        _refuse(f"--write-holdings imports the modules named and writes their table: not with {', '.join(given)}")
    from scanner_gate import holding_tables

    try:
        count = holding_tables.write(list(args.paths), args.write_holdings, args.python)
    except holding_tables.HoldingsError as error:
        _refuse(str(error))
    if not args.quiet:
        _write_text(f"{escape(args.write_holdings)}: {count} names held by {escape(', '.join(args.paths))}\n")
    return 0


def _is_terminal(stream: "object") -> bool:
    try:
        return bool(stream.isatty())  # type: ignore[attr-defined]
    except (AttributeError, ValueError):
        return False


def _progress(paths: "Sequence[str]") -> "Progress | None":
    """The progress line on stderr, for a terminal only."""
    if not _is_terminal(sys.stderr):
        return None
    from scanner_gate.progress import Progress

    return Progress(sys.stderr, paths)


def _coloured(choice: str) -> bool:
    from scanner_gate import colour

    return colour.wanted(choice, sys.stdout)


def _explain(rule: str, lang: str | None) -> int:
    """Prints the page of `rule`, in `lang` or the language of the policy
    of ./pyproject.toml (when it has one that can be used) or French."""
    import scanner_audit

    from scanner_gate import explain

    levels = dict(scanner_audit.rules())
    if rule not in levels:
        _refuse(f"no rule {escape(rule)!r}; the rules are: {', '.join(levels)}")
    if lang is None:
        from scanner_gate import policy

        try:
            lang = policy.find(()).lang
        except policy.PolicyError:
            lang = None
    try:
        page = explain.page(rule, levels[rule], lang or "fr")
    except KeyError:
        _refuse(f"the rule {rule} has no text in this version of the command; the report's message says what it found")
    sys.stdout.write(page)
    return 0


def _write(run: "Run", format_module: "types.ModuleType", stream: "TextIO") -> None:
    """Writes the report to `stream` (closed after, but for stdout), then
    judges whatever the writing left unread."""
    try:
        format_module.write(run, stream)
        stream.flush()
        if stream is not sys.stdout:
            stream.close()
    except BrokenPipeError:
        # The reader has gone (| head): the verdict stands, and the
        # interpreter's own flush at exit must not complain either.
        _silence_stdout()
    except OSError as error:  # a full disk, a closed descriptor
        _silence_stdout()
        where = "" if stream is sys.stdout else f" {escape(stream.name)}"
        _refuse(f"cannot write the report{where}: {error.strerror or error}")
    # Whatever the writing left unread is judged all the same: a reader
    # that leaves early does not make a failing file pass.
    for _ in run.reports:
        pass


def _write_text(text: str) -> None:
    """Writes a line or two after the reports, on stdout."""
    try:
        sys.stdout.write(text)
        sys.stdout.flush()
    except BrokenPipeError:
        _silence_stdout()
    except OSError as error:
        _silence_stdout()
        _refuse(f"cannot write the report: {error.strerror or error}")


def _refuse(message: str) -> "NoReturn":
    """Ends the run with exit status 2 and one line on stderr, as argparse
    refuses an argument."""
    sys.stderr.write(f"{PROG}: {message}\n")
    sys.exit(2)


def _accepted(path: str | None) -> "Baseline | None":
    """The fingerprints of the baseline named, if any; exit status 2 when
    it cannot be used."""
    if path is None:
        return None
    from scanner_gate import baseline  # only runs with a baseline read one

    try:
        return baseline.load(path)
    except baseline.BaselineError as error:
        _refuse(str(error))
