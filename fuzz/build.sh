#!/usr/bin/env bash
# Builds corvane with clang for the native fuzzer, into a virtual environment.
#
#   fuzz/build.sh fuzz VENV [PYTHON]      -fsanitize=fuzzer-no-link,address, plus
#                                         VENV/asan_with_fuzzer.so to preload
#   fuzz/build.sh coverage VENV [PYTHON]  -fprofile-instr-generate -fcoverage-mapping
#
# Installs what it needs from Debian (clang, its sanitizer runtimes, the llvm
# tools) and from PyPI (atheris, for the fuzz build) when it is missing.
#
# Why the preload: the instrumented modules call libFuzzer's coverage hooks
# (__sanitizer_cov_8bit_counters_init and friends). The AddressSanitizer
# runtime defines weak stand-ins for the same names, and a preloaded runtime
# comes first in symbol lookup, so its stand-ins would swallow the coverage.
# Linking clang's ASan runtime and libFuzzer into one shared object lets the
# strong libFuzzer definitions win; atheris finds LLVMFuzzerRunDriver already
# loaded and drives that libFuzzer instead of its own copy.
set -euo pipefail
mode=${1:?fuzz or coverage}
venv=${2:?virtual environment to create or reuse}
python=${3:-python3}
root=$(cd "$(dirname "$0")/.." && pwd)

# Debian's clang, its runtimes (libFuzzer, ASan) and, for coverage, llvm-cov.
if ! command -v clang++ >/dev/null || ! command -v llvm-profdata >/dev/null ||
    [ ! -e "$(clang -print-resource-dir 2>/dev/null)/lib/linux/libclang_rt.fuzzer_no_main-x86_64.a" ]; then
    apt-get update -qq
    ver=$(apt-cache depends clang | sed -n 's/.*Depends: clang-\([0-9]*\)$/\1/p' | head -n 1)
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang llvm "libclang-rt-${ver}-dev" >/dev/null
fi

[ -x "$venv/bin/python" ] || "$python" -m venv "$venv"
"$venv/bin/python" -m pip install -q --upgrade pip
"$venv/bin/python" -m pip install -q numpy pytest hypothesis

case "$mode" in
fuzz)
    flags="-fsanitize=fuzzer-no-link,address -fno-omit-frame-pointer -g"
    rt=$(clang -print-resource-dir)/lib/linux
    work=$(mktemp -d)
    # The preinit object only works in executables; the runtime is preloaded instead.
    cp "$rt/libclang_rt.asan-x86_64.a" "$work/asan.a"
    ar d "$work/asan.a" asan_preinit.cpp.o
    clang++ -shared -o "$venv/asan_with_fuzzer.so" \
        -Wl,--whole-archive "$work/asan.a" "$rt/libclang_rt.asan_cxx-x86_64.a" \
        "$rt/libclang_rt.fuzzer_no_main-x86_64.a" -Wl,--no-whole-archive -ldl -lpthread -lrt -lm
    rm -rf "$work"
    "$venv/bin/python" -m pip install -q atheris
    ;;
coverage)
    flags="-fprofile-instr-generate -fcoverage-mapping -O1 -g"
    ;;
*)
    echo "unknown mode $mode" >&2
    exit 2
    ;;
esac

"$venv/bin/python" -m pip install -q --force-reinstall --no-deps \
    -C build-dir="$venv/build" -C install.strip=false \
    -C cmake.define.CMAKE_CXX_COMPILER=clang++ \
    -C cmake.define.CMAKE_CXX_FLAGS="$flags" \
    "$root"
