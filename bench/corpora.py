"""The benchmark corpora, generated deterministically into a cache directory.

Each corpus is a directory tree of .py files; the sparse one holds files of
several GiB that occupy almost nothing on disk. A corpus is rebuilt only when
its recipe changes: the recipe (name, parameters, generator version) is
written beside it, and a tree whose recipe matches is reused as it is.
"""

from __future__ import annotations

import json
import os
import random
import shutil
import sysconfig
from dataclasses import dataclass
from pathlib import Path

# Bumped whenever the generators change, so that stale trees are rebuilt.
GENERATOR_VERSION = 3


@dataclass(frozen=True)
class Corpus:
    name: str
    path: Path
    files: int
    bytes: int  # what a reader reads: the files' lengths
    kind: str = ""
    disk_bytes: int = 0  # what the files occupy on disk; far less for sparse files


# --- realistic plugin source -------------------------------------------------

# Weighted like plugin code: mostly standard library and the host's API, some
# third-party packages, the plugin's own package and relative imports.
_PLAIN = [
    "os", "sys", "json", "re", "typing", "logging", "math", "itertools", "functools",
    "collections", "dataclasses", "pathlib", "datetime", "subprocess", "socket", "shutil",
    "os.path", "numpy", "pandas", "requests", "yaml", "toolkit.api", "toolkit.api.widgets",
    "toolkit.apis", "myplugin", "myplugin.util", "xml.etree.ElementTree", "urllib.request",
    "http.client", "ctypes", "pickle", "importlib", "enum", "abc", "textwrap", "string",
]
_FROM = [
    ("typing", "Any, Optional"), ("collections", "OrderedDict"), ("dataclasses", "dataclass, field"),
    ("os.path", "join"), ("os", "environ"), ("pathlib", "Path"), ("toolkit.api", "Plugin, hook"),
    ("toolkit.widgets.table", "Table"), ("numpy.linalg", "norm"), ("pandas.core.frame", "DataFrame"),
    ("requests.adapters", "HTTPAdapter"), ("myplugin.helpers", "cached"), ("subprocess", "run, PIPE"),
    ("concurrent.futures", "ThreadPoolExecutor"), ("importlib.metadata", "version"),
    ("__future__", "annotations"), ("functools", "lru_cache"), ("itertools", "chain"),
]
_RELATIVE = ["from . import helpers", "from .models import Record", "from ..core import base",
             "from .util.text import slug", "from ... import settings"]

_WORDS = ["value", "item", "record", "config", "result", "index", "name", "path", "data", "entry",
          "widget", "handler", "options", "cache", "buffer", "token", "field", "frame", "image", "info"]


def _import_line(rng: random.Random) -> str:
    roll = rng.random()
    if roll < 0.40:
        name = rng.choice(_PLAIN)
        tail = rng.choice(["", "", "", f" as {rng.choice(_WORDS)}", f", {rng.choice(_PLAIN)}"])
        return f"import {name}{tail}"
    if roll < 0.85:
        module, names = rng.choice(_FROM)
        return f"from {module} import {names}"
    return rng.choice(_RELATIVE)


def _function(rng: random.Random) -> list[str]:
    name = f"{rng.choice(_WORDS)}_{rng.choice(_WORDS)}_{rng.randrange(1000)}"
    a, b = rng.sample(_WORDS, 2)
    lines = [f"def {name}({a}, {b}=None):", f'    """Return the {a} for {b}, or None."""']
    for _ in range(rng.randrange(4, 12)):
        w1, w2, w3 = rng.choice(_WORDS), rng.choice(_WORDS), rng.choice(_WORDS)
        roll = rng.random()
        if roll < 0.05:
            lines.append(f"    {_import_line(rng)}")  # a deferred import inside a function
        elif roll < 0.20:
            lines += [f"    if {w1} is None:", f"        {w1} = {w2}.get({w3!r})"]
        elif roll < 0.32:
            lines += [f"    for {w1} in {w2}:", f"        {w3}.append(format({w1}))"]
        elif roll < 0.40:
            lines += ["    try:", f"        {w1} = int({w2})", "    finally:", f"        {w3}.close()"]
        elif roll < 0.48:
            lines.append(f"    # {w1} {w2} {w3}: keep the {w1} before the {w2}")
        elif roll < 0.55:
            lines.append(f"    {w1}_{w2} = f\"{{{w3}}} from {w1} import {w2}\"")
        else:
            lines.append(f"    {w1}_{w2} = {w3}.{rng.choice(_WORDS)}({w1}, {rng.randrange(100)})")
    lines.append(f"    return {a}")
    return lines


