"""scan_directory from Python: discovery, walk order for any thread count,
failures that raise and failures that stay data, conversions, and threads."""

import os
import pathlib
import threading

import pytest

import scanner_core
from conftest import (FORBIDDEN, OPEN_FAILURE, PATIENCE, REFUSED_THREAD, native_threads, open_to_others, run_child,
                      threads_left_over, walk_order)


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
        threads_before = native_threads()
        os.symlink("/proc/self/mem", os.path.join(tree, "pkg0", "x.py"))
        for threads in (1, 2, 8):
            with pytest.raises(RuntimeError, match="Input/output error"):
                classifier.scan_directory(tree, set(), threads)
        os.remove(os.path.join(tree, "pkg0", "x.py"))
        assert len(classifier.scan_directory(tree, set())) == 30
        assert threads_left_over(threads_before) == []

    def test_unreadable_file_keeps_its_place_with_its_open_failure(self, tree):
        locked = os.path.join(tree, "pkg1", "locked.py")
        pathlib.Path(locked).write_text("import os\n")
        os.chmod(locked, 0)
        open_to_others(tree)
        lines = run_child(
            """
            tree, locked = sys.argv[1:3]
            results = classifier.scan_directory(tree, set(), 4)
            report([r.filepath for r in results] == walk_order(tree), len(results))
            mine = next(r for r in results if r.filepath == locked)
            report(mine.errors, mine.warnings, mine.passed)
            report(all(len(r.errors) == 1 for r in results))
            """,
            tree, locked, unprivileged=True,
        )
        assert lines == [[True, 31], [[locked + OPEN_FAILURE], [], False], [True]]

    def test_unreadable_subdirectory_fails_the_whole_call(self, tree):
        os.chmod(os.path.join(tree, "pkg2"), 0)
        open_to_others(tree)
        try:
            [[outcome]] = run_child(
                "report(attempt(lambda: classifier.scan_directory(sys.argv[1], set(), 4)))",
                tree, unprivileged=True,
            )
        finally:
            os.chmod(os.path.join(tree, "pkg2"), 0o755)
        assert outcome[0] == "RuntimeError"
        assert outcome[1].startswith("filesystem error: cannot increment recursive directory iterator: Permission denied")

    def test_refused_thread_start_raises_after_joining_and_leaves_the_process_healthy(self, tree):
        lines = run_child(
            """
            tree = sys.argv[1]
            use_thread_stacks_of(8 * 2**20)  # the stack limit of most machines, on every machine
            threads_before = native_threads()
            # A first call leaves the stacks of its two workers for reuse.
            assert len(classifier.scan_directory(tree, set(), 2)) == 30
            assert threads_left_over(threads_before) == []
            # Room for two stacks and a half: with the two reused, four
            # workers start and a fifth is refused; the half stack holds
            # the started workers' buffers, so that the refusal is the first
            # failure.
            stack = thread_stack_bytes()
            with capped(2 * stack + stack // 2):
                report(attempt(lambda: len(classifier.scan_directory(tree, set(), 30))))
            report(threads_left_over(threads_before))
            report(attempt(lambda: len(classifier.scan_directory(tree, set(), 30))))
            """,
            tree,
        )
        assert lines == [[["RuntimeError", REFUSED_THREAD]], [[]], [["returned", 30]]]


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

    def test_the_lock_is_released_while_the_walk_and_the_workers_wait(self, tree):
        # Every file the scan opens, the walk's directories and the workers'
        # files, waits at a gate that only a Python thread of the child
        # opens: a scan that kept the interpreter lock would wait for ever,
        # and the child would be stopped at its time limit.
        lines = run_child(
            """
            import threading
            from syscall_gate import OpenGate, Unavailable
            gate = OpenGate()
            server = threading.Thread(target=gate.serve)
            server.start()
            outcome = {}

            def scan():
                try:
                    gate.install_on_this_thread()
                except Unavailable as error:
                    outcome["unavailable"] = str(error)
                    return
                outcome["caller"] = threading.get_native_id()
                outcome["results"] = classifier.scan_directory(sys.argv[1], set(), 4)

            caller = threading.Thread(target=scan)
            caller.start()
            caller.join()
            gate.stop()
            server.join()
            if "unavailable" in outcome:
                report("unavailable", outcome["unavailable"])
            else:
                workers = set(gate.held) - {outcome["caller"]}
                report(len(outcome["results"]), outcome["caller"] in gate.held, len(workers) >= 1)
            """,
            tree, timeout=PATIENCE,
        )
        if lines[0][0] == "unavailable":
            pytest.skip(f"no seccomp user notification here: {lines[0][1]}")
        assert lines == [[30, True, True]]
