#!/usr/bin/env python3
"""Instructions per call on 32-bit and 64-bit ARM, counted under qemu.

    python bench/bench_arm.py [--arch armhf|aarch64|both] [--only NAME ...] [--twice]
    python bench/bench_arm.py --profile WORKLOAD [--route numpy|corvane] [--annotate DIR]
    python bench/bench_arm.py --crossover
    python bench/bench_arm.py --first-call

Runs the workloads in the ARM root filesystems that tools/check-armhf (Debian
bullseye armhf: Python 3.9, NumPy 1.19) and tools/check-aarch64 (Debian 12
arm64: Python 3.11, NumPy 1.24) leave behind, with the modules they built,
under qemu user-mode emulation as a Cortex-A7 (armhf) and a Cortex-A53
(aarch64).  A qemu plugin of ours (bench/arm/insn_count.c, compiled here with
the host's C compiler) counts the guest instructions executed, and the guest
(bench/arm/guest.py) marks each measured call.  The figures are instruction
counts, not times: timing under emulation means nothing, while the count of
an in-order core like the A7 follows its run time closely.

A workload's figure is the mean count of its calls after a first one
(and, where calls are cheap, three more unmeasured ones), minus the mean count of the same number of calls of a no-op through the
same harness; set-up (imports, inputs, the first call) is never counted.
Counts are deterministic for the same binaries and inputs (PYTHONHASHSEED
is fixed, the guest runs one thread): --twice runs everything twice and
shows that.

The NumPy route is the one bench/bench_resampler.py and
bench/bench_sarchip.py time on x86-64: the module's own generic route (NumPy
behind a stand-in) for the interpolators, NumPy's expression for sinc, and
the struct-proxy route for sarchip_raw.

--profile counts per translated block, maps the blocks to functions through
the guest's memory map and the objects' symbols (the cross binutils:
arm-linux-gnueabihf-* / aarch64-linux-gnu-*), and with source lines where our
modules carry debug information.  --crossover counts the forced direct and
hierarchical sums around the size rule's crossover; --first-call counts the
first call of a fresh process against the second.

Needs: qemu-user (the dynamically linked qemu-arm/qemu-aarch64; the static
ones of qemu-user-static load no plugins), a C compiler, and for --profile
binutils-arm-linux-gnueabihf / binutils-aarch64-linux-gnu.
"""

import argparse
import atexit
import bisect
import collections
import concurrent.futures
import hashlib
import json
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
PLUGIN_SOURCE = os.path.join(HERE, "arm", "insn_count.c")
GUEST = os.path.join(HERE, "arm", "guest.py")
PROFILE_START, PROFILE_STOP = 0xFFF0, 0xFFF1


class Arch:
    """One guest architecture: its qemu, CPU, binutils prefix, root filesystem
    and built package (`python` and `package` set only when the interpreter
    and an installed corvane are to be used as they are)."""

    def __init__(self, name, qemu, cpu, triplet, cache, cache_env=None, python=None, package=None):
        self.name, self.qemu, self.cpu, self.triplet = name, qemu, cpu, triplet
        cache = os.environ.get(cache_env, cache) if cache_env else cache
        self.rootfs = os.path.join(cache, "rootfs")
        self.stage = os.path.join(cache, "stage")
        self.python, self.package = python, package

    def tool(self, name):
        return "%s-%s" % (self.triplet, name)

    def libdirs(self):
        """Guest library folders for LD_LIBRARY_PATH: with -L the guest's
        absolute symlinks (the BLAS/LAPACK alternatives) resolve on the host."""
        base = "/usr/lib/" + self.triplet
        return [base] + [base + "/" + d for d in ("blas", "lapack", "openblas-pthread")
                         if os.path.isdir(os.path.join(self.rootfs, base.lstrip("/"), d))]


ARCHES = {
    "armhf": Arch("armhf", "qemu-arm", "cortex-a7", "arm-linux-gnueabihf",
                  "/var/cache/corvane-armhf", "CORVANE_ARMHF_CACHE"),
    "aarch64": Arch("aarch64", "qemu-aarch64", "cortex-a53", "aarch64-linux-gnu",
                    "/var/cache/corvane-aarch64", "CORVANE_AARCH64_CACHE"),
}


# ---------------------------------------------------------------- workloads
def _w(name, kind, numpy_calls, corvane_calls, **params):
    """A workload: `numpy_calls`/`corvane_calls` repeated calls per route
    (0: that route is not run, e.g. a NumPy route taking hours under qemu)."""
    return dict(name=name, kind=kind, calls={"numpy": numpy_calls, "corvane": corvane_calls}, **params)


WORKLOADS = [
    _w("sinc 1e5", "sinc", 3, 5, n=10**5),
    _w("sinc_interp N=64 r=2", "sinc_interp", 3, 20, n=64, r=2),
    _w("sinc_interp N=256 r=2", "sinc_interp", 2, 10, n=256, r=2),
    _w("sinc_interp N=2048 r=2", "sinc_interp", 1, 3, n=2048, r=2),
    _w("sinc_interp N=2048 r=2 complex", "sinc_interp", 0, 3, n=2048, r=2, complex=True),
    _w("sinc_interp N=16384 r=2", "sinc_interp", 0, 2, n=16384, r=2),
    _w("sinc_interp N=65536 r=2", "sinc_interp", 0, 1, n=65536, r=2),
    _w("interp N=2048 M=4096", "interp", 1, 3, n=2048, m=4096),
    _w("interp N=2048 M=4096 complex", "interp", 1, 3, n=2048, m=4096, complex=True),
    _w("sarchip_raw 256 c", "sarchip_raw", 2, 5, size=256, ofmt="c"),
    _w("sarchip_raw 256 ap", "sarchip_raw", 2, 5, size=256, ofmt="ap"),
    _w("sarchip_raw 256 r", "sarchip_raw", 2, 5, size=256, ofmt="r"),
]
BY_NAME = {w["name"]: w for w in WORKLOADS}


