"""Every number that README.md and docs/*.rst state about corvane, checked.

Each claim below is a regular expression over one file and a check: the
expression must still match (a reworded sentence fails until its claim is
updated), and the check holds each match's numbers against the installed
package, or, for constants of the native code, the benchmarks and CI, against
the source tree. Numbers in the guide's examples are checked by running them
(test_docs.py), those of the README's Python block by the test at the end.

test_every_number_is_claimed fails on any number outside a claim, an example
or the NOT_FACTS snippets (names and sample commands, which state nothing
about corvane), naming the file, the line and the number. A sentence with a
new number needs a claim here: add `@claim(FILE, PATTERN)` to a check taking
the match (use `source(path)` for a file of the source tree).
"""

import functools
import importlib.metadata
import io
import math
import multiprocessing
import os
import platform
import re
import sys
import time
from contextlib import redirect_stdout
from pathlib import Path

import numpy as np
import pytest

import chipfile
import corvane as cv
import reference
from corvane.dsp import resampler

ROOT = Path(__file__).resolve().parents[1]
PAGES = ["README.md"] + sorted(p.relative_to(ROOT).as_posix() for p in (ROOT / "docs").glob("*.rst"))
pytestmark = pytest.mark.skipif(not (ROOT / "README.md").exists() or len(PAGES) < 2,
                                reason="README.md and docs/ are not beside the tests")

CLAIMS = []


def claim(page, pattern):
    def register(check):
        CLAIMS.append((page, re.compile(pattern), check))
        return check
    return register


def text(page):
    return (ROOT / page).read_text(encoding="utf-8")


def source(path):
    file = ROOT / path
    if not file.exists():
        pytest.skip(f"{path} is not in this tree")
    return file.read_text(encoding="utf-8")


def metadata():
    try:
        return importlib.metadata.metadata("corvane")
    except importlib.metadata.PackageNotFoundError:
        pytest.skip("corvane is on the path, not installed as a distribution")


def minor(version):
    return int(version.split(".")[1])


# ---------------------------------------------------------------- versions

def check_pythons(lowest, highest):
    meta = metadata()
    listed = sorted(minor(c.rsplit(" ", 1)[1]) for c in meta.get_all("Classifier")
                    if re.fullmatch(r"Programming Language :: Python :: 3\.\d+", c))
    assert listed == list(range(minor(lowest), minor(highest) + 1))
    assert meta["Requires-Python"] == f">={lowest}"


def numpy_floor():
    return next(r for r in metadata().get_all("Requires-Dist") if re.match(r"numpy\b", r)).split(">=")[1]


@claim("README.md", r"CPython (3\.\d+) to (3\.\d+), NumPy (1\.\d+) to (\d+)\.x, Linux on x86-64, 32-bit\s+ARM")
def _(m):
    check_pythons(m[1], m[2])
    assert numpy_floor() == m[3]
    assert int(np.__version__.split(".")[0]) <= int(m[4])


@claim("docs/install.rst", r"Python (3\.\d+) or newer\*\* \(CPython (3\.\d+) to (3\.\d+) are supported\)")
def _(m):
    assert m[1] == m[2]
    check_pythons(m[2], m[3])


@claim("docs/install.rst", r"NumPy (1\.\d+) or newer, which pip installs as a dependency")
def _(m):
    assert numpy_floor() == m[1]


@claim("docs/install.rst", r"C\+\+(\d+) compiler")
def _(m):
    assert f"set(CMAKE_CXX_STANDARD {m[1]})" in source("CMakeLists.txt")


@claim("docs/types.rst", r"type-checking needs NumPy (1\.\d+)\s+or newer")
def _(m):
    try:
        import numpy.typing as npt  # absent before 1.20
    except ImportError:
        npt = None
    newer = tuple(map(int, np.__version__.split(".")[:2])) >= (1, minor(m[1]))
    assert hasattr(npt, "NDArray") == newer


@claim("README.md", r"the (3\.\d+) debug interpreter")
def _(m):
    assert f"python{m[1]}-dbg" in source("tools/lib/common.sh")


