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
# The root sees a clean environment: PYTHONS passes through, and KX_ENV adds
# more assignments (KX_ENV="HARDENING=no FUZZ_SECONDS=10").
#
# With PYTHON set to a CPython 3.14 that has its headers (for example
# PYTHON=python3.14), `run` uses it directly on this machine instead: no root
# is built, and the test matrix is that one interpreter.
set -euo pipefail

PACKAGES=(
  python3.14 python3.14-dev python3.14-dbg python3.13-dev python3.15-dev
  python3-pip python3-venv
  g++ meson ninja-build pkgconf python3-mesonpy
  python3-pytest python3-hypothesis python3-pytest-benchmark
  clang libclang-rt-dev clang-format mypy
  python3-asyncpg valgrind linux-perf
  python3-build python3-auditwheel patchelf nodejs npm
  ca-certificates
)

CACHE=${KESTRINE_CACHE:-/var/cache/velmora-kestrine}
key=$(printf '%s\n' "${PACKAGES[@]}" | sha256sum | cut -c1-16)
ROOT="$CACHE/sid-$key"
SRC=$(cd "$(dirname "$0")/.." && pwd)

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

build_root() {
  [ -x "$ROOT/usr/bin/python3.14" ] && return 0
  if ! command -v mmdebstrap >/dev/null; then
    echo "sidroot: installing mmdebstrap" >&2
    apt-get update -qq >&2 && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq mmdebstrap >&2
  fi
  mkdir -p "$CACHE"
  # Serialise concurrent builders: the second one waits and then finds the root.
  exec 9>"$CACHE/.lock"
  flock 9
  [ -x "$ROOT/usr/bin/python3.14" ] && return 0
  local tmp="$ROOT.tmp.$$" inc
  rm -rf "$tmp"
  inc=$(IFS=,; echo "${PACKAGES[*]}")
  echo "sidroot: building the sid root in $ROOT (once; about a minute)" >&2
  mmdebstrap --quiet --variant=apt \
    --aptopt='Acquire::Check-Valid-Until "false"' \
    --include="$inc" sid "$tmp" "$(mirror_uri)" >&2
  mkdir -p "$tmp/work/src"
  mv "$tmp" "$ROOT"
  # Roots of other package lists stay: another checkout (a branch, a
  # worktree) may be using one right now. `rm -rf` them by hand when unused.
}

run_in_root() {
  if [ -n "${PYTHON:-}" ]; then
    local inc
    inc=$("$PYTHON" -c 'import sysconfig; print(sysconfig.get_path("include"))') \
      && [ -f "$inc/Python.h" ] || { echo "sidroot: $PYTHON has no headers" >&2; exit 1; }
    cd "$SRC/${RUN_CWD:-.}"
    PYTHONS=${PYTHONS:-$PYTHON} exec "$@"
  fi
  build_root
  local rel=${RUN_CWD:-.}
  # A private mount namespace: the binds vanish when the command ends.
  unshare -m -- /bin/sh -ec '
    root=$1; src=$2; rel=$3; shift 3
    mount --make-rprivate /
    mount --bind "$src" "$root/work/src"
    mount -t proc proc "$root/proc"
    mount --rbind /dev "$root/dev"
    mount -t tmpfs tmpfs "$root/tmp"
    exec chroot "$root" /usr/bin/env -i PATH=/usr/local/bin:/usr/bin:/bin \
      HOME=/root LANG=C.UTF-8 TERM="${TERM:-dumb}" ${COLUMNS:+COLUMNS=$COLUMNS} ${PYTHONS:+PYTHONS="$PYTHONS"} \
      ${KX_ENV:-} /bin/sh -c "cd /work/src/$rel && exec \"\$@\"" sh "$@"
  ' sh "$ROOT" "$SRC" "$rel" "$@"
}

case "${1:-}" in
  path) build_root; echo "$ROOT" ;;
  run) shift; run_in_root "$@" ;;
  *) echo "usage: $0 path | run CMD..." >&2; exit 2 ;;
esac
