"""The published plugins of bench/plugins.txt, fetched once into a cache.

Each wheel is downloaded with pip (no dependencies, nothing installed) and
unpacked beside it into a tree of its own, for the tools that read trees
only. A plugin already there is not fetched again.
"""

from __future__ import annotations

import subprocess
import sys
import zipfile
from dataclasses import dataclass
from pathlib import Path

HERE = Path(__file__).resolve().parent
LIST = HERE / "plugins.txt"


@dataclass(frozen=True)
class Plugin:
    name: str
    wheel: Path
    tree: Path

    def top_levels(self) -> list[str]:
        """The plugin's own packages and modules, as its wheel installs them
        (what a host writes as the job's local_modules): below a namespace
        package (a directory without __init__.py, `pelican/plugins/`), the
        dotted names of what it adds there, not the namespace, which
        others share."""
        names: set[str] = set()

        def add(directory: Path, prefix: str) -> None:
            for path in directory.iterdir():
                if path.name.endswith((".dist-info", ".data")) or not path.name.isidentifier() and path.is_dir():
                    continue
                if path.is_dir() and not (path / "__init__.py").is_file():
                    add(path, f"{prefix}{path.name}.")
                elif path.is_dir() or path.suffix == ".py":
                    names.add(prefix + (path.stem if path.is_file() else path.name))

        add(self.tree, "")
        return sorted(names)


def pins() -> list[str]:
    return [line.strip() for line in LIST.read_text().splitlines() if line.strip() and not line.startswith("#")]


def ensure(cache: Path, log=print) -> list[Plugin]:
    """The plugins, fetched and unpacked under `cache/plugins`. Raises
    CalledProcessError when pip cannot fetch them."""
    wheels = cache / "plugins" / "wheels"
    trees = cache / "plugins" / "trees"
    wheels.mkdir(parents=True, exist_ok=True)
    plugins = []
    for pin in pins():
        name, version = pin.split("==")
        found = sorted(wheels.glob(f"{name}-{version}-*.whl"))
        if not found:
            log(f"[plugins] fetching {pin}")
            done = subprocess.run([sys.executable, "-m", "pip", "download", "--quiet", "--disable-pip-version-check",
                                   "--no-deps", "--only-binary", ":all:", "--dest", str(wheels), pin],
                                  capture_output=True, text=True)
            if done.returncode != 0:
                log(done.stderr)
                done.check_returncode()
            found = sorted(wheels.glob(f"{name}-{version}-*.whl"))
        tree = trees / name
        if not tree.is_dir():
            with zipfile.ZipFile(found[0]) as archive:
                archive.extractall(tree)
        plugins.append(Plugin(name, found[0], tree))
    return plugins
