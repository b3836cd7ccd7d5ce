"""Plain NumPy evaluations of the interpolation kernel and sums, written
independently of corvane.dsp.resampler, for comparing its results against.

The grids are computed from their closed forms (sample k of an n-point grid
over [0, N] at k*N/(n-1)), not with np.linspace, so a result that agrees with
these to ~1e-12 has the right positions and the right kernel orientation.
NumpyProxy is the stand-in for NumPy that forces the module's generic route.
"""

import math
import types

import numpy as np

EPS = 1e-8


def sinc(x):
    """sin(pi*x + eps)/(pi*x + eps), 1.0 where |pi*x| < eps or the denominator is 0."""
    a = math.pi * np.array(x)
    den = a + EPS
    with np.errstate(invalid="ignore", divide="ignore"):
        q = np.sin(a + EPS) / den
    return np.where((np.abs(a) < EPS) | (den == 0), 1.0, q)


def grid(n, stop):
    """n evenly spaced positions over [0, stop], both ends included."""
    if n == 1:
        return np.zeros(1)
    return np.array([k * stop / (n - 1) for k in range(n)], dtype=float)


def resample(signal, M):
    """(values, positions): values[m] = sum_k s[k] * sinc(v[k] - u[m]) with
    v the N input and u the M output positions over [0, N]; the signal
    broadcasts against the N kernel values as it is (no flattening)."""
    s = np.array(signal)
    N = s.size
    u, v = grid(M, N), grid(N, N)
    values = [np.sum(s * sinc(v - um)) for um in u]
    return np.array(values), u


def table_positions(Nq, Ns):
    """Rows of kernel-table positions: row q-1 holds k*q*Ns/(Ns*q - 1) - Ns/2."""
    X = np.zeros((Nq, Ns))
    for q in range(1, Nq + 1):
        for k in range(Ns):
            X[q - 1, k] = (k * q * Ns / (Ns * q - 1) if Ns * q > 1 else 0.0) - Ns / 2.0
    return X


class NumpyProxy(types.ModuleType):
    """Stands in for the numpy module: every attribute is NumPy's, functions
    come wrapped in plain Python functions, so nothing reached through it is
    identical to a NumPy object while every call gives NumPy's result."""

    def __init__(self, name="numpy"):
        super().__init__(name)

    def __getattr__(self, name):
        value = getattr(np, name)
        if callable(value) and not isinstance(value, type):

            def forward(*args, **kwargs):
                return value(*args, **kwargs)

            forward.__name__ = name
            return forward
        return value


def random_samples(rng, n, kind):
    """n random samples of one of the sample dtypes the native paths take
    ("int", "float32", "complex64", "complex"); None for other kinds."""
    if kind == "int":
        return rng.integers(-1000, 1000, n)
    if kind == "float32":
        return rng.standard_normal(n).astype(np.float32)
    if kind == "complex64":
        return (rng.standard_normal(n) + 1j * rng.standard_normal(n)).astype(np.complex64)
    if kind == "complex":
        return rng.standard_normal(n) + 1j * rng.standard_normal(n)
    return None
