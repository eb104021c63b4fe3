"""Archives as uploaded: each archive made here, judged without extracting
it, and held to the verdict of the same tree extracted here (zipfile,
tarfile with its data filter); hostile structures refused with a finding
naming what makes them hostile, and no member of theirs judged."""

import base64
import hashlib
import io
import json
import os
import struct
import tarfile
import zipfile
import zlib

import pytest

from scanner_gate import scan
from scanner_gate.policy import ArchiveBounds, Policy

from .conftest import has_control, zip_of

POLICY = Policy(
    forbidden=frozenset({"os", "subprocess"}),
    allowed_exact=frozenset({"json"}),
    allowed_prefixes=("quenx",),
    local_modules=frozenset({"myplugin"}),
    source="test",
)

# A plugin tree with one of each kind of file the walk judges.
TREE = {
    "myplugin/__init__.py": "from . import core\nimport os\n",
    "myplugin/core.py": "import json\nimport yaml, subprocess\nx = '''\nimport os\n'''\n",
    "myplugin/deep/mod.py": "from ... import fine\nfrom ..... import above\n",
    "myplugin/hidden.py": "def f():\n    return __import__('subprocess')\n",
    "myplugin/legacy.py": "# -*- coding: cp1252 -*-\nimport os\ns = '\u201c'\nimport \\\n  subprocess\n".encode("cp1252"),
    "myplugin/native.abi3.so": b"\x7fELF",
    "myplugin/__pycache__/core.cpython-313.pyc": b"\xf3\r\r\n",
    "hook.pth": "import os\n",
    "README.md": "import os\n",
}


def verdict(paths, **bounds):
    """{file: sorted (rule, line, column, module)} of a run in this process."""
    policy = POLICY._replace(bounds=ArchiveBounds(**bounds))
    reports = scan.scan([os.fspath(path) for path in paths], policy, scan.Options())
    return {report.filepath: sorted((f.kind.id, f.line or 0, f.column or 0, f.module or "") for f in report.findings)
            for report in reports}


def members_of(found, archive):
    """The members' findings, by member name."""
    head = f"{archive}!/"
    return {name[len(head):]: findings for name, findings in found.items() if name.startswith(head)}


def files_of(found, root):
    head = f"{root}/"
    return {name[len(head):]: findings for name, findings in found.items() if name.startswith(head)}


def wheel_of(files, name="myplugin-1.0"):
    """A wheel with its RECORD, as a builder writes it."""
    files = dict(files)
    info = f"{name}.dist-info"
    files[f"{info}/METADATA"] = "Metadata-Version: 2.1\nName: myplugin\nVersion: 1.0\n"
    files[f"{info}/WHEEL"] = "Wheel-Version: 1.0\nRoot-Is-Purelib: true\nTag: py3-none-any\n"
    rows = []
    for path, content in files.items():
        data = content if isinstance(content, bytes) else content.encode()
        digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
        rows.append(f"{path},sha256={digest},{len(data)}")
    files[f"{info}/RECORD"] = "\n".join(rows + [f"{info}/RECORD,,"]) + "\n"
    return zip_of(files)


def tar_of(files, compression="", top="myplugin-1.0"):
    data = io.BytesIO()
    with tarfile.open(fileobj=data, mode=f"w:{compression}") as archive:
        for path, content in files.items():
            body = content if isinstance(content, bytes) else content.encode()
            info = tarfile.TarInfo(f"{top}/{path}" if top else path)
            info.size = len(body)
            archive.addfile(info, io.BytesIO(body))
    return data.getvalue()


def extracted(archive, into):
    """The archive extracted as an installer would, with the data filter for a tar."""
    into.mkdir()
    if zipfile.is_zipfile(archive):
        with zipfile.ZipFile(archive) as opened:
            opened.extractall(into)
    else:
        with tarfile.open(archive) as opened:
            opened.extractall(into, filter="data")
    return into


