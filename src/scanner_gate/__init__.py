"""scanner_gate: the plugin gate as a command, scanner-core.

It checks Python plugin files against an import policy with the native
module scanner_audit: the line scan of scanner_core, then an audit that
reads each file as Python does, and reports in text, JSON, SARIF or as CI
annotations. Laid out by concern:

    policy         where the policy comes from, and what it may hold
    policy_cache   the tables of policies read before, kept by their bytes
    scan           the paths walked or read, and the audit of each file
    codec_audit    the audit of a file in a codec only Python decodes
    findings       kinds of finding, a file's findings, the summary
    escape         how names and messages are written, so none is raw
    fingerprint    what identifies a finding from one run to the next
    file_names     how fingerprints name files
    baseline       the findings of an earlier run that a reviewer accepts
    rules          what the code-scanning formats say of each rule
    text_report, json_report, sarif_report, github_report, gitlab_report:
                   the formats, each imported only when used
    cli            the command line; __main__ for python -m scanner_gate
    arguments      its options, read only when there are some
    records        named tuples made without importing typing
"""


import os

DISTRIBUTION = "scanner_core"
PROG = "scanner-core"
# What fails a file: an error only, or any finding (deny by default).
FAIL_ON = ("error", "warning")


def _version_in(site: str) -> str | None:
    """The version in the metadata of the one distribution installed in the
    directory `site`; None when there is none or more than one."""
    try:
        found = [name for name in os.listdir(site)
                 if name.startswith(DISTRIBUTION + "-") and name.endswith(".dist-info")]
        if len(found) != 1:
            return None
        with open(os.path.join(site, found[0], "METADATA"), encoding="utf-8") as metadata:
            for line in metadata:
                if line.startswith("Version:"):
                    return line.removeprefix("Version:").strip() or None
                if not line.strip():  # the headers end at the first blank line
                    break
    except (OSError, UnicodeDecodeError):
        pass
    return None


def installed_version() -> str | None:
    """The installed distribution's version; None when run from a source
    or build tree. Read from the metadata beside the package (a wheel puts
    both in the same site-packages), else from the first directory of the
    path that holds it, as importlib.metadata finds it: importing that
    module costs more than the rest of a small run."""
    import sys

    beside = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    for site in (beside, *sys.path):
        if (version := _version_in(site or os.curdir)) is not None:
            return version
    return None
