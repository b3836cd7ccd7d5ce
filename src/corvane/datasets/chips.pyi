# Many chip files at once. `images` is one array when the chips share a
# shape, a list of arrays when they do not, None for an ofmt that names no
# layout: narrow it with isinstance before using it as an array. pandas and
# Dask are optional: without their own type information their types are Any.
import os
from typing import Any, Dict, Iterable, List, Literal, Optional, Tuple, Union, overload

from numpy.typing import DTypeLike, NDArray

import dask.array  # type: ignore[import-untyped, import-not-found, unused-ignore]
import pandas  # type: ignore[import-untyped, import-not-found, unused-ignore]

_PathArg = Union[str, "os.PathLike[str]"]
_Source = Union[_PathArg, Iterable[_PathArg]]
_Layout = Literal["ap", "amppha", "AP", "AMPPHA", "r", "real", "REAL", "c", "cplx", "complex", "C", "CPLX", "COMPLEX"]

__all__ = ["ChipSet", "read_chips", "chips_to_dask", "find_chips"]

class ChipSet:
    paths: List[str]
    headers: List[Dict[str, str]]
    images: Union[NDArray[Any], List[NDArray[Any]], None]
    errors: List[Tuple[str, BaseException]]
    def __init__(self, paths: List[str], headers: List[Dict[str, str]],
                 images: Union[NDArray[Any], List[NDArray[Any]], None],
                 errors: List[Tuple[str, BaseException]]) -> None: ...
    def __len__(self) -> int: ...
    def table(self) -> pandas.DataFrame: ...

def read_chips(source: _Source, ofmt: object = "c", *, pattern: Optional[str] = None, workers: int = 1,
               errors: Literal["raise", "collect"] = "raise", dtype: Optional[DTypeLike] = None) -> ChipSet: ...
@overload
def chips_to_dask(source: _Source, ofmt: _Layout = "c", *, pattern: Optional[str] = None,
                  dtype: Optional[DTypeLike] = None) -> dask.array.Array: ...
@overload
def chips_to_dask(source: _Source, ofmt: object, *, pattern: Optional[str] = None,
                  dtype: Optional[DTypeLike] = None) -> Optional[dask.array.Array]: ...
def find_chips(source: _Source, pattern: Optional[str] = None) -> List[str]: ...
