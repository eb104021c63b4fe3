"""scan_directory from Python: discovery, walk order for any thread count,
failures that raise and failures that stay data, conversions, and threads."""

import inspect
import os
import pathlib
import subprocess
import sys
import textwrap
import threading

import pytest

import scanner_core
from conftest import child_env, open_to_others, ticks_during

FORBIDDEN = ": import interdit \u2014 '"
OPEN_FAILURE = ": impossible d'ouvrir le fichier"


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


def paths(results):
    return [result.filepath for result in results]


@pytest.fixture
def tree(write, tmp_path):
    for i in range(30):
        write(f"pkg{i % 4}/sub{i % 3}/m{i}.py", "#\n" * (i * 300) + "import os\nimport yaml\n")
    return str(tmp_path)


class TestOrder:
    def test_same_list_in_walk_order_for_every_thread_count(self, classifier, tree):
        expected = walk_order(tree)
        assert len(expected) == 30
        for threads in (1, 2, 8, 0, 100):
            results = classifier.scan_directory(tree, set(), threads)
            assert paths(results) == expected
            for result in results:
                assert result.errors == [f"{result.filepath}:{_line_of_os(result)}{FORBIDDEN}os'"]
                assert result.passed is False and len(result.warnings) == 1

    def test_default_thread_count_is_automatic(self, classifier, tree):
        assert paths(classifier.scan_directory(tree, set())) == paths(classifier.scan_directory(tree, set(), 0))


def _line_of_os(result):
    """File m<i>.py of the tree imports os after i * 300 comment lines."""
    number = int(pathlib.Path(result.filepath).stem[1:])
    return number * 300 + 1


class TestDiscovery:
    def test_only_regular_files_ending_exactly_in_dot_py(self, classifier, write, tmp_path):
        for name in ("a.PY", "a.pyw", "a.pyi", "a.py~", "a.py.bak", ".py", "a.py", "a.b.py", ".hidden.py",
                     "pkg.py/inner.py", "pkg.py/notes.txt"):
            write(name, "import os\n")
        kept = {os.path.relpath(p, tmp_path) for p in paths(classifier.scan_directory(str(tmp_path), set()))}
        assert kept == {"a.py", "a.b.py", ".hidden.py", "pkg.py/inner.py"}

    def test_hidden_and_cache_directories_are_scanned(self, classifier, write, tmp_path):
        write(".git/hooks/h.py", "import os\n")
        write("__pycache__/c.py", "")
        write("node_modules/x/n.py", "")
        kept = {os.path.relpath(p, tmp_path) for p in paths(classifier.scan_directory(str(tmp_path), set()))}
        assert kept == {".git/hooks/h.py", "__pycache__/c.py", "node_modules/x/n.py"}

    def test_links(self, classifier, write, tmp_path_factory):
        root = tmp_path_factory.mktemp("root")
        outside = tmp_path_factory.mktemp("outside")
        (outside / "lib.py").write_text("import os\n")
        (root / "real.py").write_text("import os\n")
        (root / "link.py").symlink_to(root / "real.py")
        (root / "outside.py").symlink_to(outside / "lib.py")
        (root / "linked_dir").symlink_to(outside, target_is_directory=True)
        (root / "dangling.py").symlink_to(root / "nowhere.py")
        results = {r.filepath: r for r in classifier.scan_directory(str(root), set())}
        assert set(results) == {str(root / n) for n in ("real.py", "link.py", "outside.py")}
        assert results[str(root / "link.py")].errors == [str(root / "link.py") + ":1" + FORBIDDEN + "os'"]

    def test_a_linked_root_is_followed(self, classifier, write, tmp_path):
        write("real/a.py", "")
        (tmp_path / "alias").symlink_to(tmp_path / "real", target_is_directory=True)
        assert paths(classifier.scan_directory(str(tmp_path / "alias"), set())) == [str(tmp_path / "alias/a.py")]

    def test_paths_follow_the_directory_as_given(self, classifier, write, tmp_path, monkeypatch):
        write("plugins/tools/demo.py", "")
        monkeypatch.chdir(tmp_path)
        assert paths(classifier.scan_directory("plugins", set())) == ["plugins/tools/demo.py"]
        assert paths(classifier.scan_directory("plugins/", set())) == ["plugins/tools/demo.py"]
        assert paths(classifier.scan_directory(b"plugins", set())) == ["plugins/tools/demo.py"]
        monkeypatch.chdir(tmp_path / "plugins" / "tools")
        assert paths(classifier.scan_directory(".", set())) == ["./demo.py"]

    def test_empty_trees(self, classifier, write, tmp_path):
        assert classifier.scan_directory(str(tmp_path), set()) == []
        write("docs/readme.txt", "import os\n")
        assert classifier.scan_directory(str(tmp_path), set(), 4) == []

    def test_local_modules_apply_to_every_file(self, classifier, tree):
        for result in classifier.scan_directory(tree, {"os", "yaml"}, 2):
            assert result.errors == [] and result.warnings == [] and result.passed


