"""The import policy: where it is read from, and what it may hold.

A policy is either a file named with --policy (TOML with the tables [policy]
and [plugin]), or the tables [tool.scanner-core.policy] and
[tool.scanner-core.plugin] of the pyproject.toml in the current directory.
Either may add sections for paths ([[paths]], [[tool.scanner-core.paths]]):
each matches files by globs (scanner_gate.path_globs) and replaces keys of
the policy for them, or skips them; the first that matches a file applies.
Nothing inside a scanned tree is ever read for it: a plugin must not choose
its own policy.
"""

import keyword
import os
import threading
import unicodedata

import scanner_audit

from scanner_gate import FAIL_ON, LANGUAGES, policy_cache
from scanner_gate.escape import escape

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Iterable, Mapping
    from typing import NamedTuple

    from scanner_gate.path_globs import Glob
else:
    from scanner_gate.records import NamedTuple

# The tables a policy may hold and their keys; each value is a list of str
# but fail_on's, one of FAIL_ON, lang's, one of LANGUAGES, and the archive
# bounds', positive integers. Anything else is refused, so that a misspelt
# "forbiden" does not silently forbid nothing.
POLICY_KEYS = {
    "policy": ("forbidden", "allowed_exact", "allowed_prefixes", "allowed_attributes", "type_checking", "fail_on",
               "lang", "holdings"),
    "plugin": ("local_modules",),
    "archives": ("max_members", "max_depth", "max_member_bytes", "max_ratio", "max_total_bytes"),
}
# What a [[paths]] section may hold beside the policy's keys it replaces.
SECTION_KEYS = ("name", "match", "skip")
SECTION_POLICY_KEYS = ("forbidden", "allowed_exact", "allowed_prefixes", "allowed_attributes", "type_checking",
                       "fail_on", "local_modules")
# How imports only type checkers see (under `if TYPE_CHECKING:`) are judged:
# as any import (the default), as warnings, or not at all.
TYPE_CHECKING_MODES = ("error", "warning", "ignore")
PATHS = "paths"
PYPROJECT = "pyproject.toml"
TOOL = "scanner-core"


class PolicyError(Exception):
    """The policy cannot be found or used; the message says why and where."""


class ArchiveBounds(NamedTuple):
    """What an archive may cost before it is refused unread (an error, never
    a wait). Each counts over the archive given and every archive nested in
    it (docs/archives.md)."""

    max_members: int = 10_000  # members, directories included
    max_depth: int = 2  # archives read one inside the other: 1 is the one given alone
    max_member_bytes: int = 2 << 30  # a member's declared size, decompressed
    max_ratio: int = 100  # a member's declared size over its compressed size, from 1 MiB up
    max_total_bytes: int = 4 << 30  # bytes decompressed in all


# The scanners made, by the lists they were made of: a batch's jobs mostly
# share a few grants. Bounded, so that memory follows the jobs at work.
SCANNERS_KEPT = 32
_SCANNERS: "dict[tuple[object, ...], scanner_audit.Scanner]" = {}
_SCANNERS_LOCK = threading.Lock()


