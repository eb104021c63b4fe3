"""Faults of the file system and of the process around a scan: files that
change under the walk, permissions, link loops, extreme depths and path
lengths, odd and huge contents, failing reads, refused threads and exhausted
memory. Each call either returns complete, correct records or raises a clear
exception, and the module keeps working for the next call."""

import os
import random
import threading

import pytest

from conftest import (FORBIDDEN, OPEN_FAILURE, REFUSED_THREAD, UNLISTED, native_threads, open_to_others, run_child,
                      scan_through_fifo, threads_left_over)

CONTENT = b"import os\nimport yaml\n"
NAME_MAX = os.pathconf("/", "PC_NAME_MAX")
PATH_MAX = os.pathconf("/", "PC_PATH_MAX")


def full_record(path):
    """What CONTENT gives: the forbidden os on line 1, the unlisted yaml on line 2."""
    return [[f"{path}:1{FORBIDDEN}os'"], [f"{path}:2{UNLISTED}yaml'"], False]


def open_failure(path):
    return [[path + OPEN_FAILURE], [], False]


def outcome(result):
    return [result.errors, result.warnings, result.passed]


def make_tree(root, files, per_directory=50):
    paths = []
    for i in range(files):
        directory = os.path.join(root, f"pkg{i // per_directory}")
        os.makedirs(directory, exist_ok=True)
        path = os.path.join(directory, f"m{i}.py")
        with open(path, "wb") as out:
            out.write(CONTENT)
        paths.append(path)
    return paths


@pytest.fixture
def healthy(classifier, tmp_path_factory):
    """Checks that the module still scans a small tree and one file exactly,
    and that no engine thread outlived its call."""
    root = str(tmp_path_factory.mktemp("healthy"))
    paths = make_tree(root, 5)
    threads_before = native_threads()

    def check():
        results = classifier.scan_directory(root, set(), 3)
        assert sorted(r.filepath for r in results) == sorted(paths)
        assert all(outcome(r) == full_record(r.filepath) for r in results)
        assert outcome(classifier.scan_file(paths[0], set())) == full_record(paths[0])
        assert threads_left_over(threads_before) == []

    return check


