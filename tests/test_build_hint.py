"""The build's own compiler check: without a C++ compiler, configuring says
what to install, and a later configure in the same build folder looks again."""

import os
import shutil
import subprocess
import sys

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
