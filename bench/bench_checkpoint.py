"""What answering Ctrl-C costs the native kernels.

    python bench/bench_checkpoint.py

Builds bench/checkpoint_overhead.cpp against this interpreter (it embeds
Python, so it needs a C++ compiler and the shared libpython) and runs it twice:
alone, and beside a Python thread that keeps the interpreter lock busy. It
prints the kernels' times with and without the checkpoint (best of five,
alternating) and the share of time spent inside the checkpoints, which is the
overhead itself and, unlike the time ratios, does not drown in the noise of
a shared machine.
"""

import os
import shutil
import subprocess
import sys
import sysconfig
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
NATIVE = os.path.join(ROOT, "native")


def main():
    cxx = os.environ.get("CXX") or shutil.which("g++") or shutil.which("c++")
    libdir = sysconfig.get_config_var("LIBDIR")
    library = sysconfig.get_config_var("LDLIBRARY") or ""
    if cxx is None or not library.endswith(".so"):
        sys.exit("needs a C++ compiler and a Python built with a shared libpython")
    cmake = shutil.which("cmake")
    if cmake is None:
        sys.exit("needs CMake")
    sources = [os.path.join(ROOT, "bench", "checkpoint_overhead.cpp")]
    frame = os.path.join(NATIVE, "frame")
    sources += sorted(os.path.join(frame, f) for f in os.listdir(frame) if f.endswith(".cpp"))
    with tempfile.TemporaryDirectory() as tmp:
        # The kernels with their own flags and every variant, as the modules get them.
        kernels = os.path.join(tmp, "kernels")
        subprocess.run([cmake, "-S", os.path.join(NATIVE, "kernels"), "-B", kernels], check=True,
                       stdout=subprocess.DEVNULL)
        subprocess.run([cmake, "--build", kernels, "--parallel", "2"], check=True, stdout=subprocess.DEVNULL)
        exe = os.path.join(tmp, "checkpoint_overhead")
        subprocess.run([cxx, "-std=c++17", "-O2", "-I", NATIVE, "-I", sysconfig.get_paths()["include"], *sources,
                        os.path.join(kernels, "libcorvane_kernels.a"), "-L", libdir, "-l" + library[3:-3],
                        "-Wl,-rpath," + libdir, "-o", exe], check=True)
        subprocess.run([exe], check=True)
        subprocess.run([exe, "busy"], check=True)


if __name__ == "__main__":
    main()