class Policy(NamedTuple):
    forbidden: frozenset[str]
    allowed_exact: frozenset[str]
    allowed_prefixes: tuple[str, ...]
    local_modules: frozenset[str]
    source: str  # the file it was read from, as named
    fail_on: str = "error"  # one of FAIL_ON
    lang: str | None = None  # the reports' language, one of LANGUAGES; None: the command's default
    bounds: ArchiveBounds = ArchiveBounds()
    sections: "tuple[Section, ...]" = ()  # [[paths]], in the order given
    # Attribute chains of forbidden modules a plugin may use (`os.path`).
    allowed_attributes: tuple[str, ...] = ()
    type_checking: str = "error"  # one of TYPE_CHECKING_MODES
    # The rows of the tables its holdings key names (scanner_gate.holding_tables),
    # which every section's policy shares.
    holdings: "tuple[tuple[str, str, str, bool, bool], ...]" = ()

    def scanner(self) -> scanner_audit.Scanner:
        """The scanner of the policy's lists: one per process for the same
        lists (a scanner is immutable and shared by threads; the local
        modules, which tell policies apart, are given to each scan)."""
        key = (self.forbidden, self.allowed_exact, self.allowed_prefixes, self.holdings, self.allowed_attributes,
               self.type_checking)
        with _SCANNERS_LOCK:
            made = _SCANNERS.get(key)
        if made is None:
            # The gate looks up the local imports the audit keeps (missing_local).
            if not self.allowed_attributes and self.type_checking == "error":
                made = scanner_audit.Scanner(self.forbidden, self.allowed_exact, list(self.allowed_prefixes),
                                             list(self.holdings), local_imports=True)
            else:
                made = scanner_audit.Scanner(self.forbidden, self.allowed_exact, list(self.allowed_prefixes),
                                             list(self.holdings), list(self.allowed_attributes),
                                             self.type_checking, local_imports=True)
            with _SCANNERS_LOCK:
                if len(_SCANNERS) >= SCANNERS_KEPT:
                    del _SCANNERS[next(iter(_SCANNERS))]  # the oldest: a batch's grants come and go
                made = _SCANNERS.setdefault(key, made)
        return made

    def failing_on_warnings(self) -> "Policy":
        """The policy, and each of its sections', with every warning failing
        its file (--fail-on warning: the stricter applies everywhere)."""
        sections = tuple(section._replace(policy=section.policy._replace(fail_on="warning"))
                         if section.policy is not None else section for section in self.sections)
        return self._replace(fail_on="warning", sections=sections)

    def section_for(self, name: str) -> "Section | None":
        """The first section whose globs match `name` (a path relative to
        the path given, '/' between its parts), None for none."""
        from scanner_gate.path_globs import matches

        for section in self.sections:
            if any(matches(glob, name) for glob in section.globs):
                return section
        return None


class Section(NamedTuple):
    """A [[paths]] section: the files its globs match are judged by its
    policy (the base policy with the keys it gives replaced), or skipped."""

    name: str  # its name = "...", else "paths #N (GLOB, ...)", N from 1
    globs: "tuple[Glob, ...]"  # compiled (scanner_gate.path_globs)
    skip: bool
    policy: Policy | None  # None when it skips


def as_named(path: str) -> str:
    """`path` as pathlib writes it (str(pathlib.Path(path))): separators
    made one, '.' parts and a trailing separator dropped. Without importing
    pathlib, which costs more than a small run."""
    _, root, relative = os.path.splitroot(path)
    parts = [part for part in relative.split("/") if part and part != "."]
    return root + "/".join(parts) if root or parts else "."


def _read(path: str) -> bytes:
    try:
        with open(path, "rb") as stream:
            return stream.read()
    except OSError as error:
        raise PolicyError(f"cannot read {escape(path)}: {error.strerror}") from error


def _parse(path: str, source: bytes) -> dict[str, object]:
    # Imported only when no tables read before serve (policy_cache): it
    # costs more than judging a small plugin.
    import tomllib

    try:
        return tomllib.loads(source.decode())
    except tomllib.TOMLDecodeError as error:
        raise PolicyError(f"{escape(path)} is not valid TOML: {error}") from error


