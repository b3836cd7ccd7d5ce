"""Values computed by corvane.dsp.resampler: the kernel, the kernel tables
and the two interpolators."""

import math
import re
import warnings

import numpy as np
import pytest
from numpy.testing import assert_allclose, assert_array_equal

import corvane.dsp.resampler as m
import reference as ref

# Tight enough to see the 1e-8 offset and the kernel's asymmetry (both shift
# values by ~1e-9 or more), loose enough for a few ulp of rounding.
KERNEL_TOL = dict(rtol=2e-15, atol=2e-16)


def interp_tol(signal):
    return dict(rtol=1e-12, atol=1e-12 * max(1.0, float(np.sum(np.abs(signal)))))


# -- sinc -------------------------------------------------------------------------

@pytest.mark.parametrize(
    "x, value, rel",
    [
        (0.5, 0.63661976831, 1e-10),
        (-0.5, 0.63661977642, 1e-10),
        (1, -3.1830988e-9, 1e-7),
        (-1, 3.1830989e-9, 1e-7),
        (2, 1.5915494e-9, 1e-7),
        (0.25, 0.90031631370, 1e-10),
    ],
)
def test_sinc_worked_values(x, value, rel):
    assert float(m.sinc(x)) == pytest.approx(value, rel=rel)


@pytest.mark.parametrize("x", [0, 0.0, -0.0, 3e-9, -3e-9, 1e-300])
def test_sinc_is_exactly_one_near_zero(x):
    y = m.sinc(x)
    assert type(y) is np.ndarray and y.shape == () and y.dtype == np.float64
    assert y == 1.0


@pytest.mark.parametrize(
    "x, dtype, shape",
    [
        (0.5, np.float64, ()),
        ([0, 0.5, 1], np.float64, (3,)),
        (np.full((2, 3), 0.5), np.float64, (2, 3)),
        ([], np.float64, (0,)),
        ([0.5 + 0j, 1j], np.complex128, (2,)),
        (np.arange(4, dtype=np.int32), np.float64, (4,)),
        (np.arange(4, dtype=np.uint8), np.float64, (4,)),
        ([True, False], np.float64, (2,)),
    ],
)
def test_sinc_dtype_and_shape(x, dtype, shape):
    y = m.sinc(x)
    assert (y.dtype, y.shape) == (dtype, shape)
    assert_allclose(y, ref.sinc(x), **KERNEL_TOL)


def test_sinc_copies_its_input():
    x = np.array([0.5, -1.25, 3.0])
    before = x.copy()
    y = m.sinc(x)
    assert_array_equal(x, before)
    assert not np.shares_memory(x, y)


def test_sinc_where_the_offset_cancels():
    x = -1e-8 / np.pi
    assert m.PI * x + 1e-8 == 0.0 and abs(m.PI * x) == 1e-8  # just outside the guard, 0/0 in the formula
    with warnings.catch_warnings(), np.errstate(all="raise"):
        warnings.simplefilter("error")
        assert m.sinc(x) == 1.0
        y = m.sinc([0.5, x, 2.0, x])
    assert y[1] == y[3] == 1.0
    assert_allclose(y[[0, 2]], ref.sinc([0.5, 2.0]), **KERNEL_TOL)


def test_sinc_non_finite():
    assert np.isnan(m.sinc(np.nan))
    with pytest.warns(RuntimeWarning, match="invalid value"):
        y = m.sinc([np.inf, -np.inf, 0.5])
    assert np.isnan(y[:2]).all() and y[2] == pytest.approx(0.63661976831)


@pytest.mark.parametrize("seed", range(4))
def test_sinc_matches_plain_numpy(seed):
    rng = np.random.default_rng(seed)
    x = np.concatenate(
        [
            rng.uniform(-40, 40, 500),
            rng.uniform(-1e-8, 1e-8, 50),  # both sides of the guard
            rng.integers(-20, 20, 50) + rng.uniform(-1e-9, 1e-9, 50),  # near the zeros
            rng.normal(0, 1e4, 50),
        ]
    )
    assert_allclose(m.sinc(x), ref.sinc(x), **KERNEL_TOL)
    assert_allclose(m.sinc(x.reshape(25, 26)), ref.sinc(x).reshape(25, 26), **KERNEL_TOL)
    z = x + 1j * rng.uniform(-1, 1, x.size)
    assert_allclose(m.sinc(z), ref.sinc(z), **KERNEL_TOL)


# -- sinc_table -------------------------------------------------------------------

def printed_rows(text):
    return [np.array(row.split(), dtype=float) for row in re.findall(r"\[([^\]]*)\]", text)]