class TestFilesThatChangeDuringTheScan:
    def test_files_vanishing_or_becoming_directories_fifos_or_loops_mid_scan(self, classifier, tmp_path, healthy):
        root = str(tmp_path / "tree")
        paths = make_tree(root, 2000)
        known = set(paths)
        # A third of the calls run while files only vanish or become FIFOs,
        # which the walk passes over (it keeps regular files, by the type
        # their directory gives): those calls must return. In the others,
        # files also become directories, then links to themselves too, and
        # the walk may fail on an entry that changed under it.
        modes = [("gone", "fifo"), ("gone", "fifo", "directory"), ("gone", "fifo", "directory", "loop")]
        shapes = [modes[0]]
        changed = []  # the files now in another shape, and their shapes
        mutating = threading.Lock()  # held through each step of changes
        stop = threading.Event()

        def put_back():
            # Each file comes back atomically, over whatever stood in its place.
            while changed:
                path, shape = changed.pop()
                if shape == "directory":
                    os.rmdir(path)
                elif shape != "gone":
                    os.unlink(path)
                with open(path + ".new", "wb") as out:
                    out.write(CONTENT)
                os.replace(path + ".new", path)

        def mutate():
            # Gives five files at a time, until the next step, the shape of
            # nothing, a FIFO, a directory or a link to itself.
            rng = random.Random(0)
            while not stop.is_set():
                with mutating:
                    put_back()
                    for path in rng.sample(paths, 5):
                        shape = rng.choice(shapes[0])
                        os.unlink(path)
                        if shape == "directory":
                            os.mkdir(path)
                        elif shape == "fifo":
                            os.mkfifo(path)
                        elif shape == "loop":
                            os.symlink(path, path)
                        changed.append((path, shape))

        mutator = threading.Thread(target=mutate)
        mutator.start()
        returned = 0
        try:
            for call in range(102):
                mode = call % 3
                with mutating:
                    put_back()  # directories and loops of an earlier call included
                    shapes[0] = modes[mode]
                try:
                    results = classifier.scan_directory(root, set(), (0, 4, 64)[call // 3 % 3])
                except RuntimeError as error:
                    # Only the walk fails, on an entry that changed under it. A
                    # worker that finds anything but a regular file where the
                    # walk saw one records an open failure, never a read failure.
                    assert mode != 0 and str(error).startswith("filesystem error: "), str(error)
                    continue
                returned += 1
                seen = [r.filepath for r in results]
                assert len(seen) == len(set(seen)) and set(seen) <= known
                for result in results:
                    path = result.filepath
                    assert outcome(result) in [
                        full_record(path),  # the file as written
                        open_failure(path),  # gone, a link loop, a directory or a FIFO when opened
                    ], path
        finally:
            stop.set()
            mutator.join()
            put_back()
        assert returned >= 34
        results = classifier.scan_directory(root, set(), 0)
        assert sorted(r.filepath for r in results) == sorted(paths)
        assert all(outcome(r) == full_record(r.filepath) for r in results)
        healthy()

    def test_a_fifo_is_read_as_a_stream_once_its_writer_comes(self, classifier, tmp_path, healthy):
        path = str(tmp_path / "pipe.py")
        result = scan_through_fifo(path, lambda fifo: classifier.scan_file(fifo, set()), b"x = 1\nimport os\n")
        assert outcome(result) == [[f"{path}:2{FORBIDDEN}os'"], [], False]
        healthy()


class TestPermissions:
    def test_unreadable_files_and_directories(self, tmp_path):
        root = str(tmp_path / "tree")
        readable = make_tree(root, 3)
        locked = os.path.join(root, "locked.py")
        # Listable but not searchable: the walk sees the names, but no path
        # through the directory can be opened.
        blind = os.path.join(root, "blind")
        os.mkdir(blind)
        hidden = [os.path.join(blind, name) for name in ("a.py", "b.py")]
        for path in (locked, *hidden):
            with open(path, "wb") as out:
                out.write(CONTENT)
        os.chmod(locked, 0)
        os.chmod(blind, 0o644)
        closed = str(tmp_path / "closed")
        make_tree(closed, 1)
        os.chmod(closed, 0)
        open_to_others(root)
        try:
            lines = run_child(
                """
                root, locked, closed = sys.argv[1:4]
                file = classifier.scan_file(locked, set())
                report(file.filepath, file.errors, file.warnings, file.passed)
                results = classifier.scan_directory(root, set(), 2)
                report(sorted([r.filepath, r.errors, r.warnings, r.passed] for r in results))
                report(attempt(lambda: classifier.scan_directory(closed, set())))
                report(attempt(lambda: len(classifier.scan_directory(root, set(), 2))))
                """,
                root, locked, closed, unprivileged=True,
            )
        finally:
            os.chmod(blind, 0o755)
            os.chmod(closed, 0o755)
        assert lines[0] == [locked, [locked + OPEN_FAILURE], [], False]
        expected = [[p, *full_record(p)] for p in readable] + [[p, *open_failure(p)] for p in (locked, *hidden)]
        assert lines[1] == [sorted(expected)]
        assert lines[2] == [[
            "RuntimeError",
            f"filesystem error: recursive directory iterator cannot open directory: Permission denied [{closed}]",
        ]]
        assert lines[3] == [["returned", 6]]


class TestLinkLoops:
    def test_a_link_back_to_an_ancestor_is_not_followed(self, classifier, tmp_path, healthy):
        (tmp_path / "pkg" / "sub").mkdir(parents=True)
        (tmp_path / "a.py").write_bytes(CONTENT)
        (tmp_path / "pkg" / "sub" / "b.py").write_bytes(CONTENT)
        (tmp_path / "pkg" / "sub" / "up").symlink_to("../..", target_is_directory=True)
        (tmp_path / "pkg" / "self").symlink_to(".", target_is_directory=True)
        results = classifier.scan_directory(str(tmp_path), set(), 2)
        assert sorted(r.filepath for r in results) == [str(tmp_path / "a.py"), str(tmp_path / "pkg/sub/b.py")]
        assert all(outcome(r) == full_record(r.filepath) for r in results)
        healthy()

    def test_a_looping_link_is_an_open_failure_for_scan_file_and_an_error_as_the_root(
        self, classifier, tmp_path, healthy
    ):
        loop = str(tmp_path / "loop.py")
        os.symlink("loop.py", loop)
        assert outcome(classifier.scan_file(loop, set())) == open_failure(loop)
        with pytest.raises(RuntimeError) as raised:
            classifier.scan_directory(loop, set())
        assert str(raised.value) == (
            "filesystem error: recursive directory iterator cannot open directory: "
            f"Too many levels of symbolic links [{loop}]"
        )
        healthy()


class TestDepthAndPathLength:
    def test_a_tree_300_levels_deep(self, classifier, tmp_path, healthy):
        directory = str(tmp_path)
        expected = []
        for level in range(300):
            directory = os.path.join(directory, "d")
            if level % 50 == 49:
                os.makedirs(directory)
                with open(os.path.join(directory, f"at{level + 1}.py"), "wb") as out:
                    out.write(CONTENT)
                expected.append(os.path.join(directory, f"at{level + 1}.py"))
        results = classifier.scan_directory(str(tmp_path), set(), 4)
        assert [r.filepath for r in results] == expected  # one file per level: a single walk order
        assert all(outcome(r) == full_record(r.filepath) for r in results)
        assert outcome(classifier.scan_file(expected[-1], set())) == full_record(expected[-1])
        healthy()

    def test_names_of_name_max_bytes_and_beyond(self, classifier, tmp_path, healthy):
        longest = str(tmp_path / ("n" * (NAME_MAX - 3) + ".py"))
        with open(longest, "wb") as out:
            out.write(CONTENT)
        assert outcome(classifier.scan_file(longest, set())) == full_record(longest)
        [result] = classifier.scan_directory(str(tmp_path), set())
        assert result.filepath == longest and outcome(result) == full_record(longest)
        too_long = str(tmp_path / ("n" * (NAME_MAX - 2) + ".py"))
        assert outcome(classifier.scan_file(too_long, set())) == open_failure(too_long)
        healthy()

    def test_paths_up_to_path_max_and_beyond(self, classifier, tmp_path, healthy):
        # Directories down to where a file's path has PATH_MAX - 1 bytes (the
        # longest the system opens), then one more level whose file lies
        # beyond the limit. They are made through directory descriptors,
        # which no path length limits.
        root = str(tmp_path)
        component = "d" * 200
        depth = (PATH_MAX - 2 - len(root) - len("f.py")) // (len(component) + 1)
        inner = root + ("/" + component) * depth
        at_limit = inner + "/" + "f" * (PATH_MAX - 2 - len(inner) - len(".py")) + ".py"
        beyond = inner + "/" + component + "/beyond.py"
        assert len(at_limit) == PATH_MAX - 1 and len(beyond) >= PATH_MAX
        fd = os.open(root, os.O_RDONLY | os.O_DIRECTORY)
        try:
            for _ in range(depth):
                os.mkdir(component, dir_fd=fd)
                fd, parent = os.open(component, os.O_RDONLY | os.O_DIRECTORY, dir_fd=fd), fd
                os.close(parent)
            for name, subdirectory in ((os.path.basename(at_limit), False), ("beyond.py", True)):
                where = fd
                if subdirectory:
                    os.mkdir(component, dir_fd=fd)
                    where = os.open(component, os.O_RDONLY | os.O_DIRECTORY, dir_fd=fd)
                out = os.open(name, os.O_WRONLY | os.O_CREAT, 0o644, dir_fd=where)
                os.write(out, CONTENT)
                os.close(out)
                if subdirectory:
                    os.close(where)
        finally:
            os.close(fd)
        assert outcome(classifier.scan_file(at_limit, set())) == full_record(at_limit)
        assert outcome(classifier.scan_file(beyond, set())) == open_failure(beyond)
        # The walk descends beyond the limit; the file there keeps its place
        # with its open failure.
        results = {r.filepath: outcome(r) for r in classifier.scan_directory(root, set(), 2)}
        assert results == {at_limit: full_record(at_limit), beyond: open_failure(beyond)}
        healthy()


class TestContents:
    def test_an_empty_file_passes(self, classifier, tmp_path, healthy):
        (tmp_path / "empty.py").write_bytes(b"")
        assert outcome(classifier.scan_file(str(tmp_path / "empty.py"), set())) == [[], [], True]
        [result] = classifier.scan_directory(str(tmp_path), set())
        assert outcome(result) == [[], [], True]
        healthy()

    def test_nul_and_non_utf8_bytes_are_ordinary_bytes(self, classifier, tmp_path, healthy):
        path = str(tmp_path / "odd.py")
        with open(path, "wb") as out:
            out.write(
                b"import os\x00\n"  # a NUL ends no name: nothing
                b"\x00import os\n"  # nor does it start a statement
                b"import os\n"
                b"\xff\xfe\xfd\n"
                b"import caf\xc3\xa9\n"  # a non-ASCII name: nothing
                b"from toml import \xff\n"
                b"import subprocess # \xe9\xff\n"
                b"\xef\xbb\xbfimport os\n"  # a byte-order mark: nothing
            )
        assert outcome(classifier.scan_file(path, set())) == [
            [f"{path}:3{FORBIDDEN}os'", f"{path}:7{FORBIDDEN}subprocess'"],
            [f"{path}:6{UNLISTED}toml'"],
            False,
        ]
        healthy()

    def test_a_path_that_is_not_utf8_raises_only_when_read_from_python(self, classifier, tmp_path, healthy):
        path = os.fsencode(str(tmp_path)) + b"/caf\xe9.py"
        with open(path, "wb") as out:
            out.write(CONTENT)
        for result in (classifier.scan_file(path, set()), *classifier.scan_directory(os.fsencode(str(tmp_path)), set())):
            assert result.passed is False
            assert repr(result) == "<FileResult passed=False errors=1 warnings=1>"
            for member in ("filepath", "errors", "warnings"):
                with pytest.raises(UnicodeDecodeError):
                    getattr(result, member)
        healthy()

    def test_a_200_mb_file_with_a_long_candidate_line(self, classifier, tmp_path, healthy):
        # 200 MB: an import on the first line, a 16 MB name, short comment
        # lines, and an import on the last line without a line feed.
        filler_line = b"# " + b"x" * 97 + b"\n"
        long_name = b"a" * (16 * 2**20)
        filler_lines = (200 * 2**20 - 16 * 2**20) // len(filler_line)
        path = str(tmp_path / "huge.py")
        with open(path, "wb") as out:
            out.write(b"import os\n")
            out.write(b"import " + long_name + b"\n")
            for _ in range(filler_lines // 10_000):
                out.write(filler_line * 10_000)
            out.write(b"from json.decoder import x\nimport yaml")
        assert os.path.getsize(path) >= 200 * 10**6
        last = 2 + filler_lines // 10_000 * 10_000 + 2
        expected = [
            [f"{path}:1{FORBIDDEN}os'"],
            [f"{path}:2{UNLISTED}{long_name.decode()}'", f"{path}:{last}{UNLISTED}yaml'"],
            False,
        ]
        assert outcome(classifier.scan_file(path, set())) == expected
        [result] = classifier.scan_directory(str(tmp_path), set(), 4)
        assert outcome(result) == expected
        os.remove(path)
        healthy()


class TestWorkerFaults:
    def test_a_huge_thread_request_on_thousands_of_files(self, classifier, tmp_path, healthy):
        paths = make_tree(str(tmp_path), 3000)
        reference = [(r.filepath, outcome(r)) for r in classifier.scan_directory(str(tmp_path), set(), 1)]
        assert sorted(p for p, _ in reference) == sorted(paths)
        try:
            results = classifier.scan_directory(str(tmp_path), set(), 4294967295)
        except RuntimeError as error:
            # One worker per file: a system with a lower thread limit may
            # refuse some, which must be reported, not lost.
            assert str(error) == REFUSED_THREAD
        else:
            assert [(r.filepath, outcome(r)) for r in results] == reference
        healthy()

    def test_a_read_failure_among_thousands_of_files_on_every_worker_count(self, classifier, tmp_path, healthy):
        make_tree(str(tmp_path), 3000)
        failing = str(tmp_path / "proc" / "x.py")
        os.makedirs(os.path.dirname(failing))
        os.symlink("/proc/self/mem", failing)
        read_failure = f"{failing}: read failed: Input/output error"
        # One worker per file may meet a thread limit first: that refusal is
        # the first failure then, and is reported in its place.
        for threads, failures in ((0, [read_failure]), (4294967295, [read_failure, REFUSED_THREAD])):
            with pytest.raises(RuntimeError) as raised:
                classifier.scan_directory(str(tmp_path), set(), threads)
            assert str(raised.value) in failures
        with pytest.raises(RuntimeError) as raised:
            classifier.scan_file(failing, set())
        assert str(raised.value) == read_failure
        os.remove(failing)
        try:
            assert len(classifier.scan_directory(str(tmp_path), set(), 4294967295)) == 3000
        except RuntimeError as error:
            assert str(error) == REFUSED_THREAD
        healthy()

    def test_refused_first_thread(self, tmp_path):
        paths = make_tree(str(tmp_path / "small"), 4)
        lines = run_child(
            """
            small, one = sys.argv[1:3]
            # Room for half a thread's stack: enough for what the calls
            # allocate themselves (the walk's list, a read buffer), never
            # for a thread. No thread has run in this process yet, so no
            # cached stack can stand in for the one the cap refuses.
            use_thread_stacks_of(8 * 2**20)  # the stack limit of most machines, on every machine
            with capped(thread_stack_bytes() // 2):
                report(attempt(lambda: len(classifier.scan_directory(small, set(), 2))))
                result = classifier.scan_file(one, set())  # needs no thread
                report(result.errors, result.warnings)
            report(attempt(lambda: len(classifier.scan_directory(small, set(), 2))))
            """,
            str(tmp_path / "small"), paths[0],
        )
        assert lines[0] == [["RuntimeError", REFUSED_THREAD]]
        assert lines[1] == full_record(paths[0])[:2]
        assert lines[2] == [["returned", 4]]


class TestMemory:
    def test_files_of_gigabytes_scan_in_a_capped_address_space(self, tmp_path):
        # Sparse, so they cost nothing on disk: 3 GiB with a forbidden
        # import on its last line after a line of zeros, and 1.5 GiB that
        # ends in the middle of its second line, beside an ordinary file.
        tree = tmp_path / "tree"
        paths = make_tree(str(tree), 1)
        big, other = str(tree / "big.py"), str(tree / "other.py")
        ending = b"\nimport os\n"
        with open(big, "wb") as out:
            out.write(b"import json\n")
            out.seek(3 * 2**30 - len(ending))
            out.write(ending)
        with open(other, "wb") as out:
            out.write(b"import yaml\n")
            out.truncate(3 * 2**29)
        expected = {
            big: [[f"{big}:3{FORBIDDEN}os'"], [], False],
            other: [[], [f"{other}:1{UNLISTED}yaml'"], True],
            paths[0]: full_record(paths[0]),
        }
        lines = run_child(
            """
            tree, big = sys.argv[1:3]
            before = native_threads()
            use_thread_stacks_of(8 * 2**20)  # the stack limit of most machines, on every machine
            # Room for two workers' stacks, and 32 MiB for their buffers and
            # the records: far from what holding a file would take.
            headroom = 2 * thread_stack_bytes() + 32 * 2**20
            report(headroom)
            with capped(headroom):
                results = classifier.scan_directory(tree, set(), 2)
                report(*[[r.filepath, r.errors, r.warnings, r.passed] for r in results])
                result = classifier.scan_file(big, set())
                report(result.errors, result.warnings, result.passed)
            report(threads_left_over(before))
            """,
            str(tree), big,
        )
        assert lines[0][0] < 3 * 2**29 // 8, "the cap must leave no room for a file read whole"
        assert {path: rest for path, *rest in lines[1]} == expected
        assert lines[2] == expected[big]
        assert lines[3] == [[]]

    def test_exhausted_memory_is_a_memory_error_and_leaves_the_module_working(self, tmp_path):
        # What a scan keeps is its output: here a module name of 96 MiB,
        # more than the capped address space can hold.
        name_bytes = 96 * 2**20
        path = str(tmp_path / "long.py")
        with open(path, "wb") as out:
            out.write(b"import " + b"a" * name_bytes + b"\n")
        lines = run_child(
            """
            path = sys.argv[1]
            before = native_threads()
            use_thread_stacks_of(8 * 2**20)  # the stack limit of most machines, on every machine
            # Room for the one worker's stack, its buffer and 32 MiB more.
            headroom = thread_stack_bytes() + 32 * 2**20
            report(headroom)
            with capped(headroom):
                report(attempt(lambda: classifier.scan_file(path, set()).passed))
                report(attempt(lambda: len(classifier.scan_directory(os.path.dirname(path), set(), 2))))
            report(attempt(lambda: len(classifier.scan_file(path, set()).warnings)))
            report(threads_left_over(before))
            """,
            path,
        )
        assert lines.pop(0)[0] < name_bytes, "the cap must leave no room for the name"
        assert lines == [
            [["MemoryError", "std::bad_alloc"]],
            [["MemoryError", "std::bad_alloc"]],
            [["returned", 1]],
            [[]],
        ]
