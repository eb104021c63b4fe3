"""A rule's page: its id, level, the forms of its message, what it finds,
why it matters, an example that makes it and what to do, in Markdown, from
the rule's row of the language's table (scanner_gate.texts). The command
prints it (`scanner-core --explain RULE`), the documentation's build writes
one per rule (docs/hooks/rule_pages.py), and SARIF carries it as a rule's
help: one text, wherever it is read.
"""

from scanner_gate.archives import SEPARATOR
from scanner_gate.texts import EXAMPLE_POLICY, Archive, Fifo, File, Link, RuleText, table


def _shown_as(path: str) -> str:
    """The language a file's text is shown in: Python's for what Python reads."""
    return "python" if path.endswith((".py", ".pth")) else "text"


def _entries(entries: "tuple[File | Link | Fifo | Archive, ...]", words: dict[str, str],
             within: str = "") -> list[str]:
    """The lines that show `entries`; those of an archive's members named
    after it, `ARCHIVE!/MEMBER`, as the reports name them."""
    parts: list[str] = []
    for entry in entries:
        path = within + entry.path
        if isinstance(entry, File):
            if entry.text:
                parts += [f"`{path}`:", "", f"```{_shown_as(path)}", entry.text.rstrip("\n"), "```", ""]
            else:
                parts += [f"`{path}`", ""]
        elif isinstance(entry, Link):
            shown = entry.target if len(entry.target) <= 40 else entry.target[:12] + "\u2026"
            parts += [f"`{path}`: {words['link']} `{shown}`", ""]
        elif isinstance(entry, Fifo):
            parts += [f"`{path}`: {words['fifo']}", ""]
        elif isinstance(entry, Archive):
            parts += [f"`{path}`: {words['archive_cut' if entry.cut else 'archive']}", ""]
            parts += _entries(entry.members, words, path + SEPARATOR)
    return parts


def _example(text: RuleText, words: dict[str, str]) -> str:
    if not text.example:
        return words["no_example"]
    return "\n".join([words["example_intro"], "", *_entries(text.example, words)]).rstrip("\n")


def page(rule: str, level: str, lang: str) -> str:
    """The page of `rule` (of `level`, as the engine's table gives it) in
    `lang`; KeyError when the table has no row for it."""
    texts = table(lang)
    text = texts.rules[rule]
    words = texts.words
    says = "\n".join(
        f"- `{form.replace('{module}', words['module']).replace('{reason}', words['reason'])}`" for form in text.says
    )
    return (
        f"# {rule}\n\n"
        f"{text.title}.\n\n"
        f"**{words['level']}**: {words[level]}.\n\n"
        f"## {words['says']}\n\n{says}\n\n"
        f"## {words['finds']}\n\n{text.finds}\n\n"
        f"## {words['matters']}\n\n{text.matters}\n\n"
        f"## {words['example']}\n\n{_example(text, words)}\n\n"
        f"## {words['fix']}\n\n{text.fix}\n"
    )


def index(rules: "list[tuple[str, str]]", lang: str) -> str:
    """The page that lists `rules`, (id, level) in the engine's order, each
    linked to its page beside it."""
    texts = table(lang)
    words = texts.words
    rows = "\n".join(
        f"| [`{rule}`]({rule}.md) | {level} | {texts.rules[rule].title} |" for rule, level in rules
    )
    return (
        f"# {words['index_title']}\n\n{words['index_intro']}\n\n```toml\n{EXAMPLE_POLICY}```\n\n"
        f"| {words['rule']} | {words['level']} | |\n|---|---|---|\n{rows}\n"
    )
