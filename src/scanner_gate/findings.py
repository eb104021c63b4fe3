"""What a scan found: the kinds of finding (one rule each), the findings of
one file, and the summary of a run.

Texts here are held as the scan gives them (file names with the bytes of a
non-UTF-8 name as surrogate escapes); the report formats escape them.
"""

import scanner_audit

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Sequence
    from typing import NamedTuple
else:
    from scanner_gate.records import NamedTuple


class Kind(NamedTuple):
    """A kind of finding: its rule id, its level, a description, and the
    French text its message starts with after the location: for an import,
    what stands before the module's name; for an archive's finding, what
    stands before the reason in parentheses (archive_message).
    (Named tuples, not dataclasses, here and in the rest of the package:
    importing dataclasses costs more than a small run.)"""

    id: str
    level: str  # "error" fails the file, "warning" does not
    description: str
    text: str = ""


# The rules of the engine's table (scanner_audit.rules(): ids and levels),
# each with what the reports say of it. The line scan's:
FORBIDDEN = Kind("forbidden-import", "error", "An import whose root the policy forbids.", "import interdit \u2014 '")
UNLISTED = Kind(
    "unlisted-import", "warning", "An import on none of the policy's lists.", "import non whitelist\u00e9 \u2014 '"
)
UNREADABLE = Kind("unreadable-file", "error", "A file that cannot be opened.", "impossible d'ouvrir le fichier")
# A message of the scan in none of the forms above is still reported.
OTHER_ERROR = Kind("other-scan-error", "error", "An error of the scan in a form this report does not know.")
OTHER_WARNING = Kind("other-scan-warning", "warning", "A warning of the scan in a form this report does not know.")
# The audit's findings.
HIDDEN_FORBIDDEN = Kind(
    "hidden-forbidden-import",
    "error",
    "A forbidden import that the line scan does not see, found by reading the file as Python does.",
    "import cach\u00e9 interdit \u2014 '",
)
HIDDEN_UNLISTED = Kind(
    "hidden-unlisted-import",
    "warning",
    "An unlisted import that the line scan does not see, found by reading the file as Python does.",
    "import cach\u00e9 non whitelist\u00e9 \u2014 '",
)
DYNAMIC = Kind(
    "non-constant-dynamic-import",
    "warning",
    "A call of __import__ or import_module whose module name is not a constant string.",
    "import dynamique non constant \u2014 '",
)
UNAUDITED = Kind(
    "unaudited-file", "error", "A file that cannot be read to its end as Python source, so its imports are unknown."
)
IMPORTER_REFERENCE = Kind(
    "importer-reference",
    "warning",
    "An importer (__import__, import_module), exec, eval, compile or a module's loader named other than in a call: "
    "assigned, passed, reached by getattr or by a subscript with a constant key.",
    "r\u00e9f\u00e9rence \u00e0 un importeur hors d'un appel \u2014 '",
)
DYNAMIC_CODE = Kind(
    "dynamic-code",
    "warning",
    "exec, eval or compile of what is not a constant string, or of a constant string Python refuses to run.",
    "code dynamique non constant \u2014 '",
)
RELATIVE_DYNAMIC = Kind(
    "relative-dynamic-import",
    "warning",
    "A relative name given to __import__ or import_module whose anchor (package, or globals) is not a constant.",
    "import dynamique relatif sans ancre constante \u2014 '",
)
ABOVE_ROOT = Kind(
    "relative-import-above-root",
    "error",
    "A relative import whose level reaches above the root of the tree scanned.",
    "import relatif hors de l'arbre \u2014 '",
)
REACHED = Kind(
    "forbidden-module-reached",
    "error",
    "A forbidden module, or an object defined in one, reached by a chain of names through a module the policy "
    "allows: `from logging import os`, `logging.os.system`, `tempfile._shutil`.",
    "module interdit atteint par une cha\u00eene de noms \u2014 '",
)
OBJECT_GRAPH = Kind(
    "object-graph",
    "warning",
    "What leads into the interpreter's objects, where every module's globals can be reached without an import: "
    "`__globals__`, `__subclasses__`, `__code__`, frames (`f_back`, `tb_frame`), `gc.get_objects()`, "
    "`sys._getframe()`.",
    "acc\u00e8s au graphe des objets de l'interpr\u00e9teur \u2014 '",
)
SEARCH_PATH = Kind(
    "search-path",
    "warning",
    "Where imports are searched changed: `sys.path`, `sys.meta_path`, `sys.path_hooks`, a package's `__path__` or "
    "`submodule_search_locations`, assigned or changed in place.",
    "chemins de recherche des imports modifi\u00e9s \u2014 '",
)
ATTRIBUTE_USE = Kind(
    "forbidden-attribute-use",
    "error",
    "A use of a forbidden module that none of the policy's allowed attributes covers: another attribute, the bare "
    "name passed on, a chain through an allowed attribute back to a forbidden module (`os.path.os`).",
    "usage d'un module interdit hors des attributs permis \u2014 '",
)
TYPE_CHECKING_IMPORT = Kind(
    "type-checking-import",
    "warning",
    "A finding under `if TYPE_CHECKING:`, which runs only for type checkers: a warning, as the policy's "
    "type_checking says.",
)
TYPE_CHECKING_CHANGED = Kind(
    "type-checking-changed",
    "error",
    "A file that may change typing.TYPE_CHECKING (assigned, set by a name that is no constant), where the policy "
    "judges what only type checkers see otherwise than any import.",
    "TYPE_CHECKING modifiable par ce fichier, dont la politique d\u00e9pend \u2014 '",
)
# The gate's, from the imports the engine keeps for it (missing_local).
MISSING_LOCAL = Kind(
    "missing-local-module",
    "warning",
    "A relative import, or one of the plugin's own modules, that no file of the tree provides: Python takes "
    "whatever its search path leads to, the standard library's module of that name once the plugin extended it.",
    "module local absent de l'arbre \u2014 '",
)
# A constant text given to exec, eval or compile that Python refuses.
REFUSED_CODE_TEXT = "code dynamique refus\u00e9 par Python, qui ne l'ex\u00e9cutera pas"

