"""Build Phoenix-header chip files for the test suite.

The reader only looks at line positions (3: data offset, 13: columns,
14: rows), so every part of a header can be overridden, down to raw bytes,
to build malformed and hostile inputs.
"""

import numpy as np

VERSION = "[PhoenixHeaderVer01.05]"
END = "[EndofPhoenixHeader]"

# Lines 4-12: realistic looking, never read.
_FILLER = [
    ("TargetType", "test"),
    ("TargetSerial", "T-0001"),
    ("DepressionAngle", "15.00"),
    ("TargetAzimuth", "0.00"),
    ("RangeResolution", "0.3047"),
    ("CrossRangeResolution", "0.3047"),
    ("RangePixelSpacing", "0.2021"),
    ("CrossRangePixelSpacing", "0.2021"),
    ("Polarization", "HH"),
]


def _line(item):
    # Raw strings go in verbatim (blank lines, missing separators, ...).
    return item if isinstance(item, str) else f"{item[0]}= {item[1]}"


def header_lines(ncols, nrows, offset, *, version=VERSION, fields=(), lines=None, end=END):
    """Header as text lines without terminators.

    ``fields`` (pairs, raw strings or a dict) follow line 14. ``lines`` maps
    1-based positions to replacement text; ``None`` drops that line.
    """
    items = fields.items() if isinstance(fields, dict) else fields
    out = [version, "FileName= chip", f"HeaderLength= {offset}"]
    out += [_line(f) for f in _FILLER]
    out += [f"NumberOfColumns= {ncols}", f"NumberOfRows= {nrows}"]
    out += [_line(f) for f in items]
    out.append(end)
    for pos, text in (lines or {}).items():
        out[pos - 1] = text
    return [text for text in out if text is not None]


def header_bytes(ncols, nrows, *, offset=None, gap=0, eol="\n", **kw):
    """Encoded header. Unless ``offset`` is given, line 3 points ``gap`` bytes past its end."""
    def render(off):
        return "".join(t + eol for t in header_lines(ncols, nrows, off, **kw)).encode("latin-1")

    if offset is not None:
        return render(offset)
    # The offset's own digits count towards the length: iterate to the fixed point.
    # Length never decreases as the offset grows, so this terminates.
    n = 0
    while True:
        head = render(n + gap)
        if len(head) == n:
            return head
        n = len(head)


def chip_bytes(magnitude, phase, *, ncols=None, nrows=None, header=None, pad=b"", trailing=b"", **header_kw):
    """Whole file: header, ``pad``, magnitude and phase as big-endian float32, ``trailing``.

    The dimensions default to the shape of a 2-D ``magnitude``; pass them (any
    value, strings included) for other shapes or lies. ``header`` replaces the
    generated header bytes verbatim.
    """
    mag = np.asarray(magnitude, ">f4")
    pha = np.asarray(phase, ">f4")
    if mag.ndim == 2:
        nrows = mag.shape[0] if nrows is None else nrows
        ncols = mag.shape[1] if ncols is None else ncols
    if header is None:
        header = header_bytes(ncols, nrows, gap=len(pad), **header_kw)
    return bytes(header) + pad + mag.tobytes() + pha.tobytes() + trailing


def write_chip(path, magnitude, phase, **kw):
    """Write :func:`chip_bytes` to ``path`` and return ``path``."""
    with open(path, "wb") as f:
        f.write(chip_bytes(magnitude, phase, **kw))
    return path


def random_chip(nrows, ncols, seed=0):
    """Float32 magnitude (positive) and phase (in (-pi, pi)) arrays."""
    rng = np.random.default_rng(seed)
    mag = (rng.random((nrows, ncols)) + 0.01).astype(np.float32)
    pha = ((rng.random((nrows, ncols)) * 2 - 1) * 3.14159).astype(np.float32)
    return mag, pha