def plugin_source(rng: random.Random, target_bytes: int) -> str:
    """A module of about `target_bytes`: docstring, imports, then functions
    and classes, with a deferred import now and then."""
    lines = [f'"""Plugin module {rng.choice(_WORDS)}: handles the {rng.choice(_WORDS)}."""', ""]
    lines += [_import_line(rng) for _ in range(rng.randrange(4, 11))]
    lines += ["", ""]
    size = sum(len(line) + 1 for line in lines)
    while size < target_bytes:
        if rng.random() < 0.2:
            block = [f"class {rng.choice(_WORDS).title()}{rng.randrange(100)}:", "    __slots__ = ()", ""]
        else:
            block = _function(rng) + ["", ""]
        if rng.random() < 0.08:
            block.insert(0, _import_line(rng))
        lines += block
        size += sum(len(line) + 1 for line in block)
    return "\n".join(lines) + "\n"


# --- generators ----------------------------------------------------------------

def _many_small(root: Path, count: int, seed: int) -> None:
    # Nested like real plugin trees: packages of packages, about 50 files a
    # directory, with an __init__.py in each.
    rng = random.Random(seed)
    per_dir = 50
    for index in range(count):
        d, f = divmod(index, per_dir)
        directory = root / f"pkg{d // 20:03d}" / f"sub{d % 20:02d}"
        if f == 0:
            directory.mkdir(parents=True, exist_ok=True)
        name = "__init__.py" if f == 0 else f"mod_{f:02d}.py"
        (directory / name).write_text(plugin_source(rng, rng.randrange(1200, 2500)))


def _few_large(root: Path, count: int, size: int, seed: int) -> None:
    rng = random.Random(seed)
    for index in range(count):
        directory = root / f"gen{index % 5}"
        directory.mkdir(parents=True, exist_ok=True)
        (directory / f"big_{index:03d}.py").write_text(plugin_source(rng, size))


