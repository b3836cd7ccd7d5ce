"""Readers of radar data files.

``corvane.datasets.sarchip`` (an extension module) reads one chip file;
``read_chips``, ``ChipSet``, ``chips_to_dask`` and ``find_chips`` (from the
pure-Python ``corvane.datasets.chips``) read many. They load on first use,
so that importing this package imports neither NumPy nor the extension
module, whose own initialisation then reports its own failures.
"""

import importlib as _importlib

_EXPORTS = ("ChipSet", "chips_to_dask", "find_chips", "read_chips")
__all__ = list(_EXPORTS)


def __getattr__(name):
    if name not in _EXPORTS:
        raise AttributeError(f"module 'corvane.datasets' has no attribute {name!r}")
    value = getattr(_importlib.import_module("corvane.datasets.chips"), name)
    globals()[name] = value
    return value


def __dir__():
    return sorted(set(globals()) | set(_EXPORTS))
