#!/usr/bin/env python3
"""Generate the synthetic sample chip shipped with corvane.

    python tools/make_sample_chip.py            # (re)write the shipped file
    python tools/make_sample_chip.py OUT        # write elsewhere
    python tools/make_sample_chip.py --check    # exit 1 if the shipped file is stale

The scene is a vehicle-like target (diffuse body, bright edge, a few strong
point scatterers, radar shadow) over Rayleigh clutter, band-limited by a
separable windowed-sinc impulse response.

The output must be byte-identical on every platform and NumPy >= 1.19, so the
pixel pipeline uses only correctly rounded elementwise operations (+ - * /
sqrt, comparisons) in a fixed order: no FFT, no reductions, no vectorised
transcendental functions, whose last bits vary between builds and CPUs. The
few scalar constants that need sin/cos are rounded well above libm's error.
Random numbers come from ``Generator.random`` and ``standard_normal`` only.
"""

import argparse
import math
import os
import sys

import numpy as np

SEED = 3787
N = 128                     # chip is N x N
SPACING = 0.2021            # pixel spacing, m
RESOLUTION = 0.3047         # impulse response width, m
AZIMUTH = 47.25             # target heading in the image, degrees
CENTER = (64, 64)           # target centre, (row, column)
HALF_LEN, HALF_WID = 17.0, 7.0      # target half extents, pixels
SHADOW_LEN = 22             # shadow extent down-range (increasing row), pixels
K = 10                      # impulse response half width, pixels
CLUTTER_SIGMA = 0.016
BODY_SIGMA = 0.07
SHADOW_GAIN = 0.2
# Strong scatterers: (along, across) in pixels, nominal amplitude.
SCATTERERS = [
    (-15.0, -5.0, 1.3), (15.0, 5.0, 1.0), (-15.0, 5.0, 0.8), (15.0, -5.0, 0.7),
    (2.0, 0.0, 1.6), (8.0, -3.0, 0.9), (-6.0, 4.0, 0.6), (11.0, 1.0, 0.7),
]

VERSION = "[PhoenixHeaderVer01.05]"
END = "[EndofPhoenixHeader]"
DEFAULT_OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir,
                           "src", "corvane", "data", "sarchip", "BTR70_HB03787.004")

# Lines 4-12 and those after line 14; lines 2, 3, 13 and 14 are fixed below.
FIELDS_HEAD = [
    ("FileName", "BTR70_HB03787.004"),
    ("ChipID", "HB03787"),
    ("ChipSequence", "004"),
    ("DataFormat", "magnitude then phase"),
    ("SampleType", "IEEE-754 binary32"),
    ("ByteOrder", "big-endian"),
    ("MagnitudeUnits", "linear amplitude"),
    ("PhaseUnits", "radians"),
    ("ProcessingSoftware", "corvane make_sample_chip 1"),
]
FIELDS_TAIL = [
    ("Synthetic", "yes"),
    ("GeneratorSeed", str(SEED)),
    ("TargetType", "BTR70"),
    ("TargetSerialNumber", "SYN-0417"),
    ("TargetClass", "wheeled armored personnel carrier"),
    ("TargetAzimuth", f"{AZIMUTH:.2f}"),
    ("TargetCenterRow", str(CENTER[0])),
    ("TargetCenterColumn", str(CENTER[1])),
    ("TargetLength", "7.40"),
    ("TargetWidth", "2.80"),
    ("DepressionAngle", "17.00"),
    ("SquintAngle", "0.00"),
    ("SlantRange", "5120.4"),
    ("Platform", "synthetic airborne"),
    ("PlatformAltitude", "1497.1"),
    ("RadarMode", "spotlight"),
    ("CenterFrequency", "9.600e9"),
    ("Bandwidth", "0.591e9"),
    ("Polarization", "HH"),
    ("RangeResolution", f"{RESOLUTION:.4f}"),
    ("CrossRangeResolution", f"{RESOLUTION:.4f}"),
    ("RangePixelSpacing", f"{SPACING:.4f}"),
    ("CrossRangePixelSpacing", f"{SPACING:.4f}"),
    ("WeightingWindow", "Hann"),
    ("CalibrationState", "uncalibrated"),
    ("CollectionDate", "1998-05-21"),
    ("CollectionTime", "14:32:07.250"),
    ("ClutterType", "grass field"),
    "",
    ("Comment", "synthetic chip for tests and demos; not measured data"),
]


def _kernel():
    """1-D impulse response: sinc at RESOLUTION, Hann tapered, sampled at SPACING."""
    rho = SPACING / RESOLUTION
    taps = []
    for n in range(-K, K + 1):
        x = math.pi * rho * n
        sinc = 1.0 if n == 0 else math.sin(x) / x
        hann = 0.5 + 0.5 * math.cos(math.pi * n / (K + 1))
        taps.append(round(sinc * hann, 8))
    return taps


def _convolve_valid(a, taps):
    """Separable 2-D convolution keeping only fully covered outputs."""
    m = a.shape[0] - len(taps) + 1
    rows = np.zeros((a.shape[0], m))
    for j, w in enumerate(taps):
        rows += w * a[:, j:j + m]
    out = np.zeros((m, m))
    for i, w in enumerate(taps):
        out += w * rows[i:i + m, :]
    return out


