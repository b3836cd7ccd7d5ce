# The chip reader's interface. `ofmt` selects the layout: the accepted names
# give an array of the layout's dtype; anything else gives None.
import os as os
import struct as struct
from typing import Any, Dict, Literal, Optional, Union, overload

import numpy
from numpy.typing import NDArray

np = numpy

_Path = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]", int]
_ComplexLayout = Literal["c", "cplx", "complex", "C", "CPLX", "COMPLEX"]
_PlaneLayout = Literal["ap", "amppha", "AP", "AMPPHA", "r", "real", "REAL"]

__test__: Dict[str, str]

def sarchip_header(filepath: _Path) -> Dict[str, str]: ...
@overload
def sarchip_raw(filepath: _Path, ofmt: _ComplexLayout = "c") -> NDArray[numpy.complex128]: ...
@overload
def sarchip_raw(filepath: _Path, ofmt: _PlaneLayout) -> NDArray[numpy.float64]: ...
@overload
def sarchip_raw(filepath: _Path, ofmt: None) -> None: ...
@overload
def sarchip_raw(filepath: _Path, ofmt: object) -> Optional[NDArray[Any]]: ...
