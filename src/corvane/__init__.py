"""corvane: radar signal and image tools.

The heavy lifting is done by two C++ extension modules,
``corvane.dsp.resampler`` (sinc interpolation) and
``corvane.datasets.sarchip`` (Phoenix-header chip files), beside which
``corvane.datasets.chips`` reads many chip files at once. Their public
functions are re-exported here and loaded on first use, so that importing the
package stays cheap and leaves each extension free to be run as a main module
(see ``python -m corvane.demo``).
"""

import importlib as _importlib
import os as _os

__version__ = "0.1.0"

_DATA_DIR = _os.path.join(_os.path.dirname(_os.path.abspath(__file__)), "data")

_EXPORTS = {
    "sinc": "corvane.dsp.resampler",
    "sinc_table": "corvane.dsp.resampler",
    "sinc_interp": "corvane.dsp.resampler",
    "interp": "corvane.dsp.resampler",
    "sarchip_header": "corvane.datasets.sarchip",
    "sarchip_raw": "corvane.datasets.sarchip",
    "read_chips": "corvane.datasets.chips",
    "ChipSet": "corvane.datasets.chips",
    "chips_to_dask": "corvane.datasets.chips",
}

__all__ = ["data_path", *_EXPORTS]


def data_path(name):
    """Return the folder of the package data set ``name``, ending in a path separator."""
    return _os.path.join(_DATA_DIR, name) + _os.sep


def __getattr__(name):
    module = _EXPORTS.get(name)
    if module is None:
        raise AttributeError(f"module 'corvane' has no attribute {name!r}")
    value = getattr(_importlib.import_module(module), name)
    globals()[name] = value
    return value


def __dir__():
    return sorted(set(globals()) | set(_EXPORTS))
