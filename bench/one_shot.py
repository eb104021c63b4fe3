"""One scan as a CI job meets it: a fresh interpreter imports the module,
builds the classifier from the bench's policy, scans DIR once and writes
every message to standard output, one per line (as ripgrep writes the
lines it finds), then a summary line.

Usage: one_shot.py MODULE_DIR DIR THREADS POLICY
"""

import sys


def read_policy(path):
    """The policy file's four lists: 'forbidden', 'allowed_exact',
    'allowed_prefixes' and 'local', each a line of words after its name."""
    lists = {"forbidden": [], "allowed_exact": [], "allowed_prefixes": [], "local": []}
    with open(path, encoding="utf-8") as policy:
        for line in policy:
            words = line.split()
            if words and words[0] in lists:
                lists[words[0]].extend(words[1:])
    return lists


def main():
    module_dir, directory, threads, policy_path = sys.argv[1:5]
    sys.path.insert(0, module_dir)
    import scanner_core

    policy = read_policy(policy_path)
    classifier = scanner_core.ImportClassifier(
        set(policy["forbidden"]), set(policy["allowed_exact"]), policy["allowed_prefixes"]
    )
    results = classifier.scan_directory(directory, set(policy["local"]), int(threads))
    lines = []
    errors = warnings = 0
    for result in results:
        found = result.errors
        errors += len(found)
        lines += found
        found = result.warnings
        warnings += len(found)
        lines += found
    lines.append(f"files={len(results)} errors={errors} warnings={warnings}")
    sys.stdout.write("\n".join(lines) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