@claim("README.md", r"`CORVANE_LEAK_CALLS` per\s+round, default (\d+)")
def _(m):
    assert f'os.environ.get("CORVANE_LEAK_CALLS", "{m[1]}")' in source("tests/test_leaks.py")


@claim("docs/many_files.rst", r"before Python (3\.\d+), which shows no notes")
def _(m):
    assert hasattr(BaseException, "add_note") == (sys.version_info >= (3, minor(m[1])))


@claim("docs/many_files.rst", r"\(the default on Linux from\s+Python (3\.\d+)\)")
def _(m):
    if not sys.platform.startswith("linux"):
        pytest.skip("a claim about Linux")
    first = multiprocessing.get_all_start_methods()[0]  # the default comes first
    assert first == ("forkserver" if sys.version_info >= (3, minor(m[1])) else "fork")


# ---------------------------------------------------------------- speed and accuracy

@functools.lru_cache(maxsize=None)
def measured_error():
    """The largest |native - NumPy loop| / sum|x| over signals of both kinds,
    summed directly (N*M below the crossover) and hierarchically."""
    rng = np.random.default_rng(1)
    worst = 0.0
    for N, r, complex_ in [(64, 2.5, False), (100, 3.0, True), (300, 1.0, False), (1000, 0.37, True),
                           (2048, 2.0, False), (4096, 1.5, True), (65536, 0.01, False)]:
        s = rng.standard_normal(N) + (1j * rng.standard_normal(N) if complex_ else 0)
        values, u = resampler.sinc_interp(s, r)
        v = reference.grid(N, N)
        outputs = np.unique(np.linspace(0, len(u) - 1, min(len(u), 150)).astype(int))
        err = max(abs(values[m] - np.sum(s * reference.sinc(v - u[m]))) for m in outputs)
        worst = max(worst, err / np.sum(np.abs(s)))
    return worst


def kernel_contract():
    return float(re.search(r"Accuracy: within (\S+) \* sum_k \|s\[k\]\|",
                           source("native/kernels/sinc_sum.hpp"))[1])


@claim("README.md", r"within (1e-\d+) \* sum\(\|x\|\) of that loop")
@claim("docs/interpolation.rst", r"\*\*(1e-\d+) · Σ\|x\|\*\* of the NumPy loop")
def _(m):
    assert float(m[1]) == kernel_contract()
    assert measured_error() <= float(m[1])


@claim("README.md", r"measured: at most (\d+e-\d+) \* sum\(\|x\|\)")
@claim("docs/interpolation.rst", r"measured: at most\s+(\d+e-\d+) · Σ\|x\|, whatever N")
def _(m):
    # The figure stays the measured one: not exceeded, nor ten times too high.
    assert float(m[1]) / 10 <= measured_error() <= float(m[1])


@claim("README.md", r"below N\*M = 2\^(\d+) on x86-64,\s+term by term")
def _(m):
    # The rule of every architecture but ARM, whose own comes first in the header.
    constant = re.search(r"#else\nconstexpr double kTreeCrossoverTerms = ([\d.]+);", source("native/kernels/sinc_sum.hpp"))[1]
    assert float(constant) == 2 ** int(m[1])


@claim("docs/interpolation.rst", r"more\s+than 2³⁰ = (\d+) samples, beyond the range of the hierarchical sums")
def _(m):
    assert "kTreeMaxPosition = 0x1p30;" in source("native/kernels/sinc_sum_tree.cpp")
    assert int(m[1]) == 2 ** 30


def plain_speed_build():
    if platform.machine().lower() not in ("x86_64", "amd64", "aarch64", "arm64"):
        pytest.skip("a claim about 64-bit desktop and server cores")
    if hasattr(sys, "gettotalrefcount") or "asan" in os.environ.get("LD_PRELOAD", ""):
        pytest.skip("a claim about an optimised build")


@claim("README.md", r"10\^(\d+) samples resampled by (\d+) take under a second instead of hours")
def _(m, monkeypatch):
    plain_speed_build()
    n, r = 10 ** int(m[1]), int(m[2])
    s = np.random.default_rng(0).standard_normal(n)
    best = math.inf
    for _ in range(2):
        start = time.perf_counter()
        resampler.sinc_interp(s, r)
        best = min(best, time.perf_counter() - start)
    assert best < 1.0
    monkeypatch.setattr(resampler, "np", reference.NumpyProxy())  # the NumPy loop, two outputs of it
    start = time.perf_counter()
    resampler.interp(np.empty(2), None, s)
    assert (time.perf_counter() - start) / 2 * n * r > 3600