FORMATS = {
    "plugin.zip": lambda: zip_of(TREE),
    "plugin.whl": lambda: wheel_of(TREE),
    "plugin.pyz": lambda: b"#!/usr/bin/env python3\n" + zip_of({**TREE, "__main__.py": "import subprocess\n"}),
    "plugin.egg": lambda: zip_of({**TREE, "EGG-INFO/PKG-INFO": "Name: myplugin\n"}, zipfile.ZIP_STORED),
    "plugin.tar": lambda: tar_of(TREE),
    "plugin.tar.gz": lambda: tar_of(TREE, "gz"),
    "plugin.tar.bz2": lambda: tar_of(TREE, "bz2"),
    "plugin.tar.xz": lambda: tar_of(TREE, "xz"),
}


class TestEachFormatGetsItsExtractedTreesVerdict:
    @pytest.mark.parametrize("name", sorted(FORMATS))
    def test_every_member_has_the_findings_of_its_file_extracted(self, name, tmp_path):
        archive = tmp_path / name
        archive.write_bytes(FORMATS[name]())
        tree = extracted(archive, tmp_path / "tree")

        found = verdict([archive])
        expected = files_of(verdict([tree]), tree)

        assert found[str(archive)] == []
        assert members_of(found, archive) == expected
        # The tree's every kind of finding is there: sources, hidden and
        # relative imports, a codec only Python decodes, entries by name.
        rules = {rule for findings in expected.values() for rule, *_ in findings}
        assert {"forbidden-import", "hidden-forbidden-import", "relative-import-above-root",
                "extension-module", "compiled-bytecode", "path-configuration-file"} <= rules

    def test_a_zip_named_otherwise_is_read_as_the_zip_python_runs(self, tmp_path):
        archive = tmp_path / "plugin.bin"
        archive.write_bytes(zip_of({"__main__.py": "import os\n"}))

        found = verdict([archive])

        assert found[f"{archive}!/__main__.py"] == [("forbidden-import", 1, 1, "os")]

    def test_an_archive_in_a_tree_is_read_where_the_walk_finds_it(self, tmp_path):
        (tmp_path / "tree").mkdir()
        (tmp_path / "tree" / "dist.tar.gz").write_bytes(tar_of({"setup.py": "import subprocess\n"}, "gz"))

        found = verdict([tmp_path / "tree"])

        assert found[f"{tmp_path}/tree/dist.tar.gz!/myplugin-1.0/setup.py"] == [
            ("forbidden-import", 1, 1, "subprocess")]

    def test_a_tar_of_dot_names_its_target_and_is_read(self, tmp_path):
        (tmp_path / "tree" / "pkg").mkdir(parents=True)
        (tmp_path / "tree" / "pkg" / "m.py").write_text("import os\n")
        archive = tmp_path / "plugin.tar.gz"
        with tarfile.open(archive, "w:gz") as made:
            made.add(tmp_path / "tree", arcname=".")

        found = verdict([archive])

        assert found == {str(archive): [], f"{archive}!/./pkg/m.py": [("forbidden-import", 1, 1, "os")]}

    def test_wheel_data_scripts_are_audited_when_their_shebang_runs_python(self, tmp_path):
        archive = tmp_path / "plugin.whl"
        archive.write_bytes(wheel_of({
            "myplugin-1.0.data/scripts/tool": "#!python\nimport os\n",
            "myplugin-1.0.data/scripts/run.sh": "#!/bin/sh\nimport os\n",
        }))

        found = verdict([archive])

        assert found[f"{archive}!/myplugin-1.0.data/scripts/tool"] == [("forbidden-import", 2, 1, "os")]
        assert f"{archive}!/myplugin-1.0.data/scripts/run.sh" not in found


