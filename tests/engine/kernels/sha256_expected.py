"""Writes hashlib's SHA-256 of made-up texts, for sha256_test.cpp.

    python sha256_expected.py OUTPUT

Run by the build with the interpreter the engine is built for. One line a
text: its length, then its digest in hexadecimal. The text of length n has
byte k equal to (k * 167 + n * 31 + 7) % 256, so that the test makes the
same bytes; the lengths are every one up to 200 (the padding's edges at
55, 56 and 64 bytes, and a second and third block) and a few around the
sizes of pieces read from files.
"""

import hashlib
import sys

LENGTHS = [*range(201), 1000, 4095, 4096, 4097, 65535, 65536, 65537, 1_000_003]


def text_of(length: int) -> bytes:
    return bytes((k * 167 + length * 31 + 7) % 256 for k in range(length))


def main() -> int:
    with open(sys.argv[1], "w", encoding="ascii") as out:
        for length in LENGTHS:
            out.write(f"{length} {hashlib.sha256(text_of(length)).hexdigest()}\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
