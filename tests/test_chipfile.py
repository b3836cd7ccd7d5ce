"""Checks of the test-side chip writer and of the shipped sample chip."""

import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import chipfile

REPO = Path(__file__).resolve().parents[1]
TOOL = REPO / "tools" / "make_sample_chip.py"
SAMPLE = REPO / "src" / "corvane" / "data" / "sarchip" / "BTR70_HB03787.004"
END = b"[EndofPhoenixHeader]\n"


def parse(blob):
    """Plain reading by line position: (header lines, offset, ncols, nrows)."""
    head = blob[: blob.index(END) + len(END)]
    lines = head.split(b"\n")[:-1]
    offset, ncols, nrows = (int(lines[i].split(b"= ")[1]) for i in (2, 12, 13))
    return lines, offset, ncols, nrows


@pytest.mark.parametrize("gap", [0, 5, 640])
def test_offset_is_header_length_across_digit_boundaries(gap):
    # Header lengths from ~330 to ~1400 bytes: the offset gains a digit on the way.
    for n in range(0, 1100, 3):
        head = chipfile.header_bytes(4, 2, gap=gap, fields=[("Comment", "x" * n)])
        lines, offset, ncols, nrows = parse(head)
        assert offset == len(head) + gap
        assert (ncols, nrows) == (4, 2)
        assert all(line.count(b"= ") == 1 for line in lines[1:-1])


@pytest.mark.parametrize("shape", [(1, 1), (3, 5), (5, 3)])
@pytest.mark.parametrize("pad", [b"", b"\0junk" + END], ids=["adjacent", "gap"])
def test_round_trip(shape, pad):
    mag, pha = chipfile.random_chip(*shape, seed=1)
    blob = chipfile.chip_bytes(mag, pha, pad=pad, trailing=b"tail")
    _, offset, ncols, nrows = parse(blob)
    assert (nrows, ncols) == shape
    data = np.frombuffer(blob, ">f4", count=2 * ncols * nrows, offset=offset)
    np.testing.assert_array_equal(data[: ncols * nrows].reshape(shape), mag)
    np.testing.assert_array_equal(data[ncols * nrows :].reshape(shape), pha)
    assert len(blob) == offset + 8 * ncols * nrows + len(b"tail")


@pytest.mark.parametrize(
    "kw, lineno, text",
    [
        ({"ncols": "-1"}, 13, b"NumberOfColumns= -1"),
        ({"nrows": 10**20}, 14, b"NumberOfRows= 100000000000000000000"),
        ({"offset": "abc"}, 3, b"HeaderLength= abc"),
        ({"lines": {2: ""}}, 2, b""),
        ({"lines": {5: None}}, 13, b"NumberOfRows= 2"),
        ({"version": "[PhoenixHeaderVer09.99]"}, 1, b"[PhoenixHeaderVer09.99]"),
        ({"eol": "\r\n"}, 14, b"NumberOfRows= 2\r"),
    ],
)
def test_overrides_land_on_their_line(kw, lineno, text):
    mag, pha = chipfile.random_chip(2, 3)
    blob = chipfile.chip_bytes(mag, pha, **kw)
    assert blob.split(b"\n")[lineno - 1] == text


@pytest.mark.skipif(not SAMPLE.exists(), reason="sample chip not in a source tree")
def test_sample_chip_is_well_formed():
    blob = SAMPLE.read_bytes()
    lines, offset, ncols, nrows = parse(blob)
    assert offset == blob.index(END) + len(END)
    assert (ncols, nrows) == (128, 128)
    assert len(blob) == offset + 8 * ncols * nrows
    assert all(line == b"" or line.count(b"= ") == 1 for line in lines[1:-1])
    data = np.frombuffer(blob, ">f4", offset=offset)
    mag, pha = data[: ncols * nrows], data[ncols * nrows :]
    assert np.all(mag > 0) and np.all(np.isfinite(mag))
    assert np.all(pha > -np.pi) and np.all(pha <= np.pi)


@pytest.mark.skipif(not (TOOL.exists() and SAMPLE.exists()), reason="tools/ not available")
def test_sample_chip_matches_generator():
    res = subprocess.run([sys.executable, str(TOOL), "--check", str(SAMPLE)], capture_output=True, text=True)
    assert res.returncode == 0, res.stderr


def run_tool(*args, cwd=None):
    return subprocess.run([sys.executable, str(TOOL), *args], capture_output=True, text=True, cwd=cwd, timeout=300)


@pytest.mark.skipif(not TOOL.exists(), reason="tools/ not available")
def test_generated_sets_vary_and_repeat_by_seed(tmp_path):
    import corvane

    assert run_tool("--out", str(tmp_path / "a"), "--count", "6", "--seed", "7", "--size", "32x48,16x16").returncode == 0
    assert run_tool("--out", str(tmp_path / "b"), "--count", "6", "--seed", "7", "--size", "32x48,16x16").returncode == 0
    assert run_tool("--out", str(tmp_path / "c"), "--count", "6", "--seed", "8", "--size", "32x48,16x16").returncode == 0
    a, b, c = (sorted((tmp_path / d).iterdir()) for d in "abc")
    assert [p.read_bytes() for p in a] == [p.read_bytes() for p in b]
    assert [p.read_bytes() for p in a] != [p.read_bytes() for p in c]
    chips = corvane.read_chips(tmp_path / "a", pattern="*.00[0-9]")
    assert len(chips) == 6 and not chips.errors
    assert {image.shape for image in chips.images} == {(32, 48), (16, 16)}
    for field in ("TargetType", "TargetAzimuth", "DepressionAngle", "CollectionDate"):
        assert len({h[field] for h in chips.headers}) > 1, field


@pytest.mark.skipif(not TOOL.exists(), reason="tools/ not available")
@pytest.mark.parametrize("args", [[], ["--count", "3"], ["--out", "x", "--shipped"], ["--size", "12by4", "--out", "x"]])
def test_the_tool_writes_nothing_unless_told_where(tmp_path, args):
    res = run_tool(*args, cwd=tmp_path)
    assert res.returncode == 2, res.stdout
    assert list(tmp_path.iterdir()) == []
