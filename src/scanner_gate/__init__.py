"""scanner_gate: the plugin gate as a command, scanner-core.

It checks Python plugin files against an import policy with the native
module scanner_audit: the line scan of scanner_core, then an audit that
reads each file as Python does, and reports in text, JSON, SARIF or as CI
annotations. Laid out by concern:

    policy         where the policy comes from, and what it may hold
    scan           the paths walked or read, and the audit of each file
    codec_audit    the audit of a file in a codec only Python decodes
    findings       kinds of finding, a file's findings, the summary
    escape         how names and messages are written, so none is raw
    text_report, json_report, sarif_report, github_report: the formats
    cli            the command line; __main__ for python -m scanner_gate
"""

import importlib.metadata


def installed_version() -> str | None:
    """The installed distribution's version; None when run from a source
    or build tree."""
    try:
        return importlib.metadata.version("scanner_core")
    except importlib.metadata.PackageNotFoundError:
        return None
