"""What one fuzz input does: decode the bytes into a call of a native entry
point, run it on the native route and on the generic NumPy route, and check
that both agree and fail only with the documented exceptions.

Plain Python, NumPy and corvane only: fuzz_native.py drives it under
atheris, and tests/test_fuzz_corpus.py replays the stored corpus through the
same `one_input` in every test run.

The first byte picks the target:
  0  sarchip_header, against a Python evaluation of the header loop
  1  sarchip_raw, every layout and odd `ofmt` values, native against generic
  2  sinc, dtypes, shapes, strides, byte orders, sizes 0-3 and large
  3  sinc_interp, the same signals and ratios, native against generic
  4  interp, the same samples and odd `x`, `xp`, `mod`
Every later byte is read through `Input`, which gives zeros once the data
runs out, so every byte string is a valid input. The last byte a target
reads says how the call binds its arguments (`bound`).
"""

import os
import struct
import sys
import tempfile
import types
import warnings

import numpy as np

from corvane.datasets import sarchip
import corvane.dsp.resampler as rs


class Finding(AssertionError):
    """The two routes disagree, or a call failed in an undocumented way."""


# ---------------------------------------------------------------------------
# Decoding the input


class Input:
    def __init__(self, data):
        self.data = bytes(data)
        self.pos = 0

    def byte(self):
        if self.pos >= len(self.data):
            return 0
        self.pos += 1
        return self.data[self.pos - 1]

    def take(self, n):
        chunk = self.data[self.pos:self.pos + n]
        self.pos += len(chunk)
        return chunk + bytes(n - len(chunk))

    def rest(self):
        chunk = self.data[self.pos:]
        self.pos = len(self.data)
        return chunk

    def below(self, n):
        """An int in [0, n) from one byte (two for n > 256)."""
        b = self.byte() if n <= 256 else self.byte() << 8 | self.byte()
        return b % n

    def pick(self, options):
        return options[self.below(len(options))]


SPECIAL = [0.0, -0.0, 1.0, -1.0, 0.5, -0.5, 2.0, 3e-9, -3e-9, 1e-8 / np.pi, -1e-8 / np.pi,
           -3.183098861837907e-09, 1e-300, 5e-324, -5e-324, 1e300, -1e300, 1.7976931348623157e308,
           1e6, 1e6 / np.pi, 4194304.0, 4194305.0, np.nan, -np.nan, np.inf, -np.inf, 1e22, 0.25, 7.0, -13.5]


def value(inp):
    """A double: a special value, a small dyadic number or any bit pattern."""
    b = inp.byte()
    if b < 80:
        return SPECIAL[b % len(SPECIAL)]
    if b < 224:
        return struct.unpack("<h", inp.take(2))[0] / float(1 << (b % 24))
    return struct.unpack("<d", inp.take(8))[0]


DTYPES = ["f8", "f8", "f8", "c16", "f4", "c8", "f2", "i1", "u1", "i2", "u2", "i4", "u4", "i8", "u8", "?",
          ">f8", ">c16", ">i4", ">f4", "<f8", "O"]
SHAPES = ["n", "n", "n", "scalar", "1n", "n1", "11n", "2x", "x2", "fortran"]
LAYOUTS = ["contiguous", "contiguous", "reversed", "strided", "readonly", "swapped"]
CONTAINERS = ["array", "array", "array", "array", "list", "numpy scalar", "python scalar"]


def size(inp):
    b = inp.byte()
    if b < 128:
        return b % 4
    if b < 232:
        return 4 + b % 61
    return inp.pick([300, 1023, 1025, 4097, 20000 if b == 255 else 2049])