class TestFailures:
    @pytest.mark.parametrize("kind", ["missing", "regular file", "empty", "nul byte"])
    def test_root_that_is_not_a_directory_raises(self, classifier, write, tmp_path, kind):
        root = {"missing": str(tmp_path / "nope"), "regular file": write("f.py", ""), "empty": "",
                "nul byte": str(tmp_path) + "\0/nope"}[kind]
        with pytest.raises(RuntimeError, match="recursive directory iterator cannot open directory"):
            classifier.scan_directory(root, set())

    def test_link_loop_raises(self, classifier, write, tmp_path):
        write("ok.py", "")
        (tmp_path / "a").symlink_to(tmp_path / "b")
        (tmp_path / "b").symlink_to(tmp_path / "a")
        with pytest.raises(RuntimeError, match="Too many levels of symbolic links"):
            classifier.scan_directory(str(tmp_path), set())

    def test_read_failure_in_a_worker_raises_and_leaves_the_process_healthy(self, classifier, tree):
        # /proc/self/mem opens, reports itself as a regular file, and fails
        # on the first read: a worker meets an exception mid-scan.
        os.symlink("/proc/self/mem", os.path.join(tree, "pkg0", "x.py"))
        for threads in (1, 2, 8):
            with pytest.raises(RuntimeError, match="Input/output error"):
                classifier.scan_directory(tree, set(), threads)
        os.remove(os.path.join(tree, "pkg0", "x.py"))
        assert len(classifier.scan_directory(tree, set())) == 30
        assert threading.active_count() == 1

    def test_unreadable_file_keeps_its_place_with_its_open_failure(self, tree):
        locked = os.path.join(tree, "pkg1", "locked.py")
        pathlib.Path(locked).write_text("import os\n")
        os.chmod(locked, 0)
        outcome = _run_unprivileged(
            """
            results = classifier.scan_directory(tree, set(), 4)
            print(len(results), [r.filepath for r in results] == walk_order(tree))
            mine = next(r for r in results if r.filepath == sys.argv[2])
            print(mine.errors, mine.warnings, mine.passed)
            print(all(len(r.errors) == 1 for r in results))
            """,
            tree, locked,
        )
        assert outcome == [
            "31 True",
            f"[{locked + OPEN_FAILURE!r}] [] False",
            "True",
        ]

    def test_unreadable_subdirectory_fails_the_whole_call(self, tree):
        os.chmod(os.path.join(tree, "pkg2"), 0)
        try:
            outcome = _run_unprivileged(
                """
                try:
                    classifier.scan_directory(tree, set(), 4)
                except RuntimeError as error:
                    print(error)
                """,
                tree,
            )
        finally:
            os.chmod(os.path.join(tree, "pkg2"), 0o755)
        assert len(outcome) == 1
        assert outcome[0].startswith("filesystem error: cannot increment recursive directory iterator: Permission denied")

    def test_refused_thread_start_raises_after_joining_and_leaves_the_process_healthy(self, tree):
        # Caps the address space just above what the process uses, so that
        # only the first few worker stacks fit and a later thread is refused.
        script = textwrap.dedent(
            """
            import resource, sys, threading
            import scanner_core
            classifier = scanner_core.ImportClassifier({"os"}, set(), [])
            tree = sys.argv[1]
            assert len(classifier.scan_directory(tree, set(), 2)) == 30
            soft, hard = resource.getrlimit(resource.RLIMIT_AS)
            with open("/proc/self/status") as status:
                size = next(int(l.split()[1]) * 1024 for l in status if l.startswith("VmSize:"))
            resource.setrlimit(resource.RLIMIT_AS, (size + 24 * 2**20, hard))
            try:
                classifier.scan_directory(tree, set(), 30)
                outcome = "no refusal"
            except RuntimeError as error:
                outcome = "refused: " + str(error)
            finally:
                resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
            print(outcome)
            assert threading.active_count() == 1
            assert len(classifier.scan_directory(tree, set(), 30)) == 30
            print("healthy")
            """
        )
        done = subprocess.run(
            [sys.executable, "-c", script, tree], capture_output=True, text=True, timeout=120, env=child_env()
        )
        assert done.returncode == 0, done.stderr
        outcome, healthy = done.stdout.strip().split("\n")
        assert outcome == "refused: Resource temporarily unavailable"
        assert healthy == "healthy"


