#!/usr/bin/env bash
# The build and test toolchain: a Debian sid root filesystem that carries
# CPython 3.13, 3.14 (release and debug) and 3.15 with headers, a C++20
# compiler and the Python test tools. Built once with mmdebstrap and cached
# outside the work tree; rebuilt when the package list below changes.
#
#   tools/sidroot.sh path          print the root's path, building it if needed
#   tools/sidroot.sh run CMD...    run CMD inside the root, with the checkout
#                                  bind-mounted at /work/src (cwd there)
#
# KX_ARCH=s390x (or arm64) selects a root of that Debian architecture instead,
# run under qemu user-mode emulation: the emulators are installed and
# registered with binfmt_misc on this machine first when missing. Such a root
# carries only what building the modules and running the suite on python3.14
# takes.
#
# The root sees a clean environment: PYTHONS passes through, and KX_ENV adds
# more assignments (KX_ENV="HARDENING=no FUZZ_SECONDS=10"). This machine's npm
# configuration (registry, CA file) reaches the root's npm too, and
# $CACHE/tools is mounted at /var/cache/kestrine-tools for tools fetched with
# it (pyright), so they outlive the run and stay out of the work tree.
#
# With PYTHON set to a CPython 3.14 that has its headers (for example
# PYTHON=python3.14), `run` uses it directly on this machine instead: no root
# is built, and the test matrix is that one interpreter.
set -euo pipefail

NATIVE_ARCH=$(dpkg --print-architecture)
ARCH=${KX_ARCH:-$NATIVE_ARCH}
PACKAGES=(
  python3.14 python3.14-dev python3.14-dbg python3.13-dev python3.15-dev
  python3-pip python3-venv
  g++ meson ninja-build pkgconf python3-mesonpy
  python3-pytest python3-hypothesis python3-pytest-benchmark
  clang libclang-rt-dev clang-format mypy
  python3-asyncpg valgrind linux-perf
  python3-build python3-auditwheel patchelf nodejs npm git
  ca-certificates
)
if [ "$ARCH" != "$NATIVE_ARCH" ]; then
  # Besides the build and the suite: meson-python, pip and venv build a wheel
  # and install it into a fresh environment; auditwheel and patchelf repair it
  # to the manylinux tag, binutils (readelf) lets tools/floor.sh read it. The
  # root is unpacked, not installed (below), so the base system the scripts
  # use is listed too.
  PACKAGES=(python3.14 python3.14-dev g++ meson ninja-build pkgconf python3-pytest python3-hypothesis
    python3-mesonpy python3-pip python3-venv python3-auditwheel patchelf binutils
    base-files base-passwd dash bash coreutils diffutils findutils grep sed mawk gzip tar util-linux libc-bin)
fi

CACHE=${KESTRINE_CACHE:-/var/cache/velmora-kestrine}
if [ "$ARCH" = "$NATIVE_ARCH" ]; then
  key=$(printf '%s\n' "${PACKAGES[@]}" | sha256sum | cut -c1-16)
  ROOT="$CACHE/sid-$key"
  LOCK="$CACHE/.lock"
else
  key=$(printf '%s\n' "${PACKAGES[@]}" "arch=$ARCH" | sha256sum | cut -c1-16)
  ROOT="$CACHE/sid-$ARCH-$key"
  # Its own lock: an emulated root takes minutes, and neither the native root
  # nor a root of another package list (another checkout) need wait for it.
  LOCK="$CACHE/.lock-$ARCH-$key"
fi
SRC=$(cd "$(dirname "$0")/.." && pwd)

# qemu's default arm64 CPU computes pointer authentication with the
# architected QARMA cipher, in software, on every signed return; the
# implementation-defined algorithm is far cheaper to emulate and just as
# valid for the code under test. binfmt_misc starts qemu with the emulated
# process's environment, so this reaches every foreign binary: mmdebstrap's
# package scripts and, through the env -i below, everything run in the root.
if [ "$ARCH" = arm64 ] && [ "$NATIVE_ARCH" != arm64 ]; then
  export QEMU_CPU=${QEMU_CPU:-max,pauth-impdef=on}
else
  unset QEMU_CPU
fi

