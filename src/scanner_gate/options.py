"""How a run judges its paths, beside its policy: whether the audit runs,
on how many threads, and whether the reports fingerprint findings. Read by
the scan of trees and files and by the archives' reader alike."""

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import NamedTuple
else:
    from scanner_gate.records import NamedTuple


class Options(NamedTuple):
    audit: bool = True
    threads: int = 0
    fingerprints: bool = False  # the report fingerprints findings: the scan digests their lines as it reads
    # A tree's files are reported while the next are read; a batch's jobs,
    # which already share the cores, read their trees whole first.
    streamed: bool = True