def workload(name):
    """A workload by name, or one written out: 'sinc_interp N=4096 r=1/3 sum=direct'."""
    if name in BY_NAME:
        return dict(BY_NAME[name])
    words = name.split()
    kinds = {"sinc": "n", "sinc_interp": "n", "interp": "n", "sarchip_raw": "size"}
    if not words or words[0] not in kinds:
        raise ValueError("unknown workload %r (known: %s)" % (name, ", ".join(BY_NAME)))
    w = dict(name=name, kind=words[0], calls={"numpy": 1, "corvane": 3})
    for word in words[1:]:
        key, eq, value = word.partition("=")
        if not eq:
            if word == "complex":
                w["complex"] = True
                continue
            if words[0] == "sarchip_raw":
                w["ofmt"] = word
                continue
            raise ValueError("bad workload word %r in %r" % (word, name))
        key = {"N": "n", "M": "m"}.get(key, key)
        if key == "sum":
            w["sum"] = value
        elif key == "r":
            num, _, den = value.partition("/")
            w["r"] = float(num) / float(den or 1)
        elif key in ("n", "m", "size", "seed"):
            w[key] = int(float(value))
        elif key == "calls":
            w["calls"] = {"numpy": int(value), "corvane": int(value)}
        else:
            raise ValueError("bad workload word %r in %r" % (word, name))
    return w


# ---------------------------------------------------------------- counting
def build_plugin(cache_dir):
    """The plugin, compiled with the host's C compiler once per source version."""
    with open(PLUGIN_SOURCE, "rb") as f:
        digest = hashlib.sha256(f.read()).hexdigest()[:16]
    so = os.path.join(cache_dir, "insn_count-%s.so" % digest)
    if not os.path.exists(so):
        os.makedirs(cache_dir, exist_ok=True)
        cc = os.environ.get("CC") or shutil.which("cc") or shutil.which("gcc")
        if not cc:
            raise SystemExit("bench_arm: needs a C compiler for the qemu plugin")
        tmp = so + ".tmp%d" % os.getpid()
        subprocess.run([cc, "-shared", "-fPIC", "-O2", "-fvisibility=hidden", "-Wall", "-Wextra",
                        "-o", tmp, PLUGIN_SOURCE, "-lpthread"], check=True)
        os.replace(tmp, so)
    return so


def parse_marks(text):
    """(target, [(tag, count), ...], profiles, exit count) of a plugin output.

    profiles has one entry per profile window (in order): the blocks that ran
    in it, as [(start, end, instructions, executions)], one per extent (a
    block translated again with the same extent is merged)."""
    target, marks, profiles, exit_count = None, [], [], None
    window = None
    for line in text.splitlines():
        f = line.split()
        if not f:
            continue
        if f[0] == "mark":
            marks.append((int(f[1]), int(f[2])))
            if window is not None:
                profiles.append([(a, b, n, e) for (a, b, n), e in sorted(window.items())])
                window = None
        elif f[0] == "tb":
            if window is None:
                window = collections.Counter()
            start, end, n, execs = int(f[1], 16), int(f[2], 16), int(f[3]), int(f[4])
            window[(start, end, n)] += execs
        elif f[0] == "target":
            target = f[1]
        elif f[0] == "exit":
            exit_count = int(f[1])
    if window is not None:
        profiles.append([(a, b, n, e) for (a, b, n), e in sorted(window.items())])
    return target, marks, profiles, exit_count


Measured = collections.namedtuple("Measured", "first calls noops units")


def pair_marks(labels, marks):
    """{workload name: Measured} from the guest's labels and the plugin's marks.

    Each mark closes what its label names; the instructions it closes are the
    count at it minus the count at the mark before.  The tags must match one
    for one, or the run lost a mark (the guest died, or a mark was not seen)."""
    if len(labels) != len(marks) or any(t != m[0] for (t, _), m in zip(labels, marks)):
        raise RuntimeError("the guest's marks and the plugin's do not match (%d labels, %d marks)"
                           % (len(labels), len(marks)))
    out = collections.OrderedDict()
    for i in range(1, len(marks)):
        (name, what), spent = labels[i][1], marks[i][1] - marks[i - 1][1]
        m = out.setdefault(name, {"first": None, "second": None, "call": [], "noop": []})
        if what in ("first", "second"):
            m[what] = spent
        elif what in ("call", "noop"):
            m[what].append(spent)
    return {k: Measured(v["first"], v["call"] or ([v["second"]] if v["second"] is not None else []),
                        v["noop"], None)
            for k, v in out.items() if k != "start"}


def per_call(m):
    """Mean instructions of a call, the harness's own share subtracted."""
    if not m.calls:
        return None
    noop = statistics.mean(m.noops) if m.noops else 0.0
    return statistics.mean(m.calls) - noop


