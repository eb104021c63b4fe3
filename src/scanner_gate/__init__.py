"""scanner_gate: the plugin gate as a command, scanner-core.

It checks Python plugin files against an import policy with the native
module scanner_audit: the line scan of scanner_core, then an audit that
reads each file as Python does, and reports in text, JSON, SARIF or as CI
annotations. Laid out by concern:

    policy         where the policy comes from, and what it may hold
    policy_cache   the tables of policies read before, kept by their bytes
    path_globs, sections: the policy's [[paths]] sections, and which judges a file
    options        how a run judges: audit, threads, fingerprints
    scan           the paths walked or read, and the audit of each file
    archives, archive_scan, zip_structure, tar_stream, wheel_record:
                   archives read member by member as Python and pip read them
    codec_audit    the audit of a file in a codec only Python decodes
    findings       kinds of finding, a file's findings, the summary
    escape         how names and messages are written, so none is raw
    fingerprint    what identifies a finding from one run to the next
    file_names     how fingerprints name files
    baseline       the findings of an earlier run that a reviewer accepts
    rules          what the code-scanning formats say of each rule
    texts          the rules' texts, one table per language (en, fr)
    wording        a finding's message in the language chosen
    explain        a rule's page, for --explain, SARIF and the documentation
    colour         colour for the text report on a terminal
    progress       the progress line on a terminal's stderr
    text_report, json_report, sarif_report, github_report, gitlab_report:
                   the formats, each imported only when used
    outputs        where the reports go (--output), and --statistics
    run_reports    a run's reports named, fingerprinted, known and counted
    batch          --batch: many runs, each a job of its own policy, in one process
    cli            the command line; __main__ for python -m scanner_gate
    arguments      its options, read only when there are some
    records        named tuples made without importing typing
"""

# The project's version, in this one place: the build reads it from here into
# the distribution's metadata (pyproject.toml, metadata.version), and the
# command, its SARIF log and the release notes say it.
__version__ = "0.1.0"

DISTRIBUTION = "scanner_core"
PROG = "scanner-core"
# What fails a file: an error only, or any finding (deny by default).
FAIL_ON = ("error", "warning")
# The languages the command writes its findings and its rules' texts in; the
# module's own messages are French, and so is the default.
LANGUAGES = ("fr", "en")
