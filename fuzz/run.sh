#!/usr/bin/env bash
# Runs the native fuzzer in VENV (made by `fuzz/build.sh fuzz VENV`).
#
#   fuzz/run.sh VENV [libFuzzer arguments...]
#
# New inputs go to a scratch directory first, then the stored corpus; findings
# (crash-*, timeout-*, oom-*) land in the current directory.
set -euo pipefail
venv=${1:?virtual environment made by fuzz/build.sh fuzz}
shift
here=$(cd "$(dirname "$0")" && pwd)
# Python itself is not instrumented and frees little at exit: no leak report.
# Huge allocations come back as NULL, which NumPy turns into MemoryError.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=0:allocator_may_return_null=1:handle_abort=1}
export PYTHONMALLOC=malloc
LD_PRELOAD="$venv/asan_with_fuzzer.so" exec "$venv/bin/python" "$here/fuzz_native.py" \
    -rss_limit_mb=4096 -timeout=30 "$@"
