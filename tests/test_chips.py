"""read_chips, ChipSet and chips_to_dask on generated chip trees.

Every expected value comes from reading the files one by one with
sarchip_header and sarchip_raw, which the rest of the suite holds to the
file format.
"""

import multiprocessing
import os
import platform
import struct
import subprocess
import sys
import types
from pathlib import Path

import numpy as np
import pytest

import chipfile
import corvane as cv
from corvane.datasets import chips, sarchip

SHAPES = [(8, 8), (8, 8), (3, 5), (8, 8)]


def note_of(exc):
    """The text that names the file: the note, or before 3.11 the cause."""
    return " ".join(getattr(exc, "__notes__", [])) + " " + str(exc.__cause__)


def write(path, shape, seed, **kw):
    path.parent.mkdir(parents=True, exist_ok=True)
    return chipfile.write_chip(path, *chipfile.random_chip(*shape, seed=seed), **kw)


@pytest.fixture
def tree(tmp_path):
    """Good chips in nested folders (the third of another shape), a text file,
    a truncated chip and a chip with a bad header line."""
    good = [write(tmp_path / sub / f"c{i}.004", shape, i, fields=[("TargetAzimuth", f"{10 * i}.5")])
            for i, (sub, shape) in enumerate(zip(["", "a", "a/b", "b"], SHAPES))]
    (tmp_path / "a" / "notes.txt").write_text("not a chip\n")
    blob = chipfile.chip_bytes(*chipfile.random_chip(8, 8, seed=9))
    (tmp_path / "b" / "short.004").write_bytes(blob[:-1])
    (tmp_path / "a" / "badline.004").write_bytes(blob.replace(b"Polarization= HH", b"Polarization=:HH"))
    return types.SimpleNamespace(root=tmp_path, good=[str(p) for p in good],
                                 short=str(tmp_path / "b" / "short.004"), bad=str(tmp_path / "a" / "badline.004"))


def one_by_one(paths, ofmt="c"):
    return [sarchip.sarchip_header(p) for p in paths], [sarchip.sarchip_raw(p, ofmt) for p in paths]


@pytest.mark.parametrize("workers", [1, 2])
def test_a_folder_is_searched_in_sorted_order_and_failures_are_collected(tree, workers):
    found = cv.read_chips(tree.root, errors="collect", workers=workers)
    expected = sorted(tree.good + [tree.short, tree.bad])
    assert found.paths == [p for p in expected if p in tree.good]
    assert [(p, type(e)) for p, e in found.errors] == [(tree.bad, ValueError), (tree.short, struct.error)]
    assert all(p in note_of(e) for p, e in found.errors)
    headers, images = one_by_one(found.paths)
    assert found.headers == headers
    assert isinstance(found.images, list) and len(found.images) == 4
    for got, want in zip(found.images, images):
        np.testing.assert_array_equal(got, want)


@pytest.mark.parametrize("workers", [1, 2])
@pytest.mark.parametrize("culprit, kind", [("short", struct.error), ("bad", ValueError), ("missing", OSError)])
def test_errors_raise_the_first_failure_naming_its_file(tree, workers, culprit, kind):
    path = getattr(tree, culprit, str(tree.root / "missing.004"))
    paths = [tree.good[0], Path(path), tree.good[1], tree.short]
    with pytest.raises(kind) as info:
        cv.read_chips(paths, workers=workers)
    assert path in note_of(info.value)


def test_pattern_narrows_and_unusual_entries_are_left_alone(tree):
    os.mkfifo(tree.root / "a" / "pipe.004")  # opening it would block
    os.symlink(tree.root, tree.root / "a" / "loop")  # following it would never end
    found = cv.read_chips(str(tree.root), pattern="c[0-2].004")
    assert found.paths == sorted(tree.good[:3])


@pytest.mark.parametrize("ofmt, dtype", [("c", None), ("c", np.complex64), ("ap", None), ("r", np.float32),
                                         ("AMPPHA", np.float32), ("REAL", None)])
@pytest.mark.parametrize("workers", [1, 2])
def test_layouts_and_dtypes_stack_like_the_single_reader(tree, ofmt, dtype, workers):
    paths = [tree.good[i] for i in (0, 1, 3)]
    found = cv.read_chips(iter(paths), ofmt, dtype=dtype, workers=workers)
    want = np.stack(one_by_one(paths, ofmt)[1])
    want = want if dtype is None else want.astype(dtype)
    assert found.images.dtype == want.dtype and found.images.shape == want.shape
    np.testing.assert_array_equal(found.images, want)


def test_unknown_layout_gives_no_images_and_still_reads_every_file(tree):
    found = cv.read_chips([tree.good[0], tree.short], "R", errors="collect", dtype=np.complex64)
    assert found.images is None and found.paths == [tree.good[0]]
    assert [type(e) for _, e in found.errors] == [struct.error]


