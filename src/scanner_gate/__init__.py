"""scanner_gate: the plugin gate as a command, scanner-core.

It checks Python plugin files against an import policy with the native
module scanner_audit: the line scan of scanner_core, then an audit that
reads each file as Python does, and reports in text, JSON, SARIF or as CI
annotations. Laid out by concern:

    policy         where the policy comes from, and what it may hold
    scan           the paths walked or read, and the audit of each file
    ast_audit      the audit through Python's own parser
    findings       kinds of finding, a file's findings, the summary
    escape         how names and messages are written, so none is raw
    fingerprint    what identifies a finding from one run to the next
    baseline       the findings of an earlier run that a reviewer accepts
    rules          what the code-scanning formats say of each rule
    text_report, json_report, sarif_report, github_report, gitlab_report:
                   the formats, each imported only when used
    cli            the command line; __main__ for python -m scanner_gate
"""


def installed_version() -> str | None:
    """The installed distribution's version; None when run from a source
    or build tree."""
    import importlib.metadata  # costly to import: only --version and SARIF need it

    try:
        return importlib.metadata.version("scanner_core")
    except importlib.metadata.PackageNotFoundError:
        return None