@claim("docs/interpolation.rst", r"within (\d) ulp of the NumPy expression above")
def _(m):
    x = np.concatenate([np.random.default_rng(2).uniform(-50, 50, 20000), np.linspace(-3, 3, 20001)])
    a = np.pi * x
    want = np.where(np.abs(a) < 1e-8, 1.0, np.sin(a + 1e-8) / (a + 1e-8))
    got = resampler.sinc(x)
    assert np.all(np.abs(got - want) <= int(m[1]) * np.spacing(np.abs(want)))


# ---------------------------------------------------------------- the sinc kernel

@claim("docs/interpolation.rst", r"ε = (1e-8) to the argument of the sine")
@claim("docs/interpolation.rst", r"sinc\(x\) = (1\.0)\s+where \|π·x\| < (1e-8)\s+= sin\(π·x \+ ε\) / \(π·x \+ ε\)"
                                 r"\s+elsewhere, ε = (1e-8)")
def _(m):
    eps = float(m.groups()[-1])
    assert float(cv.sinc(0.5 * eps / np.pi)) == 1.0
    x = np.array([0.25, 1.0, 2.0, -3.5])
    np.testing.assert_allclose(cv.sinc(x), np.sin(np.pi * x + eps) / (np.pi * x + eps), rtol=0, atol=1e-16)


@functools.lru_cache(maxsize=None)
def offset_curve():
    x = np.linspace(-6.0, 6.0, 24001)
    d = np.abs(cv.sinc(x) - np.sinc(x))
    return float(d.max()), float(abs(x[d.argmax()]))


@claim("docs/interpolation.rst", r"a\s+shift of about (\d\.\d+e-\d)")
@claim("docs/interpolation.rst", r"differs from ``np\.sinc`` by about (\d\.\d+e-\d) times the\s+slope")
def _(m):
    shift = 1e-8 / np.pi
    assert f"{shift:.2e}".replace("e-09", "e-9") == m[1]
    x = np.linspace(0.1, 5.9, 50)
    np.testing.assert_allclose(cv.sinc(x), np.sinc(x + shift), rtol=0, atol=1e-15)


@claim("docs/interpolation.rst", r"up to about (\d\.\d+e-\d) \(near x = ±(\d\.\d+)\)")
@claim("docs/interpolation.rst", r"at most about (\d\.\d+e-\d)\.")
def _(m):
    peak, where = offset_curve()
    assert f"{peak:.1e}".replace("e-09", "e-9") == m[1]
    if m.lastindex == 2:
        assert round(where, 2) == float(m[2])


@claim("docs/interpolation.rst", r"np\.sinc over \[-(\d), (\d)\]")
@claim("docs/interpolation.rst", r"``np\.sinc`` over \[−(\d), (\d)\]")
@claim("docs/interpolation.rst", r"``np\.sinc\(x \+ (1e-8)/π\) − np\.sinc\(x\)``")
def _(m):
    figures = source("docs/make_figures.py")
    if m[1] == "1e-8":
        assert "np.sinc(x + shift) - numpys" in figures and "shift = 1e-8 / np.pi" in figures
    else:
        assert f"np.linspace(-{m[1]}.0, {m[2]}.0," in figures


@claim("docs/interpolation.rst", r"argument x = −(1e-8)/π, where the denominator is exactly zero, ``sinc`` gives\s+(1\.0)")
def _(m):
    assert float(cv.sinc(-float(m[1]) / np.pi)) == float(m[2])


@claim("docs/interpolation.rst", r"a\s+(\d)-dimensional array for a scalar")
def _(m):
    assert cv.sinc(2.0).ndim == int(m[1])


# ---------------------------------------------------------------- tables and grids

@claim("docs/interpolation.rst", r"row q−(1) holds the\s+sinc of ``Ns`` positions that start at −Ns/(2), spaced "
                                 r"q·Ns/\(Ns·q − (1)\)\s+apart")
