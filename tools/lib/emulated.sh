# The body of tools/check-armhf and tools/check-aarch64: build corvane's
# extension modules for an ARM target with a cross compiler (or take them from
# a binary wheel) and run the test suite on the target's Debian root
# filesystem under qemu user-mode emulation, as a named CPU. Sourced by those
# scripts after they set:
#   PROG REPO         the script's name, the repository
#   ARCH              Debian architecture of the target (armhf, arm64)
#   LABEL             how messages name it
#   QEMU_NAME         qemu-user binary and binfmt entry (qemu-arm, qemu-aarch64)
#   TRIPLET           GNU triplet of the target
#   SUITE             Debian suite of the root filesystem
#   PYVER             the rootfs's CPython (3.9), WANT_PY WANT_NP its and NumPy's versions
#   MACHINES          what platform.machine() may say there (an extended regex)
#   ELF_CLASS ELF_MACHINE ELF_FLAGS   what readelf must report for the modules
#   CPU_DEFAULT       the CPU qemu emulates; ENV_PREFIX (CORVANE_ARMHF) names the variables
#   CACHE ROOTFS ROOTFS_PKGS
#   target_headers    a function printing "ROOT INCLUDE_DIR MULTIARCH_PYCONFIG"
#                     (where the target's Python headers are; ROOT is a tree)
#
# Phases (each one timed):
#   host     qemu user emulation, mmdebstrap, arch-test, binutils; binfmt_misc
#   rootfs   the target's root filesystem (cached; made again only when
#            missing or when its recipe changes)
#   factory  the shared Debian bullseye amd64 build chroot with the cross
#            compilers (tools/lib/common.sh; cached)
#   build    configure CMake for the target in the factory (-Werror), build,
#            `cmake --install` into a stage;  or, with --wheel, the wheel's modules
#   abi      ELF class and machine, every needed library in the rootfs, every
#            required GLIBC_/GLIBCXX_/CXXABI_/GCC_ symbol version provided there
#   install  the package (source tree + modules, or the wheel installed with
#            pip into a venv over the system's NumPy) and tests/ into the
#            rootfs; import every module
#   kernels  the kernels' own C++ test, cross-built alone, on the emulated
#            CPUs of KERNEL_RUNS: each must choose the variant expected of it
#            and give the baseline's bits (and the stored digest) in every one
#   test     python3 -m pytest inside the rootfs on the emulated CPU: an
#            illegal instruction anywhere in the run fails the check
#
# Exit status: the pytest run's (0 passed, 1 failures, 5 no tests collected, ...);
# an earlier phase failing exits with 10 host, 11 rootfs, 12 factory, 13 build,
# 14 abi check, 15 install (or an unimportable module while pytest passed),
# 16 an illegal instruction while pytest passed, 17 the kernels' own test
# failed or chose the wrong variant, 2 bad usage.

