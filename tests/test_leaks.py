"""Reference counts settle: every public function of both modules, called
many thousands of times on success and on each failure path, leaves the
interpreter's total reference count, its allocated memory blocks and the
reference counts of every long-lived object the functions touch where they
were.

Needs a debug interpreter (sys.gettotalrefcount); skipped everywhere else.
CORVANE_LEAK_CALLS sets the calls per round (default 1000).
"""

import builtins
import gc
import os
import struct
import sys
import sysconfig
import warnings

import numpy as np
import pytest

import chipfile
import corvane.datasets.sarchip as sarchip
import corvane.dsp.resampler as resampler
from reference import NumpyProxy

pytestmark = [
    pytest.mark.skipif(not hasattr(sys, "gettotalrefcount"), reason="needs a debug interpreter"),
    pytest.mark.real_numpy,
]

CALLS = int(os.environ.get("CORVANE_LEAK_CALLS", "1000"))
ROUNDS = 2
# One leaked reference per call shows as CALLS per round; what caches and
# free lists do stays far below this.
SLACK = max(CALLS // 20, 5)


def numpy_counts_references():
    core = sys.modules.get("numpy._core._multiarray_umath") or sys.modules.get("numpy.core._multiarray_umath")
    return core is not None and core.__file__.endswith(sysconfig.get_config_var("EXT_SUFFIX"))


# The total counts only the reference operations of code built with the debug
# interpreter's headers. A NumPy wheel built for the release interpreter
# changes counts unseen, so wherever objects pass between it and the rest the
# total drifts on every call without any leak. Then only calls that never
# reach NumPy are held to the total; every call is still held to the
# allocated blocks (a leaked object stays allocated) and to the reference
# counts of the long-lived objects (a leaked reference to one of them).
TOTAL_IS_EXACT = numpy_counts_references()


def long_lived(*extra):
    """The namespaces the functions read, everything in them, and `extra`."""
    spaces = [vars(resampler), vars(sarchip), vars(np), vars(struct), vars(builtins)]
    return [*spaces, *(v for d in spaces for v in list(d.values())), *extra]


def measure(call, calls, watched):
    """Per round of `calls` calls, after one round to warm caches up: the
    change of the total reference count, of the allocated blocks, and the
    largest growth of a watched object's reference count."""
    rows = []
    for round_ in range(ROUNDS + 1):
        gc.collect()
        refs = [sys.getrefcount(o) for o in watched]
        blocks, total = sys.getallocatedblocks(), sys.gettotalrefcount()
        for _ in range(calls):
            call()
        gc.collect()
        total, blocks = sys.gettotalrefcount() - total, sys.getallocatedblocks() - blocks
        grown = max(sys.getrefcount(o) - r for o, r in zip(watched, refs))
        if round_:
            rows.append((total, blocks, grown))
    return rows


WORKED = bytes.fromhex("3FC00000 40000000 00000000 BF800000")  # H=1, W=2


class Sink:
    """Standard output for sinc_table's rows: takes them and keeps nothing."""

    def write(self, text):
        return len(text)

    def flush(self):
        pass


@pytest.fixture(scope="module")
def chips(tmp_path_factory):
    d = tmp_path_factory.mktemp("leak-chips")

    def raw(name, blob):
        (d / name).write_bytes(blob)
        return str(d / name)

    mag, pha = chipfile.random_chip(6, 5)
    bad_offset = chipfile.header_lines(2, 1, 2048, lines={3: "HeaderLength= 2k"})
    return {
        "good": str(chipfile.write_chip(d / "good.chip", mag, pha)),
        "nonfinite": str(chipfile.write_chip(d / "nf.chip", np.array([[1.0, np.inf, np.nan]], np.float32),
                                             np.array([[np.inf, 0.5, np.nan]], np.float32))),
        "missing": str(d / "missing.chip"),
        "no end marker": raw("noend.chip", b"[PhoenixHeaderVer]\nA= 1\n"),
        "bad header line": raw("badline.chip", b"[V]\nbad\n[EndofPhoenixHeader]\n"),
        "bad offset": raw("badoffset.chip", "".join(t + "\n" for t in bad_offset).encode()),
        "short header": raw("short.chip", b"1\n2\n3\n"),
        "short data": raw("shortdata.chip", chipfile.header_bytes(2, 1) + WORKED[:-1]),
        "negative size": str(chipfile.write_chip(d / "neg.chip", [], [], ncols=-2, nrows=-3, trailing=bytes(48))),
    }


X = np.cos(np.linspace(0, 6, 16))
NAN = np.array([1.0, np.nan, 3.0, np.inf])

# id, module, function, args, kwargs, expected exception (None: a result)
CASES = [
    ("sinc", resampler, "sinc", (X,), {}, None),
    ("sinc scalar", resampler, "sinc", (0.25,), {}, None),
    ("sinc non-finite", resampler, "sinc", (NAN,), {}, None),
    ("sinc bad input", resampler, "sinc", ("abc",), {}, TypeError),
    ("sinc no args", resampler, "sinc", (), {}, TypeError),
    ("sinc too many", resampler, "sinc", (1, 2), {}, TypeError),
    ("sinc unexpected kw", resampler, "sinc", (), {"y": 1}, TypeError),
    ("sinc multiple values", resampler, "sinc", (1,), {"x": 2}, TypeError),
    ("sinc_table", resampler, "sinc_table", (4, 3), {}, None),
    ("sinc_table keywords", resampler, "sinc_table", (), {"Ns": 2, "Nq": 3}, None),
    ("sinc_table missing", resampler, "sinc_table", (), {"Nq": 16}, TypeError),
    ("sinc_table bad size", resampler, "sinc_table", (-1, 2), {}, ValueError),
    ("sinc_interp", resampler, "sinc_interp", (X, 2.5), {}, None),
    ("sinc_interp complex", resampler, "sinc_interp", (X + 1j, 1.5), {}, None),
    ("sinc_interp default", resampler, "sinc_interp", (X,), {}, None),
    ("sinc_interp non-finite", resampler, "sinc_interp", (NAN, 2), {}, None),
    ("sinc_interp too many", resampler, "sinc_interp", (1, 2, 3), {}, TypeError),
    ("sinc_interp bad ratio", resampler, "sinc_interp", (X, "r"), {}, ValueError),
    ("interp", resampler, "interp", (np.empty(40), None, X), {}, None),
    ("interp keyword", resampler, "interp", (np.empty(9), None, X), {"mod": "sinc"}, None),
    ("interp non-finite", resampler, "interp", (np.empty(9), None, NAN), {}, None),
    ("interp missing", resampler, "interp", (1,), {"yp": 2}, TypeError),
    ("interp too many", resampler, "interp", (1, 2, 3, 4, 5), {}, TypeError),
    ("interp bad samples", resampler, "interp", (np.empty(4), None, "abc"), {}, TypeError),
    ("sarchip_header", sarchip, "sarchip_header", ("good",), {}, None),
    ("sarchip_header missing file", sarchip, "sarchip_header", ("missing",), {}, FileNotFoundError),
    ("sarchip_header no end marker", sarchip, "sarchip_header", ("no end marker",), {}, ValueError),
    ("sarchip_header bad line", sarchip, "sarchip_header", ("bad header line",), {}, ValueError),
    ("sarchip_header no args", sarchip, "sarchip_header", (), {}, TypeError),
    ("sarchip_raw", sarchip, "sarchip_raw", ("good",), {}, None),
    ("sarchip_raw ap", sarchip, "sarchip_raw", ("good", "ap"), {}, None),
    ("sarchip_raw ri", sarchip, "sarchip_raw", ("good",), {"ofmt": "ri"}, None),
    ("sarchip_raw unknown ofmt", sarchip, "sarchip_raw", ("good", "xx"), {}, None),
    ("sarchip_raw non-finite", sarchip, "sarchip_raw", ("nonfinite", "c"), {}, None),
    ("sarchip_raw missing file", sarchip, "sarchip_raw", ("missing",), {}, FileNotFoundError),
    ("sarchip_raw bad offset", sarchip, "sarchip_raw", ("bad offset",), {}, ValueError),
    ("sarchip_raw short header", sarchip, "sarchip_raw", ("short header",), {}, ValueError),
    ("sarchip_raw short data", sarchip, "sarchip_raw", ("short data", "ap"), {}, struct.error),
    ("sarchip_raw negative size", sarchip, "sarchip_raw", ("negative size",), {}, ValueError),
    ("sarchip_raw unexpected kw", sarchip, "sarchip_raw", ("good",), {"fmt": "c"}, TypeError),
]


# Cases whose calls never reach NumPy: binding errors, the header reader, and
# the raw reader's failures before its data block is decoded.
NUMPY_FREE = {
    "sinc no args", "sinc too many", "sinc unexpected kw", "sinc multiple values", "sinc_table missing",
    "sinc_interp too many", "interp missing", "interp too many", "sarchip_header", "sarchip_header missing file",
    "sarchip_header no end marker", "sarchip_header bad line", "sarchip_header no args", "sarchip_raw missing file",
    "sarchip_raw bad offset", "sarchip_raw short header", "sarchip_raw short data", "sarchip_raw unexpected kw",
}


def resolve(args, kwargs, chips):
    args = tuple(chips.get(a, a) if isinstance(a, str) else a for a in args)
    return args, kwargs


def check_settles(call, expected, *, reaches_numpy=True, calls=CALLS, watched=()):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        if expected is None:
            call()
        else:
            with pytest.raises(expected):
                call()

        def once():
            try:
                call()
            except Exception:
                pass

        rows = measure(once, calls, long_lived(*watched))
    totals, blocks, grown = zip(*rows)
    where = f"over rounds of {calls} calls: total {totals}, blocks {blocks}, largest growth {grown}"
    assert max(blocks) < SLACK, "allocated blocks grew " + where
    assert max(grown) < SLACK, "a long-lived object's reference count grew " + where
    if TOTAL_IS_EXACT or not reaches_numpy:
        assert max(totals) < SLACK, "total reference count grew " + where


@pytest.mark.parametrize("name, module, func, args, kwargs, expected", CASES, ids=[c[0] for c in CASES])
def test_calls_leave_no_references(monkeypatch, chips, name, module, func, args, kwargs, expected):
    monkeypatch.setattr(sys, "stdout", Sink())
    f = getattr(module, func)
    args, kwargs = resolve(args, kwargs, chips)
    check_settles(lambda: f(*args, **kwargs), expected, reaches_numpy=name not in NUMPY_FREE,
                  watched=(f, *args, *kwargs.values()))


@pytest.mark.parametrize(
    "module, removed, func, args, reaches_numpy",
    [(resampler, "np", "sinc", (X,), False), (resampler, "PI", "sinc", (X,), True),
     (resampler, "sinc", "sinc_interp", (X, 2), True), (resampler, "sinc", "interp", (np.empty(9), None, X), True),
     (sarchip, "struct", "sarchip_raw", ("good",), False), (sarchip, "np", "sarchip_raw", ("good",), False)],
)
def test_name_errors_leave_no_references(monkeypatch, chips, module, removed, func, args, reaches_numpy):
    monkeypatch.delattr(module, removed)
    f = getattr(module, func)
    args, _ = resolve(args, {}, chips)
    check_settles(lambda: f(*args), NameError, reaches_numpy=reaches_numpy, watched=(f, *args))


@pytest.mark.parametrize("func, args", [("sinc", (X,)), ("sinc_interp", (X, 2.5)), ("interp", (np.empty(9), None, X))])
def test_generic_route_leaves_no_references(monkeypatch, func, args):
    monkeypatch.setattr(resampler, "np", NumpyProxy())
    f = getattr(resampler, func)
    check_settles(lambda: f(*args), None, watched=(f, *args))


def test_failing_kernel_mid_loop_leaves_no_references(monkeypatch):
    calls = []

    def flaky(x):
        calls.append(None)
        if len(calls) % 3 == 0:
            raise ValueError("kernel failed")
        return resampler.np.sin(x)

    monkeypatch.setattr(resampler, "sinc", flaky)
    f = resampler.sinc_interp

    def call():
        calls.clear()
        f(X[:5], 1.0)

    check_settles(call, ValueError)


def test_runaway_recursion_leaves_no_references(monkeypatch):
    monkeypatch.setattr(resampler, "sinc", resampler.sinc_interp)
    f = resampler.sinc_interp
    # Each call runs about a thousand nested calls: a leak on any level of
    # the unwinding shows in a few dozen calls.
    check_settles(lambda: f([1.0, 2.0]), RecursionError, calls=20)