# The walk's: entries of a tree that Python could import or run but that are
# no source to read, and entries that cannot be walked. Each names its entry.
EXTENSION_MODULE = Kind(
    "extension-module", "error", "A compiled extension module (.so, .pyd): Python imports it, no one can read it."
)
COMPILED_BYTECODE = Kind(
    "compiled-bytecode", "error", "A .pyc file, which Python may run beside or instead of the reviewed source."
)
PATH_CONFIGURATION = Kind(
    "path-configuration-file", "error", "A .pth file, whose import lines run when the interpreter starts."
)
UNREAD_ARCHIVE = Kind(
    "unread-archive", "error",
    "An archive (wheel, zip, zipapp, egg, sdist) that a walk found and its caller did not read: nothing in it is "
    "judged.",
)
UNREAD_ENTRY_POINTS = Kind(
    "unread-entry-points", "error",
    "An entry_points.txt of a distribution's metadata or a pyproject.toml that a walk found and its caller did not "
    "read: the entry points it declares, which the host imports, are not judged.",
)
DANGLING_LINK = Kind("dangling-link", "error", "A link named as a module or importable file whose target does not exist.")
NOT_A_REGULAR_FILE = Kind(
    "not-a-regular-file", "error", "A FIFO, socket or device named as a module or importable file."
)
LINK_LOOP = Kind("link-loop", "error", "A link that leads back into itself or to a directory above it.")
UNREADABLE_ENTRY = Kind(
    "unreadable-entry", "error", "A directory that cannot be opened or listed, or an entry that cannot be looked up."
)

WALK_KINDS = frozenset({
    EXTENSION_MODULE, COMPILED_BYTECODE, PATH_CONFIGURATION, UNREAD_ARCHIVE, UNREAD_ENTRY_POINTS, DANGLING_LINK, NOT_A_REGULAR_FILE,
    LINK_LOOP, UNREADABLE_ENTRY,
})

# The archives': what makes an archive hostile or leaves it unread, each
# finding on the archive itself and naming the member concerned.
AMBIGUOUS_ARCHIVE = Kind(
    "ambiguous-archive", "error",
    "An archive that two of Python's readers (zipfile, zipimport, pip's installer, tarfile with and without its data "
    "filter) would read differently.",
    "archive ambigu\u00eb, que deux lecteurs de Python liraient diff\u00e9remment",
)
UNSAFE_MEMBER = Kind(
    "unsafe-archive-member", "error",
    "A member an extractor would write outside its target or as no regular file: '..', an absolute name, a drive, a "
    "control character, a link, a device, a FIFO.",
    "membre dangereux \u00e0 extraire",
)
RECORD_MISMATCH = Kind(
    "wheel-record-mismatch", "error", "A wheel whose RECORD does not list exactly its files with their hashes.",
    "wheel dont le RECORD ne correspond pas au contenu",
)
ARCHIVE_BOUND = Kind(
    "archive-bound-exceeded", "error",
    "An archive past a bound of the policy (members, nesting depth, a member's size or ratio, bytes decompressed): "
    "refused, not read on.",
    "lecture de l'archive arr\u00eat\u00e9e par une borne de la politique",
)
UNREADABLE_ARCHIVE = Kind(
    "unreadable-archive", "error", "An archive Python's readers cannot read: no zip or tar, cut short, or corrupt.",
    "archive illisible pour les lecteurs de Python",
)
# The entry points' reader's: what it cannot read or judge, on the entry's
# line or the whole file.
INVALID_ENTRY_POINT = Kind(
    "invalid-entry-point", "error",
    "An entry point the gate cannot judge as the host would load it: a file of them that cannot be decoded or "
    "parsed, an entry outside any group or without '=', a target that is not a dotted name of identifiers.",
    "point d'entr\u00e9e illisible",
)
# The run's: a path under which nothing was judged.
NOTHING_JUDGED = Kind(
    "nothing-judged", "error", "A path given, in a run that judged no file at all.",
    "aucun fichier jug\u00e9 (ni source Python, ni archive, ni fichier que Python importerait)",
)

