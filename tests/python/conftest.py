import os
import pathlib
import threading
import time

import pytest

import scanner_core


@pytest.fixture
def classifier():
    """The policy most tests use: two forbidden roots, a few allow rules."""
    return scanner_core.ImportClassifier(
        {"os", "subprocess"}, {"json", "os.path", "a.b"}, ["toolkit.api"]
    )


@pytest.fixture
def write(tmp_path):
    """Writes a file below tmp_path (bytes or text) and returns its path as str."""

    def write(relative, content=b""):
        path = tmp_path / relative
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(content.encode() if isinstance(content, str) else content)
        return str(path)

    return write


def ticks_during(call):
    """Runs `call()` while another Python thread counts its turns; returns
    the call's result and how many turns fell inside the call. A call that
    kept the interpreter lock lets at most a turn or two slip in at its edges."""
    ticks = []
    done = threading.Event()

    def ticker():
        while not done.is_set():
            ticks.append(time.perf_counter())
            time.sleep(0)

    thread = threading.Thread(target=ticker)
    thread.start()
    try:
        start = time.perf_counter()
        result = call()
        end = time.perf_counter()
    finally:
        done.set()
        thread.join()
    return result, sum(start < tick < end for tick in ticks)


def child_env():
    """The environment for a child interpreter that must import the module
    this test session uses."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.path.dirname(scanner_core.__file__) + os.pathsep + env.get("PYTHONPATH", "")
    return env


def open_to_others(path):
    """Lets uid 65534 reach `path` through its parents (tmp_path is 0700)."""
    for directory in [pathlib.Path(path), *pathlib.Path(path).parents]:
        if directory != pathlib.Path("/"):
            os.chmod(directory, directory.stat().st_mode | 0o755)
