"""Python sources made to trip a reader that is not Python: imports hidden
in every way the grammar allows, among strings and f-strings of every
prefix, nesting and quote, continuation lines, compound statements and
`;`, match statements with class patterns, decorators, lambdas, coding
declarations and byte-order marks, non-ASCII and fullwidth identifiers,
dynamic imports with constant and other names at every level. Then the
bytes are mutated, so that near misses that Python refuses are read too.

Everything comes from a random.Random, so a seed gives the same sources.
"""

import random

MODULES = (
    "os", "os.path", "json", "json.decoder", "sys", "typing", "collections", "collections.abc",
    "email.mime", "unittest", "mylocal.sub", "test", "a", "a.b.c", "quux", "_priv", "ctypes",
    # Names Python folds to others (NFKC), and names that stay non-ASCII.
    "\uff4f\uff53", "\uff4f\uff53.path", "\u2139nfo", "caf\u00e9", "\u00b5s", "\u2167", "\u03c0.\u03c4",
    "\U0001d52bath", "\ufb01le", "na\u0308me",
)
NAMES = ("x", "y", "_", "value", "match", "case", "type", "print", "importlib", "lib", "\u00e9t\u00e9", "\uff58")
IMPORTERS = (
    "__import__", "importlib.import_module", "import_module", "lib.import_module", "x.y.import_module",
    "__\uff49mport__", "importlib.\uff49mport_module", "(__import__)", "(importlib.import_module)",
    "(importlib).import_module", "getattr(x, 'y').import_module", "x[0].import_module", "f().__import__",
)
PREFIXES = ("", "", "", "r", "b", "u", "f", "rb", "br", "fr", "rf", "R", "B", "U", "F", "Rb", "bR", "fR", "Fr",
            "RF", "rB")
QUOTES = ("'", '"', "'''", '"""')
ENCODINGS = (
    None, None, None, None, None, None, None, None, None, None, None, None, "utf-8", "utf8", "UTF-8", "latin-1", "iso-8859-1", "latin_1", "iso-latin-1-unix",
    "utf-8-sig", "cp1252", "ascii", "euc-jp", "utf-16", "no-such-codec",
    # Codecs only Python decodes, the text written in them: line breaks that
    # decoding makes or joins, multibyte and stateful text, EBCDIC.
    "shift_jis", "koi8-r", "utf-7", "unicode_escape", "raw_unicode_escape", "iso2022_jp", "cp037",
)
WRITTEN_IN = frozenset({"shift_jis", "koi8-r", "utf-7", "unicode_escape", "raw_unicode_escape", "iso2022_jp"})
LINE_ENDS = ("\n", "\n", "\n", "\r\n", "\r")
PIECES = (
    "import", "from", "import os", " as ", "(", ")", "[", "]", "{", "}", "{{", "}}", ":", ";", ",", ".", "...",
    "\\\n", "\\\r\n", "\\", "\n", "\r", "\r\n", "\f", "\t", " ", "#", "# import os\n", "'", '"', "'''", '"""',
    "f'", 'f"', "rb'", "\\N{DIGIT ONE}", "\\x41", "\u00e9", "\uff4f", "\u2028", "\ufeff", "\x00", "\x0c", "\x1b",
    "$", "?", "`", "!r", "!s", "=", "==", ":=", "lambda", "@", "match", "case", "__import__", "import_module",
    "level=1", "name=", "*", "**", "\xff", "\xc3", "\xe2\x80", "0", "1", "0x1", "1e", "1j", "if", "else",
    # The other doors to an importer.
    "exec", "eval", "compile", "getattr", "__loader__", "__spec__", "builtins.exec", "exec('import os')",
    "eval(' __import__(\"sys\")')", "getattr(b, '__import__')", "__builtins__['__import__']", "b['__imp' 'ort__']",
    "from importlib import import_module as im\n", "from builtins import exec as run\n", "im", "run",
    "import builtins as bi\n", "bi.eval", "globals()", "__package__", "{'__package__': 'os'}", "{'__name__': 'a.b'}",
    "package=", "from .. import x\n", "from ... a import b\n", "from ...... import c\n", "'.x'", "'..'", "2",
    # Constants as Python's compiler folds them.
    "+", "-", " * ", "b'", "'imp' + 'ort os'", "('a', 'import os')[1]", "-1", "True", "None", "4097", "t := ",
    "exec(*['import os'])", "compile(**{'source': 'import os'})", "fromlist=", "['x', 'y']", "eval(b'import os')",
)


