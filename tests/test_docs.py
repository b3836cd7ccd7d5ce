"""The user guide as tests: every example in docs/*.rst runs as a doctest
against the installed package, and the many-files recipe gives, with each
pool, what reading the files one by one gives."""

import doctest
import glob
import importlib.util
import os
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
    result = doctest.testfile(page, module_relative=False, optionflags=doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE,
                              raise_on_error=False, verbose=False, report=True)
    assert result.failed == 0, f"{result.failed} of {result.attempted} examples failed in {page}"


@pytest.fixture(scope="module")
def chip_files(tmp_path_factory):
    folder = tmp_path_factory.mktemp("chips")
    shapes = [(3, 5), (8, 8), (1, 17), (16, 4), (5, 3)]
    return [str(write_chip(folder / f"chip{i}.004", *random_chip(h, w, seed=i))) for i, (h, w) in enumerate(shapes)]


def run_recipe(tmp_path, pool, paths):
    if pool == "dask":
        pytest.importorskip("dask.distributed")
    args = [sys.executable, RECIPE, "--workers", "2", *paths]
    if pool == "dask":
        args.insert(2, "--dask")
    return subprocess.run(args, capture_output=True, text=True, cwd=tmp_path, timeout=300)


def load_recipe():
    spec = importlib.util.spec_from_file_location("many_files", RECIPE)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@pytest.mark.parametrize("pool", ["processes", "dask"])
def test_many_files_recipe(tmp_path, chip_files, pool):
    recipe = load_recipe()
    expected = []
    for s in map(recipe.summarise, chip_files):
        expected.append(f"{s['path']}: {s['rows']} x {s['columns']}, "
                        f"mean amplitude {s['mean_amplitude']:.6f}, peak {s['peak_amplitude']:.6f}")
    proc = run_recipe(tmp_path, pool, chip_files)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines() == expected


@pytest.mark.parametrize("pool", ["processes", "dask"])
def test_many_files_recipe_reports_a_broken_file(tmp_path, chip_files, pool):
    broken = tmp_path / "short.004"
    broken.write_bytes(open(chip_files[1], "rb").read()[:-1])
    proc = run_recipe(tmp_path, pool, [chip_files[0], str(broken), chip_files[2]])
    assert proc.returncode != 0
    assert "struct.error" in proc.stderr