usage() {
  cat <<EOF
Usage: tools/$PROG [options] [-- pytest-args...]

Builds corvane for $LABEL with a cross compiler (or installs its wheel) and runs
the test suite on an emulated $ARCH root filesystem (Debian $SUITE, Python $PYVER).

Options:
  --wheel PATH       test the wheel PATH (a file, or the folder tools/build-wheels
                     filled) instead of building from the work tree; it is
                     installed with pip, and no compiler is reachable
  --rootfs-only      only make sure the root filesystem is there (and works)
  --rebuild-rootfs   make the test root filesystem again
  --rebuild-factory  make the cross-compiler chroot again
  --rebuild-all      both of the above
  --build-only       stop after the build and the symbol-version check
  --no-build         skip the build; test the modules of the last build
  --cxxflags FLAGS   more compiler flags for the build (e.g. a -mcpu= to show
                     that an instruction the emulated CPU lacks fails the check)
  --keep             leave the installed package and tests in the rootfs
                     (under /opt) after the run, for poking around
  --shell            instead of pytest, open an interactive shell in the
                     rootfs with the package installed (implies --keep)
  --proot            run $ARCH programs with proot -q $QEMU_NAME instead of
                     binfmt_misc + chroot (automatic when binfmt cannot work)
  -e, --env N=V      set an environment variable for the tests (repeatable);
                     CORVANE_TEST_* variables of the caller are passed on too
  -j, --jobs N       parallel compile jobs (default: nproc)
  -h, --help         this text

Anything after -- goes to pytest (default: -q -rs); test paths are given as in
the repo (tests/test_x.py::name), otherwise the whole tests/ folder runs.
${ENV_PREFIX}_PYTEST_ARGS adds more.

Environment:
  ${ENV_PREFIX}_CACHE   cache folder (default $CACHE); holds rootfs/, stage/, logs/
  CORVANE_CACHE_ROOT     where every cache lives by default (/var/cache)
  CORVANE_MIRROR         Debian mirror (default: the Debian mirror in
                         /etc/apt/sources.list*, else http://deb.debian.org/debian)
  ${ENV_PREFIX}_CPU     the CPU qemu emulates (default $CPU_DEFAULT)

Exit status: pytest's; 10 host setup, 11 rootfs, 12 factory chroot, 13 build,
14 symbol-version/ELF check, 15 install failed or a module does not import
(when pytest itself passed), 16 an illegal instruction (when pytest itself
passed), 17 the kernels' own test failed or chose the wrong variant, 2 usage.
EOF
}

# ----------------------------------------------------------------- settings
STAGE=$CACHE/stage
LOGS=$CACHE/logs
PYTAG=${PYVER/./}
SOABI=cpython-$PYTAG-$TRIPLET
# module paths inside the package, as installed by CMakeLists.txt
MODULES=("corvane/dsp/resampler.$SOABI.so" "corvane/datasets/sarchip.$SOABI.so")
cpu_var=${ENV_PREFIX}_CPU
CPU=${!cpu_var:-$CPU_DEFAULT}
# the factory's own folder for this script's builds
WORK=/work/$PROG

rootfs_only=0 rebuild_rootfs=0 rebuild_factory=0 build_only=0 no_build=0 keep=0 shell=0 force_proot=0
wheel= cxxflags=
jobs=$(nproc 2>/dev/null || echo 2)
pytest_args=() extra_env=()
while (($#)); do
  case $1 in
    --wheel) [[ -e ${2:-} ]] || { echo "$PROG: $1 needs a wheel file or folder" >&2; exit 2; }
             wheel=$(realpath "$2"); shift ;;
    --rootfs-only) rootfs_only=1 ;;
    --rebuild-rootfs) rebuild_rootfs=1 ;;
    --rebuild-factory) rebuild_factory=1 ;;
    --rebuild-all) rebuild_rootfs=1; rebuild_factory=1 ;;
    --build-only) build_only=1 ;;
    --no-build) no_build=1 ;;
    --cxxflags) cxxflags=${2:-}; shift ;;
    --keep) keep=1 ;;
    --shell) shell=1; keep=1 ;;
    --proot) force_proot=1 ;;
    -e|--env) [[ ${2:-} == [A-Za-z_]*=* ]] || { echo "$PROG: $1 needs NAME=VALUE" >&2; exit 2; }
              extra_env+=("$2"); shift ;;
    -j|--jobs) [[ ${2:-} =~ ^[1-9][0-9]*$ ]] || { echo "$PROG: $1 needs a number" >&2; exit 2; }
               jobs=$2; shift ;;
    -j[1-9]*) jobs=${1#-j} ;;
    -h|--help) usage; exit 0 ;;
    --) shift; pytest_args=("$@"); break ;;
    *) echo "$PROG: unknown option: $1 (see --help)" >&2; exit 2 ;;
  esac
  shift