class SourceMaker:
    """Writes one Python source at a time, as bytes."""

    def __init__(self, rng: random.Random) -> None:
        self.rng = rng
        self.depth = 0
        self.quote_stack: list[str] = []

    def choice(self, options):  # type: ignore[no-untyped-def]
        return self.rng.choice(options)

    def chance(self, p: float) -> bool:
        return self.rng.random() < p

    # --- expressions ---------------------------------------------------------

    def name(self) -> str:
        return self.choice(NAMES)

    def module(self) -> str:
        return self.choice(MODULES)

    def string(self, text: str | None = None, allow_f: bool = True) -> str:
        """A string literal, with any prefix and quote, whose value is `text`
        when given (for a constant name), else anything."""
        if text is not None:
            prefix = self.choice(("", "", "u", "U", "r", "R"))
            quote = self.choice(QUOTES)
            if quote[0] in text or "\\" in text and prefix.lower() == "r":
                prefix = ""
            body = text.replace("\\", "\\\\") if "r" not in prefix.lower() else text
            if quote[0] in body:
                body = body.replace(quote[0], "\\" + quote[0])
            if self.chance(0.1) and not prefix.lower().startswith("r") and body:
                body = "\\x%02x" % ord(body[0]) + body[1:] if ord(body[0]) < 0x80 else body
            return prefix + quote + body + quote
        prefix = self.choice(PREFIXES)
        if not allow_f or len(self.quote_stack) > 3:
            prefix = prefix.replace("f", "").replace("F", "")
        quote = self.choice(QUOTES)
        if "f" in prefix.lower():
            return self.fstring(prefix, quote)
        raw = "r" in prefix.lower()
        binary = "b" in prefix.lower()
        parts = []
        for _ in range(self.rng.randint(0, 4)):
            parts.append(self.string_piece(quote, raw, binary))
        return prefix + quote + "".join(parts) + quote

    def string_piece(self, quote: str, raw: bool, binary: bool) -> str:
        triple = len(quote) == 3
        options = ["import os", "x", " ", "\\\\", "\\" + quote[0], "#", "{", "}", "'" if quote[0] == '"' else '"']
        if triple:
            options += ["\n", "\nimport sys\n", quote[0], quote[0] * 2, "\r\n"]
        options += ["\\\n"]
        if not binary:
            options += ["\u00e9", "\uff4f\uff53", "\U0001f600"]
            if not raw:
                options += ["\\N{LATIN SMALL LETTER A}", "\\u0041", "\\x41"]
        return self.choice(options)

    def fstring(self, prefix: str, quote: str) -> str:
        raw = "r" in prefix.lower()
        self.quote_stack.append(quote)
        parts = []
        for _ in range(self.rng.randint(0, 3)):
            roll = self.rng.random()
            if roll < 0.45:
                parts.append(self.field(quote))
            elif roll < 0.6:
                parts.append(self.choice(("{{", "}}", "{{import os}}")))
            else:
                piece = self.string_piece(quote, raw, False)
                if piece in ("{", "}"):
                    piece = piece * 2
                parts.append(piece)
        self.quote_stack.pop()
        return prefix + quote + "".join(parts) + quote

    def field(self, quote: str) -> str:
        triple = len(quote) == 3
        # In 3.12+ a field may reuse the enclosing quote; the expression
        # inside may be anything, including another f-string.
        expression = self.expression()
        if triple and self.chance(0.3):
            expression = "\n" + expression + self.choice(("  # import os\n", "\n", ""))
        conversion = self.choice(("", "", "!r", "!s", "!a"))
        if self.chance(0.15):
            expression += "="
        format_part = ""
        if self.chance(0.3):
            format_part = ":" + self.choice(("", ">10", "{x}", "{__import__('os')}", "{y:{z}}", ".{x}f", "%H"))
        return "{" + expression + conversion + format_part + "}"

    def call_argument(self) -> str:
        """The name argument of a dynamic import."""
        roll = self.rng.random()
        module = self.module()
        if roll < 0.35:
            return self.string(module)
        if roll < 0.45:
            cut = self.rng.randint(0, len(module))
            return self.string(module[:cut]) + self.choice((" ", "", "\\\n", "\n")) + self.string(module[cut:])
        if roll < 0.55:
            return "(" + self.string(module) + ")"
        if roll < 0.65:
            return "name=" + self.string(module)
        if roll < 0.75:
            return self.choice(("x", "f'os'", "b'os'", "'o' + 's'", "*args", "**kw", "x.y", "None", "1",
                                "('os',)", "(x)", "''", "'.x'", "str('os')"))
        return self.string(module) + self.choice((
            ", None, None, [], 0", ", None, None, [], 1", ", level=0", ", level=1", ", globals(), locals(), [], 2",
            ", package='p'", ", *a", ", None, None, (), (1)", ", level=True", ", None, None, None, -1",
            ", None, None, None, 0x0", ", level=0b1", ", None, None, None, 1.0",
        ))

    def dynamic(self) -> str:
        return self.choice(IMPORTERS) + "(" + self.call_argument() + ")"

    def expression(self) -> str:
        self.depth += 1
        try:
            if self.depth > 4:
                return self.choice((self.name(), "1", self.string(allow_f=False)))
            if self.chance(0.01):
                return self.nested_to_limit()
            roll = self.rng.random()
            if roll < 0.25:
                return self.dynamic()
            if roll < 0.35:
                return self.string()
            if roll < 0.45:
                return self.name()
            if roll < 0.52:
                return "lambda " + self.choice(("", "x", "x=" + self.expression())) + ": " + self.expression()
            if roll < 0.6:
                return self.name() + "(" + self.expression() + ")"
            if roll < 0.66:
                return "[" + self.expression() + ", " + self.expression() + "]"
            if roll < 0.72:
                return "{" + self.string(allow_f=False) + ": " + self.expression() + "}"
            if roll < 0.78:
                return self.expression() + self.choice((" + ", " if x else ", " or ", ".", "[0]", "()"))
            if roll < 0.84:
                return "(" + self.continued(self.expression()) + ")"
            if roll < 0.9:
                return "(" + self.name() + " := " + self.expression() + ")"
            return self.choice(("1", "0x1F", "1_000", "1.5e3", "1j", "...", "None", "True", "-1"))
        finally:
            self.depth -= 1

    def nested_to_limit(self) -> str:
        """Nesting at Python's limits, one step either side: f-strings in
        replacement fields (149 deep), fields in format specifiers (3 in
        one f-string), brackets, the braces of fields among them (200)."""
        inner = self.dynamic()
        kind = self.rng.randrange(3)
        if kind == 0:
            for level in range(self.rng.choice((148, 149, 150))):
                quote = self.choice(("'", '"')) if level % 7 else "'''"
                inner = "f" + quote + "{" + inner + "}" + quote
            return inner
        if kind == 1:
            text = inner
            for _ in range(self.rng.choice((1, 2, 3))):
                text = "x:{" + text + "}"
            return "f'{" + text + self.choice(("", "!r")) + "}'"
        depth = self.rng.choice((198, 199, 200))
        opening = "".join(self.choice("([") for _ in range(depth))
        closing = "".join(")" if c == "(" else "]" for c in reversed(opening))
        if self.chance(0.5):
            return "f'{" + opening + inner + closing + "}'"
        return opening + inner + closing

    def continued(self, text: str) -> str:
        """Line breaks where brackets allow them."""
        if self.chance(0.3):
            return "\n" + text + self.choice(("\n", "  # comment\n", ""))
        return text

    # --- statements ------------------------------------------------------------

    def import_statement(self) -> str:
        roll = self.rng.random()
        if roll < 0.45:
            names = []
            for _ in range(self.rng.randint(1, 3)):
                name = self.module()
                if self.chance(0.3):
                    name += " as " + self.name()
                names.append(name)
            glue = self.choice((", ", ",", " , ", ", \\\n"))
            head = self.choice(("import ", "import\t", "import \\\n"))
            return head + glue.join(names)
        if roll < 0.85:
            where = self.choice(("", "", "", ".", "..", ". ")) + self.module()
            if where.startswith(".") and self.chance(0.2):
                where = where.rstrip("abcdefghijklmnopqrstuvwxyz._\u00e9") or "."
            names = self.choice(("x", "*", "(x, y)", "(\n    x,\n    y,\n)", "x as y, z", "(x as y)"))
            return f"from {where} import {names}"
        return self.expression() if self.chance(0.5) else self.name() + " = " + self.dynamic()

    def simple_statement(self) -> str:
        roll = self.rng.random()
        if roll < 0.5:
            return self.import_statement()
        if roll < 0.7:
            return self.name() + " = " + self.expression()
        if roll < 0.85:
            return self.expression()
        return self.choice(("pass", "x = 1", "print(x)", "del x", "global x", "assert x, " + self.expression(),
                            "return " + self.expression(), "yield from x", "raise x from y", "type T = int"))

    def simple_line(self) -> str:
        statements = [self.simple_statement() for _ in range(self.rng.randint(1, 3))]
        return self.choice(("; ", ";", " ; ")).join(statements) + self.choice(("", "", ";", "  # import os"))

    def block(self, indent: str, depth: int) -> list[str]:
        lines = []
        for _ in range(self.rng.randint(1, 3)):
            lines += self.statement(indent, depth)
        return lines

    def statement(self, indent: str, depth: int) -> list[str]:
        """Lines (without line ends) of one statement at `indent`."""
        roll = self.rng.random()
        inner = indent + self.choice(("    ", "\t", "  "))
        if depth > 2 or roll < 0.45:
            return [indent + self.simple_line()]
        header = self.choice((
            "if " + self.expression() + ":", "while x:", "for x in " + self.expression() + ":",
            "with " + self.expression() + " as x:", "try:", "def f(x=" + self.expression() + "):",
            "async def f():", "class C(" + self.expression() + "):", "else:", "elif x:",
            "def f() -> " + self.expression() + ":", "with (" + self.continued(self.expression()) + "):",
        ))
        if roll < 0.6:  # a compound statement on one line
            return [indent + header + " " + self.simple_line()]
        if roll < 0.7:
            decorator = indent + "@" + self.expression()
            return [decorator, indent + "def g(): " + self.simple_line()]
        if roll < 0.8:
            return self.match_statement(indent, inner, depth)
        lines = [indent + header] + self.block(inner, depth + 1)
        if header == "try:":
            lines += [indent + self.choice(("except:", "except x:", "finally:", "except* E as e:"))]
            lines += self.block(inner, depth + 1)
        return lines

    def match_statement(self, indent: str, inner: str, depth: int) -> list[str]:
        lines = [indent + "match " + self.expression() + ":"]
        case_indent = inner
        body_indent = inner + "    "
        for _ in range(self.rng.randint(1, 3)):
            pattern = self.choice((
                "__import__('os')", "importlib.import_module(x)", "C(x=__import__)", "{'k': v}",
                "[a, *rest]", "_", "x if __import__('sys')", "Point(x=0) | import_module('os')", "str() as s",
                "(__import__(), 1)",
            ))
            lines.append(case_indent + "case " + pattern + ":" + (" " + self.simple_line() if self.chance(0.4) else ""))
            if not lines[-1].endswith(":"):
                continue
            lines += self.block(body_indent, depth + 1)
        return lines

    # --- the file --------------------------------------------------------------

    def source(self) -> bytes:
        lines: list[str] = []
        for _ in range(self.rng.randint(1, 6)):
            lines += self.statement("", 0)
        # Form feeds, and blank and comment lines, where Python allows them.
        for i in range(len(lines)):
            if self.chance(0.05):
                lines[i] = "\f" + lines[i]
        if self.chance(0.2):
            lines.insert(self.rng.randint(0, len(lines)), self.choice(("", "# import os", "   ", "\t# x")))
        encoding = self.choice(ENCODINGS)
        if encoding is not None:
            declaration = self.choice((
                f"# -*- coding: {encoding} -*-", f"# vim: set fileencoding={encoding} :", f"#coding={encoding}",
                f"# coding:{encoding}", f"#!/usr/bin/python\n# coding: {encoding}", f"\n# coding: {encoding}",
                f"x = 1  # coding: {encoding}", f"# coding :{encoding}", f"#\tcoding:\t{encoding}",
            ))
            lines.insert(0, declaration)
        end = self.choice(LINE_ENDS)
        text = end.join(lines) + (end if self.chance(0.8) else "")
        data = text.encode(codec_for(encoding), errors="replace")
        if self.chance(0.1):
            data = b"\xef\xbb\xbf" + data
        return data


