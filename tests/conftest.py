"""Shared fixtures for the interpolation module tests.

CORVANE_TEST_GENERIC=1 runs every test with `np` in the module's namespace
replaced by a stand-in that forwards to NumPy through plain Python wrappers.
The module cannot recognise NumPy behind it, so it skips its native fast
paths and evaluates everything with NumPy calls; both routes must pass the
same tests.
"""

import os

import pytest

import corvane.dsp.resampler as resampler
from reference import NumpyProxy

GENERIC = os.environ.get("CORVANE_TEST_GENERIC") == "1"


def pytest_configure(config):
    config.addinivalue_line("markers", "real_numpy: keep the module's own `np` even under CORVANE_TEST_GENERIC=1")


@pytest.fixture(autouse=True)
def _generic_numpy(request, monkeypatch):
    if GENERIC and request.node.get_closest_marker("real_numpy") is None:
        monkeypatch.setattr(resampler, "np", NumpyProxy())
    yield
