"""Coverage-guided fuzzing of corvane's native code with atheris.

Run through fuzz/run.sh, which preloads the AddressSanitizer runtime with
libFuzzer built in; the coverage that guides the search comes from the
clang-instrumented extension modules (fuzz/build.sh), not from Python.
Arguments are libFuzzer's (corpus directories, -max_total_time, -runs, ...).
"""

import hashlib
import os
import sys

import atheris

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import targets  # noqa: E402  (not instrumented: the native modules guide the search)


def one_input(data):
    try:
        targets.one_input(data)
    except BaseException:
        # libFuzzer writes its crash-* file only when it gets to; under a
        # busy machine the process can die on its way out first.
        name = "finding-" + hashlib.sha1(data).hexdigest()
        with open(name, "wb") as f:
            f.write(data)
        print("input written to", os.path.abspath(name), file=sys.stderr)
        raise


def main():
    # libFuzzer's -merge and -fork modes run argv[0] through the shell:
    # make that this interpreter on this script.
    argv = [sys.executable + " " + os.path.abspath(__file__)] + sys.argv[1:]
    atheris.Setup(argv, one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