def values(inp, n, complex_):
    """n doubles (or complexes): the first few from the input, the rest
    repeating them with a drift, so that large sizes stay cheap to decode."""
    k = min(n, 16)
    head = [value(inp) for _ in range(k)]
    if complex_:
        head = [complex(a, value(inp)) for a in head]
    out = np.array(head, dtype=complex if complex_ else float)
    if n > k:
        with np.errstate(all="ignore"):
            reps = -(-n // k)
            out = (np.tile(out, reps) + np.repeat(np.arange(reps) * 0.125, k))[:n]
    return out


def cast(raw, dtype):
    with np.errstate(all="ignore"), warnings.catch_warnings():
        warnings.simplefilter("ignore")
        if dtype == "O":
            return np.array(list(raw), dtype=object)
        if np.dtype(dtype).kind in "iub":
            # Integers from the finite values only: casting NaN is undefined.
            real = np.nan_to_num(raw.real, posinf=0, neginf=0)
            if dtype == "?":
                return real != 0
            info = np.iinfo(dtype)
            return np.clip(real, info.min, info.max).astype(dtype)
        if np.dtype(dtype).kind == "f":
            return raw.real.astype(dtype)
        return raw.astype(dtype)


def signal(inp):
    """An argument for sinc or a signal: any dtype, shape, memory layout or container."""
    n = size(inp)
    dtype = inp.pick(DTYPES)
    shape, layout, container = inp.pick(SHAPES), inp.pick(LAYOUTS), inp.pick(CONTAINERS)
    if n > 64:  # large signals as arrays of numbers: the generic route stays vectorised
        dtype, container = ("f8" if dtype == "O" else dtype), "array"
        shape = "n" if shape == "n1" else shape  # a column broadcasts to n * n per output
    a = cast(values(inp, n, np.dtype(dtype).kind == "c"), dtype)
    if shape == "scalar" or (container != "array" and container != "list"):
        a = a[:1].reshape(()) if n else np.array(0.0).astype(a.dtype)
    elif shape == "1n":
        a = a.reshape(1, n)
    elif shape == "n1":
        a = a.reshape(n, 1)
    elif shape == "11n":
        a = a.reshape(1, 1, n)
    elif shape in ("2x", "x2", "fortran") and n % 2 == 0:
        a = a.reshape((2, n // 2) if shape != "x2" else (n // 2, 2))
        if shape == "fortran":
            a = np.asfortranarray(a.T)
    if layout == "reversed" and a.ndim:
        a = a[..., ::-1]
    elif layout == "strided" and a.ndim:
        wide = np.repeat(a, 2, axis=-1)
        a = wide[..., ::2]
    elif layout == "readonly":
        a = a.copy()
        a.flags.writeable = False
    elif layout == "swapped" and a.dtype.kind in "fciu" and a.dtype.itemsize > 1:
        a = a.astype(a.dtype.newbyteorder())
    if container == "list":
        return a.tolist()
    if container == "numpy scalar":
        return a[()]
    if container == "python scalar":
        return a.item()
    return a


# ---------------------------------------------------------------------------
# Comparing the routes


class NumpyProxy(types.ModuleType):
    """NumPy behind plain Python wrappers: the modules cannot recognise it, so
    they take their generic route, while every call still gives NumPy's result."""

    def __init__(self):
        super().__init__("numpy")

    def __getattr__(self, name):
        attr = getattr(np, name)
        if callable(attr) and not isinstance(attr, type):

            def forward(*args, **kwargs):
                return attr(*args, **kwargs)

            return forward
        return attr


PROXY = NumpyProxy()


def run(fn, *args):
    """(result, exception, warning texts) of one call."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            result, error = fn(*args), None
        except Exception as e:  # noqa: BLE001 - every exception is judged below
            result, error = None, e
    return result, error, [str(w.message) for w in caught]


def bound(style, fn, names, *args):
    """`fn` called with `args` by position (most styles), by keyword, or
    wrongly: one argument too many, an unknown keyword, a repeated one.
    The style is the last byte read, so that the bytes before keep their
    meaning as the harness grows."""
    style %= 8
    if style == 4:
        return lambda: fn(**dict(zip(names, args)))
    if style == 5:
        return lambda: fn(*args, *([None] * (len(names) + 1 - len(args))))
    if style == 6:
        return lambda: fn(*args, unknown=1)
    if style == 7:
        return lambda: fn(*args, **{names[0]: args[0]})
    return lambda: fn(*args)


def generic(module, name, fn, *args):
    """The call with `module.name` bound to the NumPy stand-in."""
    saved = getattr(module, name)
    setattr(module, name, PROXY if name == "np" else forwarding_struct())
    try:
        return run(fn, *args)
    finally:
        setattr(module, name, saved)


def forwarding_struct():
    proxy = types.ModuleType("struct")
    proxy.unpack_from = lambda *args: struct.unpack_from(*args)
    proxy.error = struct.error
    return proxy


def same_failure(native, slow, documented, where):
    (_, e1, w1), (_, e2, w2) = native, slow
    if (e1 is None) != (e2 is None):
        raise Finding(f"{where}: one route raised {e1 or e2!r}, the other did not")
    if e1 is not None:
        if not isinstance(e1, documented):
            raise Finding(f"{where}: undocumented exception {e1!r}") from e1
        if type(e1) is not type(e2) or str(e1) != str(e2):
            raise Finding(f"{where}: native raised {e1!r}, generic {e2!r}") from e1
    if w1 != w2:
        raise Finding(f"{where}: warnings differ: native {w1}, generic {w2}")
    return e1 is not None


def same_array(a, b, where, tolerance):
    """Same type, dtype and shape; the same NaNs and infinities; finite values
    within `tolerance(a, b)` of each other."""
    if type(a) is not type(b):
        raise Finding(f"{where}: result types {type(a)} and {type(b)}")
    if a is None:
        return
    if a.dtype != b.dtype or a.shape != b.shape:
        raise Finding(f"{where}: {a.dtype}{a.shape} against {b.dtype}{b.shape}")
    if a.dtype.kind not in "biufc":
        if repr(a.tolist()) != repr(b.tolist()):
            raise Finding(f"{where}: {a!r} against {b!r}")
        return
    for x, y in ((a.real, b.real), (a.imag, b.imag)) if a.dtype.kind == "c" else ((a, b),):
        finite = np.isfinite(x) & np.isfinite(y)
        if not np.array_equal(x[~finite], y[~finite], equal_nan=True):
            raise Finding(f"{where}: non-finite values differ: {x[~finite][:8]} against {y[~finite][:8]}")
        if finite.any():
            with np.errstate(all="ignore"):
                gap = np.abs(x[finite] - y[finite])
                limit = tolerance(x[finite], y[finite])
            if not np.all(gap <= limit):
                worst = np.argmax(gap - limit)
                raise Finding(f"{where}: {x[finite][worst]!r} against {y[finite][worst]!r}")


def ulps(n):
    return lambda x, y: n * np.spacing(np.maximum(np.abs(x), np.abs(y)))


def unchanged(before, after, where):
    if isinstance(before, np.ndarray) and before.dtype.kind in "fc":
        same = before.dtype == after.dtype and np.array_equal(before, after, equal_nan=True)
    elif isinstance(before, np.ndarray):
        same = before.dtype == after.dtype and repr(before.tolist()) == repr(after.tolist())
    else:
        same = type(before) is type(after) and repr(before) == repr(after)
    if not same:
        raise Finding(f"{where}: the argument was modified")


# ---------------------------------------------------------------------------
# The interpolation module

RESAMPLER_ERRORS = (TypeError, ValueError, OverflowError, AttributeError, MemoryError)


def copy(x):
    return x.copy() if isinstance(x, np.ndarray) else x


def fuzz_sinc(inp):
    x = signal(inp)
    before = copy(x)
    call = bound(inp.byte(), rs.sinc, ["x"], x)
    fast, slow = run(call), generic(rs, "np", call)
    unchanged(before, x, "sinc")
    if not same_failure(fast, slow, RESAMPLER_ERRORS, "sinc"):
        same_array(fast[0], slow[0], "sinc", ulps(2))


# Ratios that give no output or fail before the loop, then ones that give
# up to four outputs per sample (used for short signals only).
RATIOS = [0, -0.5, -1, -1e-9, 1e-300, np.nan, np.inf, -np.inf, 1e300, 2**70, "2", None, 1j,
          1.0, 2, 0.5, 1.5, 1 / 3, 0.37, True, np.float32(1.5), np.int64(2), 4]
CHEAP = 13


def ratio(inp, n):
    """A ratio that gives at most a few hundred outputs, or a special one:
    the generic route costs one NumPy evaluation per output."""
    b = inp.byte()
    if b < 96 or n == 0:
        r = RATIOS[b % (len(RATIOS) if n <= 64 else CHEAP)]
        # int(N * "2") repeats the digit N times: 22 outputs for N = 2, 10**N / 5 beyond
        return r if not isinstance(r, str) or n <= 2 else None
    outputs = inp.below(40) if b < 240 or n > 64 else inp.below(130)
    return outputs / n + inp.below(8) / (8.0 * n * n)


def samples_size(s):
    return np.size(s) if not isinstance(s, list) else np.array(s, dtype=object).size


def contract(s):
    """The documented bound: |native - generic| <= 1e-12 * sum |s| per output."""
    with np.errstate(all="ignore"):
        bound = 1e-12 * float(np.sum(np.abs(np.asarray(s, dtype=complex))))
    return lambda x, y: bound + 4 * np.spacing(np.maximum(np.abs(x), np.abs(y)))


def fuzz_sinc_interp(inp):
    s = signal(inp)
    r = ratio(inp, samples_size(s))
    before = copy(s)
    call = bound(inp.byte(), rs.sinc_interp, ["xin", "r"], s, r)
    fast, slow = run(call), generic(rs, "np", call)
    unchanged(before, s, "sinc_interp")
    if same_failure(fast, slow, RESAMPLER_ERRORS, "sinc_interp"):
        return
    (fv, fu), (sv, su) = fast[0], slow[0]
    same_array(fv, sv, "sinc_interp values", contract(s))
    same_array(fu, su, "sinc_interp positions", ulps(0))


def fuzz_interp(inp):
    yp = signal(inp)
    n = samples_size(yp)
    kind = inp.byte() % 8
    M = inp.below(40) if kind < 6 or n > 64 else inp.below(130)
    x = [np.empty(M), np.zeros((M, 1)), np.empty((2, M // 2)), np.float64(1.5), [0.0] * M, M,
         np.empty(M, dtype=">f4"), np.empty(0)][kind]
    xp = inp.pick([None, [0, 1], np.arange(n), "xp", [[1, 2], [3]]])
    mod = inp.pick(["sinc", "linear", None, 3])
    before = copy(yp)
    call = bound(inp.byte(), rs.interp, ["x", "xp", "yp", "mod"], x, xp, yp, mod)
    fast, slow = run(call), generic(rs, "np", call)
    unchanged(before, yp, "interp")
    if not same_failure(fast, slow, RESAMPLER_ERRORS, "interp"):
        same_array(fast[0], slow[0], "interp", contract(yp))


# ---------------------------------------------------------------------------
# The chip reader

# TypeError: argument binding.
CHIP_ERRORS = (ValueError, struct.error, OSError, OverflowError, MemoryError, TypeError)
OLD_NUMPY = tuple(int(p) for p in np.__version__.split(".")[:2]) < (1, 20)
_DIR = tempfile.mkdtemp(prefix="corvane-fuzz-", dir="/dev/shm" if os.path.isdir("/dev/shm") else None)
PATH = os.path.join(_DIR, "chip")

FILLER = [b"TargetType= test", b"TargetSerial= T-0001", b"DepressionAngle= 15.00", b"TargetAzimuth= 0.00",
          b"RangeResolution= 0.3047", b"CrossRangeResolution= 0.3047", b"RangePixelSpacing= 0.2021",
          b"CrossRangePixelSpacing= 0.2021", b"Polarization= HH"]
NUMBERS = [b"-1", b"-0", b"+3", b" 7 ", b"", b"x", b"1e3", b"0x10", b"\xd9\xa1", b"\xff", b"2.5",
           b"9223372036854775807", b"4611686018427387904", b"1180591620717411303424", b"= 1", b"1= 2"]


def number(inp, true):
    b = inp.byte()
    if b < 160:
        return str(true).encode()
    if b < 200:
        return str(true + b % 7 - 3).encode()
    return NUMBERS[b % len(NUMBERS)]


def chip(inp):
    """A chip file: a header around made-up dimensions, with a few line-level
    mutations, then a data block of raw input bytes; or the input verbatim."""
    if inp.byte() >= 224:
        return inp.rest()
    rows, cols = inp.below(6), inp.below(6)
    if inp.byte() >= 240:
        rows, cols = inp.pick([(0, 2**40), (2**31, 0), (300, 300), (1, 1000)])
    lines = [b"[PhoenixHeaderVer01.05]", b"FileName= chip", None] + FILLER + [
        b"NumberOfColumns= " + number(inp, cols), b"NumberOfRows= " + number(inp, rows),
        b"Extra= field", b"[EndofPhoenixHeader]"]
    for _ in range(inp.below(4)):
        at, how = inp.below(len(lines)), inp.below(8)
        if how == 0:
            lines.insert(at, b"")
        elif how == 1 and lines[at] is not None:
            lines[at] = lines[at].replace(b"= ", b"=")
        elif how == 2 and lines[at] is not None:
            lines[at] = lines[at] + b"= more"
        elif how == 3 and lines[at] is not None:
            lines[at] = lines[at] + b"\r"
        elif how == 4 and lines[at] is not None:
            lines[at] = lines[at] + b"\xc3"
        elif how == 5:
            del lines[at]
    gap = inp.below(3)
    need = 8 * rows * cols if rows * cols < 10**6 else 0
    data = inp.take(min(need, 4096)) * (need // 4096 + 1)
    data = data[:need + inp.pick([0, 0, 0, -1, 3])] if need else inp.take(inp.below(16))

    def header(offset):
        text = [line if line is not None else b"HeaderLength= " + number(inp_offset, offset) for line in lines]
        return b"\n".join(text) + b"\n"

    inp_offset = Input(inp.take(1))
    # The offset counts its own digits: settle it by iterating.
    length = 0
    for _ in range(4):
        inp_offset.pos = 0
        length = len(header(length + gap))
    inp_offset.pos = 0
    return header(length + gap) + b"\0" * gap + data


def header_reference(filepath):
    """The header loop in Python, ending with ValueError at the end of the file."""
    with open(filepath, "rb") as f:
        f.seek(1)
        header = {}
        version = f.readline().strip(b"\n").decode("utf-8")
        header["PhoenixHeaderVer"] = version[len("PhoenixHeaderVer") + 1:-1]
        while True:
            line = f.readline()
            if not line:
                raise ValueError("end of file before [EndofPhoenixHeader]")
            data = line.strip(b"\n").decode("utf-8")
            if data == "[EndofPhoenixHeader]":
                break
            if len(data) == 0:
                continue
            name, value = data.split("= ")
            header[name] = value
        return header


def write(blob):
    with open(PATH, "wb") as f:
        f.write(blob)


def fuzz_header(inp):
    write(chip(inp))
    style = inp.byte()
    got = run(bound(style, sarchip.sarchip_header, ["filepath"], PATH))
    expected = run(bound(style, header_reference, ["filepath"], PATH))
    (r1, e1, _), (r2, e2, _) = got, expected
    if e1 is not None and not isinstance(e1, CHIP_ERRORS):
        raise Finding(f"sarchip_header: undocumented exception {e1!r}") from e1
    if type(e1) is not type(e2):
        raise Finding(f"sarchip_header: raised {e1!r}, the Python loop {e2!r}")
    if r1 != r2 or type(r1) is not type(r2) or (r1 is not None and list(r1) != list(r2)):
        raise Finding(f"sarchip_header: {r1!r} against {r2!r}")


class Rebinding(str):
    """An `ofmt` equal to a layout name whose comparison rebinds the module's
    `np` to the stand-in, between the native decode and the layout."""

    def __eq__(self, other):
        sarchip.np = PROXY
        return str.__eq__(self, other)

    __hash__ = str.__hash__


class Failing(str):
    def __eq__(self, other):
        raise ValueError("no comparison")

    __hash__ = str.__hash__


OFMTS = ["c", "ap", "r", "amppha", "AP", "AMPPHA", "real", "REAL", "cplx", "complex", "C", "CPLX", "COMPLEX",
         "R", "Real", "Ap", "", None, b"ap", 3, Rebinding("r"), Rebinding("c"), Rebinding("ap"), Failing("c")]


def fuzz_raw(inp):
    ofmt = inp.pick(OFMTS)
    write(chip(inp))
    call = bound(inp.byte(), sarchip.sarchip_raw, ["filepath", "ofmt"], PATH, ofmt)
    numpy_module = sarchip.np  # a Rebinding ofmt changes it in either call
    try:
        fast = run(call)
        sarchip.np = numpy_module
        slow = generic(sarchip, "struct", call)
    finally:
        sarchip.np = numpy_module
    if OLD_NUMPY and isinstance(slow[1], MemoryError) and isinstance(fast[0], np.ndarray) and fast[0].size == 0:
        return  # NumPy < 1.20 fails to allocate empty results such as (2**31, 0); the native route makes them
    if same_failure(fast, slow, CHIP_ERRORS, f"sarchip_raw {ofmt!r}"):
        return
    # Amplitude and phase are exact; sine and cosine within 2 ulp of NumPy's.
    exact = isinstance(ofmt, str) and ofmt.lower() in ("ap", "amppha")
    same_array(fast[0], slow[0], f"sarchip_raw {ofmt!r}", ulps(0 if exact else 2))


TARGETS = [fuzz_header, fuzz_raw, fuzz_sinc, fuzz_sinc_interp, fuzz_interp]


def one_input(data):
    inp = Input(data)
    TARGETS[inp.byte() % len(TARGETS)](inp)
    # Every later input must meet the modules as imported.
    assert sarchip.np is np and sarchip.struct is struct and rs.np is np, "a target left a module name rebound"


if __name__ == "__main__":
    # Replays the files named on the command line.
    for name in sys.argv[1:]:
        with open(name, "rb") as f:
            one_input(f.read())
        print("ok", name)
