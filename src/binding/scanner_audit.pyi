"""The full verdict on plugin sources: scanner_core's line scan and an audit that reads each file as Python reads it, in one pass."""

# Types as the module's own signature lines state them, but for paths: the
# binding takes any object and gives it to os.fsencode, which accepts these.
import collections.abc
import os
import typing

_Path: typing.TypeAlias = str | bytes | os.PathLike[str] | os.PathLike[bytes]

# Made only by the scans, as are Report, TreeWalk and TreeStream: calling one raises TypeError.
class Finding:
    @property
    def rule(self) -> str: ...
    @property
    def level(self) -> str: ...
    @property
    def line(self) -> int | None: ...
    @property
    def column(self) -> int | None: ...
    @property
    def module(self) -> str | None: ...
    @property
    def context(self) -> str:
        """Where it stands: "module", or words such as "function,optional"; "" when not known."""
    @property
    def message(self) -> str: ...

class Report:
    @property
    def filepath(self) -> str: ...
    @property
    def errors(self) -> list[str]: ...
    @property
    def warnings(self) -> list[str]: ...
    @property
    def scan_findings(self) -> list[Finding]: ...
    @property
    def scan_tuples(self) -> list[tuple[str, int | None, int | None, str | None, str]]: ...
    @property
    def findings(self) -> list[Finding]: ...
    @property
    def finding_tuples(self) -> list[tuple[str, int | None, int | None, str | None, str]]: ...
    @property
    def contexts(self) -> list[str]:
        """Where each finding stands, scan_findings' then findings' (see Finding.context)."""
    @property
    def rules(self) -> list[str]:
        """The rule of each finding, scan_findings' then findings'."""
    @property
    def allowed_used(self) -> list[str]:
        """The policy's allowed attributes of forbidden modules the file used."""
    @property
    def passed(self) -> bool: ...
    @property
    def entry(self) -> bool: ...
    @property
    def deferred_encoding(self) -> str | None: ...
    @property
    def identity(self) -> tuple[int, int] | None: ...
    @property
    def local_imports(self) -> list[tuple[int, int | None, int, str, bool]]:
        """(line, column, level, name, taken_name) of each import of the plugin's own or a relative module,
        from a scanner made with local_imports=True; taken_name: the last part is a name a `from` statement takes."""
    @property
    def unread(self) -> bool:
        """Whether the file was left unread (not opened; a walk's entry not read)."""
    @property
    def brief(self) -> tuple[str, bool, str | None, tuple[int, int]]:
        """(filepath, entry, deferred_encoding, counts()) in one call."""
    def counts(self) -> tuple[int, int]:
        """(errors, warnings) among all the findings, the line scan's and the audit's."""
    def text_block(self, fail_on_warning: bool) -> bytes:
        """The file's lines in the text report (UTF-8), findings in report order."""
    def json_block(self, fail_on_warning: bool, name: str) -> bytes:
        """The file's object in the JSON report, fingerprinted with `name`."""
    def write_json_block(
        self, fail_on_warning: bool, name: str, lead: str, write: collections.abc.Callable[[memoryview], None]
    ) -> None:
        """`lead`, then json_block, handed to `write` in pieces valid only during the call."""
    def fingerprints(self, name: str) -> list[str | None]:
        """Each finding's fingerprint in report order; None where its line is gone."""
    def add_findings(
        self,
        rows: collections.abc.Sequence[
            tuple[
                str,
                typing.SupportsInt | typing.SupportsIndex,
                typing.SupportsInt | typing.SupportsIndex | None,
                str,
                object,
            ]
        ],
    ) -> None:
        """Adds the caller's findings, (rule id, line, column, module, message) each, among the audit's:
        counted, shown and fingerprinted as the engine's own."""
    def __repr__(self) -> str: ...

def rules() -> list[tuple[str, str]]: ...
def module_holdings() -> list[tuple[str, str, str, bool, bool]]:
    """What each standard module holds under another name: (module, attribute, target, target is a module, bound by `from module import *`)."""

def instruction_set() -> str: ...
def write_text_blocks(
    reports: collections.abc.Sequence[Report],
    fail_on_warning: bool,
    write: collections.abc.Callable[[memoryview], None],
) -> None:
    """The text blocks of consecutive files, handed to `write` together in pieces."""
def write_json_blocks(
    reports: collections.abc.Sequence[Report],
    names: collections.abc.Sequence[str],
    fail_on_warning: bool,
    first: bool,
    write: collections.abc.Callable[[memoryview], None],
) -> None:
    """The JSON objects of consecutive files, each after its separator, handed to `write` together in pieces."""

# The gate's walk of a tree, whose records a stream then reads (Scanner.stream_tree).
class TreeWalk:
    @property
    def paths(self) -> list[str]:
        """The path of each record of the tree, as its filepath reads: the files, then the walk's problems."""

