"""The demonstration runs, through `python -m corvane.demo`, in subprocesses."""

import json
import os
import subprocess
import sys
import textwrap

import pytest

pytest.importorskip("matplotlib")

# Runs a demonstration in a fresh interpreter and reports, as JSON on the last
# line, the module attributes it left behind or the traceback of its failure.
DRIVER = textwrap.dedent(
    """
    import json, sys, traceback
    {setup}
    from corvane.demo import run_as_main, _save_figures_on_show
    _save_figures_on_show({save!r}, {name!r})
    try:
        module = run_as_main({name!r})
    except BaseException as e:
        entries = [(f.filename, f.name, f.lineno) for f in traceback.extract_tb(e.__traceback__)]
        print(json.dumps({{"error": type(e).__name__, "entries": entries}}))
    else:
        names = sorted(k for k in vars(module) if not k.startswith("__"))
        print(json.dumps({{"names": names, "n": getattr(module, "n", None),
                           "is_registered": sys.modules.get({qualname!r}) is module}}))
    """
)

QUALNAMES = {"resampler": "corvane.dsp.resampler", "sarchip": "corvane.datasets.sarchip"}


def run_demo(tmp_path, name, setup=""):
    code = DRIVER.format(setup=setup, save=str(tmp_path / "figures"), name=name, qualname=QUALNAMES[name])
    env = dict(os.environ, MPLBACKEND="Agg")
    env.pop("DISPLAY", None)
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, cwd=tmp_path, env=env,
                          timeout=300)
    assert proc.returncode == 0, proc.stderr
    lines = proc.stdout.splitlines()
    figures = tmp_path / "figures"
    return lines[:-1], json.loads(lines[-1]), sorted(os.listdir(figures)) if figures.exists() else []


def test_resampler_demo(tmp_path):
    printed, report, figures = run_demo(tmp_path, "resampler")
    # 16 table rows (each may wrap over several lines), then the four numbers.
    rows = [line for line in printed if line.startswith("[")]
    assert len(rows) == 16
    assert rows[0].startswith("[-4.") and printed[-2].rstrip().endswith("4.        ]")
    values = [float(v) for v in printed[-1].split()]
    assert len(values) == 4
    assert values[0] == pytest.approx(0.11196, abs=1e-5)
    assert values[1] == pytest.approx(0.11196, abs=1e-5)
    assert values[2] == pytest.approx(0.32422, abs=1e-5) and values[3] == pytest.approx(values[2], rel=1e-12)
    assert figures == ["resampler-figure-1.png", "resampler-figure-2.png", "resampler-figure-3.png"]
    for attr in ["plt", "Ns", "t", "x", "SINC_TABLE_Nq16Ns8_1", "SINC_TABLE_Nq16Ns8_2", "T", "t0", "x0", "a", "r",
                 "t1", "x1", "x2", "_", "t2"]:
        assert attr in report["names"]
    assert report["n"] == 15 and report["is_registered"]


def test_resampler_demo_without_matplotlib(tmp_path):
    setup = "sys.modules['matplotlib'] = None; sys.modules['matplotlib.pyplot'] = None"
    _, report, _ = run_demo(tmp_path, "resampler", setup)
    assert report["error"] in ("ImportError", "ModuleNotFoundError")
    assert report["entries"][-1] == ["corvane/dsp/resampler", "init corvane.dsp.resampler", 133]


def test_sarchip_demo(tmp_path):
    printed, report, figures = run_demo(tmp_path, "sarchip")
    header_lines, shapes = printed[:-2], printed[-2:]
    assert header_lines[0] == "PhoenixHeaderVer 1.05"
    assert "NumberOfColumns 128" in header_lines and "NumberOfRows 128" in header_lines
    assert len(header_lines) > 30
    assert shapes[0].startswith("(128, 128, 2) ") and shapes[1].startswith("(128, 128) ")
    high, low = (float(v) for v in shapes[0].split(") ")[1].split())  # max, then min
    assert -3.1416 < high < 3.1416 and low < 0 < high
    assert figures == ["sarchip-figure-1.png", "sarchip-figure-2.png"]
    for attr in ["cv", "plt", "datapath", "filepath", "header", "k", "v", "x"]:
        assert attr in report["names"]
    assert report["is_registered"]


@pytest.mark.parametrize(
    "setup, line, inner",
    [
        ("import corvane; corvane.data_path = lambda name: '/nonexistent/'", 214,
         ["corvane/datasets/sarchip", "corvane.datasets.sarchip.sarchip_header", 65]),
        ("sys.modules['matplotlib'] = None; sys.modules['matplotlib.pyplot'] = None", 207, None),
    ],
    ids=["missing sample file", "missing matplotlib"],
)
def test_sarchip_demo_failures(tmp_path, setup, line, inner):
    _, report, _ = run_demo(tmp_path, "sarchip", setup)
    ours = [e for e in report["entries"] if e[0] == "corvane/datasets/sarchip"]
    assert ours[0] == ["corvane/datasets/sarchip", "init corvane.datasets.sarchip", line]
    if inner:
        assert ours[1] == inner


def test_runner_saves_figures_without_a_display(tmp_path):
    env = dict(os.environ)
    env.pop("DISPLAY", None)
    env.pop("WAYLAND_DISPLAY", None)
    env.pop("MPLBACKEND", None)
    proc = subprocess.run([sys.executable, "-m", "corvane.demo", "resampler"], capture_output=True, text=True,
                          cwd=tmp_path, env=env, timeout=300)
    assert proc.returncode == 0, proc.stderr
    saved = sorted(os.listdir(tmp_path / "corvane-figures"))
    assert saved == ["resampler-figure-1.png", "resampler-figure-2.png", "resampler-figure-3.png"]
    assert proc.stderr.count("saved to corvane-figures") == 3
