"""The reports of a run as the formats are given them: named for
fingerprints, fingerprinted, known against a baseline, and counted. Shared
by a run of the command and each job of a batch."""

import os

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Iterable, Iterator, Sequence

    from scanner_gate.baseline import Review
    from scanner_gate.file_names import FileNames
    from scanner_gate.findings import FileReport, Tally


def project_of(policy_named: str | None) -> str:
    """The directory of the policy in use: the one named, or ./pyproject.toml's."""
    if policy_named is None:
        return os.getcwd()
    from scanner_gate.policy import as_named

    return os.path.dirname(os.path.abspath(as_named(policy_named)))


def trees_given(paths: "Sequence[str]", names: "FileNames") -> tuple[str, ...]:
    """The directories given that a project holds, as their files' keys
    begin: what the JSON report records, for its use as a baseline."""
    trees = (names.tree_name(path) for path in paths if os.path.isdir(path))
    return tuple(sorted({tree for tree in trees if tree is not None}))


def reviewed(reports: "Iterator[FileReport]", names: "FileNames | None", formats: "set[str]",
             review: "Review | None", lang: str) -> "Iterator[FileReport]":
    """The reports named for fingerprints where a format or the baseline
    needs them, fingerprinted where a format made here needs them, and with
    the baseline's findings known. A file without findings is left as it
    is: there is nothing to fingerprint."""
    from scanner_gate.command_line import FINGERPRINTED

    if names is None:
        return reports
    # The JSON report of the engine's findings fingerprints them as it writes
    # them, in French; where another format fingerprints too, they are made here.
    ready = review is None and formats & FINGERPRINTED == {"json"} and lang == "fr"

    def named(report: "FileReport") -> "FileReport":
        if not (report.error_total or report.warning_total):
            return report
        report.name = names.key(report.filepath)
        if review is not None:
            return review.known_in(report)
        if ready and report.ready_made:
            return report
        from scanner_gate import fingerprint  # the findings of a format made here

        return fingerprint.fingerprint(report, names)

    return map(named, reports)


def counted(reports: "Iterable[FileReport]", tally: "Tally", quiet: bool) -> "Iterator[FileReport]":
    """The reports to write, each counted in the tally as it goes by: with
    --quiet, only the files that failed."""
    for report in reports:
        tally.add(report)
        if not (quiet and report.passed):
            yield report
