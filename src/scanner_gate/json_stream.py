"""A JSON list written an item at a time, byte for byte as
json.dumps(document, indent=2) writes it where it is nested: the SARIF and
GitLab reports give each finding as its file is judged, not the whole
document at the end."""

import json
from collections.abc import Iterable
from typing import TextIO

# Stands for the list in a document dumped whole, to be cut there; a JSON
# string holds no raw control character, so nothing else can read so.
PLACEHOLDER = "\x00list\x00"


def around(document: object) -> tuple[str, str]:
    """What json.dumps(document, indent=2) writes before and after the one
    PLACEHOLDER value in `document`."""
    text = json.dumps(document, indent=2)
    before, after = text.split(json.dumps(PLACEHOLDER), 1)
    return before, after


def write_list(items: Iterable[object], depth: int, out: TextIO) -> None:
    """Writes the list of `items` as json.dumps(indent=2) writes a list
    whose opening bracket stands `depth` levels deep, each item as it comes."""
    pad = "  " * (depth + 1)
    first = True
    for item in items:
        # Encoded strings hold no raw line feed: each one is the dump's own.
        out.write(("[\n" if first else ",\n") + pad + json.dumps(item, indent=2).replace("\n", "\n" + pad))
        first = False
    out.write("[]" if first else "\n" + "  " * depth + "]")