def _(m):
    printed = io.StringIO()
    with redirect_stdout(printed):
        table = cv.sinc_table(3, 4)
    rows = [np.array(line.strip("[]").split(), float) for line in printed.getvalue().splitlines()]
    np.testing.assert_allclose(rows[::-1], reference.table_positions(3, 4))
    np.testing.assert_allclose(table, reference.sinc(reference.table_positions(3, 4)))


def bessel_i0(x):
    """The modified Bessel function I0 by its series (np.i0 changed between NumPy releases)."""
    x = np.asarray(x, float)
    return sum((x / 2) ** (2 * k) / float(math.factorial(k)) ** 2 for k in range(30))


@claim("docs/interpolation.rst", r"a Python list of (\d+) lists of (\d) floats: three-decimal\s+weights of an (\d)-tap "
                                 r"interpolation kernel \(sinc times a Kaiser window of\s+shape (\d)\) for fractional "
                                 r"shifts of (\d)/(\d+) to (\d+)/(\d+) of a sample")
def _(m):
    rows, taps, taps_again, beta, first, q1, last, q2 = map(int, m.groups())
    table = np.array(resampler.SINC_TABLE_Nq16Ns8)
    assert table.shape == (rows, taps) and taps == taps_again and (first, last) == (1, rows) and q1 == q2 == rows
    assert np.all(np.round(table, 3) == table)
    k = np.arange(taps)
    for q in range(1, rows + 1):
        x = k - taps / 2 + q / rows
        window = bessel_i0(beta * np.sqrt(1 - (x / (taps / 2)) ** 2)) / bessel_i0(beta)
        np.testing.assert_allclose(table[q - 1], np.round(np.sinc(x) * window, 3), atol=1e-12)


@claim("docs/interpolation.rst", r"output of ``sinc_table\((\d+), (\d)\)``, which is neither windowed nor rounded")
def _(m):
    with redirect_stdout(io.StringIO()):
        table = cv.sinc_table(int(m[1]), int(m[2]))
    assert not np.allclose(table, resampler.SINC_TABLE_Nq16Ns8, atol=1e-3)


@claim("docs/interpolation.rst", r"sinc_interp\(xin, r=(1\.0)\)")
def _(m):
    x = np.cos(np.arange(7.0))
    np.testing.assert_array_equal(cv.sinc_interp(x)[0], cv.sinc_interp(x, float(m[1]))[0])


@claim("docs/interpolation.rst", r"Both grids run over \[(0), N\], both ends included")
@claim("docs/interpolation.rst", r"over \[(0), N\] with N = ``yp\.size``")
@claim("docs/interpolation.rst", r"k·N/\(N−(1)\), so the input spacing is N/\(N−(1)\), not (1);\s+\* output m sits at "
                                 r"m·N/\(M−(1)\), so the output spacing is N/\(M−(1)\)")
@claim("docs/interpolation.rst", r"With ``r = (1)`` the output positions are the input positions, but since the\s+"
                                 r"samples are N/\(N−(1)\) apart and not (1)")
def _(m):
    N, M = 7, 12
    yp = np.cos(np.arange(float(N)))
    values, positions = cv.sinc_interp(yp, M / N)
    np.testing.assert_allclose(positions, [m * N / (M - 1) for m in range(M)], rtol=1e-15)
    np.testing.assert_allclose(cv.sinc_interp(yp, 1)[1], reference.grid(N, N), rtol=1e-15)
    np.testing.assert_allclose(values, reference.resample(yp, M)[0], atol=1e-12)
    np.testing.assert_allclose(cv.interp(np.empty(M), None, yp), values, atol=1e-15)


@claim("docs/interpolation.rst", r"``cv\.sinc_interp\(x, r=(1\.5)\)`` for (\d) samples: the inputs \(blue\) sit at\s+"
                                 r"k·(\d)/(\d), the (\d+) outputs \(red\) at m·(\d)/(\d+)")
