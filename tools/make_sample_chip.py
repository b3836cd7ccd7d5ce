#!/usr/bin/env python3
"""Generate synthetic chip files: the sample shipped with corvane, or sets of
varied chips for trying things out.

    python tools/make_sample_chip.py --out DIR [--count N] [--seed S] [--size HxW[,HxW...]]
    python tools/make_sample_chip.py --shipped      # (re)write the shipped sample
    python tools/make_sample_chip.py PATH           # write the sample chip to PATH
    python tools/make_sample_chip.py --check [PATH] # exit 1 if the shipped sample (or PATH) is stale

It writes only where it is told: a set goes into DIR, the sample to PATH, and
the shipped file is rewritten only with --shipped.

A scene is a vehicle-like target (diffuse body, bright edge, a few strong
point scatterers, radar shadow) over Rayleigh clutter, band-limited by a
separable windowed-sinc impulse response. Chips of a set differ in target
type and size, heading, position, depression angle, collection date and,
given several sizes, shape; chip i of seed S is the same on every run.

The output must be byte-identical on every platform and NumPy >= 1.19, so the
pixel pipeline uses only correctly rounded elementwise operations (+ - * /
sqrt, comparisons) in a fixed order: no FFT, no reductions, no vectorised
transcendental functions, whose last bits vary between builds and CPUs. The
few scalar constants that need sin/cos are rounded well above libm's error.
Random numbers come from ``Generator.random``, ``standard_normal`` and
``integers`` only.
"""

import argparse
import math
import os
import sys

import numpy as np

SPACING = 0.2021            # pixel spacing, m
RESOLUTION = 0.3047         # impulse response width, m
SHADOW_LEN = 22             # shadow extent down-range (increasing row), pixels
K = 10                      # impulse response half width, pixels
CLUTTER_SIGMA = 0.016
BODY_SIGMA = 0.07
SHADOW_GAIN = 0.2
# Strong scatterers of the sample's target: (along, across) in pixels, nominal
# amplitude. Other targets scale the pattern to their size.
SCATTERERS = [
    (-15.0, -5.0, 1.3), (15.0, 5.0, 1.0), (-15.0, 5.0, 0.8), (15.0, -5.0, 0.7),
    (2.0, 0.0, 1.6), (8.0, -3.0, 0.9), (-6.0, 4.0, 0.6), (11.0, 1.0, 0.7),
]

VERSION = "[PhoenixHeaderVer01.05]"
END = "[EndofPhoenixHeader]"
SHIPPED = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir,
                       "src", "corvane", "data", "sarchip", "BTR70_HB03787.004")

# The shipped sample: one target, heading 47.25 degrees, in a 128 x 128 chip.
SAMPLE = {
    "seed": 3787, "rows": 128, "cols": 128, "azimuth": 47.25, "center": (64, 64),
    "half_len": 17.0, "half_wid": 7.0, "scatterers": SCATTERERS,
    "name": "BTR70_HB03787.004", "chip_id": "HB03787", "sequence": "004",
    "target": ("BTR70", "SYN-0417", "wheeled armored personnel carrier", "7.40", "2.80"),
    "depression": "17.00", "date": "1998-05-21", "time": "14:32:07.250",
}

# Targets of the varied sets: type, class, length and width in metres.
TARGETS = [
    ("TRUCK", "cargo truck", 8.2, 2.5),
    ("TRACKED", "tracked vehicle", 6.9, 3.4),
    ("WHEELED", "wheeled carrier", 7.4, 2.8),
    ("VAN", "panel van", 5.1, 2.0),
    ("CAR", "passenger car", 4.5, 1.8),
]
DEPRESSIONS = ["15.00", "17.00", "30.00", "45.00"]
CLUTTER = ["grass field", "bare soil", "gravel", "scrub"]