done
((build_only && no_build)) && { echo "$PROG: --build-only and --no-build exclude each other" >&2; exit 2; }
[[ -z $wheel ]] || ((!no_build && !build_only)) || { echo "$PROG: --wheel goes with neither --build-only nor --no-build" >&2; exit 2; }
((${#pytest_args[@]})) || pytest_args=(-q -rs)
args_var=${ENV_PREFIX}_PYTEST_ARGS
# shellcheck disable=SC2206
pytest_args+=(${!args_var:-})

on_exit() {
  local rc=$?
  unmount_all
  print_timings
  printf '    disk: %s\n' "$(du -sh --one-file-system "$ROOTFS" 2>/dev/null | awk '{printf "%s %s", $2, $1}')"
  printf '%s: exit %d\n' "$PROG" "$rc"
}

# ----------------------------------------------------------------- start
[[ $(id -u) == 0 ]] || die 10 "must run as root (chroot, mount, apt-get)"
[[ $(uname -m) == x86_64 ]] || die 10 "expects an x86-64 host (the factory chroot is Debian amd64)"
[[ -r /etc/debian_version ]] || die 10 "expects a Debian host"
mkdir -p "$LOGS"
lock_cache "$CACHE"
trap on_exit EXIT
trap 'exit 130' INT TERM

# ================================================================= host
phase_start host "host tools and binfmt_misc"
# shellcheck disable=SC2207
host_pkgs=($(emulation_host_pkgs) mmdebstrap arch-test binutils util-linux unzip)
((force_proot)) && host_pkgs+=(proot)
need_host_pkgs "${host_pkgs[@]}"
QEMU_BIN=$(static_qemu "$QEMU_NAME") || die 10 "no statically linked $QEMU_NAME after installing ${host_pkgs[*]}"
EMU=binfmt
if ((force_proot)); then
  EMU=proot
elif setup_binfmt "$QEMU_NAME" "$QEMU_BIN" && arch-test "$ARCH" >/dev/null 2>&1; then
  EMU=binfmt
else
  warn "binfmt_misc for $ARCH could not be set up; falling back to proot -q $QEMU_BIN (about 2x slower)"
  EMU=proot
fi
if [[ $EMU == proot ]]; then
  need_host_pkgs proot
  PROOT_ROOT=$ROOTFS
fi
info "$ARCH programs run via: $EMU ($QEMU_BIN, $("$QEMU_BIN" --version | head -n1)), CPU $CPU"
grep -qw -- "$CPU" <<<"$("$QEMU_BIN" -cpu help 2>&1)" || die 10 "$QEMU_BIN does not emulate the CPU $CPU"
info "Debian mirror: $(detect_mirror "${CORVANE_MIRROR:-}") (suite $SUITE; $SUITE-security left out)"
phase_end "$EMU"

# ================================================================= rootfs
phase_start rootfs "Debian $SUITE $ARCH root filesystem: $ROOTFS"
if [[ $EMU != binfmt ]] && ! tree_ok "$ROOTFS" "$SUITE $ARCH minbase $ROOTFS_PKGS"; then
  die 11 "making the rootfs needs working binfmt_misc for $ARCH (mmdebstrap runs the packages' scripts under emulation)"
fi
((rebuild_rootfs)) && export REBUILD_TREES=1
note=$(ensure_tree 11 "$ROOTFS" "$SUITE" "$ARCH" minbase "$ROOTFS_PKGS" "${NO_PYC_HOOKS[@]}")
unset REBUILD_TREES
versions=$(in_root "$ROOTFS" $(guest_env "$CPU") python3 -c '
import platform, sys, numpy, pytest
try:
    import hypothesis; h = hypothesis.__version__
except ImportError:
    h = "-"
print(platform.python_version(), numpy.__version__, pytest.__version__, h, platform.machine())') \
  || die 11 "python3 does not run in $ROOTFS (use --rebuild-rootfs?)"
read -r py_v np_v pt_v hy_v mach <<<"$versions"
info "rootfs: Python $py_v, NumPy $np_v, pytest $pt_v, hypothesis $hy_v, machine $mach"
[[ $py_v == "$WANT_PY" && $np_v == "$WANT_NP" ]] || warn "expected Python $WANT_PY / NumPy $WANT_NP"
[[ $mach =~ ^($MACHINES)$ ]] || die 11 "rootfs python reports machine '$mach', not $LABEL"
# The wheel is tested where no compiler exists.
shopt -s nullglob
compilers=("$ROOTFS"/usr/bin/{cc,c++,gcc,g++,clang,clang++}{,-[0-9]*})
shopt -u nullglob
((${#compilers[@]} == 0)) || warn "the rootfs has compilers: ${compilers[*]#$ROOTFS} (hidden during the tests)"
phase_end "$note"
((rootfs_only)) && exit 0

# ================================================================= build
# The factory is shared with tools/build-wheels and the other emulated check:
# one of them at a time builds there.
lock_factory() {
  mkdir -p "${FACTORY%/*}"
  exec 8>"${FACTORY%/*}/.lock"
  flock -n 8 || { echo "$PROG: waiting for another build in $FACTORY ..." >&2; flock 8; }
}
if [[ -n $wheel ]]; then
  phase_start build "the modules of the wheel"
  if [[ -d $wheel ]]; then
    shopt -s nullglob
    found=("$wheel"/corvane-*-cp$PYTAG-cp$PYTAG-*manylinux*_"$(sed -E 's/.*_//' <<<"$WHEEL_PLATFORM")".whl)
    shopt -u nullglob
    ((${#found[@]} == 1)) || die 13 "expected one cp$PYTAG $WHEEL_PLATFORM wheel in $wheel, found ${#found[@]}"
    wheel=${found[0]}
  fi
  info "${wheel##*/}"
  safe_rm "$STAGE"
  mkdir -p "$STAGE"
  (cd "$STAGE" && unzip -q "$wheel" 'corvane/*') || die 13 "cannot unpack $wheel"
  phase_end
elif ((no_build)); then
  [[ -d $STAGE/corvane ]] || die 13 "--no-build: no earlier build in $STAGE"
else
  phase_start factory "Debian bullseye amd64 build chroot: $FACTORY"
  lock_factory
  ((rebuild_factory)) && export REBUILD_TREES=1
  note=$(ensure_factory)
  unset REBUILD_TREES
  info "$(in_root "$FACTORY" $(guest_env) $TRIPLET-g++ --version | head -n1); $(in_root "$FACTORY" $(guest_env) cmake --version | head -n1)"
  phase_end "$note"

  phase_start build "cross-compiling the extension modules"
  safe_rm "$FACTORY$WORK"
  copy_worktree "$FACTORY$WORK/src"
  read -r hroot hinc hconf < <(target_headers)
  stage_headers "$FACTORY$WORK/py" "$hroot$hinc" "${hconf:+$hroot$hconf}"
  build_rc=0
  in_root "$FACTORY" $(guest_env) CCACHE_DIR=/var/cache/ccache /bin/sh -c '
      set -e
      cmake -S "$1/src" -B "$1/build" -DCMAKE_TOOLCHAIN_FILE="$1/src/tools/cross-toolchain.cmake" \
            -DCORVANE_CROSS_TRIPLET="$2" -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_COMPILER_LAUNCHER=ccache \
            -DCORVANE_PYTHON_INCLUDE_DIRS="$1/py" -DCORVANE_PYTHON_EXT_SUFFIX=".$3.so" \
            -DCORVANE_STATIC_RUNTIME=ON -DCMAKE_CXX_FLAGS="-Werror $4"
      cmake --build "$1/build" --parallel "$5"
      cmake --install "$1/build" --prefix "$1/stage"' build "$WORK" "$TRIPLET" "$SOABI" "$cxxflags" "$jobs" \
      >"$LOGS/build.log" 2>&1 || build_rc=$?
  grep -E 'CXX compiler identification|corvane:' "$LOGS/build.log" | sed 's/^/    /' || true
  nwarn=$(grep -cE 'warning:|error:' "$LOGS/build.log" || true)
  if ((build_rc)); then
    echo "---- last lines of $LOGS/build.log ----" >&2; tail -n 60 "$LOGS/build.log" >&2; echo "----" >&2
    die 13 "build failed (warnings are errors)"
  fi
  safe_rm "$STAGE"
  cp -a "$FACTORY$WORK/stage" "$STAGE"
  safe_rm "$FACTORY$WORK"
  flock -u 8
  phase_end "${cxxflags:+$cxxflags, }no warnings"
fi

# ================================================================= abi
phase_start abi "ELF and symbol-version check against the rootfs"
abi_rc=0
find_lib() {  # soname -> path inside the rootfs (symlinks resolved within it)
  local d p t n=0
  for d in lib/$TRIPLET usr/lib/$TRIPLET lib usr/lib; do
    p=$ROOTFS/$d/$1
    [[ -e $p || -L $p ]] || continue
    while [[ -L $p ]] && ((n++ < 20)); do
      t=$(readlink "$p")
      if [[ $t == /* ]]; then p=$ROOTFS$t; else p=$(dirname "$p")/$t; fi
    done
    [[ -f $p ]] && { echo "$p"; return 0; }
  done
  return 1
}
verdefs() { readelf -V -W "$1" | awk '/^Version definition section/{s=1;next} /^Version (needs|symbols) section/{s=0} s' |
            grep -oE 'Name: [^ ]+' | awk '{print $2}' | sort -u; }
max_of() { tr ' ' '\n' | grep -E "^${1}[0-9.]+$" | sort -V | tail -n1; }
for m in "${MODULES[@]}"; do
  f=$STAGE/$m
  if [[ ! -f $f ]]; then
    echo "  MISSING $m (built: $(cd "$STAGE" && find . -name '*.so' -printf '%P ' 2>/dev/null))"
    abi_rc=14; continue
  fi
  hdr=$(readelf -h "$f")
  cls=$(awk -F: '/Class:/{gsub(/ /,"",$2);print $2}' <<<"$hdr")
  mach=$(awk -F: '/Machine:/{sub(/^ +/,"",$2);print $2}' <<<"$hdr")
  flg=$(awk -F: '/Flags:/{sub(/^ +/,"",$2);print $2}' <<<"$hdr")
  echo "  $m"
  echo "    ELF: $cls, $mach, flags: $flg"
  if [[ $cls != "$ELF_CLASS" || $mach != "$ELF_MACHINE" || $flg != *$ELF_FLAGS* ]]; then
    echo "    FAIL: not an $ELF_CLASS $ELF_MACHINE${ELF_FLAGS:+ $ELF_FLAGS} object"; abi_rc=14
  fi
  needed=$(readelf -d -W "$f" | sed -nE 's/.*\(NEEDED\).*\[(.*)\]/\1/p')
  echo "    NEEDED: $(echo $needed)"
  for lib in $needed; do
    find_lib "$lib" >/dev/null || { echo "    FAIL: $lib is not in the rootfs"; abi_rc=14; }
  done
  # required versions, per library: "lib ver" lines from .gnu.version_r
  reqs=$(readelf -V -W "$f" | awk '/^Version needs section/{s=1;next} /^Version (definition|symbols) section/{s=0}
          s && /File:/{for(i=1;i<=NF;i++) if($i=="File:") lib=$(i+1)}
          s && /Name:/{for(i=1;i<=NF;i++) if($i=="Name:") print lib, $(i+1)}')
  for lib in $(awk '{print $1}' <<<"$reqs" | sort -u); do
    want=$(awk -v l="$lib" '$1==l{print $2}' <<<"$reqs" | sort -V | tr '\n' ' ')
    lp=$(find_lib "$lib") || { echo "    FAIL: $lib missing"; abi_rc=14; continue; }
    have=$(verdefs "$lp")
    bad=""
    for v in $want; do grep -qx -- "$v" <<<"$have" || bad+=" $v"; done
    fam=$(tr ' ' '\n' <<<"$want" | grep . | sed -E 's/_[0-9.]+$//' | sort -u | tr '\n' ' ')
    top=""; for fa in $fam; do top+=" $(tr '\n' ' ' <<<"$have" | max_of "${fa}_")"; done
    if [[ -n $bad ]]; then
      printf '    FAIL %-15s needs %s; not provided by rootfs %s:%s\n' "$lib" "$want" "${lp#$ROOTFS}" "$bad"
      abi_rc=14
    else
      printf '    ok   %-15s needs %s(rootfs provides up to%s)\n' "$lib" "$want" "$top"
    fi
  done
  # the symbols behind the newest GLIBC/GLIBCXX requirement, for the record
  objdump -T "$f" 2>/dev/null | sed -nE 's/.*\*UND\*[[:space:]]+[0-9a-f]+[[:space:]]+(\(([A-Z_]+)_([0-9.]+)\)|([A-Z_]+)_([0-9.]+))[[:space:]]+(.*)/\2\4 \3\5 \6/p' |
    sort -k1,1 -k2,2V | awk '{last[$1]=$2; sym[$1 " " $2]=sym[$1 " " $2] " " $3}
      END{for (f in last) printf "    newest %s_%s used by:%s\n", f, last[f], substr(sym[f " " last[f]], 1, 200)}' | sort
done
((abi_rc == 0)) || die 14 "ELF/symbol-version check failed (see above)"
phase_end "${#MODULES[@]} modules ok"

((build_only)) && exit 0

# ================================================================= install
phase_start install "installing into the rootfs (/opt/corvane*, /opt/corvane-run)"
cleanup_guest() {
  ((keep)) || rm -rf --one-file-system "$ROOTFS/opt/corvane" "$ROOTFS/opt/corvane-venv" "$ROOTFS/opt/corvane-run"
}
rm -rf --one-file-system "$ROOTFS/opt/corvane" "$ROOTFS/opt/corvane-venv" "$ROOTFS/opt/corvane-run"
mkdir -p "$ROOTFS/opt/corvane-run"
GUEST_PYTHON=python3 GUEST_PATHS=/opt/corvane-run/.plugins
if [[ -n $wheel ]]; then
  # pip into a venv over the system's NumPy, pytest and hypothesis; nothing
  # from the network, and no compiler reachable.
  mkdir -p "$ROOTFS/opt/corvane"
  cp "$wheel" "$ROOTFS/opt/corvane/"
  in_root --no-compilers "$ROOTFS" $(guest_env "$CPU") /bin/sh -c '
      python3 -m venv --system-site-packages /opt/corvane-venv &&
      /opt/corvane-venv/bin/python -m pip install -q --no-index --no-deps --disable-pip-version-check "$1"' \
    install "/opt/corvane/${wheel##*/}" >"$LOGS/install.log" 2>&1 \
    || { cat "$LOGS/install.log" >&2; die 15 "pip could not install ${wheel##*/} in the rootfs"; }
  GUEST_PYTHON=/opt/corvane-venv/bin/python
else
  mkdir -p "$ROOTFS/opt/corvane"
  tar -C "$REPO/src" -cf - --exclude=__pycache__ --exclude='*.so' corvane | tar -C "$ROOTFS/opt/corvane" -xf -
  for m in "${MODULES[@]}"; do install -D -m 0644 "$STAGE/$m" "$ROOTFS/opt/corvane/$m"; done
  # anything else `cmake --install` put into the package
  (cd "$STAGE" && find corvane -type f ! -name '*.so' -print0) | while IFS= read -r -d '' x; do
    install -D -m 0644 "$STAGE/$x" "$ROOTFS/opt/corvane/$x"; done
  GUEST_PATHS=/opt/corvane:$GUEST_PATHS
fi
tar -C "$REPO" -cf - --exclude=__pycache__ --exclude=.hypothesis tests | tar -C "$ROOTFS/opt/corvane-run" -xf -
# Tests that check the shipped data files or the repo's helper scripts look
# for them relative to tests/ (a source-tree layout): give them the data and
# tools/*.py. src/ is not on sys.path, so imports still get the package installed.
tar -C "$REPO" -cf - src/corvane/data | tar -C "$ROOTFS/opt/corvane-run" -xf -
shopt -s nullglob
py_tools=("$REPO"/tools/*.py)
shopt -u nullglob
((${#py_tools[@]})) && install -D -m 0755 -t "$ROOTFS/opt/corvane-run/tools" "${py_tools[@]}"
# pytest settings from pyproject.toml, so the run sees the project's config
cp "$REPO/pyproject.toml" "$ROOTFS/opt/corvane-run/"
# Timing deadlines are meaningless under ~10x slower emulation: a pytest plugin
# (lives only in the rootfs) turns hypothesis's deadline off by default.
mkdir -p "$ROOTFS/opt/corvane-run/.plugins"
cat >"$ROOTFS/opt/corvane-run/.plugins/corvane_emulated.py" <<EOF
"""pytest plugin for the emulated $ARCH run (written by tools/$PROG)."""
try:
    from hypothesis import HealthCheck, settings
except ImportError:
    pass
else:
    settings.register_profile(
        "emulated", deadline=None,
        suppress_health_check=[HealthCheck.too_slow])
    settings.load_profile("emulated")
EOF
# shellcheck disable=SC2207
GUEST_ENV=($(guest_env "$CPU") PYTHONPATH=$GUEST_PATHS PYTHONFAULTHANDLER=1 CORVANE_EMULATED=1)
while IFS= read -r v; do [[ -n $v ]] && GUEST_ENV+=("$v"); done < <(env | grep -E '^CORVANE_TEST_[A-Za-z0-9_]*=' || true)
GUEST_ENV+=("${extra_env[@]}")
import_failed=0
imports=$(printf '%s\n' "${MODULES[@]}" | sed -E 's#/#.#g; s#\.cpython-[^.]*\.so$##' | tr '\n' ' ')
if ! in_root "$ROOTFS" "${GUEST_ENV[@]}" /bin/sh -c 'cd /opt/corvane-run && py=$1 && shift && exec "$py" -c "
import importlib, sys, traceback
import numpy
bad = 0
for name in sys.argv[1:]:
    try:
        m = importlib.import_module(name)
    except Exception as e:
        bad = 1
        print(\"    FAILED to import\", name, \":\", type(e).__name__, e)
    else:
        print(\"    imported\", name, \"from\", m.__file__)
if bad:
    sys.exit(1)
import corvane
print(\"    corvane\", getattr(corvane, \"__version__\", \"?\"), \"from\", corvane.__file__)
" "$@"' imports "$GUEST_PYTHON" $imports 2>&1 | tee "$LOGS/import.log"; then
  import_failed=1
  warn "the modules do not all import in the rootfs (see above); running the tests anyway"
fi
phase_end "${wheel:+pip, }$GUEST_PYTHON"

# ================================================================= kernels
# The kernels' own C++ test, cross-built alone (native/kernels needs no
# Python) with warnings as errors, run on the emulated CPUs of KERNEL_RUNS
# ("CPU:VARIANT:WHAT" each, CPU "-" for the check's own): the variant the
# kernels must choose there, and "all" or only "variants" (every variant the
# CPU has against the baseline's bits and the stored digest). A variant that
# a core lacks would end its run with an illegal instruction.
if ((!shell)) && [[ -n ${KERNEL_RUNS:-} ]]; then
  phase_start kernels "the kernels' own test on the emulated CPUs"
  lock_factory
  note=$(ensure_factory)
  safe_rm "$FACTORY$WORK-kernels"
  copy_worktree "$FACTORY$WORK-kernels/src"
  kbuild_rc=0
  in_root "$FACTORY" $(guest_env) CCACHE_DIR=/var/cache/ccache /bin/sh -c '
      set -e
      cmake -S "$1/src/native/kernels" -B "$1/build" -DCMAKE_TOOLCHAIN_FILE="$1/src/tools/cross-toolchain.cmake" \
            -DCORVANE_CROSS_TRIPLET="$2" -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_COMPILER_LAUNCHER=ccache \
            -DBUILD_TESTING=ON -DCMAKE_CXX_FLAGS=-Werror
      cmake --build "$1/build" --parallel "$3"' kernels "$WORK-kernels" "$TRIPLET" "$jobs" \
      >"$LOGS/kernels-build.log" 2>&1 || kbuild_rc=$?
  flock -u 8
  if ((kbuild_rc)); then
    tail -n 40 "$LOGS/kernels-build.log" >&2
    die 17 "the kernels' test did not build (warnings are errors)"
  fi
  install -m 0755 "$FACTORY$WORK-kernels/build/kernels_test" "$ROOTFS/opt/corvane-run/kernels_test"
  safe_rm "$FACTORY$WORK-kernels"
  kernels_rc=0
  for run in $KERNEL_RUNS; do
    IFS=: read -r kcpu want what <<<"$run"
    if [[ $kcpu == - ]]; then
      kcpu=$CPU
      [[ $CPU == "$CPU_DEFAULT" ]] || want=  # another core: whichever variant it allows
    fi
    log=$LOGS/kernels-$kcpu.log
    rc=0
    in_root "$ROOTFS" $(guest_env "$kcpu") /opt/corvane-run/kernels_test ${what/#all/} >"$log" 2>&1 || rc=$?
    info "$kcpu: $(head -n1 "$log"); $(tail -n1 "$log") (exit $rc)"
    if ((rc)) || { [[ -n $want ]] && ! grep -q "; running $want\$" "$log"; }; then
      tail -n 20 "$log" >&2
      warn "the kernels' test on $kcpu failed${want:+ or did not run the $want variant} (see $log)"
      kernels_rc=17
    fi
  done
  phase_end "exit $kernels_rc"
  ((kernels_rc == 0)) || { cleanup_guest; die 17 "the kernels' own test failed"; }
fi

# ================================================================= test
if ((shell)); then
  phase_start test "interactive shell in the rootfs (exit to leave)"
  in_root "$ROOTFS" "${GUEST_ENV[@]}" /bin/bash -c 'cd /opt/corvane-run && exec bash -i' </dev/tty || true
  phase_end shell
  exit 0
fi
phase_start test "pytest ${pytest_args[*]} (under $EMU emulation, CPU $CPU)"
test_rc=0
# run the whole tests/ folder unless test paths were given (tests/..., relative to the repo)
targets=(tests)
for a in "${pytest_args[@]}"; do [[ $a == tests || $a == tests/* ]] && targets=(); done
in_root --no-compilers "$ROOTFS" "${GUEST_ENV[@]}" /bin/sh -c 'cd /opt/corvane-run && py=$1 && shift &&
    exec "$py" -m pytest -p corvane_emulated -p no:cacheprovider "$@"' \
  pytest "$GUEST_PYTHON" "${pytest_args[@]}" "${targets[@]}" 2>&1 | tee "$LOGS/test.log" || test_rc=$?
cleanup_guest
phase_end "pytest exit $test_rc"
if [[ -n $wheel ]]; then  # one line for the record, as tools/check-wheels writes them
  summary=$(grep -E '[0-9]+ (passed|failed)' "$LOGS/test.log" | tail -n1 | sed -E 's/^=+ //; s/ =+$//; s/ in [0-9.]+s.*//')
  echo "wheel: $LABEL | CPython $py_v (Debian $SUITE, NumPy $np_v, qemu $CPU) | $(basename "$wheel" .whl | cut -d- -f3-) | ${summary:-no pytest summary} | ${PHASE_T[-1]} s"
fi
if ((test_rc == 0 && import_failed)); then
  die 15 "tests passed, but a module does not import"
fi
# qemu raises SIGILL in the guest for an instruction the CPU lacks; a test
# that runs a child process may report it without failing itself.
if grep -qiE 'illegal instruction|SIGILL' "$LOGS/test.log" "$LOGS/import.log"; then
  grep -hiE 'illegal instruction|SIGILL' "$LOGS/test.log" "$LOGS/import.log" | head -n 5 >&2
  die 16 "an illegal instruction on the emulated $CPU (see $LOGS/test.log; pytest exit $test_rc)"
fi
exit "$test_rc"