@pytest.mark.parametrize("workers", [1, 2])
def test_collected_failures_leave_a_compact_stack(tree, workers):
    paths = [tree.short, tree.good[0], tree.bad, tree.good[1], tree.short, tree.good[3]]
    found = cv.read_chips(paths, errors="collect", dtype=np.complex64, workers=workers)
    want = np.stack(one_by_one([tree.good[i] for i in (0, 1, 3)])[1]).astype(np.complex64)
    np.testing.assert_array_equal(found.images, want)
    assert found.images.flags.owndata or workers > 1


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs os.fork")
def test_images_from_workers_stay_private_to_the_process(tree):
    # The workers' images live in shared memory: a process forked later must
    # still get a copy of its own, as with any other memory.
    images = cv.read_chips(tree.good[:2] + tree.good[3:], workers=2).images
    before = images.copy()
    pid = os.fork()
    if pid == 0:
        images[...] = 0
        os._exit(0)
    os.waitpid(pid, 0)
    np.testing.assert_array_equal(images, before)


PEAK = """
import sys, numpy as np, corvane as cv
def resident():
    with open("/proc/self/status") as f:
        fields = dict(line.split(":", 1) for line in f)
    return [int(fields[k].split()[0]) * 1024 for k in ("VmRSS", "VmHWM")]
cv.read_chips(sys.argv[2])  # imports and first calls, out of the measurement
before = resident()[0]
images = cv.read_chips(sys.argv[1], dtype=np.complex64).images
print(resident()[1] - before, images.nbytes)
"""


@pytest.mark.skipif(not os.path.exists("/proc/self/status"), reason="reads the peak resident size from /proc")
@pytest.mark.skipif(platform.machine().startswith("arm"), reason="under emulation the emulator's memory counts too")
@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""), reason="the sanitizer's shadow memory counts too")
def test_peak_memory_stays_near_the_stacked_result(tmp_path):
    # Sized like the sample chip: 128 x 128, some fifty header fields. The
    # process's own peak resident size counts every byte, mapped or allocated.
    for i in range(96):
        write(tmp_path / "set" / f"c{i:02d}.004", (128, 128), i, fields=[(f"Field{j}", "x" * 20) for j in range(40)])
    write(tmp_path / "warm" / "w.004", (4, 4), 0)
    out = subprocess.run([sys.executable, "-c", PEAK, str(tmp_path / "set"), str(tmp_path / "warm")],
                         capture_output=True, text=True, timeout=300)
    assert out.returncode == 0, out.stderr
    peak, nbytes = map(int, out.stdout.split())
    assert nbytes == 96 * 128 * 128 * 8 and peak <= 1.2 * nbytes, (peak, nbytes)


@pytest.mark.parametrize("kw, error", [({"errors": "ignore"}, ValueError), ({"workers": 0}, ValueError),
                                       ({"dtype": np.int32}, TypeError), ({"dtype": np.float32}, TypeError)])
def test_bad_arguments_are_refused_before_reading(tree, kw, error):
    with pytest.raises(error):
        cv.read_chips(tree.good, **kw)


def test_a_source_that_is_no_path_is_refused():
    with pytest.raises(TypeError, match="int"):
        cv.read_chips(3)
    with pytest.raises(TypeError, match="int"):
        cv.read_chips(["a.004", 3])


def _die_on_third(sarchip_module, path, ofmt):
    if path.endswith("c2.004"):
        os._exit(3)
    return sarchip_module.sarchip_header(path), sarchip_module.sarchip_raw(path, ofmt)


class Unpicklable(Exception):
    def __reduce__(self):
        raise TypeError("cannot pickle")


def _raise_unpicklable(sarchip_module, path, ofmt):
    if path.endswith("c0.004"):  # read by the parent, to learn the shape
        return sarchip_module.sarchip_header(path), sarchip_module.sarchip_raw(path, ofmt)
    raise Unpicklable(f"odd failure in {os.path.basename(path)}")


@pytest.mark.skipif(sys.platform != "linux", reason="needs the fork start method")
def test_worker_failures_surface_instead_of_hanging(tree, monkeypatch):
    monkeypatch.setattr(chips, "_mp_context", multiprocessing.get_context("fork"))
    monkeypatch.setattr(chips, "_read_one", _die_on_third)
    with pytest.raises(chips.concurrent.futures.process.BrokenProcessPool):
        cv.read_chips(tree.good, workers=2, errors="collect")
    monkeypatch.setattr(chips, "_read_one", _raise_unpicklable)
    found = cv.read_chips(tree.good, workers=2, errors="collect")
    assert [p for p, _ in found.errors] == tree.good[1:] and found.paths == tree.good[:1]
    # The failures in workers arrive as plain exceptions that keep the type's
    # name and the message.
    assert all(type(e) is Exception and "Unpicklable: odd failure" in str(e) for _, e in found.errors)


