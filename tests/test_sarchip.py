"""corvane.datasets.sarchip: module frame, sarchip_header and sarchip_raw.

Every chip is written by the test-side writer (chipfile) into tmp_path.
CORVANE_TEST_GENERIC=1 runs the tests with the module's `struct` rebound to a
forwarding proxy, which sends sarchip_raw down its generic route
(struct.unpack_from and np.array); tests marked real_numpy keep the module's
own modules.
"""

import math
import os
import struct
import sys
import traceback
import types
import warnings

import numpy as np
import pytest

import chipfile
import corvane
from corvane.datasets import sarchip

FILE = "corvane/datasets/sarchip"
GENERIC = os.environ.get("CORVANE_TEST_GENERIC") == "1"
WORKED = bytes.fromhex("3FC00000 40000000 00000000 BF800000")  # H=1, W=2


def forwarding_struct():
    proxy = types.ModuleType("struct_proxy")
    proxy.unpack_from = lambda *args: struct.unpack_from(*args)
    proxy.error = struct.error
    return proxy


@pytest.fixture(autouse=True)
def _generic_struct(request, monkeypatch):
    if GENERIC and request.node.get_closest_marker("real_numpy") is None:
        monkeypatch.setattr(sarchip, "struct", forwarding_struct())


def fails(exc, line, call, name="sarchip_raw", message=None):
    """Run `call`, expect `exc` with the module's traceback entry at `line`."""
    with pytest.raises(exc) as info:
        call()
    # One entry of the module; Python code it called (an __eq__, NumPy) may follow.
    [entry] = [e for e in traceback.extract_tb(info.tb) if e.filename == FILE]
    assert (entry.name, entry.lineno) == (f"corvane.datasets.sarchip.{name}", line)
    if message is not None:
        assert str(info.value) == message
    return info.value


def open_fds():
    """The process's open file descriptors (empty where /proc is missing)."""
    return set(os.listdir("/proc/self/fd")) if os.path.isdir("/proc/self/fd") else set()


def chip(tmp_path, mag, pha, name="c.chip", **kw):
    return chipfile.write_chip(tmp_path / name, np.asarray(mag, float), np.asarray(pha, float), **kw)


def raw_file(tmp_path, blob, name="raw.chip"):
    path = tmp_path / name
    path.write_bytes(blob)
    return path


def shifted_chip(tmp_path, lines, data=b"", offset=2048):
    """Header from explicit `lines` (no fixed positions), data at `offset`."""
    head = "".join(t + "\n" for t in lines).encode("latin-1")
    assert len(head) <= offset
    return raw_file(tmp_path, head + b"\0" * (offset - len(head)) + data)


# ---------------------------------------------------------------------------
# Module frame


@pytest.mark.real_numpy
def test_namespace():
    import os as os_module

    ns = vars(sarchip)
    assert ns["os"] is os_module and ns["struct"] is struct and ns["np"] is np
    assert ns["__test__"] == {} and type(ns["__test__"]) is dict
    for absent in ("cv", "plt", "datapath", "filepath", "header", "x", "k", "v"):
        assert absent not in ns
    assert sarchip.__doc__ is None
    assert sarchip.__name__ == "corvane.datasets.sarchip"
    assert corvane.sarchip_header is sarchip.sarchip_header and corvane.sarchip_raw is sarchip.sarchip_raw


@pytest.mark.parametrize(
    "func, line, varnames, defaults",
    [
        ("sarchip_header", 34, ("filepath", "f", "header", "version", "data", "name", "value"), None),
        ("sarchip_raw", 83, ("filepath", "ofmt", "f", "data", "_", "v", "offsets", "k", "ncols", "nrows", "x"),
         ("c",)),
    ],
)
def test_function_objects(func, line, varnames, defaults):
    f = getattr(sarchip, func)
    assert (f.__name__, f.__qualname__, f.__module__) == (func, func, "corvane.datasets.sarchip")
    assert f.__globals__ is vars(sarchip)
    assert f.__defaults__ == defaults and f.__kwdefaults__ is None
    code = f.__code__
    assert (code.co_filename, code.co_firstlineno, code.co_name) == (FILE, line, func)
    assert code.co_varnames == varnames and code.co_argcount == (1 if defaults is None else 2)


