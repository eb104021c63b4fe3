r"""Writes names and messages so that nothing a plugin chose reaches a reader raw.

A plugin chooses its file names, and through string constants the module
names of its dynamic imports; the messages repeat both. Before any of it is
written to a terminal, a CI log or a report, every character that does not
print as itself is replaced by an escape, and the escapes stay unambiguous:

    \\          a backslash
    \xNN        the byte NN of the name: an ASCII control character (C0, DEL),
                or, from 80 to FF, a byte that is not part of valid UTF-8
    \uNNNN      a character that does not print (C1 controls, format
    \UNNNNNNNN  characters such as bidirectional overrides, separators other
                than the space, surrogates, unassigned code points)

Every other character is written as it is. Reading the escapes back gives
the text, and for a file name os.fsencode of that text gives its bytes.
"""

# Python's os.fsdecode carries each byte of a name that is not UTF-8 as
# a lone surrogate from U+DC80 to U+DCFF.
_FIRST_ESCAPED_BYTE = 0xDC80
_LAST_ESCAPED_BYTE = 0xDCFF


def _escape_character(character: str) -> str:
    code = ord(character)
    if character == "\\":
        return "\\\\"
    if _FIRST_ESCAPED_BYTE <= code <= _LAST_ESCAPED_BYTE:
        return f"\\x{code - 0xDC00:02x}"
    if character.isprintable():
        return character
    if code < 0x80:
        return f"\\x{code:02x}"
    if code <= 0xFFFF:
        return f"\\u{code:04x}"
    return f"\\U{code:08x}"


def escape(text: str) -> str:
    """The text with the escapes above; unchanged when it needs none."""
    if text.isprintable() and "\\" not in text:
        return text
    return "".join(map(_escape_character, text))


# Above this many characters, a human-facing report (text, CI annotations)
# shows an escaped text as its first SHOWN_HEAD and last SHOWN_TAIL
# characters around a marker saying how many are left out: a module name of
# megabytes would bury the rest of the report. Machine formats keep all.
SHOWN_AT_MOST = 1000
SHOWN_HEAD = 600
SHOWN_TAIL = 100


def shown(escaped: str) -> str:
    """An escaped text as a person is shown it (see SHOWN_AT_MOST)."""
    if len(escaped) <= SHOWN_AT_MOST:
        return escaped
    hidden = len(escaped) - SHOWN_HEAD - SHOWN_TAIL
    return f"{escaped[:SHOWN_HEAD]} [\u2026 {hidden} characters not shown \u2026] {escaped[-SHOWN_TAIL:]}"
