"""Scaffolding shared by the Python tests: the policy and the message texts
most tests use, scratch files, the walk order, FIFOs fed from a Python
thread, the process's native threads, and child interpreters (unprivileged,
or with their address space capped). Child interpreters import this module
too, so that they use the very same helpers."""

import contextlib
import ctypes
import errno
import json
import os
import pathlib
import resource
import subprocess
import sys
import textwrap
import threading
import time

import pytest

import scanner_core

FORBIDDEN = ": import interdit \u2014 '"
UNLISTED = ": import non whitelist\u00e9 \u2014 '"
OPEN_FAILURE = ": impossible d'ouvrir le fichier"
# What a scan raises when the system refuses one of its threads.
REFUSED_THREAD = "Resource temporarily unavailable"

# Two forbidden roots, exact names with a dotted one, and a prefix.
POLICY = ({"os", "subprocess"}, {"json", "os.path", "a.b"}, ["toolkit.api"])

# How long a test waits for something that must happen, before it fails:
# a bound for a broken module, never a pace for a working one.
PATIENCE = 60.0


def make_classifier():
    return scanner_core.ImportClassifier(*POLICY)


@pytest.fixture
def classifier():
    """The policy most tests use."""
    return make_classifier()


@pytest.fixture
def write(tmp_path):
    """Writes a file below tmp_path (bytes or text) and returns its path as str."""

    def write(relative, content=b""):
        path = tmp_path / relative
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(content.encode() if isinstance(content, str) else content)
        return str(path)

    return write


def walk_order(root):
    """The order of a depth-first, pre-order walk in directory listing order,
    the way the scan walks: directories reached through links are not entered."""
    found = []

    def visit(directory):
        with os.scandir(directory) as entries:
            for entry in entries:
                if entry.is_file() and os.path.splitext(entry.name)[1] == ".py" and entry.name != ".py":
                    found.append(entry.path)
                if entry.is_dir(follow_symlinks=False):
                    visit(entry.path)

    visit(root)
    return found


def native_threads():
    """The ids of this process's threads as the kernel sees them: engine
    workers included, which threading.active_count() does not know about."""
    return set(os.listdir("/proc/self/task"))


def threads_left_over(before):
    """The native threads that are not among `before` (a native_threads()
    of earlier), once there are none or PATIENCE has passed. A joined
    thread's task can stay listed for a moment while the kernel reaps it, a
    thread that outlived its call stays for good; one that was going away
    when `before` was taken counts for nothing."""
    deadline = time.monotonic() + PATIENCE
    while (new := native_threads() - before) and time.monotonic() < deadline:
        time.sleep(0.01)
    return sorted(new)


def scan_through_fifo(path, scan, content):
    """Makes a FIFO at `path`, runs `scan(path)` on a thread of its own and
    plays the FIFO's writer from this one: the scan's open waits for this
    thread's open, its reads for what this thread writes, and the end of
    the content comes when this thread closes. A scan that kept the
    interpreter lock while it waited would never let this thread run.
    Returns what the scan returned, or raises what it raised."""
    os.mkfifo(path)
    outcome = []

    def run():
        try:
            outcome.append((True, scan(path)))
        except BaseException as error:  # handed to the caller below
            outcome.append((False, error))

    thread = threading.Thread(target=run)
    thread.start()
    writer = None
    deadline = time.monotonic() + PATIENCE
    # Opened without waiting, so that a scan that never opens the FIFO fails
    # the test instead of hanging it: ENXIO says no reader is there yet.
    while writer is None:
        try:
            writer = os.open(path, os.O_WRONLY | os.O_NONBLOCK | os.O_CLOEXEC)
        except OSError as error:
            if error.errno != errno.ENXIO:
                raise
            assert thread.is_alive() and time.monotonic() < deadline, f"the scan never opened {path}: {outcome}"
            time.sleep(0.001)
    try:
        os.set_blocking(writer, True)
        with os.fdopen(writer, "wb") as stream:
            writer = None
            stream.write(content)
    finally:
        if writer is not None:
            os.close(writer)
        thread.join(PATIENCE)
    assert not thread.is_alive(), f"the scan of {path} did not end once its writer closed"
    returned, value = outcome[0]
    if not returned:
        raise value
    return value


