"""tools/wheels.py, which assembles the binary wheels and refuses unfit ones:
its ELF reading agrees with readelf, a module that needs the C++ runtime or
too new a glibc is refused, and so is a wheel whose files or tag are wrong."""

import base64
import csv
import hashlib
import importlib.util
import io
import re
import shutil
import subprocess
import tarfile
import zipfile
from pathlib import Path

import pytest

import corvane.datasets.sarchip
import corvane.dsp.resampler

TOOL = Path(__file__).resolve().parent.parent / "tools" / "wheels.py"
pytestmark = pytest.mark.skipif(not TOOL.exists(), reason="tools/ not available")

MODULES = {"resampler": corvane.dsp.resampler.__file__, "sarchip": corvane.datasets.sarchip.__file__}


@pytest.fixture(scope="module")
def wheels():
    spec = importlib.util.spec_from_file_location("wheels", TOOL)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@pytest.mark.skipif(shutil.which("readelf") is None, reason="needs readelf")
@pytest.mark.parametrize("name", sorted(MODULES))
def test_elf_needs_agree_with_readelf(wheels, name):
    path = MODULES[name]
    needed, versions = wheels.elf_needs(Path(path).read_bytes())
    dynamic = subprocess.run(["readelf", "-d", "-W", path], capture_output=True, text=True, check=True).stdout
    assert needed == re.findall(r"\(NEEDED\).*\[(.*)\]", dynamic)
    text = subprocess.run(["readelf", "-V", "-W", path], capture_output=True, text=True, check=True).stdout
    expected, lib = {}, None
    for line in text.split("Version needs section", 1)[1].splitlines():
        m = re.search(r"File: (\S+)", line)
        if m:
            lib = m.group(1)
        m = re.search(r"Name: (\S+)", line)
        if m and lib:
            expected.setdefault(lib, []).append(m.group(1))
    assert versions == expected


SUFFIX = ".cpython-311-x86_64-linux-gnu.so"
PACKAGE = {"corvane/__init__.py": b"__version__ = '1.0'\n", "corvane/py.typed": b"",
           "corvane/data/sarchip/chip.004": b"\0" * 16}


def make_sdist(path, files):
    with tarfile.open(path, "w:gz") as t:
        for name, data in files.items():
            info = tarfile.TarInfo("corvane-1.0/src/" + name)
            info.size = len(data)
            t.addfile(info, io.BytesIO(data))


def make_wheel(path, files, tag="cp311-cp311-linux_x86_64"):
    with zipfile.ZipFile(path, "w") as z:
        for name, data in files.items():
            z.writestr(name, data)
        z.writestr("corvane-1.0.dist-info/WHEEL", f"Wheel-Version: 1.0\nRoot-Is-Purelib: false\nTag: {tag}\n")
        z.writestr("corvane-1.0.dist-info/METADATA", "Metadata-Version: 2.1\nName: corvane\nVersion: 1.0\n")
        z.writestr("corvane-1.0.dist-info/RECORD", "")


def module_files(resampler_data=None):
    return {"corvane/dsp/resampler" + SUFFIX: resampler_data or Path(MODULES["resampler"]).read_bytes(),
            "corvane/datasets/sarchip" + SUFFIX: Path(MODULES["sarchip"]).read_bytes()}


@pytest.mark.skipif(not MODULES["resampler"].endswith(SUFFIX), reason="the fixtures name CPython 3.11 x86-64 modules")
@pytest.mark.parametrize("case", ["fit", "old glibc limit", "missing file", "extra file", "not manylinux",
                                  "too new manylinux", "wrong interpreter", "not a module"])
