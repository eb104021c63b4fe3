"""Scanner C++ pour plugins quenx — import classification multithread"""

# Types as the module's own signature lines state them; every str argument
# also takes bytes at run time, but the typed surface is str alone.
import collections.abc
import typing

# Made only by the scans: FileResult() raises TypeError at run time.
class FileResult:
    @property
    def filepath(self) -> str: ...
    @property
    def errors(self) -> list[str]: ...
    @property
    def warnings(self) -> list[str]: ...
    @property
    def passed(self) -> bool: ...
    def __repr__(self) -> str: ...

class ImportClassifier:
    def __init__(
        self,
        forbidden: collections.abc.Set[str],
        allowed_exact: collections.abc.Set[str],
        allowed_prefixes: collections.abc.Sequence[str],
    ) -> None: ...
    def is_allowed(self, module: str) -> bool: ...
    def is_forbidden(self, module: str) -> bool: ...
    def scan_file(self, filepath: str, local_modules: collections.abc.Set[str]) -> FileResult: ...
    def scan_directory(
        self,
        src_dir: str,
        local_modules: collections.abc.Set[str],
        num_threads: typing.SupportsInt | typing.SupportsIndex = 0,
    ) -> list[FileResult]: ...
