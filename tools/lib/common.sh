# Shared helpers of the tools/check-* and tools/build-wheels scripts; sourced,
# never run. A script sets PROG (its name) and, for `logged`, LOGS (a folder)
# before calling them. Written for bash with `set -Eeuo pipefail`.
#
# Also here: the cached Debian trees that several scripts share, each defined
# once (suite, architectures, packages), so that every script agrees on its
# recipe and none makes another's tree again for nothing.

# ----------------------------------------------------------------- messages
say()  { printf '\n==> %s\n' "$*"; }
info() { printf '    %s\n' "$*"; }
warn() { printf '%s: warning: %s\n' "$PROG" "$*" >&2; }
die()  { local rc=$1; shift; printf '%s: error: %s\n' "$PROG" "$*" >&2; exit "$rc"; }
now()  { date +%s.%N; }

# ----------------------------------------------------------------- phases
# phase_start NAME TEXT ... phase_end [NOTE]; print_timings at exit lists them.
PHASES=() PHASE_T=() PHASE_NOTE=() CUR_PHASE=
phase_start() { CUR_PHASE=$1; CUR_T0=$(now); say "[$1] $2"; }
phase_end() {
  local dt; dt=$(awk -v a="$CUR_T0" -v b="$(now)" 'BEGIN{printf "%.1f", b-a}')
  PHASES+=("$CUR_PHASE") PHASE_T+=("$dt") PHASE_NOTE+=("${1:-}")
  info "[$CUR_PHASE] done in ${dt}s${1:+ ($1)}"
  CUR_PHASE=
}
print_timings() {
  [[ -z $CUR_PHASE ]] || printf '%s: phase "%s" failed\n' "$PROG" "$CUR_PHASE" >&2
  ((${#PHASES[@]})) || return 0
  printf '\n==> timings\n'
  local i total=0
  for i in "${!PHASES[@]}"; do
    printf '    %-8s %8ss  %s\n' "${PHASES[i]}" "${PHASE_T[i]}" "${PHASE_NOTE[i]}"
    total=$(awk -v a="$total" -v b="${PHASE_T[i]}" 'BEGIN{printf "%.1f", a+b}')
  done
  printf '    %-8s %8ss\n' total "$total"
}

# ----------------------------------------------------------------- commands
# logged LOGNAME CMD...: the command's output goes to $LOGS/LOGNAME.log; on
# failure the log's tail is shown.
logged() {
  local log=$LOGS/$1.log; shift
  if ! "$@" >"$log" 2>&1; then
    echo "---- last lines of $log ----" >&2; tail -n 40 "$log" >&2; echo "----" >&2
    return 1
  fi
}

# safe_rm PATH...: rm -rf that refuses a path with a file system mounted below it.
safe_rm() {
  local d
  for d; do
    [[ -e $d ]] || continue
    if findmnt -rn -o TARGET | awk -v p="$(realpath "$d")" 'index($0, p "/") == 1 || $0 == p {f=1} END{exit !f}'; then
      die 10 "$d has mounts below it (findmnt); unmount them before it can be removed"
    fi
    rm -rf --one-file-system "$d"
  done
}

# need_host_pkgs PKG...: install the Debian packages of the host that are missing.
need_host_pkgs() {
  local p missing=()
  for p; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  ((${#missing[@]})) || return 0
  info "installing on the host: ${missing[*]}"
  logged apt-update apt-get update || die 10 "apt-get update failed"
  DEBIAN_FRONTEND=noninteractive logged apt-install apt-get install -y --no-install-recommends "${missing[@]}" \
    || die 10 "could not install ${missing[*]}"
}

# lock_cache DIR: one run at a time per cache folder (fd 9).
lock_cache() {
  mkdir -p "$1"
  exec 9>"$1/.lock"
  flock -n 9 || { echo "$PROG: waiting for another run using $1 ..." >&2; flock 9; }
}

# copy_worktree DEST: the work tree as it is now (uncommitted files
# included), without build output.
copy_worktree() {
  mkdir -p "$1"
  tar -C "$REPO" -cf - --exclude=./.git --exclude=./build --exclude=./dist --exclude='*.so' \
      --exclude=__pycache__ --exclude='./.venv*' --exclude=.pytest_cache --exclude=.hypothesis \
      --exclude='*.egg-info' --exclude=./wheelhouse . | tar -C "$1" -xf -
}

# Compilers a user might have; `in_root --no-compilers` and `no_compilers`
# make every one of them that exists unrunnable.
COMPILER_GLOBS='cc c++ gcc g++ gcc-[0-9]* g++-[0-9]* clang clang++ clang-[0-9]* clang++-[0-9]* *-linux-gnu*-gcc* *-linux-gnu*-g++* cpp cpp-[0-9]*'
# The mount commands (for /bin/sh) that hide the compilers below root $1.
hide_compilers_sh() {
  cat <<'EOF'
for d in "$r/usr/bin" "$r/usr/local/bin" "$r/bin"; do
  [ -d "$d" ] || continue
  set -f
  for g in $COMPILER_GLOBS; do
    set +f
    for f in "$d"/$g; do
      [ -e "$f" ] && mount --bind /dev/null "$(readlink -f "$f")" 2>/dev/null
    done
    set -f
  done
  set +f
done
for f in "$r"/usr/lib/gcc/*/*/cc1 "$r"/usr/lib/gcc/*/*/cc1plus "$r"/usr/lib/gcc-cross/*/*/cc1plus; do
  [ -e "$f" ] && mount --bind /dev/null "$f"
done
true
EOF
}

# in_root [--no-compilers] ROOT CMD...: run CMD inside the chroot ROOT with
# /proc and a fresh /tmp and /dev/shm. A private mount and pid namespace makes
# the mounts (and any process a test leaves behind) vanish with the command.
# --no-compilers also binds /dev/null over every C/C++ compiler of ROOT.
# PROOT_ROOT (with QEMU_BIN) names a root to enter with proot -q instead,
# where binfmt_misc cannot be used.
MOUNTED=()
unmount_all() {
  local i
  for ((i=${#MOUNTED[@]}-1; i>=0; i--)); do umount -l "${MOUNTED[i]}" 2>/dev/null || true; done
  MOUNTED=()
}
in_root() {
  local hide=0
  [[ $1 == --no-compilers ]] && { hide=1; shift; }
  local root=$1; shift
  if [[ -n ${PROOT_ROOT:-} && $root == "$PROOT_ROOT" ]]; then
    proot -q "$QEMU_BIN" -0 -r "$root" -b /proc -b /dev -b /dev/shm -w / "$@"
    return
  fi
  if unshare --mount --pid --fork --propagation private true 2>/dev/null; then
    COMPILER_GLOBS=$COMPILER_GLOBS unshare --mount --pid --fork --propagation private /bin/sh -c '
      r=$1 hide=$2; shift 2
      mount -t proc proc "$r/proc" &&
      mount -t tmpfs -o mode=1777,nosuid,nodev tmpfs "$r/dev/shm" &&
      mount -t tmpfs -o mode=1777,nosuid,nodev tmpfs "$r/tmp" || exit 125
      if [ "$hide" = 1 ]; then '"$(hide_compilers_sh)"'
      fi
      # Not exec: the first process of a pid namespace ignores the signals
      # it sends itself, so a program whose emulator stops it with SIGILL
      # or SIGABRT would hang as that process instead of ending.
      chroot "$r" "$@"' in_root "$root" "$hide" "$@"
  else
    ((hide == 0)) || die 10 "hiding the compilers needs a private mount namespace (unshare)"
    local m rc=0
    mount -t proc proc "$root/proc" && MOUNTED+=("$root/proc")
    for m in dev/shm tmp; do
      mount -t tmpfs -o mode=1777,nosuid,nodev tmpfs "$root/$m" && MOUNTED+=("$root/$m")
    done
    chroot "$root" "$@" || rc=$?
    unmount_all
    return $rc
  fi
}

# no_compilers CMD...: run CMD on the host with every C/C++ compiler made
# unrunnable (bound over by /dev/null in a private mount namespace), so that
# nothing it does can build native code.
no_compilers() {
  COMPILER_GLOBS=$COMPILER_GLOBS unshare --mount --propagation private /bin/sh -c '
    r=
    '"$(hide_compilers_sh)"'
    exec "$@"' no_compilers "$@"
}

# The environment of programs in the chroots (qemu-user reads QEMU_CPU from it).
GUEST_PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
guest_env() {  # [CPU]
  echo env -i PATH=$GUEST_PATH HOME=/root LANG=C.UTF-8 LC_ALL=C.UTF-8 TMPDIR=/tmp TERM="${TERM:-dumb}" \
    ${1:+QEMU_CPU=$1}
}

# ----------------------------------------------------------------- emulation
# static_qemu NAME (qemu-arm, qemu-aarch64): a statically linked qemu-user
# binary, which also works inside a foreign chroot: NAME-static (Debian 12)
# or NAME (Debian 13 and newer).
is_static() { ! readelf -l "$1" 2>/dev/null | grep -q 'program interpreter'; }
static_qemu() {
  local q
  for q in "$1-static" "$1"; do
    q=$(command -v "$q" || true)
    [[ -n $q ]] && is_static "$(readlink -f "$q")" && { echo "$q"; return 0; }
  done
  return 1
}
# The host packages that provide it and its binfmt_misc registration.
emulation_host_pkgs() {
  local deb_major
  deb_major=$(cut -d. -f1 /etc/debian_version)
  if [[ $deb_major =~ ^[0-9]+$ ]] && ((deb_major <= 12)); then
    echo qemu-user-static binfmt-support   # Debian 12: static build in its own package
  else
    echo qemu-user qemu-user-binfmt         # Debian 13+: qemu-user itself is static
  fi
}
# setup_binfmt NAME QEMU_BIN: the kernel runs NAME's binaries through qemu,
# with the F flag (interpreter opened at registration, so it works in chroots).
binfmt_ok() {
  local e=/proc/sys/fs/binfmt_misc/$1
  [[ -e $e ]] && head -n1 "$e" | grep -qx enabled && grep -q '^flags:.*F' "$e"
}
setup_binfmt() {
  local name=$1 qemu=$2 bm=/proc/sys/fs/binfmt_misc
  [[ -e $bm/register ]] || mount -t binfmt_misc binfmt_misc "$bm" 2>/dev/null || return 1
  if [[ -e $bm/$name ]] && ! head -n1 "$bm/$name" | grep -qx enabled; then
    echo 1 >"$bm/$name" || return 1
  fi
  if [[ ! -e $bm/$name ]] && command -v update-binfmts >/dev/null; then
    update-binfmts --enable "$name" >/dev/null 2>&1 || true
  fi
  if [[ ! -e $bm/$name ]]; then   # what systemd-binfmt would do
    local conf
    for conf in /usr/lib/binfmt.d/$name.conf /usr/share/qemu/binfmt.d/$name.conf; do
      [[ -r $conf ]] && { grep -v '^[#;]' "$conf" | grep . | head -n1 >"$bm/register" 2>/dev/null || true; break; }
    done
  fi
  [[ -e $bm/$name ]] || return 1
  if ! grep -q '^flags:.*F' "$bm/$name"; then
    local interp magic mask flags
    interp=$(awk '/^interpreter/{print $2}' "$bm/$name")
    magic=$(awk '/^magic/{print $2}' "$bm/$name" | sed 's/../\\x&/g')
    mask=$(awk '/^mask/{print $2}' "$bm/$name" | sed 's/../\\x&/g')
    flags=$(awk '/^flags:/{print $2}' "$bm/$name")F
    is_static "$(readlink -f "$interp")" || interp=$qemu
    warn "$name binfmt entry lacks the F flag; registering it again with flags $flags"
    echo -1 >"$bm/$name" && echo ":$name:M::$magic:$mask:$interp:$flags" >"$bm/register" || return 1
  fi
  binfmt_ok "$name"
}

# ----------------------------------------------------------------- trees
# The Debian mirror this machine already uses (or $1 when set).
detect_mirror() {
  if [[ -n ${1:-} ]]; then echo "$1"; return; fi
  local u
  u=$( { cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null; } |
        sed -nE 's/^[[:space:]]*deb[[:space:]]+(\[[^]]*\][[:space:]]+)?([a-z]+:\/\/[^[:space:]]+).*/\2/p'
       { cat /etc/apt/sources.list.d/*.sources 2>/dev/null; } | sed -nE 's/^URIs:[[:space:]]*//p' | tr ' ' '\n' )
  u=$(printf '%s\n' "$u" | grep -E '^(https?|file)://.*/debian/?$' | grep -v -- '-security' | head -n1)
  echo "${u:-http://deb.debian.org/debian}"
}

# Every cache lives below CORVANE_CACHE_ROOT (default /var/cache); a fresh
# root measures a run from nothing.
CACHE_ROOT=${CORVANE_CACHE_ROOT:-/var/cache}
STAMP=.corvane-recipe
# Leave documentation out of the trees.
SLIM=(--dpkgopt='path-exclude=/usr/share/doc/*' --dpkgopt='path-include=/usr/share/doc/*/copyright'
      --dpkgopt='path-exclude=/usr/share/man/*' --dpkgopt='path-exclude=/usr/share/info/*'
      --dpkgopt='path-exclude=/usr/share/locale/*')

# A tree counts as made when its stamp holds the recipe it was made from.
tree_ok() { [[ -f $1/$STAMP && $(cat "$1/$STAMP") == "$2" ]]; }
# make_tree RC DIR RECIPE SUITE MIRROR MMDEBSTRAP-ARGS...
make_tree() {
  local rc=$1 dir=$2 recipe=$3 suite=$4 mirror=$5; shift 5
  mkdir -p "$(dirname "$dir")" "$LOGS"
  safe_rm "$dir.new"
  local log
  log=mmdebstrap-$(basename "$(dirname "$dir")")
  logged "$log" mmdebstrap --mode=root --aptopt='Acquire::Languages "none"' "${SLIM[@]}" \
      "$@" "$suite" "$dir.new" "$mirror" \
    || { safe_rm "$dir.new"; die "$rc" "mmdebstrap failed for $dir (log: $LOGS/$log.log)"; }
  printf '%s\n' "$recipe" >"$dir.new/$STAMP"
  safe_rm "$dir"
  mv "$dir.new" "$dir"
}
# For the emulated trees: no byte-compiling of every Python module while the
# packages are configured (each one under qemu: half of the time a tree takes
# to make); the interpreter compiles what the tests import, once, and keeps it.
NO_PYC_HOOKS=(--essential-hook='chroot "$1" dpkg-divert --quiet --local --rename --add /usr/bin/py3compile &&
                printf "#!/bin/sh\nexit 0\n" >"$1/usr/bin/py3compile" && chmod 0755 "$1/usr/bin/py3compile"'
              --customize-hook='rm -f "$1/usr/bin/py3compile" &&
                chroot "$1" dpkg-divert --quiet --local --rename --remove /usr/bin/py3compile')

# ensure_tree RC DIR SUITE ARCHES VARIANT PACKAGES [MMDEBSTRAP-ARGS...]: make
# the tree unless it is there with this recipe (or REBUILD_TREES=1); prints
# "created" or "cached". ARCHES: mmdebstrap's list, the first native.
ensure_tree() {
  local rc=$1 dir=$2 suite=$3 arches=$4 variant=$5 pkgs=$6; shift 6
  local recipe="$suite $arches $variant $pkgs"
  if [[ ${REBUILD_TREES:-0} == 1 ]] || ! tree_ok "$dir" "$recipe"; then
    need_host_pkgs mmdebstrap >&2
    make_tree "$rc" "$dir" "$recipe" "$suite" "$(detect_mirror "${CORVANE_MIRROR:-}")" \
      --variant="$variant" --architectures="$arches" --include="$pkgs" "$@" >&2
    echo created
  else
    echo cached
  fi
}

# The wheel factory: Debian bullseye amd64 (glibc 2.31, GCC 10) with its
# native compiler and its cross compilers for armhf and arm64, and CPython
# 3.9's headers for amd64 and armhf. Everything built here runs on glibc 2.31
# and newer. Shared by tools/build-wheels, tools/check-armhf and
# tools/check-aarch64.
FACTORY=${CORVANE_FACTORY_CACHE:-$CACHE_ROOT/corvane-factory}/tree
FACTORY_PKGS=g++,g++-arm-linux-gnueabihf,g++-aarch64-linux-gnu,libpython3.9-dev,libpython3.9-dev:armhf
FACTORY_PKGS+=,python3.9,cmake,make,ccache,binutils
ensure_factory() { ensure_tree 12 "$FACTORY" bullseye amd64,armhf,arm64 apt "$FACTORY_PKGS"; }

# The sid chroot (tools/check-sid): CPython 3.14, 3.15 and the 3.15 debug
# interpreter with their headers, and the newest compilers sid has.
SID_CACHE=${CORVANE_SID_CACHE:-$CACHE_ROOT/corvane-sid}
SID_ROOT=$SID_CACHE/rootfs
SID_CLANG=clang-23
SID_PKGS=python3.14,python3.14-dev,python3.14-venv,python3.15,python3.15-dev,python3.15-venv,python3.15-dbg
SID_PKGS+=,g++,g++-13,g++-14,$SID_CLANG,cmake,make,ccache,ca-certificates
# The sid index this host reaches may carry an expired Release date.
ensure_sid() {
  ensure_tree 11 "$SID_ROOT" sid amd64 apt "$SID_PKGS" --aptopt='Acquire::Check-Valid-Until "false"'
}

# Debian 12 arm64 (tools/check-aarch64): CPython 3.11 and its NumPy, with the
# headers the factory builds the aarch64 modules against; no compiler.
AARCH64_CACHE=${CORVANE_AARCH64_CACHE:-$CACHE_ROOT/corvane-aarch64}
AARCH64_ROOT=$AARCH64_CACHE/rootfs
AARCH64_PKGS=python3,python3-numpy,python3-pytest,python3-hypothesis,python3-venv,libpython3.11-dev

# Debian bullseye amd64 (tools/check-wheels): CPython 3.9.2 with NumPy 1.19.5,
# for the x86-64 cp39 wheel on glibc 2.31; no compiler.
BULLSEYE_ROOT=${CORVANE_BULLSEYE_CACHE:-$CACHE_ROOT/corvane-bullseye}/rootfs
BULLSEYE_PKGS=python3,python3-numpy,python3-pytest,python3-hypothesis,python3-venv
ensure_bullseye() { ensure_tree 11 "$BULLSEYE_ROOT" bullseye amd64 minbase "$BULLSEYE_PKGS"; }

# stage_headers DEST INCLUDE_DIR [MULTIARCH_PYCONFIG]: one interpreter's C
# headers as one self-contained folder. Debian's pyconfig.h only includes the
# one of the compiler's architecture, which is put in its place.
stage_headers() {
  local dest=$1 inc=$2 arch_conf=${3:-}
  [[ -f $inc/Python.h ]] || die 13 "no Python.h in $inc"
  safe_rm "$dest"
  mkdir -p "$dest"
  cp -a "$inc/." "$dest/"
  if [[ -n $arch_conf ]]; then
    [[ -f $arch_conf ]] || die 13 "no $arch_conf"
    rm -f "$dest/pyconfig.h"
    cp "$arch_conf" "$dest/pyconfig.h"
  fi
}

# ensure_emulation QEMU_NAME ARCH: the host runs ARCH's programs through a
# static qemu-user (binfmt_misc with the F flag); sets QEMU_BIN. Returns
# non-zero where binfmt_misc cannot be used (proot is the way out then).
ensure_emulation() {
  # shellcheck disable=SC2046
  need_host_pkgs $(emulation_host_pkgs) mmdebstrap arch-test binutils util-linux
  QEMU_BIN=$(static_qemu "$1") || die 10 "no statically linked $1"
  setup_binfmt "$1" "$QEMU_BIN" && arch-test "$2" >/dev/null 2>&1
}
ensure_aarch64() {
  ensure_emulation qemu-aarch64 arm64 || die 10 "binfmt_misc for arm64 could not be set up (mmdebstrap needs it)"
  ensure_tree 11 "$AARCH64_ROOT" bookworm arm64 minbase "$AARCH64_PKGS" "${NO_PYC_HOOKS[@]}"
}