def walk_tree(src_dir: _Path) -> TreeWalk: ...

class TreeStream:
    def take(self, position: typing.SupportsInt | typing.SupportsIndex) -> Report:
        """The record at `position` of the order, waiting until the scan's threads have made it; each once."""

class Scanner:
    def __init__(
        self,
        forbidden: collections.abc.Set[str],
        allowed_exact: collections.abc.Set[str],
        allowed_prefixes: collections.abc.Sequence[str],
        holdings: collections.abc.Sequence[tuple[str, str, str, bool, bool]] = [],
        allowed_attributes: collections.abc.Sequence[str] = [],
        type_checking: str = "error",
        local_imports: bool = False,
    ) -> None:
        """`holdings`: rows of module_holdings()'s form for modules outside the standard library;
        `allowed_attributes`: chains of forbidden modules a plugin may use (`os.path`);
        `type_checking`: "error", "warning" or "ignore", for findings under `if TYPE_CHECKING:`;
        `local_imports`: the reports of audited files hold their local imports (Report.local_imports)."""
    def is_forbidden(self, module: str) -> bool: ...
    def is_allowed(self, module: str) -> bool: ...
    def forbidden_reached_from(self, module: str) -> list[str]:
        """The forbidden modules a chain of attributes from `module` reaches through the scanner's holdings, sorted."""
    def scan_file(
        self,
        filepath: _Path,
        local_modules: collections.abc.Set[str],
        audit: bool = True,
        depth: typing.SupportsInt | typing.SupportsIndex = 0,
        digests: bool = False,
    ) -> Report:
        """digests: digest the lines with findings as the file is read, for fingerprints."""
    def scan_directory(
        self,
        src_dir: _Path,
        local_modules: collections.abc.Set[str],
        num_threads: typing.SupportsInt | typing.SupportsIndex = 0,
        audit: bool = True,
    ) -> list[Report]: ...
    def scan_tree(
        self,
        src_dir: _Path,
        local_modules: collections.abc.Set[str],
        num_threads: typing.SupportsInt | typing.SupportsIndex = 0,
        audit: bool = True,
        digests: bool = False,
        local_package: collections.abc.Sequence[str] | None = None,
        standard_names: collections.abc.Set[str] = set(),
    ) -> list[Report]:
        """digests: digest the lines with findings as each file is read, on the scan's threads, for fingerprints.
        local_package: the root's own package names (outermost first; empty when the root is no package): each
        file's local imports are then looked up in the tree, those missing made findings (missing-local-module),
        standard_names being the standard library's top-level names; the reports then hold no local imports."""
    def stream_tree(
        self,
        walk: TreeWalk,
        order: collections.abc.Sequence[typing.SupportsInt | typing.SupportsIndex],
        local_modules: collections.abc.Set[str],
        num_threads: typing.SupportsInt | typing.SupportsIndex = 0,
        audit: bool = True,
        digests: bool = False,
        local_package: collections.abc.Sequence[str] | None = None,
        standard_names: collections.abc.Set[str] = set(),
    ) -> TreeStream:
        """The records scan_tree makes of the walk's tree, read on the scan's threads in `order` (each record's
        index in the walk's paths, each once) and taken one by one as they are made."""
    def judge_by_name(self, filepath: _Path) -> Report | None: ...
    def scan_member(
        self,
        filepath: str,
        local_modules: collections.abc.Set[str],
        audit: bool = True,
        depth: typing.SupportsInt | typing.SupportsIndex = 0,
        digests: bool = False,
    ) -> MemberScan:
        """The full verdict on a source fed piece by piece (an archive's member), named `filepath`."""

# Made only by Scanner.scan_member: what scan_file gives for a file of the
# same bytes at the same path, its pieces fed in any sizes.
class MemberScan:
    def feed(self, piece: bytes) -> None: ...
    def finish(self) -> Report: ...

# The audit of a file's text that Python's own codec decoded: fed as UTF-8
# piece by piece, judged as scan_file judges a file. `reported`: the line
# scan's (line, module) pairs, lines counted in the decoded text.
class TextAudit:
    def __init__(
        self,
        scanner: Scanner,
        filepath: _Path,
        local_modules: collections.abc.Set[str],
        depth: typing.SupportsInt | typing.SupportsIndex = 0,
    ) -> None: ...
    def feed(self, utf8: bytes) -> None: ...
    def refuse(self, reason: str) -> None: ...
    def finish(
        self, reported: collections.abc.Sequence[tuple[typing.SupportsInt | typing.SupportsIndex, str]]
    ) -> list[Finding]: ...
    @property
    def local_imports(self) -> list[tuple[int, int | None, int, str, bool]]:
        """After finish: as Report.local_imports."""
