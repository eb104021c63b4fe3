"""MkDocs hook: the rules' pages, made from the engine's table of rules
(scanner_audit.rules(): ids and levels, in its order) and the rules' texts
of the command's package, one page per rule and language, and an index
per language. Nothing of it is written into docs/: a rule added to the
engine and to the texts has its page at the next build.

A rule of the engine that a language's table has no text for fails the
build, as does any warning under `mkdocs build --strict`.
"""

import scanner_audit
from mkdocs.structure.files import File, Files

from scanner_gate import LANGUAGES, explain

# Where each language's pages go; English, the site's language, at rules/.
FOLDERS = {"en": "rules"} | {lang: f"rules/{lang}" for lang in LANGUAGES if lang != "en"}
# Each index links to the others.
OTHER_LANGUAGES = {"en": "[En fran\u00e7ais](fr/index.md)", "fr": "[In English](../index.md)"}


def on_files(files: Files, config) -> Files:  # noqa: ANN001 - MkDocs' hook signature
    rules = scanner_audit.rules()
    for lang, folder in FOLDERS.items():
        files.append(File.generated(config, f"{folder}/index.md", content=explain.index(rules, lang) + f"\n{OTHER_LANGUAGES[lang]}\n"))
        for rule, level in rules:
            files.append(File.generated(config, f"{folder}/{rule}.md", content=explain.page(rule, level, lang)))
    return files
