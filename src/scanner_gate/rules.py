"""What the code-scanning formats say of each rule, keyed by rule id: a full
description, help in Markdown (its plain text drops the backquotes), a
security severity from 0.0 to 10.0 and tags. A rule this table does not
know (a kind of finding added later) gets a generic text from its level,
so that it still reports sensibly.
"""

import dataclasses

from scanner_gate.findings import Kind


@dataclasses.dataclass(frozen=True)
class RuleHelp:
    full_description: str
    markdown: str
    security_severity: float
    tags: tuple[str, ...]

    @property
    def text(self) -> str:
        return self.markdown.replace("`", "")


_FIX_POLICY = (
    "If the import is intended, the plugin needs a change of policy, which is the reviewer's decision, "
    "not the plugin's."
)
_HIDDEN = (
    "The line scan reads one line at a time and does not see it; reading the file as Python does shows "
    "that Python runs it."
)

HELP = {
    "forbidden-import": RuleHelp(
        "The file imports a module whose root the policy forbids.",
        "The plugin imports a module under a root that the policy's `forbidden` list names (for example "
        "`os` or `subprocess`), which gives it powers the host does not grant plugins. Remove the import. "
        + _FIX_POLICY,
        8.0,
        ("security", "imports", "policy"),
    ),
    "unlisted-import": RuleHelp(
        "The file imports a module on none of the policy's lists.",
        "The module is neither forbidden nor allowed (by `allowed_exact` or `allowed_prefixes`) nor one of the "
        "plugin's `local_modules`. It does not fail the file, but a reviewer should know what it is and "
        "decide whether the policy should allow or forbid it.",
        3.0,
        ("security", "imports", "policy"),
    ),
    "unreadable-file": RuleHelp(
        "A file that cannot be opened, so nothing it imports is known.",
        "The file could not be opened (permissions, a broken link, a FIFO, a device or a socket). Python might "
        "still import it, so it fails until it can be read and judged.",
        7.0,
        ("security", "imports", "unreadable"),
    ),
    "other-scan-error": RuleHelp(
        "An error of the scan in a form this report does not know.",
        "The scan reported an error this version of the report does not recognise; read its message. The "
        "file fails.",
        7.0,
        ("security", "imports"),
    ),
    "other-scan-warning": RuleHelp(
        "A warning of the scan in a form this report does not know.",
        "The scan reported a warning this version of the report does not recognise; read its message.",
        3.0,
        ("security", "imports"),
    ),
    "hidden-forbidden-import": RuleHelp(
        "A forbidden import written so that a line scan does not see it.",
        "An import of a forbidden module as a second name of an import, on a line shared with other code, "
        "after a line continuation, inside a compound statement, or as `__import__` or `importlib.import_module` with "
        "a constant name. " + _HIDDEN + " Hiding an import is itself a reason for suspicion.",
        9.0,
        ("security", "imports", "policy", "obfuscation"),
    ),
    "hidden-unlisted-import": RuleHelp(
        "An import on none of the policy's lists, written so that a line scan does not see it.",
        "An import of a module on none of the policy's lists, in a form the line scan does not read. "
        + _HIDDEN + " It does not fail the file.",
        4.0,
        ("security", "imports", "policy", "obfuscation"),
    ),
    "non-constant-dynamic-import": RuleHelp(
        "A call of __import__ or import_module whose module name is not a constant string.",
        "The module imported is computed when the plugin runs (`__import__(name)`, "
        "`importlib.import_module(name)`), so no reading of the source can tell which it is. Review where "
        "the name comes from.",
        5.0,
        ("security", "imports", "dynamic"),
    ),
    "unaudited-file": RuleHelp(
        "A file that cannot be read to its end as Python source, so its imports are unknown.",
        "Python's parser refuses the file, or it is in an encoding or of a size the audit does not read. "
        "What it imports is unknown, so it fails until it can be read and judged.",
        7.0,
        ("security", "imports", "unreadable"),
    ),
    "extension-module": RuleHelp(
        "A compiled extension module in the plugin tree, which Python imports and no one can review.",
        "A file ending in `.so` or `.pyd` (every suffix of `importlib.machinery.EXTENSION_SUFFIXES`) is native "
        "code that Python imports like any module: `from . import native` beside it loads it, and it can do "
        "anything. Ship the source instead, or have the host vet the binary by other means.",
        9.0,
        ("security", "imports", "binary"),
    ),
    "compiled-bytecode": RuleHelp(
        "A .pyc file, which Python may run instead of the reviewed source.",
        "Python runs a `.pyc` that stands alone, and one in `__pycache__` whose hash is not checked or whose "
        "recorded size and time match the source, instead of the `.py` beside it. Remove every `.pyc` "
        "(and `__pycache__`) from the plugin before review.",
        8.5,
        ("security", "imports", "binary"),
    ),
    "path-configuration-file": RuleHelp(
        "A .pth file, whose import lines run when the interpreter starts.",
        "Once installed in a site directory, every line of a `.pth` that begins with `import` is executed at "
        "every start of the interpreter, before the host runs. A plugin has no reason to ship one.",
        9.0,
        ("security", "imports", "startup"),
    ),
    "import-archive": RuleHelp(
        "A zip, egg, wheel or zipapp archive, importable once on the path and not read.",
        "Python imports modules from an archive put on `sys.path`; the gate does not open archives, so their "
        "content is not judged. It does not fail the file unless the policy fails on warnings.",
        5.0,
        ("security", "imports", "archive"),
    ),
    "dangling-link": RuleHelp(
        "A link named as a module whose target does not exist.",
        "The link points nowhere now, but it may point at any file once the plugin is installed: what it "
        "would import cannot be judged. Replace it by the file itself.",
        7.0,
        ("security", "imports", "unreadable"),
    ),
    "not-a-regular-file": RuleHelp(
        "A FIFO, socket or device named as a module.",
        "Reading it could wait forever or give anything, so it is not read; a plugin has no reason to ship "
        "one.",
        7.0,
        ("security", "imports", "unreadable"),
    ),
    "link-loop": RuleHelp(
        "A link that leads back into itself or to a directory above it.",
        "The walk does not follow it a second time, so what lies behind it is judged once, elsewhere, or not "
        "at all. A plugin has no reason to ship one.",
        7.0,
        ("security", "unreadable"),
    ),
    "unreadable-entry": RuleHelp(
        "A directory or entry the walk cannot open, list or look up.",
        "What it holds is unknown, so the tree fails until it can be read and judged; the message gives the "
        "system's reason.",
        7.0,
        ("security", "unreadable"),
    ),
    "importer-reference": RuleHelp(
        "An importer, a code runner or a module's loader used other than in a call the audit can judge.",
        "`__import__`, `importlib.import_module`, `exec`, `eval`, `compile` or `__loader__` assigned to a "
        "name, passed to another function, reached by `getattr` or by a subscript: whatever is later called "
        "through it cannot be judged from the source. Call the importer directly with a constant name.",
        6.0,
        ("security", "imports", "dynamic", "obfuscation"),
    ),
    "dynamic-code": RuleHelp(
        "exec, eval or compile of text that is not a constant string, or that Python refuses.",
        "Code built while the plugin runs can import anything. Text given as a constant is audited as Python "
        "source; anything else cannot be judged.",
        6.0,
        ("security", "imports", "dynamic"),
    ),
    "relative-dynamic-import": RuleHelp(
        "A relative name given to __import__ or import_module with an anchor that is not a constant.",
        "`import_module(\".x\", package)` resolves against `package`; when that is computed, so is the "
        "module imported. Give the anchor as a constant, or import absolutely.",
        5.0,
        ("security", "imports", "dynamic"),
    ),
    "relative-import-above-root": RuleHelp(
        "A relative import that climbs above the root of the plugin tree.",
        "`from .. import x` from the tree's top reaches the package that holds the plugin: the host's own "
        "modules, which the policy never judged. A plugin imports only its own modules relatively.",
        8.0,
        ("security", "imports", "policy"),
    ),
}


def help_of(kind: Kind) -> RuleHelp:
    """The help of a rule, or a generic one from its level."""
    if kind.id in HELP:
        return HELP[kind.id]
    failing = kind.level == "error"
    return RuleHelp(
        kind.description,
        kind.description + (" The file fails." if failing else " It does not fail the file.")
        + " Read the finding's message for the details.",
        7.0 if failing else 3.0,
        ("security", "imports"),
    )
