"""Tables of what modules outside the standard library hold, for a policy.

The engine knows what the standard library's modules hold under other names
(`logging.os`), from the interpreter it was built for. An allowed module
outside it (`requests`, allowed by a prefix) may hold `os` or `subprocess`
just as well: `scanner-core --write-holdings FILE MODULE...` imports the
modules in a child interpreter and writes the same rows to FILE, and a
policy's `holdings = ["FILE", ...]` adds them to the standard ones. A table
is JSON:

    {"format": "scanner-core holdings 1", "python": "3.13.5",
     "modules": ["requests"],
     "rows": [["requests", "os", "os", true, false], ...]}

each row (module, attribute, target, target is a module, bound by `from
module import *`). A table that cannot be read whole is refused, never
passed over: a route it would have closed would stay open unseen.
"""

import json
import os
import subprocess
import sys
import tempfile

from scanner_gate.escape import escape

FORMAT = "scanner-core holdings 1"
# The engine reads plugins as this interpreter runs them; another version's
# modules hold other things.
PYTHON = (3, 13)
# More rows than this is no package's: a table past it is refused, whoever wrote it.
MAX_ROWS = 200_000
# A table of MAX_ROWS rows of long names stays well below this.
MAX_BYTES = 64 << 20
# A name longer than this is no module's or attribute's a table should hold.
MAX_NAME = 1024
# How long the child may take to import the modules and write their rows.
TIMEOUT = 300
Row = tuple[str, str, str, bool, bool]


class HoldingsError(Exception):
    """A table cannot be written or read; the message says why and where."""


def _is_module_name(name: str) -> bool:
    return all(part.isidentifier() for part in name.split("."))


def _text(value: object) -> bool:
    """A non-empty str the engine can hold (UTF-8: no lone surrogates)."""
    if not isinstance(value, str) or not value or len(value) > MAX_NAME:
        return False
    try:
        value.encode("utf-8")
    except UnicodeEncodeError:
        return False
    return True


def _checked(table: object, where: str) -> tuple[Row, ...]:
    """The rows of a table as read from JSON, or HoldingsError saying what is wrong."""
    if not isinstance(table, dict) or table.get("format") != FORMAT:
        raise HoldingsError(f"{where} is not a table of holdings (no \"format\": \"{FORMAT}\")")
    python = table.get("python")
    version = tuple(int(part) for part in python.split(".")[:2] if part.isdigit()) if isinstance(python, str) else ()
    if version != PYTHON:
        raise HoldingsError(f"{where} was written by Python {escape(str(python))}, not {PYTHON[0]}.{PYTHON[1]}: "
                            "the modules of another version hold other things (write it again with --python)")
    modules = table.get("modules")
    rows = table.get("rows")
    if not isinstance(modules, list) or not all(_text(name) and _is_module_name(name) for name in modules):
        raise HoldingsError(f"{where}: \"modules\" must be a list of module names")
    if not isinstance(rows, list):
        raise HoldingsError(f"{where}: \"rows\" must be a list")
    if len(rows) > MAX_ROWS:
        raise HoldingsError(f"{where} holds {len(rows)} rows, more than {MAX_ROWS}")
    checked = []
    for number, row in enumerate(rows, 1):
        if (not isinstance(row, list) or len(row) != 5 or not all(_text(text) for text in row[:3])
                or not all(isinstance(flag, bool) for flag in row[3:])
                or not _is_module_name(row[0]) or not _is_module_name(row[2])):
            raise HoldingsError(f"{where}: row {number} is not [module, attribute, target, true|false, true|false]")
        if row[0].partition(".")[0] in sys.stdlib_module_names:
            raise HoldingsError(f"{where}: row {number} describes {escape(row[0])}, a module of the standard "
                                "library, which the engine's own table describes")
        checked.append((row[0], row[1], row[2], row[3], row[4]))
    return tuple(checked)


