"""The baseline: the findings of an earlier run that a reviewer accepts.

A baseline is the JSON report of an earlier run (--format json), whose
findings carry their fingerprints (scanner_gate.fingerprint). A finding of
this run with the fingerprint of one of them (its findings and its known
ones, so that a run's report can be the next run's baseline) is known: it
is reported as such and does not fail its file. Every other finding is new
and counts as usual, and so does one whose line could not be read back.

A file is known by the name its project gives it (scanner_gate.file_names),
and also by the names the baseline's run may have given it: the earlier
naming (relative to the path given, as an earlier version's baselines
hash it), and its path below the tree given joined to each tree the
baseline's run was given (its "trees"), so that a baseline made from
plugins/ matches the files named one by one, and the baseline of a
plugin's version matches the next one unpacked elsewhere.

Only a judged import can be known: a finding with no module (a file that
cannot be opened or read to its end as Python source) says that the file's
content was not judged, and what it holds now may differ from what an
earlier run could not read either, so it always counts.
"""

import json
import os
import stat

from scanner_gate.escape import escape
from scanner_gate.file_names import FileNames
from scanner_gate.findings import FileReport, Finding

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import NamedTuple
else:
    from scanner_gate.records import NamedTuple


class BaselineError(Exception):
    """The baseline cannot be read or is not a JSON report of this command."""


def _fingerprints_of(file: object, where: str) -> list[str]:
    if not isinstance(file, dict):
        raise BaselineError(f"{where}: a file of 'files' is not an object")
    found = []
    for field in ("findings", "known"):
        findings = file.get(field, [])
        if not isinstance(findings, list):
            raise BaselineError(f"{where}: '{field}' of a file is not a list")
        for finding in findings:
            if not isinstance(finding, dict) or "fingerprint" not in finding:
                raise BaselineError(
                    f"{where}: a finding without a fingerprint (make the baseline with --format json of this version)")
            if isinstance(finding["fingerprint"], str):
                found.append(finding["fingerprint"])
            elif finding["fingerprint"] is not None:
                raise BaselineError(f"{where}: a fingerprint is not a string")
    return found


class Baseline(NamedTuple):
    fingerprints: frozenset[str]  # of its findings and known ones
    trees: tuple[str, ...] = ()  # the trees its run was given, as its keys begin (none in an earlier version's)


def load(path: str) -> Baseline:
    """The fingerprints of the findings of the report at `path`, and the
    trees its run was given. Raises BaselineError when it cannot be read or
    is not such a report."""
    where = escape(path)
    try:
        # O_NONBLOCK: a FIFO named by mistake must not hold the run.
        descriptor = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
        with open(descriptor, "rb") as stream:
            if not stat.S_ISREG(os.fstat(descriptor).st_mode):
                raise BaselineError(f"the baseline {where} is not a regular file")
            document = json.load(stream)
    except OSError as error:
        raise BaselineError(f"cannot read the baseline {where}: {error.strerror}") from error
    except (ValueError, RecursionError) as error:  # not JSON, or not UTF-8
        raise BaselineError(f"the baseline {where} is not a JSON document: {escape(str(error))}") from error
    files = document.get("files") if isinstance(document, dict) else None
    if not isinstance(files, list):
        raise BaselineError(f"the baseline {where} is not a JSON report of scanner-core (no 'files' list)")
    trees = document.get("trees", [])
    if not isinstance(trees, list) or not all(isinstance(tree, str) for tree in trees):
        raise BaselineError(f"the baseline {where}: 'trees' is not a list of strings")
    fingerprints = frozenset(fingerprint for file in files for fingerprint in _fingerprints_of(file, where))
    return Baseline(fingerprints, tuple(trees))


class Review:
    """This run's findings against a baseline: those it knows, and how many
    it could have known (a judged import whose line was read back), so that
    a baseline that knows none of them can be told."""

    def __init__(self, baseline: Baseline, names: FileNames) -> None:
        self.baseline = baseline
        self.names = names
        self.could = 0
        self.known = 0

    def known_in(self, report: FileReport) -> FileReport:
        """The report, fingerprinted by its name in the run, with the
        findings the baseline knows by any of the file's names moved to
        `known`."""
        from scanner_gate import fingerprint

        keys = self.names.keys(report.filepath, self.baseline.trees)
        marked = fingerprint.fingerprint(report, self.names, keys[0])
        others = [fingerprint.fingerprint(report, self.names, key).findings for key in keys[1:]]
        accepted = self.baseline.fingerprints
        new: list[Finding] = []
        known: list[Finding] = []
        for index, finding in enumerate(marked.findings):
            prints = [finding.fingerprint, *(findings[index].fingerprint for findings in others)]
            if finding.module is None or not any(prints):
                new.append(finding)
                continue
            self.could += 1
            (known if any(value in accepted for value in prints if value is not None) else new).append(finding)
        self.known += len(known)
        return marked.replace(new, known)
