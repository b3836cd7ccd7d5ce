#!/usr/bin/env bash
# Line and branch coverage of native/ reached by replaying a corpus.
#
#   fuzz/coverage.sh VENV [CORPUS...]   (VENV made by `fuzz/build.sh coverage VENV`)
#
# Each module carries its own profile runtime, hence %m in the file names.
# Prints llvm-cov's per-file report; the merged profile and an annotated
# listing stay in VENV/coverage/.
set -euo pipefail
venv=${1:?virtual environment made by fuzz/build.sh coverage}
shift
here=$(cd "$(dirname "$0")" && pwd)
[ $# -gt 0 ] || set -- "$here/corpus"
out=$venv/coverage
rm -rf "$out"
mkdir -p "$out"
files=()
for dir in "$@"; do files+=("$dir"/*); done
LLVM_PROFILE_FILE="$out/replay-%m-%p.profraw" "$venv/bin/python" -W ignore - "$here" "${files[@]}" <<'PY'
import sys
sys.path.insert(0, sys.argv[1])
import targets
findings = 0
for name in sys.argv[2:]:
    with open(name, "rb") as f:
        try:
            targets.one_input(f.read())
        except targets.Finding as e:
            findings += 1
            print("finding:", name, e)
print(len(sys.argv) - 2, "inputs replayed,", findings, "findings")
PY
llvm-profdata merge -sparse -o "$out/replay.profdata" "$out"/replay-*.profraw
objects=()
for so in "$venv"/lib/python*/site-packages/corvane/dsp/resampler.*.so \
          "$venv"/lib/python*/site-packages/corvane/datasets/sarchip.*.so; do
    objects+=(-object "$so")
done
root=$(cd "$here/.." && pwd)
llvm-cov show -instr-profile="$out/replay.profdata" "${objects[@]:1}" "$root/native" > "$out/native.txt"
llvm-cov report -instr-profile="$out/replay.profdata" "${objects[@]:1}" "$root/native"
