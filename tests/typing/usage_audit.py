"""Typed use of scanner_audit, checked with mypy --strict against its stub.

As in usage.py, each line marked `type: ignore[...]` is a misuse the stub
must reject, and --warn-unused-ignores fails the check if one is accepted.
"""

import pathlib
import sys

from scanner_audit import Finding, Report, Scanner, TextAudit


def describe(finding: Finding) -> str:
    where: str = "" if finding.line is None else f":{finding.line}"
    module: str = finding.module or "-"
    return f"{finding.rule} {finding.level}{where} {module} {finding.message}"


def main(directory: str) -> int:
    scanner = Scanner(frozenset({"os"}), {"json"}, ("quenx",))
    local = {"myplugin"}
    # Paths are str, bytes or path objects.
    one: Report = scanner.scan_file(pathlib.Path(directory) / "__init__.py", local, audit=False)
    tree: list[Report] = scanner.scan_directory(directory.encode(), local, num_threads=2)
    failed = 0
    for report in [one, *tree]:
        messages: list[str] = report.errors + report.warnings
        codec: str | None = report.deferred_encoding
        print(report.filepath, repr(report), codec, *messages, *map(describe, report.findings), sep="\n  ")
        failed += not report.passed
    print(scanner.is_forbidden("os.path"), scanner.is_allowed("json.decoder"))
    # Text that Python's codec decoded, fed as UTF-8.
    text = TextAudit(scanner, pathlib.Path(directory) / "legacy.py", local)
    text.feed("import os\n".encode())
    found: list[Finding] = text.finish([(1, "os")])
    print(*map(describe, found))
    return 1 if failed else 0


def misuses(scanner: Scanner, report: Report, finding: Finding) -> None:
    Scanner(["os"], set(), [])  # type: ignore[arg-type]
    scanner.scan_file(42, set())  # type: ignore[arg-type]
    scanner.scan_directory("plugins", set(), audit="yes")  # type: ignore[arg-type]
    report.passed = True  # type: ignore[misc]
    TextAudit(scanner, "legacy.py", set()).feed("import os")  # type: ignore[arg-type]
    line: int = finding.line  # type: ignore[assignment]
    module: str = finding.module  # type: ignore[assignment]
    print(line, module)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
