#!/bin/sh
# Inside the toolchain root: build a wheel per interpreter with meson-python,
# install each into a fresh virtual environment of that interpreter and run
# the test suite and the typed examples against the installed copy.
#   tools/wheels.sh                       python3.13, python3.14 and python3.15
#   PYTHONS="python3.14" tools/wheels.sh  one interpreter
#   tools/wheels.sh -k name               extra args go to pytest
# Offline: no build isolation, no dependencies, no index. The environments see
# Debian's pytest, hypothesis and mypy through --system-site-packages; the
# package itself comes only from the wheel. Each wheel is retagged with the
# manylinux tag it qualifies for (auditwheel), and that wheel is the one
# tested. Wheels land in build/wheels/, the manylinux ones in
# build/wheels/manylinux/.
set -eu
PYTHONS=${PYTHONS:-"python3.13 python3.14 python3.15"}
src=$PWD
out=$src/build/wheels
mkdir -p "$out"
export PIP_NO_INDEX=1 PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_NO_CACHE_DIR=1 PYTHONDONTWRITEBYTECODE=1
# The installed copy is the code the build-tree run has crash-hunted already.
export KX_CRASH_HUNT=no
status=0
built=""
for py in $PYTHONS; do
  echo "=== $py: wheel"
  name=$(basename "$py")
  tag=$("$py" -c 'import sys; print("cp%d%d" % sys.version_info[:2])')
  rm -f "$out"/velmora_kestrine-*-"$tag"-*linux_*.whl
  # A kept build directory makes a second run incremental.
  "$py" -m pip wheel --no-build-isolation --no-deps --quiet -w "$out" \
    -Cbuild-dir="$out/meson-$name" -Csetup-args=-Dwerror=true "$src"
  plain=$(ls "$out"/velmora_kestrine-*-"$tag"-*linux_*.whl)

  # meson-python tags the wheel for this machine only (linux_<arch>). auditwheel
  # checks which manylinux policy its symbol versions and libraries fit and
  # retags it (grafting in any library outside the policy, none here); the
  # manylinux wheel is the one installed and tested below.
  echo "=== $py: auditwheel"
  auditwheel show "$plain"
  rm -f "$out"/manylinux/velmora_kestrine-*-"$tag"-*.whl
  auditwheel repair --wheel-dir "$out/manylinux" "$plain" 2>&1 | tail -n1
  wheel=$(ls "$out"/manylinux/velmora_kestrine-*-"$tag"-*.whl)
  plat=$(basename "$wheel" .whl); plat=${plat##*-}
  echo "platform tag: $plat"
  case "$plat" in manylinux_*) ;; *) echo "wheels: $wheel has no manylinux tag" >&2; status=1 ;; esac
  built="$built $wheel"

  echo "=== $py: install into a fresh environment"
  venv=$out/venv-$name
  rm -rf "$venv"
  "$py" -m venv --system-site-packages --without-pip "$venv"
  "$venv/bin/python" -m pip install --no-deps --quiet "$wheel"

  # Run from outside the checkout, with the safe path (-P), so nothing from
  # the source tree or the build directories can stand in for the wheel.
  cd "$venv"
  "$venv/bin/python" -P -c '
import sys, velmora.kestrine.processors as p, velmora.kestrine.rowcore, velmora.kestrine.sealedmap
for m in (p, velmora.kestrine.rowcore, velmora.kestrine.sealedmap):
    assert m.__file__.startswith(sys.prefix), m.__file__
print("to_float(\" 1_000.5 \") =", p.to_float(" 1_000.5 "))
' || status=1
  echo "=== $py: tests against the installed wheel"
  "$venv/bin/python" -P -m pytest -q -p no:cacheprovider "$src/tests" "$@" || status=1
  # The wheel's stubs reach mypy through py.typed in the environment, as
  # they reach a user's type checker. Debian's mypy runs on 3.14 and 3.15.
  echo "=== $py: typed example against the installed stubs (mypy, pyright)"
  mypy_py=$py
  "$mypy_py" -c 'import mypy.main' 2>/dev/null || mypy_py=python3.14
  if "$mypy_py" -c 'import mypy.main' 2>/dev/null; then
    "$mypy_py" -m mypy --strict --no-error-summary --cache-dir "$out/mypy-cache-$name" \
      --python-executable "$venv/bin/python" "$src/tests/typing/accept.py" && echo "accepted" || status=1
  else
    echo "skipped: no mypy"
  fi
  if "$src/tools/pyright.sh" -p "$src/tools/pyrightconfig.json" --pythonpath "$venv/bin/python" \
    "$src/tests/typing/accept.py" >"$out/pyright-$name.log" 2>&1; then
    echo "accepted by pyright"
  else
    cat "$out/pyright-$name.log"; status=1
  fi
  cd "$src"
done
echo "=== wheels built (bytes, file in build/wheels/manylinux)"
for w in $built; do echo "$(wc -c < "$w") $(basename "$w")"; done
exit $status
