"""The proof of constant folding: writes random expressions of strings,
bytes, ints, tuples, lists, `+`, `-`, `*`, `%`, `**`, subscripts and `:=`,
and holds the oracle's folding (ast_doors.fold) to CPython's own on each
(whatever the oracle folds, `ast.parse(..., optimize=1)` must fold to the
same constant), then puts each where a name, key, text or fromlist is read
and holds the native audit to the oracle there, as audit_oracle does.
Expression number i of a seed is always the same.

usage: fold_proof.py [--seed S] [--expressions N]
"""

import argparse
import ast
import collections
import os
import random
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import ast_doors  # noqa: E402
import audit_oracle  # noqa: E402

ATOMS = (
    "'import os'", "'imp'", "'ort os'", "''", "'\u00e9'", "'#'", "'__imp'", "'ort__'", "'exec'", "b'import os'",
    "b'imp'", "b'ort os'", "0", "1", "2", "-1", "4096", "4097", "2048", "True", "False", "None", "x", "f'a'",
    "f'{1}'", "1.0", "'\\x41'", "r'\\n'", "'a' 'b'", "__debug__", "'ab\u00e9c'", "b'\\xff\\x00'",
    # Ints about the bound past which the audit folds none.
    "4611686018427387903", "2305843009213693952", "4611686018427387904",
)
OPERATORS = ("+", "*", "+", "*", "-", "%", "**")
INDICES = ("0", "1", "-1", "2", "True", "-2", "+1", "- -1", "1:")
# Where a constant is read: a code runner's text (plain, starred, by
# keyword, in a ** dict), an importer's name and fromlist, a key, a name
# given to getattr, an importer's globals.
PLACES = (
    "exec({})", "eval(t := {})", "exec(*{})", "compile(source={}, filename='f', mode='exec')",
    "compile(**{{'source': {}}})", "__import__({})", "__import__('a', fromlist={})",
    "__import__('a', None, None, {})", "b[{}]", "getattr(b, {})", "__import__('x', {{'__name__': {}}}, None, (), 1)",
)


def expression(rng: random.Random, depth: int = 0) -> str:
    roll = rng.random()
    if depth > 3 or roll < 0.3:
        return rng.choice(ATOMS)
    if roll < 0.55:
        return f"{expression(rng, depth + 1)} {rng.choice(OPERATORS)} {expression(rng, depth + 1)}"
    if roll < 0.65:
        return f"({expression(rng, depth + 1)})"
    if roll < 0.75:
        count = rng.randint(0, 3)
        items = ", ".join(expression(rng, depth + 1) for _ in range(count))
        return f"({items}{',' if count == 1 else ''})"
    if roll < 0.8:
        return f"[{', '.join(expression(rng, depth + 1) for _ in range(rng.randint(0, 3)))}]"
    if roll < 0.9:
        return f"({expression(rng, depth + 1)})[{rng.choice(INDICES)}]"
    if roll < 0.95:
        return f"(t := {expression(rng, depth + 1)})"
    return f"{rng.choice('-+')}{expression(rng, depth + 1)}"


def cpython_agrees(text: str, node: ast.expr) -> bool:
    """Whether CPython folds `text` to what the oracle folds it to (when
    the oracle folds it to a constant: `:=` is no constant to CPython)."""
    value = ast_doors.fold(node)
    if not isinstance(value, (str, bytes, int, tuple)) or any(isinstance(n, ast.NamedExpr) for n in ast.walk(node)):
        return True
    folded = ast.parse(text, mode="eval", optimize=1).body
    return isinstance(folded, ast.Constant) and folded.value == value and (
        type(folded.value) is type(value) or isinstance(value, int))


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--expressions", type=int, default=3000)
    arguments = parser.parse_args()
    rng = random.Random(arguments.seed)
    comparer = audit_oracle.Comparer()
    counts: collections.Counter[str] = collections.Counter()
    failures = []
    with tempfile.TemporaryDirectory(prefix="fold-proof-") as scratch:
        path = os.path.join(scratch, "source.py")
        for number in range(arguments.expressions):
            text = expression(rng)
            place = rng.choice(PLACES)
            try:
                node = ast.parse(text, mode="eval").body
            except SyntaxError:
                counts["not_an_expression"] += 1
                continue
            if not cpython_agrees(text, node):
                failures.append(f"{number}: the oracle folds {text!r}, CPython does not fold it so")
                continue
            counts["folded" if ast_doors.fold(node) is not ast_doors.NOT_CONSTANT else "not_folded"] += 1
            source = place.format(text) + "\n"
            with open(path, "w", encoding="utf-8") as stream:
                stream.write(source)
            outcome = comparer.compare(path)
            counts[outcome.kind] += 1
            if outcome.failed:
                failures.append(f"{number}: {source.strip()}: {outcome.kind} {outcome.detail}")
    summary = ", ".join(f"{counts[kind]} {kind}" for kind in sorted(counts))
    print(f"[fold-proof] seed {arguments.seed}: {arguments.expressions} expressions: {summary}")
    for failure in failures[:20]:
        print(f"[fold-proof] {failure}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