def test_sinc_table_16_8(capsys):
    t = m.sinc_table(16, 8)
    assert (type(t), t.dtype, t.shape) == (np.ndarray, np.float64, (16, 8))
    rows = printed_rows(capsys.readouterr().out)
    assert len(rows) == 16
    # Rows are filled (and printed) from the last to the first.
    assert_allclose(rows[0], np.arange(8) * 128 / 127 - 4, atol=1e-8)
    assert_allclose(rows[-1], [-4, -20 / 7, -12 / 7, -4 / 7, 4 / 7, 12 / 7, 20 / 7, 4], atol=1e-8)
    assert_allclose(rows, ref.table_positions(16, 8)[::-1], atol=1e-8)
    assert_allclose(t[0], [-7.96e-10, 0.048338, -0.145171, 0.543076, 0.543076, -0.145171, 0.048338, 7.96e-10], atol=1e-6)
    assert_allclose(t[15], [-7.96e-10, 0.002631, -0.007933, 0.024171, 0.998369, -0.037782, 0.022992, -0.017951], atol=1e-6)
    assert_allclose(t, ref.sinc(ref.table_positions(16, 8)), rtol=1e-12, atol=1e-14)


@pytest.mark.parametrize(
    "Nq, Ns, printed, row0",
    [
        (1, 1, [[-0.5]], [0.6366197764204287]),
        (2, 3, [[-1.5, -0.3, 0.9], [-1.5, 0.0, 1.5]], [-0.2122066, 1.0, -0.2122066]),
        (3, 2, [[-1.0, 0.2], [-1.0, 0.33333333], [-1.0, 1.0]], None),
    ],
)
def test_small_sinc_tables(capsys, Nq, Ns, printed, row0):
    t = m.sinc_table(Nq, Ns)
    assert t.shape == (Nq, Ns)
    rows = printed_rows(capsys.readouterr().out)
    assert len(rows) == len(printed)
    for got, want in zip(rows, printed):
        assert_allclose(got, want, atol=1e-8)
    if row0 is not None:
        assert_allclose(t[0], row0, rtol=1e-7)
    assert_allclose(t, ref.sinc(ref.table_positions(Nq, Ns)), rtol=1e-12, atol=1e-14)


@pytest.mark.parametrize("Nq, Ns, out", [(0, 8, ""), (4, 0, "[]\n" * 4)])
def test_empty_sinc_tables(capsys, Nq, Ns, out):
    t = m.sinc_table(Nq, Ns)
    assert (t.shape, t.dtype) == ((Nq, Ns), np.float64)
    assert capsys.readouterr().out == out


def test_stored_table():
    t = m.SINC_TABLE_Nq16Ns8
    assert t[0] == [-0.003, 0.010, -0.024, 0.062, 0.993, -0.054, 0.021, -0.009]
    assert t[7] == t[7][::-1]
    for r in range(15):
        assert t[14 - r] == t[r][::-1]
    assert t[15][3] == 1.0
    assert [math.copysign(1.0, v) for v in t[15]] == [-1, 1, -1, 1, 1, -1, 1, -1]
    # Kaiser-windowed (beta 3, half-width 4) sinc taps for shifts of (r + 1)/16.
    d = np.arange(8)[None, :] - 4 + (np.arange(16)[:, None] + 1) / 16
    # (np.i0 before NumPy 1.20 mishandles 2-D and integer input.)
    window = np.i0((3 * np.sqrt(1 - (d / 4) ** 2)).ravel()).reshape(d.shape) / np.i0(3.0)
    taps = ref.sinc(d) * window
    assert np.abs(np.array(t) - taps).max() <= 0.0005 + 1e-12
    assert all(v == round(v, 3) for row in t for v in row)


# -- sinc_interp ------------------------------------------------------------------

@pytest.mark.parametrize(
    "N, r, M",
    [(4, 1.0, 4), (4, 2, 8), (5, 1.5, 7), (5, 0.1, 0), (0, 3.0, 0), (1, -0.5, 0), (1, 1.0, 1),
     (7, np.float64(0.5), 3), (3, np.int64(3), 9), (6, 0.3, 1), (100, 0.29, 28)],
)
def test_sinc_interp_against_plain_numpy(N, r, M):
    x = np.random.default_rng(N).normal(size=N)
    values, positions = m.sinc_interp(x, r)
    want_values, want_positions = ref.resample(x, M)
    assert (values.dtype, positions.dtype, values.shape, positions.shape) == (np.float64, np.float64, (M,), (M,))
    assert_array_equal(positions, np.linspace(0, N, M))
    assert_allclose(positions, want_positions, rtol=1e-15)
    assert_allclose(values, want_values, **interp_tol(x))


@pytest.mark.parametrize("bad", [np.nan, np.inf, -np.inf])
def test_sinc_interp_non_finite_samples(bad):
    x = np.array([1.0, bad, 2.0, 0.5])
    with np.errstate(all="ignore"):
        got, want = m.sinc_interp(x, 1.5)[0], ref.resample(x, 6)[0]
    assert_allclose(got, want, rtol=1e-12)  # NaN and infinities where the plain sums have them