def codec_for(encoding: str | None) -> str:
    if encoding is None:
        return "utf-8"
    if encoding in WRITTEN_IN:
        return encoding
    try:
        return "latin-1" if encoding.lower().replace("_", "-").startswith(("latin", "iso")) else "utf-8"
    except LookupError:
        return "utf-8"


def mutate(rng: random.Random, data: bytes, other: bytes) -> bytes:
    """One to three edits of the bytes: a piece inserted or replacing a
    byte, a span deleted or repeated, a splice with another source."""
    for _ in range(rng.randint(1, 3)):
        at = rng.randint(0, len(data))
        roll = rng.random()
        if roll < 0.45:
            piece = rng.choice(PIECES)
            piece_bytes = piece.encode("latin-1") if piece in ("\xff", "\xc3", "\xe2\x80") else piece.encode()
            cut = at + (rng.random() < 0.3)
            data = data[:at] + piece_bytes + data[cut:]
        elif roll < 0.7:
            data = data[:at] + data[at + rng.randint(1, 8) :]
        elif roll < 0.85:
            span = data[at : at + rng.randint(1, 16)]
            data = data[:at] + span + data[at:]
        else:
            start = rng.randint(0, len(other))
            data = data[:at] + other[start : start + rng.randint(1, 40)] + data[at:]
    return data


def make(seed: int, index: int) -> bytes:
    """Source number `index` of the run with this seed."""
    rng = random.Random(seed * 1_000_003 + index)
    source = SourceMaker(rng).source()
    if rng.random() < 0.5:
        return source
    return mutate(rng, source, SourceMaker(rng).source())
