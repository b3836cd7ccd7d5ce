import os
from typing import Any, Dict, Optional, Union

from numpy.typing import NDArray

_Path = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]", int]

def sarchip_header(filepath: _Path) -> Dict[str, str]: ...
def sarchip_raw(filepath: _Path, ofmt: Any = "c") -> Optional[NDArray[Any]]: ...
