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
