"""The numeric kernels' own C++ test, compiled and run from the source tree.

It sweeps every instruction-set variant the machine has (and the portable
one) against reference values; skipped where there is no source tree or no
C++ compiler (e.g. when testing an installed package on the target).
"""

import os
import shutil
import subprocess

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
KERNELS = os.path.join(ROOT, "native", "resampler", "kernels")
CXX = os.environ.get("CXX") or shutil.which("g++") or shutil.which("c++")

pytestmark = pytest.mark.skipif(
    not os.path.isdir(KERNELS) or CXX is None, reason="needs the source tree and a C++ compiler"
)


@pytest.mark.parametrize("defines", [[], ["-DCORVANE_NO_AVX512"], ["-DCORVANE_NO_SIMD"]],
                         ids=["best", "avx2", "portable"])
def test_kernels(tmp_path, defines):
    sources = [os.path.join(KERNELS, f) for f in sorted(os.listdir(KERNELS)) if f.endswith(".cpp")]
    exe = str(tmp_path / "kernels_test")
    subprocess.run([CXX, "-std=c++17", "-O2", *defines, "-I", os.path.join(ROOT, "native"), "-o", exe,
                    os.path.join(KERNELS, "tests", "kernels_test.cpp"), *sources], check=True)
    result = subprocess.run([exe], capture_output=True, text=True)
    assert result.returncode == 0, result.stdout + result.stderr
