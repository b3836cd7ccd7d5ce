"""The stubs as users meet them: a user-style script type-checks under
`mypy --strict` and runs, known misuse is rejected line by line, and
`stubtest` finds the stubs consistent with the built modules."""

import os
import re
import subprocess
import sys

import pytest

HERE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "typecheck")
USER_SCRIPT = os.path.join(HERE, "user_script.py")
MISUSE = os.path.join(HERE, "misuse.py")


def run_mypy(tmp_path, *args):
    pytest.importorskip("mypy")
    proc = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-error-summary", *args],
                          capture_output=True, text=True, cwd=tmp_path, timeout=600)
    return proc.returncode, proc.stdout + proc.stderr


def test_user_script_runs(tmp_path):
    proc = subprocess.run([sys.executable, USER_SCRIPT], capture_output=True, text=True, cwd=tmp_path, timeout=120)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines()[-1].startswith("(160,) float64 complex128 (3,) (4, 8) 1.0 3.14159")


def test_user_script_passes_strict(tmp_path):
    code, out = run_mypy(tmp_path, USER_SCRIPT)
    assert code == 0, out


def test_misuse_is_rejected_on_each_marked_line(tmp_path):
    with open(MISUSE) as f:
        marked = {n for n, line in enumerate(f, 1) if line.rstrip().endswith("# E")}
    code, out = run_mypy(tmp_path, MISUSE)
    reported = {int(m.group(1)) for m in re.finditer(r"misuse\.py:(\d+): error", out)}
    assert code == 1
    assert reported == marked, out


def test_stubs_match_the_built_modules(tmp_path):
    pytest.importorskip("mypy")
    proc = subprocess.run([sys.executable, "-m", "mypy.stubtest", "corvane"], capture_output=True, text=True,
                          cwd=tmp_path, timeout=600)
    assert proc.returncode == 0, proc.stdout + proc.stderr