def test_import_again_gives_the_same_module():
    import importlib

    saved = sys.modules.pop("corvane.datasets.sarchip")
    try:
        again = importlib.import_module("corvane.datasets.sarchip")
        assert again is saved and again.sarchip_raw is saved.sarchip_raw
    finally:
        sys.modules["corvane.datasets.sarchip"] = saved
    import corvane.dsp.resampler  # each module guards its own interpreter

    assert importlib.reload(sarchip) is saved


def test_header_docstring():
    doc = sarchip.sarchip_header.__doc__
    lines = doc.split("\n")
    assert (len(doc), len(lines)) == (540, 29)
    assert lines[0] == "read header information of sarchip file"
    assert lines[2:6] == ["    Parameters", "    ----------", "    filepath : str", "        the sarchip file path string."]
    assert lines[24:] == ["        header = cv.sarchip_header(filepath)", "        for k, v in header.items():",
                          "            print(k, v)", "", "    "]


def test_raw_docstring():
    lines = sarchip.sarchip_raw.__doc__.split("\n")
    assert len(lines) == 89
    assert lines[:2] == ["load sarchip raw data", ""]
    assert all(line.startswith("    ") and line.strip() for line in lines[2:11])
    assert lines[11:14] == ["", "    Parameters", "    ----------"]
    assert lines[-2:] == ["", "    "]
    for section in ("    Returns", "    Examples"):
        assert section in lines
    for text in ("ofmt='ap'", "ofmt='c'", "SHOW1_BTR70_HB03787.png", "SHOW_BTR70_HB03787.png", "np.angle(x)"):
        assert any(text in line for line in lines)
    assert not any(line != line.rstrip() for line in lines[:-1])


@pytest.mark.parametrize(
    "func, args, kwargs, message",
    [
        ("sarchip_header", (), {}, "sarchip_header() takes exactly 1 positional argument (0 given)"),
        ("sarchip_header", ("a", "b"), {}, "sarchip_header() takes exactly 1 positional argument (2 given)"),
        ("sarchip_header", (), {"path": "a"}, "sarchip_header() got an unexpected keyword argument 'path'"),
        ("sarchip_header", ("a",), {"filepath": "a"}, "sarchip_header() got multiple values for keyword argument 'filepath'"),
        ("sarchip_raw", (), {}, "sarchip_raw() takes at least 1 positional argument (0 given)"),
        ("sarchip_raw", ("a", "c", 1), {}, "sarchip_raw() takes at most 2 positional arguments (3 given)"),
        ("sarchip_raw", (), {"ofmt": "r"}, "sarchip_raw() takes at least 1 positional argument (0 given)"),
        ("sarchip_raw", ("a",), {"filepath": "b"}, "sarchip_raw() got multiple values for keyword argument 'filepath'"),
        ("sarchip_raw", ("a",), {"fmt": "r"}, "sarchip_raw() got an unexpected keyword argument 'fmt'"),
        ("sarchip_raw", ("a", "c", "d"), {"ofmt": "r"}, "sarchip_raw() takes at most 2 positional arguments (3 given)"),
    ],
)
def test_binding_errors(func, args, kwargs, message):
    line = 34 if func == "sarchip_header" else 83
    fails(TypeError, line, lambda: getattr(sarchip, func)(*args, **kwargs), func, message)


def test_keywords_bind_by_name(tmp_path):
    path = raw_file(tmp_path, chipfile.header_bytes(2, 1) + WORKED)
    expected = sarchip.sarchip_raw(path, "c")
    for result in (sarchip.sarchip_raw(path), sarchip.sarchip_raw(path, ofmt="c"),
                   sarchip.sarchip_raw(ofmt="c", filepath=path)):
        assert result.dtype == np.complex128 and result.shape == (1, 2)
        np.testing.assert_array_equal(result, expected)
    assert sarchip.sarchip_header(filepath=path) == sarchip.sarchip_header(str(path))


# ---------------------------------------------------------------------------
# sarchip_header


def header_of(tmp_path, blob):
    return sarchip.sarchip_header(raw_file(tmp_path, blob))


