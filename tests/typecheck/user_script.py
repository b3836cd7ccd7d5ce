"""A user's script, written the way the README calls corvane.

`mypy --strict` must accept it as it stands, and it runs: the annotations
state what each call gives, so a stub that loses a signature (an `Any`) or
widens a result (an Optional array) fails the check.
"""

from __future__ import annotations

from pathlib import Path
from typing import TYPE_CHECKING, Dict, List, Optional, Tuple

import numpy as np

import corvane as cv
import corvane.datasets
import corvane.datasets.sarchip as sarchip
import corvane.dsp.resampler as resampler

if TYPE_CHECKING:  # numpy.typing is newer than the oldest NumPy supported
    from numpy.typing import NDArray


def resample(x: NDArray[np.float64]) -> Tuple[NDArray[np.generic], NDArray[np.float64]]:
    return cv.sinc_interp(x, r=2.5)


def main() -> None:
    x = np.cos(np.linspace(0, 6, 64))
    values, positions = resample(x)
    y: NDArray[np.generic] = cv.interp(np.empty(100), None, x)
    y = cv.interp(np.float64(3.0), [0, 1], [1.0 + 2j, 3.0], mod="linear")
    kernel = cv.sinc([0.0, 0.5, 1.0])
    table: NDArray[np.float64] = cv.sinc_table(4, 8)
    stored: float = resampler.SINC_TABLE_Nq16Ns8[15][3]
    pi: float = resampler.PI

    path: str = cv.data_path("sarchip") + "BTR70_HB03787.004"
    header: Dict[str, str] = cv.sarchip_header(path)
    chip: NDArray[np.complex128] = cv.sarchip_raw(path)
    planes: NDArray[np.float64] = cv.sarchip_raw(path, ofmt="ap")
    parts: NDArray[np.float64] = sarchip.sarchip_raw(path, "REAL")
    same: NDArray[np.complex128] = cv.sarchip_raw(path, ofmt="COMPLEX")
    nothing: None = cv.sarchip_raw(path, None)
    layout: str = "Ap"
    maybe: Optional[NDArray[np.generic]] = cv.sarchip_raw(path, layout)

    # Many chips: the images are one array only when the shapes agree.
    chipset: cv.ChipSet = cv.read_chips([path, Path(path)], "ap", errors="collect", dtype=np.float32)
    images = chipset.images
    stacked = images.shape if isinstance(images, np.ndarray) else None
    failed: List[Tuple[str, BaseException]] = chipset.errors
    fields: List[Dict[str, str]] = cv.datasets.read_chips(cv.data_path("sarchip"), pattern="*.004").headers

    # The module-level names users may rebind or read.
    saved = resampler.np
    resampler.np = np
    resampler.np = saved
    fmt = ">%df" % 2
    nbytes: int = sarchip.struct.calcsize(fmt)
    root: str = sarchip.os.sep
    version: str = cv.__version__

    print(values.shape, positions.dtype, y.dtype, kernel.shape, table.shape, stored, pi,
          header["PhoenixHeaderVer"], chip.dtype, planes.shape, parts.shape, same.shape, nothing,
          maybe is None, nbytes, root, version, len(chipset), stacked, len(failed), len(fields))


if __name__ == "__main__":
    main()
