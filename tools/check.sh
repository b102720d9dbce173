#!/bin/sh
# Inside the toolchain root: the test stages, by name, in the order given.
#   tools/check.sh [STAGE...] [-- pytest args...]
# Stages (no name: all of them, in this order):
#   format     clang-format check of the tracked C++ sources
#   tests      build and run the suite for each interpreter of PYTHONS
#              (python3.14 python3.13 python3.15 python3.14d)
#   ft         compile check against free-threaded 3.14 headers
#   typecheck  stubtest and the typed examples under mypy and pyright
#   wheels     manylinux wheels for python3.13-3.15, built twice to check the
#              bytes, floor-checked and tested installed (tools/wheels.sh)
#   sdist      the source distribution: file list, installed, its own tests
#   leaks      reference-leak hunt on python3.14d
#   sanitize   the suite against an ASan/UBSan build
#   fuzz       libFuzzer runs of the float parser and the fixed-point text (FUZZ_RUNS)
# HARDENING=no leaves leaks, sanitize and fuzz out of a run of all stages.
# Extra pytest arguments reach every stage that runs the suite.
# With an interpreter at hand (PYTHON=..., no root) a stage whose tool is
# missing (mypy, node, meson-python, clang-format, the debug interpreter)
# says so and is skipped; in the root they always run.
set -eu
stages=""
while [ $# -gt 0 ]; do
  case "$1" in
    --) shift; break ;;
    -*) break ;;
    *) stages="$stages $1"; shift ;;
  esac
done
if [ -z "$stages" ]; then
  stages="format tests ft typecheck wheels sdist"
  [ "${HARDENING:-yes}" = no ] || stages="$stages leaks sanitize fuzz"
fi
PYTHONS=${PYTHONS:-"python3.14 python3.13 python3.15 python3.14d"}
py=${PYTHON:-python3.14}
have() { [ -z "${PYTHON:-}" ] || "$@" >/dev/null 2>&1; }
status=0

for stage in $stages; do
  case "$stage" in
    format)
      echo "=== C++ formatting"
      if have clang-format --version; then tools/format.sh || status=1; else echo "skipped: no clang-format"; fi ;;
    tests)
      for p in $PYTHONS; do
        echo "=== $p: build"
        tools/build.sh "$p" || { status=1; continue; }
        echo "=== $p: tests"
        PYTHONPATH="$PWD/build/$(basename "$p")/site" PYTHONDONTWRITEBYTECODE=1 \
          "$p" -m pytest -q -p no:cacheprovider tests "$@" || status=1
      done ;;
    ft)
      echo "=== free-threaded 3.14 headers: compile check"
      if [ -f /usr/include/python3.14/Python.h ] && [ -z "${PYTHON:-}" ]; then
        tools/ft-compile.sh || status=1
      else
        echo "skipped: no toolchain root"
      fi ;;
    typecheck)
      echo "=== type stubs: stubtest and typed examples ($py)"
      if have "$py" -c 'import mypy.stubtest, mypy.main'; then
        { tools/build.sh "$py" && tools/typecheck.sh "$py"; } || status=1
      else
        echo "skipped: no mypy for $py"
      fi ;;
    wheels)
      echo "=== wheels: built twice, repaired, floor-checked, tested installed"
      if have "$py" -c 'import mesonpy, pip, venv' && have auditwheel --version; then
        tools/wheels.sh "$@" || status=1
      else
        echo "skipped: no meson-python, pip or auditwheel for $py"
      fi ;;
    sdist)
      echo "=== sdist: build, file list, installed into a fresh environment ($py)"
      if have "$py" -c 'import mesonpy, pip, venv, build' && have git --version; then
        PYTHON="$py" tools/sdist.sh "$@" || status=1
      else
        echo "skipped: no meson-python, build, pip or git for $py"
      fi ;;
    leaks|sanitize|fuzz)
      # These need the root's debug interpreter, g++'s sanitizer runtimes and
      # clang's libFuzzer.
      if [ ! -x /usr/bin/python3.14d ] || [ -n "${PYTHON:-}" ]; then
        echo "=== $stage: skipped (no toolchain root)"; continue
      fi
      case "$stage" in
        leaks)
          echo "=== python3.14d: reference-leak hunt"
          tools/build.sh python3.14d || { status=1; continue; }
          python3.14d tools/refleak.py --self-test || status=1
          PYTHONPATH="$PWD/build/python3.14d/site" PYTHONDONTWRITEBYTECODE=1 \
            python3.14d tools/refleak.py -q -p no:cacheprovider tests "$@" || status=1 ;;
        sanitize) tools/sanitize.sh "$@" || status=1 ;;
        fuzz)
          echo "=== float text parser and fixed-point text: libFuzzer"
          tools/fuzz.sh || status=1 ;;
      esac ;;
    *) echo "check: no stage '$stage' (see tools/check.sh)" >&2; exit 2 ;;
  esac
done
exit $status