def test_header_of_a_chip(tmp_path):
    path = chip(tmp_path, [[1.0, 2.0]], [[0.0, 0.5]], fields=[("Comment", "x=y =z"), ("Empty", "")])
    header = sarchip.sarchip_header(path)
    assert list(header)[:4] == ["PhoenixHeaderVer", "FileName", "HeaderLength", "TargetType"]
    assert header["PhoenixHeaderVer"] == "1.05"
    assert header["HeaderLength"] == str(path.stat().st_size - 16)
    assert (header["NumberOfColumns"], header["NumberOfRows"], header["Comment"], header["Empty"]) == ("2", "1", "x=y =z", "")
    assert all(type(k) is str and type(v) is str for k, v in header.items())


@pytest.mark.parametrize(
    "first, version",
    [
        ("[PhoenixHeaderVer01.05]", "1.05"),      # 23 characters: indices 18..21
        ("X" * 18 + "abcde" + "]", "abcde"),     # 24 characters: five
        ("X" * 19, ""),
        ("X", ""),
        ("\xffPhoenixHeaderVer01.05]", "1.05"),   # the first byte is never read
    ],
)
def test_version_text(tmp_path, first, version):
    blob = (first + "\n[EndofPhoenixHeader]\n").encode("latin-1")
    assert header_of(tmp_path, blob) == {"PhoenixHeaderVer": version}


def test_header_fields_taken_as_they_stand(tmp_path):
    lines = ["[PhoenixHeaderVer01.05]", "", "A = 1", "= empty name", "empty value= ", "", "B= 2\r",
             "A= again", "PhoenixHeaderVer= replaced", "Utf8= \u00e9\u6f22", "[EndofPhoenixHeader]",
             "not a field \xff", "[EndofPhoenixHeader]"]
    blob = "".join(t + "\n" for t in lines).encode("utf-8").replace("\xc3\xbf".encode("latin-1"), b"\xff")
    header = header_of(tmp_path, blob)
    assert list(header.items()) == [("PhoenixHeaderVer", "replaced"), ("A ", "1"), ("", "empty name"),
                                    ("empty value", ""), ("B", "2\r"), ("A", "again"), ("Utf8", "\u00e9\u6f22")]


@pytest.mark.parametrize(
    "line, exc, message, lineno",
    [
        (b"no separator", ValueError, "need more than 1 value to unpack", 76),
        (b"a= b= c", ValueError, "too many values to unpack (expected 2)", 76),
        (b"[EndofPhoenixHeader]\r", ValueError, "need more than 1 value to unpack", 76),
        (b" [EndofPhoenixHeader]", ValueError, "need more than 1 value to unpack", 76),
        (b"bad= \xff\xfe", UnicodeDecodeError, None, 72),
    ],
)
def test_header_bad_lines(tmp_path, line, exc, message, lineno):
    blob = b"[PhoenixHeaderVer01.05]\nA= 1\n" + line + b"\n[EndofPhoenixHeader]\n"
    fails(exc, lineno, lambda: header_of(tmp_path, blob), "sarchip_header", message)


def test_header_bad_version_line(tmp_path):
    fails(UnicodeDecodeError, 68, lambda: header_of(tmp_path, b"[Phoenix\xffHeaderVer]\n"), "sarchip_header")


@pytest.mark.parametrize(
    "blob",
    [b"", b"[", b"[PhoenixHeaderVer01.05]\n", b"[PhoenixHeaderVer01.05]\nA= 1\n\n\n",
     b"[PhoenixHeaderVer01.05]\nA= 1"],
    ids=["empty", "one byte", "version only", "blank lines", "no final newline"],
)
def test_header_without_end_marker(tmp_path, blob):
    fails(ValueError, 72, lambda: header_of(tmp_path, blob), "sarchip_header",
          "end of file before [EndofPhoenixHeader]")


def test_end_marker_without_final_newline(tmp_path):
    assert header_of(tmp_path, b"[PhoenixHeaderVer01.05]\nA= 1\n[EndofPhoenixHeader]") == {
        "PhoenixHeaderVer": "1.05", "A": "1"}


