"""Draw the user guide's figures with the installed corvane.

    python docs/make_figures.py [OUTDIR]      (default: docs/_generated)

The Sphinx build runs this first (see conf.py), so every figure shows what the
package computes at the time of the build: the offset sinc kernel against
NumPy's, the position grids of the interpolators, and the sample chip in each
of the three layouts.
"""

import os
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402

import corvane as cv  # noqa: E402

SAMPLE = "BTR70_HB03787.004"


def sinc_offset(path):
    """corvane's sinc next to np.sinc, and their difference."""
    x = np.linspace(-6.0, 6.0, 4001)
    ours, numpys = cv.sinc(x), np.sinc(x)
    fig, (top, bottom) = plt.subplots(2, 1, figsize=(7, 5.5), sharex=True)
    top.plot(x, ours, "-r", label="corvane sinc")
    top.plot(x, numpys, "--k", label="np.sinc")
    top.set_ylabel("value")
    top.legend()
    top.grid(True)
    bottom.plot(x, ours - numpys, "-b")
    shift = 1e-8 / np.pi
    bottom.plot(x, np.sinc(x + shift) - numpys, ":k", label="np.sinc(x + 1e-8/π) − np.sinc(x)")
    bottom.set_xlabel("x")
    bottom.set_ylabel("corvane sinc − np.sinc")
    bottom.legend(loc="upper right", fontsize="small")
    bottom.grid(True)
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    plt.close(fig)


def grids(path):
    """Where sinc_interp puts its input samples and outputs, for N = 8, r = 1.5."""
    x = np.cos(np.linspace(0, 3, 8))
    values, positions = cv.sinc_interp(x, r=1.5)
    inputs = np.linspace(0, x.size, x.size)
    fig, ax = plt.subplots(figsize=(7, 3.2))
    ax.stem(inputs, x, linefmt="b-", markerfmt="bo", basefmt="k-", label="input sample k at k·N/(N−1)")
    ax.plot(positions, values, "rx", label="output m at m·N/(M−1)")
    ax.set_xticks(np.arange(0, x.size + 1))
    ax.set_xlabel("position (N = 8 input samples, M = 12 outputs, both grids over [0, N])")
    ax.legend(loc="lower left", fontsize="small")
    ax.grid(True)
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    plt.close(fig)


def chip_layouts(path):
    """The sample chip read in the amplitude-phase, real-imaginary and complex layouts."""
    filepath = cv.data_path("sarchip") + SAMPLE
    ap = cv.sarchip_raw(filepath, ofmt="ap")
    ri = cv.sarchip_raw(filepath, ofmt="r")
    c = cv.sarchip_raw(filepath, ofmt="c")
    panels = [
        ("'ap' [..., 0]: amplitude", ap[..., 0]), ("'ap' [..., 1]: phase", ap[..., 1]),
        ("'r' [..., 0]: real part", ri[..., 0]), ("'r' [..., 1]: imaginary part", ri[..., 1]),
        ("'c' np.abs", np.abs(c)), ("'c' np.angle", np.angle(c)),
    ]
    fig, axes = plt.subplots(3, 2, figsize=(6.5, 9.5))
    for ax, (title, image) in zip(axes.ravel(), panels):
        shown = ax.imshow(image)
        ax.set_title(title, fontsize="medium")
        fig.colorbar(shown, ax=ax, fraction=0.046, pad=0.04)
    fig.tight_layout()
    fig.savefig(path, dpi=80)
    plt.close(fig)


FIGURES = {"sinc_offset.png": sinc_offset, "grids.png": grids, "chip_layouts.png": chip_layouts}


def main(outdir):
    os.makedirs(outdir, exist_ok=True)
    for name, draw in FIGURES.items():
        draw(os.path.join(outdir, name))
    return sorted(FIGURES)


if __name__ == "__main__":
    here = os.path.dirname(os.path.abspath(__file__))
    print("\n".join(main(sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "_generated"))))
