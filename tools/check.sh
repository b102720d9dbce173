#!/bin/sh
# Inside the toolchain root: the whole test suite. Builds the modules for each
# interpreter of the matrix and runs the tests against that build, then
# compile-checks the modules against free-threaded headers.
#   tools/check.sh                 the full matrix
#   PYTHONS="python3.14" tools/check.sh -k name    a quicker run; extra args go to pytest
set -eu
PYTHONS=${PYTHONS:-"python3.14 python3.13 python3.15 python3.14d"}
status=0
for py in $PYTHONS; do
  echo "=== $py: build"
  tools/build.sh "$py"
  echo "=== $py: tests"
  PYTHONPATH="$PWD/build/$(basename "$py")/site" PYTHONDONTWRITEBYTECODE=1 \
    "$py" -m pytest -q -p no:cacheprovider tests "$@" || status=1
done
if [ -f /usr/include/python3.14/Python.h ] && [ -z "${PYTHON:-}" ]; then
  echo "=== free-threaded 3.14 headers: compile check"
  tools/ft-compile.sh || status=1
fi
exit $status
