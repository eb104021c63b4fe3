"""The command line: scanner-core [options] PATH...

Exit status: 0 when every file passed, 1 when at least one failed, 2 when
the policy, the baseline, an argument or a path cannot be used (nothing is
reported then) or the command cannot do its work (the report cannot be
written, an internal error): one line on stderr, never a traceback. A
reader that closes the pipe early ends the command quietly.
"""

import argparse
import dataclasses
import importlib
import os
import sys
import typing
from collections.abc import Sequence

from scanner_gate import installed_version, policy
from scanner_gate.escape import escape
from scanner_gate.findings import FileReport, Summary
from scanner_gate.run import Run
from scanner_gate.scan import Options, ScanError, scan

PROG = "scanner-core"
# Each format's module, imported only when chosen.
FORMATS = {
    "text": "text_report",
    "json": "json_report",
    "sarif": "sarif_report",
    "github": "github_report",
    "gitlab": "gitlab_report",
}
# The formats that write fingerprints; any format does under --baseline.
FINGERPRINTED = {"json", "sarif", "gitlab"}


class _Version(argparse.Action):
    """--version, which looks the version up only when asked."""

    def __init__(self, option_strings: Sequence[str], dest: str = argparse.SUPPRESS, **kwargs: object) -> None:
        super().__init__(option_strings, dest, nargs=0, default=argparse.SUPPRESS, help="show the version and exit")

    def __call__(self, parser: argparse.ArgumentParser, *args: object) -> None:
        sys.stdout.write(f"{PROG} {installed_version() or 'unknown (not installed)'}\n")
        parser.exit(0)


# More threads than this only cost memory: the scan is bound by the cores and
# the disk long before.
MAX_THREADS = 1024


def _thread_count(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = -1
    if not 0 <= value <= MAX_THREADS:
        raise argparse.ArgumentTypeError(
            f"not a thread count: {text!r} (0 means one per hardware thread; at most {MAX_THREADS})"
        )
    return value


class _Parser(argparse.ArgumentParser):
    """argparse, but a refused argument is one line on stderr, as every
    other refusal of the command."""

    def error(self, message: str) -> typing.NoReturn:
        self.exit(2, f"{self.prog}: {message} (see --help)\n")


def parser() -> argparse.ArgumentParser:
    command = _Parser(
        prog=PROG,
        description="Check the imports of Python plugin files against an import policy.",
        epilog="Exit status: 0 every file passed, 1 a file failed, 2 the policy, the baseline, an argument or a "
        "path cannot be used, or the report cannot be written.",
        allow_abbrev=False,
    )
    command.add_argument("paths", nargs="+", metavar="PATH", help="a directory to walk, or a file to scan as it is")
    command.add_argument(
        "--policy",
        metavar="FILE",
        help="policy file with [policy] and [plugin] (default: [tool.scanner-core.*] of ./pyproject.toml)",
    )
    formats = command.add_mutually_exclusive_group()
    formats.add_argument("--format", choices=FORMATS, default="text", help="report format (default: text)")
    formats.add_argument("--json", dest="format", action="store_const", const="json", help="same as --format json")
    command.add_argument(
        "--no-audit", dest="audit", action="store_false", help="the line scan alone, without the audit of each file"
    )
    command.add_argument(
        "--threads", metavar="N", type=_thread_count, default=0, help="worker threads (default 0: one per hardware thread)"
    )
    command.add_argument(
        "--fail-on",
        choices=policy.FAIL_ON,
        default="error",
        help="what fails a file: an error (default), or any warning too (deny by default); "
        "the stricter of this and the policy's fail_on applies",
    )
    command.add_argument("--quiet", "-q", action="store_true", help="report only the files that failed, and the summary")
    command.add_argument(
        "--baseline",
        metavar="FILE",
        help="a JSON report of an earlier run: its findings are known and fail no file; new ones do",
    )
    command.add_argument("--version", action=_Version)
    return command


def _options_that_are_files(argv: Sequence[str]) -> list[str]:
    """Arguments before '--' that read as options but name existing files.

    A hook runner appends file names after the options, and a file named
    `--no-audit`, `-h` or `--policy=x` would silently change the run (skip the
    audit, print help and pass, choose a policy): such a run is refused."""
    found = []
    for argument in argv:
        if argument.startswith("-") and os.path.lexists(argument):
            found.append(argument)
        if argument == "--":
            break
    return found


def main(argv: Sequence[str] | None = None) -> int:
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


def _main(argv: Sequence[str] | None) -> int:
    arguments = list(sys.argv[1:] if argv is None else argv)
    # Whatever the terminal's encoding, printing a name never fails the run.
    for stream in (sys.stdout, sys.stderr):
        if hasattr(stream, "reconfigure"):
            stream.reconfigure(errors="backslashreplace")
    command = parser()
    if ambiguous := _options_that_are_files(arguments):
        names = ", ".join(escape(name) for name in ambiguous)
        command.exit(2, f"{PROG}: {names}: both an option and an existing file; put '--' before the paths, "
                        "or name files as ./NAME\n")
    args = command.parse_args(arguments)
    try:
        found = policy.load_file(args.policy) if args.policy is not None else policy.find(args.paths)
        if args.fail_on == "warning":
            found = dataclasses.replace(found, fail_on="warning")
        accepted = _accepted(args.baseline, command)
        reports = scan(args.paths, found, Options(audit=args.audit, threads=args.threads))
    except (policy.PolicyError, ScanError) as error:
        command.exit(2, f"{PROG}: {error}\n")
    reports = _reviewed(reports, args, accepted)
    summary = Summary.of(reports)
    status = 1 if summary.failed else 0
    if accepted is not None:
        summary = dataclasses.replace(summary, known=sum(len(report.known) for report in reports))
    shown = [report for report in reports if not report.passed] if args.quiet else reports
    run = Run(tuple(args.paths), found, args.audit, shown, summary, quiet=args.quiet, baseline=args.baseline)
    try:
        importlib.import_module(f"scanner_gate.{FORMATS[args.format]}").write(run, sys.stdout)
        sys.stdout.flush()
    except BrokenPipeError:
        # The reader has gone (| head): the verdict stands, and the
        # interpreter's own flush at exit must not complain either.
        _silence_stdout()
    except OSError as error:  # a full disk, a closed descriptor
        _silence_stdout()
        command.exit(2, f"{PROG}: cannot write the report: {error.strerror or error}\n")
    return status


def _accepted(path: str | None, command: argparse.ArgumentParser) -> frozenset[str] | None:
    """The fingerprints of the baseline named, if any; exit status 2 when
    it cannot be used."""
    if path is None:
        return None
    from scanner_gate import baseline  # only runs with a baseline read one

    try:
        return baseline.load(path)
    except baseline.BaselineError as error:
        command.exit(2, f"{PROG}: {error}\n")


def _reviewed(reports: list[FileReport], args: argparse.Namespace, accepted: frozenset[str] | None) -> list[FileReport]:
    """The reports fingerprinted where the format or the baseline needs it,
    and with the baseline's findings known. A file without findings is left
    as it is: there is nothing to read back."""
    if accepted is None and args.format not in FINGERPRINTED:
        return reports
    from scanner_gate import baseline, fingerprint  # only runs that use fingerprints read lines back

    names = fingerprint.FileNames(args.paths)
    marked = [fingerprint.fingerprint(report, names) if report.findings else report for report in reports]
    return marked if accepted is None else baseline.apply(marked, accepted)
