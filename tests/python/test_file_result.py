"""FileResult objects as scans hand them out: read-only values, fresh on
every read, with a fixed text form."""

import pytest


@pytest.fixture
def failed(classifier, write):
    path = write("bad.py", "import os\nimport yaml\nimport subprocess\n")
    return classifier.scan_file(path, set())


def test_properties_read_the_record(failed):
    assert failed.filepath.endswith("bad.py")
    assert [m.rsplit(":", 2)[1] for m in failed.errors] == ["1", "3"]
    assert len(failed.warnings) == 1
    assert failed.passed is False


def test_text_form_counts_messages(failed, classifier, write):
    assert repr(failed) == "<FileResult passed=False errors=2 warnings=1>"
    assert str(failed) == repr(failed)
    clean = classifier.scan_file(write("clean.py", "import json\n"), set())
    assert repr(clean) == "<FileResult passed=True errors=0 warnings=0>"


def test_every_read_returns_a_new_list(failed):
    first = failed.errors
    second = failed.errors
    assert first == second and first is not second
    first.append("changed")
    first.clear()
    assert failed.errors == second


def test_properties_cannot_be_set_or_deleted(failed):
    for name, value in (("passed", True), ("filepath", "x"), ("errors", []), ("warnings", [])):
        with pytest.raises(AttributeError):
            setattr(failed, name, value)
        with pytest.raises(AttributeError):
            delattr(failed, name)
    assert failed.passed is False


def test_objects_compare_by_identity(classifier, write):
    path = write("same.py", "import os\n")
    first, second = classifier.scan_file(path, set()), classifier.scan_file(path, set())
    assert first != second and first == first


def test_non_utf8_path_fails_only_the_reads_that_decode_it(classifier, tmp_path):
    path = bytes(tmp_path) + b"/caf\xe9.py"
    with open(path, "wb") as file:
        file.write(b"import os\n")
    result = classifier.scan_file(path, set())
    for name in ("filepath", "errors"):
        with pytest.raises(UnicodeDecodeError):
            getattr(result, name)
    assert result.warnings == []
    assert result.passed is False
    assert repr(result) == "<FileResult passed=False errors=1 warnings=0>"
