"""Replays the stored fuzz corpus (fuzz/corpus) on the installed build.

Each file is one input of fuzz/targets.py: a call of a native entry point,
run on the native and on the generic route, which must agree and fail only
with documented exceptions. The files include every defect the fuzzer found,
minimised. Needs neither atheris nor clang.
"""

import pathlib
import sys
import warnings

import numpy as np
import pytest

import corvane.dsp.resampler as rs
from reference import NumpyProxy

FUZZ = pathlib.Path(__file__).resolve().parents[1] / "fuzz"
CORPUS = sorted((FUZZ / "corpus").glob("*")) if FUZZ.is_dir() else []

pytestmark = [
    # Compares the native route with the generic one itself.
    pytest.mark.real_numpy,
    pytest.mark.skipif(not CORPUS, reason="no fuzz corpus beside the tests"),
]


@pytest.fixture(scope="module")
def targets():
    sys.path.insert(0, str(FUZZ))
    try:
        import targets
    finally:
        sys.path.remove(str(FUZZ))
    return targets


@pytest.mark.parametrize("path", CORPUS, ids=[p.name for p in CORPUS])
def test_corpus_input(targets, path):
    targets.one_input(path.read_bytes())


def test_corpus_reaches_every_target(targets):
    # Every target keeps inputs in the corpus, so each is replayed.
    reached = {data[0] % len(targets.TARGETS) for data in (p.read_bytes() for p in CORPUS) if data}
    assert reached == set(range(len(targets.TARGETS)))


# Defects the fuzzer found, as plain tests.


@pytest.mark.parametrize("unit", [1.0, 1j])
@pytest.mark.parametrize("fn", ["sinc_interp", "interp"])
def test_partial_sums_that_overflow_stay_numpys(fn, unit, monkeypatch):
    # NumPy adds -1e300 * sinc(-1.5) to the largest double first and
    # overflows to inf; the exact sum, which the native kernel gave, is finite.
    s = np.array([-1e300, np.finfo(float).max, 1e300]) * unit
    call = (lambda: rs.sinc_interp(s)[0]) if fn == "sinc_interp" else (lambda: rs.interp(np.empty(3), None, s))
    results = []
    for generic in (False, True):
        with monkeypatch.context() as m, warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            if generic:
                m.setattr(rs, "np", NumpyProxy())
            results.append((call(), [str(w.message) for w in caught]))
    (fast, fast_warnings), (slow, slow_warnings) = results
    assert np.isinf(slow[1].real if unit == 1.0 else slow[1].imag)
    np.testing.assert_array_equal(fast, slow)
    assert fast_warnings == slow_warnings == ["overflow encountered in reduce"]
