"""The baseline: the findings of an earlier run that a reviewer accepts.

A baseline is the JSON report of an earlier run (--format json), whose
findings carry their fingerprints (scanner_gate.fingerprint). A finding of
this run with the fingerprint of one of them (its findings and its known
ones, so that a run's report can be the next run's baseline) is known: it
is reported as such and does not fail its file. Every other finding is new
and counts as usual, and so does one whose line could not be read back.

Only a judged import can be known: a finding with no module (a file that
cannot be opened or read to its end as Python source) says that the file's
content was not judged, and what it holds now may differ from what an
earlier run could not read either, so it always counts.
"""

import json
import os
import stat

from scanner_gate.escape import escape
from scanner_gate.findings import FileReport, Finding


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


def load(path: str) -> frozenset[str]:
    """The fingerprints of the findings of the report at `path`. Raises
    BaselineError when it cannot be read or is not such a report."""
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
    return frozenset(fingerprint for file in files for fingerprint in _fingerprints_of(file, where))


def is_known(finding: Finding, known: frozenset[str]) -> bool:
    return finding.module is not None and finding.fingerprint in known


def known_in(report: FileReport, known: frozenset[str]) -> FileReport:
    """The report (fingerprinted) with the findings the baseline accepts
    moved to `known`."""
    new = [finding for finding in report.findings if not is_known(finding, known)]
    accepted = [finding for finding in report.findings if is_known(finding, known)]
    return report.replace(new, accepted)
