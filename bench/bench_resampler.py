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
import os
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
    parser.add_argument("--quick", action="store_true", help="smaller scaling table (N up to 2^14)")
    parser.add_argument("--max-log2", type=int, default=20, help="largest N of the scaling table, as log2")
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

    scaling(args, rng)


def set_method(name):
    """The kernel's testing hook: force the direct or the hierarchical sum
    (None: the size rule)."""
    if name is None:
        os.environ.pop("CORVANE_SINC_SUM", None)
    else:
        os.environ["CORVANE_SINC_SUM"] = name


def peak_extra(fn, *args):
    """(result, peak resident memory above the level before the call, bytes).
    Linux: the kernel's own allocations count too (tracemalloc sees only
    Python's); elsewhere falls back to tracemalloc."""
    try:
        _trim()  # hand freed heap back, so that the call's pages are new ones
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")  # resets the peak (VmHWM) to the current RSS
        before = _status("VmRSS")
        result = fn(*args)
        return result, max(_status("VmHWM") - before, 0)
    except OSError:
        tracemalloc.start()
        base = tracemalloc.get_traced_memory()[0]
        result = fn(*args)
        peak = tracemalloc.get_traced_memory()[1] - base
        tracemalloc.stop()
        return result, peak


def _trim():
    try:
        import ctypes

        ctypes.CDLL("libc.so.6").malloc_trim(0)
    except (OSError, AttributeError):
        pass


def _status(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    raise OSError(field)


def timed(fn, *args, repeat, cpu=None):
    """Best wall time of `repeat` runs (and, into the list `cpu`, the best
    CPU time of this thread: the kernels run on it, so that is the work
    itself, free of the waits a shared machine adds; then the wall time of
    the first run, which pays for fresh memory pages the later runs reuse)."""
    best, best_cpu, first, result = float("inf"), float("inf"), None, None
    for _ in range(repeat):
        t, c = time.perf_counter(), time.thread_time()
        result = fn(*args)
        wall = time.perf_counter() - t
        first = wall if first is None else first
        best = min(best, wall)
        best_cpu = min(best_cpu, time.thread_time() - c)
    if cpu is not None:
        cpu += [best_cpu, first]
    return best, result


def scaling(args, rng):
    """Hierarchical sum, direct sum and the NumPy loop, N = M and M = 2N.

    Times are the best of several runs (the machine is shared; "cpu" is the
    calling thread's CPU time, which such sharing does not inflate); the direct
    sum runs while it takes under about 20 s, the NumPy loop for N <= 16384.
    Errors are max |difference| / (1e-12 * sum|s|)."""
    top = 14 if args.quick else args.max_log2
    rows = []
    print("\nscaling, real samples; ns per output sample; error in units of 1e-12 * sum|s|")
    print(f"  {'N':>8} {'M':>8} {'tree ns':>10} {'(cpu)':>7} {'direct ns':>10} {'loop ns':>11} {'speed-up':>9} "
          f"{'tree mem':>10} {'direct mem':>11} {'err/direct':>10} {'err/loop':>9}")
    for ratio in (1, 2):
        for e in range(8, top + 1):
            N = 2**e
            M = ratio * N
            s = rng.standard_normal(N)
            budget = 1e-12 * np.sum(np.abs(s))
            set_method("tree")
            reps = 7 if N <= 2**16 else 5
            cpu = []
            t_tree, y_tree = timed(rs.sinc_interp, s, ratio, repeat=reps, cpu=cpu)
            _, m_tree = peak_extra(rs.sinc_interp, s, ratio)
            t_dir = m_dir = err_dir = float("nan")
            if N * M <= 2**36:
                set_method("direct")
                t_dir, y_dir = timed(rs.sinc_interp, s, ratio, repeat=3 if N * M <= 2**28 else 1)
                _, m_dir = peak_extra(rs.sinc_interp, s, ratio) if N * M <= 2**30 else (None, float("nan"))
                err_dir = np.max(np.abs(y_tree[0] - y_dir[0])) / budget
            set_method(None)
            t_loop = err_loop = float("nan")
            if N <= 16384:
                t_loop, y_loop = timed(generic(rs.sinc_interp), s, ratio, repeat=1)
                err_loop = np.max(np.abs(y_tree[0] - y_loop[0])) / budget
            rows.append((ratio, N, M, t_tree, t_dir, t_loop, m_tree, m_dir, err_dir, err_loop, cpu))
            print(f"  {N:>8} {M:>8} {t_tree / M * 1e9:10.1f} {cpu[0] / M * 1e9:7.1f} {t_dir / M * 1e9:10.1f} {t_loop / M * 1e9:11.0f} "
                  f"{t_dir / t_tree:9.1f} {m_tree / 2**20:8.1f}Mi {m_dir / 2**20:9.1f}Mi "
                  f"{err_dir:10.2e} {err_loop:9.2e}", flush=True)
    set_method(None)
    print("\nr = 2, real samples:")
    for ratio, N, M, t_tree, t_dir, *rest in rows:
        if ratio == 2 and N in (2**11, 2**16) and t_dir == t_dir:
            print(f"  N = {N}: hierarchical {t_dir / t_tree:.1f}x faster than direct")
        if ratio == 2 and N == 2**20:
            cpu, first = rest[-1]
            print(f"  N = 2^20: {t_tree * 1e3:.0f} ms wall, {cpu * 1e3:.0f} ms CPU "
                  f"(first of the runs: {first * 1e3:.0f} ms)")

    if args.plot:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt

        fig, axes = plt.subplots(1, 2, figsize=(11, 4.5), sharey=True)
        for ax, ratio in zip(axes, (1, 2)):
            data = np.array([r[1:6] + (r[10][0],) for r in rows if r[0] == ratio])
            ax.loglog(data[:, 0], data[:, 2], "-o", label="hierarchical")
            ax.loglog(data[:, 0], data[:, 5], ":", color="C0", label="hierarchical, CPU time")
            ax.loglog(data[:, 0], data[:, 3], "-s", label="direct kernel")
            ax.loglog(data[:, 0], data[:, 4], "-^", label="NumPy loop")
            ax.set_xlabel("N")
            ax.set_title(f"sinc_interp, M = {ratio}N" if ratio > 1 else "sinc_interp, M = N")
            ax.grid(True, which="both")
        axes[0].set_ylabel("time (s)")
        axes[0].legend()
        fig.tight_layout()
        fig.savefig(args.plot)
        print(f"\nplot saved to {args.plot}")


if __name__ == "__main__":
    main()