# The mirror comes from this machine's own apt configuration, never from a file
# of ours: the first URI of the first deb stanza of debian.sources.
mirror_uri() {
  local f=/etc/apt/sources.list.d/debian.sources uri
  if [ -r "$f" ]; then
    uri=$(awk '/^URIs:/ {print $2; exit}' "$f")
  fi
  if [ -z "${uri:-}" ] && [ -r /etc/apt/sources.list ]; then
    uri=$(awk '$1 == "deb" {for (i = 2; i <= NF; i++) if ($i ~ /^[a-z]+:\/\//) {print $i; exit}}' /etc/apt/sources.list)
  fi
  [ -n "${uri:-}" ] || { echo "sidroot: no Debian mirror in the apt configuration" >&2; exit 1; }
  printf '%s\n' "$uri"
}

# qemu's name for a Debian architecture.
qemu_arch() {
  case "$1" in arm64) echo aarch64 ;; ppc64el) echo ppc64le ;; armhf) echo arm ;; *) echo "$1" ;; esac
}

# Foreign binaries run through binfmt_misc: its file system mounted, Debian's
# static qemu installed and the interpreter for ARCH registered and enabled.
# Debian registers them with the fix-binary flag, so the root needs no copy.
ensure_emulator() {
  local q bm=/proc/sys/fs/binfmt_misc
  q=$(qemu_arch "$ARCH")
  [ -e "$bm/status" ] || mount -t binfmt_misc binfmt_misc "$bm"
  mkdir -p "$CACHE"
  (
    flock 8
    if [ ! -x "/usr/bin/qemu-$q-static" ] || ! command -v update-binfmts >/dev/null; then
      echo "sidroot: installing qemu-user-static and binfmt-support" >&2
      apt-get update -qq >&2
      DEBIAN_FRONTEND=noninteractive apt-get install -y -qq -o DPkg::Lock::Timeout=600 \
        qemu-user-static binfmt-support >&2
    fi
    [ -e "$bm/qemu-$q" ] || update-binfmts --import "qemu-$q" >&2 || true
    head -n1 "$bm/qemu-$q" 2>/dev/null | grep -qx enabled || update-binfmts --enable "qemu-$q" >&2 || true
  ) 8>"$CACHE/.lock-emulators"
  head -n1 "$bm/qemu-$q" 2>/dev/null | grep -qx enabled \
    || { echo "sidroot: no enabled binfmt_misc entry qemu-$q for $ARCH" >&2; exit 1; }
}

