"""Entry points, which the host imports when it loads the plugin: read from
entry_points.txt as importlib.metadata reads it and from pyproject.toml's
tables, on disk and in archives, each target judged as an import of its
module on the entry's line; what cannot be read so fails."""

import io
import os
import zipfile

import pytest

from .conftest import zip_of
from .test_archives import POLICY, extracted, files_of, members_of, tar_of, verdict, wheel_of

# Under the tests' policy: os and subprocess forbidden, json and quenx
# allowed, myplugin the plugin's own.
ENTRY_POINTS = """\
[console_scripts]
run = myplugin.cli:main
shell = os:system

[quenx.plugins]
weather = quenx.api : Plugin.factory [extra1, extra2]
codec = json
spawn = subprocess [fast]
"""
ENTRY_POINTS_FINDINGS = [("hidden-forbidden-import", 3, 0, "os"), ("hidden-forbidden-import", 8, 0, "subprocess")]

PYPROJECT = """\
[project]
name = "myplugin"
gui-scripts = { ok = "myplugin:gui", bad = "subprocess:Popen" }
entry-points.other.fine = "subprocess:run"

[project.scripts]
run = "myplugin.cli:main"
'shell' = 'os:system'

[project.entry-points."quenx.plugins"]
"sp\\u0061wn" = \"\"\"subprocess\"\"\"
weather = "quenx.api:Plugin"
"""
PYPROJECT_FINDINGS = [
    ("hidden-forbidden-import", 3, 0, "subprocess"), ("hidden-forbidden-import", 4, 0, "subprocess"),
    ("hidden-forbidden-import", 8, 0, "os"),
    ("hidden-forbidden-import", 11, 0, "subprocess"),
]


def tree(tmp_path, files):
    root = tmp_path / "tree"
    for relative, content in files.items():
        path = root / relative
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(content if isinstance(content, bytes) else content.encode())
    return root


class TestOnDisk:
    @pytest.mark.parametrize("directory", ["myplugin-1.0.dist-info", "myplugin.egg-info", "myplugin.egg/EGG-INFO",
                                           "MyPlugin-1.0.DIST-INFO"])
    def test_a_metadata_directorys_entry_points_are_judged_on_their_lines(self, directory, tmp_path):
        root = tree(tmp_path, {f"{directory}/entry_points.txt": ENTRY_POINTS})

        assert files_of(verdict([root]), root) == {f"{directory}/entry_points.txt": ENTRY_POINTS_FINDINGS}

    def test_pyprojects_script_and_entry_point_tables_are_judged_on_their_lines(self, tmp_path):
        root = tree(tmp_path, {"pyproject.toml": PYPROJECT})

        assert files_of(verdict([root]), root) == {"pyproject.toml": PYPROJECT_FINDINGS}
        # Given by its path, as the walk would find it.
        assert verdict([root / "pyproject.toml"]) == {f"{root}/pyproject.toml": PYPROJECT_FINDINGS}

    def test_allowed_and_local_targets_pass_and_other_text_files_are_not_read(self, tmp_path):
        root = tree(tmp_path, {
            "myplugin-1.0.dist-info/entry_points.txt": "# made by the builder\n[g]\nrun = myplugin:main\n"
                                                       "codec = json.decoder:JSONDecoder\n",
            "pyproject.toml": "[project]\nname = 'x'\n[project.scripts]\nrun = 'quenx.cli:run'\n",
            "docs/entry_points.txt": "[g]\nshell = os:system\n",  # in no metadata directory: no host reads it
        })

        assert files_of(verdict([root]), root) == {"myplugin-1.0.dist-info/entry_points.txt": [],
                                                   "pyproject.toml": []}

    def test_a_tree_whose_files_declare_no_entry_point_judged_nothing(self, tmp_path):
        root = tree(tmp_path, {"pyproject.toml": "[project]\nname = 'x'\n[tool.x]\nscripts = {a = 'os'}\n",
                               "m.dist-info/entry_points.txt": "# none\n[console_scripts]\n"})

        assert verdict([root]) == {str(root): [("nothing-judged", 0, 0, "")]}

    def test_a_forbidden_module_held_by_an_importer_attribute_is_a_reference_to_it(self, tmp_path):
        root = tree(tmp_path, {"m.dist-info/entry_points.txt": "[g]\nload = importlib:import_module\n"})

        rules = [rule for rule, *_ in files_of(verdict([root]), root)["m.dist-info/entry_points.txt"]]

        assert "importer-reference" in rules

    def test_the_engine_walk_names_entry_points_files_as_unread(self, tmp_path):
        # scanner_audit alone does not read them: they must not pass unread.
        root = tree(tmp_path, {"m.dist-info/entry_points.txt": ENTRY_POINTS, "pyproject.toml": PYPROJECT,
                               "docs/entry_points.txt": ENTRY_POINTS})
        scanner = POLICY.scanner()

        records = {os.path.relpath(r.filepath, root): (r.finding_tuples[0][0], r.passed, r.unread)
                   for r in scanner.scan_tree(str(root), set())}

        assert records == {"m.dist-info/entry_points.txt": ("unread-entry-points", False, True),
                           "pyproject.toml": ("unread-entry-points", False, True)}