def _(m):
    r, n, n1, n_1, outputs, n2, outputs_1 = float(m[1]), *map(int, m.groups()[1:])
    figures = source("docs/make_figures.py")
    assert f"np.linspace(0, 3, {n}))" in figures and f"cv.sinc_interp(x, r={m[1]})" in figures
    positions = cv.sinc_interp(np.ones(n), r)[1]
    assert len(positions) == outputs and n == n1 == n2 and (n_1, outputs_1) == (n - 1, outputs - 1)
    np.testing.assert_allclose(positions, np.arange(outputs) * n / (outputs - 1), rtol=1e-15)


# ---------------------------------------------------------------- the chip format

def chip(tmp_path, mag, pha, **kw):
    return str(chipfile.write_chip(tmp_path / "c.chip", mag, pha, **kw))


@claim("docs/chips.rst", r"line (3) holds the byte\s+offset of the data block \(the header length\), line (13) the "
                         r"number of columns\s+W, line (14) the number of rows H")
def _(m, tmp_path):
    mag, pha = chipfile.random_chip(2, 3)
    lines = chipfile.chip_bytes(mag, pha, pad=b"gap").split(b"\n")
    for n in map(int, m.groups()):  # other names of the same length: only the positions count
        name, _, value = lines[n - 1].partition(b"= ")
        lines[n - 1] = b"Z" * len(name) + b"= " + value
    (tmp_path / "c.chip").write_bytes(b"\n".join(lines))
    np.testing.assert_array_equal(cv.sarchip_raw(str(tmp_path / "c.chip"), "ap")[..., 0], mag)


@claim("docs/chips.rst", r"holds (2)·H·W big-endian IEEE 754\s+single-precision numbers")
@claim("docs/chips.rst", r"shorter than (8)·H·W bytes raises\s+``struct\.error``")
def _(m, tmp_path):
    import struct

    mag, pha = chipfile.random_chip(3, 4)
    blob = chipfile.chip_bytes(mag, pha)
    per_pixel = 8 if m[1] == "8" else 2 * 4
    assert len(blob) - int(cv.sarchip_header(chip(tmp_path, mag, pha))["HeaderLength"]) == per_pixel * 12
    (tmp_path / "short.chip").write_bytes(blob[:-1])
    with pytest.raises(struct.error):
        cv.sarchip_raw(str(tmp_path / "short.chip"))


@claim("docs/chips.rst", r"line (1), the version line, for example")
@claim("docs/chips.rst", r"the reader skips the\s+line's first byte and the (\d+) characters after it, and drops its last")
def _(m, tmp_path):
    mag, pha = chipfile.random_chip(1, 1)
    version = "<PhoenixHeaderVer:x9.99>"
    header = cv.sarchip_header(chip(tmp_path, mag, pha, version=version))
    skipped = 17 if m[1] == "1" else int(m[1])
    assert header["PhoenixHeaderVer"] == version[1 + skipped:-1] == "x9.99"


@claim("docs/chips.rst", r"``float64``  \(H, W, (2)\)")
@claim("docs/many_files.rst", r"\(n, H, W, (2)\)")
@claim("docs/chips.rst", r"``\[\.\.\., (0)\]`` is the magnitude and ``\[\.\.\., (1)\]``\s+the phase")
@claim("docs/chips.rst", r"real–imaginary layout ``\[\.\.\., (0)\]`` is magnitude·cos\(phase\) and\s+``\[\.\.\., (1)\]``")
@claim("docs/chips.rst", r"magnitude·\(cos\(phase\) \+ (1)j·sin\(phase\)\)")
def _(m, tmp_path):
    mag, pha = chipfile.random_chip(2, 3)
    path = chip(tmp_path, mag, pha)
    ap, ri, c = (cv.sarchip_raw(path, f) for f in ("ap", "r", "c"))
    np.testing.assert_array_equal(ap[..., 0], mag)
    np.testing.assert_array_equal(ap[..., 1], pha)
    np.testing.assert_allclose(ri[..., 0] + 1j * ri[..., 1], mag * np.exp(1j * pha.astype(float)), rtol=1e-12)
    np.testing.assert_allclose(c, mag * (np.cos(pha.astype(float)) + 1j * np.sin(pha.astype(float))), rtol=1e-15)
    stacked = cv.read_chips([path, path], "r").images
    assert ap.shape[-1] == ri.shape[-1] == stacked.shape[-1] == 2 and stacked.shape == (2, 2, 3, 2)


