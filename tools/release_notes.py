"""Prints the CHANGELOG.md section of the version in the command's package:
what `make release-notes` shows, and what a release's notes are made of.

    python tools/release_notes.py [ROOT]

Exits 1, naming the version, when the changelog has no section for it: a
release whose notes were not written is not ready to tag."""

import pathlib
import re
import sys

root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else ".")
init = (root / "src" / "scanner_gate" / "__init__.py").read_text(encoding="utf-8")
version = re.search(r'^__version__ = "([^"]+)"$', init, re.MULTILINE)[1]
changelog = (root / "CHANGELOG.md").read_text(encoding="utf-8")
# A section runs from its "## <version>" heading to the next "## " heading.
section = re.search(rf"^## {re.escape(version)}\b[^\n]*\n(.*?)(?=^## |\Z)", changelog, re.MULTILINE | re.DOTALL)
if section is None:
    sys.exit(f"release-notes: CHANGELOG.md has no section '## {version}' for the version in the package")
print(f"scanner-core {version} (tag v{version})\n\n{section[1].strip()}")
