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
    sources = [os.path.join(ROOT, "bench", "checkpoint_overhead.cpp")]
    for folder in ("frame", os.path.join("resampler", "kernels")):
        d = os.path.join(NATIVE, folder)
        sources += sorted(os.path.join(d, f) for f in os.listdir(d) if f.endswith(".cpp"))
    with tempfile.TemporaryDirectory() as tmp:
        exe = os.path.join(tmp, "checkpoint_overhead")
        subprocess.run([cxx, "-std=c++17", "-O2", "-I", NATIVE, "-I", sysconfig.get_paths()["include"], *sources,
                        "-L", libdir, "-l" + library[3:-3], "-Wl,-rpath," + libdir, "-o", exe], check=True)
        subprocess.run([exe], check=True)
        subprocess.run([exe, "busy"], check=True)


if __name__ == "__main__":
    main()
