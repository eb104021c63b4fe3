"""Holds the repaired wheel to the lowest manylinux policy its module allows.

    python wheel_policy.py WHEEL AUDITWHEEL_SHOW_JSON

Run by `make check-wheel` with .venv's interpreter (pyelftools comes with
auditwheel), after `auditwheel show --json WHEEL` wrote its report. Each of
the two native modules must carry its C++ runtime (no libstdc++ to find on
the target, no GLIBCXX_ or CXXABI_ symbol versions) and export nothing but
its init function, and the wheel's tag must be the one that auditwheel finds
and that the highest GLIBC_2.x version the modules reference calls for: a
higher tag would shut out machines that can run them.
"""

import io
import json
import pathlib
import re
import sys
import zipfile

from elftools.elf.dynamic import DynamicSection
from elftools.elf.elffile import ELFFile
from elftools.elf.gnuversions import GNUVerNeedSection

wheel, report_path = map(pathlib.Path, sys.argv[1:3])
report = json.loads(report_path.read_text(encoding="utf-8"))

# Wheel file names end in -{python}-{abi}-{platform tags, dot-separated}.whl.
platform_tags = wheel.stem.split("-")[-1].split(".")
manylinux = [re.fullmatch(r"manylinux_2_(\d+)_x86_64", tag) for tag in platform_tags]
assert all(manylinux), f"{wheel.name} carries a tag that is not manylinux_2_x: {platform_tags}"
tag_minor = min(int(match.group(1)) for match in manylinux)
assert f"manylinux_2_{tag_minor}_x86_64" == report["overall_tag"], (
    f"{wheel.name} is tagged {platform_tags}, auditwheel show says {report['overall_tag']}"
)
assert report["external_libs"] == {}, f"libraries outside the policy: {report['external_libs']}"

def check_module(module_name, data):
    """Returns the highest GLIBC_2.x minor the module binds, and the symbols
    bound to it, after holding the module to the rules above."""
    elf = ELFFile(io.BytesIO(data))
    needed = sorted(tag.needed for section in elf.iter_sections() if isinstance(section, DynamicSection)
                    for tag in section.iter_tags() if tag.entry.d_tag == "DT_NEEDED")
    assert not [lib for lib in needed if lib.startswith("libstdc++")], f"{module_name} needs {needed}"

    # Symbol version each undefined dynamic symbol is bound to, through the
    # version-needed table (the .gnu.version entry indexes it).
    version_names = {}
    for section in elf.iter_sections():
        if isinstance(section, GNUVerNeedSection):
            for _, auxiliaries in section.iter_versions():
                for auxiliary in auxiliaries:
                    version_names[auxiliary.entry.vna_other] = auxiliary.name
    dynsym = elf.get_section_by_name(".dynsym")
    versym = elf.get_section_by_name(".gnu.version")
    bound = {}
    exported = []
    for index, symbol in enumerate(dynsym.iter_symbols()):
        if not symbol.name:
            continue
        if symbol.entry.st_shndx == "SHN_UNDEF":
            # pyelftools names the reserved indexes (local, global) as strings.
            ndx = versym.get_symbol(index).entry.ndx
            if isinstance(ndx, int) and (version := version_names.get(ndx & 0x7FFF)):
                bound.setdefault(version, []).append(symbol.name)
        elif symbol.entry.st_info.bind != "STB_LOCAL":
            exported.append(symbol.name)

    runtime = sorted(v for v in bound if v.startswith(("GLIBCXX_", "CXXABI_")))
    assert not runtime, f"{module_name} binds libstdc++ symbol versions {runtime}: the runtime is not inside it"
    init = "PyInit_" + pathlib.PurePath(module_name).name.split(".")[0]
    assert exported == [init], f"{module_name} exports more than its init function: {sorted(exported)[:20]}"
    glibc = {int(match.group(1)): names for version, names in bound.items()
             if (match := re.fullmatch(r"GLIBC_2\.(\d+)", version))}
    return needed, max(glibc), glibc[max(glibc)]


with zipfile.ZipFile(wheel) as archive:
    modules = {name: archive.read(name) for name in archive.namelist() if name.endswith(".so")}
assert sorted(name.split(".")[0] for name in modules) == ["scanner_audit", "scanner_core"], sorted(modules)

checked = {name: check_module(name, data) for name, data in modules.items()}
highest = max(minor for _, minor, _ in checked.values())
assert tag_minor == highest, (
    f"{wheel.name} is tagged manylinux_2_{tag_minor}, its modules need glibc 2.{highest} at most"
)
for name, (needed, minor, symbols) in sorted(checked.items()):
    print(f"wheel policy OK: {name} in {wheel.name}; libraries {', '.join(needed)}; "
          f"glibc 2.{minor} at most, for {', '.join(sorted(symbols))}")