class TestNestedArchives:
    @pytest.mark.parametrize("compression", [zipfile.ZIP_STORED, zipfile.ZIP_DEFLATED])
    def test_a_wheel_inside_a_zip_is_read_in_turn(self, compression, tmp_path):
        archive = tmp_path / "upload.zip"
        archive.write_bytes(zip_of({"vendor/dep.whl": wheel_of({"dep.py": "import os\n"})}, compression))

        found = verdict([archive])

        assert found[f"{archive}!/vendor/dep.whl"] == []
        assert found[f"{archive}!/vendor/dep.whl!/dep.py"] == [("forbidden-import", 1, 1, "os")]

    def test_a_zip_inside_an_sdist_and_an_sdist_inside_a_zip_are_read(self, tmp_path):
        inner_zip = zip_of({"m.py": "import subprocess\n"})
        archive = tmp_path / "upload.zip"
        archive.write_bytes(zip_of({"s.tar.gz": tar_of({"z.zip": inner_zip}, "gz", top="")}))

        found = verdict([archive], max_depth=3)

        assert found[f"{archive}!/s.tar.gz!/z.zip!/m.py"] == [("forbidden-import", 1, 1, "subprocess")]

    def test_nesting_deeper_than_max_depth_fails_unread(self, tmp_path):
        archive = tmp_path / "upload.zip"
        archive.write_bytes(zip_of({"a.zip": zip_of({"b.zip": zip_of({"m.py": "import os\n"})})}))

        found = verdict([archive])

        assert found[f"{archive}!/a.zip!/b.zip"] == [("archive-bound-exceeded", 0, 0, "")]
        assert f"{archive}!/a.zip!/b.zip!/m.py" not in found
        # Neither archive above it was read to its end: each fails too.
        assert found[str(archive)] == found[f"{archive}!/a.zip"] == [("archive-bound-exceeded", 0, 0, "")]


# A zip written here field by field, so that any field can lie.
def raw_zip(entries, prefix=b"", comment=b"", after=b"", central_offsets=None):
    """`entries`: dicts with name and data (bytes), and optionally method,
    flags, crc, size, local_name, extra, local_extra, and hidden: bytes
    after its data, in no member."""
    body, directory = bytearray(prefix), bytearray()
    for index, entry in enumerate(entries):
        data, method = entry["data"], entry.get("method", 8)
        packed = data
        if entry.get("deflate", method == 8):
            packer = zlib.compressobj(9, zlib.DEFLATED, -15)
            packed = packer.compress(data) + packer.flush()
        crc, size = entry.get("crc", zlib.crc32(data)), entry.get("size", len(data))
        flags, name, extra = entry.get("flags", 0), entry["name"], entry.get("extra", b"")
        local_name, local_extra = entry.get("local_name", name), entry.get("local_extra", extra)
        offset = len(body) - len(prefix)
        body += struct.pack("<4s5H3L2H", b"PK\x03\x04", 20, flags, method, 0, 0x21, crc, len(packed), size,
                            len(local_name), len(local_extra)) + local_name + local_extra + packed
        body += entry.get("hidden", b"")
        if central_offsets and index in central_offsets:
            offset = central_offsets[index]
        directory += struct.pack("<4s6H3L5H2L", b"PK\x01\x02", entry.get("made_by", 20), 20, flags, method, 0, 0x21,
                                 crc, len(packed), size, len(name), len(extra), 0, 0, 0, entry.get("attributes", 0),
                                 offset) + name + extra
    end = struct.pack("<4s4H2LH", b"PK\x05\x06", 0, 0, len(entries), len(entries), len(directory),
                      len(body) - len(prefix), len(comment))
    return bytes(body + directory + end + comment + after)


def module(name=b"pkg/mod.py", text=b"import os\n", **fields):
    return {"name": name, "data": text, **fields}


def unicode_path(name):
    return struct.pack("<HHB", 0x7075, 5 + len(name), 1) + struct.pack("<L", 0) + name


HOSTILE_ZIPS = {
    "two members of one name": ("ambiguous-archive", [module(text=b"pass\n"), module()]),
    "two members one place once case is folded": ("ambiguous-archive", [module(), module(b"pkg/MOD.py")]),
    "a file and a directory of one name": ("ambiguous-archive", [module(b"pkg"), module()]),
    "backslash and ./ make one place": ("unsafe-archive-member", [module(), module(b"./pkg\\mod.py")]),
    "local header names another file": ("ambiguous-archive", [module(local_name=b"pkg/evil.py")]),
    "encrypted member": ("ambiguous-archive", [module(flags=1)]),
    "method zipimport reads as deflate": ("ambiguous-archive", [module(method=14)]),
    "inflates past its declared size": ("ambiguous-archive", [module(size=5)]),
    "inflates short of its declared size": ("ambiguous-archive", [module(size=50)]),
    "wrong crc": ("ambiguous-archive", [module(crc=1)]),
    "nul in a name": ("ambiguous-archive", [module(b"pkg/mod.py\0.txt")]),
    "unicode path field naming another member": ("ambiguous-archive", [module(extra=unicode_path(b"pkg/ok.py"))]),
    "dot dot": ("unsafe-archive-member", [module(b"../../evil.py")]),
    "absolute": ("unsafe-archive-member", [module(b"/etc/evil.py")]),
    "drive": ("unsafe-archive-member", [module(b"C:evil.py")]),
    "control character": ("unsafe-archive-member", [module(b"pkg/\x1b[2Kok.py")]),
    "the report's separator": ("unsafe-archive-member", [module(b"pkg.whl!/mod.py")]),
    "a link by its unix mode": ("unsafe-archive-member", [module(made_by=0x314, attributes=0o120777 << 16)]),
}


