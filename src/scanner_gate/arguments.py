"""The command's options as argparse reads them: help, and every form the
quick reading (scanner_gate.command_line) leaves to it, with its messages.

Imported only then: a lone --version, and a plain command line, are read
without argparse, as fast as the interpreter starts.
"""

import argparse
import sys
from collections.abc import Sequence

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import NoReturn

from scanner_gate import FAIL_ON, LANGUAGES, PROG, __version__
from scanner_gate.command_line import COLORS, FORMATS, MAX_THREADS, output

class _Version(argparse.Action):
    """--version, which looks the version up only when asked."""

    def __init__(self, option_strings: Sequence[str], dest: str = argparse.SUPPRESS, **kwargs: object) -> None:
        super().__init__(option_strings, dest, nargs=0, default=argparse.SUPPRESS, help="show the version and exit")

    def __call__(self, parser: argparse.ArgumentParser, *args: object) -> None:
        sys.stdout.write(f"{PROG} {__version__}\n")
        parser.exit(0)


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


def _output(text: str) -> tuple[str, str]:
    value = output(text)
    if value is None:
        raise argparse.ArgumentTypeError(
            f"not FORMAT:FILE: {text!r} (FORMAT one of {', '.join(FORMATS)}; FILE '-' for standard output)")
    return value


class _Parser(argparse.ArgumentParser):
    """argparse, but a refused argument is one line on stderr, as every
    other refusal of the command."""

    def error(self, message: str) -> "NoReturn":
        self.exit(2, f"{self.prog}: {message} (see --help)\n")


def parser() -> argparse.ArgumentParser:
    command = _Parser(
        prog=PROG,
        description="Check the imports of Python plugin files against an import policy.",
        epilog="Exit status: 0 every file passed, 1 a file failed, 2 the policy, the baseline, an argument or a "
        "path cannot be used, or the report cannot be written.",
        allow_abbrev=False,
    )
    # Required but for --explain: parse() says so as argparse would.
    command.add_argument("paths", nargs="*", metavar="PATH", help="a directory to walk, or a file to scan as it is")
    command.add_argument(
        "--policy",
        metavar="FILE",
        help="policy file with [policy] and [plugin] (default: [tool.scanner-core.*] of ./pyproject.toml)",
    )
    formats = command.add_mutually_exclusive_group()
    formats.add_argument("--format", choices=FORMATS, help="report format on standard output (default: text, "
                         "unless --output names other reports)")
    formats.add_argument("--json", dest="format", action="store_const", const="json", help="same as --format json")
    command.add_argument(
        "--output",
        metavar="FORMAT:FILE",
        type=_output,
        action="append",
        help="write the report in FORMAT to FILE ('-': standard output), all from one judgement; repeatable. "
        "Standard output then holds only the report named '-' or given by --format",
    )
    command.add_argument(
        "--statistics",
        action="store_true",
        help="after the summary, the count of findings by rule (on standard error when standard output holds a "
        "JSON document)",
    )
    command.add_argument(
        "--no-audit", dest="audit", action="store_false", help="the line scan alone, without the audit of each file"
    )
    command.add_argument(
        "--threads", metavar="N", type=_thread_count, default=0, help="worker threads (default 0: one per hardware thread)"
    )
    command.add_argument(
        "--fail-on",
        choices=FAIL_ON,
        default="error",
        help="what fails a file: an error (default), or any warning too (deny by default); "
        "the stricter of this and the policy's fail_on applies",
    )
    command.add_argument("--quiet", "-q", action="store_true", help="report only the files that failed, and the summary")
    command.add_argument(
        "--verbose", "-v", action="store_true", help="the text report lists the files without findings too"
    )
    command.add_argument(
        "--lang",
        choices=LANGUAGES,
        help="the language of the findings and the rules' texts (default: the policy's lang, else fr, as the "
        "module's messages)",
    )
    command.add_argument(
        "--color",
        choices=COLORS,
        default="auto",
        help="colour the text report: auto (default) on a terminal, unless NO_COLOR is set; always; never",
    )
    command.add_argument(
        "--explain", metavar="RULE", help="print the page of the rule RULE (an id a report names) and exit"
    )
    command.add_argument(
        "--baseline",
        metavar="FILE",
        help="a JSON report of an earlier run: its findings are known and fail no file; new ones do",
    )
    command.add_argument(
        "--batch",
        metavar="FILE",
        help="judge the jobs of FILE ('-': standard input), JSON lines {\"id\", \"paths\", \"policy\"}, in one "
        "process, a JSON line per job as each is judged; no PATH then",
    )
    command.add_argument(
        "--write-holdings",
        metavar="FILE",
        help="import the modules named instead of PATHs (outside the standard library) in a child interpreter, "
        "and write to FILE what they and their submodules hold, for a policy's holdings key; then exit",
    )
    command.add_argument(
        "--python",
        metavar="INTERPRETER",
        help="with --write-holdings: the Python 3.13 to import the modules in (default: the one running the command)",
    )
    command.add_argument("--version", action=_Version)
    return command


def parse(arguments: Sequence[str]) -> argparse.Namespace:
    """The namespace of `arguments`; paths are required unless --explain or --batch is given."""
    command = parser()
    args = command.parse_args(arguments)
    if args.write_holdings is not None and not args.paths:
        command.error("--write-holdings needs the modules to describe: --write-holdings FILE MODULE...")
    if not args.paths and args.explain is None and args.batch is None:
        command.error("the following arguments are required: PATH")
    return args