def _from_tables(tables: "Mapping[str, object]", source: str, prefix: str) -> Policy:
    """A policy from its two tables, read from `source`; `prefix` names the
    tables in messages."""
    where = escape(source)
    values: dict[str, list[str]] = {}
    bounds: dict[str, int] = {}
    fail_on = "error"
    type_checking = "error"
    lang = None
    paths: object = None
    for table, content in tables.items():
        if table == PATHS:
            paths = content
            continue
        if table not in POLICY_KEYS or not isinstance(content, dict):
            expected = " and ".join(f"[{prefix}{name}]" for name in POLICY_KEYS) + f" and [[{prefix}{PATHS}]]"
            raise PolicyError(f"{where}: unknown section [{prefix}{table}] (expected {expected})")
        for key, value in content.items():
            if key not in POLICY_KEYS[table]:
                expected = ", ".join(POLICY_KEYS[table])
                raise PolicyError(f"{where}: unknown key {key!r} in [{prefix}{table}] (expected {expected})")
            if key == "fail_on":
                if value not in FAIL_ON:
                    expected = " or ".join(f'"{level}"' for level in FAIL_ON)
                    raise PolicyError(f"{where}: [{prefix}{table}] fail_on must be {expected}")
                fail_on = value
                continue
            if key == "type_checking":
                if value not in TYPE_CHECKING_MODES:
                    expected = " or ".join(f'"{mode}"' for mode in TYPE_CHECKING_MODES)
                    raise PolicyError(f"{where}: [{prefix}{table}] type_checking must be {expected}")
                type_checking = value
                continue
            if key == "lang":
                if value not in LANGUAGES:
                    expected = " or ".join(f'"{name}"' for name in LANGUAGES)
                    raise PolicyError(f"{where}: [{prefix}{table}] lang must be {expected}")
                lang = value
                continue
            if table == "archives":
                # A bool is an int to Python, and means no bound to a reader.
                if not isinstance(value, int) or isinstance(value, bool) or value < 1:
                    raise PolicyError(f"{where}: [{prefix}{table}] {key} must be a positive integer")
                bounds[key] = value
                continue
            if not isinstance(value, list) or not all(isinstance(item, str) for item in value):
                raise PolicyError(f"{where}: [{prefix}{table}] {key} must be a list of strings")
            values[key] = value
    policy = Policy(
        holdings=_holdings(values.get("holdings", []), source, where, prefix),
        forbidden=frozenset(values.get("forbidden", [])),
        allowed_exact=frozenset(values.get("allowed_exact", [])),
        allowed_prefixes=tuple(values.get("allowed_prefixes", [])),
        local_modules=frozenset(values.get("local_modules", [])),
        source=source,
        fail_on=fail_on,
        lang=lang,
        bounds=ArchiveBounds(**bounds),
        allowed_attributes=tuple(values.get("allowed_attributes", [])),
        type_checking=type_checking,
    )
    _refuse_what_judges_nothing(policy, where, prefix)
    if paths is not None:
        policy = policy._replace(sections=_sections(paths, policy, where, prefix))
    return policy


def _holdings(files: "list[str]", source: str, where: str, prefix: str) -> "tuple[tuple[str, str, str, bool, bool], ...]":
    """The rows of the tables of holdings named, each path relative to the
    policy's file. One that cannot be read refuses the policy: passed over,
    the routes it closes would stay open unseen."""
    if not files:
        return ()
    from scanner_gate.holding_tables import HoldingsError, read

    rows: "list[tuple[str, str, str, bool, bool]]" = []
    for file in files:
        path = os.path.join(os.path.dirname(source), file)
        try:
            rows.extend(read(path))
        except HoldingsError as error:
            raise PolicyError(f"{where}: [{prefix}policy] holdings: {error}") from error
    return tuple(rows)


