"""The policy's [[paths]] sections at work: which section judges each file
found (its path relative to the path given, a member of an archive as
ARCHIVE!/MEMBER), with which scanner, and which files are skipped.

A section's skip is honoured only where no judged code can reach the
file through an import the policy does not judge: a relative import, or
one whose root is a local module or an allowed one. So a file is skipped
only when no file judged in the run lies in its top-level package (the
first part of its path below the path given, or below the last directory
whose name is no identifier: relative imports cannot climb above it) nor directly at the root of the path given (which may be
a package itself), and that package's name is neither local nor allowed
by the policy or any section. Where a skip is refused, the file is judged by
the policy as any other, its report naming the section and why."""

import os

import scanner_audit

from scanner_gate.archives import SEPARATOR
from scanner_gate.findings import FileReport
from scanner_gate.policy import Policy, Section

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable, Iterable, Iterator
    from typing import Protocol, TypeVar

    class Found(Protocol):
        """What a section is chosen by: a file found by the run (scan's)."""

        @property
        def filepath(self) -> str: ...
        @property
        def given(self) -> str: ...
        @property
        def tree(self) -> bool: ...
        @property
        def archive(self) -> object: ...

    from scanner_gate.options import Options

    F = TypeVar("F", bound=Found)
    Judge = Callable[[str], tuple[scanner_audit.Scanner, Policy]]


def match_name(filepath: str, given: str, tree: bool) -> str:
    """The path the sections' globs are matched against: relative to the
    directory given, or the file given as named; '/' between its parts."""
    name = os.path.relpath(filepath, given) if tree else os.path.normpath(filepath)
    return name.replace(os.sep, "/")


def _top(name: str, nested: int) -> str:
    """The top-level package (or module) of a file by its matched name: its
    first part, the extension of a module dropped; for a member, the
    archive's name and the member's first part. A directory whose name is
    no identifier (an sdist's `name-1.0/`) is no package an import
    statement can name, only a root the parts below it start from: its
    path comes before the top-level part."""
    prefix, _, path = name.rpartition(SEPARATOR) if nested else ("", "", name)
    parts = path.split("/")
    start = 0
    for index, part in enumerate(parts[:-1]):
        if not part.isidentifier():
            start = index + 1
    first = parts[start]
    if start == len(parts) - 1 and first.endswith(".py"):
        first = first[:-3]
    return (prefix + SEPARATOR if nested else "") + "/".join([*parts[:start], first])


class Judging:
    """Which section judges each file of one run, and the skips it asked for."""

    def __init__(self, policy: Policy, options: "Options") -> None:
        self.policy = policy
        self.options = options
        self._scanners = {section.name: section.policy.scanner() for section in policy.sections
                          if section.policy is not None}
        self._judged: set[str] = set()  # the top-level packages of the files judged
        self._skipping: dict[int, tuple[str, str, Section]] = {}  # by id() of the report held: root, name, section
        self._allowing: list[scanner_audit.Scanner] | None = None  # the scanners of the policy and its sections

    def _by(self, section: Section | None, scanner: scanner_audit.Scanner) -> tuple[scanner_audit.Scanner, Policy]:
        if section is None or section.policy is None:
            return scanner, self.policy
        return self._scanners[section.name], section.policy

    def made(self, file: "F", scanner: scanner_audit.Scanner,
             make: "Callable[[F, scanner_audit.Scanner, Policy, Judge | None], Iterator[FileReport]]",
             rescanned: "Callable[[F, scanner_audit.Scanner, Policy, Options], F]") -> "Iterator[FileReport]":
        """The reports of a file found, each judged by its section, named
        with it, and held aside when it is to be skipped. `make` makes the
        reports of a file, `rescanned` scans it again under another policy
        (the run's own, which this module does not import)."""
        base = match_name(file.filepath, file.given, file.tree)
        # The root that relative imports reach up to: the tree given, or for
        # a file given itself the current directory (scanner_gate.tree_root).
        root = file.given if file.tree else ""
        own = self.policy.section_for(base)
        chosen, policy = self._by(own, scanner)
        if chosen is not scanner:
            file = rescanned(file, chosen, policy, self.options)
        judge = None
        if file.archive is not None:
            def judge(where: str) -> tuple[scanner_audit.Scanner, Policy]:
                return self._by(self.policy.section_for(base + where[len(file.filepath):]), scanner)
        for report in make(file, chosen, policy, judge):
            name = base + report.filepath[len(file.filepath):] if report.filepath != file.filepath else base
            section = own if report.filepath == file.filepath else self.policy.section_for(name)
            if section is not None:
                report.section = section.name
                if section.skip:
                    self._skipping[id(report)] = (root, name, section)
                    yield report
                    continue
            self._judged.add(f"{root}\0{_top(name, report.nested)}")
            if not report.nested and "/" not in name:
                # A module at the root: the root may be its package, whose
                # relative imports reach every file below it.
                self._judged.add(f"{root}\0")
            yield report

    def settled(self, reports: "Iterable[FileReport]") -> "list[FileReport]":
        """The reports, in their order, once all are judged: those a section
        skips replaced by their skipped report or, where the skip is
        refused, left judged and saying why."""
        held = list(reports)
        settled = []
        for report in held:
            skipping = self._skipping.get(id(report))
            if skipping is None:
                settled.append(report)
                continue
            root, name, section = skipping
            top = _top(name, report.nested)
            reason = self._refusal(top.rpartition(SEPARATOR)[2].rpartition("/")[2])
            if reason is None and f"{root}\0{top}" in self._judged:
                reason = f"{top!r} holds files judged in this run, which may import it"
            # The root's package reaches by relative imports only the parts
            # whose every directory an import can name.
            if reason is None and not report.nested and "/" not in top and f"{root}\0" in self._judged:
                reason = ("modules judged in this run lie at the root of the path given, whose package's relative "
                          "imports reach it")
            if reason is None:
                skipped = FileReport(report.filepath, [], nested=report.nested)
                skipped.section, skipped.skipped = section.name, True
                settled.append(skipped)
            else:
                report.skip_refused = reason
                settled.append(report)
        return settled

    def _refusal(self, top: str) -> str | None:
        """Why a package of this name could be imported without the policy
        judging the import, if it could."""
        policies = [self.policy, *(section.policy for section in self.policy.sections if section.policy)]
        if any(top in policy.local_modules for policy in policies):
            return f"{top!r} is a local module, which the policy does not judge"
        if self._allowing is None:
            self._allowing = [self.policy.scanner(), *self._scanners.values()]
        if top.isidentifier() and any(scanner.is_allowed(top) for scanner in self._allowing):
            return f"{top!r} is allowed by the policy"
        return None
