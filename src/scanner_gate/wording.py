"""A finding's message in the language chosen, with or without its location.

The engine words every message in French, as `<path>:<line>: <text>` (or
`<path>: <text>` for the whole file). The location is the finding's file
and line, so it is cut by its length, never searched for; the text is read
by the French forms of its rule (scanner_gate.texts.fr) into the form and
the one value it holds (a module as the engine wrote it, or a reason),
then written with the same form of the language chosen. A reason of the
engine's own is worded in that language; Python's and the system's stay
in their words. A text that no form reads (a form added to the engine
before its table) is kept as the engine wrote it: shown, never dropped.
"""

from scanner_gate.findings import Finding

TYPE_CHECKING = False
if TYPE_CHECKING:
    from scanner_gate.texts import Table

# Per language, per rule: each form cut around its placeholder, as
# (before, placeholder or "", after).
_FORMS: dict[str, dict[str, list[tuple[str, str, str]]]] = {}
_TABLES: dict[str, "Table"] = {}


def _table(lang: str) -> "Table":
    if lang not in _TABLES:
        from scanner_gate.texts import table

        _TABLES[lang] = table(lang)
    return _TABLES[lang]


def _cut(form: str) -> tuple[str, str, str]:
    for placeholder in ("{module}", "{reason}"):
        before, found, after = form.partition(placeholder)
        if found:
            return before, placeholder, after
    return form, "", ""


def _forms(lang: str, rule: str) -> list[tuple[str, str, str]]:
    by_rule = _FORMS.setdefault(lang, {})
    if rule not in by_rule:
        text = _table(lang).rules.get(rule)
        by_rule[rule] = [] if text is None else [_cut(form) for form in text.says]
    return by_rule[rule]


def head(finding: Finding, filepath: str) -> str:
    """The location that starts the finding's message."""
    return f"{filepath}: " if finding.line is None else f"{filepath}:{finding.line}: "


def said(finding: Finding, filepath: str, lang: str = "fr") -> str:
    """What the finding says, without its location, in `lang`."""
    message = finding.message
    start = head(finding, filepath)
    if not message.startswith(start):
        return message  # not in the engine's shape: kept whole
    text = message[len(start):]
    return text if lang == "fr" else translated(finding.kind.id, text, lang)


def message(finding: Finding, filepath: str, lang: str = "fr") -> str:
    """The finding's message, its location first, in `lang`."""
    if lang == "fr":
        return finding.message
    start = head(finding, filepath)
    if not finding.message.startswith(start):
        return finding.message
    return start + translated(finding.kind.id, finding.message[len(start):], lang)


def read(rule: str, text: str) -> tuple[int, str] | None:
    """Which French form of `rule` the engine's `text` is, and the value it
    holds ("" for a form without one); None when no form reads it."""
    for index, (before, placeholder, after) in enumerate(_forms("fr", rule)):
        if not placeholder:
            if text == before:
                return index, ""
        elif len(text) >= len(before) + len(after) and text.startswith(before) and text.endswith(after):
            return index, text[len(before):len(text) - len(after)]
    return None


def translated(rule: str, text: str, lang: str) -> str:
    """The engine's French `text` of a finding of `rule`, in `lang`."""
    found = read(rule, text)
    forms = _forms(lang, rule)
    if found is None or found[0] >= len(forms):
        return text
    index, value = found
    before, placeholder, after = forms[index]
    if placeholder == "{reason}":
        value = _table(lang).reasons.get(value, value)
    return before + value + after if placeholder else before
