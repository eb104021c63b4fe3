"""The globs of the policy's [[paths]] sections, matched against a file's
path relative to the path given, '/' between its parts:

    *        any run of characters within one part (none included)
    ?        one character within a part
    [seq]    one character of seq (ranges a-z; [!seq] any other)
    **       as a whole part: any number of parts, none included; at
             the end, one at least (tests/** is what lies inside tests)

A member of an archive is matched as ARCHIVE!/MEMBER, as the reports name
it: `**/tests/**` matches the tests of a wheel too, `*.whl!/**` every
member of a wheel beside the path given.

File names are chosen by whoever wrote the plugin, and a regular
expression's backtracking could take time exponential in the globs' stars:
matching here is the classic two-pointer walk, which returns to the last
star only, at most (name length x glob length) steps, once over the parts
and once within a part."""

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable, Sequence

# A part of a glob is "**", or a list of tokens, each "*", "?", a literal
# character, or a character class: its ranges, and whether it is negated.
_Class = tuple[tuple[tuple[str, str], ...], bool]
_Token = str | _Class
Glob = list["str | list[_Token]"]


class Compiled(list):  # type: ignore[type-arg]
    """A glob's parts, each "**" or its tokens, and a text every path it
    matches holds."""

    __slots__ = ("needed",)

    def __init__(self, parts: Glob) -> None:
        super().__init__(parts)
        self.needed = ""


class GlobError(ValueError):
    """A glob that cannot be read; the message says why."""


def _class(text: str, start: int) -> tuple[_Class, int]:
    """The class opening at text[start] ('['), and the index after it."""
    index = start + 1
    negated = index < len(text) and text[index] in "!^"
    if negated:
        index += 1
    ranges: list[tuple[str, str]] = []
    first = True
    while index < len(text) and (text[index] != "]" or first):
        low = text[index]
        if index + 2 < len(text) and text[index + 1] == "-" and text[index + 2] != "]":
            ranges.append((low, text[index + 2]))
            index += 3
        else:
            ranges.append((low, low))
            index += 1
        first = False
    if index >= len(text):
        raise GlobError(f"{text!r}: '[' without its ']'")
    return (tuple(ranges), negated), index + 1


def _part(text: str) -> list[_Token]:
    tokens: list[_Token] = []
    index = 0
    while index < len(text):
        char = text[index]
        if char == "[":
            made, index = _class(text, index)
            tokens.append(made)
            continue
        if char == "*" and tokens and tokens[-1] == "*":
            index += 1  # a run of stars is one star
            continue
        tokens.append(char)
        index += 1
    return tokens


def compile_glob(glob: str) -> Glob:
    """The parts of `glob`, each "**" or its tokens; GlobError when it
    cannot be read."""
    if not glob or glob.startswith("/"):
        raise GlobError(f"{glob!r}: a glob is relative to the path given, and not empty")
    parts: Glob = []
    for text in glob.split("/"):
        if text == "**":
            if not (parts and parts[-1] == "**"):
                parts.append("**")
        elif text:
            parts.append(_part(text))
    if not parts:
        raise GlobError(f"{glob!r}: matches nothing")
    if parts[-1] == "**":
        # At the end, what lies inside: one part at least (tests/** is not tests).
        parts[-1:] = [["*"], "**"]
    made = Compiled(parts)
    # The longest run of literal characters within a part: a path that
    # lacks it is no match, told without the walk (most paths, for most globs).
    for part in parts:
        run = ""
        for token in [*part, "*"] if part != "**" else ():
            if isinstance(token, str) and token not in "*?":
                run += token
                continue
            if len(run) > len(made.needed):
                made.needed = run
            run = ""
    return made


def _one(token: _Token, char: str) -> bool:
    if isinstance(token, str):
        return token == "?" or token == char
    ranges, negated = token
    return any(low <= char <= high for low, high in ranges) != negated


def _walk(items: "Sequence[object]", pattern: "Sequence[object]", star: object,
          equal: "Callable[[object, object], bool]") -> bool:
    """Whether `pattern` matches all of `items`, `star` standing for any
    run of items: the two-pointer walk, back to the last star only."""
    index = at = 0
    star_at = -1
    resume = 0
    while index < len(items):
        if at < len(pattern) and pattern[at] != star and equal(pattern[at], items[index]):
            index += 1
            at += 1
        elif at < len(pattern) and pattern[at] == star:
            star_at = at
            resume = index
            at += 1
        elif star_at >= 0:
            at = star_at + 1
            resume += 1
            index = resume
        else:
            return False
    while at < len(pattern) and pattern[at] == star:
        at += 1
    return at == len(pattern)


def _part_matches(tokens: object, part: object) -> bool:
    assert isinstance(tokens, list) and isinstance(part, str)
    return _walk(part, tokens, "*", lambda token, char: _one(token, char))  # type: ignore[arg-type]


def matches(compiled: Glob, path: str) -> bool:
    """Whether the glob compiled matches `path` ('/' between parts)."""
    if getattr(compiled, "needed", "") not in path:
        return False
    parts = [part for part in path.split("/") if part]
    return _walk(parts, compiled, "**", _part_matches)