class Runner:
    def __init__(self, args):
        self.args = args
        self.cache = args.cache
        self.plugin = build_plugin(os.path.join(self.cache, "plugin"))
        self._packages = {}
        self._lock = threading.Lock()
        self.work = tempfile.mkdtemp(prefix="run-", dir=self.cache)
        atexit.register(shutil.rmtree, self.work, True)

    def package(self, arch):
        """A package folder for the guest: src/corvane with the stage's built modules."""
        if arch.package:
            return arch.package
        with self._lock:
            if arch.name not in self._packages:
                self._packages[arch.name] = self._assemble(arch)
            return self._packages[arch.name]

    def _assemble(self, arch):
        stage = getattr(self.args, arch.name + "_stage", None) or arch.stage
        built = os.path.join(stage, "corvane")
        if not os.path.isdir(built):
            raise SystemExit("bench_arm: no built package at %s (run tools/check-%s --build-only, or give --%s-stage)"
                             % (built, arch.name, arch.name))
        dest = os.path.join(self.work, "pkg-" + arch.name)
        shutil.copytree(os.path.join(ROOT, "src", "corvane"), os.path.join(dest, "corvane"),
                        ignore=shutil.ignore_patterns("*.so", "__pycache__"))
        for dirpath, _, files in os.walk(built):
            for f in files:
                rel = os.path.relpath(os.path.join(dirpath, f), stage)
                os.makedirs(os.path.dirname(os.path.join(dest, rel)), exist_ok=True)
                shutil.copy2(os.path.join(dirpath, f), os.path.join(dest, rel))
        return dest

    def rootfs(self, arch):
        return getattr(self.args, arch.name + "_rootfs", None) or arch.rootfs

    def python(self, arch):
        if arch.python:
            return arch.python
        rootfs = self.rootfs(arch)
        for name in ("python3",):
            p = os.path.join(rootfs, "usr", "bin", name)
            if os.path.exists(p):
                # the versioned file itself: the guest's paths resolve through -L
                return os.path.join(rootfs, "usr", "bin", os.path.basename(os.path.realpath(p)))
        raise SystemExit("bench_arm: no python3 in %s (run tools/check-%s, or give --%s-rootfs)"
                         % (rootfs, arch.name, arch.name))

    def run(self, arch, workloads, route, profile=False):
        """Runs the workloads in one guest process: (result, marks, profiles, exit count)."""
        qemu = shutil.which(arch.qemu)
        if not qemu:
            raise SystemExit("bench_arm: %s not found (apt-get install qemu-user)" % arch.qemu)
        job_ws = []
        for w in workloads:
            w = dict(w, route=route, calls=w["calls"][route])
            job_ws.append(w)
        with tempfile.TemporaryDirectory(dir=self.work) as tmp:
            job, result, marks = (os.path.join(tmp, n) for n in ("job.json", "result.json", "marks.txt"))
            with open(job, "w") as f:
                json.dump({"workloads": job_ws, "profile": profile}, f)
            env = {
                "PATH": "/usr/bin:/bin", "HOME": tmp, "LANG": "C.UTF-8", "LC_ALL": "C.UTF-8",
                "TMPDIR": tmp, "PYTHONHASHSEED": "0", "PYTHONDONTWRITEBYTECODE": "1",
                "PYTHONNOUSERSITE": "1", "PYTHONPATH": self.package(arch),
                "LD_LIBRARY_PATH": ":".join(arch.libdirs()),
                "OPENBLAS_NUM_THREADS": "1", "OMP_NUM_THREADS": "1",
            }
            plugin = "%s,out=%s%s" % (self.plugin, marks, ",profile=on" if profile else "")
            cmd = [qemu, "-cpu", self.args.cpu or arch.cpu, "-L", self.rootfs(arch), "-plugin", plugin,
                   self.python(arch), GUEST, job, result]
            proc = subprocess.run(cmd, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
            if proc.returncode != 0 or not os.path.exists(result):
                raise RuntimeError("guest run failed (%s, %s, exit %d):\n%s"
                                   % (arch.name, [w["name"] for w in workloads], proc.returncode,
                                      proc.stdout[-4000:]))
            with open(result) as f:
                res = json.load(f)
            with open(marks) as f:
                target, mk, profiles, exit_count = parse_marks(f.read())
        return res, mk, profiles, exit_count

    def count(self, arch, ws, route):
        """{name: (per call, Measured)} for workloads run one after another in one guest process."""
        res, mk, _, _ = self.run(arch, ws, route)
        measured = pair_marks(res["marks"], mk)
        units = {x["name"]: x["units"] for x in res["workloads"]}
        return {k: (per_call(m), m._replace(units=units[k])) for k, m in measured.items()}

    def count_one(self, arch, w, route):
        """(per call, Measured) of one workload in a process of its own."""
        return self.count(arch, [w], route)[w["name"]]


def parallel(jobs, fn, n):
    """fn(*job) for every job, n at a time (each is a qemu process), in order."""
    with concurrent.futures.ThreadPoolExecutor(max_workers=max(1, n)) as ex:
        return list(ex.map(lambda j: fn(*j), jobs))


def fmt_count(x):
    if x is None:
        return ""
    if abs(x) >= 1e6:
        return "%.2f M" % (x / 1e6)
    if abs(x) >= 1e4:
        return "%.1f k" % (x / 1e3)
    return "%.0f" % x


def spread(m):
    """Largest relative distance of one call from the mean (stability of the per-call figure)."""
    if len(m.calls) < 2:
        return 0.0
    mean = statistics.mean(m.calls)
    return max(abs(c - mean) for c in m.calls) / mean


# ---------------------------------------------------------------- the table
def cmd_table(runner, arches, args):
    names = args.only or [w["name"] for w in WORKLOADS]
    ws = [workload(n) for n in names]
    jobs = [(arch, w, route) for arch in arches for w in ws for route in ("numpy", "corvane")
            if w["calls"][route]]
    passes = 2 if args.twice else 1
    results = [parallel(jobs, runner.count_one, args.jobs)
               for _ in range(passes)]
    if args.twice:
        same = all(a[1].calls == b[1].calls and a[1].noops == b[1].noops and a[1].first == b[1].first
                   for a, b in zip(*results))
        print("two runs, instruction counts of every call %s" % ("identical" if same else "DIFFER"))
        for (arch, w, route), a, b in zip(jobs, *results):
            if a[1].calls != b[1].calls or a[1].first != b[1].first:
                print("  differs: %s %s %s: %s / %s" % (arch.name, w["name"], route, a[1].calls, b[1].calls))
    got = {(j[0].name, j[1]["name"], j[2]): r for j, r in zip(jobs, results[0])}
    report = {}
    for arch in arches:
        print("\n%s, emulated %s: guest instructions per call (counts, not times)"
              % (arch.name, args.cpu or arch.cpu))
        print("  %-34s %12s %12s %8s  %-22s %s" % ("workload", "NumPy route", "corvane", "ratio",
                                                  "corvane per unit", "calls (spread)"))
        for w in ws:
            n = got.get((arch.name, w["name"], "numpy"))
            c = got.get((arch.name, w["name"], "corvane"))
            ratio = n[0] / c[0] if n and c and c[0] > 0 else None
            unit = ""
            if c:
                kind = "output" if "output" in c[1].units else next(iter(c[1].units))
                unit = "%s per %s" % (fmt_count(c[0] / c[1].units[kind]), kind)
            note = " ".join("%s %d (%.2g%%)" % (r, len(x[1].calls), 100 * spread(x[1]))
                            for r, x in (("numpy", n), ("corvane", c)) if x)
            print("  %-34s %12s %12s %8s  %-22s %s" % (w["name"], fmt_count(n and n[0]), fmt_count(c and c[0]),
                                                      "%.1fx" % ratio if ratio else "", unit, note))
            report.setdefault(arch.name, {})[w["name"]] = {
                "numpy": n and n[0], "corvane": c and c[0], "ratio": ratio,
                "first_corvane": c and c[1].first, "units": c and c[1].units}
    print("\nPer call: mean over the calls after a first one, less the same harness calling a no-op.")
    return report


# ---------------------------------------------------------------- crossover
def crossover_workloads():
    """Forced direct and hierarchical sums for N*M = 2^11 ... 2^17, r = 1, 2, 1/3."""
    out = []
    for rname, r in (("1", 1.0), ("2", 2.0), ("1/3", 1 / 3)):
        for e in range(11, 18):
            n = max(1, int(round((2**e / r) ** 0.5)))
            for method in ("direct", "tree"):
                w = workload("sinc_interp N=%d r=%s sum=%s" % (n, rname, method))
                w["calls"] = {"numpy": 0, "corvane": 5 if e < 15 else 3}
                out.append(w)
    return out


def in_module(blocks, maps_text):
    """Instructions of the blocks that lie in our extension modules."""
    _, per_obj = attribute(blocks, maps_text, None)
    return sum(v for path, v in per_obj.items() if "/corvane/" in path and path.endswith(".so"))


def cmd_crossover(runner, arches, args):
    ws = crossover_workloads()
    chunk_terms = {"armhf": 1 << 20, "aarch64": 1 << 22}  # kSumChunkTerms in kernels/sinc_sum.hpp
    sinc_chunks = {"armhf": 1 << 18, "aarch64": 1 << 19}  # kSincChunk in kernels/sinc.hpp
    report = {}
    for arch in arches:
        # one guest process per ratio (a process costs seconds of start-up
        # under emulation), profiled so that the modules' own share is known
        groups = collections.OrderedDict()
        for w in ws:
            groups.setdefault(w["r"], []).append(w)

        def run_group(g):
            res, mk, profiles, _ = runner.run(arch, g, "corvane", profile=True)
            measured = pair_marks(res["marks"], mk)
            units = {x["name"]: x["units"] for x in res["workloads"]}
            return {w["name"]: (per_call(measured[w["name"]]), in_module(blocks, res["maps"]) / w["calls"]["corvane"],
                                units[w["name"]])
                    for w, blocks in zip(g, profiles)}

        by = {}
        for part in parallel([(g,) for g in groups.values()], run_group, args.jobs):
            by.update(part)
        print("\n%s, emulated %s: forced direct and hierarchical sums, instructions per call"
              % (arch.name, args.cpu or arch.cpu))
        print("  (whole call, and in our module alone: the Python wrapper's NumPy calls are the same for both)")
        print("  %4s %7s %5s %5s %11s %11s %7s %11s %11s %7s %9s %9s" % (
            "r", "N*M", "N", "M", "direct", "tree", "ratio", "direct mod", "tree mod", "ratio", "dir/term",
            "tree/out"))
        rows = []
        for w in ws:
            if w["sum"] != "direct":
                continue
            d = by[w["name"]]
            t = by[w["name"].replace("sum=direct", "sum=tree")]
            units = d[2]
            rname = w["name"].split("r=")[1].split()[0]
            rows.append(dict(r=rname, n=w["n"], m=units["output"], terms=units["term"], direct=d[0], tree=t[0],
                             direct_module=d[1], tree_module=t[1]))
            print("  %4s %7d %5d %5d %11s %11s %7.2f %11s %11s %7.2f %9.2f %9.0f" % (
                rname, units["term"], w["n"], units["output"], fmt_count(d[0]), fmt_count(t[0]), d[0] / t[0],
                fmt_count(d[1]), fmt_count(t[1]), d[1] / t[1], d[1] / units["term"], t[1] / units["output"]))
        report[arch.name] = rows
        big = [x for x in rows if x["terms"] >= 2**15]
        term = statistics.median(x["direct_module"] / x["terms"] for x in big)
        print("  direct sum in the module, median over N*M >= 2^15: %.2f instructions per term" % term)
        print("  kSumChunkTerms = 2^%d terms: about %s instructions of direct sum between Ctrl-C checks"
              % (chunk_terms[arch.name].bit_length() - 1, fmt_count(chunk_terms[arch.name] * term)))
        s = runner.count_one(arch, workload("sinc n=100000 calls=3"), "corvane")
        per_elem = s[0] / 1e5
        sinc_chunk = sinc_chunks[arch.name]
        print("  sinc: %.1f instructions per element: kSincChunk = 2^%d elements is about %s instructions"
              % (per_elem, sinc_chunk.bit_length() - 1, fmt_count(per_elem * sinc_chunk)))
    return report


# ---------------------------------------------------------------- first call
def cmd_first_call(runner, arches, args):
    report = {}
    cases = ["sinc_interp N=64 r=2 sum=tree", "sinc_interp N=64 r=2 sum=direct",
             "sinc_interp N=2048 r=2 sum=tree", "sinc_interp N=16384 r=2", "sinc 1e5"]
    for arch in arches:
        print("\n%s, emulated %s: the first call of a fresh process against the second" % (arch.name, args.cpu or arch.cpu))
        print("  %-36s %12s %12s %12s" % ("workload", "first", "second", "extra"))
        jobs = []
        for name in cases:
            w = workload(name)
            w["first_only"] = True
            w["calls"] = {"numpy": 0, "corvane": 1}
            jobs.append((arch, w, "corvane"))
        res = parallel(jobs, runner.count_one, args.jobs)
        for (_, w, _), (_, m) in zip(jobs, res):
            print("  %-36s %12s %12s %12s" % (w["name"], fmt_count(m.first), fmt_count(m.calls[0]),
                                              fmt_count(m.first - m.calls[0])))
            report.setdefault(arch.name, {})[w["name"]] = {"first": m.first, "second": m.calls[0]}
    return report


# ---------------------------------------------------------------- profile
def parse_maps(text):
    """[(start, end, offset, path)] of the mappings of files, in address order.
    (qemu-user's guest map shows code as not executable: the host never runs
    it, so the protection cannot tell code from data.)"""
    out = []
    for line in text.splitlines():
        f = line.split(None, 5)
        if len(f) < 6 or not f[5].startswith("/"):
            continue
        start, end = (int(x, 16) for x in f[0].split("-"))
        out.append((start, end, int(f[2], 16), f[5].strip()))
    return sorted(out)


def load_bases(text):
    """{path: load base}: the start of each file's mapping at offset 0 (the
    objects' first segment starts at address 0, as shared objects' do)."""
    bases = {}
    for line in text.splitlines():
        f = line.split(None, 5)
        if len(f) == 6 and f[5].startswith("/") and int(f[2], 16) == 0:
            start = int(f[0].split("-")[0], 16)
            bases[f[5].strip()] = min(start, bases.get(f[5].strip(), start))
    return bases


class Symbols:
    """Function symbols of one object: address -> name (nearest symbol at or below)."""

    def __init__(self, entries, exported_only=False):
        entries = sorted(entries)
        self.addrs = [a for a, _, _ in entries]
        self.entries = entries
        self.exported_only = exported_only

    @classmethod
    def of(cls, path, arch):
        entries, exported_only = [], False
        for flags in (["--defined-only"], ["-D", "--defined-only"]):
            p = subprocess.run([arch.tool("nm"), "-C", "-S", "-n", *flags, path],
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
            for line in p.stdout.splitlines():
                m = re.match(r"([0-9a-f]+) (?:([0-9a-f]+) )?([tTwWiI]) (.*)", line)
                if m:
                    addr = int(m.group(1), 16)
                    if arch.name == "armhf":
                        addr &= ~1  # Thumb functions have bit 0 set
                    entries.append((addr, int(m.group(2) or "0", 16), m.group(4)))
            if entries:
                exported_only = flags[0] == "-D"
                break
        return cls(entries, exported_only)

    def lookup(self, addr):
        i = bisect.bisect_right(self.addrs, addr) - 1
        if i < 0:
            return None, None
        a, size, name = self.entries[i]
        if size and addr >= a + size and not self.exported_only:
            return None, None
        return a, name


def attribute(blocks, maps_text, symbols_of):
    """{(object, function): instructions} and {object: instructions} for the profile's blocks.

    symbols_of(path) gives that object's Symbols; blocks outside any file
    mapping (qemu's signal trampolines, generated code) go to '?'."""
    maps = parse_maps(maps_text)
    bases = load_bases(maps_text)
    starts = [m[0] for m in maps]
    per_fn = collections.Counter()
    for start, end, n, execs in blocks:
        i = bisect.bisect_right(starts, start) - 1
        if i < 0 or start >= maps[i][1]:
            per_fn[("?", "?")] += n * execs
            continue
        path = maps[i][3]
        rel = start - bases.get(path, maps[i][0] - maps[i][2])
        _, name = symbols_of(path).lookup(rel) if symbols_of else (None, "")
        per_fn[(path, name or "0x%x" % rel)] += n * execs
    per_obj = collections.Counter()
    for (path, _), v in per_fn.items():
        per_obj[path] += v
    return per_fn, per_obj


def disassemble(arch, path, lo, hi):
    """[(address, source 'file:line' or None, text)] of [lo, hi) of an object."""
    p = subprocess.run([arch.tool("objdump"), "-d", "-l", "-C", "--no-show-raw-insn",
                        "--start-address=0x%x" % lo, "--stop-address=0x%x" % hi, path],
                       stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    out, src = [], None
    for line in p.stdout.splitlines():
        m = re.match(r"\s*([0-9a-f]+):\s+(.*)", line)
        if m:
            out.append((int(m.group(1), 16), src, m.group(2).strip()))
        elif re.match(r"^/.*:\d+", line) or re.match(r"^[^\s<>]+\.(?:cpp|hpp|h|c|cc):\d+", line):
            src = line.split(" (discriminator")[0].strip()
    return out


def instruction_counts(blocks, base, insns):
    """Executions of each instruction of a disassembly, from the blocks that cover it."""
    addrs = [a + base for a, _, _ in insns]
    counts = [0] * len(insns)
    for start, end, _, execs in blocks:
        i = bisect.bisect_left(addrs, start)
        while i < len(addrs) and addrs[i] < end:
            counts[i] += execs
            i += 1
    return counts


def cmd_profile(runner, arches, args):
    for arch in arches:
        w = workload(args.profile)
        if args.calls:
            w["calls"] = {"numpy": args.calls, "corvane": args.calls}
        if args.first:  # the first call of the process alone
            w["profile_first"] = True
            w["calls"] = {"numpy": 1, "corvane": 1}
        route = args.route
        res, mk, profiles, _ = runner.run(arch, [w], route, profile=True)
        blocks = profiles[0]
        measured = pair_marks(res["marks"], mk)[w["name"]]
        units = res["workloads"][0]["units"]
        calls = 1 if args.first else len(measured.calls)
        unit = "output" if "output" in units else next(iter(units))
        per_unit = calls * units[unit]
        total = sum(n * e for _, _, n, e in blocks)
        cache = {}

        def symbols_of(path):
            if path not in cache:
                cache[path] = Symbols.of(path, arch)
            return cache[path]

        per_fn, per_obj = attribute(blocks, res["maps"], symbols_of)
        print("\n%s, emulated %s: profile of %r, %s route, %d calls (%s per call, %.1f per %s)"
              % (arch.name, args.cpu or arch.cpu, w["name"], route, calls, fmt_count(total / calls),
                 total / per_unit, unit))
        print("  by object:")
        for path, v in per_obj.most_common(8):
            print("    %6.2f%%  %10.1f per %s  %s" % (100 * v / total, v / per_unit, unit, short(path)))
        print("  by function:")
        for (path, name), v in per_fn.most_common(args.top):
            extra = " (nearest exported symbol)" if path != "?" and symbols_of(path).exported_only else ""
            print("    %6.2f%%  %10.1f per %s  %s: %s%s" % (100 * v / total, v / per_unit, unit,
                                                         short(path), name, extra))
        ours = [p for p in per_obj if "/corvane/" in p and p.endswith(".so")]
        for path in ours:
            profile_lines(arch, path, blocks, res["maps"], per_fn, symbols_of(path), per_unit, unit, total, args)


def short(path):
    return re.sub(r"^.*/(corvane/)", r"\1", re.sub(r"^/var/cache/[^/]+/rootfs", "", path))


def _short_name(name):
    """A function's name without its namespaces and argument list."""
    name = re.sub(r"\(anonymous namespace\)::", "", name)
    depth, out = 0, ""
    for ch in name:  # drop everything in parentheses (arguments), keep template arguments
        depth += ch == "("
        if not depth:
            out += ch
        depth -= ch == ")" and depth > 0
    out = re.sub(r"^(?:[\w]+::)+", "", out.strip())
    # the vector type and lane counts of the kernels' templates say little here
    out = re.sub(r"(?:__vector(?:\(\d+\))? double|double __vector\(\d+\)|\bVec\d)(?:, )?", "", out)
    return re.sub(r"<(?:, )?>|, >", lambda m: "" if m.group(0) == "<>" or m.group(0) == "<, >" else ">", out)


def inline_paths(arch, path, counted):
    """{'outer > ... > inner (file:line)': executions} of (address, executions)
    pairs, through the inlined-call chains of the debug information; {} without it."""
    if not counted:
        return collections.Counter()
    p = subprocess.run([arch.tool("addr2line"), "-a", "-f", "-i", "-C", "-e", path],
                       input="".join("0x%x\n" % a for a, _ in counted),
                       stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    chains, cur = [], None
    lines = p.stdout.splitlines()
    i = 0
    while i < len(lines):
        if re.match(r"^0x[0-9a-f]+$", lines[i]):
            cur = []
            chains.append(cur)
            i += 1
            continue
        if cur is not None and i + 1 < len(lines):
            cur.append((lines[i], lines[i + 1]))
        i += 2
    out = collections.Counter()
    if len(chains) != len(counted) or all(loc.startswith("??") for c in chains for _, loc in c):
        return out
    for (addr, execs), chain in zip(counted, chains):
        # chain: (function, location in it), innermost first, the symbol last.
        # Where the debug information does not name the innermost inlined
        # function, addr2line gives the symbol's own name (a C++ one with its
        # argument list) instead: left out.
        names = [f for f, _ in chain]
        if len(names) > 1 and ("(" in names[0] or names[0] == names[-1]):
            names = names[1:]
        names = [n for n in (_short_name(f) for f in names[:-1]) if not n.startswith(("unroll", "operator"))]
        loc = os.path.basename(chain[0][1].split(" (discriminator")[0]) if chain else "?"
        out[(" > ".join(names[::-1]),) + tuple(loc.rsplit(":", 1))] += execs
    # per path: its total, then its busiest lines
    grouped = collections.Counter()
    top = collections.defaultdict(collections.Counter)
    for (chain, f, *line), v in out.items():
        grouped[(chain, f)] += v
        top[(chain, f)][line[0] if line else "?"] += v
    return collections.Counter({
        "%s%s: lines %s" % (chain + " > " if chain else "", f,
                            ", ".join("%s (%s)" % (ln, "%.0f%%" % (100 * c / grouped[(chain, f)]))
                                      for ln, c in top[(chain, f)].most_common(4))): v
        for (chain, f), v in grouped.items()})


INSN_CLASSES = ("load", "store", "fp", "fp-move", "int", "branch")


def insn_class(text):
    """Rough class of a disassembled ARM or AArch64 instruction."""
    op = text.split()[0].lower() if text.split() else ""
    op = op.split(".")[0]
    if re.match(r"(v?ld|ld[1-4p]?|ldr|pop)", op):
        return "load"
    if re.match(r"(v?st|st[1-4p]?|str|push)", op):
        return "store"
    if op in ("vmov", "fmov", "dup", "ins", "umov", "mov") and re.search(r"\b[dsvq]\d", text):
        return "fp-move"
    if re.match(r"(v(add|sub|mul|div|fm|fnm|nm|ml|neg|abs|cmp|cvt|sqrt|max|min|rint|sel|and|orr|eor|bic|bsl|bit|cge|cgt|clt|cle|ceq)"
                r"|f(add|sub|mul|div|madd|msub|nmadd|nmsub|mla|mls|neg|abs|cmp|ccmp|cvt|sqrt|max|min|rint|csel)"
                r"|scvtf|ucvtf|fcvt|frint|fcm|facg)", op):
        return "fp"
    if re.match(r"(b|bl|blx|bx|cbz|cbnz|tbz|tbnz|ret|br|blr|it)$", op) or re.match(r"b(eq|ne|cs|cc|mi|pl|vs|vc|hi|ls|ge|lt|gt|le|hs|lo)$", op) \
            or op.startswith("b.") or op.startswith("it"):
        return "branch"
    return "int"


def _line_key(src):
    f, _, line = src.rpartition(":")
    return (f, int(line) if line.isdigit() else 0)


def _line_span(srcs):
    """'file.cpp:12-40, other.hpp:7' for a set of 'path:line' strings."""
    by = collections.OrderedDict()
    for src in srcs:
        f, line = _line_key(src)
        by.setdefault(os.path.basename(f), []).append(line)
    return ", ".join("%s:%d%s" % (f, min(ls), "-%d" % max(ls) if max(ls) != min(ls) else "")
                     for f, ls in by.items())


def profile_lines(arch, path, blocks, maps_text, per_fn, syms, per_unit, unit, total, args):
    """Per source line of our module (needs debug info), and an annotated
    disassembly of its hottest functions when --annotate is given."""
    base = load_bases(maps_text)[path]
    hot = [(name, v) for (p, name), v in per_fn.most_common() if p == path and v > 0.005 * total]
    lines = collections.Counter()
    annotated = []
    for name, v in hot[:12]:
        lo = next((a for a, _, n in syms.entries if n == name), None)
        if lo is None:
            continue
        size = next(s for a, s, n in syms.entries if n == name)
        insns = disassemble(arch, path, lo, lo + max(size, 4))
        counts = instruction_counts(blocks, base, insns)
        for (addr, src, text), c in zip(insns, counts):
            lines[(src or "?", name)] += c
        annotated.append((name, v, insns, counts))
    print("  %s, instruction mix of the hottest functions:" % short(path))
    for name, v, insns, counts in annotated[:6]:
        mix = collections.Counter()
        for (_, _, text), c in zip(insns, counts):
            mix[insn_class(text)] += c
        n = sum(mix.values()) or 1
        print("    %10.1f per %s  %s  [%s]" % (v / per_unit, unit, "  ".join(
            "%s %.0f%%" % (k, 100 * mix[k] / n) for k in INSN_CLASSES if mix[k]), name[:70]))
    print("  %s, hottest blocks (straight-line runs between branches):" % short(path))
    print("    %10s %6s %12s %12s  %s" % ("address", "insns", "runs/" + unit, "insns/" + unit, "source lines"))
    where = {}
    for name, v, insns, counts in annotated:
        for addr, src, _ in insns:
            where[addr] = (src, name)
    ours = [(start - base, end - base, n, execs) for start, end, n, execs in blocks if start - base in where]
    for rel, end, n, execs in sorted(ours, key=lambda b: -b[2] * b[3])[:args.top]:
        srcs = sorted({where[a][0] for a in where if rel <= a < end and where[a][0]}, key=_line_key)
        print("    %10x %6d %12.3f %12.1f  %s" % (rel, n, execs / per_unit, n * execs / per_unit,
                                                 _line_span(srcs)))
    paths = inline_paths(arch, path, [(a, c) for _, _, insns, counts in annotated
                                      for (a, _, _), c in zip(insns, counts) if c])
    if paths:
        print("  %s by inlined call path (where the instructions go within the functions):" % short(path))
        for chain, v in paths.most_common(args.top):
            print("    %6.2f%%  %10.1f per %s  %s" % (100 * v / total, v / per_unit, unit, chain))
    if any(src != "?" for src, _ in lines):
        print("  %s by source line (top %d):" % (short(path), args.top))
        for (src, name), v in lines.most_common(args.top):
            print("    %6.2f%%  %10.1f per %s  %s  [%s]" % (100 * v / total, v / per_unit, unit,
                                                          re.sub(r"^.*/native/", "native/", src), name[:60]))
    else:
        print("  (%s has no debug information: no source lines; build with -g for them)" % short(path))
    if args.annotate:
        os.makedirs(args.annotate, exist_ok=True)
        out = os.path.join(args.annotate, "%s-%s.txt" % (arch.name, re.sub(r"\W+", "_", args.profile)))
        with open(out, "w") as f:
            f.write("executions per %s of each instruction (%s)\n" % (unit, short(path)))
            for name, v, insns, counts in annotated:
                f.write("\n==== %s: %.1f instructions per %s\n" % (name, v / per_unit, unit))
                src_prev = None
                for (addr, src, text), c in zip(insns, counts):
                    if src != src_prev and src:
                        f.write("  -- %s\n" % re.sub(r"^.*/native/", "native/", src))
                        src_prev = src
                    f.write("  %10.3f  %8x  %s\n" % (c / per_unit, addr, text))
        print("  annotated disassembly: %s" % out)


# ---------------------------------------------------------------- main
def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--arch", choices=("armhf", "aarch64", "both"), default="both")
    p.add_argument("--cpu", help="the CPU qemu emulates (default cortex-a7 / cortex-a53)")
    for a in ARCHES.values():
        p.add_argument("--%s-rootfs" % a.name, dest="%s_rootfs" % a.name, metavar="DIR",
                       help="%s root filesystem (default %s)" % (a.name, a.rootfs))
        p.add_argument("--%s-stage" % a.name, dest="%s_stage" % a.name, metavar="DIR",
                       help="folder holding the built corvane/ package for %s (default %s)" % (a.name, a.stage))
    p.add_argument("--only", nargs="+", metavar="WORKLOAD",
                   help="these workloads (names of the table, or e.g. 'sinc_interp N=4096 r=1/3 sum=direct')")
    p.add_argument("--twice", action="store_true", help="run everything twice and compare the counts")
    p.add_argument("--profile", metavar="WORKLOAD", help="per-function profile of one workload")
    p.add_argument("--route", choices=("numpy", "corvane"), default="corvane", help="the route --profile runs")
    p.add_argument("--calls", type=int, help="calls for --profile (default: the workload's)")
    p.add_argument("--first", action="store_true", help="--profile the first call of the process instead")
    p.add_argument("--top", type=int, default=25, help="rows of the profile's lists")
    p.add_argument("--annotate", metavar="DIR", help="write the profile's annotated disassembly there")
    p.add_argument("--crossover", action="store_true", help="direct against hierarchical sums, N*M = 2^11..2^17")
    p.add_argument("--first-call", action="store_true", help="first call of a fresh process against the second")
    p.add_argument("--json", metavar="FILE", help="also write the figures as JSON")
    p.add_argument("-j", "--jobs", type=int, default=1, help="guest processes at a time (default 1)")
    p.add_argument("--cache", default=os.path.join(tempfile.gettempdir(), "corvane-bench-arm"),
                   help="work folder for the plugin and the assembled packages")
    args = p.parse_args(argv)
    arches = [ARCHES[a] for a in (("armhf", "aarch64") if args.arch == "both" else (args.arch,))]
    if args.arch == "both":  # leave out an architecture with nothing built, saying so
        have = [a for a in arches if os.path.isdir(getattr(args, a.name + "_rootfs") or a.rootfs)]
        for a in arches:
            if a not in have:
                print("(%s skipped: no root filesystem at %s)" % (a.name, a.rootfs))
        arches = have
    os.makedirs(args.cache, exist_ok=True)
    runner = Runner(args)
    if args.profile:
        cmd_profile(runner, arches, args)
        return 0
    if args.crossover:
        report = cmd_crossover(runner, arches, args)
    elif args.first_call:
        report = cmd_first_call(runner, arches, args)
    else:
        report = cmd_table(runner, arches, args)
    if args.json:
        with open(args.json, "w") as f:
            json.dump(report, f, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
