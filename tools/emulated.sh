#!/bin/sh
# On the host: the suite on foreign architectures, each in a Debian sid root
# of its own run under qemu user-mode emulation (tools/sidroot.sh with
# KX_ARCH). In each root the modules are compiled natively with g++ (under
# emulation) for python3.14 and the suite runs against that build. s390x comes
# first: it is big-endian, the one most unlike the x86-64 matrix.
#   tools/emulated.sh [pytest args...]      s390x, then arm64
#   ARCHES=s390x tools/emulated.sh          one architecture
# EMULATED_PYTEST_ARGS adds pytest arguments for these runs alone (split at
# spaces), and KX_ENV passes assignments into the roots as for ./dev test:
# a test with a time budget (a crash hunt) can read a smaller one from there.
set -eu
cd "$(dirname "$0")/.."
# The crash hunt is left out here: it tests no byte-level code, and under
# emulation its deep chains would cost minutes; x86-64 and ASan run it.
KX_ENV="${KX_ENV:-} KX_CRASH_HUNT=no"
export KX_ENV
status=0
for arch in ${ARCHES:-s390x arm64}; do
  t0=$(date +%s)
  echo "=== $arch: root (qemu user-mode emulation)"
  KX_ARCH=$arch tools/sidroot.sh path
  t1=$(date +%s)
  # shellcheck disable=SC2086 # the extra arguments are meant to split
  KX_ARCH=$arch tools/sidroot.sh run sh -c '
    tag=python3.14-$(dpkg --print-architecture)
    python3.14 -c "import platform, sys; print(\"=== \" + platform.machine() + \": python\", platform.python_version() + \",\", sys.byteorder + \"-endian\")"
    echo "=== $tag: build"
    BUILD_TAG=$tag tools/build.sh python3.14 || exit 1
    echo "=== $tag: tests"
    PYTHONPATH="$PWD/build/$tag/site" PYTHONDONTWRITEBYTECODE=1 \
      exec python3.14 -m pytest -q -p no:cacheprovider tests "$@"
  ' sh ${EMULATED_PYTEST_ARGS:-} "$@" || status=1
  t2=$(date +%s)
  echo "=== $arch: root $((t1 - t0)) s, build and tests $((t2 - t1)) s"
done
exit $status