def _run_unprivileged(body, tree, *arguments):
    """Runs `body` in a child interpreter with `classifier`, `tree` and
    `walk_order` at hand, as an unprivileged user when the tests run as root
    (root opens everything whatever its permissions; the module is imported
    before privileges are dropped). Returns its output lines."""
    if os.geteuid() == 0:
        open_to_others(tree)
    script = textwrap.dedent(
        """
        import os, sys
        import scanner_core
        if os.geteuid() == 0:
            os.setgroups([]); os.setgid(65534); os.setuid(65534)
        classifier = scanner_core.ImportClassifier({"os"}, set(), [])
        tree = sys.argv[1]
        """
    ) + textwrap.dedent(inspect.getsource(walk_order)) + textwrap.dedent(body)
    done = subprocess.run(
        [sys.executable, "-c", script, tree, *arguments], capture_output=True, text=True, timeout=120,
        env=child_env(),
    )
    assert done.returncode == 0, done.stderr
    return done.stdout.splitlines()


class TestConversions:
    @pytest.mark.parametrize("value", [-1, 2**32, 2.0, 1.5, "2", None], ids=repr)
    def test_bad_thread_counts_are_refused(self, classifier, tree, value):
        with pytest.raises(TypeError, match="incompatible function arguments"):
            classifier.scan_directory(tree, set(), value)

    @pytest.mark.parametrize("value", [True, 1, 4294967295, 0], ids=repr)
    def test_thread_counts_in_range_are_accepted(self, classifier, tree, value):
        assert len(classifier.scan_directory(tree, set(), num_threads=value)) == 30

    def test_index_objects_are_accepted(self, classifier, tree):
        class Three:
            def __index__(self):
                return 3

        assert len(classifier.scan_directory(tree, set(), Three())) == 30

    @pytest.mark.parametrize(
        "arguments",
        [(pathlib.Path("."), set()), (None, set()), (".", ["os"]), (".", {"os": 1}), (".",)],
        ids=["path-object", "none", "list", "dict", "missing"],
    )
    def test_bad_arguments_are_refused(self, classifier, arguments):
        with pytest.raises(TypeError, match="incompatible function arguments"):
            classifier.scan_directory(*arguments)

    def test_keywords(self, classifier, tree):
        results = classifier.scan_directory(src_dir=tree, local_modules=frozenset(), num_threads=2)
        assert isinstance(results, list) and len(results) == 30
        assert all(type(r) is scanner_core.FileResult for r in results)


class TestThreads:
    def test_two_python_threads_share_one_classifier(self, classifier, tree):
        expected = paths(classifier.scan_directory(tree, set(), 1))
        outcomes = []

        def scan():
            for _ in range(20):
                outcomes.append(paths(classifier.scan_directory(tree, set(), 2)))

        threads = [threading.Thread(target=scan) for _ in range(2)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        assert len(outcomes) == 40 and all(outcome == expected for outcome in outcomes)

    def test_other_python_threads_run_during_a_long_scan(self, classifier, write, tmp_path):
        for i in range(8):
            write(f"big{i}.py", "import yaml\n" * 400_000)
        results, turns = ticks_during(lambda: classifier.scan_directory(str(tmp_path), set(), 2))
        assert sum(len(r.warnings) for r in results) == 8 * 400_000
        assert turns >= 10
