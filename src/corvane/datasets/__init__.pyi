# The package loads these from corvane.datasets.chips on first use (see
# __init__.py); to a type checker they are plain re-exports.
from corvane.datasets.chips import ChipSet as ChipSet
from corvane.datasets.chips import chips_to_dask as chips_to_dask
from corvane.datasets.chips import find_chips as find_chips
from corvane.datasets.chips import read_chips as read_chips

__all__ = ["ChipSet", "chips_to_dask", "find_chips", "read_chips"]
