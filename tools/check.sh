#!/bin/sh
# Inside the toolchain root: the whole test suite. Builds the modules for each
# interpreter of the matrix and runs the tests against that build, then
# compile-checks the modules against free-threaded headers, checks the type
# stubs (stubtest, typed examples under mypy and pyright), builds a 3.14
# wheel, retags it manylinux and runs the tests against its installed copy,
# does the same from the source distribution, and checks the C++ formatting. Then the
# hardening stages: the reference-leak hunt on the debug interpreter, the
# suite against an ASan/UBSan build, and a short fuzz run of the float parser.
#   tools/check.sh                 the full matrix
#   PYTHONS="python3.14" tools/check.sh -k name    a quicker run; extra args go to pytest
#   HARDENING=no tools/check.sh    the matrix without the hardening stages
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
# The stub, wheel and formatting stages need the root's mypy, meson-python and
# clang-format. With an interpreter at hand (PYTHON=...) each runs only when
# its tool is there too and says so when it is not; in the root they always run.
py=${PYTHON:-python3.14}
have() { [ -z "${PYTHON:-}" ] || "$@" >/dev/null 2>&1; }
echo "=== type stubs: stubtest and typed examples ($py)"
if have "$py" -c 'import mypy.stubtest, mypy.main'; then
  { tools/build.sh "$py" && tools/typecheck.sh "$py"; } || status=1
else
  echo "skipped: no mypy for $py"
fi
echo "=== $py wheel, installed into a fresh environment"
if have "$py" -c 'import mesonpy, pip, venv'; then
  env PYTHONS="$py" tools/wheels.sh "$@" || status=1
else
  echo "skipped: no meson-python or pip for $py"
fi
echo "=== sdist: build, file list, installed into a fresh environment ($py)"
if have "$py" -c 'import mesonpy, pip, venv, build' && have git --version; then
  PYTHON="$py" tools/sdist.sh "$@" || status=1
else
  echo "skipped: no meson-python, build, pip or git for $py"
fi
echo "=== C++ formatting"
if have clang-format --version; then
  tools/format.sh || status=1
else
  echo "skipped: no clang-format"
fi
# The hardening stages need the toolchain root's debug interpreter, g++'s
# sanitizer runtimes and clang's libFuzzer.
if [ "${HARDENING:-yes}" != no ] && [ -x /usr/bin/python3.14d ] && [ -z "${PYTHON:-}" ]; then
  echo "=== python3.14d: reference-leak hunt"
  case " $PYTHONS " in *" python3.14d "*) ;; *) tools/build.sh python3.14d ;; esac
  python3.14d tools/refleak.py --self-test || status=1
  PYTHONPATH="$PWD/build/python3.14d/site" PYTHONDONTWRITEBYTECODE=1 \
    python3.14d tools/refleak.py -q -p no:cacheprovider tests "$@" || status=1
  tools/sanitize.sh "$@" || status=1
  echo "=== float text parser: libFuzzer, ${FUZZ_SECONDS:-60} s"
  tools/fuzz.sh || status=1
fi
exit $status
