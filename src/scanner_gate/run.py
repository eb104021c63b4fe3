"""What every report format is given: the reports of one run and its context.

The reports come one at a time, in path order, as the run judges them; the
summary is complete once they have all been read, which is why every
format writes it last."""

from scanner_gate.findings import FileReport, Summary, Tally
from scanner_gate.policy import Policy

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Iterable
    from typing import NamedTuple
else:
    from scanner_gate.records import NamedTuple


class Run(NamedTuple):
    paths: tuple[str, ...]  # as given on the command line
    policy: Policy
    audited: bool
    reports: "Iterable[FileReport]"  # those to report (with --quiet, the files that failed), read once
    tally: Tally  # of every file scanned, counted as `reports` is read
    quiet: bool = False  # --quiet: the files that failed and the summary, nothing else
    baseline: str | None = None  # the baseline file given, as named
    lang: str = "fr"  # the language of the findings' messages and the rules' texts (scanner_gate.LANGUAGES)
    verbose: bool = False  # --verbose: the text report lists the files without findings too
    color: bool = False  # the text report is coloured (a terminal, and colour not turned off)
    trees: tuple[str, ...] = ()  # the directories given, as fingerprints name them (scanner_gate.file_names)

    @property
    def summary(self) -> Summary:
        """The run's summary: complete once `reports` has been read."""
        return self.tally.summary()