@pytest.mark.parametrize("tty, has_tqdm, shown", [(True, True, True), (False, True, False), (True, False, False)])
def test_progress_bar_only_on_a_terminal_with_tqdm(tree, monkeypatch, tty, has_tqdm, shown):
    bars = []

    class Bar:
        def __init__(self, **kw):
            bars.append(kw)

        update = close = lambda self, *a: None

    monkeypatch.setitem(sys.modules, "tqdm", types.SimpleNamespace(tqdm=Bar) if has_tqdm else None)
    monkeypatch.setattr(sys, "stderr", types.SimpleNamespace(isatty=lambda: tty, write=lambda s: None))
    cv.read_chips(tree.good)
    assert bool(bars) == shown


def test_table_converts_numbers_by_column(tree):
    pd = pytest.importorskip("pandas", reason="ChipSet.table needs pandas (the table extra)")
    write(tree.root / "x" / "odd.004", (2, 2), 5, fields=[("TargetAzimuth", "nan"), ("Big", str(2**70)),
                                                          ("path", "inside")])
    table = cv.read_chips(tree.good + [str(tree.root / "x" / "odd.004")]).table()
    assert list(table.columns[:2]) == ["path", "PhoenixHeaderVer"] and list(table.columns[-2:]) == ["Big", "path"]
    assert table["NumberOfRows"].dtype == np.int64 and table["NumberOfRows"].tolist() == [8, 8, 3, 8, 2]
    assert table["DepressionAngle"].dtype == np.float64
    assert table["Big"].dtype == np.float64 and np.isnan(table["Big"].iloc[0])
    assert pd.api.types.is_string_dtype(table["TargetAzimuth"]) and table["TargetAzimuth"].iloc[1] == "10.5"
    with_ints = cv.read_chips(tree.good[:2] + [str(tree.root / "x" / "odd.004")]).table()
    assert str(with_ints["Big"].dtype) == "float64"
    assert cv.read_chips(tree.good[:1]).table()["HeaderLength"].dtype == np.int64


def test_table_without_pandas_names_the_extra(tree, monkeypatch):
    monkeypatch.setitem(sys.modules, "pandas", None)
    with pytest.raises(ImportError, match=r"corvane\[table\]"):
        cv.read_chips(tree.good[:1]).table()


@pytest.mark.parametrize("ofmt, dtype", [("c", None), ("ap", np.float32), ("real", None), ("CPLX", np.complex64)])
def test_dask_route_equals_the_eager_one(tree, ofmt, dtype):
    da = pytest.importorskip("dask.array", reason="chips_to_dask needs Dask (the dask extra)")
    paths = [tree.good[i] for i in (0, 1, 3)]
    lazy = cv.chips_to_dask(paths, ofmt, dtype=dtype)
    eager = cv.read_chips(paths, ofmt, dtype=dtype).images
    assert isinstance(lazy, da.Array) and lazy.numblocks[0] == 3
    assert (lazy.shape, lazy.dtype) == (eager.shape, eager.dtype)
    np.testing.assert_array_equal(lazy.compute(scheduler="sync"), eager)


@pytest.mark.parametrize("serial", ["T-0001", "T" * 9000])
def test_dask_route_reads_geometry_past_a_long_header_line(tmp_path, serial):
    # Line 5 long enough that lines 13 and 14 lie beyond the first read.
    pytest.importorskip("dask.array", reason="chips_to_dask needs Dask (the dask extra)")
    path = write(tmp_path / "long.004", (3, 5), 2, lines={5: f"TargetSerial= {serial}"})
    np.testing.assert_array_equal(cv.chips_to_dask([path]).compute(scheduler="sync"),
                                  cv.read_chips([path]).images)


def test_dask_route_refuses_what_it_cannot_stack(tree):
    pytest.importorskip("dask.array", reason="chips_to_dask needs Dask (the dask extra)")
    assert cv.chips_to_dask(tree.good, "Real") is None
    # A folder: its chips only, as read_chips finds them.
    for i in (0, 1):
        (tree.root / "d" / "e").mkdir(parents=True, exist_ok=True)
        (tree.root / "d" / "e" / f"k{i}.004").write_bytes(Path(tree.good[i]).read_bytes())
    (tree.root / "d" / "n.004").write_text("[Phoenix, but no chip\n")
    np.testing.assert_array_equal(cv.chips_to_dask(tree.root / "d").compute(scheduler="sync"),
                                  cv.read_chips(tree.root / "d").images)
    with pytest.raises(ValueError, match="different shapes") as info:
        cv.chips_to_dask(tree.good)
    assert tree.good[0] in str(info.value) and tree.good[2] in str(info.value)
    with pytest.raises(struct.error) as info:
        cv.chips_to_dask([tree.good[0], tree.short])
    assert tree.short in note_of(info.value)
    lazy = cv.chips_to_dask([tree.good[0], tree.good[1]])
    write(Path(tree.good[1]), (4, 4), 1)  # the file changes after the graph was made
    with pytest.raises(ValueError, match="made") as info:
        lazy.compute(scheduler="sync")
    assert tree.good[1] in note_of(info.value)
