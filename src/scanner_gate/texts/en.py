"""The rules' texts in English (see scanner_gate.texts): a row per rule,
its `says` in the order of the French table's."""

from scanner_gate.texts import Archive, Fifo, File, Link, RuleText, Table

_POLICY_CHANGE = (
    "If the import is intended, the plugin needs a change of policy: that is the reviewer's decision, not the "
    "plugin's."
)
_HIDDEN = (
    "A line scan reads one line at a time and does not see it; the audit reads the file as Python does and shows "
    "that Python runs it."
)
_REMOVE_ENTRY = "Remove it from the plugin, or ask the host's maintainers to vet it by other means."

RULES = {
    "forbidden-import": RuleText(
        title="An import whose root the policy forbids",
        says=("forbidden import \u2014 '{module}'",),
        finds="An `import` or `from ... import` statement of a module under a root that the policy's `forbidden` "
        "list names: `os` forbids `os`, `os.path` and every module below it.",
        matters="A forbidden module gives the plugin powers the host does not grant plugins: running programs, "
        "opening sockets, reading and writing any file. The file fails.",
        fix="Author: remove the import and use what the host offers instead. Reviewer: " + _POLICY_CHANGE,
        example=(File("plugin/cli.py", "import subprocess\n\nsubprocess.run(['ls'])\n"),),
    ),
    "unlisted-import": RuleText(
        title="An import on none of the policy's lists",
        says=("unlisted import \u2014 '{module}'",),
        finds="An import of a module that is neither forbidden, nor allowed by `allowed_exact` or "
        "`allowed_prefixes`, nor one of the plugin's own `local_modules`.",
        matters="Nobody has judged the module yet. It does not fail the file unless the policy fails on warnings "
        "(`fail_on = \"warning\"`, deny by default).",
        fix="Reviewer: decide whether the module belongs in `allowed_exact`, `allowed_prefixes` or `forbidden`. "
        "Author: if the module is the plugin's own package, name it in `local_modules`.",
        example=(File("plugin/feed.py", "import yaml\n"),),
    ),
    "unreadable-file": RuleText(
        title="A file that cannot be opened",
        says=("cannot open the file", "cannot open the file ({reason})"),
        finds="A file that the scan cannot open for reading: no permission, a link to a file that cannot be read, "
        "a FIFO, a device or a socket named on the command line. The reason in parentheses, for an archive given, "
        "is the system's.",
        matters="Python might still import it once the plugin is installed, and nothing it imports is known. The "
        "file fails.",
        fix="Make the file a plain, readable file, or remove it from the plugin.",
        example=(Link("plugin/secret.py", "/sys/bus/platform/uevent"),),
    ),
    "other-scan-error": RuleText(
        title="An error of the line scan in a form this command does not know",
        says=("{reason}",),
        finds="A message of the line scan, at the level of an error, in none of the forms above. No version of "
        "the module makes one today: the rule is there so that a new form is reported, never dropped.",
        matters="The file fails, as for any error.",
        fix="Read the message, and update the command to a version that knows the form.",
    ),
    "other-scan-warning": RuleText(
        title="A warning of the line scan in a form this command does not know",
        says=("{reason}",),
        finds="A message of the line scan, at the level of a warning, in none of the forms above. No version of "
        "the module makes one today.",
        matters="It does not fail the file unless the policy fails on warnings.",
        fix="Read the message, and update the command to a version that knows the form.",
    ),
    "hidden-forbidden-import": RuleText(
        title="A forbidden import that a line scan does not see",
        says=("hidden forbidden import \u2014 '{module}'",),
        finds="An import of a forbidden module written where a line scan does not look: the second name of "
        "`import json, os`, after `;`, on the line of `if` or `try`, across a continuation line, in a name "
        "written in other letters that Python folds (`import \uff4f\uff53`), or a call of `__import__` or "
        "`importlib.import_module` with a constant name.",
        matters=_HIDDEN + " Hiding an import is a reason for suspicion in itself. The file fails.",
        fix="Author: remove the import. Reviewer: read the file with the reason it was hidden in mind.",
        example=(File("plugin/util.py", "import json, os\n"),),
    ),
    "hidden-unlisted-import": RuleText(
        title="An import on none of the lists that a line scan does not see",
        says=("hidden unlisted import \u2014 '{module}'",),
        finds="An import of a module on none of the policy's lists, in a form a line scan does not read (see "
        "[hidden-forbidden-import](hidden-forbidden-import.md)).",
        matters=_HIDDEN + " It does not fail the file unless the policy fails on warnings.",
        fix="As for [unlisted-import](unlisted-import.md): the reviewer decides where the module belongs.",
        example=(File("plugin/util.py", "import json, yaml\n"),),
    ),
    "non-constant-dynamic-import": RuleText(
        title="A call of __import__ or import_module whose module is not a constant",
        says=("non-constant dynamic import \u2014 '{module}'",),
        finds="A call of `__import__`, `importlib.import_module` (or a name an import statement binds to them) "
        "whose module name is computed: a variable, an f-string, anything Python's compiler does not fold to a "
        "constant string (`\"o\" + \"s\"` is one); or `__import__` given a `fromlist` that is no list or tuple of "
        "constant strings, whose names it imports below the module. The finding names the function called.",
        matters="The module is chosen when the plugin runs, so no reading of the source can tell which it is: it "
        "may be any forbidden one. A warning; it fails the file under deny by default.",
        fix="Author: import the modules by name, or choose among constant names. Reviewer: follow where the name "
        "comes from.",
        example=(File("plugin/loader.py", "name = input()\n__import__(name)\n"),),
    ),
    "unaudited-file": RuleText(
        title="A file that cannot be read to its end as Python source",
        says=(
            "file refused by Python's parser ({reason})",
            "file not audited by the engine, to be read by Python ({reason})",
            "dynamic code not audited ({reason})",
            "file unreadable for the audit ({reason})",
            "member of a tar archive to be read by Python ({reason}), too long to be kept while it is read again",
        ),
        finds="A file that the audit could not read to its end as Python reads it: bytes invalid in its encoding, "
        "a NUL byte, a string or a bracket still open at its end, nesting deeper than Python allows, a coding "
        "declaration of a codec Python refuses, text given to `exec` nested too deep, bytes given to it in a codec "
        "only Python decodes, or constants that fold past the audit's bound; or a tar's member in a "
        "codec only Python decodes, longer than the 8 MiB kept to read it again. The reason in parentheses is "
        "Python's own, in its words, where Python gives one.",
        matters="What the file imports is unknown, so it fails: a file Python cannot read as it stands cannot be "
        "imported either, and a gate does not pass what it has not read.",
        fix="Author: fix the file until Python compiles it (`python -m py_compile FILE` says where it stops). "
        "Reviewer: a plugin that ships a file Python refuses has no reason to.",
        example=(File("plugin/broken.py", "print(\"never closed\n"),),
    ),
    "extension-module": RuleText(
        title="A compiled extension module, which Python imports and no one can read",
        says=("compiled extension module, which Python imports with no source to read",),
        finds="A file whose name ends in `.so` or `.pyd` (every suffix of "
        "`importlib.machinery.EXTENSION_SUFFIXES`), in the tree or named on the command line.",
        matters="Native code that Python imports like any module: `from . import speedups` beside it loads it, "
        "and it can do anything. The gate cannot judge it. The file fails.",
        fix="Author: ship the source instead. Reviewer: " + _REMOVE_ENTRY,
        example=(File("plugin/speedups.cpython-313-x86_64-linux-gnu.so", ""),),
    ),
    "compiled-bytecode": RuleText(
        title="A .pyc file, which Python may run instead of the reviewed source",
        says=("compiled bytecode, which Python may run instead of the source",),
        finds="A `.pyc` file anywhere in the tree, `__pycache__` included.",
        matters="Python runs a `.pyc` that stands alone, and one in `__pycache__` whose hash is not checked or "
        "whose recorded size and time match the source, instead of the `.py` beside it: the code that runs is not "
        "the code reviewed. The file fails.",
        fix="Remove every `.pyc` and `__pycache__` from the plugin before review (`git clean -X`, or build the "
        "archive without them).",
        example=(File("plugin/__pycache__/cli.cpython-313.pyc", ""),),
    ),
    "path-configuration-file": RuleText(
        title="A .pth file, whose import lines run when the interpreter starts",
        says=("path configuration file, whose import lines run when Python starts",),
        finds="A file whose name ends in `.pth`.",
        matters="Once installed in a site directory, every line of a `.pth` that begins with `import` runs at "
        "every start of the interpreter, before the host runs. A plugin has no reason to ship one. The file "
        "fails.",
        fix=_REMOVE_ENTRY,
        example=(File("plugin/plugin.pth", "import os; os.system('true')\n"),),
    ),
    "unread-archive": RuleText(
        title="An archive a walk found and did not read",
        says=("archive not read (wheel, zip, zipapp, egg or sdist)",),
        finds="A wheel, zip, zipapp, egg or sdist (`.whl`, `.zip`, `.pyz`, `.egg`, `.tar.gz` and the other suffixes "
        "of a tar) that the engine's walk found in a tree and left unopened. The `scanner-core` command reads every "
        "archive it meets, member by member (see [Archives](../archives.md)), so it never reports this finding: only "
        "the module `scanner_audit` used on its own does, whose walk names archives without opening them.",
        matters="Python imports modules from an archive put on `sys.path`, and an installer unpacks it: what it holds "
        "runs like any other file of the plugin, and none of it is judged. The file fails.",
        fix="Judge the tree with the `scanner-core` command, which reads the archive, or remove the archive from the "
        "plugin.",
    ),
    "unread-entry-points": RuleText(
        title="A file of entry points a walk found and did not read",
        says=("entry points not read (entry_points.txt or pyproject.toml)",),
        finds="An `entry_points.txt` in a distribution's metadata directory (`.dist-info`, `.egg-info`, an egg's "
        "`EGG-INFO`) or a `pyproject.toml` that the engine's walk found in a tree and left unread. The "
        "`scanner-core` command reads every such file it meets (see `invalid-entry-point`), so it never reports "
        "this finding: only the module `scanner_audit` used on its own does, whose walk names them without "
        "reading them.",
        matters="The host imports the module each entry point names when it loads the plugin, and none of them is "
        "judged. The file fails.",
        fix="Judge the tree with the `scanner-core` command, which reads the entry points.",
    ),
    "dangling-link": RuleText(
        title="A link named as a module whose target does not exist",
        says=("link to a missing file ({reason})", "link to a missing file"),
        finds="A symbolic link named like a module (`.py`) or like any entry above whose target does not exist.",
        matters="The link points nowhere now, but may point at any file once the plugin is installed: what it "
        "would import cannot be judged. The entry fails.",
        fix="Replace the link by the file itself.",
        example=(Link("plugin/helpers.py", "missing.py"),),
    ),
    "not-a-regular-file": RuleText(
        title="A FIFO, socket or device named as a module",
        says=("neither a regular file nor a directory",),
        finds="A FIFO, a socket or a device named like a module or like any entry above.",
        matters="Reading it could wait forever or give anything, so it is not read; a plugin has no reason to "
        "ship one. The entry fails.",
        fix=_REMOVE_ENTRY,
        example=(Fifo("plugin/pipe.py"),),
    ),
    "link-loop": RuleText(
        title="A link that leads back into itself or to a directory above it",
        says=("loop of links ({reason})", "loop of links"),
        finds="A link to a directory that is being walked, to a directory that holds the tree (`/`, the tree's "
        "parent), or to itself.",
        matters="The walk does not follow it a second time, so what lies behind it is judged once, elsewhere, or "
        "not at all. A plugin has no reason to ship one. The entry fails.",
        fix="Remove the link.",
        example=(Link("plugin/again", "."),),
    ),
    "unreadable-entry": RuleText(
        title="A directory or entry the walk cannot open, list or look up",
        says=("unreadable entry ({reason})", "unreadable entry"),
        finds="A directory that cannot be opened or listed, or an entry whose target cannot be looked up "
        "(permissions, a name too long). The reason in parentheses is the system's.",
        matters="What it holds is unknown, so the tree fails until it can be read and judged. The rest of the "
        "tree is walked and reported as usual.",
        fix="Make the entry readable by the user that runs the gate, or remove it.",
        example=(Link("plugin/long.py", "n" * 300),),
    ),
    "importer-reference": RuleText(
        title="An importer, a code runner or a loader named other than in a call",
        says=("reference to an importer outside a call \u2014 '{module}'",),
        finds="`__import__`, `import_module`, `exec`, `eval`, `compile`, `__loader__` or `__spec__.loader` used "
        "other than by calling it: assigned to a name, passed to a function, reached with `getattr` or with a "
        "subscript whose key is a constant (`__builtins__[\"__import__\"]`).",
        matters="Whatever is later called through the new name cannot be judged from the source: it is a way "
        "around the audit of dynamic imports. A warning; it fails the file under deny by default.",
        fix="Author: call the importer directly, with a constant name. Reviewer: follow where the reference goes.",
        example=(File("plugin/tricks.py", "load = __import__\n"),),
    ),
    "dynamic-code": RuleText(
        title="exec, eval or compile of text that is not a constant, or that Python refuses",
        says=("non-constant dynamic code \u2014 '{module}'", "dynamic code refused by Python, which will not run it"),
        finds="A call of `exec`, `eval` or `compile` given anything but a constant string or bytes as Python's "
        "compiler folds them (a variable, an f-string with a field, a text longer than CPython folds), or given "
        "a constant text that Python refuses to compile. A constant text is itself audited as Python source "
        "(`\"imp\" + \"ort os\"` included), and its imports are reported at the call's line.",
        matters="Code built while the plugin runs can import anything. A warning; it fails the file under deny "
        "by default.",
        fix="Author: write the code as code. Reviewer: follow where the text comes from.",
        example=(File("plugin/run.py", "exec(input())\n"),),
    ),
    "relative-dynamic-import": RuleText(
        title="A relative dynamic import whose anchor is not a constant",
        says=("relative dynamic import without a constant anchor \u2014 '{module}'",),
        finds="A relative name given to `importlib.import_module` or `__import__` whose anchor (the `package` "
        "argument, or the globals given) is computed.",
        matters="The module imported is resolved against the anchor, so when the anchor is computed the module "
        "is too. A warning; it fails the file under deny by default.",
        fix="Give the anchor as a constant, or import by an absolute name.",
        example=(File("plugin/late.py", "import importlib\n\npackage = input()\nimportlib.import_module('.tools', "
                      "package)\n"),),
    ),
    "relative-import-above-root": RuleText(
        title="A relative import that climbs above the root of the plugin tree",
        says=("relative import out of the tree \u2014 '{module}'",),
        finds="A relative import (a statement, or a dynamic import anchored on the module's own package) whose "
        "level climbs above the tree given: `from .. import x` in a file at the tree's top.",
        matters="It reaches the package that holds the plugin once installed, the host's own modules, which the "
        "policy never judged. The file fails.",
        fix="A plugin imports only its own modules relatively; import anything else by its absolute name, which "
        "the policy then judges.",
        example=(File("plugin/cli.py", "from .. import host\n"),),
    ),
    "forbidden-module-reached": RuleText(
        title="A forbidden module taken through a module the policy allows",
        says=("forbidden module reached by a chain of names \u2014 '{module}'",),
        finds="A name bound to a module of the standard library, or of a table the policy's `holdings` names, "
        "followed, attribute by attribute, to a forbidden "
        "module or an object defined in one: `from logging import os`, `logging.os.system(...)`, "
        "`tempfile._shutil.rmtree(...)`, `from ssl import *` (which binds `os`). The message names the chain and "
        "the module it reaches. What each standard module holds is read off the interpreter when the engine is "
        "built; what other modules hold, off the tables `scanner-core --write-holdings` writes.",
        matters="Python hands the plugin the forbidden module itself: allowing `logging` would allow `os`. The file "
        "fails.",
        fix="Import what the plugin needs from the module that defines it, which the policy then judges; or, if the "
        "plugin may have it, allow that module.",
        example=(File("plugin/log.py", "import json.tool\n\njson.tool.argparse._os.getcwd()\n"),),
    ),
    "object-graph": RuleText(
        title="What leads into the interpreter's objects, past every import",
        says=("reach into the interpreter's object graph \u2014 '{module}'",),
        finds="Reading an attribute that leads to other modules' objects on any object: `__globals__`, "
        "`__subclasses__`, `__builtins__`, `__code__`, `__closure__`, a frame's `f_globals`, `f_locals`, "
        "`f_builtins` or `f_back`, a generator's, coroutine's or traceback's frame (`gi_frame`, `cr_frame`, "
        "`ag_frame`, `tb_frame`); and calling what hands out frames or every object: `gc.get_objects`, "
        "`gc.get_referrers`, `gc.get_referents`, `sys._getframe`, `sys._current_frames`, `inspect.currentframe`, "
        "`inspect.stack`, `inspect.trace`, `logging.currentframe`.",
        matters="From there a plugin reaches any module already loaded, with no import at all: "
        "`().__class__.__mro__[1].__subclasses__()` leads to `os._wrap_close`, and its `__init__.__globals__` to "
        "`os.system`. What it reaches cannot be read from the file: a warning, which `--fail-on warning` makes "
        "fatal.",
        fix="Plugins rarely need these; introspection libraries do. Review what the code does with them, and keep "
        "such a plugin under `--fail-on error` only if you trust it.",
        example=(File("plugin/peek.py", "def hook():\n    pass\n\n\nhook.__globals__\n"),),
    ),
    "search-path": RuleText(
        title="Where imports are searched, changed at run time",
        says=("import search paths changed \u2014 '{module}'",),
        finds="Assigning or changing in place `sys.path`, `sys.meta_path` or `sys.path_hooks` (through a name bound "
        "to `sys`), a package's `__path__` or `__spec__.submodule_search_locations`: `sys.path.insert(0, ...)`, "
        "`__path__.append(...)`, `sys.path += [...]`, `sys.path[0:0] = [...]`.",
        matters="The modules imported afterwards come from where the plugin chose: `__path__.append(<a directory of "
        "the standard library>)` then `from . import socket` runs the real `socket` under the plugin's name, which "
        "the policy never judges. A warning, which `--fail-on warning` makes fatal.",
        fix="A plugin imports its own modules relatively and nothing else by path. Remove the change, or install "
        "what it needs as a dependency the policy can judge.",
        example=(File("plugin/paths.py", "import sys\n\nsys.path.insert(0, \"/tmp/elsewhere\")\n"),),
    ),
    "forbidden-attribute-use": RuleText(
        title="A use of a forbidden module beyond the attributes the policy allows",
        says=("use of a forbidden module beyond the allowed attributes \u2014 '{module}'",),
        finds="Under a policy whose `allowed_attributes` lets plugins use some attributes of a forbidden module "
        "(`os.path`, `os.environ`), any other use of a name bound to it: another attribute (`os.system`), the bare "
        "name passed on, stored or returned (`getattr(os, name)`, `f(os)`), `from os import system`, or a chain "
        "through an allowed attribute back to a forbidden module (`os.path.os`). The message names the use. Where "
        "every use is allowed, the import itself no longer fails the file, and the report lists the attributes used.",
        matters="An allowed attribute is safe only while the module goes nowhere else: one use beyond it hands the "
        "plugin the whole module. The file fails.",
        fix="Use only the allowed attributes, written out from the module's name (`os.path.join(...)`); or ask the "
        "reviewer to allow the attribute the plugin needs.",
        example=(File("plugin/native.py", "import ctypes\n\nctypes.CDLL(None)\n"),),
    ),
    "type-checking-import": RuleText(
        title="A finding only type checkers see, judged as a warning",
        says=("forbidden import \u2014 '{module}'", "hidden forbidden import \u2014 '{module}'",
              "forbidden module reached by a chain of names \u2014 '{module}'",
              "relative import out of the tree \u2014 '{module}'"),
        finds="Under a policy with `type_checking = \"warning\"`, a finding that fails its file elsewhere, standing "
        "under `if TYPE_CHECKING:` where `TYPE_CHECKING` is typing's, imported and never rebound, and nothing in "
        "the file may change it. The message is the finding's own.",
        matters="Python never runs such a block: the import serves type checkers only. It is shown, and fails the "
        "file only under `--fail-on warning`.",
        fix="Nothing, if the import serves annotations only; move it out of the block if the code needs it at run "
        "time, and the policy judges it as any import.",
        example=(File("plugin/types.py", "from typing import TYPE_CHECKING\n\nif TYPE_CHECKING:\n    import socket\n"),),
    ),
    "type-checking-changed": RuleText(
        title="A file that may change TYPE_CHECKING, which the policy relies on",
        says=("TYPE_CHECKING may be changed by this file, which the policy relies on \u2014 '{module}'",),
        finds="Under a policy with `type_checking = \"warning\"` or `\"ignore\"`, a file that assigns "
        "`typing.TYPE_CHECKING` (or `X.TYPE_CHECKING` for any `X`), calls `setattr` on `typing` or on what "
        "`sys.modules` holds with a name that is no constant, or holds the word `TYPE_CHECKING` in a string.",
        matters="Set to true, `TYPE_CHECKING` makes every `if TYPE_CHECKING:` block of the plugin run, and the "
        "imports the policy let pass as type checkers' only would run. The file fails.",
        fix="A plugin never needs to change `TYPE_CHECKING`: remove the assignment.",
        example=(File("plugin/hack.py", "import typing\n\ntyping.TYPE_CHECKING = True\n"),),
    ),
    "missing-local-module": RuleText(
        title="A local or relative import that no file of the tree provides",
        says=("local module missing from the tree \u2014 '{module}'",),
        finds="A relative import (`from .x import y`, `from . import x`, `import_module(\".x\", __package__)`) or an "
        "import of one of the plugin's `local_modules` (`import plugin.x`) whose module no file of the tree "
        "provides where Python looks for it: no `x.py`, `x.pyc`, extension module, package `x/` or namespace "
        "directory `x/` beside the importing package. The message names the module and the file expected. A name "
        "a `from` statement takes may be an attribute of the package: it is a finding only when it is the name of "
        "a standard module, or the package has no `__init__`. A file given alone is taken to lie in its package "
        "(its directory, walked upward while `__init__` is there).",
        matters="Python then takes whatever the package's search path leads to: a plugin that appended the "
        "standard library's directory to its `__path__` and writes `from . import socket` runs the real "
        "`socket` under its own name, which the policy never judges. A warning, which `--fail-on warning` makes "
        "fatal.",
        fix="Author: ship the module, or remove the import. Reviewer: a plugin that imports a module it does not "
        "hold, next to a change of its search path (`search-path`), is laundering a standard module.",
        example=(File("plugin/__init__.py", "from . import socket\n"),),
    ),
    "ambiguous-archive": RuleText(
        title="An archive that two of Python's readers would read differently",
        says=("ambiguous archive, which two of Python's readers would read differently ({reason})",),
        finds="An archive built so that `zipfile` (which pip's installer uses), `zipimport` (which imports from a zip "
        "on `sys.path`) or `tarfile` with and without its data filter do not see the same members or the same bytes: "
        "two members of one name, or of one place once case is folded, separators made one and `./` dropped (or, in "
        "a wheel, `.data/purelib` installed over its root); a file that is also a directory; a local header that "
        "disagrees with the central directory; members that overlap, bytes before the archive (other than a "
        "zipapp's shebang line), between its members or after it; a second end record; a Unicode-path field naming "
        "a member otherwise; a NUL in a name; an encrypted member; a compression method `zipimport` would read as "
        "deflate; a member that inflates past or short of its declared size, or fails its CRC; a second compressed "
        "stream; a tar header `tarfile` stops at without a word. The reason in parentheses names the member and "
        "what differs.",
        matters="What the gate judged would not be what Python loads: the member reviewed may be the one an "
        "installer drops. Packaging tools never build such an archive, so it is the mark of one crafted to deceive "
        "a checker. The archive fails, whatever its members hold.",
        fix="Author: rebuild the archive with a packaging tool. Reviewer: treat the upload as crafted to deceive, and "
        "ask where it came from.",
        example=(Archive("plugin/vendor.zip", (File("tools/run.py", "import json\n"),
                                                File("tools/RUN.py", "import os\n"))),),
    ),
    "unsafe-archive-member": RuleText(
        title="A member an extractor would write outside its target, or as no regular file",
        says=("member unsafe to extract ({reason})",),
        finds="A member named with `..`, as an absolute path or with a drive, with a control character or a "
        "backslash, or holding `!/` (which the reports put between an archive and its member); a zip member whose "
        "Unix mode makes it a link, a device or a FIFO; a tar member that is a symbolic or hard link, a device, a "
        "FIFO, a sparse file or of a type `tarfile` does not know. The reason in parentheses names the member and "
        "what is wrong.",
        matters="Extracting it could write outside the plugin's folder, over the host's files: a "
        "`../sitecustomize.py` lands beside the plugin's package, where the interpreter imports it at every start. "
        "`tarfile`'s data filter refuses or rewrites what an extraction without it writes, so two extractions "
        "differ too. The archive fails.",
        fix="Build the archive from a plain tree of regular files, with a packaging tool.",
        example=(Archive("plugin/vendor.zip", (File("../sitecustomize.py", "import os\n"),)),),
    ),
    "wheel-record-mismatch": RuleText(
        title="A wheel whose RECORD does not list exactly its files with their hashes",
        says=("wheel whose RECORD does not match its contents ({reason})",),
        finds="A wheel (`.whl`) without one `NAME.dist-info/RECORD`, or whose RECORD lists a file with another hash "
        "or size, leaves out one of its files, lists one the wheel lacks, or lists one twice or with a hash of md5, "
        "sha1 or an algorithm `hashlib` does not always have. Every file but RECORD itself and its signatures must "
        "be listed once, with a sha256 (or stronger) hash.",
        matters="A wheel changed after it was built is no longer what its builder wrote, and an installer that "
        "checks RECORD refuses it. The wheel fails; its members are judged all the same.",
        fix="Author: build the wheel with a packaging tool rather than zipping a folder or editing the wheel. "
        "Reviewer: ask where the change came from.",
        example=(Archive("plugin/dist/plugin-1.0-py3-none-any.whl", (
            File("plugin/__init__.py", "import json\n"),
            File("plugin-1.0.dist-info/METADATA", "Metadata-Version: 2.1\nName: plugin\nVersion: 1.0\n"),
        )),),
    ),
    "archive-bound-exceeded": RuleText(
        title="An archive past a bound of the policy, refused and not read on",
        says=("reading of the archive stopped by a bound of the policy ({reason})",),
        finds="An archive that declares or holds more than the policy's `[archives]` table allows: more members "
        "than `max_members`, archives nested deeper than `max_depth`, a member larger than `max_member_bytes` or "
        "compressed more than `max_ratio` times, more than `max_total_bytes` decompressed in all, or a compressed "
        "archive nested in it larger than its reading may hold in memory. Each archive that holds it fails too, its "
        "reading stopped before its end (see [Archives](../archives.md#bounds)).",
        matters="A compression bomb is refused at once, not waited for; what lies beyond the bound is not judged, so "
        "the archive fails, counted as not read.",
        fix="If the archive is genuine, raise the bound in the policy: that is the reviewer's decision, not the "
        "plugin's.",
        example=(Archive("plugin/vendor.zip", (Archive("deps.zip", (Archive("inner.zip", (
            File("mod.py", "import json\n"),)),)),)),),
    ),
    "unreadable-archive": RuleText(
        title="An archive Python's readers cannot read",
        says=("archive unreadable by Python's readers ({reason})",),
        finds="A file named or made as an archive that is no zip or tar `zipfile` and `tarfile` read: cut short, "
        "corrupt, split over disks, or compressed in a stream Python cannot undo. The reason in parentheses is the "
        "gate's, or Python's own in its words.",
        matters="Python could not import from it nor pip install it as it is, but a more lenient tool might: nothing "
        "in it is judged, so it fails, counted as not read.",
        fix="Upload the archive again, whole, or rebuild it.",
        example=(Archive("plugin/dist/plugin-1.0.tar.gz", (
            File("plugin-1.0/PKG-INFO", "Metadata-Version: 2.1\nName: plugin\nVersion: 1.0\n"),
            File("plugin-1.0/plugin/__init__.py", "import json\n"),
        ), cut=True),),
    ),
    "invalid-entry-point": RuleText(
        title="An entry point the gate cannot judge as the host would load it",
        says=("entry point unreadable ({reason})", "entry point target that is not a Python dotted name \u2014 "
              "'{module}'"),
        finds="In an `entry_points.txt` of a distribution's metadata, or in the `[project.scripts]`, "
        "`[project.gui-scripts]` and `[project.entry-points.GROUP]` tables of a `pyproject.toml`: a file that is "
        "no UTF-8 or that TOML refuses, a line without `=` (`importlib.metadata` raises on it), an entry before any "
        "`[group]`, a value that is no string, or a target (`module:attr.sub [extras]`) whose module or attributes "
        "are not names that Python source writes as the host names them: a keyword, a name NFKC folds to "
        "another, an empty part, a line break. Every entry that can be read is judged as the import the host "
        "makes when it loads it: `module:attr` as `from module import attr`, so a forbidden module fails the "
        "file as `forbidden-import` would, reported as `hidden-forbidden-import` on the entry's line.",
        matters="The host loads every entry point of an installed plugin with `importlib.metadata`, which imports "
        "the target's module: an entry the gate cannot read is an import it cannot judge. The file fails.",
        fix="Author: write each entry as `name = package.module:function`, one a line, under its `[group]`. "
        "Reviewer: a target that is not a plain dotted name has no reason to be one.",
        example=(File("plugin/plugin-1.0.dist-info/entry_points.txt", "[console_scripts]\nrun = plugin:main()\n"),),
    ),
    "nothing-judged": RuleText(
        title="A path given, in a run that judged no file at all",
        says=("no file judged (no Python source, no archive, no file Python would import)",),
        finds="Each path given to a run that judged no file: the paths held no Python source, no archive and no "
        "file Python would import (an empty directory, a tree of other files, a path to the wrong folder).",
        matters="A gate that judged nothing must not pass. The run fails, each path counted as not read.",
        fix="Check the paths given to the command.",
        example=(File("plugin/README.md", "A plugin whose code is still to come.\n"),),
    ),
}

