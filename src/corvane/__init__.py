"""corvane: radar signal and image tools.

The heavy lifting is done by two C++ extension modules,
``corvane.dsp.resampler`` (sinc interpolation) and
``corvane.datasets.sarchip`` (Phoenix-header chip files).
"""

import os as _os

__version__ = "0.1.0"

_DATA_DIR = _os.path.join(_os.path.dirname(_os.path.abspath(__file__)), "data")


def data_path(name):
    """Return the folder of the package data set ``name``, ending in a path separator."""
    return _os.path.join(_DATA_DIR, name) + _os.sep


from .dsp.resampler import sinc, sinc_table, sinc_interp, interp  # noqa: E402

__all__ = ["data_path", "sinc", "sinc_table", "sinc_interp", "interp"]