# What says a file or archive was not read to its end: it fails, and the
# summary counts it apart from the files judged.
UNREAD_KINDS = frozenset({
    UNREADABLE, UNREAD_ARCHIVE, UNREAD_ENTRY_POINTS, DANGLING_LINK, NOT_A_REGULAR_FILE, LINK_LOOP, UNREADABLE_ENTRY,
    ARCHIVE_BOUND, UNREADABLE_ARCHIVE, NOTHING_JUDGED,
})

KINDS = (
    FORBIDDEN, UNLISTED, UNREADABLE, OTHER_ERROR, OTHER_WARNING, HIDDEN_FORBIDDEN, HIDDEN_UNLISTED, DYNAMIC, UNAUDITED,
    EXTENSION_MODULE, COMPILED_BYTECODE, PATH_CONFIGURATION, UNREAD_ARCHIVE, UNREAD_ENTRY_POINTS, DANGLING_LINK,
    NOT_A_REGULAR_FILE, LINK_LOOP, UNREADABLE_ENTRY,
    IMPORTER_REFERENCE, DYNAMIC_CODE, RELATIVE_DYNAMIC, ABOVE_ROOT, REACHED, OBJECT_GRAPH, SEARCH_PATH,
    ATTRIBUTE_USE, TYPE_CHECKING_IMPORT, TYPE_CHECKING_CHANGED,
    MISSING_LOCAL, AMBIGUOUS_ARCHIVE, UNSAFE_MEMBER, RECORD_MISMATCH, ARCHIVE_BOUND, UNREADABLE_ARCHIVE, INVALID_ENTRY_POINT,
    NOTHING_JUDGED,
)


class _KindOfRule(dict[str, Kind]):
    """The kind of each rule id; a rule the engine reports that no kind above
    names (one added to the engine's table since) is made from the table's
    level, so that its findings are reported, never refused."""

    def __missing__(self, rule: str) -> Kind:
        level = dict(scanner_audit.rules()).get(rule, "error")
        made = self[rule] = Kind(rule, level, f"A finding of the rule {rule}.")
        return made


KIND_OF_RULE = _KindOfRule({kind.id: kind for kind in KINDS})


class Finding(NamedTuple):
    """One finding. A named tuple: a run makes one per finding, and a tuple
    costs a third of a frozen dataclass to make."""

    kind: Kind
    line: int | None  # None for a finding about the whole file
    module: str | None  # the module judged, or the function called; None where there is none
    message: str
    # What identifies the finding from one run to the next (scanner_gate.fingerprint);
    # None until fingerprinted, and when its line could not be read back.
    fingerprint: str | None = None
    # 1-based, in characters of the line: where the statement starts; None
    # where the engine does not know it (the whole file).
    column: int | None = None
    # Where the import stands: "module", or some of "class", "function",
    # "main", "optional", "type-checking" joined by commas; None where not known.
    context: str | None = None


def archive_message(kind: Kind, filepath: str, reason: str) -> str:
    """The message of a finding of an archive's rule on the report of
    `filepath`, in the engine's shape: `<filepath>: <the rule's text>
    (<reason>)`, the reason saying what is wrong, and with which member
    (named `ARCHIVE!/MEMBER`, escaped by the reports as every name is)."""
    return f"{filepath}: {kind.text} ({reason})"


def line_order(finding: Finding) -> tuple[bool, int, bool, int, str]:
    """The key of the order every format lists a file's findings in: those
    about the whole file first, then by line, then by column (unknown last,
    so that on a line the scan's statement comes before what the audit
    adds), then by rule."""
    column = finding.column
    return (finding.line is not None, finding.line or 0, column is None, column or 0, finding.kind.id)


