"""The instruction-count bench (bench/bench_arm.py): its qemu plugin counts
exactly, its marks pair up with the guest's labels, and its profile puts
instructions into the right function.

The plugin is exercised under qemu-x86_64 on host programs (the ARM root
filesystems are too big to make in a test run); skipped without the source
tree, a C compiler or qemu-user's dynamically linked qemu-x86_64.
"""

import os
import shutil
import subprocess
import sys
import types

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BENCH = os.path.join(ROOT, "bench")
CC = os.environ.get("CC") or shutil.which("cc") or shutil.which("gcc")
QEMU = shutil.which("qemu-x86_64")

pytestmark = pytest.mark.skipif(not os.path.isfile(os.path.join(BENCH, "bench_arm.py")),
                                reason="needs the source tree")


@pytest.fixture(scope="module")
def bench_arm():
    sys.path.insert(0, BENCH)
    try:
        import bench_arm
    finally:
        sys.path.remove(BENCH)
    return bench_arm


def _can_run_plugins():
    """qemu-user's qemu-x86_64 loads plugins; the static one (qemu-user-static) cannot."""
    if CC is None or QEMU is None or os.uname().machine != "x86_64" or not shutil.which("readelf"):
        return False
    if "asan" in os.environ.get("LD_PRELOAD", ""):
        return False  # the preloaded sanitizer runtime would load into qemu and its guest too
    headers = subprocess.run(["readelf", "-l", os.path.realpath(QEMU)], stdout=subprocess.PIPE).stdout
    return b"program interpreter" in headers


needs_qemu = pytest.mark.skipif(not _can_run_plugins(),
                                reason="needs x86-64, a C compiler, readelf, qemu-user's qemu-x86_64 "
                                       "and no sanitizer runtime")

# A guest program: marks around a loop of argv[1] iterations in its own
# function, and its memory map written to argv[2].
GUEST_C = r"""
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
static void mark(unsigned tag) { umask(0x7e000000u | tag << 9 | 022); }
static inline __attribute__((always_inline)) long step(volatile long* s, long i) { return *s += i; }
__attribute__((noinline)) long spin(long n) {
    volatile long s = 0;
    for (long i = 0; i < n; i++) step(&s, i);
    return s;
}
int main(int argc, char** argv) {
    long n = atol(argv[1]);
    mark(1);
    mark(0xfff0);
    spin(n);
    mark(0xfff1);
    mark(2);
    FILE* in = fopen("/proc/self/maps", "r");
    FILE* out = fopen(argv[2], "w");
    int c;
    while ((c = fgetc(in)) != EOF) fputc(c, out);
    fclose(out);
    return 0;
}
"""


@pytest.fixture(scope="module")
def guest(bench_arm, tmp_path_factory):
    d = tmp_path_factory.mktemp("bench_arm")
    src = d / "guest.c"
    src.write_text(GUEST_C)
    exe = str(d / "guest")
    subprocess.run([CC, "-O1", "-g", "-o", exe, str(src)], check=True)
    plugin = bench_arm.build_plugin(str(d / "plugin"))

    def run(n, profile=False):
        out, maps = d / ("marks-%d-%d" % (n, profile)), d / ("maps-%d-%d" % (n, profile))
        arg = "%s,out=%s%s" % (plugin, out, ",profile=on" if profile else "")
        subprocess.run([QEMU, "-plugin", arg, exe, str(n), str(maps)], check=True)
        return out.read_text(), maps.read_text()

    return types.SimpleNamespace(run=run, exe=exe, src=str(src))


@needs_qemu
def test_counts_are_exact_and_repeatable(bench_arm, guest):
    counts = {}
    for n in (1000, 2000, 3000):
        target, marks, _, exit_count = bench_arm.parse_marks(guest.run(n)[0])
        assert target == "x86_64"
        assert [t for t, _ in marks] == [1, 0xFFF0, 0xFFF1, 2]
        assert marks[-1][1] <= exit_count
        counts[n] = marks[2][1] - marks[1][1]
    # the loop's body is a fixed number of instructions: the count is exactly affine in n
    body = counts[2000] - counts[1000]
    assert body > 0 and body % 1000 == 0
    assert counts[3000] - counts[2000] == body
    assert bench_arm.parse_marks(guest.run(2000)[0])[1] == bench_arm.parse_marks(guest.run(2000)[0])[1]


