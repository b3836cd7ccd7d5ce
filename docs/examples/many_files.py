"""Read many chip files in parallel: a summary of each, in worker processes.

    python many_files.py [--dask] [--workers N] FILE...

Each worker opens, decodes and summarises whole files and returns only the
small summary, so nothing large crosses between processes. The corvane
functions are plain module-level functions that pickle by reference, so they
can also be sent to workers directly, as in ``pool.map(cv.sarchip_raw, paths)``.
"""

import argparse
import concurrent.futures

import numpy as np

import corvane as cv


def summarise(path):
    """The chip's size from its header and simple statistics of its image."""
    header = cv.sarchip_header(path)
    chip = cv.sarchip_raw(path, ofmt="c")
    amplitude = np.abs(chip)
    return {
        "path": path,
        "rows": int(header["NumberOfRows"]),
        "columns": int(header["NumberOfColumns"]),
        "mean_amplitude": float(amplitude.mean()),
        "peak_amplitude": float(amplitude.max()),
    }


def with_processes(paths, workers=2):
    """concurrent.futures: a pool of worker processes, results in input order."""
    with concurrent.futures.ProcessPoolExecutor(max_workers=workers) as pool:
        return list(pool.map(summarise, paths))


def with_dask(paths, workers=2):
    """Dask: a local cluster of worker processes, one thread each."""
    from dask.distributed import Client, LocalCluster

    with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                      host="127.0.0.1", dashboard_address=None) as cluster, Client(cluster) as client:
        futures = client.map(summarise, paths)
        return client.gather(futures)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("files", nargs="+", metavar="FILE")
    parser.add_argument("--dask", action="store_true", help="use a Dask LocalCluster instead of a process pool")
    parser.add_argument("--workers", type=int, default=2)
    args = parser.parse_args(argv)
    run = with_dask if args.dask else with_processes
    for s in run(args.files, args.workers):
        print(f"{s['path']}: {s['rows']} x {s['columns']}, "
              f"mean amplitude {s['mean_amplitude']:.6f}, peak {s['peak_amplitude']:.6f}")


# The guard matters: worker processes started by "spawn" or "forkserver"
# import this file again, and must not start pools of their own.
if __name__ == "__main__":
    main()
