"""Summarise many chip files: one line per chip, one per bad file.

    python many_files.py [--dask] [--workers N] [--pattern GLOB] PATH...

PATH is a chip file or a folder, searched with its subfolders. Bad files are
reported on standard error after the good ones are printed, and make the exit
status 1. --dask computes the summaries on a local Dask cluster of worker
processes instead of corvane's own pool.
"""

import argparse
import sys

import numpy as np

import corvane as cv
import corvane.datasets


def with_processes(paths, workers, pattern):
    """read_chips: every chip, in a pool of processes, bad files collected."""
    chips = cv.read_chips(paths, pattern=pattern, workers=workers, errors="collect", dtype=np.complex64)
    amplitude = [np.abs(image) for image in chips.images]  # an array or a list of arrays
    rows = [(path, header, float(a.mean()), float(a.max()))
            for path, header, a in zip(chips.paths, chips.headers, amplitude)]
    return rows, chips.errors


def with_dask(paths, workers, pattern):
    """chips_to_dask: the images as a lazy array, computed on a local cluster."""
    from dask.distributed import Client, LocalCluster

    files = cv.datasets.find_chips(paths, pattern)  # the files chips_to_dask takes, in its order
    try:
        images = cv.chips_to_dask(files, dtype=np.complex64)
    except Exception as error:  # its note names the file
        return [], [(getattr(error, "__notes__", ["?"])[-1], error)]
    headers = [cv.sarchip_header(path) for path in files]
    amplitude = abs(images)
    with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                      host="127.0.0.1", dashboard_address=None) as cluster, Client(cluster):
        means, peaks = (a.compute() for a in (amplitude.mean(axis=(1, 2)), amplitude.max(axis=(1, 2))))
    rows = [(path, header, float(m), float(p)) for path, header, m, p in zip(files, headers, means, peaks)]
    return rows, []


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("paths", nargs="+", metavar="PATH")
    parser.add_argument("--dask", action="store_true", help="compute on a Dask LocalCluster")
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--pattern", help="only files whose name matches this glob, in folders")
    args = parser.parse_args(argv)
    run = with_dask if args.dask else with_processes
    rows, errors = run(args.paths, args.workers, args.pattern)
    for name, header, mean, peak in rows:
        print(f"{name}: {header['NumberOfRows']} x {header['NumberOfColumns']} {header.get('TargetType', '?')}, "
              f"mean amplitude {mean:.6f}, peak {peak:.6f}")
    for where, error in errors:
        print(f"{where}: {type(error).__module__}.{type(error).__name__}: {error}", file=sys.stderr)
    return 1 if errors else 0


# The guard matters: worker processes started by "spawn" or "forkserver"
# import this file again, and must not start pools of their own.
if __name__ == "__main__":
    sys.exit(main())
