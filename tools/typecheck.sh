#!/bin/sh
# Inside the toolchain root: check the type stubs as they are installed in
# build/<python>/site (run tools/build.sh first) against the built modules.
#   tools/typecheck.sh [python3.14]
# 1. stubtest compares every stub with the module it describes;
# 2. tests/typing/accept.py must pass mypy --strict, and it also runs as a
#    script, so its assert_type claims are checked against real results;
# 3. tests/typing/reject.py must draw exactly the errors its "# E:" marks name;
# 4. pyright (tools/pyright.sh, strict, tools/pyrightconfig.json) must accept
#    the first file and flag the same lines of the second, as most editors
#    read the stubs through it.
# Both checkers run from the staged site, so they read the installed stubs and
# py.typed, not the copies in the source tree.
set -eu
py=${1:-python3.14}
src=$PWD
site=$src/build/$(basename "$py")/site
[ -d "$site/velmora/kestrine" ] || { echo "typecheck: $site is not built (tools/build.sh $py)" >&2; exit 1; }
cache=$src/build/$(basename "$py")/mypy-cache
status=0
cd "$site"
export PYTHONPATH="$site" PYTHONDONTWRITEBYTECODE=1

echo "--- stubtest ($py)"
"$py" -m mypy.stubtest --allowlist "$src/tools/stubtest-allowlist.txt" \
  velmora.kestrine.sealedmap velmora.kestrine.processors velmora.kestrine.rowcore || status=1

mypy() { "$py" -m mypy --strict --warn-unreachable --no-error-summary --cache-dir "$cache" "$@"; }

echo "--- typed examples ($py)"
if mypy "$src/tests/typing/accept.py"; then
  echo "tests/typing/accept.py: accepted"
else
  echo "tests/typing/accept.py: rejected, but must be accepted"; status=1
fi
"$py" "$src/tests/typing/accept.py" || { echo "tests/typing/accept.py: failed when run"; status=1; }
out=$(mypy "$src/tests/typing/reject.py" 2>&1) && rc=0 || rc=$?
if [ "$rc" -eq 0 ]; then
  echo "tests/typing/reject.py: accepted, but must be rejected"; status=1
fi
printf '%s\n' "$out" | "$py" "$src/tools/mypy_expect.py" "$src/tests/typing/reject.py" || status=1

echo "--- pyright ($py)"
# pyright comes through npm: the root carries both; a host interpreter given
# with PYTHON=... may have neither, and then this part is skipped as the
# checks of missing tools are in tools/check.sh.
if ! command -v node >/dev/null || ! command -v npm >/dev/null; then
  echo "skipped: no node/npm"
  exit $status
fi
pyright() { "$src/tools/pyright.sh" -p "$src/tools/pyrightconfig.json" --pythonpath "$(command -v "$py")" "$@"; }
if out=$(pyright "$src/tests/typing/accept.py" 2>&1); then
  echo "tests/typing/accept.py: accepted ($(printf '%s\n' "$out" | tail -n1))"
else
  printf '%s\n' "$out"; echo "tests/typing/accept.py: rejected by pyright, but must be accepted"; status=1
fi
out=$(pyright "$src/tests/typing/reject.py" 2>&1) && rc=0 || rc=$?
if [ "$rc" -eq 0 ]; then
  echo "tests/typing/reject.py: accepted by pyright, but must be rejected"; status=1
fi
printf '%s\n' "$out" | "$py" "$src/tools/mypy_expect.py" --pyright "$src/tests/typing/reject.py" || status=1
exit $status