def _sections(paths: object, base: Policy, where: str, prefix: str) -> "tuple[Section, ...]":
    """The [[paths]] sections, each checked as a policy of its own."""
    from scanner_gate.path_globs import GlobError, compile_glob

    if not isinstance(paths, list) or not all(isinstance(section, dict) for section in paths):
        raise PolicyError(f"{where}: {prefix}{PATHS} must be an array of tables ([[{prefix}{PATHS}]])")
    sections = []
    for number, table in enumerate(paths, 1):
        here = f"[[{prefix}{PATHS}]] #{number}"
        for key in table:
            if key not in SECTION_KEYS + SECTION_POLICY_KEYS:
                expected = ", ".join(SECTION_KEYS + SECTION_POLICY_KEYS)
                raise PolicyError(f"{where}: unknown key {key!r} in {here} (expected {expected})")
        globs = table.get("match")
        if not isinstance(globs, list) or not globs or not all(isinstance(glob, str) for glob in globs):
            raise PolicyError(f"{where}: {here} needs match, a list of globs (\"tests/**\", \"**/conftest.py\")")
        try:
            compiled = tuple(compile_glob(glob) for glob in globs)
        except GlobError as error:
            raise PolicyError(f"{where}: {here} match: {escape(str(error))}") from error
        name = table.get("name", f"paths #{number} ({', '.join(globs)})")
        if not isinstance(name, str) or not name:
            raise PolicyError(f"{where}: {here} name must be a string")
        skip = table.get("skip", False)
        if not isinstance(skip, bool):
            raise PolicyError(f"{where}: {here} skip must be true or false")
        replaced = {key: table[key] for key in SECTION_POLICY_KEYS if key in table}
        if skip and replaced:
            raise PolicyError(f"{where}: {here} skips its files, so its {', '.join(replaced)} would judge nothing "
                              "(give skip = true, or keys of the policy, not both)")
        if not skip and not replaced:
            raise PolicyError(f"{where}: {here} neither skips its files nor replaces a key of the policy")
        policy = None
        if not skip:
            # The base's keys with the section's in their place, checked whole.
            tables: dict[str, dict[str, object]] = {
                "policy": {"forbidden": sorted(base.forbidden), "allowed_exact": sorted(base.allowed_exact),
                           "allowed_prefixes": list(base.allowed_prefixes),
                           "allowed_attributes": list(base.allowed_attributes),
                           "type_checking": base.type_checking, "fail_on": base.fail_on},
                "plugin": {"local_modules": sorted(base.local_modules)},
            }
            for key, value in replaced.items():
                tables["plugin" if key == "local_modules" else "policy"][key] = value
            made = _from_tables(tables, base.source, f"{prefix}{PATHS} #{number}: ")
            policy = made._replace(lang=base.lang, bounds=base.bounds, holdings=base.holdings)
        sections.append(Section(name, compiled, skip, policy))
    return tuple(sections)


def _is_top_level_name(entry: str) -> bool:
    """Whether an import can name `entry` as its root: an identifier as
    Python reads one (after NFKC, which Python applies to every name), and
    no keyword."""
    return entry.isidentifier() and not keyword.iskeyword(entry) and unicodedata.normalize("NFKC", entry) == entry


def _refuse_what_judges_nothing(policy: Policy, where: str, prefix: str) -> None:
    """Refuses a policy under which some entry, or the whole policy, can
    never match an import: roots are compared, so "os.path" or "os.*" would
    forbid nothing, and a forbidden local module would pass as local."""
    for entry in sorted(policy.forbidden):
        if not _is_top_level_name(entry):
            raise PolicyError(
                f"{where}: [{prefix}policy] forbidden entry {escape(repr(entry))} is not a top-level module name "
                "(an identifier without dots, spaces or wildcards, as an import statement names it): "
                "it would forbid nothing"
            )
    scanner = policy.scanner()
    for entry in policy.allowed_attributes:
        parts = entry.split(".")
        if len(parts) < 2 or not all(_is_top_level_name(part) for part in parts):
            raise PolicyError(
                f"{where}: [{prefix}policy] allowed_attributes entry {escape(repr(entry))} is not a dotted chain of "
                "names below a module (such as \"os.path\")"
            )
        if not scanner.is_forbidden(parts[0]):
            raise PolicyError(
                f"{where}: [{prefix}policy] allowed_attributes entry {escape(repr(entry))} is below "
                f"{escape(repr(parts[0]))}, which the policy does not forbid: it would allow nothing"
            )
    for entry in sorted(policy.local_modules):
        if scanner.is_forbidden(unicodedata.normalize("NFKC", entry)):
            raise PolicyError(
                f"{where}: [{prefix}plugin] local_modules entry {escape(repr(entry))} is forbidden: "
                "as a local module it would let the forbidden import pass"
            )
    if not (policy.forbidden or policy.allowed_exact or policy.allowed_prefixes):
        raise PolicyError(
            f"{where}: the policy has no forbidden and no allowed entry, so it would judge nothing "
            f"(give [{prefix}policy] forbidden, allowed_exact or allowed_prefixes)"
        )