@claim("docs/chips.rst", r"line (3), (13) or (14) without ``\"= \"`` or without an integer raises\s+``ValueError``")
def _(m, tmp_path):
    mag, pha = chipfile.random_chip(2, 3)
    for line in map(int, m.groups()):
        for bad in ("NoSeparator 3", "Value= three"):
            kw = {"offset": 0, "lines": {line: bad}} if line == 3 else {"lines": {line: bad}}
            with pytest.raises(ValueError):
                cv.sarchip_raw(chip(tmp_path, mag, pha, **kw))


# ---------------------------------------------------------------- demos, recipes, benchmarks

@claim("docs/many_files.rst", r"read_chips\(source, ofmt='c', \*, pattern=None, workers=(\d+), errors='raise'")
def _(m):
    import inspect

    assert inspect.signature(cv.read_chips).parameters["workers"].default == int(m[1])


@claim("docs/install.rst", r"figure (\d) saved to corvane-figures/resampler-figure-(\d)\.png\s+\.\.\.\s+"
                           r"corvane-demo: (\d) figures saved in")
def _(m, tmp_path):
    pytest.importorskip("matplotlib", reason="the demonstrations need matplotlib (the demo extra)")
    import test_demo

    proc = test_demo.run_runner(tmp_path, {})
    assert proc.returncode == 0, proc.stderr
    assert f"figure {m[1]} saved to corvane-figures/resampler-figure-{m[2]}.png" in proc.stderr
    assert len(os.listdir(tmp_path / "corvane-figures")) == int(m[3])


@claim("docs/install.rst", r"and exits with status (\d)\.")
def _(m, tmp_path):
    import test_demo

    code = ("import sys\n"
            "class Missing:\n"
            "    def find_spec(self, name, path=None, target=None):\n"
            "        if name == 'matplotlib':\n"
            "            raise ModuleNotFoundError(\"No module named 'matplotlib'\", name=name)\n"
            "sys.meta_path.insert(0, Missing())\n"
            "from corvane.demo import main; sys.exit(main(sys.argv[1:]))")
    assert test_demo.run_runner(tmp_path, {}, code, ("resampler",)).returncode == int(m[1])


@claim("docs/many_files.rst", r"bound to ``(127\.0\.0\.1)``")
def _(m):
    assert f'host="{m[1]}"' in source("docs/examples/many_files.py")


@claim("docs/many_files.rst", r"exits with status (\d) when\s+there was a bad file")
def _(m):
    assert f"return {m[1]} if errors else 0" in source("docs/examples/many_files.py")


@claim("docs/many_files.rst", r"a read that\s+takes more than (\d+) s shows a progress bar")
def _(m):
    from corvane.datasets import chips

    assert chips._PROGRESS_DELAY == float(m[1])


@claim("docs/benchmarks.rst", r"N = M = (\d+) up to\s+2²⁰ \(``--max-log2`` sets the top, ``--quick`` stops at (\d+);")
def _(m):
    bench = source("bench/bench_resampler.py")
    assert "for e in range(8, top + 1):" in bench and 2 ** 8 == int(m[1])
    assert '"--max-log2", type=int, default=20' in bench and "top = 14 if args.quick" in bench
    assert 2 ** 14 == int(m[2])


@claim("docs/benchmarks.rst", r"reads a SIZE × SIZE chip \(default (\d+)\)")
def _(m):
    assert f'parser.add_argument("size", nargs="?", type=int, default={m[1]})' in source("bench/bench_sarchip.py")


# ---------------------------------------------------------------- what is no fact

@claim("docs/interpolation.rst", r"sine's range \(\\\|π x\\\| > (\d+)\^(\d+)\)")
def _(m):
    assert "kSinFastLimit = 1.0e6;" in source("native/kernels/sincos.hpp")
    assert int(m[1]) ** int(m[2]) == 10 ** 6


# ---------------------------------------------------------------- wheels and compilers

