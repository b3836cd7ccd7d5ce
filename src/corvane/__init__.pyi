# The package re-exports the modules' functions lazily (see __init__.py); to a
# type checker they are plain re-exports with the modules' own signatures.
from corvane.datasets.chips import ChipSet as ChipSet
from corvane.datasets.chips import chips_to_dask as chips_to_dask
from corvane.datasets.chips import read_chips as read_chips
from corvane.datasets.sarchip import sarchip_header as sarchip_header
from corvane.datasets.sarchip import sarchip_raw as sarchip_raw
from corvane.dsp.resampler import interp as interp
from corvane.dsp.resampler import sinc as sinc
from corvane.dsp.resampler import sinc_interp as sinc_interp
from corvane.dsp.resampler import sinc_table as sinc_table

__version__: str
__all__ = ["data_path", "sinc", "sinc_table", "sinc_interp", "interp", "sarchip_header", "sarchip_raw",
           "read_chips", "ChipSet", "chips_to_dask"]

def data_path(name: str) -> str: ...