def _pyproject_tables(path: str, document: "Mapping[str, object]") -> "Mapping[str, object] | None":
    """The [tool.scanner-core] tables of a pyproject.toml, None when it has no [tool.scanner-core.policy]."""
    tool = document.get("tool", {})
    section = tool.get(TOOL) if isinstance(tool, dict) else None
    if section is None:
        return None
    if not isinstance(section, dict):
        raise PolicyError(f"{escape(path)}: [tool.{TOOL}] must be a table")
    if "policy" not in section:
        return None
    return section


def _read_policy(path: str, named: str, pyproject: bool) -> Policy | None:
    """The policy of the file at `path` (`named` so in a policy file's
    messages): a pyproject.toml's [tool.scanner-core] tables, or a policy
    file's; None for a pyproject.toml without [tool.scanner-core.policy].
    The tables of the same bytes read before are taken from policy_cache."""
    source = _read(path)
    reading = "pyproject" if pyproject else "file"
    tables: "Mapping[str, object] | None" = policy_cache.load(source, reading)
    cached = tables is not None
    if tables is None:
        document = _parse(path, source)
        tables = _pyproject_tables(path, document) if pyproject else document
        if tables is None:
            return None
    if pyproject:
        policy = _from_tables(tables, path, f"tool.{TOOL}.")._replace(source=f"{path} [tool.{TOOL}]")
    else:
        policy = _from_tables(tables, named, "")
    if not cached:
        policy_cache.store(source, reading, tables)
    return policy


def load_file(path: str) -> Policy:
    """The policy of a file named on the command line. A file named
    pyproject.toml is read as one (its [tool.scanner-core] tables); any
    other holds [policy] and [plugin]. Every key is optional."""
    file = as_named(path)
    pyproject = os.path.basename(file) == PYPROJECT
    policy = _read_policy(file, path, pyproject)
    if policy is None:
        raise PolicyError(f"{escape(path)} has no [tool.{TOOL}.policy] table")
    return policy


def _inside(path: str, directory: str) -> bool:
    for resolve in (os.path.abspath, os.path.realpath):
        target, top = resolve(path), resolve(directory)
        if target == top or target.startswith(top.rstrip(os.sep) + os.sep):
            return True
    return False


def nearest_above(directory: str) -> str | None:
    """The nearest pyproject.toml above `directory` (absolute, not in it)
    that holds a [tool.scanner-core.policy] table, to name in a message: it
    is never read as the policy unless named with --policy. One that cannot
    be read or parsed is passed over."""
    parent = directory
    while (parent := os.path.dirname(child := parent)) != child:
        path = os.path.join(parent, PYPROJECT)
        try:
            if not os.path.isfile(path):
                continue
            if _read_policy(path, path, True) is not None:
                return path
        except (PolicyError, OSError):
            continue
    return None


def _hint_above(directory: str) -> str:
    above = nearest_above(directory)
    if above is None:
        return ""
    return f"; {escape(above)} holds one, which is read only when named: --policy {escape(above)}"


def find(scanned: "Iterable[str]") -> Policy:
    """The policy of ./pyproject.toml, for a run that names none.

    Refused when that file lies inside a scanned directory, or is itself
    scanned: the tree under review would then choose its own policy.
    """
    directory = os.getcwd()
    path = os.path.join(directory, PYPROJECT)
    where = escape(path)
    hint = f"give one with --policy FILE, or add [tool.{TOOL}.policy] to {where}"
    if not os.path.isfile(path):
        raise PolicyError(f"no policy: {where} does not exist ({hint}{_hint_above(directory)})")
    for scanned_path in scanned:
        if _inside(path, scanned_path):
            raise PolicyError(
                f"{where} lies inside the scanned path {escape(scanned_path)}: a tree under review does not choose "
                f"its own policy (name a policy outside it with --policy FILE, or --policy {PYPROJECT} to vouch "
                "for this one)"
            )
    policy = _read_policy(path, path, True)
    if policy is None:
        raise PolicyError(f"no policy: {where} has no [tool.{TOOL}.policy] table ({hint}{_hint_above(directory)})")
    return policy
