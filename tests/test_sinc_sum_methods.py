"""Both native evaluations of the interpolation sums against plain NumPy.

The kernel picks the direct sum below N*M = 2^15 and the hierarchical one
(a fast multipole method) above; the testing hook CORVANE_SINC_SUM=direct or
=tree forces one, so each is held to the tighter 1e-13 * sum|s| on the
shapes, dtypes and signals chosen to break it.
"""

import functools
import math

import numpy as np
import pytest

import corvane.dsp.resampler as rs
import reference
from conftest import GENERIC, NumpyProxy

pytestmark = [
    pytest.mark.real_numpy,
    pytest.mark.skipif(GENERIC, reason="compares the native evaluations with NumPy"),
]

RATIOS = [1.0, 2, 0.37, 2.5, math.pi, 1 / 3]


@pytest.fixture(params=["direct", "tree"])
def method(request, monkeypatch):
    monkeypatch.setenv("CORVANE_SINC_SUM", request.param)
    return request.param


def samples(n, kind, seed=0):
    rng = np.random.default_rng(seed + n)
    typed = reference.random_samples(rng, n, kind)
    if typed is not None:
        return typed
    if kind == "smooth":
        return np.cos(np.linspace(0, 7, n)) + 0.5
    if kind == "alternating":
        return np.where(np.arange(n) % 2, -1.0, 1.0)
    if kind == "ends":
        s = np.zeros(n)
        s[0], s[-1] = 1.0, -1.0
        return s
    if kind == "leaf edges":  # leaves are 32 or 64 wide: spikes on both sides of 32j
        s = np.zeros(n)
        for j in range(1, n // 32, 5):
            k = math.ceil(32 * j * (n - 1) / n)
            s[k - 1], s[k] = 1.0, -1.0
        return s
    if kind == "huge":
        return rng.standard_normal(n) * 1e300
    if kind == "tiny":
        return rng.standard_normal(n) * 1e-300
    return rng.standard_normal(n)


@functools.lru_cache(maxsize=None)
def literal(n, M, kind):
    """The module's own generic NumPy route (one output at a time)."""
    saved, rs.np = rs.np, NumpyProxy()
    try:
        return rs.interp(np.empty(M), None, samples(n, kind))
    finally:
        rs.np = saved


def assert_close(fast, slow, s, tol=1e-13):
    assert fast.dtype == slow.dtype and fast.shape == slow.shape
    bound = tol * np.sum(np.abs(np.asarray(s, dtype=complex)))
    err = np.max(np.abs(fast - slow), initial=0.0)
    assert err <= bound, err / bound


@pytest.mark.parametrize("r", RATIOS)
@pytest.mark.parametrize("kind", ["float", "complex", "int", "float32", "complex64"])
def test_every_ratio_and_dtype(method, r, kind):
    n = 1500
    M = int(n * r)
    s = samples(n, kind)
    assert_close(rs.sinc_interp(s, r)[0], literal(n, M, kind), s)


@pytest.mark.parametrize("kind", ["smooth", "alternating", "ends", "leaf edges", "huge", "tiny"])
def test_signals_that_break_approximations(method, kind):
    n, M = 2000, 4000
    s = samples(n, kind)
    assert_close(rs.interp(np.empty(M), None, s), literal(n, M, kind), s)


@pytest.mark.parametrize("n, M", [(1, 1), (1, 7), (2, 1), (2, 2), (2, 5), (9, 1), (3000, 1), (1, 3000)])
def test_tiny_shapes(method, n, M):
    s = samples(n, "float")
    assert_close(rs.interp(np.empty(M), None, s), literal(n, M, "float"), s)


# Sizes around the crossover (N*M = 2^15) and where the tree gains a level
# (N passing a power of two), taken by the size rule itself.
@pytest.mark.parametrize("n, M", [(181, 181), (128, 255), (128, 256), (127, 258), (511, 1022),
                                  (513, 1026), (1023, 2046), (1025, 2050), (4097, 333)])
def test_the_size_rule_stays_within_the_tighter_bound(n, M):
    s = samples(n, "complex")
    assert_close(rs.interp(np.empty(M), None, s), literal(n, M, "complex"), s)


def test_methods_agree_on_a_long_record(monkeypatch):
    s = samples(40000, "float")
    monkeypatch.setenv("CORVANE_SINC_SUM", "direct")
    direct = rs.sinc_interp(s, 0.37)[0]
    monkeypatch.setenv("CORVANE_SINC_SUM", "tree")
    assert_close(rs.sinc_interp(s, 0.37)[0], direct, s)


def test_positions_beyond_the_direct_sums_range():
    # N > 2^22: the direct sum cannot keep its phases exact there and
    # refuses; the tree takes it (without it this call would run the NumPy
    # loop for hours).  A few outputs, spread over the record, against NumPy.
    N = 2**22 + 5
    s = np.cos(np.arange(N) * 0.001) + samples(N, "float") * 0.1
    x = np.empty(7)
    values = rs.interp(x, None, s)
    v = np.linspace(0.0, N, N)
    for m, um in enumerate(np.linspace(0.0, N, 7)):
        if m in (0, 3, 6):
            want = np.sum(s * reference.sinc(v - um))
            assert abs(values[m] - want) <= 1e-13 * np.sum(np.abs(s)), m
