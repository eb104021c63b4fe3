"""Writes what Python answers about Unicode, for python_unicode_test.cpp.

    python python_unicode_expected.py OUTPUT

Run by the build with the interpreter the engine is built for. Text, one
record per line, UTF-8 written as hex so that lone surrogates survive:
    V <unidata_version>
    P <first code point> <bits>       from there to the next P: 1 isidentifier(),
                                      2 ("a" + c).isidentifier(), 4 isprintable()
    N <code point> <NFKC>             every code point whose NFKC is not itself
    S <text> <NFKC> <printable form>  strings made to exercise ordering and composition

The strings: every first followed by every last of a two-code-point
canonical decomposition (excluded composites' included), jamo and syllables
at the edges of the ranges that compose, then a few thousand random mixes of starters, combining marks of many
classes, Hangul jamo and syllables, compatibility and excluded characters,
characters that do not print, and a few long runs of combining marks.
"""

import random
import sys
import unicodedata

CODE_POINTS = 0x110000


def utf8_hex(text):
    return text.encode("utf-8", "surrogatepass").hex() or "-"


def printable_form(text):
    return "".join(ch if ch.isprintable() else ch.encode("unicode_escape").decode("ascii") for ch in text)


def composition_pairs():
    pairs = []
    for code_point in range(CODE_POINTS):
        fields = unicodedata.decomposition(chr(code_point)).split()
        if len(fields) == 2 and not fields[0].startswith("<"):
            pairs.append(tuple(int(field, 16) for field in fields))
    return pairs


def pools(pairs):
    everything = range(CODE_POINTS)
    excluded = [
        code_point
        for code_point in everything
        if len(unicodedata.decomposition(chr(code_point)).split()) == 2
        and not unicodedata.decomposition(chr(code_point)).startswith("<")
        and unicodedata.normalize("NFC", chr(code_point)) != chr(code_point)
    ]
    return {
        "ascii": [*range(0x61, 0x7B), *range(0x41, 0x5B), *range(0x30, 0x3A), 0x5F],
        "first": sorted({first for first, _ in pairs}),
        "last": sorted({last for _, last in pairs}),
        "mark": [c for c in everything if unicodedata.combining(chr(c))],
        "compatibility": [c for c in everything if unicodedata.decomposition(chr(c)).startswith("<")],
        "excluded": excluded + [0x212B, 0x2126, 0x0344, 0x0F73, 0x0F75, 0x0F81],
        # Conjoining jamo, modern and archaic, with the trailing base 11A7;
        # compatibility and halfwidth jamo, which NFKC turns into conjoining ones.
        "jamo": [*range(0x1100, 0x1200), *range(0x3131, 0x318F), *range(0xFFA0, 0xFFDD)],
        "syllable": [*range(0xAC00, 0xD7A4)],
        "fullwidth": [*range(0xFF01, 0xFF5F)],
        # Every kind of character that does not print, surrogates included.
        "unprintable": [c for c in range(0x3000) if not chr(c).isprintable()]
        + [0xD800, 0xDBFF, 0xDC00, 0xDFFF, 0xE000, 0xF8FF, 0xFEFF, 0xFFFE, 0xFFFF, 0xE0001, 0x10FFFF, 0x1D173],
        "any": None,
    }


def random_string(rng, groups):
    weights = {
        "ascii": 3, "first": 4, "last": 4, "mark": 6, "compatibility": 2, "excluded": 1,
        "jamo": 3, "syllable": 2, "fullwidth": 1, "unprintable": 1, "any": 1,
    }
    names = list(weights)
    chars = []
    for name in rng.choices(names, [weights[name] for name in names], k=rng.randint(1, 12)):
        pool = groups[name]
        chars.append(chr(rng.randrange(CODE_POINTS) if pool is None else rng.choice(pool)))
    return "".join(chars)


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    lines = [f"V {unicodedata.unidata_version}"]
    previous = None
    for code_point in range(CODE_POINTS):
        char = chr(code_point)
        bits = char.isidentifier() | ("a" + char).isidentifier() << 1 | char.isprintable() << 2
        if bits != previous:
            lines.append(f"P {code_point:x} {bits}")
            previous = bits
    for code_point in range(CODE_POINTS):
        char = chr(code_point)
        normal = unicodedata.normalize("NFKC", char)
        if normal != char:
            lines.append(f"N {code_point:x} {utf8_hex(normal)}")

    pairs = composition_pairs()
    groups = pools(pairs)
    strings = [chr(first) + chr(last) for first in groups["first"] for last in groups["last"]]
    strings += ["ｉｍｐｏｒｔ", "__ｉｍｐｏｒｔ__", "ｏｓ", "ℌ𝔢𝔩𝔩𝔬", "ﬁle", "ㄱㅏㄱ", "\\x\t\n\r\x7f\x80\xa0\xad", ""]
    # Jamo and syllables at the edges of the ranges that compose.
    leads, vowels = [0x10FF, 0x1100, 0x1112, 0x1113], [0x1160, 0x1161, 0x1175, 0x1176]
    trails = [0x1160, 0x11A6, 0x11A7, 0x11A8, 0x11C2, 0x11C3]
    syllables = [0xABFF, 0xAC00, 0xAC01, 0xAC1B, 0xAC1C, 0xD788, 0xD7A3, 0xD7A4]
    strings += [chr(lead) + chr(vowel) + chr(trail) for lead in leads for vowel in vowels for trail in trails]
    strings += [chr(syllable) + chr(trail) for syllable in syllables for trail in trails + vowels]
    rng = random.Random(20240915)
    strings += [random_string(rng, groups) for _ in range(6000)]
    # Long runs of marks in every order, for sorting beyond the short runs.
    for _ in range(24):
        marks = rng.choices(groups["mark"], k=rng.randint(17, 300))
        strings.append(chr(rng.choice(groups["first"])) + "".join(map(chr, marks)))
    for text in strings:
        normal = unicodedata.normalize("NFKC", text)
        lines.append(f"S {utf8_hex(text)} {utf8_hex(normal)} {utf8_hex(printable_form(text))}")

    with open(sys.argv[1], "w", encoding="ascii") as out:
        out.write("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