def _long_lines(root: Path, size: int) -> None:
    # Each file: a few ordinary lines, then one huge candidate line.
    head = "# generated\nimport json\n\n"
    words = ("abcdefghij_klmnopqrstuvwxyz0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ" * (size // 63 + 1))[:size]
    dots = "." * size
    bodies = {
        "import_word.py": f"import {words}\n",
        "import_word_dotted.py": f"import {words[: size // 2]}.{words[: size // 2]} as x\n",
        "from_dots_import.py": f"from {dots} import x\n",
        "from_dots_open.py": f"from {dots}\n",
        "from_word_import.py": f"from {words} import x\n",
        "from_word_open.py": f"from {words}\n",
    }
    root.mkdir(parents=True, exist_ok=True)
    for name, body in bodies.items():
        (root / name).write_text(head + body + "x = 1\n")


# The last line of each sparse file, and the forbidden module it imports;
# files beyond the list take its lines in turn.
_SPARSE_TAILS = [("import subprocess", "subprocess"), ("from socket import create_connection", "socket")]
_SPARSE_HEAD = '"""A sparse module: one line, a hole of NUL bytes, then one import."""\n'
# The sparse file's last line is its third: the head, the hole, the import.
SPARSE_IMPORT_LINE = 3


def _sparse_name(index: int) -> str:
    # Nested one level more each time, so the walk has directories to enter.
    return "/".join([f"deep{d}" for d in range(index)] + [f"big_{index}.py"])


def sparse_expectations(recipe: dict) -> dict[str, list[tuple[int, str]]]:
    """For each sparse file of the recipe (relative path): the (line,
    module) of the imports it holds."""
    return {_sparse_name(i): [(SPARSE_IMPORT_LINE, _SPARSE_TAILS[i % len(_SPARSE_TAILS)][1])]
            for i in range(recipe["files"])}


def _sparse(root: Path, count: int, size: int, seed: int) -> None:
    # A hole costs no disk and no page cache, so a tree of files of several
    # GiB is made in an instant; a reader still receives every byte, as NULs.
    for index in range(count):
        path = root / _sparse_name(index)
        path.parent.mkdir(parents=True, exist_ok=True)
        tail = ("\n" + _SPARSE_TAILS[index % len(_SPARSE_TAILS)][0] + "\n").encode()
        path.write_bytes(_SPARSE_HEAD.encode())
        os.truncate(path, size)
        with open(path, "r+b") as file:
            file.seek(size - len(tail))
            file.write(tail)
        on_disk = os.stat(path).st_blocks * 512
        if on_disk > 1 << 20:  # the filesystem filled the hole: do not leave GiBs behind
            path.unlink()
            raise RuntimeError(f"{root}: this filesystem does not keep holes ({on_disk:,} bytes on disk)")
    rng = random.Random(seed)
    (root / "small.py").write_text(plugin_source(rng, 2000))


def _stdlib(root: Path) -> None:
    # The standard library's own .py files, without what is installed into
    # it, copied so that the tree stays put while the interpreter changes.
    source = Path(sysconfig.get_paths()["stdlib"])
    for dirpath, dirnames, filenames in os.walk(source):
        dirnames[:] = sorted(d for d in dirnames if d not in ("site-packages", "dist-packages"))
        for filename in sorted(filenames):
            src = Path(dirpath) / filename
            if filename.endswith(".py") and src.is_file() and not src.is_symlink():
                dst = root / src.relative_to(source)
                dst.parent.mkdir(parents=True, exist_ok=True)
                shutil.copyfile(src, dst)


def recipes(quick: bool) -> dict[str, dict]:
    """The corpora of a run, by name: each a recipe for its generator."""
    stdlib = {"kind": "stdlib", "source": sysconfig.get_paths()["stdlib"]}
    if quick:
        return {
            "stdlib": stdlib,
            "many-small": {"kind": "many-small", "files": 2000, "seed": 1},
            "few-large": {"kind": "few-large", "files": 5, "size": 2_000_000, "seed": 2},
            "long-lines": {"kind": "long-lines", "size": 4_000_000},
            "sparse": {"kind": "sparse", "files": 2, "size": 128 << 20, "seed": 3},
        }
    return {
        "stdlib": stdlib,
        "many-small": {"kind": "many-small", "files": 20000, "seed": 1},
        "few-large": {"kind": "few-large", "files": 50, "size": 2_000_000, "seed": 2},
        "long-lines": {"kind": "long-lines", "size": 24_000_000},
        "sparse": {"kind": "sparse", "files": 2, "size": 3 << 30, "seed": 3},
    }


def scaling_recipes(quick: bool) -> dict[str, dict]:
    """many-small at growing file counts, for the cost per file."""
    counts = (500, 2000, 5000) if quick else (2000, 20000, 100000)
    main = recipes(quick)["many-small"]
    # The same seed for all sizes: each tree begins with the files of the
    # smaller ones, and the one of the main corpus's size is that corpus.
    return {
        "many-small" if n == main["files"] else f"many-small-{n}": {"kind": "many-small", "files": n, "seed": 1}
        for n in counts
    }


def _build(root: Path, recipe: dict) -> None:
    kind = recipe["kind"]
    if kind == "stdlib":
        _stdlib(root)
    elif kind == "many-small":
        _many_small(root, recipe["files"], recipe["seed"])
    elif kind == "few-large":
        _few_large(root, recipe["files"], recipe["size"], recipe["seed"])
    elif kind == "long-lines":
        _long_lines(root, recipe["size"])
    elif kind == "sparse":
        _sparse(root, recipe["files"], recipe["size"], recipe["seed"])
    else:
        raise ValueError(f"unknown corpus kind {kind!r}")


def _measure(root: Path) -> tuple[int, int, int]:
    """(.py files, their bytes, the disk space they occupy)."""
    files = total = disk = 0
    for dirpath, _, filenames in os.walk(root):
        for filename in filenames:
            if filename.endswith(".py"):
                info = os.stat(os.path.join(dirpath, filename))
                files += 1
                total += info.st_size
                disk += info.st_blocks * 512
    return files, total, disk


def ensure(cache: Path, name: str, recipe: dict, log=print) -> Corpus:
    """Returns the corpus `name`, generating it under `cache` unless a tree
    made from the same recipe is already there."""
    root = cache / name
    stamp = cache / f"{name}.recipe.json"
    cache.mkdir(parents=True, exist_ok=True)
    wanted = json.dumps({"version": GENERATOR_VERSION, **recipe}, sort_keys=True)
    if not (root.is_dir() and stamp.is_file() and stamp.read_text() == wanted):
        log(f"[bench] generating corpus {name} in {root}")
        if root.exists():
            shutil.rmtree(root)
        stamp.unlink(missing_ok=True)
        root.mkdir(parents=True)
        _build(root, recipe)
        stamp.write_text(wanted)
    files, total, disk = _measure(root)
    return Corpus(name, root, files, total, recipe["kind"], disk)
