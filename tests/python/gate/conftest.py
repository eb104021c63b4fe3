"""Running the command as a user does, and reading its reports back."""

import io
import os
import pathlib
import re
import subprocess
import sys
import textwrap
import zipfile

import pytest

import scanner_audit
import scanner_gate

EXAMPLES = pathlib.Path(__file__).parents[3] / "examples"

POLICY = """
[policy]
forbidden = ["os", "subprocess"]
allowed_exact = ["json"]
allowed_prefixes = ["quenx"]

[plugin]
local_modules = ["myplugin"]
"""


def as_pyproject(policy):
    """The same tables as a pyproject.toml holds them."""
    return re.sub(r"^\[(\w+)\]$", r"[tool.scanner-core.\1]", policy, flags=re.MULTILINE)


def gate(*args, cwd=None, stdout=subprocess.PIPE, stdin=None):
    """python -m scanner_gate, finding the modules and the package where
    this test session found them. Its output must be UTF-8. `stdout` may
    be a descriptor or file to write the report to instead of a pipe;
    `stdin`, text to read on its standard input."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(
        [os.path.dirname(scanner_audit.__file__), os.path.dirname(os.path.dirname(scanner_gate.__file__))]
    )
    return subprocess.run(
        [sys.executable, "-m", "scanner_gate", *map(os.fspath, args)],
        stdout=stdout, stderr=subprocess.PIPE, encoding="utf-8", errors="strict", cwd=cwd, env=env, timeout=300,
        input=stdin,
    )


class Project:
    """A directory with a policy in its pyproject.toml and a plugin tree, plugins/."""

    def __init__(self, root):
        self.root = root
        self.tree = root / "plugins"
        (root / "pyproject.toml").write_text(as_pyproject(POLICY))
        self.write("myplugin/__init__.py", "from . import core\n")
        self.write("myplugin/core.py", "import json\nfrom quenx.api import Plugin\nimport myplugin.core\nimport yaml\n")

    def write(self, relative, content):
        """Writes below plugins/ (text is dedented; bytes and bytes names as they are)."""
        path = os.path.join(os.fsencode(self.tree), os.fsencode(relative))
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as stream:
            stream.write(content if isinstance(content, bytes) else textwrap.dedent(content).encode())
        return os.fsdecode(path)

    def run(self, *args, stdout=subprocess.PIPE):
        return gate(*args, cwd=self.root, stdout=stdout)


@pytest.fixture(autouse=True, scope="session")
def private_cache(tmp_path_factory):
    """The policies' cache of every run here, in and out of the process,
    kept out of the user's own."""
    saved = os.environ.get("XDG_CACHE_HOME")
    os.environ["XDG_CACHE_HOME"] = str(tmp_path_factory.mktemp("cache"))
    yield
    if saved is None:
        del os.environ["XDG_CACHE_HOME"]
    else:
        os.environ["XDG_CACHE_HOME"] = saved


@pytest.fixture
def project(tmp_path):
    return Project(tmp_path)


_ESCAPE = re.compile(r"\\(?:(\\)|x([0-9a-f]{2})|u([0-9a-f]{4})|U([0-9a-f]{8}))")


def unescape(text):
    """The bytes a name escaped by the command stands for (as the README
    states the escapes): the inverse of the report's escaping."""
    out, end = bytearray(), 0
    for match in _ESCAPE.finditer(text):
        out += text[end : match.start()].encode("utf-8")
        backslash, byte, short, long = match.groups()
        if backslash:
            out += b"\\"
        elif byte:
            out.append(int(byte, 16))
        else:
            out += chr(int(short or long, 16)).encode("utf-8", "surrogatepass")
        end = match.end()
    return bytes(out + text[end:].encode("utf-8"))


def has_control(text):
    """Whether text holds a C0 or C1 control character or DEL, raw, other than line feeds."""
    return any((ord(c) < 0x20 and c != "\n") or 0x7F <= ord(c) <= 0x9F for c in text)


def zip_of(members, compression=zipfile.ZIP_DEFLATED):
    """The bytes of a zip that zipfile writes, of {name: text or bytes}."""
    data = io.BytesIO()
    with zipfile.ZipFile(data, "w", compression) as archive:
        for name, content in members.items():
            archive.writestr(name, content if isinstance(content, bytes) else textwrap.dedent(content))
    return data.getvalue()
