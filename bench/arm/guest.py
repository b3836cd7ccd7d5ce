"""The guest half of bench/bench_arm.py: runs inside the emulated ARM Python
(3.9 and NumPy 1.19 on armhf, so nothing newer than those) under qemu with
the instruction-counting plugin of insn_count.c.

    python3 guest.py JOB.json RESULT.json

JOB.json names the workloads and what to measure; every measured call is
bracketed by marks (umask() calls the plugin recognises), and
RESULT.json lists, in order, what each mark stands for.  The host pairs that
list with the plugin's counts.
"""

import json
import os
import struct
import sys
import tempfile

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))  # bench/, for the NumPy routes

import bench_resampler  # noqa: E402  (the plain NumPy routes)
import bench_sarchip  # noqa: E402
import corvane.dsp.resampler as rs  # noqa: E402
from corvane.datasets import sarchip  # noqa: E402

MARK_BASE = 0x7E000000
PROFILE_START = 0xFFF0
PROFILE_STOP = 0xFFF1


class Marks:
    """Numbered marks; `labels` says what each one closes."""

    def __init__(self):
        self.labels = []
        self.umask = os.umask(0)
        os.umask(self.umask)

    def mark(self, label, tag=None):
        if tag is None:
            tag = len(self.labels) % 0xFFF0
        self.labels.append([tag, label])
        os.umask(MARK_BASE | tag << 9 | self.umask)


def _sum_method(method):
    if method:
        os.environ["CORVANE_SINC_SUM"] = method
    else:
        os.environ.pop("CORVANE_SINC_SUM", None)


def _noop(*args):
    return None


def prepare(w, tmp):
    """(call, args, units) for workload w: call(*args) is one measured call;
    units maps a unit name (output, term, element) to its count per call."""
    kind, route = w["kind"], w["route"]
    rng = np.random.default_rng(w.get("seed", 0))
    if kind == "sinc":
        x = rng.uniform(-50, 50, w["n"])
        fn = rs.sinc if route == "corvane" else bench_resampler.numpy_sinc
        return fn, (x,), {"element": w["n"]}
    if kind == "sinc_interp":
        n, r = w["n"], w["r"]
        x = rng.standard_normal(n)
        if w.get("complex"):
            x = x + 1j * rng.standard_normal(n)
        m = int(n * r)
        fn = rs.sinc_interp if route == "corvane" else bench_resampler.generic(rs.sinc_interp)
        return fn, (x, r), {"output": m, "term": n * m}
    if kind == "interp":
        n, m = w["n"], w["m"]
        y = rng.standard_normal(n)
        if w.get("complex"):
            y = y + 1j * rng.standard_normal(n)
        out = np.empty(m)
        fn = rs.interp if route == "corvane" else bench_resampler.generic(rs.interp)
        return fn, (out, None, y), {"output": m, "term": n * m}
    if kind == "sarchip_raw":
        path = os.path.join(tmp, "bench.chip")
        bench_sarchip.write_chip(path, w["size"])
        if route == "corvane":
            fn = sarchip.sarchip_raw
        else:
            proxy = bench_sarchip.forwarding_struct()

            def fn(p, ofmt):
                sarchip.struct = proxy
                try:
                    return sarchip.sarchip_raw(p, ofmt)
                finally:
                    sarchip.struct = struct

        return fn, (path, w["ofmt"]), {"pixel": w["size"] ** 2}
    raise ValueError("unknown workload kind %r" % kind)


def measure(w, marks, tmp, profile):
    """Marks around: the first call, a few warm-up calls, then each repeated
    call, then the same number of calls of a no-op with the same arguments
    (the harness alone)."""
    _sum_method(w.get("sum"))
    fn, args, units = prepare(w, tmp)
    name = w["name"]
    marks.mark([name, "setup"])
    first_profiled = profile and w.get("profile_first")
    if first_profiled:
        marks.mark([name, "profile"], PROFILE_START)
    fn(*args)
    marks.mark([name, "first"])
    if first_profiled:
        marks.mark([name, "profile"], PROFILE_STOP)
        profile = False
    if w.get("first_only"):
        fn(*args)
        marks.mark([name, "second"])
        return units, 1
    calls = w["calls"]
    # a few unmeasured calls more where calls are cheap: the allocator's
    # state takes some calls to settle (about 1% at N = 64)
    for _ in range(w.get("warmup", 3 if calls >= 5 else 0)):
        fn(*args)
    marks.mark([name, "warmup"])
    if profile:
        marks.mark([name, "profile"], PROFILE_START)
    for _ in range(calls):
        fn(*args)
        marks.mark([name, "call"])
    if profile:
        marks.mark([name, "profile"], PROFILE_STOP)
    for _ in range(calls):
        _noop(*args)
        marks.mark([name, "noop"])
    _sum_method(None)
    return units, calls


def main():
    with open(sys.argv[1]) as f:
        job = json.load(f)
    marks = Marks()
    result = {"workloads": [], "python": sys.version.split()[0], "numpy": np.__version__}
    marks.mark(["start", "start"])
    with tempfile.TemporaryDirectory() as tmp:
        for w in job["workloads"]:
            units, calls = measure(w, marks, tmp, job.get("profile", False))
            result["workloads"].append({"name": w["name"], "units": units, "calls": calls})
    if job.get("profile"):
        with open("/proc/self/maps") as f:
            result["maps"] = f.read()
    result["marks"] = marks.labels
    with open(sys.argv[2], "w") as f:
        json.dump(result, f)


if __name__ == "__main__":
    main()
