"""The tokenizer alone against Python's tokenize: every .py file below the
given roots tokenized by the native driver (tests/engine/audit/token_stream.cpp) and
by tokenize, whose tokens are mapped to what the native tokenizer promises
(logical lines, kinds, keywords, lines, columns, the bytes of names and
string bodies, integer values, the replacement fields of f-strings); the
two streams must be equal, and a text one refuses the other must refuse.
Prints the counts and each mismatch's first difference; exits 1 on any.

usage: token_proof.py --driver PATH [--stdlib] [--site-packages] [--sample] [--piece N] [--files PATH ...] [ROOT ...]
"""

import argparse
import io
import keyword
import os
import subprocess
import sys
import sysconfig
import tokenize

_OPS = {
    "(": "(", ")": ")", "[": "[", "]": "]", "{": "{", "}": "}", ".": ".", "...": "...",
    ",": ",", ";": ";", ":": ":", "=": "=", "*": "*", "**": "**", "+": "+", "-": "-", ":=": ":=",
}  # fmt: skip
# The augmented assignments, which the native tokenizer marks (and `==`, and the arrow of a return annotation).
_AUGMENTED = frozenset({"+=", "-=", "*=", "/=", "//=", "%=", "@=", "&=", "|=", "^=", ">>=", "<<=", "**="})
_KEYWORDS = {"import": "import", "from": "from", "def": "def", "class": "class", "if": "if", "as": "as",
             "None": "constant", "True": "constant", "False": "constant"}  # fmt: skip

# The standard library's tests of the tokenizer, f-strings and the grammar:
# a quick run that reaches most of the rules.
_SAMPLE = ("test/test_tokenize.py", "test/test_fstring.py", "test/test_grammar.py", "test/test_string_literals.py",
           "test/tokenizedata")  # fmt: skip


def sources(root: str) -> list[str]:
    """The .py files below root, and the tokenizer tests' sources kept as .txt."""
    found = []
    for directory, subdirectories, files in os.walk(root):
        subdirectories.sort()
        found.extend(
            os.path.join(directory, name)
            for name in sorted(files)
            if name.endswith(".py") or (name.startswith("tokenize_tests") and name.endswith(".txt"))
        )
    return [path for path in found if os.path.isfile(path)]


