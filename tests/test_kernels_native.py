"""The numeric kernels' own C++ test, built by CMake with the kernel library's
own flags (native/kernels/CMakeLists.txt) and run from the source tree.

It holds the sine/cosine, sinc, the sums and the chip decoder to reference
values, and every instruction-set variant this machine runs to the baseline's
bits; skipped where there is no source tree, CMake or C++ compiler (e.g. when
testing an installed package on the target).
"""

import os
import re
import shutil
import subprocess

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
KERNELS = os.path.join(ROOT, "native", "kernels")
CMAKE = shutil.which("cmake")
CXX = os.environ.get("CXX") or shutil.which("g++") or shutil.which("c++")

pytestmark = pytest.mark.skipif(
    not os.path.isfile(os.path.join(KERNELS, "CMakeLists.txt")) or CMAKE is None or CXX is None,
    reason="needs the source tree, CMake and a C++ compiler",
)


# What each architecture's build makes (dispatch.hpp), whatever the CPU runs.
EXPECTED_VARIANTS = {"x86_64": "baseline;avx2;avx512;scalar", "aarch64": "baseline;scalar",
                     "armv7l": "baseline;vfpv4"}


def build_and_run(build, *options):
    # -Werror as the wheels and the compiler matrix build: a variant probe that
    # warns must not quietly lose the variant.
    configured = subprocess.run([CMAKE, "-S", KERNELS, "-B", str(build), "-DBUILD_TESTING=ON",
                                 "-DCMAKE_CXX_FLAGS=-Werror", *options], check=True,
                                capture_output=True, text=True, env={**os.environ, "CXX": CXX})
    subprocess.run([CMAKE, "--build", str(build), "--parallel", "2"], check=True, capture_output=True, text=True)
    result = subprocess.run([str(build / "kernels_test")], capture_output=True, text=True)
    result.configured = re.search(r"corvane: kernel variants: (\S*)", configured.stdout).group(1)
    return result


def variants(output):
    return re.search(r"^variants on this machine: (.*);", output, re.M).group(1).split()


def test_every_variant(tmp_path):
    result = build_and_run(tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr
    assert "baseline" in variants(result.stdout)
    assert result.configured == EXPECTED_VARIANTS.get(os.uname().machine, result.configured)
    # The kernels run without the interpreter lock, so they read nothing that
    # Python may change meanwhile, such as the environment: the module reads
    # the testing hook and passes it in.
    nm = shutil.which("nm")
    if nm:
        symbols = subprocess.run([nm, "-u", str(tmp_path / "libcorvane_kernels.a")], capture_output=True,
                                 text=True, check=True).stdout
        assert "getenv" not in symbols


def test_baseline_only_build(tmp_path):
    # CORVANE_NO_SIMD reaches every kernel: the build has no other variant.
    result = build_and_run(tmp_path, "-DCORVANE_NO_SIMD=ON")
    assert result.returncode == 0, result.stdout + result.stderr
    assert variants(result.stdout) == ["baseline"] and result.configured == "baseline"