INVALID = "invalid-entry-point"


class TestWhatCannotBeReadFails:
    @pytest.mark.parametrize(("text", "line"), [
        pytest.param("[g]\nrun = os:system()\n", 2, id="a call"),
        pytest.param("[g]\nrun = class:x\n", 2, id="a keyword"),
        pytest.param("[g]\nrun = \uff4fs:system\n", 2, id="a name NFKC folds to another"),
        pytest.param("[g]\nrun = json:a..b\n", 2, id="an empty attribute"),
        pytest.param("[g]\nrun = 1json\n", 2, id="no identifier"),
        pytest.param("[g]\nrun os:system\n", 2, id="a line without '='"),
        pytest.param("run = os:system\n[g]\n", 1, id="an entry before any group"),
        pytest.param("\ufeff[g]\nrun = os:system\n", 1, id="a byte order mark, which hides the group"),
        pytest.param("[g]\n" + "x" * (2 << 20), 2, id="a line too long to hold"),
    ])
    def test_an_entry_points_txt_the_gate_cannot_read_as_the_host_fails(self, text, line, tmp_path):
        root = tree(tmp_path, {"m.dist-info/entry_points.txt": text})

        findings = files_of(verdict([root]), root)["m.dist-info/entry_points.txt"]

        assert (INVALID, line, 0, "") in findings

    def test_bytes_that_are_no_utf8_fail_the_file(self, tmp_path):
        root = tree(tmp_path, {"m.dist-info/entry_points.txt": b"[g]\nrun = json\nx = \xff\n"})

        assert files_of(verdict([root]), root) == {"m.dist-info/entry_points.txt": [(INVALID, 0, 0, "")]}

    @pytest.mark.parametrize(("text", "line"), [
        pytest.param("[project]\nname = 'x'\n[project.scripts]\nrun = 5\n", 4, id="no string"),
        pytest.param("[project]\nscripts = ['os:system']\n", 2, id="no table"),
        pytest.param("[project.entry-points]\ng = 'os:system'\n", 2, id="a group that is no table"),
        pytest.param("[project.scripts]\nrun = '''os:\nsystem'''\n", 2, id="a line break an installer would copy"),
        pytest.param("[project.scripts]\nrun = 'os:system'\nrun = 'json'\n", 0, id="a duplicate key TOML refuses"),
        pytest.param("[project]\nx = " + "[" * 100_000 + "]" * 100_000 + "\n", 0, id="nesting too deep"),
    ])
    def test_a_pyproject_the_gate_cannot_read_as_the_builder_fails(self, text, line, tmp_path):
        root = tree(tmp_path, {"pyproject.toml": text})

        findings = files_of(verdict([root]), root)["pyproject.toml"]

        assert findings[0][:3] == (INVALID, line, 0)


class TestInArchives:
    @pytest.mark.parametrize("name", ["plugin.whl", "plugin.tar.gz", "plugin.zip"])
    def test_members_get_the_verdict_of_their_extracted_files(self, name, tmp_path):
        files = {"myplugin-1.0.dist-info/entry_points.txt": ENTRY_POINTS, "pyproject.toml": PYPROJECT,
                 "myplugin.egg-info/entry_points.txt": "[g]\nrun os:system\n"}
        archive = tmp_path / name
        archive.write_bytes(wheel_of(files) if name.endswith(".whl") else
                            tar_of(files, "gz", top="") if name.endswith(".tar.gz") else zip_of(files))

        found = verdict([archive])

        assert found[str(archive)] == []
        members = members_of(found, archive)
        assert members == files_of(verdict([extracted(archive, tmp_path / "tree")]), tmp_path / "tree")
        assert members["myplugin-1.0.dist-info/entry_points.txt"] == ENTRY_POINTS_FINDINGS
        assert members["pyproject.toml"] == PYPROJECT_FINDINGS
        assert members["myplugin.egg-info/entry_points.txt"] == [(INVALID, 2, 0, "")]

    def test_a_member_whose_reading_stops_early_is_still_checked_against_the_record(self, tmp_path):
        # Bytes that are no UTF-8 end the reading at once; the RECORD hash of
        # the member, changed after the wheel was built, must still be checked.
        name = "myplugin-1.0.dist-info/entry_points.txt"
        built = zipfile.ZipFile(io.BytesIO(wheel_of({name: b"\xff[g]\nrun = json\n"})))
        archive = tmp_path / "plugin.whl"
        with zipfile.ZipFile(archive, "w") as tampered:
            for info in built.infolist():
                tampered.writestr(info, b"\xff[g]\nrun = os\n" if info.filename == name else built.read(info))

        found = verdict([archive])

        assert [rule for rule, *_ in found[str(archive)]] == ["wheel-record-mismatch"]
        assert found[f"{archive}!/{name}"] == [(INVALID, 0, 0, "")]


def test_the_report_names_the_rule_in_every_language(project):
    project.write("myplugin.egg-info/entry_points.txt", "[g]\nrun = class:x\nbad\n")

    english = project.run("--lang", "en", "plugins").stdout

    assert "entry point target that is not a Python dotted name \u2014 'class:x'" in english
    assert "entry point unreadable (a line without '=')" in english