@pytest.mark.parametrize("func", ["sarchip_header", "sarchip_raw"])
def test_open_failures(tmp_path, func):
    line = 65 if func == "sarchip_header" else 174
    call = getattr(sarchip, func)
    fails(FileNotFoundError, line, lambda: call(tmp_path / "missing"), func)
    fails(IsADirectoryError if sys.platform != "win32" else PermissionError, line, lambda: call(tmp_path), func)
    fails(TypeError, line, lambda: call(None), func)


# ---------------------------------------------------------------------------
# sarchip_raw: layouts


@pytest.fixture
def worked(tmp_path):
    return raw_file(tmp_path, chipfile.header_bytes(2, 1) + WORKED + b"trailing bytes are ignored")


def test_worked_example(worked):
    ap = sarchip.sarchip_raw(worked, "ap")
    assert ap.dtype == np.float64 and ap.shape == (1, 2, 2)
    np.testing.assert_array_equal(ap, [[[1.5, 0.0], [2.0, -1.0]]])
    r = sarchip.sarchip_raw(worked, "r")
    assert r.dtype == np.float64 and r.shape == (1, 2, 2)
    np.testing.assert_allclose(r, [[[1.5, 0.0], [2 * math.cos(-1), 2 * math.sin(-1)]]], rtol=1e-15)
    c = sarchip.sarchip_raw(worked, "c")
    assert c.dtype == np.complex128 and c.shape == (1, 2)
    np.testing.assert_allclose(c, [[1.5 + 0j, 2 * math.cos(-1) + 2j * math.sin(-1)]], rtol=1e-15)


class Spy:
    """Records what it is compared with; equal to `hit` only."""

    def __init__(self, hit=None):
        self.hit, self.seen = hit, []

    def __eq__(self, other):
        self.seen.append(other)
        return other == self.hit

    __hash__ = None


ORDER = ["ap", "amppha", "AP", "AMPPHA", "r", "real", "REAL", "c", "cplx", "complex", "C", "CPLX", "COMPLEX"]
LAYOUT = {v: "ap" for v in ORDER[:4]} | {v: "r" for v in ORDER[4:7]} | {v: "c" for v in ORDER[7:]}


@pytest.mark.parametrize(
    "ofmt, layout",
    [(v, LAYOUT[v]) for v in ORDER]
    + [(v, None) for v in ("R", "Real", "Ap", "Amppha", "Complex", "", "x", None, b"ap", b"c", 1)]
    + [(np.str_("ap"), "ap"), (type("S", (str,), {})("r"), "r")],
)
def test_ofmt_selects_the_layout(worked, ofmt, layout):
    expected = {"ap": ((1, 2, 2), np.float64), "r": ((1, 2, 2), np.float64), "c": ((1, 2), np.complex128)}
    result = sarchip.sarchip_raw(worked, ofmt)
    if layout is None:
        assert result is None
    else:
        assert (result.shape, result.dtype) == expected[layout]
        np.testing.assert_array_equal(result, sarchip.sarchip_raw(worked, layout))


@pytest.mark.parametrize("hit", [None, "AMPPHA", "real", "C"])
def test_ofmt_comparison_order(worked, hit):
    spy = Spy(hit)
    result = sarchip.sarchip_raw(worked, spy)
    assert spy.seen == ORDER[: ORDER.index(hit) + 1 if hit else None]
    assert (result is None) == (hit is None)


class Raising:
    def __init__(self, bad):
        self.bad = bad

    def __eq__(self, other):
        if other == self.bad:
            raise LookupError(other)
        return False

    __hash__ = None


@pytest.mark.parametrize("bad, line", [("ap", 193), ("AMPPHA", 193), ("r", 195), ("REAL", 195), ("c", 197),
                                       ("COMPLEX", 197)])
def test_ofmt_comparison_errors(worked, bad, line):
    before = open_fds()
    fails(LookupError, line, lambda: sarchip.sarchip_raw(worked, Raising(bad)))
    assert open_fds() == before
    fails(ValueError, 193, lambda: sarchip.sarchip_raw(worked, np.array(["ap", "x"])))


