"""Colour for the text report on a terminal: whether to use it, and the
escapes that paint a word.

`--color auto` (the default) colours only a terminal, and not when the
environment sets NO_COLOR to anything but an empty string, nor on a
terminal that says it is dumb; `always` and `never` decide alone. Only the
report's own words are painted (verdicts, levels, the summary): a name or
a message is escaped before it is written (scanner_gate.escape), so no
escape of a plugin's ever reaches the terminal.
"""

import os

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import TextIO

CHOICES = ("auto", "always", "never")

RED = "\x1b[31m"
BOLD_RED = "\x1b[1;31m"
GREEN = "\x1b[32m"
YELLOW = "\x1b[33m"
DIM = "\x1b[2m"
BOLD = "\x1b[1m"
_RESET = "\x1b[0m"


def wanted(choice: str, stream: "TextIO") -> bool:
    """Whether the report written to `stream` is coloured, for `choice`, one of CHOICES."""
    if choice != "auto":
        return choice == "always"
    if os.environ.get("NO_COLOR") or os.environ.get("TERM") == "dumb":
        return False
    try:
        return stream.isatty()
    except (AttributeError, ValueError):
        return False


def paint(text: str, style: str, on: bool) -> str:
    """`text` in `style` when colour is `on`, else as it is."""
    return f"{style}{text}{_RESET}" if on else text
