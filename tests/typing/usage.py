"""Typed use of scanner_core, checked with mypy --strict against the stub.

The lines marked `type: ignore[...]` are misuses the stub must reject: with
--warn-unused-ignores (part of --strict) mypy fails if one of them stops
being an error, so the check catches a stub that is too loose as well as
one that is too strict.
"""

import collections.abc
import sys

from scanner_core import FileResult, ImportClassifier


def policy() -> ImportClassifier:
    forbidden: frozenset[str] = frozenset({"os", "subprocess"})
    allowed = {"json": "exact", "re": "exact"}
    # Any Set and any Sequence of str will do: a frozenset, a dict's keys
    # view, a tuple.
    return ImportClassifier(forbidden, allowed.keys(), ("quenx",))


def by_keyword() -> ImportClassifier:
    return ImportClassifier(forbidden={"os"}, allowed_exact=set(), allowed_prefixes=["quenx", "toolkit.api"])


def verdict(classifier: ImportClassifier, module: str) -> str:
    if classifier.is_forbidden(module):
        return "forbidden"
    return "allowed" if classifier.is_allowed(module) else "unlisted"


def summary(results: collections.abc.Iterable[FileResult]) -> tuple[int, int]:
    errors = 0
    warnings = 0
    for result in results:
        path: str = result.filepath
        messages: list[str] = result.errors + result.warnings
        passed: bool = result.passed
        print(path, "ok" if passed else "FAILED", repr(result), *messages, sep="\n  ")
        errors += len(result.errors)
        warnings += len(result.warnings)
    return errors, warnings


class Threads:
    """Any object with __index__ is a thread count."""

    def __index__(self) -> int:
        return 2


def main(directory: str) -> int:
    classifier = policy()
    local = {"myplugin"}
    one: FileResult = classifier.scan_file(directory + "/__init__.py", local)
    everything: list[FileResult] = classifier.scan_directory(directory, local)
    by_name = classifier.scan_directory(src_dir=directory, local_modules=frozenset(), num_threads=Threads())
    errors, _ = summary([one, *everything, *by_name])
    print(verdict(classifier, "os.path"), verdict(by_keyword(), "toolkit.api.widgets"))
    return 1 if errors else 0


def misuses(classifier: ImportClassifier, result: FileResult) -> None:
    ImportClassifier(["os"], set(), [])  # type: ignore[arg-type]
    classifier.scan_file("plugin.py", ["myplugin"])  # type: ignore[arg-type]
    classifier.scan_directory("plugins", set(), num_threads="2")  # type: ignore[arg-type]
    classifier.scan_directory("plugins", set(), threads=2)  # type: ignore[call-arg]
    classifier.is_allowed(42)  # type: ignore[arg-type]
    result.passed = True  # type: ignore[misc]
    first: str = result.errors  # type: ignore[assignment]
    print(first)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
