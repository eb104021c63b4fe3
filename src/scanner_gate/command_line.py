"""The command line as most runs give it, read without argparse, and what
every reading of it shares: the formats, and the arguments refused.

A hook or a CI job names a few options and then the paths; importing
argparse costs more than judging a small plugin. This reads the plain
forms of every option (`--policy FILE`, `--policy=FILE`, `-q`, ...) into
the namespace argparse would give, and returns None for anything else: help,
a mistake, an option value that starts with '-', paths split around an
option. argparse then reads the line as before, with its messages.
"""

import os
import types

from scanner_gate import FAIL_ON, LANGUAGES

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Sequence

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
_WITH_VALUE = ("--policy", "--format", "--threads", "--fail-on", "--baseline", "--lang", "--color", "--output",
               "--batch")
_FLAGS = {"--json": ("format", "json"), "--no-audit": ("audit", False), "--quiet": ("quiet", True),
          "-q": ("quiet", True), "--verbose": ("verbose", True), "-v": ("verbose", True),
          "--statistics": ("statistics", True)}
# The stream --output names with '-'.
STDOUT = "-"
# --color's choices (scanner_gate.colour.CHOICES, not imported for them).
COLORS = ("auto", "always", "never")
# More threads than this only cost memory: the scan is bound by the cores and
# the disk long before.
MAX_THREADS = 1024


def output(text: str) -> tuple[str, str] | None:
    """--output's FORMAT:FILE as (format, file), or None when it is not one."""
    name, colon, file = text.partition(":")
    if not colon or name not in FORMATS or not file:
        return None
    return name, file


def _value(option: str, text: str) -> object:
    """The option's value, or None when argparse would refuse it."""
    if option == "--output":
        return output(text)
    if option == "--format":
        return text if text in FORMATS else None
    if option == "--fail-on":
        return text if text in FAIL_ON else None
    if option == "--lang":
        return text if text in LANGUAGES else None
    if option == "--color":
        return text if text in COLORS else None
    if option == "--threads":
        if not text.isascii() or not text.isdigit():
            return None
        count = int(text)
        return count if count <= MAX_THREADS else None
    return text


def parse(argv: "Sequence[str]") -> types.SimpleNamespace | None:
    """The namespace of `argv` as argparse gives it, or None when argparse
    must read it."""
    # format None: not given (text on stdout, unless --output says otherwise).
    values: dict[str, object] = {"policy": None, "format": None, "audit": True, "threads": 0,
                                 "fail_on": "error", "quiet": False, "baseline": None, "lang": None,
                                 "color": "auto", "verbose": False, "explain": None, "output": None,
                                 "statistics": False, "batch": None, "write_holdings": None, "python": None}
    outputs: list[tuple[str, str]] = []
    paths: list[str] = []
    format_options = set()  # --format and --json exclude each other
    index = 0
    while index < len(argv):
        argument = argv[index]
        index += 1
        if argument == "--":
            if paths:
                return None
            paths = list(argv[index:])
            if not paths or "--" in paths:
                return None
            break
        if not argument.startswith("-") or argument == "-":
            paths.append(argument)
            continue
        if paths:
            return None  # an option after the paths: argparse says what it makes of it
        option, equals, text = argument.partition("=")
        if option in _WITH_VALUE:
            if not equals:
                if index == len(argv) or (argv[index].startswith("-") and (option, argv[index]) != ("--batch", "-")):
                    return None
                text = argv[index]
                index += 1
            value = _value(option, text)
            if value is None:
                return None
            if option == "--format":
                format_options.add(option)
            if option == "--output":
                assert isinstance(value, tuple)
                outputs.append(value)
                continue
            values[option[2:].replace("-", "_")] = value
        elif argument in _FLAGS:
            name, value = _FLAGS[argument]
            if argument == "--json":
                format_options.add(argument)
            values[name] = value
        else:
            return None
    # A batch names its paths in its jobs, and nothing else.
    if (not paths) == (values["batch"] is None) or len(format_options) > 1:
        return None
    if outputs:
        values["output"] = outputs
    return types.SimpleNamespace(paths=paths, **values)


def options_that_are_files(argv: "Sequence[str]") -> list[str]:
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