build_root() {
  [ "$ARCH" = "$NATIVE_ARCH" ] || ensure_emulator
  [ -x "$ROOT/usr/bin/python3.14" ] && return 0
  if ! command -v mmdebstrap >/dev/null; then
    echo "sidroot: installing mmdebstrap" >&2
    apt-get update -qq >&2 && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq mmdebstrap >&2
  fi
  mkdir -p "$CACHE"
  # Serialise concurrent builders: the second one waits and then finds the root.
  exec 9>"$LOCK"
  flock 9
  [ -x "$ROOT/usr/bin/python3.14" ] && return 0
  local tmp="$ROOT.tmp.$$" inc
  rm -rf "$tmp"
  inc=$(IFS=,; echo "${PACKAGES[*]}")
  echo "sidroot: building the $ARCH sid root in $ROOT (once; a few minutes)" >&2
  if [ "$ARCH" = "$NATIVE_ARCH" ]; then
    mmdebstrap --quiet --variant=apt --arch="$ARCH" \
      --aptopt='Acquire::Check-Valid-Until "false"' \
      --include="$inc" sid "$tmp" "$(mirror_uri)" >&2
  else
    # A foreign root is only unpacked: configuring its packages would run
    # every maintainer script under qemu (about twenty minutes on two cores,
    # mostly byte-compiling and certificate hooks). Nothing here needs what
    # they would set up but the accounts, the awk alternative, the
    # certificate bundle and the loader's cache; Python compiles what the
    # suite imports on first use.
    mmdebstrap --quiet --variant=extract --arch="$ARCH" \
      --aptopt='Acquire::Check-Valid-Until "false"' \
      --include="$inc" sid "$tmp" "$(mirror_uri)" >&2
    cp "$tmp/usr/share/base-passwd/passwd.master" "$tmp/etc/passwd"
    cp "$tmp/usr/share/base-passwd/group.master" "$tmp/etc/group"
    ln -sf mawk "$tmp/usr/bin/awk"
    # pip reads the certificate bundle even when it installs from a file.
    mkdir -p "$tmp/etc/ssl/certs"
    cat "$tmp"/usr/share/ca-certificates/mozilla/*.crt >"$tmp/etc/ssl/certs/ca-certificates.crt"
    chroot "$tmp" /usr/sbin/ldconfig
  fi
  mkdir -p "$tmp/work/src"
  mv "$tmp" "$ROOT"
  # Roots of other package lists stay: another checkout (a branch, a
  # worktree) may be using one right now. `rm -rf` them by hand when unused.
}

# The registry and CA file this machine's npm uses, as NAME=VALUE lines; read
# from the host's npm, or from its global npmrc when npm is not on the host.
npm_settings() {
  local k v
  for k in registry cafile; do
    if command -v npm >/dev/null; then
      v=$(npm config get "$k" 2>/dev/null) || v=
    else
      v=$(awk -F= -v k="$k" '$1 == k {print $2}' /etc/npmrc /usr/etc/npmrc 2>/dev/null | tail -n1)
    fi
    case "$v" in ""|null|undefined) ;; *) printf '%s=%s\n' "$k" "$v" ;; esac
  done
}

run_in_root() {
  if [ -n "${PYTHON:-}" ] && [ "$ARCH" = "$NATIVE_ARCH" ]; then
    local inc
    inc=$("$PYTHON" -c 'import sysconfig; print(sysconfig.get_path("include"))') \
      && [ -f "$inc/Python.h" ] || { echo "sidroot: $PYTHON has no headers" >&2; exit 1; }
    cd "$SRC/${RUN_CWD:-.}"
    PYTHONS=${PYTHONS:-$PYTHON} exec "$@"
  fi
  build_root
  local rel=${RUN_CWD:-.} npm registry="" cafile=""
  npm=$(npm_settings)
  registry=$(printf '%s\n' "$npm" | sed -n 's/^registry=//p')
  cafile=$(printf '%s\n' "$npm" | sed -n 's/^cafile=//p')
  [ -z "$cafile" ] || [ -r "$cafile" ] || cafile=""
  mkdir -p "$CACHE/tools"
  # A git worktree's .git names a directory outside the checkout; git in the
  # root (the sdist is a git archive) needs it at the same path.
  local gitdir=""
  if [ -f "$SRC/.git" ] && command -v git >/dev/null; then
    gitdir=$(git -C "$SRC" rev-parse --path-format=absolute --git-common-dir 2>/dev/null) || gitdir=""
  fi
  # A private mount namespace: the binds vanish when the command ends.
  unshare -m -- /bin/sh -ec '
    root=$1; src=$2; rel=$3; tools=$4; registry=$5; cafile=$6; gitdir=$7; shift 7
    mount --make-rprivate /
    mount --bind "$src" "$root/work/src"
    mount -t proc proc "$root/proc"
    mount --rbind /dev "$root/dev"
    mount -t tmpfs tmpfs "$root/tmp"
    mkdir -p "$root/var/cache/kestrine-tools"
    mount --bind "$tools" "$root/var/cache/kestrine-tools"
    if [ -n "$gitdir" ] && [ -d "$gitdir" ]; then
      mkdir -p "$root$gitdir"
      mount --bind "$gitdir" "$root$gitdir"
    fi
    if [ -n "$cafile" ]; then
      : > "$root/tmp/npm-ca.crt"
      mount --bind "$cafile" "$root/tmp/npm-ca.crt"
      cafile=/tmp/npm-ca.crt
    fi
    exec chroot "$root" /usr/bin/env -i PATH=/usr/local/bin:/usr/bin:/bin \
      HOME=/root LANG=C.UTF-8 TERM="${TERM:-dumb}" ${COLUMNS:+COLUMNS=$COLUMNS} ${PYTHONS:+PYTHONS="$PYTHONS"} \
      ${registry:+NPM_CONFIG_REGISTRY=$registry} ${cafile:+NPM_CONFIG_CAFILE=$cafile} \
      ${QEMU_CPU:+QEMU_CPU=$QEMU_CPU} ${KX_ENV:-} /bin/sh -c "cd /work/src/$rel && exec \"\$@\"" sh "$@"
  ' sh "$ROOT" "$SRC" "$rel" "$CACHE/tools" "$registry" "$cafile" "$gitdir" "$@"
}

case "${1:-}" in
  path) build_root; echo "$ROOT" ;;
  run) shift; run_in_root "$@" ;;
  *) echo "usage: $0 path | run CMD..." >&2; exit 2 ;;
esac