@needs_qemu
def test_profile_finds_the_loop(bench_arm, guest):
    n = 5000
    text, maps = guest.run(n, profile=True)
    _, marks, profiles, _ = bench_arm.parse_marks(text)
    assert len(profiles) == 1
    blocks = profiles[0]
    total = sum(insns * execs for _, _, insns, execs in blocks)
    # the blocks ran between the profile's marks, which bound the same work
    window = marks[2][1] - marks[1][1]
    assert 0.95 * window <= total <= window
    assert max(execs for _, _, _, execs in blocks) in (n - 1, n)  # the loop body, however rotated

    arch = bench_arm.Arch("x86_64", "qemu-x86_64", "max", "x86_64-linux-gnu", "/")
    syms = {}
    per_fn, per_obj = bench_arm.attribute(
        blocks, maps, lambda p: syms.setdefault(p, bench_arm.Symbols.of(p, arch)))
    (path, name), top = per_fn.most_common(1)[0]
    assert os.path.realpath(path) == os.path.realpath(guest.exe) and name == "spin"
    assert top > 0.9 * total
    assert sum(per_obj.values()) == total

    # down to instructions and inlined call paths: the loop's instructions run
    # about n times each, the inlined helper's under its own name
    if not shutil.which("x86_64-linux-gnu-objdump") or not shutil.which("x86_64-linux-gnu-addr2line"):
        return
    exe = [p for p in per_obj if os.path.realpath(p) == os.path.realpath(guest.exe)][0]
    base = bench_arm.load_bases(maps)[exe]
    entry = next(e for e in syms[exe].entries if e[2] == "spin")
    insns = bench_arm.disassemble(arch, exe, entry[0], entry[0] + entry[1])
    counts = bench_arm.instruction_counts(blocks, base, insns)
    assert sum(counts) * 3 >= 0.9 * top  # a loop of three or more instructions
    assert max(counts) in (n - 1, n, n + 1)
    paths = bench_arm.inline_paths(arch, exe, [(a, c) for (a, _, _), c in zip(insns, counts) if c])
    inlined = [(chain, v) for chain, v in paths.items() if chain.startswith("step > guest.c: lines 6")]
    assert len(inlined) == 1 and inlined[0][1] >= n
    assert sum(paths.values()) == sum(counts)


def test_pairing_subtracts_the_harness(bench_arm):
    labels = [[0, ["start", "start"]], [1, ["w", "setup"]], [2, ["w", "first"]], [0xFFF0, ["w", "profile"]],
              [4, ["w", "call"]], [5, ["w", "call"]], [0xFFF1, ["w", "profile"]], [7, ["w", "noop"]],
              [8, ["w", "noop"]]]
    counts = [100, 150, 1150, 1160, 1960, 2780, 2790, 2800, 2820]
    marks = list(zip([t for t, _ in labels], counts))
    m = bench_arm.pair_marks(labels, marks)["w"]
    assert m.first == 1000
    assert m.calls == [800, 820]
    assert m.noops == [10, 20]
    assert bench_arm.per_call(m) == 810 - 15

    with pytest.raises(RuntimeError, match="do not match"):
        bench_arm.pair_marks(labels, marks[:-1])  # a mark lost
    with pytest.raises(RuntimeError, match="do not match"):
        bench_arm.pair_marks(labels, [(t + 1, c) for t, c in marks])


MAPS = """\
00400000-00401000 r--p 00000000 08:01 10 /opt/lib/libk.so
00401000-00405000 r-xp 00001000 08:01 10 /opt/lib/libk.so
00405000-00406000 r--p 00005000 08:01 10 /opt/lib/libk.so
00500000-00502000 r--p 00000000 08:01 11 /opt/lib/libz.so
7f000000-7f001000 rw-p 00000000 00:00 0 [stack]
"""


