#!/usr/bin/env python3
"""Time and memory of sarchip_raw: native decoding against the generic route.

    python bench/bench_sarchip.py [SIZE] [--repeat N]

Reads one SIZE x SIZE chip (default 256) in the layouts 'c', 'ap' and 'r',
once as the module normally runs and once with the module's ``struct``
rebound to a forwarding proxy, which makes every call take the generic route
(struct.unpack_from into a tuple of floats, then np.array). Prints the best
time of each, their ratio and the peak memory each call allocates on top of
what was live before it (tracemalloc; NumPy reports its array buffers to it),
next to the budget of the native route: the result plus the data block once,
and the minor page faults of a native call.

The whole measurement runs twice and the second pass is shown, as the steady
state of a process that reads many chips: in a fresh process glibc serves
blocks above its mmap threshold (128 KiB at start) with fresh pages that it
unmaps again on free, until it has raised that threshold, so the first calls
map their result and the bytes read afresh; on a virtual machine those page
faults cost more than the decoding itself (--cold shows the first pass).
"""

import argparse
import os
import struct
import sys
import tempfile
import timeit
import tracemalloc
import types

import numpy as np

from corvane.datasets import sarchip

RATIO_TARGET = {"c": 30.0, "ap": 30.0}
SLACK = 64 * 1024  # the small objects of a call: file object, line buffers, tuples


def write_chip(path, size, seed=0):
    rng = np.random.default_rng(seed)
    mag = (rng.random((size, size)) + 0.01).astype(">f4")
    pha = ((rng.random((size, size)) * 2 - 1) * np.pi).astype(">f4")

    def header(offset):
        lines = ["[PhoenixHeaderVer01.05]", "FileName= bench", f"HeaderLength= {offset}"]
        lines += [f"Filler{i}= {i}" for i in range(9)]
        lines += [f"NumberOfColumns= {size}", f"NumberOfRows= {size}", "[EndofPhoenixHeader]"]
        return "".join(line + "\n" for line in lines).encode()

    n = 0
    while len(header(n)) != n:
        n = len(header(n))
    with open(path, "wb") as f:
        f.write(header(n) + mag.tobytes() + pha.tobytes())
    return 8 * size * size


def forwarding_struct():
    proxy = types.ModuleType("struct_proxy")
    proxy.unpack_from = lambda *a: struct.unpack_from(*a)
    proxy.error = struct.error
    return proxy


def best_time(call, repeat):
    number = max(1, int(0.2 / max(timeit.timeit(call, number=1), 1e-6)))
    return min(timeit.repeat(call, number=number, repeat=repeat)) / number


def faults_per_call(call, n=20):
    """Minor page faults per call: fresh pages the kernel had to map and zero."""
    try:
        import resource
    except ImportError:
        return float("nan")
    before = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
    for _ in range(n):
        call()
    return (resource.getrusage(resource.RUSAGE_SELF).ru_minflt - before) / n


def peak_memory(call):
    tracemalloc.start()
    try:
        tracemalloc.reset_peak()
        before = tracemalloc.get_traced_memory()[0]
        result = call()
        peak = tracemalloc.get_traced_memory()[1] - before
    finally:
        tracemalloc.stop()
    return peak, result


def measure_all(path, block, proxy, repeat):
    """(ofmt, native s, generic s, native peak, generic peak, budget, faults) per layout."""
    rows = []
    for ofmt in ("c", "ap", "r"):
        def call():
            return sarchip.sarchip_raw(path, ofmt)

        native = best_time(call, repeat)
        native_peak, result = peak_memory(call)
        faults = faults_per_call(call)
        sarchip.struct = proxy
        try:
            generic = best_time(call, repeat)
            generic_peak, generic_result = peak_memory(call)
        finally:
            sarchip.struct = struct
        assert result.shape == generic_result.shape and result.dtype == generic_result.dtype
        rows.append((ofmt, native, generic, native_peak, generic_peak, result.nbytes + block, faults))
    return rows


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("size", nargs="?", type=int, default=256)
    parser.add_argument("--repeat", type=int, default=7)
    parser.add_argument("--cold", action="store_true", help="show the first pass (no warm-up)")
    args = parser.parse_args()

    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "bench.chip")
        block = write_chip(path, args.size)
        print(f"chip {args.size} x {args.size}, data block {block / 2**20:.2f} MiB, "
              f"NumPy {np.__version__}, Python {sys.version.split()[0]}")
        print(f"{'ofmt':5} {'native ms':>10} {'generic ms':>11} {'ratio':>7}   "
              f"{'native peak':>11} {'generic peak':>12} {'budget':>8} (KiB) {'faults':>7}")
        proxy = forwarding_struct()
        if not args.cold:
            measure_all(path, block, proxy, args.repeat)  # the warm-up pass, not shown
        rows = measure_all(path, block, proxy, args.repeat)
        failed = False
        for ofmt, native, generic, native_peak, generic_peak, budget, faults in rows:
            ratio = generic / native
            ok = ratio >= RATIO_TARGET.get(ofmt, 0) and native_peak <= budget + SLACK
            failed |= not ok
            print(f"{ofmt:5} {native * 1e3:10.3f} {generic * 1e3:11.3f} {ratio:6.1f}x   "
                  f"{native_peak / 1024:11.1f} {generic_peak / 1024:12.1f} {budget / 1024:8.1f} {faults:13.0f}"
                  f"  {'ok' if ok else 'BELOW TARGET'}")
        print("targets: ratio >= 30x for 'c' and 'ap'; native peak <= result + data block (+64 KiB)")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