def _indent(prefix: str) -> int:
    """The indentation Python measures for a line's lead: tabs to the next
    multiple of 8, a form feed back to 0."""
    column = 0
    for char in prefix:
        if char == "\t":
            column = (column // 8 + 1) * 8
        elif char == "\f":
            column = 0
        else:
            column += 1
    return column


def _integer(text: str) -> tuple[bool, int]:
    lower = text.lower()
    if not lower.startswith(("0x", "0o", "0b")) and any(c in lower for c in ".ej"):
        return False, 0
    return True, int(text.replace("_", ""), 0)


def expected(tokens: list[tokenize.TokenInfo]) -> list[tuple]:
    """tokenize's tokens as the native tokenizer's events."""
    events: list[tuple] = []
    in_line = False
    # For each open f-string: None; for each replacement field: [bracket depth, in its format specifier].
    nesting: list = []
    for token in tokens:
        kind, text, (line, offset) = token.type, token.string, token.start
        column = offset + 1  # 1-based, as the native columns
        if kind in (tokenize.ENCODING, tokenize.COMMENT, tokenize.NL, tokenize.INDENT, tokenize.DEDENT,
                    tokenize.ENDMARKER, tokenize.FSTRING_MIDDLE):  # fmt: skip
            continue
        if kind == tokenize.NEWLINE:
            events.append(("newline",))
            in_line = False
            continue
        if not in_line:
            events.append(("start", line, _indent(token.line[:offset])))
            in_line = True
        field = nesting[-1] if nesting and nesting[-1] is not None else None
        if kind == tokenize.NAME:
            if not text.isidentifier():
                # tokenize passes it on; Python's own reading refuses it.
                raise tokenize.TokenError(f"invalid character in {text!r}")
            if keyword.iskeyword(text):
                events.append(("keyword", line, column, _KEYWORDS.get(text, "other"), text.encode()))
            else:
                events.append(("name", line, column, "none", text.encode()))
        elif kind == tokenize.NUMBER:
            integer, value = _integer(text)
            capped = min(value, 1 << 62)  # the native value is held there
            events.append(("number", line, column, integer, integer and value != 0, capped))
        elif kind == tokenize.STRING:
            prefix = len(text) - len(text.lstrip("rRbBuU"))
            quotes = 3 if text[prefix : prefix + 3] in ('"""', "'''") and len(text) - prefix >= 6 else 1
            lower = text[:prefix].lower()
            body = text[prefix + quotes : len(text) - quotes]
            events.append(("string", line, column, "b" not in lower, "r" in lower, body.encode()))
        elif kind == tokenize.FSTRING_START:
            events.append(("fstring_start", line, column))
            nesting.append(None)
        elif kind == tokenize.FSTRING_END:
            events.append(("fstring_end", line, column))
            nesting.pop()
        elif kind == tokenize.OP:
            if text == "{" and (field is None and nesting and nesting[-1] is None or field and field[1]):
                events.append(("field_open", line, column))
                nesting.append([0, False])
                continue
            if field is not None and field[0] == 0:
                if text == "}":
                    events.append(("field_close", line, column))
                    nesting.pop()
                    continue
                if text == ":" and not field[1]:
                    field[1] = True  # a format specifier begins: no token
                    continue
            if field is not None and text in ("(", "[", "{"):
                field[0] += 1
            elif field is not None and text in (")", "]", "}"):
                field[0] -= 1
            op = _OPS.get(text, "other")
            events.append(("op", line, column, op, 3 if op == "..." else 1 if text in _AUGMENTED else 2 if text == "=="
                           else 3 if text == "->" else 0))
        else:
            events.append(("other", kind, text))
    return events


def merged(events: list[tuple]) -> list[tuple]:
    """A run of "..." tokens, each right after the other, as one: the native
    tokenizer reads a run of dots as one token of all its whole threes."""
    out: list[tuple] = []
    for event in events:
        last = out[-1] if out else None
        if (event[0] == "op" and event[3] == "..." and last and last[0] == "op" and last[3] == "..."
                and last[1] == event[1] and last[2] + last[4] == event[2]):  # fmt: skip
            out[-1] = ("op", last[1], last[2], "...", last[4] + event[4])
        else:
            out.append(event)
    return out


def parsed(line: str) -> tuple:
    kind, *fields = line.split(" ")
    if kind in ("name", "keyword"):
        return (kind, int(fields[0]), int(fields[1]), fields[2], bytes.fromhex(fields[3][1:]))
    if kind == "number":
        integer = fields[2] == "1"
        return (kind, int(fields[0]), int(fields[1]), integer, fields[3] == "1", int(fields[4]) if integer else 0)
    if kind == "string":
        return (kind, int(fields[0]), int(fields[1]), fields[2] == "1", fields[3] == "1", bytes.fromhex(fields[4][1:]))
    if kind == "op":
        return (kind, int(fields[0]), int(fields[1]), fields[2], int(fields[3]))
    if kind == "newline":
        return (kind,)
    return (kind, *(int(field) for field in fields))


class Driver:
    """The native driver, one process for all texts."""

    def __init__(self, path: str, piece: int) -> None:
        self.process = subprocess.Popen([path], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        self.piece = piece

    def tokens(self, text: bytes) -> tuple[list[tuple], str | None]:
        """The events for `text`, and the refusal's reason or None."""
        assert self.process.stdin and self.process.stdout
        self.process.stdin.write(b"%d %d\n" % (len(text), self.piece) + text)
        self.process.stdin.flush()
        events = []
        for raw in self.process.stdout:
            line = raw.decode("utf-8", "replace").rstrip("\n")
            if line == "end":
                return events, None
            if line.startswith("refused "):
                return events, line
            events.append(parsed(line))
        raise RuntimeError("token_stream ended early")


def compare(path: str, driver: Driver) -> tuple[str, str]:
    """The outcome for one file and, for a mismatch, its first difference.
    A text in another codec is given to the tokenizer as UTF-8, as the
    audit gives it."""
    with open(path, "rb") as stream:
        data = stream.read()
    try:
        encoding, _ = tokenize.detect_encoding(io.BytesIO(data).readline)
        text = data.decode(encoding)
    except (SyntaxError, UnicodeDecodeError, LookupError):
        try:
            data.decode("utf-8")
        except UnicodeDecodeError:  # Python refuses the bytes: so must the tokenizer, given them
            _, refusal = driver.tokens(data.removeprefix(b"\xef\xbb\xbf"))
            return ("refused_both", "") if refusal else ("mismatch", "native accepts bytes that are not UTF-8")
        return "undecodable", ""  # a coding declaration's problem, which is not the tokenizer's
    source = text.lstrip("\ufeff").encode("utf-8") if encoding not in ("utf-8", "utf-8-sig") else data
    if source.startswith(b"\xef\xbb\xbf"):
        source = source[3:]
    try:
        want: list[tuple] | None = merged(expected(list(tokenize.tokenize(io.BytesIO(data).readline))))
    except (SyntaxError, tokenize.TokenError):
        want = None
    got, refusal = driver.tokens(source)
    if want is None or refusal is not None:
        if want is None and refusal is not None:
            return "refused_both", ""
        return "mismatch", f"tokenize {'refuses' if want is None else 'accepts'}; native: {refusal or 'accepts'}"
    got = merged(got)
    if got == want:
        return "same", ""
    for index, (a, b) in enumerate(zip(got, want)):
        if a != b:
            return "mismatch", f"event {index}: native {a!r}, tokenize {b!r}"
    return "mismatch", f"native {len(got)} events, tokenize {len(want)}"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("roots", nargs="*")
    parser.add_argument("--driver", required=True, help="the token_stream program")
    parser.add_argument("--stdlib", action="store_true", help="the interpreter's standard library")
    parser.add_argument("--site-packages", action="store_true", help="this environment's site-packages")
    parser.add_argument("--sample", action="store_true", help="the standard library's tokenizer and grammar tests")
    parser.add_argument("--piece", type=int, default=0, help="bytes fed at a time (0: each text at once)")
    parser.add_argument("--files", nargs="*", default=[], help="single files, beside the roots")
    arguments = parser.parse_args()
    paths = list(arguments.files)
    for root in arguments.roots:
        paths.extend(sources(root))
    if arguments.stdlib:
        library = sysconfig.get_paths()["stdlib"]
        paths.extend(sources(library))
    if arguments.site_packages:
        for path in sorted({sysconfig.get_paths()[key] for key in ("purelib", "platlib")}):
            paths.extend(sources(path))
    if arguments.sample:
        library = sysconfig.get_paths()["stdlib"]
        for name in _SAMPLE:
            path = os.path.join(library, name)
            paths.extend(sources(path) if os.path.isdir(path) else [path])
    if not paths:
        parser.error("no files")
    driver = Driver(arguments.driver, arguments.piece)
    counts: dict[str, int] = {}
    for path in paths:
        outcome, detail = compare(path, driver)
        counts[outcome] = counts.get(outcome, 0) + 1
        if outcome == "mismatch":
            print(f"[tokens] MISMATCH {path}: {detail}")
    print(f"[tokens] {len(paths)} files: " + ", ".join(f"{n} {k}" for k, n in sorted(counts.items())))
    return 1 if counts.get("mismatch") else 0


if __name__ == "__main__":
    sys.exit(main())
