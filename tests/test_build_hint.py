"""The build's own compiler check: without a C++ compiler, configuring says
what to install, and a later configure in the same build folder looks again."""

import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CMAKE = shutil.which("cmake")
pytestmark = pytest.mark.skipif(CMAKE is None or not os.path.exists(os.path.join(ROOT, "CMakeLists.txt")),
                                reason="needs cmake and the source checkout")


def configure(build, cxx):
    env = dict(os.environ)
    env.pop("CXX", None)
    if cxx:
        env["CXX"] = cxx
    return subprocess.run([CMAKE, "-S", ROOT, "-B", str(build), f"-DPython_EXECUTABLE={sys.executable}"],
                          capture_output=True, text=True, env=env, timeout=300)


def test_missing_compiler_names_what_to_install(tmp_path):
    proc = configure(tmp_path, str(tmp_path / "no-such-c++"))
    assert proc.returncode != 0
    text = " ".join(proc.stderr.split())
    assert "corvane needs a C++17 compiler to build its extension modules, and none was found" in text
    assert f'(CXX is set to "{tmp_path / "no-such-c++"}")' in text
    assert "sudo apt-get install g++" in text

    if shutil.which("c++") or shutil.which("g++"):
        again = configure(tmp_path, None)
        assert again.returncode == 0, again.stderr
        assert "The CXX compiler identification is" in again.stdout


def fake_compiler(tmp_path, real, macro, major):
    """A wrapper that makes a real compiler report an older major version."""
    wrapper = tmp_path / f"old-{Path(real).name}"
    wrapper.write_text(f'#!/bin/sh\nexec {real} -Wno-builtin-macro-redefined -U{macro} -D{macro}={major} "$@"\n')
    wrapper.chmod(0o755)
    return str(wrapper)


def find(*names):
    return next((shutil.which(n) for n in names if shutil.which(n)), None)


CLANG = find("clang++", *(f"clang++-{v}" for v in range(30, 13, -1)))


@pytest.mark.parametrize("real, macro, major, named", [
    (shutil.which("g++"), "__GNUC__", 9, "GCC 9."),
    (CLANG, "__clang_major__", 13, "clang 13."),
], ids=["gcc", "clang"])
def test_too_old_compiler_names_the_minimum_versions(tmp_path, real, macro, major, named):
    if real is None:
        pytest.skip("compiler not installed")
    cxx = fake_compiler(tmp_path, real, macro, major)
    proc = configure(tmp_path / "build", cxx)
    assert proc.returncode != 0
    text = " ".join(proc.stderr.split())
    assert "corvane needs GCC 10 or newer, or clang 14 or newer, to build its extension modules" in text
    assert f"the C++ compiler found is {named}" in text and cxx in text
    # The same compiler at its real version is accepted.
    real_build = configure(tmp_path / "real", real)
    assert real_build.returncode == 0, real_build.stderr