def open_to_others(path):
    """Lets uid 65534 reach `path` through its parents (tmp_path is 0700),
    when the tests run as root: run_child's unprivileged children are that
    user then, and otherwise the same user as the tests."""
    if os.geteuid() != 0:
        return
    for directory in [pathlib.Path(path), *pathlib.Path(path).parents]:
        if directory != pathlib.Path("/"):
            os.chmod(directory, directory.stat().st_mode | 0o755)


# What child interpreters use.


def drop_privileges():
    """Makes a child that runs as root uid/gid 65534 without supplementary
    groups (root opens everything whatever its permissions). Import the
    module first. Returns whether the process now runs unprivileged."""
    if os.geteuid() == 0:
        os.setgroups([])
        os.setgid(65534)
        os.setuid(65534)
    return os.geteuid() != 0


def thread_stack_bytes():
    """The address space the system maps for each new native thread started
    without attributes, as the engine's are: glibc's default stack size
    (which follows the stack limit the process started with, unless
    use_thread_stacks_of changed it) plus its guard."""
    libc = ctypes.CDLL(None)
    attributes = ctypes.create_string_buffer(256)  # larger than any pthread_attr_t
    assert libc.pthread_getattr_default_np(attributes) == 0
    try:
        size, guard = ctypes.c_size_t(), ctypes.c_size_t()
        assert libc.pthread_attr_getstacksize(attributes, ctypes.byref(size)) == 0
        assert libc.pthread_attr_getguardsize(attributes, ctypes.byref(guard)) == 0
    finally:
        libc.pthread_attr_destroy(attributes)
    return size.value + guard.value


def use_thread_stacks_of(size):
    """Gives native threads started without attributes from now on a stack
    of `size` bytes, whatever the stack limit of the machine."""
    libc = ctypes.CDLL(None)
    attributes = ctypes.create_string_buffer(256)
    assert libc.pthread_attr_init(attributes) == 0
    try:
        assert libc.pthread_attr_setstacksize(attributes, ctypes.c_size_t(size)) == 0
        assert libc.pthread_setattr_default_np(attributes) == 0
    finally:
        libc.pthread_attr_destroy(attributes)


@contextlib.contextmanager
def capped(headroom):
    """Limits the address space to its present size plus `headroom` bytes,
    and lifts the limit again on the way out."""
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    with open("/proc/self/status") as status:
        size = next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize:"))
    resource.setrlimit(resource.RLIMIT_AS, (size + headroom, hard))
    try:
        yield
    finally:
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))


def report(*values):
    """Hands `values` to the parent: one JSON list a line."""
    print(json.dumps(values), flush=True)


def attempt(call):
    """["returned", value] or [exception type, message]."""
    try:
        return ["returned", call()]
    except Exception as error:
        return [type(error).__name__, str(error)]


def child_env():
    """The environment for a child interpreter that must import the module
    this test session uses, and this module."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(
        [os.path.dirname(scanner_core.__file__), os.path.dirname(__file__), env.get("PYTHONPATH", "")]
    )
    # One malloc arena: each thread's own arena reserves 64 MiB of address
    # space when that fits and nothing when it does not, so under a cap what
    # a thread costs would depend on what ran before it.
    env["MALLOC_ARENA_MAX"] = "1"
    return env


def run_child(body, *arguments, unprivileged=False, timeout=PATIENCE * 2):
    """Runs `body` in a child interpreter that has imported the module and
    this one, with `classifier` (the policy above), `report`, `attempt`,
    `capped`, `thread_stack_bytes`, `use_thread_stacks_of`, `native_threads`,
    `threads_left_over` and `walk_order` at hand; when asked, it first drops root's privileges
    and checks that they are gone. Returns what the child reported."""
    script = textwrap.dedent(
        f"""
        import os, sys
        from conftest import (attempt, capped, drop_privileges, make_classifier, native_threads, report,
                              thread_stack_bytes, threads_left_over, use_thread_stacks_of, walk_order)
        classifier = make_classifier()
        if {unprivileged!r}:
            assert drop_privileges(), "the child must run without root's privileges"
        """
    )
    done = subprocess.run(
        [sys.executable, "-c", script + textwrap.dedent(body), *arguments],
        capture_output=True, text=True, timeout=timeout, env=child_env(),
    )
    assert done.returncode == 0, done.stderr
    return [json.loads(line) for line in done.stdout.splitlines()]