def test_amplitude_phase_is_a_view_of_the_stored_values(tmp_path):
    mag, pha = chipfile.random_chip(5, 7, seed=3)
    mag[0, :4] = [np.float32(1e-45), -0.0, np.float32(3.4e38), np.inf]
    pha[1, :3] = [np.nan, -np.inf, np.float32(np.pi)]
    x = sarchip.sarchip_raw(chip(tmp_path, mag.astype(np.float32), pha), "ap")
    assert x.shape == (5, 7, 2) and x.base is not None and not x.flags.c_contiguous
    np.testing.assert_array_equal(x[..., 0], mag.astype(np.float64))
    np.testing.assert_array_equal(x[..., 1], pha.astype(np.float64))
    assert np.signbit(x[0, 1, 0])


@pytest.mark.parametrize("ofmt, shape", [("ap", (0, 3, 2)), ("r", (0, 3, 2)), ("c", (0, 3)), ("x", None)])
@pytest.mark.parametrize("ncols, nrows", [(3, 0), (0, 3)])
def test_empty_chips_need_no_data(tmp_path, ofmt, shape, ncols, nrows):
    path = chip(tmp_path, [], [], ncols=ncols, nrows=nrows)
    result = sarchip.sarchip_raw(path, ofmt)
    if shape is None:
        assert result is None
    else:
        assert result.shape == (shape if nrows == 0 else (3, 0) + shape[2:])
    # No data needed, so an offset past the end of the file does not matter.
    far = chip(tmp_path, [], [], name="far.chip", ncols=ncols, nrows=nrows, offset=10**6)
    assert (sarchip.sarchip_raw(far, ofmt) is None) == (shape is None)


def test_header_values_by_position_only(tmp_path):
    # Any names, extra spaces and signs around the digits, no end marker.
    lines = ["v", "", "x= 2048", *["y"] * 9, "=   2 ", "rows= +1"]
    x = sarchip.sarchip_raw(shifted_chip(tmp_path, lines, WORKED), "ap")
    np.testing.assert_array_equal(x, [[[1.5, 0.0], [2.0, -1.0]]])


def test_undecoded_lines_may_hold_anything(tmp_path):
    mag, pha = chipfile.random_chip(2, 2)
    lines = {1: "\xff\xfe version", 2: "\xc0", 5: "no separator at all", 12: "a= b= c"}
    x = sarchip.sarchip_raw(chip(tmp_path, mag, pha, lines=lines), "ap")
    np.testing.assert_array_equal(x[..., 1], pha.astype(np.float64))


def test_blank_line_among_skipped_lines_shifts_the_dimensions(tmp_path):
    lines = chipfile.header_lines(2, 1, 2048, lines={12: "Filler= 1"})
    lines.insert(5, "")  # line 13 is now "Filler= 1", line 14 the column count
    x = sarchip.sarchip_raw(shifted_chip(tmp_path, lines, WORKED), "ap")
    assert x.shape == (2, 1, 2)  # nrows = 2, ncols = 1
    np.testing.assert_array_equal(x[..., 0], [[1.5], [2.0]])


# ---------------------------------------------------------------------------
# sarchip_raw: failures


@pytest.mark.parametrize(
    "lines, exc, message, line",
    [
        ({3: ""}, ValueError, "need more than 1 value to unpack", 178),
        ({3: "HeaderLength 2048"}, ValueError, "need more than 1 value to unpack", 178),
        ({13: "a= b= 2"}, ValueError, "too many values to unpack (expected 2)", 182),
        ({14: "NumberOfRows= \xff"}, UnicodeDecodeError, None, 184),
        ({3: "HeaderLength= 2k"}, ValueError, "invalid literal for int() with base 10: '2k'", 179),
        ({13: "NumberOfColumns= 2.0"}, ValueError, "invalid literal for int() with base 10: '2.0'", 183),
        ({14: "NumberOfRows= "}, ValueError, "invalid literal for int() with base 10: ''", 185),
        ({3: "HeaderLength= -1"}, OSError, None, 187),
        ({3: "HeaderLength= %d" % 2**70}, (ValueError, OverflowError), None, 187),
    ],
)
def test_header_line_errors(tmp_path, lines, exc, message, line):
    path = shifted_chip(tmp_path, chipfile.header_lines(2, 1, 2048, lines=lines), WORKED)
    before = open_fds()
    fails(exc, line, lambda: sarchip.sarchip_raw(path), message=message)
    assert open_fds() == before


