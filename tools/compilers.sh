#!/bin/sh
# On the host: the modules must build warning-free with the compilers users
# have. Compiles every module source with -Wall -Wextra -Werror under the
# host's GCC 12 and clang 14 (Debian 12's, with their own libstdc++ and glibc
# headers) against the headers of each interpreter of the toolchain root
# (3.13, 3.14, 3.15), then inside the root with its newest g++ and clang;
# then builds the modules with the root's clang for python3.14
# (build/python3.14-clang) and runs the suite against that build. One line
# per compiler, then a verdict; exits 1 on any failure.
#   tools/compilers.sh            (installs g++-12 and clang-14 when missing)
#   tools/compilers.sh -k name    extra args go to pytest
set -eu
cd "$(dirname "$0")/.."
PYTHONS="3.13 3.14 3.15"
# The flags meson compiles with (meson.build), at an optimisation level that
# lets the compilers' flow-based warnings run.
FLAGS="-std=c++20 -O2 -fPIC -Wall -Wextra -Werror -fno-exceptions -fno-rtti -fno-threadsafe-statics
  -Wno-missing-field-initializers -Ikestrine"
SOURCES=$(find kestrine -name '*.cpp' | sort)
log=build/compilers
mkdir -p "$log"

# check LABEL CXX ROOT: compile every source against ROOT's interpreter
# headers (ROOT is "" inside the toolchain root); prints one line.
check() {
  label=$1 cxx=$2 root=$3 result="" failed=0
  version=$("$cxx" --version | head -n1)
  for v in $PYTHONS; do
    inc="-I$root/usr/include/python$v"
    if [ -n "$root" ]; then
      # Debian's pyconfig.h includes <x86_64-linux-gnu/python3.X/pyconfig.h>:
      # a directory holding just that subtree keeps every other header (libc,
      # libstdc++) the compiler's own.
      multi=$("$cxx" -dumpmachine | sed 's/-pc-/-/; s/-unknown-/-/')
      mkdir -p "$log/include/$multi"
      ln -sfn "$root/usr/include/$multi/python$v" "$log/include/$multi/python$v"
      inc="$inc -I$log/include"
    fi
    out=$log/$label-python$v.log
    : >"$out"
    ok=yes
    for src in $SOURCES; do
      # shellcheck disable=SC2086
      "$cxx" $FLAGS $inc -c "$src" -o /dev/null >>"$out" 2>&1 || ok=no
    done
    if [ $ok = yes ]; then result="$result python$v ok,"; else result="$result python$v FAILED,"; failed=1; fi
  done
  echo "$label ($version):${result%,}"
  if [ $failed -ne 0 ]; then
    for v in $PYTHONS; do head -n 20 "$log/$label-python$v.log"; done
    return 1
  fi
}

newest() { ls /usr/bin | grep -E "^$1-[0-9]+\$" | sort -t- -k2,2n | tail -n1; }

if [ "${1:-}" = --in-root ]; then
  shift
  status=0
  gxx=$(newest 'g\+\+')
  clangxx=$(newest 'clang\+\+')
  check "$gxx" "$gxx" "" || status=1
  check "$clangxx" "$clangxx" "" || status=1
  # A whole build with clang, the suite run against it.
  if BUILD_TAG=python3.14-clang CXX=$clangxx tools/build.sh python3.14 >"$log/clang-build.log" 2>&1; then
    if PYTHONPATH=$PWD/build/python3.14-clang/site python3.14 -m pytest -q -p no:cacheprovider tests "$@" \
      >"$log/clang-suite.log" 2>&1; then
      echo "$clangxx build, python3.14 suite: $(tail -n1 "$log/clang-suite.log")"
    else
      tail -n 30 "$log/clang-suite.log"
      echo "$clangxx build, python3.14 suite: FAILED"
      status=1
    fi
  else
    cat "$log/clang-build.log"
    echo "$clangxx build: FAILED"
    status=1
  fi
  exit $status
fi

missing=""
command -v g++-12 >/dev/null || missing="$missing g++-12"
command -v clang++-14 >/dev/null || missing="$missing clang-14"
if [ -n "$missing" ]; then
  echo "compilers: installing$missing"
  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $missing >/dev/null
fi
# The toolchain root, never a host interpreter picked with PYTHON=.
unset PYTHON
root=$(tools/sidroot.sh path)
status=0
check g++-12 g++-12 "$root" || status=1
check clang++-14 clang++-14 "$root" || status=1
tools/sidroot.sh run tools/compilers.sh --in-root "$@" || status=1
if [ $status -eq 0 ]; then echo "compilers: ok"; else echo "compilers: FAILED"; fi
exit $status
