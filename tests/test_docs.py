"""The user guide as tests: every example in docs/*.rst runs as a doctest
against the installed package, and the many-files recipe gives, with each
pool, what reading the files one by one gives.

A page that needs optional packages says so in a comment line
``.. needs: pandas, dask.array``; without them its examples are skipped,
with the reason.
"""

import doctest
import glob
import importlib.util
import os
import re
import subprocess
import sys

import pytest

from chipfile import random_chip, write_chip

DOCS = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "docs")
PAGES = sorted(glob.glob(os.path.join(DOCS, "*.rst")))
RECIPE = os.path.join(DOCS, "examples", "many_files.py")
pytestmark = pytest.mark.skipif(not PAGES, reason="the guide is not beside the tests")


@pytest.mark.parametrize("page", PAGES, ids=[os.path.basename(p) for p in PAGES])
def test_guide_examples(page):
    with open(page, encoding="utf-8") as f:
        needs = re.search(r"^\.\. needs: (.*)$", f.read(), re.M)
    for module in needs.group(1).split(",") if needs else []:
        pytest.importorskip(module.strip(), reason=f"{os.path.basename(page)} needs {module.strip()}")
    result = doctest.testfile(page, module_relative=False, optionflags=doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE,
                              raise_on_error=False, verbose=False, report=True)
    assert result.failed == 0, f"{result.failed} of {result.attempted} examples failed in {page}"


@pytest.fixture(scope="module")
def chip_files(tmp_path_factory):
    folder = tmp_path_factory.mktemp("chips")
    shapes = [(3, 5), (8, 8), (1, 17), (16, 4), (5, 3), (8, 8)]
    return [str(write_chip(folder / f"chip{i}.004", *random_chip(h, w, seed=i))) for i, (h, w) in enumerate(shapes)]


def run_recipe(tmp_path, pool, paths):
    if pool == "dask":
        try:  # dask without distributed raises a plain ImportError
            import dask.distributed  # noqa: F401
        except ImportError:
            pytest.skip("the recipe's --dask needs dask.distributed")
    args = [sys.executable, RECIPE, "--workers", "2", *paths]
    if pool == "dask":
        args.insert(2, "--dask")
    return subprocess.run(args, capture_output=True, text=True, cwd=tmp_path, timeout=300)


def expected_lines(paths):
    """The recipe's lines, from the files read one by one."""
    import corvane as cv
    import numpy as np

    lines = []
    for path in paths:
        header = cv.sarchip_header(path)
        amplitude = np.abs(cv.sarchip_raw(path).astype(np.complex64))
        lines.append(f"{path}: {header['NumberOfRows']} x {header['NumberOfColumns']} {header['TargetType']}, "
                     f"mean amplitude {amplitude.mean():.6f}, peak {amplitude.max():.6f}")
    return lines


@pytest.mark.parametrize("pool", ["processes", "dask"])
def test_many_files_recipe(tmp_path, chip_files, pool):
    paths = chip_files if pool == "processes" else chip_files[1::4]  # one Dask array needs one shape
    proc = run_recipe(tmp_path, pool, paths)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines() == expected_lines(paths)


def test_many_files_recipe_searches_folders(tmp_path, chip_files):
    proc = run_recipe(tmp_path, "processes", [os.path.dirname(chip_files[0])])
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines() == expected_lines(sorted(chip_files))


@pytest.mark.parametrize("pool", ["processes", "dask"])
def test_many_files_recipe_reports_a_broken_file(tmp_path, chip_files, pool):
    broken = tmp_path / "short.004"
    broken.write_bytes(open(chip_files[1], "rb").read()[:-1])
    good = chip_files[1::4]
    proc = run_recipe(tmp_path, pool, [good[0], str(broken), good[1]])
    assert proc.returncode == 1
    assert "struct.error" in proc.stderr and str(broken) in proc.stderr
    if pool == "processes":  # the good files are still summarised
        assert proc.stdout.splitlines() == expected_lines(good)