class FileReport:
    """One file's findings: the line scan's, then the audit's. Findings a
    baseline accepts are `known`: reported, but they neither fail the file
    nor count as its errors and warnings.

    A report of the engine's (`native`) makes its findings only when a
    format or the baseline asks for them: the text and JSON reports take
    the file's part ready-made from the engine (scanner_audit.Report's
    text_block and json_block), and the tally its counts."""

    __slots__ = ("filepath", "_findings", "fail_on_warning", "known", "native", "name", "error_total",
                 "warning_total", "passed", "_unread", "nested", "section", "skipped", "skip_refused",
                 "allowed_used")

    def __init__(self, filepath: str, findings: list[Finding] | None, fail_on_warning: bool = False,
                 known: list[Finding] | None = None, native: scanner_audit.Report | None = None,
                 counts: tuple[int, int] | None = None, unread: bool | None = None, nested: int = 0,
                 allowed_used: list[str] | None = None) -> None:
        self.filepath = filepath
        # How many archives `filepath` names a member of, one inside the
        # other: it is then ARCHIVE!/MEMBER (!/MEMBER...), and no member name
        # holds "!/".
        self.nested = nested
        self._findings = findings
        self.fail_on_warning = fail_on_warning  # deny by default: a warning fails the file too
        self.known = [] if known is None else known
        self.native = native  # the engine's record, whose findings these are; None for findings made here
        self.name: str | None = None  # how fingerprints name the file, once the run needs them
        # The counts and the verdict, known once made: a run asks for them of
        # every file, and most files' findings are never made here.
        if findings is None:  # `counts`: the native record's, when the caller has them already
            assert native is not None
            self.error_total, self.warning_total = native.counts() if counts is None else counts
        else:
            self.error_total = sum(finding.kind.level == "error" for finding in findings)
            self.warning_total = len(findings) - self.error_total
        self.passed = not self.error_total and not (fail_on_warning and self.warning_total)
        self._unread = unread
        # The policy's [[paths]] section that judged the file (None: the
        # policy itself); whether it skipped the file unjudged; and why a
        # skip it asked for was refused, when it was.
        self.section: str | None = None
        self.skipped = False
        self.skip_refused: str | None = None
        # The allowed attributes of forbidden modules the file used (`os.path`):
        # the engine's, also when its findings are made here.
        if allowed_used is None:
            allowed_used = native.allowed_used if native is not None else []
        self.allowed_used: list[str] = allowed_used

    def replace(self, findings: list[Finding], known: list[Finding] | None = None) -> "FileReport":
        """The same file with other findings (and known ones), made here."""
        made = FileReport(self.filepath, findings, self.fail_on_warning, self.known if known is None else known,
                          unread=self.unread, nested=self.nested)
        made.name = self.name
        made.section, made.skipped, made.skip_refused = self.section, self.skipped, self.skip_refused
        made.allowed_used = self.allowed_used
        return made

    def __repr__(self) -> str:
        return f"FileReport({self.filepath!r}, {self.findings!r}, {self.fail_on_warning!r}, {self.known!r})"

    @property
    def unread(self) -> bool:
        """Whether the file (or archive) was left unread, in part or whole:
        it fails, and is counted apart from the files judged. Told by the
        caller or the engine when they know; else by the findings."""
        if self._unread is None:
            if self.passed:
                self._unread = False
            elif self._findings is None and self.native is not None:
                self._unread = self.native.unread
            else:
                self._unread = any(finding.kind in UNREAD_KINDS for finding in self.findings)
        return self._unread

    @property
    def ready_made(self) -> bool:
        """Whether the engine writes this file's part of a text or JSON
        report: its findings are the engine's, none of them known."""
        return self._findings is None and not self.known and self.section is None

    @property
    def findings(self) -> list[Finding]:
        if self._findings is None:
            native = self.native
            assert native is not None
            self._findings = both_findings(native)
        return self._findings

    @property
    def errors(self) -> list[str]:
        return [finding.message for finding in self.findings if finding.kind.level == "error"]

    @property
    def warnings(self) -> list[str]:
        return [finding.message for finding in self.findings if finding.kind.level == "warning"]

    def rules(self) -> list[str]:
        """The rule of each finding that counts (the known ones left out),
        without making the findings of a native report."""
        if self._findings is None:
            native = self.native
            assert native is not None
            return native.rules
        return [finding.kind.id for finding in self._findings]

    def counts(self) -> tuple[int, int]:
        """(errors, warnings) among the findings, the known ones left out."""
        return self.error_total, self.warning_total

    def error_count(self) -> int:
        return self.error_total

    def in_report_order(self) -> list[Finding]:
        """The findings in line order (line_order), as every format lists them."""
        return sorted(self.findings, key=line_order)