def _atan2(y, x):
    """Elementwise atan2 from arithmetic alone, accurate to a few ulp."""
    ax, ay = np.abs(x), np.abs(y)
    hi, lo = np.maximum(ax, ay), np.minimum(ax, ay)
    t = np.divide(lo, np.where(hi > 0, hi, 1.0))               # [0, 1]
    # atan(t) = pi/4 + atan((t - 1)/(t + 1)) brings |u| below tan(pi/8).
    fold = t > math.sqrt(2.0) - 1.0
    u = np.where(fold, (t - 1.0) / (t + 1.0), t)
    u2 = u * u
    s = np.zeros_like(u)
    for k in range(24, -1, -1):                                # u2 < 0.172: 25 terms suffice
        s = s * u2 + (-1.0) ** k / (2 * k + 1)
    a = u * s + np.where(fold, math.pi / 4, 0.0)
    a = np.where(ay > ax, math.pi / 2 - a, a)
    a = np.where(x < 0, math.pi - a, a)
    return np.where(y < 0, -a, a)


def make_arrays():
    """Magnitude and phase, float32 (N, N)."""
    rng = np.random.default_rng(SEED)
    taps = _kernel()
    m = N + 2 * K                       # scene grid; the convolution trims K each side
    clutter = rng.standard_normal((2, m, m))
    body = rng.standard_normal((2, m, m))
    amp_jitter = rng.random(len(SCATTERERS))
    ph = rng.standard_normal((2, len(SCATTERERS)))

    theta = math.radians(AZIMUTH)
    c, s = round(math.cos(theta), 10), round(math.sin(theta), 10)
    r0, c0 = CENTER[0] + K, CENTER[1] + K
    rr, cc = np.mgrid[0:m, 0:m].astype(np.float64)
    dr, dc = rr - r0, cc - c0
    along = dc * c + dr * s
    across = dr * c - dc * s
    target = (np.abs(along) <= HALF_LEN) & (np.abs(across) <= HALF_WID)
    core = target.copy()
    for shift, axis in ((1, 0), (-1, 0), (1, 1), (-1, 1)):
        core &= np.roll(target, shift, axis)
    shadow = np.zeros_like(target)
    for d in range(1, SHADOW_LEN + 1):
        shadow |= np.roll(target, d, 0)
    shadow &= ~target

    gain = np.where(shadow, SHADOW_GAIN, 1.0) * CLUTTER_SIGMA
    # Edges return more than the interior; the near-range (upper) side most.
    body_sigma = np.where(target & ~core, 2.0 * BODY_SIGMA, np.where(target, BODY_SIGMA, 0.0))
    body_sigma = np.where(target & ~core & (dr < 0), 3.0 * BODY_SIGMA, body_sigma)
    re = clutter[0] * gain + body[0] * body_sigma
    im = clutter[1] * gain + body[1] * body_sigma

    for (a, b, amp), jit, px, py in zip(SCATTERERS, amp_jitter, ph[0], ph[1]):
        row = int(round(r0 + a * s + b * c))
        col = int(round(c0 + a * c - b * s))
        scale = amp * (0.8 + 0.4 * float(jit)) / math.sqrt(px * px + py * py)
        re[row, col] += scale * px
        im[row, col] += scale * py

    re = _convolve_valid(re, taps)
    im = _convolve_valid(im, taps)
    mag = np.sqrt(re * re + im * im).astype(np.float32)
    mag = np.maximum(mag, np.finfo(np.float32).tiny)
    # float32(pi) exceeds pi: keep phases strictly inside (-pi, pi).
    lim = np.nextafter(np.float32(np.pi), np.float32(0))
    phase = np.clip(_atan2(im, re).astype(np.float32), -lim, lim)
    return mag, phase


def header(file_size, header_len):
    lines = [VERSION, f"FileSize= {file_size}", f"HeaderLength= {header_len}"]
    lines += [f"{k}= {v}" for k, v in FIELDS_HEAD]
    lines += [f"NumberOfColumns= {N}", f"NumberOfRows= {N}"]
    lines += [f if isinstance(f, str) else f"{f[0]}= {f[1]}" for f in FIELDS_TAIL]
    lines.append(END)
    return "".join(line + "\n" for line in lines).encode("ascii")


def chip_bytes():
    mag, phase = make_arrays()
    data = mag.astype(">f4").tobytes() + phase.astype(">f4").tobytes()
    # The header states its own length and the file size: iterate to the fixed point.
    n = 0
    while True:
        head = header(n + len(data), n)
        if len(head) == n:
            return head + data
        n = len(head)


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("path", nargs="?", default=DEFAULT_OUT, help="output file (default: the shipped sample)")
    ap.add_argument("--check", action="store_true", help="compare with a fresh generation instead of writing")
    args = ap.parse_args(argv)
    path = os.path.normpath(args.path)
    blob = chip_bytes()
    if args.check:
        try:
            with open(path, "rb") as f:
                same = f.read() == blob
        except OSError as e:
            print(f"{path}: {e.strerror}", file=sys.stderr)
            return 1
        if not same:
            print(f"{path} differs from a fresh generation; rerun {os.path.basename(__file__)}", file=sys.stderr)
            return 1
        return 0
    with open(path, "wb") as f:
        f.write(blob)
    print(f"wrote {path} ({len(blob)} bytes)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