def test_sinc_interp_four_samples():
    values, positions = m.sinc_interp([1, 2, 3, 4])
    assert_allclose(positions, [0, 4 / 3, 8 / 3, 4], rtol=1e-15)
    k = np.arange(4)
    want = [np.sum((k + 1) * ref.sinc((k - j) * 4 / 3)) for j in range(4)]
    assert_allclose(values, want, **interp_tol([1, 2, 3, 4]))
    assert not np.allclose(values, [1, 2, 3, 4], atol=1e-3)


@pytest.mark.parametrize("signal", [2.5, [2.5], np.float32(2.5)])
def test_sinc_interp_single_sample(signal):
    values, positions = m.sinc_interp(signal)
    assert_array_equal(values, [2.5])
    assert_array_equal(positions, [0.0])


@pytest.mark.parametrize("signal, dtype", [([1, 0, 2], np.float64), ([True, False, True], np.float64),
                                           (np.arange(3, dtype=np.int16), np.float64), ([1j, 2, 3 - 1j], np.complex128)])
def test_sinc_interp_dtype(signal, dtype):
    assert m.sinc_interp(signal, 1.5)[0].dtype == dtype


def test_sinc_interp_complex_is_two_real_interpolations():
    rng = np.random.default_rng(7)
    re_, im = rng.normal(size=9), rng.normal(size=9)
    x = re_ + 1j * im
    before = x.copy()
    values = m.sinc_interp(x, 1.7)[0]
    assert values.dtype == np.complex128
    assert_allclose(values.real, m.sinc_interp(re_, 1.7)[0], **interp_tol(re_))
    assert_allclose(values.imag, m.sinc_interp(im, 1.7)[0], **interp_tol(im))
    assert_array_equal(x, before)


def test_sinc_interp_column_broadcasts():
    col = np.array([[1.0], [2.0], [4.0]])
    values, positions = m.sinc_interp(col, 2)
    v = np.linspace(0, 3, 3)
    want = [7.0 * np.sum(ref.sinc(v - u)) for u in positions]
    assert_allclose(values, want, **interp_tol(col))
    assert_allclose(values, ref.resample(col, 6)[0], **interp_tol(col))


# -- interp -----------------------------------------------------------------------

YP = [1.0, 2.0, 3.0, 4.0]


def test_interp_worked_example():
    y = m.interp(np.array([0.5, 7.0, -3.0]), [10, 20], YP)
    assert (y.dtype, y.shape) == (np.float64, (3,))
    k = np.arange(4)
    want = [np.sum(np.array(YP) * ref.sinc(k * 4 / 3 - u)) for u in (0.0, 2.0, 4.0)]
    assert_allclose(y, want, **interp_tol(YP))


@pytest.mark.parametrize(
    "x, xp, mod",
    [(np.zeros(3), [10, 20], "sinc"), (np.array([9.0, -1.0, 1e300]), np.arange(100), "sinc"),
     (np.array([[1], [2], [3]]), "abc", "linear"), (np.array([1, 2, 3]), [[1, 2], [3, 4]], None),
     (np.array([1, 2, 3]), 0, 3)],
)
def test_interp_uses_only_the_size_of_x(x, xp, mod):
    assert_array_equal(m.interp(x, xp, YP, mod), m.interp(np.array([0.5, 7.0, -3.0]), [10, 20], YP))


@pytest.mark.parametrize(
    "x, yp, want",
    [(np.array([]), YP, []), (np.array([]), [1j, 2], []), (np.zeros(3), [], [0.0, 0.0, 0.0]),
     (np.float64(8.0), YP, [np.sum(np.array(YP) * ref.sinc(np.arange(4) * 4 / 3))])],
)
def test_interp_small_cases(x, yp, want):
    y = m.interp(x, [0], yp)
    assert (y.dtype, y.shape) == (np.float64, (len(want),))
    assert_allclose(y, want, **interp_tol(yp))


def test_interp_output_is_flat_and_typed():
    assert m.interp(np.zeros((3, 4)), 0, YP).shape == (12,)
    assert m.interp(np.zeros(5), 0, [1 + 1j, 2, 3j]).dtype == np.complex128
    assert m.interp(np.zeros(5), 0, [1, 2, 3]).dtype == np.float64


@pytest.mark.parametrize(
    "N, r", [(4, 1.0), (5, 1.5), (7, 0.3), (10, 2), (9, 1 / 3), (1, 4.0), (16, 2.75), (3, 0.5)]
)
@pytest.mark.parametrize("kind", ["real", "complex", "column"])
def test_interp_equals_sinc_interp(N, r, kind):
    rng = np.random.default_rng(N)
    s = rng.normal(size=N)
    if kind == "complex":
        s = s + 1j * rng.normal(size=N)
    elif kind == "column":
        s = s.reshape(N, 1)
    M = int(N * r)
    assert_array_equal(m.interp(np.ones(M), rng.normal(size=3), s), m.sinc_interp(s, r)[0])