class TestHostileZipsAreRefusedUnread:
    @pytest.mark.parametrize("case", sorted(HOSTILE_ZIPS))
    def test_members_readers_disagree_on(self, case, tmp_path):
        rule, entries = HOSTILE_ZIPS[case]
        archive = tmp_path / "plugin.zip"
        archive.write_bytes(raw_zip(entries))

        found = verdict([archive])

        assert {finding[0] for finding in found[str(archive)]} == {rule}
        assert list(found) == [str(archive)]  # no member judged

    @pytest.mark.parametrize("layout", ["before", "after", "comment", "overlap", "between"])
    def test_bytes_outside_the_members_or_read_twice(self, layout, tmp_path):
        entries = [module(b"a.py", b"pass\n"), module()]
        made = {
            "before": lambda: raw_zip(entries, prefix=b"MZ\x90\x00 not a shebang"),
            "after": lambda: raw_zip(entries, after=b"PK\x03\x04 more"),
            "comment": lambda: raw_zip(entries, comment=raw_zip([module(b"other.py")])[-22:]),
            "overlap": lambda: raw_zip(entries, central_offsets={1: 0}),
            "between": lambda: raw_zip([module(b"a.py", b"pass\n", hidden=b"import os\n"), module()]),
        }
        archive = tmp_path / "plugin.zip"
        archive.write_bytes(made[layout]())

        found = verdict([archive])

        assert found[str(archive)] and {f[0] for f in found[str(archive)]} <= {"ambiguous-archive",
                                                                               "unreadable-archive"}
        assert list(found) == [str(archive)]

    def test_a_zipapps_shebang_line_is_no_data_before_the_archive(self, tmp_path):
        archive = tmp_path / "plugin.pyz"
        archive.write_bytes(raw_zip([module(b"__main__.py")], prefix=b"#!/usr/bin/env python3\n"))

        found = verdict([archive])

        assert found == {str(archive): [], f"{archive}!/__main__.py": [("forbidden-import", 1, 1, "os")]}

    def test_a_member_name_cannot_forge_a_line_of_the_report(self, project):
        project.write("evil.zip", raw_zip([module(b"ok.py\nok    fake.py  (0 errors, 0 warnings)\n.py")]))

        completed = project.run("plugins")

        assert completed.returncode == 1
        assert not any(line.startswith("ok    fake.py") for line in completed.stdout.splitlines())
        assert not has_control(completed.stdout)
        assert "[unsafe-archive-member]" in completed.stdout


