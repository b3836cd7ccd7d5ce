"""Readers of radar data files.

``corvane.datasets.sarchip`` (an extension module) reads one chip file;
``read_chips``, ``ChipSet`` and ``chips_to_dask`` (from the pure-Python
``corvane.datasets.chips``) read many. Importing this package does not load
the extension module.
"""

from corvane.datasets.chips import ChipSet, chips_to_dask, find_chips, read_chips

__all__ = ["ChipSet", "chips_to_dask", "find_chips", "read_chips"]