def findings_of(rows: list[tuple[str, int | None, int | None, str | None, str]],
                contexts: "Sequence[str] | None" = None) -> list[Finding]:
    """Findings from the native (rule, line, column, module, message) rows,
    as the engine made them, with their contexts ("" where not known):
    nothing is read back from a message."""
    kind_of_rule = KIND_OF_RULE
    if not contexts or not any(contexts):
        return [
            Finding(kind_of_rule[rule], line, module, message, None, column)
            for rule, line, column, module, message in rows
        ]
    return [
        Finding(kind_of_rule[rule], line, module, message, None, column, context or None)
        for (rule, line, column, module, message), context in zip(rows, contexts, strict=True)
    ]


def both_findings(result: scanner_audit.Report) -> list[Finding]:
    """The line scan's findings then the audit's, with where they stand."""
    scan_rows, audit_rows = result.scan_tuples, result.finding_tuples
    contexts = result.contexts
    return findings_of(scan_rows, contexts[:len(scan_rows)]) + findings_of(audit_rows, contexts[len(scan_rows):])


def scan_findings(result: scanner_audit.Report) -> list[Finding]:
    """The line scan's findings in one native report, in line order."""
    rows = result.scan_tuples
    return findings_of(rows, result.contexts[:len(rows)])


def audit_findings(result: scanner_audit.Report) -> list[Finding]:
    """The audit's (or the walk's) findings in one native report, in line order."""
    rows = result.finding_tuples
    return findings_of(rows, result.contexts[len(result.scan_tuples):])


class Summary(NamedTuple):
    scanned: int  # files read and judged: passed + failed
    passed: int
    failed: int
    errors: int
    warnings: int
    known: int | None = None  # findings a baseline accepts; None in a run without one
    unread: int = 0  # files, archives and paths refused or left unread, apart from those scanned
    skipped: int = 0  # files a [[paths]] section skipped, listed unjudged, apart from those scanned

    @classmethod
    def of(cls, reports: "Sequence[FileReport]") -> "Summary":
        unread = sum(1 for report in reports if report.unread)
        failed = sum(1 for report in reports if not report.passed and not report.unread)
        return cls(
            scanned=len(reports) - unread,
            passed=len(reports) - unread - failed,
            failed=failed,
            errors=sum(len(report.errors) for report in reports),
            warnings=sum(len(report.warnings) for report in reports),
            unread=unread,
        )

    def line(self) -> str:
        """The summary as the text and github formats end with it."""
        return (
            f"{plural(self.scanned, 'file')} scanned: {self.passed} passed, {self.failed} failed; "
            + (f"{self.unread} not read; " if self.unread else "")
            + f"{plural(self.errors, 'error')}, {plural(self.warnings, 'warning')}"
            + ("" if self.known is None else f"; {self.known} known (in the baseline)")
            + (f"; {self.skipped} skipped (by the policy's paths)" if self.skipped else "")
        )


class Tally:
    """The summary of a run as its reports go by, one at a time: the report
    is written as files are judged, and its summary comes last."""

    def __init__(self, baseline: bool = False, by_rule: bool = False) -> None:
        self.scanned = self.failed = self.errors = self.warnings = self.unread = self.skipped = 0
        self.known: int | None = 0 if baseline else None
        # The findings that count, by rule id, when the report shows them.
        self.by_rule: dict[str, int] | None = {} if by_rule else None

    def add(self, report: FileReport) -> None:
        if report.skipped:
            self.skipped += 1
            return
        if not report.passed and report.unread:
            self.unread += 1
        else:
            self.scanned += 1
            self.failed += not report.passed
        self.errors += report.error_total
        self.warnings += report.warning_total
        if self.known is not None:
            self.known += len(report.known)
        if self.by_rule is not None and (report.error_total or report.warning_total):
            by_rule = self.by_rule
            for rule in report.rules():
                by_rule[rule] = by_rule.get(rule, 0) + 1

    @property
    def failed_any(self) -> bool:
        """Whether the run fails: a file failed, or one was not read."""
        return bool(self.failed or self.unread)

    def summary(self) -> Summary:
        return Summary(self.scanned, self.scanned - self.failed, self.failed, self.errors, self.warnings, self.known,
                       self.unread, self.skipped)


def plural(count: int, word: str) -> str:
    return f"{count} {word}" if count == 1 else f"{count} {word}s"
