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
    "unread-archive": RuleHelp(
        "An archive a walk found and its caller did not read, so nothing in it is judged.",
        "A wheel, zip, zipapp, egg or sdist lies in the tree. Python imports modules from an archive put on "
        "`sys.path`, and an installer unpacks it. The `scanner-core` command reads every archive it meets member "
        "by member (see the archives page), so it reports this finding only through the `scanner_audit` module "
        "used on its own, whose walk names archives without opening them. The file fails: read the archive, "
        "or remove it from the tree.",
        7.0,
        ("security", "imports", "archive", "unread"),
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
    "ambiguous-archive": RuleHelp(
        "An archive that two of Python's readers would read differently.",
        "The archive is built so that `zipfile` (which pip's installer uses), `zipimport` (which imports from a zip "
        "on `sys.path`) or `tarfile` with and without its data filter do not see the same members or the same bytes: "
        "two members of one name (also after case, `./` and backslashes are normalised, or a wheel's `.data/purelib` "
        "is installed over its root), a local header that disagrees with the central directory, overlapping "
        "members, bytes before the archive (other than a zipapp's shebang line), between its members or after it, "
        "a second end record, a Unicode-path field naming a member otherwise, a NUL in a name, an encrypted member, "
        "a compression method `zipimport` would read as deflate, a member that inflates past or short of its declared "
        "size or fails its CRC, a second compressed stream, a tar header `tarfile` stops at quietly. What the gate "
        "judged would then not be what Python loads. The message names the member and what differs. Tools that "
        "build wheels and sdists never make such archives: rebuild it with one. A reviewer should treat the upload "
        "as crafted to deceive a checker.",
        9.0,
        ("security", "archive", "obfuscation"),
    ),
    "unsafe-archive-member": RuleHelp(
        "A member an extractor would write outside its target, or as no regular file.",
        "A member named with `..`, as an absolute path or a drive, with a control character or a backslash, or "
        "holding `!/` (which the reports use between an archive and its member), or a tar member that is a "
        "symbolic or hard link, a device, a FIFO, a sparse file or of a type `tarfile` does not know. Extracting "
        "it could overwrite the host's files, and the data filter of `tarfile` refuses or rewrites what an "
        "extraction without it writes. Build the archive from a plain tree of regular files.",
        9.0,
        ("security", "archive", "path-traversal"),
    ),
    "wheel-record-mismatch": RuleHelp(
        "A wheel whose RECORD does not list exactly its files with their hashes.",
        "A wheel's `.dist-info/RECORD` lists every file with its hash (sha256 or stronger) and size. A file it "
        "does not list, lists with another hash or size, or lists and the wheel lacks means the wheel was changed "
        "after it was built, and an installer that checks RECORD refuses it. Rebuild the wheel; a reviewer should "
        "ask where the change came from.",
        8.0,
        ("security", "archive", "integrity"),
    ),
    "archive-bound-exceeded": RuleHelp(
        "An archive past a bound of the policy: refused, not read on.",
        "The archive declares or holds more than the policy's `[archives]` table allows: more members than "
        "`max_members`, archives nested deeper than `max_depth`, a member larger than `max_member_bytes` or "
        "compressed more than `max_ratio` times, more than `max_total_bytes` decompressed in all. A compression "
        "bomb is refused at once, not waited for. What lies beyond the bound is not judged, so the archive fails. "
        "If the archive is genuine, raise the bound in the policy, which is the reviewer's decision.",
        7.0,
        ("security", "archive", "denial-of-service", "unread"),
    ),
    "unreadable-archive": RuleHelp(
        "An archive that Python's readers cannot read.",
        "The file is named or made as an archive but is no zip or tar that `zipfile` and `tarfile` read: cut short, "
        "corrupt, split over disks, or compressed in a stream Python cannot undo. Python could not import from it "
        "nor pip install it as it is, but a more lenient tool might: nothing in it is judged, so it fails. "
        "Upload the archive again, whole.",
        7.0,
        ("security", "archive", "unread"),
    ),
    "nothing-judged": RuleHelp(
        "A path given, in a run that judged no file at all.",
        "The paths given held no Python source, no archive and no file Python would import (an empty directory, "
        "a tree of other files, a misspelt path to the wrong folder). A gate that judged nothing must not pass: "
        "check the paths given to the command.",
        5.0,
        ("security", "unread"),
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
