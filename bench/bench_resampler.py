"""Benchmark of corvane.dsp.resampler against plain NumPy, in one process.

    python bench/bench_resampler.py [--quick] [--plot FILE.png]

For sinc_interp and interp it prints the time of the native path and its
ratio against (a) the plain NumPy loop (one output sample at a time, the
module's own generic route, reached by giving the module a stand-in `np`) and
(b) the fully vectorised NumPy formulation (the M x N kernel matrix, then a
product), with the peak extra memory of each. For sinc it compares one call
with NumPy evaluating the same expression. Then a scaling table for
N = M = 256 ... 16384, optionally drawn as a log-log plot.
"""

import argparse
import time
import tracemalloc
import types

import numpy as np

import corvane.dsp.resampler as rs

PI = np.pi
EPS = 1e-8


class _Numpy(types.ModuleType):
    """NumPy behind a stand-in: the module no longer recognises it and runs
    its generic NumPy route."""

    def __getattr__(self, name):
        return getattr(np, name)


def generic(fn):
    def run(*args, **kwargs):
        saved, rs.np = rs.np, _Numpy("numpy")
        try:
            return fn(*args, **kwargs)
        finally:
            rs.np = saved

    return run


def numpy_sinc(x):
    return np.where(np.abs(PI * x) < EPS, 1.0, np.sin(PI * x + EPS) / (PI * x + EPS))


def matrix_interp(s, M):
    """The vectorised formulation: kernel matrix K[m, k] = sinc(v[k] - u[m])."""
    N = s.size
    u = np.linspace(0, N, M)
    v = np.linspace(0, N, N)
    K = numpy_sinc(v[None, :] - u[:, None])
    return K @ s


def measure(fn, *args, repeat=3):
    """(best time in seconds, peak extra memory in bytes) of fn(*args)."""
    best = float("inf")
    for _ in range(repeat):
        t = time.perf_counter()
        fn(*args)
        best = min(best, time.perf_counter() - t)
    tracemalloc.start()
    base = tracemalloc.get_traced_memory()[0]
    fn(*args)
    peak = tracemalloc.get_traced_memory()[1] - base
    tracemalloc.stop()
    return best, peak


def mib(n):
    return f"{n / 2**20:8.2f} MiB"


def compare(title, terms, native, loop, matrix):
    t0, m0 = measure(*native)
    t1, m1 = measure(*loop, repeat=1)
    t2, m2 = measure(*matrix)
    print(f"\n{title}")
    print(f"  native        {t0 * 1e3:9.3f} ms  {t0 / terms * 1e9:7.3f} ns/term  peak extra {mib(m0)}")
    print(f"  NumPy loop    {t1 * 1e3:9.3f} ms  {t1 / terms * 1e9:7.3f} ns/term  peak extra {mib(m1)}"
          f"   -> native {t1 / t0:6.1f}x faster")
    print(f"  NumPy matrix  {t2 * 1e3:9.3f} ms  {t2 / terms * 1e9:7.3f} ns/term  peak extra {mib(m2)}"
          f"   -> native {t2 / t0:6.1f}x faster, {m2 / max(m0, 1):8.0f}x less memory")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="smaller scaling table")
    parser.add_argument("--plot", metavar="PNG", help="save the scaling table as a log-log plot")
    args = parser.parse_args()
    rng = np.random.default_rng(0)

    x = rng.standard_normal(2048)
    compare("sinc_interp, N = 2048, r = 2", 2048 * 4096,
            (rs.sinc_interp, x, 2), (generic(rs.sinc_interp), x, 2), (matrix_interp, x, 4096))

    out = np.empty(4096)
    y = rng.standard_normal(2048)
    compare("interp, N = 2048, M = 4096", 2048 * 4096,
            (rs.interp, out, None, y), (generic(rs.interp), out, None, y), (matrix_interp, y, 4096))
    y = y + 1j * rng.standard_normal(2048)
    compare("interp, N = 2048, M = 4096, complex samples", 2048 * 4096,
            (rs.interp, out, None, y), (generic(rs.interp), out, None, y), (matrix_interp, y, 4096))

    z = rng.uniform(-50, 50, 10**6)
    t0, m0 = measure(rs.sinc, z, repeat=5)
    t1, m1 = measure(numpy_sinc, z, repeat=5)
    print("\nsinc, 10^6 float64 elements")
    print(f"  native        {t0 * 1e3:9.3f} ms  peak extra {mib(m0)}")
    print(f"  NumPy         {t1 * 1e3:9.3f} ms  peak extra {mib(m1)}   -> native {t1 / t0:6.1f}x faster")

    sizes = [256, 512, 1024, 2048, 4096] + ([] if args.quick else [8192, 16384])
    rows = []
    print("\nscaling, N = M (ms)")
    print(f"  {'N':>6} {'native':>10} {'loop':>10} {'matrix':>10} {'ns/term':>8}")
    for N in sizes:
        s = rng.standard_normal(N)
        t0, _ = measure(rs.sinc_interp, s, 1.0, repeat=2)
        t1 = measure(generic(rs.sinc_interp), s, 1.0, repeat=1)[0] if N <= 4096 else float("nan")
        t2 = measure(matrix_interp, s, N, repeat=1)[0] if N <= 8192 else float("nan")
        rows.append((N, t0, t1, t2))
        print(f"  {N:>6} {t0 * 1e3:10.3f} {t1 * 1e3:10.1f} {t2 * 1e3:10.1f} {t0 / N / N * 1e9:8.3f}")

    if args.plot:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt

        data = np.array(rows)
        plt.loglog(data[:, 0], data[:, 1], "-o", label="native")
        plt.loglog(data[:, 0], data[:, 2], "-s", label="NumPy loop")
        plt.loglog(data[:, 0], data[:, 3], "-^", label="NumPy matrix")
        plt.xlabel("N = M")
        plt.ylabel("time (s)")
        plt.title("sinc_interp")
        plt.grid(True, which="both")
        plt.legend()
        plt.savefig(args.plot)
        print(f"\nplot saved to {args.plot}")


if __name__ == "__main__":
    main()
