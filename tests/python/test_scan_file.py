"""scan_file from Python: the exact messages, the order of the rules, the
argument conversions, and the interpreter lock released while it works."""

import pathlib
import threading

import pytest

from conftest import FORBIDDEN, OPEN_FAILURE, PATIENCE, UNLISTED, run_child
from scanner_core import FileResult, ImportClassifier


def test_messages_are_byte_exact_for_relative_and_absolute_paths(classifier, write, tmp_path, monkeypatch):
    write("plugins/demo.py", "import json\n\nimport os.path\n\n\n\nimport requests\n")
    monkeypatch.chdir(tmp_path)
    for path in ("plugins/demo.py", str(tmp_path / "plugins/demo.py")):
        result = classifier.scan_file(path, set())
        assert result.filepath == path
        assert result.errors == [path + ":3" + FORBIDDEN + "os.path'"]
        assert result.warnings == [path + ":7" + UNLISTED + "requests'"]
        assert result.passed is False
    raw = classifier.scan_file("plugins/demo.py", set())
    assert raw.errors[0].encode() == b"plugins/demo.py:3: import interdit \xe2\x80\x94 'os.path'"
    assert raw.warnings[0].encode() == b"plugins/demo.py:7: import non whitelist\xc3\xa9 \xe2\x80\x94 'requests'"


def test_missing_file_is_a_single_error_not_an_exception(classifier, tmp_path):
    path = str(tmp_path / "missing.py")
    result = classifier.scan_file(path, set())
    assert result.filepath == path
    assert [error.encode() for error in result.errors] == [path.encode() + b": impossible d'ouvrir le fichier"]
    assert result.warnings == [] and result.passed is False


def test_path_with_a_nul_byte_names_no_file(classifier, write):
    # Cut at the NUL, the name would be that of another, real file.
    path = write("real.py", "import os\n") + "\0.txt"
    result = classifier.scan_file(path, set())
    assert result.filepath == path
    assert result.errors == [path + OPEN_FAILURE]


def test_rules_apply_in_order_local_forbidden_allowed(write):
    classifier = ImportClassifier({"os", "mypkg"}, {"os.path", "numpy"}, ["toolkit.api"])
    path = write(
        "rules.py",
        "import mypkg.util\n"  # local root wins over forbidden
        "from os.path import join\n"  # forbidden wins over allowed_exact
        "import numpy.linalg\n"  # allowed by root
        "import toolkit.api.widgets\n"  # allowed by prefix
        "import toolkit.apis\n"  # merely similar: unlisted
        "from . import os\n"  # relative: never reported
        "from .. import x\n",
    )
    result = classifier.scan_file(path, {"mypkg"})
    assert result.errors == [path + ":2" + FORBIDDEN + "os.path'"]
    assert result.warnings == [path + ":5" + UNLISTED + "toolkit.apis'"]


def test_whole_local_name_counts_only_for_itself(write):
    classifier = ImportClassifier(set(), set(), [])
    path = write("local.py", "import mypkg.util\nimport mypkg.other\n")
    result = classifier.scan_file(path, {"mypkg.util"})
    assert result.warnings == [path + ":2" + UNLISTED + "mypkg.other'"]


def test_repeated_imports_keep_their_own_line_numbers(classifier, write):
    path = write("twice.py", "\nimport os\n" + "x = 1\n" * 6 + "import os\n")
    assert classifier.scan_file(path, set()).errors == [
        path + ":2" + FORBIDDEN + "os'",
        path + ":9" + FORBIDDEN + "os'",
    ]


def test_only_warnings_pass(classifier, write):
    result = classifier.scan_file(write("w.py", "import yaml\nimport requests\n"), set())
    assert result.passed is True and len(result.warnings) == 2


def test_directory_as_path_raises_runtime_error(classifier, tmp_path):
    with pytest.raises(RuntimeError, match="Is a directory"):
        classifier.scan_file(str(tmp_path), set())


def test_bytes_paths_and_local_modules(classifier, write):
    path = write("b.py", "import os.path\nimport yaml\n")
    result = classifier.scan_file(path.encode(), {b"yaml"})
    assert result.errors == [path + ":1" + FORBIDDEN + "os.path'"] and result.warnings == []
    assert classifier.scan_file(bytearray(path.encode()), {"os": 0}.keys()).errors == []
    assert classifier.scan_file(filepath=path, local_modules=frozenset({"os", "yaml"})).passed


@pytest.mark.parametrize(
    "arguments",
    [
        (pathlib.Path("x.py"), set()),
        (None, set()),
        ("x.py", ["os"]),
        ("x.py", {"os": 1}),
        ("x.py", ("os",)),
        ("x.py", {1}),
        ("\ud800.py", set()),
        ("x.py",),
    ],
    ids=["path-object", "none", "list", "dict", "tuple", "int-element", "surrogate", "missing"],
)
def test_refused_arguments_raise_type_error(classifier, arguments):
    with pytest.raises(TypeError, match="incompatible function arguments"):
        classifier.scan_file(*arguments)


def test_result_is_a_new_file_result(classifier, write):
    path = write("r.py", "import os\n")
    first = classifier.scan_file(path, set())
    assert type(first) is FileResult
    assert classifier.scan_file(path, set()) is not first


def test_the_lock_is_released_while_the_engine_waits(tmp_path):
    # The scan waits for a FIFO's writer, then for what it writes, and the
    # writer is a Python thread of the child: the scan can only end if the
    # lock was released while the engine waited.
    [[result]] = run_child(
        """
        from conftest import scan_through_fifo
        result = scan_through_fifo(sys.argv[1], lambda fifo: classifier.scan_file(fifo, set()), b"import os\\nimport yaml\\n")
        report(repr(result))
        """,
        str(tmp_path / "pipe.py"), timeout=PATIENCE,
    )
    assert result == "<FileResult passed=False errors=1 warnings=1>"


def test_two_threads_scan_with_one_classifier(classifier, write):
    paths = [write(f"t{i}.py", f"import os\nimport mod{i}\n" * 50_000) for i in range(2)]
    results = [None, None]

    def scan(i):
        results[i] = classifier.scan_file(paths[i], set())

    threads = [threading.Thread(target=scan, args=(i,)) for i in range(2)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    for i, result in enumerate(results):
        assert result.filepath == paths[i]
        assert len(result.errors) == 50_000
        assert result.warnings[0] == paths[i] + ":2" + UNLISTED + f"mod{i}'"