@pytest.mark.parametrize("count, line", [(2, 178), (12, 182), (13, 184), (14, None)])
def test_short_headers(tmp_path, count, line):
    lines = chipfile.header_lines(2, 1, 0)[:count]
    path = raw_file(tmp_path, "".join(t + "\n" for t in lines).encode())
    if line is None:  # all three values there; the offset (0) leaves the header as data
        assert sarchip.sarchip_raw(path, "ap").shape == (1, 2, 2)
    else:
        fails(ValueError, line, lambda: sarchip.sarchip_raw(path), message="need more than 1 value to unpack")


@pytest.mark.parametrize("short", [1, 4, 16])
def test_short_data_block(tmp_path, short):
    path = raw_file(tmp_path, chipfile.header_bytes(2, 1) + WORKED[: 16 - short])
    err = fails(struct.error, 189, lambda: sarchip.sarchip_raw(path, "ap"))
    assert str(err) == ("unpack_from requires a buffer of at least 16 bytes for unpacking 16 bytes at offset 0 "
                            "(actual buffer size is %d)" % (16 - short))


def test_offset_beyond_the_end(tmp_path):
    path = chip(tmp_path, [[1.0, 2.0]], [[0.0, 0.5]], offset=10**6)
    fails(struct.error, 189, lambda: sarchip.sarchip_raw(path))


HOSTILE = [
    # ncols, nrows, exception (None: a result), line
    (2**31, 1, struct.error, 189),
    (2**16, 2**16, struct.error, 189),           # count 2^33 overflows 32 bits
    (1, 10**18, struct.error, 189),
    (10**18, 10**18, struct.error, 189),
    (2**32, 2**32, struct.error, 189),           # count 2^65 overflows 64 bits
    (2**62, 2, struct.error, 189),
    (-1, 1, struct.error, 189),
    (-(2**70), 3, struct.error, 189),
    (-1, -1, ValueError, 190),
    (-2, -3, ValueError, 190),
    (0, -5, ValueError, 190),
    (-5, 0, ValueError, 190),
    (10**30, 0, ValueError, 190),
    (2**59, 0, ValueError, 190),                 # too big only for an 8-byte item
    (0, 2**40, None, None),
]


@pytest.mark.parametrize("ncols, nrows, exc, line", HOSTILE)
@pytest.mark.parametrize("ofmt", ["ap", "c", "unknown"])
def test_hostile_dimensions(tmp_path, ncols, nrows, exc, line, ofmt):
    import tracemalloc

    if (ncols, nrows) == (0, 2**40) and sys.maxsize < 2**40:
        exc, line = ValueError, 190
    elif (ncols, nrows, ofmt) == (0, 2**40, "c") and GENERIC and np.lib.NumpyVersion(np.__version__) < "1.20.0":
        pytest.skip("NumPy 1.19 fails to allocate the zero bytes of np.cos's (2**40, 0) result")
    path = chip(tmp_path, [], [], ncols=ncols, nrows=nrows, trailing=bytes(48))
    before = open_fds()
    tracemalloc.start()
    try:
        if exc is None:
            result = sarchip.sarchip_raw(path, ofmt)
            assert result is None if ofmt == "unknown" else result.size == 0
        else:
            fails(exc, line, lambda: sarchip.sarchip_raw(path, ofmt))
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert peak < 2**20
    assert open_fds() == before


@pytest.mark.parametrize("name, line", [("struct", 189), ("np", 190)])
def test_module_names_resolved_at_call_time(worked, monkeypatch, name, line):
    monkeypatch.delattr(sarchip, name)
    fails(NameError, line, lambda: sarchip.sarchip_raw(worked), message=f"name '{name}' is not defined")


# ---------------------------------------------------------------------------
# Native decoding against the generic route


def both_routes(path, ofmt, monkeypatch):
    with warnings.catch_warnings(record=True) as native_warnings:
        warnings.simplefilter("always")
        native = sarchip.sarchip_raw(path, ofmt)
    with monkeypatch.context() as m:
        m.setattr(sarchip, "struct", forwarding_struct())
        with warnings.catch_warnings(record=True) as generic_warnings:
            warnings.simplefilter("always")
            generic = sarchip.sarchip_raw(path, ofmt)
    assert [str(w.message) for w in native_warnings] == [str(w.message) for w in generic_warnings]
    assert native.shape == generic.shape and native.dtype == generic.dtype
    return native, generic


