"""Mutated chip files: the readers raise only their documented exceptions.

A short run by default; CORVANE_FUZZ_EXAMPLES=1000000 for a long one. Each
example starts from a valid chip and applies a few mutations: byte flips,
truncation, inserted line feeds or bytes, and new values (huge, negative,
non-numeric) on header lines 3, 13 and 14.
"""

import os
import struct
import tempfile

import numpy as np
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import chipfile
from corvane.datasets import sarchip

EXAMPLES = int(os.environ.get("CORVANE_FUZZ_EXAMPLES", "200"))
# ValueError covers UnicodeDecodeError; OSError and OverflowError come from
# seeks to impossible offsets.
DOCUMENTED = (ValueError, struct.error, OSError, OverflowError)

_mag, _pha = chipfile.random_chip(3, 4, seed=7)
BASE = chipfile.chip_bytes(_mag, _pha, trailing=b"tail")
LINE_STARTS = [0] + [i + 1 for i, b in enumerate(BASE) if b == 0x0A]

values = st.one_of(
    st.integers(-(2**70), 2**70).map(str),
    st.sampled_from(["", " 7 ", "+3", "-0", "1e3", "0x10", "\u0661", "9" * 5000, "2.5", "= 1"]),
)
mutation = st.one_of(
    st.tuples(st.just("flip"), st.integers(0, len(BASE) - 1), st.integers(1, 255)),
    st.tuples(st.just("cut"), st.integers(0, len(BASE))),
    st.tuples(st.just("insert"), st.integers(0, len(BASE)), st.sampled_from([b"\n", b"\r", b"= ", b"\xff", b"0"])),
    st.tuples(st.just("value"), st.sampled_from([3, 13, 14]), values),
)


def mutate(blob, ops):
    blob = bytearray(blob)
    for op in ops:
        if op[0] == "flip":
            if op[1] < len(blob):
                blob[op[1]] ^= op[2]
        elif op[0] == "cut":
            del blob[op[1]:]
        elif op[0] == "insert":
            blob[op[1]:op[1]] = op[2]
        else:
            lines = bytes(blob).split(b"\n")
            if op[1] <= len(lines):
                name = lines[op[1] - 1].split(b"= ")[0]
                lines[op[1] - 1] = name + b"= " + op[2].encode("utf-8")
                blob = bytearray(b"\n".join(lines))
    return bytes(blob)


_DIR = tempfile.mkdtemp(prefix="sarchip-fuzz-")


@settings(max_examples=EXAMPLES, deadline=None, database=None,
          suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
@given(ops=st.lists(mutation, min_size=1, max_size=4), ofmt=st.sampled_from(["ap", "r", "c", "x"]))
def test_mutated_chips(ops, ofmt):
    blob = mutate(BASE, ops)
    path = os.path.join(_DIR, "chip")
    with open(path, "wb") as f:
        f.write(blob)
    try:
        header = sarchip.sarchip_header(path)
        assert type(header) is dict
    except DOCUMENTED:
        pass
    try:
        x = sarchip.sarchip_raw(path, ofmt)
    except DOCUMENTED:
        return
    if ofmt == "x":
        assert x is None
    else:
        assert isinstance(x, np.ndarray) and 8 * x.size <= 2 * len(blob) + 16
