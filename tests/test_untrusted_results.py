"""The native routes write only into result arrays they can trust.

They get their result arrays from `numpy.empty`, which a profiler, a test
double or a debugging session may have replaced. Whatever it hands back
(too small, another dtype, read-only, strided, a view of another array, a
subclass, an array someone else holds), the native code must not write into
it: the call gives the result it gives with the real `numpy.empty`, and the
object handed out is left as it was.
"""

import contextlib
import weakref

import numpy as np
import pytest

try:
    from pytest import MonkeyPatch
except ImportError:  # pytest < 6.2 (the armhf rootfs)
    from _pytest.monkeypatch import MonkeyPatch

import chipfile
import corvane.dsp.resampler as rs
from corvane.datasets import sarchip

pytestmark = pytest.mark.real_numpy

SENTINEL = 12345.0
real_empty = np.empty


class Sub(np.ndarray):
    pass


def _dtype(args, kwargs):
    return np.dtype(kwargs.get("dtype", args[1] if len(args) > 1 else float))


def _filled(a):
    a[...] = SENTINEL
    return a


# Each makes, from numpy.empty's arguments, something that must not be written into.
HOSTILE = {
    "one element": lambda *a, **k: _filled(real_empty(1)),
    "narrower dtype": lambda *a, **k: _filled(real_empty(a[0], np.float32 if _dtype(a, k).kind == "f" else np.float64)),
    "read-only": lambda *a, **k: _readonly(_filled(real_empty(*a, **k))),
    "strided": lambda *a, **k: _strided(a[0], _dtype(a, k)),
    "view of another array": lambda *a, **k: _view(a[0], _dtype(a, k)),
    "subclass": lambda *a, **k: _filled(real_empty(*a, **k)).view(Sub),
    "held elsewhere": lambda *a, **k: _held(real_empty(*a, **k)),
}
handed_out = []


def _readonly(a):
    a.flags.writeable = False
    return a


def _strided(shape, dtype):
    shape = (shape,) if np.ndim(shape) == 0 else tuple(shape)
    wide = _filled(real_empty(shape[:-1] + (2 * shape[-1],) if shape else (2,), dtype))
    return wide[..., ::2] if shape else wide[0:1].reshape(())


def _view(shape, dtype):
    shape = (shape,) if np.ndim(shape) == 0 else tuple(shape)
    whole = _filled(real_empty(int(np.prod(shape)) + 1, dtype))
    handed_out.append(whole)
    return whole[1:].reshape(shape)


def _held(a):
    handed_out.append(_filled(a))
    return a


@contextlib.contextmanager
def replaced_empty(kind):
    """numpy.empty replaced for the block; afterwards checks that nothing
    was written into what it handed out."""
    made = []

    def empty(*args, **kwargs):
        a = HOSTILE[kind](*args, **kwargs)
        made.append(a)
        return a

    handed_out.clear()
    with MonkeyPatch().context() as mp:
        mp.setattr(np, "empty", empty)
        yield made
    assert made  # the native route did ask numpy.empty
    for a in made + handed_out:
        assert np.all(np.asarray(a) == SENTINEL)
    handed_out.clear()


def same(got, expected):
    assert type(got) is np.ndarray and got.dtype == expected.dtype and got.shape == expected.shape
    np.testing.assert_allclose(got, expected, rtol=1e-12, atol=1e-12 * max(1.0, np.max(np.abs(expected), initial=0)))


rng = np.random.default_rng(9)
REAL = rng.standard_normal(300)
CALLS = {
    "sinc": lambda: rs.sinc(np.linspace(0.1, 5, 4096)),
    "sinc 2-D": lambda: rs.sinc(np.linspace(-3, 3, 600).reshape(20, 30)),
    "sinc int": lambda: rs.sinc(np.arange(-50, 50)),
    "sinc_interp": lambda: rs.sinc_interp(REAL, 2.5)[0],
    "sinc_interp complex": lambda: rs.sinc_interp(REAL + 1j * REAL[::-1], 1.5)[0],
    "interp": lambda: rs.interp(np.zeros(77), None, REAL),
}


@pytest.mark.parametrize("kind", list(HOSTILE))
@pytest.mark.parametrize("call", list(CALLS))
def test_interpolation_never_writes_into_an_untrusted_result(call, kind):
    expected = CALLS[call]()
    with replaced_empty(kind):
        got = CALLS[call]()
    same(got, expected)


@pytest.mark.parametrize("kind", list(HOSTILE))
@pytest.mark.parametrize("ofmt", ["ap", "r", "c"])
@pytest.mark.parametrize("shape", [(1, 1), (3, 5), (40, 64)])
def test_chip_reader_never_writes_into_an_untrusted_result(tmp_path, ofmt, shape, kind):
    mag, pha = chipfile.random_chip(*shape, seed=shape[1])
    path = chipfile.write_chip(tmp_path / "c.chip", mag, pha)
    expected = sarchip.sarchip_raw(path, ofmt)
    with replaced_empty(kind):
        got = sarchip.sarchip_raw(path, ofmt)
    same(got, expected)


def test_a_faithful_replacement_keeps_the_native_route(monkeypatch):
    made = []

    def empty(*args, **kwargs):
        a = real_empty(*args, **kwargs)
        made.append(weakref.ref(a))
        return a

    monkeypatch.setattr(np, "empty", empty)
    y = rs.sinc(np.linspace(0.1, 5, 64))
    np.testing.assert_allclose(y, np.sinc(np.linspace(0.1, 5, 64) + 1e-8 / np.pi), rtol=1e-6)
    assert len(made) == 1 and made[0]() is y  # filled natively
