#!/usr/bin/env python3
"""Checks a plugin tree against an import policy, the way a host would.

    scan_plugins.py [--policy FILE] [--json] [--threads N] DIR

Reads the policy (a TOML file, by default policy.toml beside this script),
scans every .py file below DIR in one scan_directory call and prints a
report: each file with its errors and warnings, then a summary. With --json
it prints one JSON document instead: {"files": [...], "summary": {...}}.

Exit status: 0 when every file passed, 1 when at least one file failed (a
forbidden import, or a file that cannot be opened), 2 when the policy or
DIR cannot be used.
"""

import argparse
import json
import pathlib
import sys
import tomllib

import scanner_core

DEFAULT_POLICY = pathlib.Path(__file__).with_name("policy.toml")

# The sections and keys a policy file may hold; each value is a list of str.
POLICY_KEYS = {
    "policy": ("forbidden", "allowed_exact", "allowed_prefixes"),
    "plugin": ("local_modules",),
}


class PolicyError(Exception):
    pass


def load_policy(path):
    """Returns (classifier, local_modules) from a policy file.

    Every key is optional (a missing one is an empty list), but an unknown
    section or key is refused: a misspelt "forbiden" would otherwise
    silently forbid nothing.
    """
    try:
        with open(path, "rb") as stream:
            document = tomllib.load(stream)
    except OSError as error:
        raise PolicyError(f"cannot read {path}: {error.strerror}") from error
    except tomllib.TOMLDecodeError as error:
        raise PolicyError(f"{path} is not valid TOML: {error}") from error

    values = {}
    for section, content in document.items():
        if section not in POLICY_KEYS or not isinstance(content, dict):
            raise PolicyError(f"{path}: unknown section [{section}] (expected [policy] and [plugin])")
        for key, value in content.items():
            if key not in POLICY_KEYS[section]:
                expected = ", ".join(POLICY_KEYS[section])
                raise PolicyError(f"{path}: unknown key {key!r} in [{section}] (expected {expected})")
            if not isinstance(value, list) or not all(isinstance(item, str) for item in value):
                raise PolicyError(f"{path}: [{section}] {key} must be a list of strings")
            values[key] = value

    classifier = scanner_core.ImportClassifier(
        forbidden=set(values.get("forbidden", [])),
        allowed_exact=set(values.get("allowed_exact", [])),
        allowed_prefixes=values.get("allowed_prefixes", []),
    )
    return classifier, frozenset(values.get("local_modules", []))


def summarise(results):
    return {
        "scanned": len(results),
        "passed": sum(1 for result in results if result.passed),
        "failed": sum(1 for result in results if not result.passed),
        "errors": sum(len(result.errors) for result in results),
        "warnings": sum(len(result.warnings) for result in results),
    }


def plural(count, word):
    return f"{count} {word}" if count == 1 else f"{count} {word}s"


def print_report(directory, policy, local_modules, results, summary):
    print(f"Scanning {directory} with the policy {policy}; local modules: {', '.join(sorted(local_modules)) or 'none'}")
    print()
    for result in results:
        counts = f"{plural(len(result.errors), 'error')}, {plural(len(result.warnings), 'warning')}"
        verdict = "ok  " if result.passed else "FAIL"
        print(f"{verdict}  {result.filepath}  ({counts})")
        for message in result.errors:
            print(f"      error    {message}")
        for message in result.warnings:
            print(f"      warning  {message}")
    print()
    print(
        f"{plural(summary['scanned'], 'file')} scanned: {summary['passed']} passed, {summary['failed']} failed; "
        f"{plural(summary['errors'], 'error')}, {plural(summary['warnings'], 'warning')}"
    )


def print_json(results, summary):
    files = [
        {"filepath": r.filepath, "passed": r.passed, "errors": r.errors, "warnings": r.warnings} for r in results
    ]
    print(json.dumps({"files": files, "summary": summary}, indent=2))


def thread_count(text):
    try:
        value = int(text)
    except ValueError:
        value = -1
    if value < 0:
        raise argparse.ArgumentTypeError(f"not a thread count: {text!r} (0 means one per hardware thread)")
    return value


def main(argv=None):
    parser = argparse.ArgumentParser(description="Check the imports of a plugin tree against an import policy.")
    parser.add_argument("directory", metavar="DIR", help="the plugin tree to scan")
    parser.add_argument(
        "--policy", metavar="FILE", default=DEFAULT_POLICY, help="policy file (default: policy.toml beside this script)"
    )
    parser.add_argument("--json", action="store_true", help="print one JSON document for machines")
    parser.add_argument(
        "--threads", metavar="N", type=thread_count, default=0, help="worker threads (default 0: one per hardware thread)"
    )
    args = parser.parse_args(argv)

    try:
        classifier, local_modules = load_policy(args.policy)
    except PolicyError as error:
        parser.exit(2, f"{parser.prog}: {error}\n")
    try:
        results = classifier.scan_directory(args.directory, local_modules, num_threads=args.threads)
    except RuntimeError as error:
        parser.exit(2, f"{parser.prog}: cannot scan {args.directory}: {error}\n")

    # The scan returns files in directory-listing order, which differs from
    # one file system to another; sorted, the report reads the same anywhere.
    results.sort(key=lambda result: result.filepath)
    summary = summarise(results)
    if args.json:
        print_json(results, summary)
    else:
        print_report(args.directory, args.policy, local_modules, results, summary)
    return 1 if summary["failed"] else 0


if __name__ == "__main__":
    sys.exit(main())