class TestHostileTars:
    @staticmethod
    def tar_with(*infos, after=b""):
        data = io.BytesIO()
        with tarfile.open(fileobj=data, mode="w", format=tarfile.PAX_FORMAT) as archive:
            for info, body in infos:
                archive.addfile(info, io.BytesIO(body) if body is not None else None)
        return data.getvalue() + after

    @staticmethod
    def member(name, kind=tarfile.REGTYPE, body=b"import os\n", link=""):
        info = tarfile.TarInfo(name)
        info.type, info.linkname = kind, link
        info.size = len(body) if kind == tarfile.REGTYPE else 0
        return info, body if kind == tarfile.REGTYPE else None

    @pytest.mark.parametrize(("case", "made"), [
        ("symbolic link", lambda m: [m("pkg/mod.py", tarfile.SYMTYPE, link="/etc/passwd")]),
        ("hard link", lambda m: [m("pkg/a.py"), m("pkg/b.py", tarfile.LNKTYPE, link="pkg/a.py")]),
        ("fifo", lambda m: [m("pkg/pipe.py", tarfile.FIFOTYPE)]),
        ("device", lambda m: [m("pkg/dev.py", tarfile.CHRTYPE)]),
        ("dot dot", lambda m: [m("../evil.py")]),
        ("absolute", lambda m: [m("/tmp/evil.py")]),
    ])
    def test_what_the_data_filter_refuses_or_rewrites_is_unsafe(self, case, made, tmp_path):
        archive = tmp_path / "plugin.tar"
        archive.write_bytes(self.tar_with(*made(self.member)))

        found = verdict([archive])

        assert "unsafe-archive-member" in {f[0] for f in found[str(archive)]}

    def test_two_members_of_one_place_are_ambiguous(self, tmp_path):
        archive = tmp_path / "plugin.tar"
        archive.write_bytes(self.tar_with(self.member("pkg/mod.py", body=b"pass\n"), self.member("./pkg//mod.py")))

        assert "ambiguous-archive" in {f[0] for f in verdict([archive])[str(archive)]}

    @pytest.mark.parametrize("after", [
        pytest.param(lambda tar: tar + tar, id="members after the end blocks"),
        pytest.param(lambda tar: tar[:1024] + b"\xff" * 512 + tar[1024:], id="a broken header midway"),
    ])
    def test_a_tar_tarfile_stops_in_quietly_is_ambiguous(self, after, tmp_path):
        tar = self.tar_with(self.member("a.py", body=b"pass\n"), self.member("b.py"))
        archive = tmp_path / "plugin.tar"
        archive.write_bytes(after(tar))

        assert "ambiguous-archive" in {f[0] for f in verdict([archive])[str(archive)]}

    def test_a_second_gzip_stream_is_ambiguous(self, tmp_path):
        archive = tmp_path / "plugin.tar.gz"
        archive.write_bytes(tar_of({"a.py": "pass\n"}, "gz") + tar_of({"b.py": "import os\n"}, "gz"))

        assert "ambiguous-archive" in {f[0] for f in verdict([archive])[str(archive)]}

    def test_a_codec_member_is_read_again_by_python_from_its_kept_bytes(self, tmp_path):
        source = "# coding: cp1252\nimport os; import subprocess\ns = '\u201c'\n".encode("cp1252")
        archive = tmp_path / "plugin.tar.gz"
        archive.write_bytes(tar_of({"legacy.py": source}, "gz", top=""))
        (tmp_path / "tree").mkdir()
        (tmp_path / "tree" / "legacy.py").write_bytes(source)

        found = verdict([archive])[f"{archive}!/legacy.py"]

        assert found == verdict([tmp_path / "tree"])[f"{tmp_path}/tree/legacy.py"]
        assert ("hidden-forbidden-import", 2, 1, "os") in found


class TestWheelRecord:
    def wheel(self, tmp_path, tamper):
        data = io.BytesIO(wheel_of({"myplugin/__init__.py": "import json\n"}))
        files = {}
        with zipfile.ZipFile(data) as opened:
            for name in opened.namelist():
                files[name] = opened.read(name)
        tamper(files)
        archive = tmp_path / "plugin.whl"
        archive.write_bytes(zip_of(files))
        return archive

    @pytest.mark.parametrize("tamper", [
        pytest.param(lambda f: f.update({"myplugin/__init__.py": b"import os\n"}), id="a hash that differs"),
        pytest.param(lambda f: f.update({"myplugin/extra.py": b"pass\n"}), id="a file not listed"),
        pytest.param(lambda f: f.pop("myplugin/__init__.py"), id="a file listed and missing"),
        pytest.param(lambda f: f.pop("myplugin-1.0.dist-info/RECORD"), id="no record"),
    ])
    def test_a_wheel_changed_after_it_was_built_fails(self, tamper, tmp_path):
        archive = self.wheel(tmp_path, tamper)

        assert "wheel-record-mismatch" in {f[0] for f in verdict([archive])[str(archive)]}

    def test_a_data_directory_member_installed_over_a_root_one_is_ambiguous(self, tmp_path):
        archive = tmp_path / "plugin.whl"
        archive.write_bytes(wheel_of({"myplugin/m.py": "pass\n", "myplugin-1.0.data/purelib/myplugin/m.py": "import os\n"}))

        assert {f[0] for f in verdict([archive])[str(archive)]} == {"ambiguous-archive"}