def planes_of(x):
    return (x.real, x.imag) if np.iscomplexobj(x) else (x,)


@pytest.mark.real_numpy
@pytest.mark.parametrize("ofmt", ["ap", "r", "c"])
@pytest.mark.parametrize(
    "shape, scale",
    [((1, 1), 3.2), ((3, 5), 3.2), ((64, 64), 3.2), ((17, 300), 1e4), ((8, 9), 3e6), ((4, 4), 1e38)],
)
def test_native_route_matches_generic(tmp_path, monkeypatch, ofmt, shape, scale):
    mag, pha = chipfile.random_chip(*shape, seed=shape[1])
    pha = (pha / np.float32(3.14159) * np.float32(scale)).astype(np.float32)
    native, generic = both_routes(chip(tmp_path, mag, pha), ofmt, monkeypatch)
    if ofmt == "ap":
        np.testing.assert_array_equal(native, generic)
    else:  # sine and cosine within an ulp of NumPy's
        for a, b in zip(planes_of(native), planes_of(generic)):
            np.testing.assert_array_max_ulp(a, b, maxulp=2)


@pytest.mark.real_numpy
@pytest.mark.parametrize("ofmt", ["ap", "r", "c"])
def test_native_route_special_values(tmp_path, monkeypatch, ofmt):
    # Signed zeros (exact sine and cosine), and then infinities and NaNs.
    mag = np.array([[0.0, -0.0, 1.5, -2.0, 1e-45, -0.0]], np.float32)
    pha = np.array([[0.0, -0.0, -0.0, 0.0, -0.0, 0.0]], np.float32)
    native, generic = both_routes(chip(tmp_path, mag, pha), ofmt, monkeypatch)
    for a, b in zip(planes_of(native), planes_of(generic)):
        np.testing.assert_array_equal(a.view(np.uint64), b.view(np.uint64))
    mag = np.array([[1.0, np.inf, -np.inf, np.nan, 0.0, 2.0]], np.float32)
    pha = np.array([[np.inf, 0.5, -0.0, 1.0, np.nan, -np.inf]], np.float32)
    native, generic = both_routes(chip(tmp_path, mag, pha, name="nf.chip"), ofmt, monkeypatch)
    np.testing.assert_array_equal(native, generic)


@pytest.mark.real_numpy
def test_generic_route_when_np_is_rebound(worked, monkeypatch):
    calls = []

    class NumpyProxy(types.ModuleType):
        def __getattr__(self, name):
            calls.append(name)
            return getattr(np, name)

    expected = sarchip.sarchip_raw(worked, "c")
    monkeypatch.setattr(sarchip, "np", NumpyProxy("np"))
    np.testing.assert_allclose(sarchip.sarchip_raw(worked, "c"), expected, rtol=1e-15)
    assert calls == ["array", "cos", "sin"]


@pytest.mark.parametrize(
    "func, blob",
    [("sarchip_header", b"[PhoenixHeaderVer]\nA= 1\n"), ("sarchip_header", b"[V]\nbad\n[EndofPhoenixHeader]\n"),
     ("sarchip_raw", b"1\n2\n3\n"), ("sarchip_raw", chipfile.header_bytes(2, 1) + WORKED[:-1])],
)
def test_files_are_closed_after_errors(tmp_path, func, blob):
    path = raw_file(tmp_path, blob)
    before = open_fds()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", ResourceWarning)
        with pytest.raises((ValueError, struct.error)):
            getattr(sarchip, func)(path)
    assert open_fds() == before


def test_sample_chip():
    path = corvane.data_path("sarchip") + "BTR70_HB03787.004"
    if not os.path.exists(path):
        pytest.skip("sample chip not installed")
    header = sarchip.sarchip_header(path)
    assert (header["NumberOfColumns"], header["NumberOfRows"]) == ("128", "128")
    x = sarchip.sarchip_raw(path, ofmt="ap")
    assert x.shape == (128, 128, 2) and np.all(x[..., 0] > 0)
    c = sarchip.sarchip_raw(path)
    np.testing.assert_allclose(np.abs(c), x[..., 0], rtol=1e-14)
