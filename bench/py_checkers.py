"""Pure-Python checkers that the benchmark runs beside the module.

`ReChecker` applies the module's rules exactly (the same statements, the same
judgements, the same messages) with the `re` module on a thread pool, as a
careful Python programmer would write it. `AstChecker` is the other obvious
way: parse every file with `ast` on a process pool. It judges what Python
itself sees as imports, so its counts differ from the line-oriented rules
(it also finds statements after a semicolon or inside compound lines, and
every name of `import a, b`), and it skips files that do not parse.
"""

from __future__ import annotations

import ast
import os
import re
from concurrent.futures import ProcessPoolExecutor, ThreadPoolExecutor
from dataclasses import dataclass

# The three forms, as one pattern over the whole text. `[^\S\n]` is `\s`
# without the line feed, so that no match crosses a line; the possessive
# quantifiers keep a huge line linear (a greedy first attempt is the only
# one that can succeed, as with the module's matchers). The blanks and tabs
# before the keyword are the module's first-character rule.
_STATEMENT = re.compile(
    rb"^[ \t]*+(?:from[^\S\n]++(?:(\.++)[\w.]*+|([\w.]++))[^\S\n]++import"
    rb"|import[^\S\n]++([\w.]++)(?=[\s,]|$))",
    re.MULTILINE,
)

_FORBIDDEN = "import interdit \u2014 '"
_UNLISTED = "import non whitelist\u00e9 \u2014 '"


@dataclass(frozen=True)
class Policy:
    forbidden: frozenset[str]
    allowed_exact: frozenset[str]
    allowed_prefixes: tuple[str, ...]
    local: frozenset[str]

    def judge(self, module: str) -> int:
        """0: ignored or allowed, 1: forbidden (an error), 2: unlisted (a warning)."""
        root = module.partition(".")[0]
        if root in self.local or module in self.local:
            return 0
        if root in self.forbidden:
            return 1
        if module in self.allowed_exact or root in self.allowed_exact:
            return 0
        for prefix in self.allowed_prefixes:
            if module == prefix or (module.startswith(prefix) and module[len(prefix)] == "."):
                return 0
        return 2


def read_policy(path: str) -> Policy:
    collections: dict[str, list[str]] = {}
    with open(path, encoding="utf-8") as lines:
        for line in lines:
            words = line.split()
            if words and not words[0].startswith("#"):
                collections[words[0]] = words[1:]
    return Policy(
        frozenset(collections.get("forbidden", ())),
        frozenset(collections.get("allowed_exact", ())),
        tuple(collections.get("allowed_prefixes", ())),
        frozenset(collections.get("local", ())),
    )


def walk_sources(top: str) -> list[str]:
    """Regular .py files below `top`, links to files included, links to
    directories not entered: the module's discovery rules."""
    found: list[str] = []
    stack = [top]
    while stack:
        directory = stack.pop()
        subdirectories = []
        with os.scandir(directory) as entries:
            for entry in entries:
                if entry.is_dir(follow_symlinks=False):
                    subdirectories.append(entry.path)
                elif entry.name.endswith(".py") and entry.name != ".py" and entry.is_file():
                    found.append(entry.path)
        stack.extend(reversed(subdirectories))
    return found


def message(path: str, line: int, module: str, verdict: int) -> str:
    """The module's message for an import judged forbidden (1) or unlisted (2)."""
    return f"{path}:{line}: {_FORBIDDEN if verdict == 1 else _UNLISTED}{module}'"


def check_text(path: str, data: bytes, policy: Policy) -> tuple[list[str], list[str]]:
    errors: list[str] = []
    warnings: list[str] = []
    line, counted = 1, 0
    for match in _STATEMENT.finditer(data):
        if match.group(1) is not None:
            continue  # relative
        module = (match.group(2) or match.group(3)).decode("ascii")
        verdict = policy.judge(module)
        if verdict == 0:
            continue
        line += data.count(b"\n", counted, match.start())
        counted = match.start()
        (errors if verdict == 1 else warnings).append(message(path, line, module, verdict))
    return errors, warnings


def check_file(path: str, policy: Policy) -> tuple[str, list[str], list[str]]:
    try:
        with open(path, "rb") as source:
            data = source.read()
    except OSError:
        return path, [f"{path}: impossible d'ouvrir le fichier"], []
    errors, warnings = check_text(path, data, policy)
    return path, errors, warnings


class ReChecker:
    """The module's rules with `re`, one file per task on a thread pool."""

    def __init__(self, policy: Policy, threads: int):
        self.policy = policy
        self.threads = threads

    def run(self, top: str) -> list[tuple[str, list[str], list[str]]]:
        files = walk_sources(top)
        with ThreadPoolExecutor(max_workers=self.threads) as pool:
            return list(pool.map(check_file, files, [self.policy] * len(files)))


_worker_policy: Policy | None = None


def _init_worker(policy: Policy) -> None:
    global _worker_policy
    _worker_policy = policy


def _ast_check(path: str) -> tuple[int, int, int]:
    """(errors, warnings, 1 if the file does not parse) for one file."""
    policy = _worker_policy
    assert policy is not None
    try:
        with open(path, "rb") as source:
            tree = ast.parse(source.read(), filename=path)
    except (SyntaxError, ValueError, OSError):
        return 0, 0, 1
    errors = warnings = 0
    for node in ast.walk(tree):
        if isinstance(node, ast.Import):
            modules = [alias.name for alias in node.names]
        elif isinstance(node, ast.ImportFrom) and node.level == 0 and node.module:
            modules = [node.module]
        else:
            continue
        for module in modules:
            verdict = policy.judge(module)
            if verdict == 1:
                errors += 1
            elif verdict == 2:
                warnings += 1
    return errors, warnings, 0


class AstChecker:
    """`ast.parse` on a process pool that is started once and kept warm."""

    def __init__(self, policy: Policy, processes: int):
        self.pool = ProcessPoolExecutor(max_workers=processes, initializer=_init_worker, initargs=(policy,))
        self.processes = processes

    def run(self, top: str) -> tuple[int, int, int, int]:
        """(files, errors, warnings, files that do not parse)."""
        files = walk_sources(top)
        chunk = max(1, len(files) // (self.processes * 16))
        errors = warnings = failed = 0
        for e, w, f in self.pool.map(_ast_check, files, chunksize=chunk):
            errors += e
            warnings += w
            failed += f
        return len(files), errors, warnings, failed

    def close(self) -> None:
        self.pool.shutdown()