def _load(path: str, where: str) -> object:
    """The JSON at `path`, read up to MAX_BYTES."""
    try:
        with open(path, "rb") as stream:
            data = stream.read(MAX_BYTES + 1)
    except OSError as error:
        raise HoldingsError(f"cannot read {where}: {error.strerror or error}") from error
    if len(data) > MAX_BYTES:
        raise HoldingsError(f"{where} is larger than {MAX_BYTES >> 20} MiB")
    try:
        return json.loads(data.decode("utf-8"))
    except (UnicodeDecodeError, ValueError, RecursionError) as error:
        raise HoldingsError(f"{where} is not JSON: {escape(str(error))}") from error


def read(path: str) -> tuple[Row, ...]:
    """The rows of the table at `path`. Raises HoldingsError when it cannot
    be read, is too large, or is not a table of this form."""
    where = f"the table of holdings {escape(path)}"
    return _checked(_load(path, where), where)


def _stderr() -> int:
    """Where the child's output goes: this process's stderr."""
    try:
        return sys.stderr.fileno()
    except (AttributeError, ValueError, OSError):
        return subprocess.DEVNULL


def write(modules: "list[str]", output: str, python: str | None = None) -> int:
    """Imports `modules` in a child interpreter (`python`, else this one)
    and writes the table of what they and their submodules that the imports
    loaded hold to `output`. Returns the count of rows. Raises HoldingsError
    when a name is no module outside the standard library, the child fails,
    takes longer than TIMEOUT, or writes what is no table."""
    for name in modules:
        if not _text(name) or not _is_module_name(name):
            raise HoldingsError(f"{escape(name)!r} is not a module name")
        if name.partition(".")[0] in sys.stdlib_module_names:
            raise HoldingsError(f"{escape(name)} is a module of the standard library, which the engine's own table "
                                "describes")
    program = os.path.join(os.path.dirname(os.path.abspath(__file__)), "holding_rows.py")
    interpreter = python or sys.executable
    with tempfile.TemporaryDirectory(prefix="scanner-core-holdings-") as scratch:
        written = os.path.join(scratch, "table.json")
        # -s: the site-packages of the interpreter named (its environment),
        # not the running user's own, which differ from one account to the
        # next. -P: neither the working directory nor this package's is put
        # first on the path, where a file could stand in for the module
        # named. PYTHONPATH is kept: an environment that adds paths so is
        # the one described. The child's output goes to stderr, as a
        # module's prints are no part of the table.
        command = [interpreter, "-s", "-P", program, written, str(MAX_ROWS), *modules]
        try:
            done = subprocess.run(command, stdin=subprocess.DEVNULL, stdout=_stderr(), timeout=TIMEOUT,
                                  check=False)
        except subprocess.TimeoutExpired as error:
            raise HoldingsError(f"{escape(interpreter)} took more than {TIMEOUT} s to import "
                                f"{escape(', '.join(modules))}; no table written") from error
        except OSError as error:
            raise HoldingsError(f"cannot run {escape(interpreter)}: {error.strerror or error}") from error
        if done.returncode != 0:
            raise HoldingsError(f"{escape(interpreter)} could not describe {escape(', '.join(modules))} "
                                f"(exit status {done.returncode}); no table written")
        where = f"what {escape(interpreter)} wrote"
        table = _load(written, where)
        rows = _checked(table, where)
    assert isinstance(table, dict)
    named = tuple(set(modules))
    if sorted(table["modules"]) != sorted(named) or not all(
            any(row[0] == name or row[0].startswith(name + ".") for name in named) for row in rows):
        raise HoldingsError(f"{escape(interpreter)} described other modules than those named; no table written")
    made = {"format": FORMAT, "python": table["python"], "modules": table["modules"], "rows": [list(row) for row in rows]}
    try:
        with open(output, "w", encoding="ascii") as stream:
            json.dump(made, stream, ensure_ascii=True, separators=(",", ":"))
            stream.write("\n")
    except OSError as error:
        raise HoldingsError(f"cannot write {escape(output)}: {error.strerror or error}") from error
    return len(rows)
