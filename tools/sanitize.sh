#!/bin/sh
# Inside the toolchain root: build the three modules with AddressSanitizer and
# UndefinedBehaviorSanitizer (g++'s runtimes) into build/asan-<python> and run
# the test suite against that build, the ASan runtime preloaded into the
# interpreter. Any sanitizer report ends the run with a failure.
#   tools/sanitize.sh [pytest args...]       (PYTHON=python3.14 by default)
set -eu
py=${PYTHON:-python3.14}
tag=asan-$py
# -fno-sanitize-recover: an undefined-behaviour report aborts instead of
# printing and carrying on, so it cannot pass unnoticed. The interpreter
# itself is not instrumented, hence -Db_lundef=false (the modules leave the
# sanitizer symbols to the preloaded runtime).
echo "=== $py + ASan/UBSan: build"
BUILD_TAG=$tag tools/build.sh "$py" -Db_sanitize=address,undefined -Db_lundef=false \
  -Dbuildtype=debugoptimized -Dcpp_args=-fno-sanitize-recover=all -Dcpp_link_args=-fno-sanitize-recover=all
echo "=== $py + ASan/UBSan: tests"
# PYTHONMALLOC=malloc routes every object allocation through ASan's
# allocator, so a use of a freed object is caught, not hidden by pymalloc's
# arenas. The interpreter's own leaks at exit are not ours to report.
export LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)"
export PYTHONMALLOC=malloc
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:halt_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1:check_initialization_order=1
export UBSAN_OPTIONS=halt_on_error=1:abort_on_error=1:print_stacktrace=1
export PYTHONPATH="$PWD/build/$tag/site" PYTHONDONTWRITEBYTECODE=1
# The crash hunt's child interpreters inherit all of the above; this tells
# the hunt to use its smaller budget, each program being slower here.
export KX_SANITIZED=1
# A run that is not instrumented must not pass as a clean one: the modules
# must carry ASan's and UBSan's hooks and the runtime must be loaded.
for so in "$PYTHONPATH"/velmora/kestrine/*.so; do
  nm -D "$so" | grep -q ' U __asan_init' || { echo "sanitize: $so is not instrumented" >&2; exit 1; }
  nm -D "$so" | grep -q ' U __ubsan_' || { echo "sanitize: $so has no UBSan checks" >&2; exit 1; }
done
"$py" -c 'import sys; from velmora.kestrine import processors, sealedmap, rowcore
sys.exit(0 if "libasan" in open("/proc/self/maps").read() else "sanitize: ASan runtime not loaded")'
 "$py" -m pytest -q -p no:cacheprovider tests "$@"