def varied(seed, index, sizes):
    """Chip `index` of the set made with `seed`: the target, its heading and
    place, the shape (one of `sizes`) and the collection drawn from both."""
    rng = np.random.default_rng([seed, index])
    rows, cols = sizes[int(rng.integers(len(sizes)))]
    code, kind, length, width = TARGETS[int(rng.integers(len(TARGETS)))]
    azimuth = int(rng.integers(360 * 4)) / 4
    half_len = round(length / SPACING / 2 * 0.93, 1)
    half_wid = round(width / SPACING / 2 * 0.93, 1)
    center = (rows // 2 + int(rng.integers(-rows // 16, rows // 16 + 1)),
              cols // 2 + int(rng.integers(-cols // 16, cols // 16 + 1)))
    day = int(rng.integers(3 * 365))
    year, day = 1996 + day // 365, day % 365
    month, mday = 1 + day // 31 % 12, 1 + day % 28
    second = int(rng.integers(86400 * 1000))
    when = f"{second // 3600000:02d}:{second // 60000 % 60:02d}:{second // 1000 % 60:02d}.{second % 1000:03d}"
    chip_id = f"SC{seed}-{index:05d}"
    sequence = f"{index % 1000:03d}"
    return {
        "seed": int(rng.integers(2**31)), "rows": rows, "cols": cols, "azimuth": azimuth, "center": center,
        "half_len": half_len, "half_wid": half_wid,
        "scatterers": [(a * half_len / 17.0, b * half_wid / 7.0, amp) for a, b, amp in SCATTERERS],
        "name": f"{code}_{chip_id}.{sequence}", "chip_id": chip_id, "sequence": sequence,
        "target": (code, f"SYN-{int(rng.integers(10000)):04d}", kind, f"{length:.2f}", f"{width:.2f}"),
        "depression": DEPRESSIONS[int(rng.integers(len(DEPRESSIONS)))],
        "date": f"{year}-{month:02d}-{mday:02d}", "time": when,
        "clutter": CLUTTER[int(rng.integers(len(CLUTTER)))],
    }


def fields(chip):
    """The header's field lines: lines 4 to 12, then those after line 14
    (lines 2, 3, 13 and 14 are set in header())."""
    target_type, serial, kind, length, width = chip["target"]
    head = [
        ("FileName", chip["name"]),
        ("ChipID", chip["chip_id"]),
        ("ChipSequence", chip["sequence"]),
        ("DataFormat", "magnitude then phase"),
        ("SampleType", "IEEE-754 binary32"),
        ("ByteOrder", "big-endian"),
        ("MagnitudeUnits", "linear amplitude"),
        ("PhaseUnits", "radians"),
        ("ProcessingSoftware", "corvane make_sample_chip 1"),
    ]
    tail = [
        ("Synthetic", "yes"),
        ("GeneratorSeed", str(chip["seed"])),
        ("TargetType", target_type),
        ("TargetSerialNumber", serial),
        ("TargetClass", kind),
        ("TargetAzimuth", f"{chip['azimuth']:.2f}"),
        ("TargetCenterRow", str(chip["center"][0])),
        ("TargetCenterColumn", str(chip["center"][1])),
        ("TargetLength", length),
        ("TargetWidth", width),
        ("DepressionAngle", chip["depression"]),
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
        ("CollectionDate", chip["date"]),
        ("CollectionTime", chip["time"]),
        ("ClutterType", chip.get("clutter", "grass field")),
        "",
        ("Comment", "synthetic chip for tests and demos; not measured data"),
    ]
    return head, tail


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
    mr, mc = a.shape[0] - len(taps) + 1, a.shape[1] - len(taps) + 1
    rows = np.zeros((a.shape[0], mc))
    for j, w in enumerate(taps):
        rows += w * a[:, j:j + mc]
    out = np.zeros((mr, mc))
    for i, w in enumerate(taps):
        out += w * rows[i:i + mr, :]
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


def make_arrays(chip=SAMPLE):
    """Magnitude and phase, float32 (rows, cols)."""
    rng = np.random.default_rng(chip["seed"])
    taps = _kernel()
    scatterers = chip["scatterers"]
    # Scene grid; the convolution trims K each side.
    mr, mc = chip["rows"] + 2 * K, chip["cols"] + 2 * K
    clutter = rng.standard_normal((2, mr, mc))
    body = rng.standard_normal((2, mr, mc))
    amp_jitter = rng.random(len(scatterers))
    ph = rng.standard_normal((2, len(scatterers)))

    theta = math.radians(chip["azimuth"])
    c, s = round(math.cos(theta), 10), round(math.sin(theta), 10)
    r0, c0 = chip["center"][0] + K, chip["center"][1] + K
    rr, cc = np.mgrid[0:mr, 0:mc].astype(np.float64)
    dr, dc = rr - r0, cc - c0
    along = dc * c + dr * s
    across = dr * c - dc * s
    target = (np.abs(along) <= chip["half_len"]) & (np.abs(across) <= chip["half_wid"])
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

    for (a, b, amp), jit, px, py in zip(scatterers, amp_jitter, ph[0], ph[1]):
        row = int(round(r0 + a * s + b * c))
        col = int(round(c0 + a * c - b * s))
        if not (0 <= row < mr and 0 <= col < mc):  # off a small chip
            continue
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


def header(file_size, header_len, chip=SAMPLE):
    head, tail = fields(chip)
    lines = [VERSION, f"FileSize= {file_size}", f"HeaderLength= {header_len}"]
    lines += [f"{k}= {v}" for k, v in head]
    lines += [f"NumberOfColumns= {chip['cols']}", f"NumberOfRows= {chip['rows']}"]
    lines += [f if isinstance(f, str) else f"{f[0]}= {f[1]}" for f in tail]
    lines.append(END)
    return "".join(line + "\n" for line in lines).encode("ascii")


def chip_bytes(chip=SAMPLE):
    mag, phase = make_arrays(chip)
    data = mag.astype(">f4").tobytes() + phase.astype(">f4").tobytes()
    # The header states its own length and the file size: iterate to the fixed point.
    n = 0
    while True:
        head = header(n + len(data), n, chip)
        if len(head) == n:
            return head + data
        n = len(head)


def size_list(text):
    """"128x128" or "128x128,64x96" -> [(rows, cols), ...]."""
    sizes = []
    for part in text.split(","):
        rows, sep, cols = part.strip().lower().partition("x")
        if not (sep and rows.isdigit() and cols.isdigit() and int(rows) > 0 and int(cols) > 0):
            raise argparse.ArgumentTypeError(f"{part!r} is not a size HxW, such as 128x128")
        sizes.append((int(rows), int(cols)))
    return sizes


def positive(text):
    if not text.isdigit() or int(text) < 1:
        raise argparse.ArgumentTypeError(f"{text!r} is not a positive count")
    return int(text)


def write_set(folder, count, seed, sizes):
    os.makedirs(folder, exist_ok=True)
    total = 0
    for i in range(count):
        chip = varied(seed, i, sizes)
        blob = chip_bytes(chip)
        with open(os.path.join(folder, chip["name"]), "wb") as f:
            f.write(blob)
        total += len(blob)
    print(f"wrote {count} chips to {folder} ({total} bytes)")


def check(path):
    try:
        with open(path, "rb") as f:
            same = f.read() == chip_bytes()
    except OSError as e:
        print(f"{path}: {e.strerror}", file=sys.stderr)
        return 1
    if not same:
        print(f"{path} differs from a fresh generation; rerun {os.path.basename(__file__)} --shipped",
              file=sys.stderr)
        return 1
    return 0


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[1],
                                 usage="%(prog)s (--out DIR [--count N] [--seed S] [--size HxW] | --shipped | "
                                       "--check [PATH] | PATH)")
    ap.add_argument("path", nargs="?", help="write the sample chip here (with --check: the file to compare)")
    ap.add_argument("--out", metavar="DIR", help="write a set of varied chips into DIR")
    ap.add_argument("--count", type=positive, default=1, help="chips in the set (default 1)")
    ap.add_argument("--seed", type=int, default=0, help="seed of the set (default 0); the same seed, the same set")
    ap.add_argument("--size", type=size_list, default=[(128, 128)], metavar="HxW[,HxW...]",
                    help="chip size, or sizes to draw from (default 128x128)")
    ap.add_argument("--shipped", action="store_true", help="(re)write the sample shipped in src/corvane/data")
    ap.add_argument("--check", action="store_true", help="compare with a fresh generation instead of writing")
    args = ap.parse_args(argv)
    if args.out is not None:
        if args.path or args.shipped or args.check:
            ap.error("--out writes a set; it takes no PATH, --shipped or --check")
        write_set(args.out, args.count, args.seed, args.size)
        return 0
    if args.check:
        return check(os.path.normpath(args.path or SHIPPED))
    if args.shipped == bool(args.path):
        ap.error("say where to write: --out DIR for a set, PATH for the sample chip, or --shipped")
    path = os.path.normpath(args.path or SHIPPED)
    blob = chip_bytes()
    with open(path, "wb") as f:
        f.write(blob)
    print(f"wrote {path} ({len(blob)} bytes)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
