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


def run_runner(tmp_path, env_changes, code=None, args=("resampler",)):
    env = dict(os.environ)
    for name in ("DISPLAY", "WAYLAND_DISPLAY", "MPLBACKEND"):
        env.pop(name, None)
    env.update(env_changes)
    cmd = [sys.executable, "-c", code, *args] if code else [sys.executable, "-m", "corvane.demo", *args]
    return subprocess.run(cmd, capture_output=True, text=True, cwd=tmp_path, env=env, timeout=300)


@pytest.mark.parametrize(
    "env_changes",
    [{"DISPLAY": ":987"}, {"DISPLAY": ":987", "MPLBACKEND": "Agg"}, {"MPLBACKEND": "pdf"}],
    ids=["DISPLAY without an X server", "DISPLAY with a non-interactive MPLBACKEND", "no display, pdf backend"],
)
def test_runner_saves_figures_whenever_the_backend_cannot_show(tmp_path, env_changes):
    proc = run_runner(tmp_path, env_changes)
    assert proc.returncode == 0, proc.stderr
    folder = tmp_path / "corvane-figures"
    assert sorted(os.listdir(folder)) == ["resampler-figure-1.png", "resampler-figure-2.png", "resampler-figure-3.png"]
    assert proc.stderr.splitlines()[-1] == f"python -m corvane.demo: 3 figures saved in {folder}"


@pytest.mark.parametrize("name, line", [("resampler", 133), ("sarchip", 207)])
def test_runner_without_matplotlib_names_the_extra_and_fails(tmp_path, name, line):
    # matplotlib as if it were not installed. (A None in sys.modules would
    # make the error name 'matplotlib.pyplot', which 3.15's traceback printer
    # then fails to look up.)
    code = ("import sys\n"
            "class Missing:\n"
            "    def find_spec(self, name, path=None, target=None):\n"
            "        if name == 'matplotlib':\n"
            "            raise ModuleNotFoundError(\"No module named 'matplotlib'\", name=name)\n"
            "sys.meta_path.insert(0, Missing()); sys.argv[0] = 'corvane-demo'\n"
            "from corvane.demo import main; sys.exit(main(sys.argv[1:]))")
    proc = run_runner(tmp_path, {}, code, (name,))
    assert proc.returncode == 1
    lines = proc.stderr.splitlines()
    # The module's own failure stays as it is, at its line; one line follows it.
    # (From 3.15 on, frames of the standard library's import machinery may
    # follow our entry.)
    qualname = QUALNAMES[name]
    entries = [e for e in lines[:-2] if e.startswith('  File "corvane/')]
    assert entries[-1] == f'  File "{qualname.replace(".", "/")}", line {line}, in init {qualname}'
    assert lines[-2].startswith(("ModuleNotFoundError: ", "ImportError: ")), proc.stderr
    assert lines[-1] == 'corvane-demo: matplotlib is needed to run the demonstrations; install it with: pip install "corvane[demo]"'
    assert not (tmp_path / "corvane-figures").exists()


def test_corvane_demo_command_is_installed():
    command = os.path.join(os.path.dirname(sys.executable), "corvane-demo")
    if not os.path.exists(command):
        pytest.skip("tests not run from the environment the package is installed in")
    proc = subprocess.run([command, "--help"], capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0 and proc.stdout.startswith("usage: corvane-demo ")
