"""The native fast paths against the module's own generic NumPy route.

The generic route is reached by giving the module a stand-in `np` (see
conftest.NumpyProxy): same NumPy underneath, but not recognisably NumPy, so
every function evaluates its NumPy expressions one by one.
"""

import warnings

import numpy as np
import pytest

import corvane.dsp.resampler as rs
import reference
from conftest import GENERIC, NumpyProxy

pytestmark = [
    pytest.mark.real_numpy,
    pytest.mark.skipif(GENERIC, reason="compares the fast path with the generic one"),
]


def generic(fn, *args):
    saved, rs.np = rs.np, NumpyProxy()
    try:
        return fn(*args)
    finally:
        rs.np = saved


def signal(rng, n, kind):
    typed = reference.random_samples(rng, n, kind)
    return typed if typed is not None else rng.standard_normal(n) * 10.0 ** rng.uniform(-3, 3)


def assert_within_contract(fast, slow, s):
    """|fast - generic| <= 1e-12 * sum|s| for every output, same dtype and shape."""
    assert fast.dtype == slow.dtype and fast.shape == slow.shape
    bound = 1e-12 * np.sum(np.abs(np.asarray(s, dtype=complex)))
    assert np.all(np.abs(fast - slow) <= bound), np.max(np.abs(fast - slow)) / max(bound, 1e-300)


@pytest.mark.parametrize("n", [0, 1, 2, 3, 7, 64, 255, 1000, 2049])
@pytest.mark.parametrize("r", [1.0, 2, 0.37, 2.5, 3.14159, "negative", 1 / 3])
@pytest.mark.parametrize("kind", ["float", "complex"])
def test_sinc_interp_matches_generic(n, r, kind):
    if r == "negative":
        r = -0.9 / max(n, 1)  # truncates to no output at all
    rng = np.random.default_rng(n * 31 + int(abs(r) * 1000))
    s = signal(rng, n, kind)
    fast_values, fast_positions = rs.sinc_interp(s, r)
    slow_values, slow_positions = generic(rs.sinc_interp, s, r)
    assert_within_contract(fast_values, slow_values, s)
    np.testing.assert_array_equal(fast_positions, slow_positions)


@pytest.mark.parametrize("kind", ["int", "float32", "complex64"])
@pytest.mark.parametrize("n, M", [(5, 9), (300, 1000), (1024, 333)])
def test_interp_matches_generic_for_other_dtypes(kind, n, M):
    rng = np.random.default_rng(M)
    s = signal(rng, n, kind)
    x = np.empty(M)
    assert_within_contract(rs.interp(x, None, s), generic(rs.interp, x, None, s), s)


@pytest.mark.parametrize("shape", [(1, 40), (1, 1, 40), ()])
def test_samples_along_the_last_axis(shape):
    s = np.arange(1, int(np.prod(shape)) + 1, dtype=float).reshape(shape)
    assert_within_contract(rs.sinc_interp(s, 1.5)[0], generic(rs.sinc_interp, s, 1.5)[0], s)


def _read_only(a):
    a.flags.writeable = False
    return a


# float64 and complex128 samples are read in place: whatever memory they sit
# in (read-only, an offset view into a larger array), the sums are NumPy's
# and the samples are left as they were.
@pytest.mark.parametrize("make", [_read_only, lambda a: np.concatenate([[7.0], a, [7.0]])[1:-1]],
                         ids=["read-only", "view"])
@pytest.mark.parametrize("kind", ["float", "complex"])
@pytest.mark.parametrize("n", [40, 3000])
def test_samples_are_read_in_place_and_left_unchanged(make, kind, n):
    s = signal(np.random.default_rng(n), n, kind)
    own = s.copy()
    given = make(s.copy())
    before = given.copy()
    x = np.empty(2 * n)
    assert_within_contract(rs.interp(x, None, given), generic(rs.interp, x, None, own), own)
    assert given.tobytes() == before.tobytes()


@pytest.mark.parametrize("n, r", [(16, 2), (100, 4.0), (777, 0.61), (2048, 1.0)])
def test_interp_equals_sinc_interp_element_for_element(n, r):
    s = np.random.default_rng(n).standard_normal(n)
    values, _ = rs.sinc_interp(s, r)
    np.testing.assert_array_equal(rs.interp(np.zeros(int(n * r)), [0], s), values)


def test_larger_records_stay_within_contract():
    rng = np.random.default_rng(5)
    s = rng.standard_normal(4000)
    fast = rs.interp(np.empty(5000), None, s)
    slow = generic(rs.interp, np.empty(5000), None, s)
    assert_within_contract(fast, slow, s)


@pytest.mark.parametrize(
    "x",
    [
        np.linspace(-1e3, 1e3, 100001),
        np.array([0.0, 3e-9, -3e-9, 1e-8 / np.pi, -1e-8 / np.pi, 0.5, -0.5, 1.0, 2.0, 1e5, 1e300]),
        np.arange(-50, 50),
        np.array([[True, False], [False, True]]),
        np.random.default_rng(1).uniform(-1e6, 1e6, 10000),
    ],
    ids=["grid", "special", "int", "bool", "wide"],
)
def test_sinc_matches_generic_within_two_ulp(x):
    fast, slow = rs.sinc(x), generic(rs.sinc, x)
    assert fast.dtype == slow.dtype == np.float64 and fast.shape == slow.shape
    ulp = np.spacing(np.abs(slow))
    assert np.all(np.abs(fast - slow) <= 2 * ulp)


@pytest.mark.parametrize("x", [np.array([1.0, np.nan, 2.0]), np.array([np.inf, 0.5]), np.array([1e308, 0.0])])
def test_non_finite_input_keeps_numpys_warnings_and_nans(x):
    with warnings.catch_warnings(record=True) as fast_w:
        warnings.simplefilter("always")
        fast = rs.sinc(x)
    with warnings.catch_warnings(record=True) as slow_w:
        warnings.simplefilter("always")
        slow = generic(rs.sinc, x)
    np.testing.assert_array_equal(fast, slow)
    assert [str(w.message) for w in fast_w] == [str(w.message) for w in slow_w]


@pytest.mark.parametrize("dtype", [np.float32, np.float16, np.complex128])
def test_sinc_keeps_numpys_result_dtype(dtype):
    x = np.linspace(-3, 3, 11).astype(dtype)
    assert rs.sinc(x).dtype == generic(rs.sinc, x).dtype


def test_interpolators_use_a_rebound_sinc(monkeypatch):
    calls = []

    def kernel(d):
        calls.append(d.size)
        return np.ones_like(d)

    monkeypatch.setattr(rs, "sinc", kernel)
    values, _ = rs.sinc_interp([1.0, 2.0, 3.0], 2)
    assert calls == [3] * 6
    np.testing.assert_array_equal(values, [6.0] * 6)


def test_a_different_pi_is_honoured(monkeypatch):
    s = np.random.default_rng(3).standard_normal(50)
    monkeypatch.setattr(rs, "PI", 3.0)
    fast = rs.sinc_interp(s, 1.7)[0]
    slow = generic(rs.sinc_interp, s, 1.7)[0]
    assert_within_contract(fast, slow, s)


def test_non_finite_samples_take_the_generic_route():
    s = np.array([1.0, np.inf, -np.inf, 2.0])
    with np.errstate(invalid="ignore"):
        fast = rs.sinc_interp(s, 2)[0]
        slow = generic(rs.sinc_interp, s, 2)[0]
    np.testing.assert_array_equal(fast, slow)
