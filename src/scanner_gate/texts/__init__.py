"""What the command says of each rule, one table per language (en.py,
fr.py): a row per rule id of the engine's table (scanner_audit.rules()),
from which the reports' messages, SARIF's rule help, `--explain` and the
documentation's rule pages are all made.

A row is a RuleText: a title, the forms of its messages (`says`), what it
finds, why it matters, an example that triggers it and what to do, the
prose in Markdown. A form holds at most one placeholder, `{module}` (a
name as the engine writes it in the message, already escaped) or
`{reason}` (why a file could not be read, or what is wrong with an
archive and which member, named first: Python's or the system's own
words, kept as they are, or one of the engine's or the command's own fixed
texts, which the table's `reasons` words in its language). The French
forms are the texts of the engine (and of the command, for archives and
the run) exactly, the forms of the other tables stand in the same order: a
message is read by the French forms and written with the same form of the
table chosen (scanner_gate.wording).

A rule added to the engine needs a row in each table; the tests hold every
table to the engine's rules, and run every example to see that it makes
its rule's finding.
"""

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import NamedTuple
else:
    from scanner_gate.records import NamedTuple


class File(NamedTuple):
    """A file of an example: its path in the example's tree and its text."""

    path: str
    text: str


class Link(NamedTuple):
    """A symbolic link of an example, and where it points."""

    path: str
    target: str


class Fifo(NamedTuple):
    """A FIFO of an example, named as a file would be."""

    path: str


class Archive(NamedTuple):
    """An archive of an example, made by the test from its members, each
    named inside it: a tar for a name that says so (`.tar.gz`, `.tgz`,
    `.tar.bz2`, `.tar.xz`, `.tar`), else a zip; a member may be an archive
    in turn. `cut`: only its first half is written, as an upload cut
    short."""

    path: str
    members: "tuple[File | Archive, ...]"
    cut: bool = False


class RuleText(NamedTuple):
    title: str  # one line, without a final stop: SARIF's shortDescription, the page's subtitle
    says: tuple[str, ...]  # the forms of the finding's message, without its location
    finds: str  # what it finds (Markdown)
    matters: str  # why it matters (Markdown)
    fix: str  # what the plugin's author or the reviewer can do (Markdown)
    # The files of a plugin tree, plugin/, that make the finding under the
    # examples' policy (EXAMPLE_POLICY); () for a rule no input makes today.
    example: "tuple[File | Link | Fifo | Archive, ...]" = ()


class Table(NamedTuple):
    """One language's texts."""

    rules: dict[str, RuleText]
    # The engine's and the command's own fixed reasons (the rest are
    # Python's or the system's, or name a member, kept as they are), keyed
    # by the French text written.
    reasons: dict[str, str]
    # The words of a rule's page (scanner_gate.explain).
    words: dict[str, str]


# The policy every example is judged by, as the pages show it.
EXAMPLE_POLICY = """\
[tool.scanner-core.policy]
forbidden = ["os", "subprocess", "socket", "ctypes"]
allowed_exact = ["json", "re", "collections.abc"]
allowed_prefixes = ["quenx"]
allowed_attributes = ["ctypes.util"]
type_checking = "warning"

[tool.scanner-core.plugin]
local_modules = ["plugin"]
"""


def table(lang: str) -> Table:
    """The texts of `lang`, one of scanner_gate.LANGUAGES; imported only
    when asked for."""
    import importlib

    module = importlib.import_module(f"scanner_gate.texts.{lang}")
    made: Table = module.TABLE
    return made
