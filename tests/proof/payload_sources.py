"""Writes Python sources that give pickle.loads constant payloads and
dictConfig constant configurations, for the differential test to read
natively and through the oracle (ast_payloads): payloads as pickle writes
them, cut, flipped and spliced with opcodes that move texts through the
stack, its marks and the memo; configurations of every kind of value,
nested, parenthesised, computed or not.

usage: payload_sources.py --seed N --files N --out DIR
"""

import argparse
import collections
import io
import logging
import os
import pickle
import random
import shutil
import tempfile

CALLS_PER_FILE = 60

# Payloads of the objects a plugin pickles, at every protocol.
OBJECTS = (shutil.rmtree, os.system, collections.OrderedDict(a=1), [1, "os", ("system", b"x")], {"a": [os.path.join]},
           io.BytesIO, logging.Handler, range(3), {1, 2}, frozenset([os.getcwd]), bytearray(b"ab"),
           logging.getLogger, slice(1, 2), ("subprocess", "run"), [[[]]], {"k": ("os", "system")},
           tempfile.mkdtemp)
# Opcodes with their arguments, spliced in: texts, marks, the memo, globals, Python 2's names, frames.
OPCODES = (b"(", b"0", b"1", b"2", b"\x93", b"\x94", b"h\x00", b"h\x01", b"q\x00", b"q\x05", b"g0\n", b"p0\n", b"p 1\n",
           b"g1_0\n", b"cos\nsystem\n", b"(ios\nsystem\n", b"\x8c\x02os", b"\x8c\x06system", b"Vos\n", b"Vpos\\u0069x\n",
           b"S'os'\n", b"U\x02os", b"N", b"R", b"b", b"a", b"s", b"e", b"u", b"t", b"l", b"d", b"o", b"\x85", b"\x86",
           b"\x87", b"\x81", b"\x90", b"\x91", b"]", b"}", b")", b"\x80\x02", b"\x80\x04", b"\x80\x03", b"\x82\x01",
           b"X\x02\x00\x00\x00os", b"ccommands\ngetoutput\n", b"c__builtin__\nxrange\n", b"ctempfile\n_shutil.rmtree\n",
           b"clogging\nos.system\n", b"cjson\nloads\n", b"j\x00\x00\x00\x00", b"r\x00\x00\x00\x00",
           b"\x95\x05\x00\x00\x00\x00\x00\x00\x00", b"K\x01", b"I1\n", b"F1.0\n", b"L1L\n", b".")
TEXTS = ('"ext://os.path"', '"ext://logging.os"', '"cfg://handlers"', '"logging.os.system"', '"os"', '"subprocess.run"',
         '"logging.handlers.socket"', '"ext://sys.stdout"', '"json.decoder"', '"xyz://a"', '"ext://os\\n"',
         '"ext://a\\nb"', '"ext://" "socket.socket"', '"ext://" + "ctypes"', '"ctypes" * 1', '""', '".x"', '"ext://"',
         '"importlib.util"', '"logging.config.os"', '"email.mime"', '"unittest.mock.os"', "'tempfile._shutil'",
         '"ext://EXT://os"', '"Ext://os"', '"ext:/os"', '"ext://os..path"', '"mylocal.os"', '"test.support"',
         '("ext://os")', '(("os"))', '"ext://os"[0]', '("ext://", "os")[1]')
OTHER_VALUES = ("1", "1.5", "-2", "None", "True", "name", "a.b.c", "f()", "x + 1", "(Cls)", "b'x'", "{1, 2}", "1 * 2.5",
                "...", "lambda: 0", 'f"ext://os"', "(a).b", "(a)(b)", "-(1.5)", "+1j", "x[0]", "(x := 'os')",
                "'a' if x else 'b'", "[*x]", "{**x}", "{k: v for k in x}")
KEYS = ('"()"', '"class"', '"queue"', '"listener"', '"stream"', '"level"', '"handlers"', '"x"', '"(" ")"',
        '"cla" + "ss"', "k", "1")


def payloads(rng: random.Random) -> list[bytes]:
    written = [pickle.dumps(o, protocol=p) for o in OBJECTS for p in range(pickle.HIGHEST_PROTOCOL + 1)]
    made = []
    for _ in range(CALLS_PER_FILE):
        if rng.random() < 0.5:
            data = bytearray(rng.choice(written))
            for _ in range(rng.randrange(1, 4)):
                where = rng.randrange(len(data) + 1)
                r = rng.random()
                if r < 0.3:
                    data[where:where] = rng.choice(OPCODES)
                elif r < 0.5 and len(data) > 1:
                    del data[rng.randrange(len(data)):]
                elif r < 0.7 and data:
                    data[min(where, len(data) - 1)] = rng.randrange(256)
                else:
                    data[where:where] = rng.choice(OPCODES) + rng.choice(OPCODES)
            made.append(bytes(data))
        else:
            made.append(b"".join(rng.choice(OPCODES) for _ in range(rng.randrange(1, 14))))
    return made


def configuration(rng: random.Random, depth: int = 0) -> str:
    def value(depth: int) -> str:
        r = rng.random()
        if depth < 3 and r < 0.25:
            return configuration(rng, depth + 1)
        if depth < 3 and r < 0.35:
            inner = ", ".join(value(depth + 1) for _ in range(rng.randrange(0, 3)))
            return rng.choice(("[%s]", "(%s,)", "(%s)", "[%s,]")) % inner if inner else rng.choice(("[]", "()"))
        return rng.choice(TEXTS + OTHER_VALUES)

    entries = ["**other" if rng.random() < 0.05 else f"{rng.choice(KEYS)}: {value(depth)}"
               for _ in range(rng.randrange(0, 4))]
    return "{" + ", ".join(entries) + (rng.choice(("", ",")) if entries else "") + "}"


def source(rng: random.Random) -> str:
    lines = ["import pickle", "import logging.config", "from pickle import loads as ld",
             "from logging.config import dictConfig as dc"]
    for data in payloads(rng):
        lines.append(rng.choice(("pickle.loads(%r)", "ld(%r)", "pickle.loads(%r, fix_imports=False)")) % data)
    for _ in range(CALLS_PER_FILE):
        call = rng.choice(("logging.config.dictConfig(%s)", "dc(%s)", "dc(config=%s)", "dc(*[%s])", "dc((%s))",
                           "dc(%s, 1)", "logging.config.dictConfig(\n    %s\n)"))
        lines.append(call % configuration(rng))
    return "\n".join(lines) + "\n"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seed", type=int, required=True)
    parser.add_argument("--files", type=int, required=True)
    parser.add_argument("--out", required=True)
    arguments = parser.parse_args()
    shutil.rmtree(arguments.out, ignore_errors=True)
    os.makedirs(arguments.out)
    rng = random.Random(arguments.seed)
    for index in range(arguments.files):
        with open(os.path.join(arguments.out, f"payloads_{index}.py"), "w", encoding="utf-8") as out:
            out.write(source(rng))


if __name__ == "__main__":
    main()