def wheel_targets():
    targets = re.search(r"^ALL_TARGETS=\((.*?)\)", source("tools/build-wheels"), re.M | re.S)[1].split()
    return {tuple(t.split("-")) for t in targets}


def cp(version):
    return "cp" + version.replace(".", "")


@claim("README.md", r"CPython (3\.\d+) to (3\.\d+) on x86-64, CPython (3\.\d+) on\s+32-bit ARM")
@claim("docs/install.rst", r"CPython (3\.\d+) to (3\.\d+) on x86-64 Linux;\n\* CPython (3\.\d+) on 32-bit ARM")
def _(m):
    targets = wheel_targets()
    x86 = sorted(minor(t[0][2] + "." + t[0][3:]) for t in targets if t[1] == "x86_64")
    assert x86 == list(range(minor(m[1]), minor(m[2]) + 1))
    assert (cp(m[3]), "armv7l") in targets


@claim("README.md", r"CPython (3\.\d+)\s+on 64-bit ARM \(aarch64: Debian (\d+)")
@claim("README.md", r"the aarch64 wheel on ()Debian (\d+) arm64")
@claim("docs/install.rst", r"CPython (3\.\d+) on 64-bit ARM \(aarch64: Debian (\d+)")
def _(m):
    assert not m[1] or (cp(m[1]), "aarch64") in wheel_targets()
    assert int(m[2]) == 12 and "bookworm arm64" in source("tools/lib/common.sh")  # Debian 12 is bookworm


@claim("README.md", r"tagged `manylinux_(\d+)_(\d+)` \(pip takes\s+them on Linux with glibc (\d+)\.(\d+) or newer; they are tested on glibc (\d+\.\d+)")
@claim("docs/install.rst", r"tagged ``manylinux_(\d+)_(\d+)``, so pip takes them on Linux with glibc (\d+)\.(\d+)\s+or newer; they are tested on glibc (\d+\.\d+)")
def _(m):
    assert (m[1], m[2]) == (m[3], m[4])
    assert f"manylinux_{m[1]}_{m[2]}" in source("tools/wheels.py")
    assert f"MAX_GLIBC={m[5]}" in source("tools/build-wheels")


@claim("README.md", r"corvane-(\d+\.\d+\.\d+)-cp")
@claim("docs/install.rst", r"corvane-(\d+\.\d+\.\d+)-cp")
def _(m):
    assert m[1] == cv.__version__


@claim("docs/install.rst", r"``cp(\d+)`` for CPython (3\.\d+)")
def _(m):
    assert cp(m[2]) == "cp" + m[1]


@claim("README.md", r"needs GCC (\d+) or newer or\s+clang (\d+) or newer")
@claim("docs/install.rst", r"GCC (\d+) or newer, or clang (\d+) or newer")
def _(m):
    cmake = source("CMakeLists.txt")
    assert f"set(CORVANE_MIN_GCC {m[1]})" in cmake and f"set(CORVANE_MIN_CLANG {m[2]})" in cmake


@claim("docs/install.rst", r"Every compiler from GCC (\d+) to (\d+) and clang (\d+), (\d+) and the newest")
@claim("README.md", r"built by GCC (\d+)-(\d+), clang (\d+), (\d+) and sid's newest")
def _(m):
    compilers = source("tools/check-compilers")
    for gcc in range(int(m[1]), int(m[2]) + 1):
        # GCC 10, the oldest, builds every wheel (tools/build-wheels).
        assert f"g++-{gcc}" in compilers or (gcc == 10 and "GCC 10" in source("tools/lib/common.sh"))
    for clang in (m[3], m[4]):
        assert f"clang++-{clang}" in compilers


@claim("README.md", r"GCC (\d+) in a Debian bullseye chroot, warnings as errors,\s+#\s+auditwheel repair, glibc <= (\d+\.\d+)")
def _(m):
    assert f"bullseye amd64 (glibc {m[2]}, GCC {m[1]})" in source("tools/lib/common.sh")
    assert f"MAX_GLIBC={m[2]}" in source("tools/build-wheels")


@claim("README.md", r"cp39 on Debian bullseye \(NumPy (1\.\d+\.\d+)\)")
def _(m):
    assert f"CPython 3.9.2 with NumPy {m[1]}" in source("tools/lib/common.sh")


