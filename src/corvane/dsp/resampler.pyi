# The interpolation module's interface. Arguments that the functions pass to
# np.array first accept whatever np.array accepts, hence `object`.
from typing import Any, Dict, List, Protocol, SupportsIndex, Tuple

import numpy
from numpy.typing import NDArray

from corvane.utils.const import *

# The module looks NumPy up under this name at every call; rebinding it (to a
# module with the same functions) makes the module take its plain NumPy route.
np = numpy

class _Sized(Protocol):
    @property
    def size(self) -> int: ...

SINC_TABLE_Nq16Ns8: List[List[float]]
__test__: Dict[str, str]

def sinc(x: object) -> NDArray[Any]: ...
def sinc_table(Nq: SupportsIndex, Ns: SupportsIndex) -> NDArray[numpy.float64]: ...
def sinc_interp(xin: object, r: float = 1.0) -> Tuple[NDArray[Any], NDArray[numpy.float64]]: ...
def interp(x: _Sized, xp: object, yp: object, mod: object = "sinc") -> NDArray[Any]: ...
