#!/bin/sh
# On the host: the suite on foreign architectures, each in a Debian sid root
# of its own run under qemu user-mode emulation (tools/sidroot.sh with
# KX_ARCH). In each root tools/wheels.sh builds the python3.14 wheel there
# with g++ (under emulation), twice to check the bytes, repairs it to the
# manylinux_2_17 tag of that architecture, checks its floor and runs the
# whole suite against the copy installed into a fresh environment; that run
# is the architecture's test run (the suite is not run a second time against
# a build tree: under emulation it costs minutes). s390x comes first: it is
# big-endian, the one most unlike the x86-64 matrix.
#   tools/emulated.sh [pytest args...]      s390x, then arm64
#   ARCHES=s390x tools/emulated.sh          one architecture
# EMULATED_PYTEST_ARGS adds pytest arguments for these runs alone (split at
# spaces), and KX_ENV passes assignments into the roots as for ./dev ci.
set -eu
cd "$(dirname "$0")/.."
# The crash hunt is left out here: it tests no byte-level code, and under
# emulation its deep chains would cost minutes; x86-64 and ASan run it.
KX_ENV="${KX_ENV:-} KX_CRASH_HUNT=no"
# The emulated roots carry no git: the wheels' timestamps come from the last
# commit as read here, the same as the x86-64 root's.
if epoch=$(git log -1 --format=%ct 2>/dev/null) && [ -n "$epoch" ]; then
  KX_ENV="$KX_ENV SOURCE_DATE_EPOCH=$epoch"
fi
export KX_ENV
status=0
for arch in ${ARCHES:-s390x arm64}; do
  t0=$(date +%s)
  echo "=== $arch: root (qemu user-mode emulation)"
  KX_ARCH=$arch tools/sidroot.sh path
  t1=$(date +%s)
  # shellcheck disable=SC2086 # the extra arguments are meant to split
  KX_ARCH=$arch PYTHONS=python3.14 tools/sidroot.sh run sh -c '
    python3.14 -c "import platform, sys; print(\"=== \" + platform.machine() + \": python\", platform.python_version() + \",\", sys.byteorder + \"-endian\")"
    exec tools/wheels.sh "$@"
  ' sh ${EMULATED_PYTEST_ARGS:-} "$@" || status=1
  t2=$(date +%s)
  echo "=== $arch: root $((t1 - t0)) s, wheel builds and tests $((t2 - t1)) s"
done
exit $status