@pytest.mark.parametrize("start, where", [
    (0x401000, ("/opt/lib/libk.so", "f")),        # first byte of f, at address 0x1000 in the object
    (0x401ff0, ("/opt/lib/libk.so", "f")),
    (0x402000, ("/opt/lib/libk.so", "g")),
    (0x402100, ("/opt/lib/libk.so", "0x2100")),   # past g's size: no function
    (0x500010, ("/opt/lib/libz.so", "h")),
    (0x7f000010, ("?", "?")),                     # not in a file mapping
])
def test_blocks_go_to_their_function(bench_arm, start, where):
    syms = {"/opt/lib/libk.so": bench_arm.Symbols([(0x1000, 0x1000, "f"), (0x2000, 0x100, "g")]),
            "/opt/lib/libz.so": bench_arm.Symbols([(0x0, 0x100, "h")])}
    per_fn, per_obj = bench_arm.attribute([(start, start + 8, 3, 7)], MAPS, syms.__getitem__)
    assert dict(per_fn) == {where: 21}


def test_plugin_windows_and_retranslations(bench_arm):
    text = """target arm
mark 1 100
mark 65520 150
mark 65521 950
tb 1000 1010 4 100
tb 1000 1010 4 50
tb 1000 1008 2 7
tb 2000 2004 1 386
mark 3 960
mark 65520 970
mark 65521 990
tb 1000 1010 4 5
exit 1000
"""
    target, marks, profiles, exit_count = bench_arm.parse_marks(text)
    assert (target, exit_count) == ("arm", 1000)
    assert [t for t, _ in marks] == [1, 65520, 65521, 3, 65520, 65521]
    # a block translated again with the same extent adds up; another extent stays apart
    assert profiles == [[(0x1000, 0x1008, 2, 7), (0x1000, 0x1010, 4, 150), (0x2000, 0x2004, 1, 386)],
                        [(0x1000, 0x1010, 4, 5)]]


@pytest.mark.parametrize("name, expect", [
    ("sinc_interp N=4096 r=1/3 sum=direct", dict(kind="sinc_interp", n=4096, r=1 / 3, sum="direct")),
    ("sinc_interp N=64 r=2 complex calls=7", dict(n=64, r=2.0, complex=True, calls={"numpy": 7, "corvane": 7})),
    ("interp N=2048 M=4096", dict(kind="interp", n=2048, m=4096)),
    ("sarchip_raw size=128 ap", dict(kind="sarchip_raw", size=128, ofmt="ap")),
    ("sinc n=1e5", dict(kind="sinc", n=100000)),
    ("sinc 1e5", dict(kind="sinc", n=100000, calls={"numpy": 3, "corvane": 5})),  # a name of the table
])
def test_workload_names(bench_arm, name, expect):
    w = bench_arm.workload(name)
    assert {k: w.get(k) for k in expect} == expect


@pytest.mark.parametrize("name", ["sinc_interp N=64 r", "fft n=4", "sinc n=4 speed=2", ""])
def test_bad_workload_names(bench_arm, name):
    with pytest.raises(ValueError):
        bench_arm.workload(name)


@needs_qemu
def test_guest_harness_counts_calls(bench_arm, tmp_path):
    """The whole harness on the host's own Python and the installed package:
    per-call counts grow with the work, repeat exactly, and the no-op
    harness is subtracted."""
    corvane = pytest.importorskip("corvane")
    pytest.importorskip("numpy")
    site = os.path.dirname(os.path.dirname(os.path.abspath(corvane.__file__)))
    arch = bench_arm.Arch("x86_64", "qemu-x86_64", "max", "x86_64-linux-gnu", "/",
                          python=sys.executable, package=site)
    runner = bench_arm.Runner(types.SimpleNamespace(cache=str(tmp_path), cpu=None))
    ws = [bench_arm.workload("sinc n=%d calls=5" % n) for n in (2000, 4000)]
    first = runner.count(arch, ws, "corvane")
    again = runner.count(arch, ws, "corvane")
    (small, m_small), (large, m_large) = (first[w["name"]] for w in ws)
    assert m_small.calls == again[ws[0]["name"]][1].calls and m_large.calls == again[ws[1]["name"]][1].calls
    assert len(m_small.calls) == len(m_small.noops) == 5
    assert 0 < min(m_small.noops) and max(m_small.noops) < min(m_small.calls)
    # twice the elements: twice the kernel's work on top of the same fixed cost
    assert 1.5 < large / small < 2.1
    numpy_route = runner.count_one(arch, ws[0], "numpy")
    assert numpy_route[0] > 0 and numpy_route[1].units == {"element": 2000}