def test_check_refuses_unfit_wheels(wheels, tmp_path, case):
    package = dict(PACKAGE)
    modules = module_files()
    tag = "cp311-cp311-manylinux_2_17_x86_64.manylinux2014_x86_64"
    limit = (2, 31)
    expect = None
    if case == "old glibc limit":
        limit, expect = (2, 0), "newer than glibc 2.0"
    elif case == "missing file":
        del package["corvane/py.typed"]
        expect = "the wheel lacks corvane/py.typed"
    elif case == "extra file":
        package["corvane/stray.txt"] = b"x"
        expect = "the wheel has corvane/stray.txt"
    elif case == "not manylinux":
        tag, expect = "cp311-cp311-linux_x86_64", "not a manylinux one"
    elif case == "too new manylinux":
        tag, expect = "cp311-cp311-manylinux_2_34_x86_64", "asks for glibc 2.34"
    elif case == "wrong interpreter":
        tag, expect = "cp312-cp312-manylinux_2_17_x86_64", "does not match the wheel's tag cp312-cp312"
    elif case == "not a module":
        modules = module_files(b"\x7fELF\x02\x01" + bytes(58))
    sdist = tmp_path / "corvane-1.0.tar.gz"
    make_sdist(sdist, PACKAGE)
    wheel = tmp_path / f"corvane-1.0-{tag}.whl"
    make_wheel(wheel, {**package, **modules})
    if case == "not a module":
        with pytest.raises(wheels.ElfError):
            wheels.check(str(wheel), str(sdist), limit)
        return
    problems = wheels.check(str(wheel), str(sdist), limit)
    # The installed modules themselves may be a source build, which needs the
    # C++ runtime: that is checked below, not here.
    problems = [p for p in problems if not re.search(r"needs (libstdc\+\+|libgcc_s|GLIBCXX_|CXXABI_|GCC_)", p)]
    if expect is None:
        assert problems == []
    else:
        assert any(expect in p for p in problems), problems


@pytest.mark.parametrize("name", sorted(MODULES))
def test_module_needing_the_cpp_runtime_is_refused(wheels, name):
    data = Path(MODULES[name]).read_bytes()
    needed, versions = wheels.elf_needs(data)
    problems = wheels.module_problems(name, data, (99, 0))
    links_runtime = any(lib.startswith(("libstdc++", "libgcc_s")) for lib in needed)
    cxx_versions = [v for names in versions.values() for v in names if v.startswith(("GLIBCXX_", "CXXABI_", "GCC_"))]
    # A source build links libstdc++ dynamically, a wheel's module does not:
    # either way the check says exactly what it needs.
    assert bool(problems) == (links_runtime or bool(cxx_versions))
    for v in cxx_versions:
        assert any(v in p for p in problems)


def test_assemble_swaps_modules_sets_the_tag_and_records_every_file(wheels, tmp_path):
    base = tmp_path / "corvane-1.0-cp311-cp311-linux_x86_64.whl"
    make_wheel(base, {**PACKAGE, "corvane/dsp/resampler" + SUFFIX: b"old", "corvane/datasets/sarchip" + SUFFIX: b"old"})
    stage = tmp_path / "stage"
    suffix = ".cpython-39-arm-linux-gnueabihf.so"
    for name, data in [("corvane/dsp/resampler", b"new resampler"), ("corvane/datasets/sarchip", b"new sarchip")]:
        (stage / name).parent.mkdir(parents=True, exist_ok=True)
        (stage / name).with_name(Path(name).name + suffix).write_bytes(data)
    out = Path(wheels.assemble(str(base), str(stage), "cp39-cp39-linux_armv7l", str(tmp_path)))
    assert out.name == "corvane-1.0-cp39-cp39-linux_armv7l.whl"
    with zipfile.ZipFile(out) as z:
        names = set(z.namelist())
        assert {n for n in names if n.endswith(".so")} == {"corvane/dsp/resampler" + suffix,
                                                            "corvane/datasets/sarchip" + suffix}
        assert z.read("corvane/dsp/resampler" + suffix) == b"new resampler"
        assert set(PACKAGE) <= names
        wheel_file = z.read("corvane-1.0.dist-info/WHEEL").decode().splitlines()
        assert [ln for ln in wheel_file if ln.startswith("Tag:")] == ["Tag: cp39-cp39-linux_armv7l"]
        rows = list(csv.reader(io.StringIO(z.read("corvane-1.0.dist-info/RECORD").decode())))
        assert {r[0] for r in rows} == names
        for name, digest, size in rows:
            if name.endswith("RECORD"):
                assert digest == size == ""
                continue
            data = z.read(name)
            assert digest == "sha256=" + base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
            assert int(size) == len(data)


def test_assemble_refuses_a_stage_without_both_modules(wheels, tmp_path):
    base = tmp_path / "corvane-1.0-cp311-cp311-linux_x86_64.whl"
    make_wheel(base, PACKAGE)
    (tmp_path / "stage" / "corvane" / "dsp").mkdir(parents=True)
    (tmp_path / "stage" / "corvane" / "dsp" / ("resampler" + SUFFIX)).write_bytes(b"x")
    with pytest.raises(SystemExit, match="expected one module each"):
        wheels.assemble(str(base), str(tmp_path / "stage"), "cp311-cp311-linux_x86_64", str(tmp_path))
