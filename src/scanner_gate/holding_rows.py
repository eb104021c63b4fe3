"""What a live module holds under another name than its own: the rows of the
engine's table of holdings, read off the modules an interpreter has imported.

For each module, each attribute whose value is a module (`logging.os` is
`os`), submodules included, and each attribute whose value is an object
defined in a module under another root (its `__module__`); with whether
`from module import *` binds the name (its `__all__`, or its public names).

Two programs use it, so that the standard library's table and the tables of
other modules are made by the same reading:

- the build's generator (src/engine/policy/module_holdings_table.py), which
  loads this file by its path in an interpreter started with -I -S;
- `scanner-core --write-holdings`, which runs this file as the program of a
  child interpreter (the one the user names) to describe modules outside the
  standard library:

      python -s -P holding_rows.py OUTPUT MAX_ROWS MODULE...

  It imports each MODULE, then writes to OUTPUT, as JSON, the rows of each
  and of its submodules that the imports loaded, and exits 0; or says on
  stderr why not and exits 3. The caller checks what it wrote.

It imports nothing of scanner_gate: it runs where scanner_gate may not be
installed, and under -S.
"""

import sys
import types

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable

Row = tuple[str, str, str, bool, bool]

FORMAT = "scanner-core holdings 1"


def root_of(name: str) -> str:
    return name.partition(".")[0]


def holdings(module: types.ModuleType) -> list[tuple[str, str, bool]]:
    """(attribute, target, is_module) of what `module` holds under another name."""
    own = module.__name__
    held = []
    # A module's namespace may hold keys that are no str (set by its own
    # code); no attribute syntax reaches them.
    items = [(name, value) for name, value in vars(module).items() if isinstance(name, str)]
    for attribute, value in sorted(items, key=lambda item: item[0]):
        if attribute.startswith("__") and attribute.endswith("__"):
            continue  # the module's own dunders: __builtins__ and the like are other rules' business
        if isinstance(value, types.ModuleType):
            target = getattr(value, "__name__", None)
            if isinstance(target, str) and target and target != own:
                held.append((attribute, target, True))
            continue
        try:
            defined = getattr(value, "__module__", None)
        except BaseException:
            continue
        if not isinstance(defined, str) or not defined or defined in ("builtins", "__main__"):
            continue
        if root_of(defined) != root_of(own):
            held.append((attribute, defined, False))
    return held


def star_names(module: types.ModuleType) -> set[str]:
    exported = getattr(module, "__all__", None)
    if exported is None:
        return {name for name in vars(module) if isinstance(name, str) and not name.startswith("_")}
    try:
        return {name for name in exported if isinstance(name, str)}
    except BaseException:  # an __all__ that cannot be iterated: `import *` fails, binding nothing
        return set()


def rows_of(names: "Callable[[str], bool]") -> list[Row]:
    """(module, attribute, target, is_module, starred) of each module of
    sys.modules named in `names` (a predicate on a name), sorted."""
    rows = []
    for name, module in sorted((name, module) for name, module in list(sys.modules.items()) if isinstance(name, str)):
        if not names(name) or not isinstance(module, types.ModuleType) or module.__name__ != name:
            continue
        star = star_names(module)
        for attribute, target, is_module in holdings(module):
            rows.append((name, attribute, target, is_module, attribute in star))
    return rows


def _child(output: str, most: int, modules: list[str]) -> int:
    import importlib
    import json

    for name in modules:
        try:
            importlib.import_module(name)
        except BaseException as error:  # the user is told, and no table is written
            sys.stderr.write(f"cannot import {name}: {type(error).__name__}: {error}\n")
            return 3
    named = tuple(modules)

    def wanted(name: str) -> bool:
        return any(name == module or name.startswith(module + ".") for module in named)

    rows = rows_of(wanted)
    if len(rows) > most:
        sys.stderr.write(f"the modules hold {len(rows)} names of other modules, more than the {most} a table may hold\n")
        return 3
    table = {
        "format": FORMAT,
        "python": ".".join(map(str, sys.version_info[:3])),
        "modules": sorted(set(named)),
        "rows": [list(row) for row in rows],
    }
    with open(output, "w", encoding="utf-8") as stream:
        json.dump(table, stream, ensure_ascii=True)
    return 0


if __name__ == "__main__":
    if len(sys.argv) < 4 or not sys.argv[2].isdigit():
        sys.stderr.write("usage: holding_rows.py OUTPUT MAX_ROWS MODULE...\n")
        sys.exit(2)
    sys.exit(_child(sys.argv[1], int(sys.argv[2]), sys.argv[3:]))
