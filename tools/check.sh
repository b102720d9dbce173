#!/bin/sh
# Inside the toolchain root: the whole test suite. Builds the modules for each
# interpreter of the matrix and runs the tests against that build, then
# compile-checks the modules against free-threaded headers, checks the type
# stubs (stubtest, typed examples), builds a 3.14 wheel and runs the tests
# against its installed copy, and checks the C++ formatting.
#   tools/check.sh                 the full matrix
#   PYTHONS="python3.14" tools/check.sh -k name    a quicker run; extra args go to pytest
set -eu
PYTHONS=${PYTHONS:-"python3.14 python3.13 python3.15 python3.14d"}
status=0
for py in $PYTHONS; do
  echo "=== $py: build"
  tools/build.sh "$py"
  echo "=== $py: tests"
  PYTHONPATH="$PWD/build/$py/site" PYTHONDONTWRITEBYTECODE=1 \
    "$py" -m pytest -q -p no:cacheprovider tests "$@" || status=1
done
echo "=== free-threaded 3.14 headers: compile check"
tools/ft-compile.sh || status=1
echo "=== type stubs: stubtest and typed examples (python3.14)"
{ tools/build.sh python3.14 && tools/typecheck.sh python3.14; } || status=1
echo "=== python3.14 wheel, installed into a fresh environment"
env PYTHONS=python3.14 tools/wheels.sh "$@" || status=1
echo "=== C++ formatting"
tools/format.sh || status=1
exit $status
