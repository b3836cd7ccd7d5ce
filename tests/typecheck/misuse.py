"""Calls that the stubs must reject: `# E` marks each line where mypy has to
report an error. Each would pass unnoticed if the name were `Any`."""

import numpy as np
from numpy.typing import NDArray

import corvane as cv

x = np.zeros(8)
cv.sinc_interp(x, r="2")  # E
cv.sinc_interp(x, 2.0, 3)  # E
cv.interp([1.0, 2.0], None, x)  # E
cv.sinc_table(4.0, 8)  # E
cv.sinc()  # E
cv.sarchip_header(3.5)  # E
cv.data_path(1)  # E
maybe_planes: NDArray[np.float64] = cv.sarchip_raw("chip", ofmt="ap")
wrong_layout: NDArray[np.float64] = cv.sarchip_raw("chip")  # E
unknown: NDArray[np.complex128] = cv.sarchip_raw("chip", ofmt="Real")  # E
not_a_dict: int = cv.sarchip_header("chip")  # E
cv.no_such_function  # E
cv.read_chips("chips", workers="2")  # E
cv.read_chips("chips", errors="ignore")  # E
cv.read_chips("chips", "c", None)  # E
cv.read_chips("chips").images.shape  # E
cv.read_chips(3)  # E
