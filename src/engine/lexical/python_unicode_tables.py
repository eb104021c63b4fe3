"""Writes the C++ tables of python_unicode.cpp from this interpreter's unicodedata.

    python python_unicode_tables.py OUTPUT

Run by the build with the interpreter the engine is built for, so that the
engine reads identifiers, normalises them and prints characters exactly as
that Python does, whatever Unicode version it carries. Standard library only.

What it writes (OUTPUT is included inside the tables' namespace):
- per code point, a record: whether it starts or continues an identifier,
  prints as itself, has a compatibility decomposition, or takes part in a
  canonical composition, and its canonical combining class; as a two-stage
  table (a block index per 128 code points, deduplicated blocks of record
  numbers);
- per code point outside the Hangul syllables (decomposed arithmetically),
  its full NFKD, as a two-stage table of entry numbers into a code point pool;
- the primary composites: every code point whose canonical decomposition is
  two code points and which NFC keeps as it is, sorted by (first, last).

Every derivation is checked against unicodedata itself before anything is
written; a check that fails stops the build.
"""

import os
import sys
import unicodedata

CODE_POINTS = 0x110000
BLOCK_SHIFT = 7
HANGUL_FIRST, HANGUL_COUNT = 0xAC00, 11172

# Record flags; python_unicode.cpp reads the same bits.
ID_START, ID_CONTINUE, PRINTABLE, DECOMPOSES, COMPOSES_FIRST, COMPOSES_LAST = (1 << bit for bit in range(6))


def fail(why):
    sys.exit(f"python_unicode_tables.py: {why}")


def composition_pairs():
    """(first, last) -> composite for every primary composite."""
    pairs = {}
    for code_point in range(CODE_POINTS):
        char = chr(code_point)
        fields = unicodedata.decomposition(char).split()
        if len(fields) != 2 or fields[0].startswith("<"):
            continue
        # Excluded composites (script exclusions, post-composition additions,
        # non-starter decompositions) are the ones NFC takes apart.
        if unicodedata.normalize("NFC", char) == char:
            first, last = (int(field, 16) for field in fields)
            pairs[first, last] = code_point
    for first, last in pairs:
        if unicodedata.combining(chr(first)) != 0:
            fail(f"U+{first:04X} begins a composition but is not a starter")
        if last < 0x80 or HANGUL_FIRST <= first < HANGUL_FIRST + HANGUL_COUNT:
            fail(f"U+{first:04X} U+{last:04X}: an ASCII last or a Hangul first breaks the engine's shortcuts")
    return pairs


def decompositions():
    """code point -> its full NFKD, where that is not the code point itself."""
    found = {}
    for code_point in range(CODE_POINTS):
        if HANGUL_FIRST <= code_point < HANGUL_FIRST + HANGUL_COUNT:
            continue
        char = chr(code_point)
        decomposed = unicodedata.normalize("NFKD", char)
        if decomposed != char:
            if code_point < 0x80:
                fail(f"U+{code_point:04X}: an ASCII character decomposes")
            found[code_point] = [ord(part) for part in decomposed]
    if max(map(len, found.values())) > 31:
        fail("a decomposition is longer than 31 code points")
    return found


def two_stage(values):
    """(stage 1, stage 2): values[c] == stage2[(stage1[c >> SHIFT] << SHIFT) + (c & MASK)]."""
    size = 1 << BLOCK_SHIFT
    blocks, stage1, stage2 = {}, [], []
    for start in range(0, len(values), size):
        block = tuple(values[start : start + size])
        if block not in blocks:
            blocks[block] = len(blocks)
            stage2.extend(block)
        stage1.append(blocks[block])
    return stage1, stage2


def integer_type(values):
    top = max(values)
    for bits in (8, 16, 32, 64):
        if top < 1 << bits:
            return f"std::uint{bits}_t"


def array(name, values, element=None):
    element = element or integer_type(values)
    lines, line = [], ""
    for value in values:
        item = f"{value},"
        if len(line) + len(item) > 118:
            lines.append(line.rstrip())
            line = ""
        line += item + " "
    lines.append(line.rstrip())
    body = "\n".join("    " + text for text in lines)
    return f"constexpr {element} {name}[{len(values)}] = {{\n{body}\n}};\n"


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    output = sys.argv[1]
    pairs = composition_pairs()
    decomposed = decompositions()
    firsts = {first for first, _ in pairs}
    lasts = {last for _, last in pairs}

    records, record_of = [], {}
    property_values = []
    for code_point in range(CODE_POINTS):
        char = chr(code_point)
        flags = (
            ID_START * char.isidentifier()
            | ID_CONTINUE * ("a" + char).isidentifier()
            | PRINTABLE * char.isprintable()
            | DECOMPOSES * (code_point in decomposed)
            | COMPOSES_FIRST * (code_point in firsts)
            | COMPOSES_LAST * (code_point in lasts)
        )
        record = unicodedata.combining(char) << 8 | flags
        if record not in record_of:
            record_of[record] = len(records)
            records.append(record)
        property_values.append(record_of[record])
    if len(records) > 256:
        fail(f"{len(records)} distinct records do not fit a byte")
    property_index, property_blocks = two_stage(property_values)

    pool, starts, entry_of = [], [0, 0], [0] * CODE_POINTS
    for code_point, parts in sorted(decomposed.items()):
        entry_of[code_point] = len(starts) - 1
        pool.extend(parts)
        starts.append(len(pool))
    decomposition_index, decomposition_blocks = two_stage(entry_of)

    keys = sorted(pairs)
    text = [
        f"// Generated by src/engine/lexical/python_unicode_tables.py from the unicodedata of Python "
        f"{sys.version.split()[0]}\n// (Unicode {unicodedata.unidata_version}). Do not edit.\n\n",
        f'constexpr char kUnicodeVersion[] = "{unicodedata.unidata_version}";\n',
        f"constexpr unsigned kBlockShift = {BLOCK_SHIFT};\n\n",
        "// Record flags and canonical combining class (ccc << 8 | flags).\n",
        array("kRecords", records, "std::uint16_t"),
        "// Record number of every code point, in two stages.\n",
        array("kPropertyIndex", property_index),
        array("kPropertyBlocks", property_blocks),
        "// Full NFKD of every code point that has one: entry e is kDecompositionPool\n"
        "// [kDecompositionStart[e], kDecompositionStart[e + 1]); entry 0 is empty.\n",
        array("kDecompositionIndex", decomposition_index),
        array("kDecompositionBlocks", decomposition_blocks),
        array("kDecompositionStart", starts),
        array("kDecompositionPool", pool, "char32_t"),
        "// Primary composites: keys (first << 21 | last), sorted, and what each pair makes.\n",
        array("kCompositionKeys", [first << 21 | last for first, last in keys], "std::uint64_t"),
        array("kCompositions", [pairs[key] for key in keys], "char32_t"),
    ]
    # Written beside and renamed, so that an interrupted run leaves no half table.
    partial = output + ".partial"
    os.makedirs(os.path.dirname(os.path.abspath(output)), exist_ok=True)
    with open(partial, "w", encoding="ascii") as out:
        out.write("".join(text))
    os.replace(partial, output)
    print(
        f"python_unicode_tables.py: Unicode {unicodedata.unidata_version}: {len(records)} records, "
        f"{len(property_blocks) >> BLOCK_SHIFT} property blocks, {len(starts) - 2} decompositions "
        f"({len(pool)} code points, {len(decomposition_blocks) >> BLOCK_SHIFT} blocks), {len(pairs)} compositions"
    )


if __name__ == "__main__":
    main()