REASONS = {
    "code dynamique imbriqu\u00e9 trop profond\u00e9ment": "dynamic code nested too deep",
    "\\N{...} dans le nom d'un import dynamique": "\\N{...} in the name of a dynamic import",
    "\\N{...} dans un code dynamique": "\\N{...} in dynamic code",
    "constantes pli\u00e9es trop grandes": "constants folded too large",
    "code en octets d'un codage que seul Python lit": "code in bytes of a codec only Python reads",
    # The archives' own, about the archive itself (a member's names it first, and stays as it is).
    "pas une archive zip (trop courte)": "not a zip archive (too short)",
    "pas une archive zip (aucune fin d'archive)": "not a zip archive (no end record)",
    "plusieurs fins d'archive, que zipfile et zipimport ne prennent pas au m\u00eame endroit":
        "several end records, which zipfile and zipimport do not take at the same place",
    "fin d'archive dont le commentaire d\u00e9passe le fichier": "an end record whose comment runs past the file",
    "commentaire d'archive qui contient une autre structure zip (une seconde fin d'archive pour un autre lecteur)":
        "an archive comment that holds another zip structure (a second end record for another reader)",
    "archive zip sur plusieurs disques": "a zip archive split over several disks",
    "fin zip64 annonc\u00e9e mais absente \u00e0 sa place": "a zip64 end record announced but missing from its place",
    "fin zip64 \u00e9tendue, que zipfile et zipimport lisent sans ses donn\u00e9es":
        "an extended zip64 end record, which zipfile and zipimport read without its data",
    "fins d'archive zip et zip64 qui se contredisent": "zip and zip64 end records that contradict each other",
    "localisateur zip64 qui d\u00e9signe une autre fin": "a zip64 locator that points at another end record",
    "fin zip64 sans localisateur, que seul zipimport lit": "a zip64 end record without a locator, which only "
    "zipimport reads",
    "r\u00e9pertoire central hors du fichier": "central directory outside the file",
    "r\u00e9pertoire central tronqu\u00e9": "central directory cut short",
    "flux compress\u00e9 tronqu\u00e9": "compressed stream cut short",
    "donn\u00e9es apr\u00e8s le flux compress\u00e9 (un second flux, que gzip et bz2 lisent et le lecteur en flux de "
    "tarfile non)": "data after the compressed stream (a second stream, which gzip and bz2 read and tarfile's "
    "streaming reader does not)",
    "donn\u00e9es apr\u00e8s la fin de l'archive tar, des membres pour un lecteur qui saute les blocs nuls":
        "data after the end of the tar archive, members for a reader that skips zero blocks",
    "aucun fichier .dist-info/RECORD": "no .dist-info/RECORD file",
    "borne d\u00e9pass\u00e9e dans une archive qu'elle contient": "a bound passed in an archive it holds",
    # The entry points' reader's.
    "entr\u00e9e hors de tout groupe [...]": "an entry outside any [group]",
    "ligne sans '='": "a line without '='",
    "ligne de plus de 1048576 caract\u00e8res": "a line of more than 1048576 characters",
    "fichier de plus de 4194304 octets": "a file of more than 4194304 bytes",
    "table attendue": "a table expected",
    "valeur qui n'est pas une cha\u00eene": "a value that is no string",
    "imbrication trop profonde pour \u00eatre lue": "nesting too deep to be read",
}

WORDS = {
    "module": "<name>",
    "reason": "<reason>",
    "level": "Level",
    "error": "error: a finding fails its file",
    "warning": "warning: a finding fails its file only under deny by default (`fail_on = \"warning\"`)",
    "says": "The report says",
    "finds": "What it finds",
    "matters": "Why it matters",
    "example": "Example",
    "example_intro": "Under the policy of the [rule index](index.md), the plugin tree `plugin/` below makes this "
    "finding:",
    "no_example": "No input makes this finding today.",
    "link": "a symbolic link to",
    "fifo": "a FIFO",
    "archive": "an archive of the members below",
    "archive_cut": "an archive of the members below, cut short halfway",
    "fix": "What to do",
    "index_title": "Rules",
    "index_intro": "Every finding names its rule. Each rule has a page here, and the command prints it: "
    "`scanner-core --explain RULE` (`--lang fr` in French). The examples are judged by this policy:",
    "rule": "Rule",
}

TABLE = Table(RULES, REASONS, WORDS)