NOT_FACTS = {
    "README.md": ["1-D", "x86-64", "BSD-3-Clause", "32-bit", "64-bit", "CXX=g++-12", "clang-format 16"],
    "docs/index.rst": ["1-D", ":maxdepth: 2"],
    "docs/interpolation.rst": ["1-D", "x86-64", "AVX-512", "32-bit"],
    "docs/chips.rst": ["IEEE 754"],
    "docs/types.rst": ["np.empty(100), None, np.ones(64)", "[0.0, 1.0]"],
    "docs/benchmarks.rst": ["bench_sarchip.py 256 --repeat 7", "--count 1000 --size 128", "Cortex-A7",
                            "Cortex-A53", "32-bit", "64-bit", "cortex-a8", '"sinc 1e5"', '"sinc_interp N=2048 r=2"',
                            '"sinc_interp N=4096 r=1/3 sum=direct"', "insn_count.c"],
    # The example of a too-old compiler and how to name a newer one.
    "docs/install.rst": ["x86-64", "32-bit", "64-bit", "AVX-512", "GCC 9.4.0", "Ubuntu 20.04", "g++-10"],
    "docs/many_files.rst": ["--workers 2"],
}

NUMBER = re.compile(r"(?<![\w.])\d+(?:\.\d+)*(?:e-?\d+)?")
DOCTEST = re.compile(r"^[ \t]*>>>.*?(?=^[ \t]*$|\Z)", re.M | re.S)  # examples and their output
FENCED_PYTHON = re.compile(r"^```python\n.*?^```$", re.M | re.S)  # run by test_readme_usage


def exempt_spans(page, body):
    spans = [mt.span() for mt in DOCTEST.finditer(body)] + [mt.span() for mt in FENCED_PYTHON.finditer(body)]
    for snippet in NOT_FACTS.get(page, []):
        spans += [(i.start(), i.end()) for i in re.finditer(re.escape(snippet), body)]
    for claimed_page, pattern, _ in CLAIMS:
        if claimed_page == page:
            spans += [mt.span() for mt in pattern.finditer(body)]
    return spans


@pytest.mark.parametrize("page", PAGES)
def test_every_number_is_claimed(page):
    body = text(page)
    spans = exempt_spans(page, body)
    loose = [f"{page}:{body.count(chr(10), 0, n.start()) + 1}: {n.group()}" for n in NUMBER.finditer(body)
             if not any(a <= n.start() and n.end() <= b for a, b in spans)]
    assert not loose, "numbers that no claim checks:\n" + "\n".join(loose)


@pytest.mark.real_numpy  # the claims are about the module as it is (conftest.py)
@pytest.mark.parametrize("page, pattern, check", CLAIMS,
                         ids=[f"{p}: {c.pattern[:50]}" for p, c, _ in CLAIMS])
def test_claim(page, pattern, check, request):
    matches = list(pattern.finditer(text(page)))
    assert matches, f"{page} no longer says {pattern.pattern!r}: update the claim with the sentence"
    wanted = [name for name in check.__code__.co_varnames[1:check.__code__.co_argcount]]
    fixtures = {name: request.getfixturevalue(name) for name in wanted}
    for match in matches:
        check(match, **fixtures)


def test_readme_usage(tmp_path, monkeypatch):
    """The README's Python block runs, and its comments say what it gives."""
    block = FENCED_PYTHON.search(text("README.md")).group()[len("```python"):-3]
    for comment in ("# 160 samples over [0, 64]", "# 100 samples, same kernel", "# complex (H, W)",
                    "# a folder tree: images (n, H, W)"):
        assert comment in block
    monkeypatch.chdir(tmp_path)
    scope = {}
    exec(compile(block, "README.md", "exec"), scope)
    assert scope["values"].shape == (160,) and (scope["positions"][0], scope["positions"][-1]) == (0, 64)
    assert scope["y"].shape == (100,)
    assert scope["chip"].ndim == 2 and scope["chip"].dtype == np.complex128
    assert scope["chips"].images.shape == (1,) + scope["chip"].shape and not scope["chips"].errors
