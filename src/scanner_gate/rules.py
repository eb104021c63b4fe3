"""What the code-scanning formats say of each rule, keyed by rule id: its
title, a full description, help in Markdown (the rule's page, its plain
text dropping the backquotes), a security severity from 0.0 to 10.0 and
tags. The words come from the language's table (scanner_gate.texts), the
severity and the tags from this one. A rule neither knows (a kind of
finding added to the engine later) gets a generic text and a severity from
its level, so that it still reports sensibly.
"""

import os

from scanner_gate.findings import Kind

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import NamedTuple
else:
    from scanner_gate.records import NamedTuple

# Where the documentation is published, for SARIF's helpUri: empty while it
# is not, and SCANNER_CORE_DOCS_URL names a copy of one's own (a site built
# with `make docs` and served inside an organisation).
DOCS_URL = ""


class RuleHelp(NamedTuple):
    title: str
    full_description: str
    markdown: str
    security_severity: float
    tags: tuple[str, ...]
    help_uri: str | None = None

    @property
    def text(self) -> str:
        return self.markdown.replace("`", "")


# (security severity, tags) of each rule, as code-scanning services read them.
SEVERITY = {
    "forbidden-import": (8.0, ("security", "imports", "policy")),
    "unlisted-import": (3.0, ("security", "imports", "policy")),
    "unreadable-file": (7.0, ("security", "imports", "unreadable")),
    "other-scan-error": (7.0, ("security", "imports")),
    "other-scan-warning": (3.0, ("security", "imports")),
    "hidden-forbidden-import": (9.0, ("security", "imports", "policy", "obfuscation")),
    "hidden-unlisted-import": (4.0, ("security", "imports", "policy", "obfuscation")),
    "non-constant-dynamic-import": (5.0, ("security", "imports", "dynamic")),
    "unaudited-file": (7.0, ("security", "imports", "unreadable")),
    "extension-module": (9.0, ("security", "imports", "binary")),
    "compiled-bytecode": (8.5, ("security", "imports", "binary")),
    "path-configuration-file": (9.0, ("security", "imports", "startup")),
    "unread-archive": (7.0, ("security", "imports", "archive", "unread")),
    "unread-entry-points": (7.0, ("security", "imports", "entry-points", "unread")),
    "dangling-link": (7.0, ("security", "imports", "unreadable")),
    "not-a-regular-file": (7.0, ("security", "imports", "unreadable")),
    "link-loop": (7.0, ("security", "unreadable")),
    "unreadable-entry": (7.0, ("security", "unreadable")),
    "importer-reference": (6.0, ("security", "imports", "dynamic", "obfuscation")),
    "dynamic-code": (6.0, ("security", "imports", "dynamic")),
    "relative-dynamic-import": (5.0, ("security", "imports", "dynamic")),
    "relative-import-above-root": (8.0, ("security", "imports", "policy")),
    "forbidden-module-reached": (9.0, ("security", "imports", "policy", "obfuscation")),
    "object-graph": (6.0, ("security", "imports", "obfuscation")),
    "search-path": (6.0, ("security", "imports")),
    "forbidden-attribute-use": (9.0, ("security", "imports", "policy")),
    "type-checking-import": (3.0, ("security", "imports", "policy")),
    "type-checking-changed": (8.0, ("security", "policy")),
    "missing-local-module": (6.0, ("security", "imports")),
    "ambiguous-archive": (9.0, ("security", "archive", "obfuscation")),
    "unsafe-archive-member": (9.0, ("security", "archive", "path-traversal")),
    "wheel-record-mismatch": (8.0, ("security", "archive", "integrity")),
    "archive-bound-exceeded": (7.0, ("security", "archive", "denial-of-service", "unread")),
    "unreadable-archive": (7.0, ("security", "archive", "unread")),
    "invalid-entry-point": (7.0, ("security", "imports", "entry-points")),
    "nothing-judged": (5.0, ("security", "unread")),
}


def docs_url() -> str:
    """The address of the published documentation, without a final slash; empty when there is none."""
    return (os.environ.get("SCANNER_CORE_DOCS_URL") or DOCS_URL).rstrip("/")


def security_severity(kind: Kind) -> float:
    """The rule's security severity, from 0.0 to 10.0."""
    return SEVERITY.get(kind.id, (7.0 if kind.level == "error" else 3.0, ()))[0]


def help_of(kind: Kind, lang: str = "en") -> RuleHelp:
    """The help of a rule in `lang`, or a generic one from its level."""
    from scanner_gate import explain
    from scanner_gate.texts import table

    failing = kind.level == "error"
    severity, tags = SEVERITY.get(kind.id, (7.0 if failing else 3.0, ("security", "imports")))
    text = table(lang).rules.get(kind.id)
    if text is None:
        consequence = " The file fails." if failing else " It does not fail the file."
        markdown = kind.description + consequence + " Read the finding's message for the details."
        return RuleHelp(kind.description, kind.description, markdown, severity, tags)
    base = docs_url()
    where = "rules/" if lang == "en" else f"rules/{lang}/"
    return RuleHelp(
        text.title,
        text.finds.replace("`", ""),
        explain.page(kind.id, kind.level, lang),
        severity,
        tags,
        f"{base}/{where}{kind.id}/" if base else None,
    )