class TestBounds:
    def test_a_compression_bomb_is_refused_by_its_ratio_before_it_is_inflated(self, tmp_path):
        archive = tmp_path / "bomb.zip"
        archive.write_bytes(zip_of({"pkg/mod.py": b"#" * (64 << 20)}))  # about 64 KiB on disk

        found = verdict([archive])

        assert found == {str(archive): [("archive-bound-exceeded", 0, 0, "")]}

    @pytest.mark.parametrize(("bound", "value", "files"), [
        ("max_members", 2, {f"m{i}.py": "pass\n" for i in range(3)}),
        ("max_member_bytes", 100, {"m.py": "x = 1\n" * 100}),
        ("max_total_bytes", 100, {"a.py": "x = 1\n" * 10, "b.py": "y = 2\n" * 10}),
    ])
    def test_each_bound_of_the_policy_stops_the_reading_with_an_error(self, bound, value, files, tmp_path):
        archive = tmp_path / "plugin.zip"
        archive.write_bytes(zip_of(files))

        found = verdict([archive], **{bound: value})

        assert ("archive-bound-exceeded", 0, 0, "") in found[str(archive)]
        assert verdict([archive], **{bound: value * 100})[str(archive)] == []

    def test_a_tar_bomb_is_refused_by_its_ratio_as_it_inflates(self, tmp_path):
        archive = tmp_path / "bomb.tar.gz"
        archive.write_bytes(tar_of({"big.py": b"\n" * (64 << 20)}, "gz"))

        assert verdict([archive])[str(archive)] == [("archive-bound-exceeded", 0, 0, "")]


class TestNothingUnreadPasses:
    def test_a_corrupt_archive_fails_unread_and_is_counted_apart(self, project):
        project.write("broken.whl", wheel_of({"m.py": "pass\n"})[:-30])

        completed = project.run("--json", "plugins/broken.whl")
        document = json.loads(completed.stdout)

        assert completed.returncode == 1
        assert [f["rule"] for f in document["files"][0]["findings"]] == ["unreadable-archive"]
        assert document["summary"]["not_read"] >= 1 and document["summary"]["scanned"] == 0

    def test_sarif_names_a_member_as_a_nested_artifact_of_its_archive(self, project):
        project.write("dist/plugin.whl", wheel_of({"myplugin/a b.py": "import os\n"}))

        log = json.loads(project.run("--format", "sarif", "plugins/dist").stdout)
        run = log["runs"][0]
        location = run["results"][0]["locations"][0]["physicalLocation"]["artifactLocation"]

        assert location["uri"] == "plugins/dist/plugin.whl!/myplugin/a%20b.py"
        member = run["artifacts"][location["index"]]
        assert member["location"]["uri"] == "myplugin/a%20b.py"
        assert run["artifacts"][member["parentIndex"]]["location"]["uri"] == "plugins/dist/plugin.whl"


class TestBoundsInThePolicy:
    def test_the_archives_table_bounds_the_reading_read_again_from_the_cache(self, project):
        project.write("dist/plugin.zip", zip_of({f"m{i}.py": "pass\n" for i in range(3)}))
        with open(project.root / "pyproject.toml", "a") as pyproject:
            pyproject.write("\n[tool.scanner-core.archives]\nmax_members = 2\n")

        first, again = project.run("--json", "plugins/dist"), project.run("--json", "plugins/dist")

        for completed in (first, again):
            findings = json.loads(completed.stdout)["files"][0]["findings"]
            assert [f["rule"] for f in findings] == ["archive-bound-exceeded"], completed.stdout

    @pytest.mark.parametrize("value", ["0", "true", "\"10\"", "1.5"])
    def test_a_bound_that_is_no_positive_integer_is_refused(self, value, project):
        with open(project.root / "pyproject.toml", "a") as pyproject:
            pyproject.write(f"\n[tool.scanner-core.archives]\nmax_depth = {value}\n")

        completed = project.run("plugins")

        assert completed.returncode == 2
        assert "max_depth must be a positive integer" in completed.stderr
