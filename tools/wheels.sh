#!/bin/sh
# Inside a toolchain root (the x86-64 one or an emulated one): manylinux
# wheels, one per interpreter, each built twice to prove the bytes repeat,
# checked against the glibc floor, installed into a fresh virtual environment
# and tested there.
#   tools/wheels.sh                       python3.13, python3.14 and python3.15
#   PYTHONS="python3.14" tools/wheels.sh  one interpreter
#   tools/wheels.sh -k name               extra args go to pytest
# For each interpreter: meson-python builds the wheel twice, in two build
# directories, with SOURCE_DATE_EPOCH set to the last commit's time;
# auditwheel repairs each to manylinux_2_17 for this machine's architecture
# (it refuses if the modules need more) and strips it; the two results must
# be the same bytes. tools/floor.sh then reads the tag, the libraries and the symbol
# versions. The environments see Debian's pytest, hypothesis and mypy through
# --system-site-packages; the package itself comes only from the wheel.
# Offline: no build isolation, no dependencies, no index. Wheels land in
# build/dist/, the intermediate files in build/wheels/<machine>/.
set -eu
PYTHONS=${PYTHONS:-"python3.13 python3.14 python3.15"}
src=$PWD
machine=$(uname -m)
plat=manylinux_2_17_$machine
out=$src/build/wheels/$machine
dist=$src/build/dist
mkdir -p "$out" "$dist"
export PIP_NO_INDEX=1 PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_NO_CACHE_DIR=1 PYTHONDONTWRITEBYTECODE=1
# The installed copy is the code the build-tree run has crash-hunted already.
export KX_CRASH_HUNT=no
# Every timestamp the build writes (zip entries, auditwheel's rewrite) comes
# from the commit, so a rebuild of the same commit gives the same bytes.
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  SOURCE_DATE_EPOCH=$(git log -1 --format=%ct 2>/dev/null) || SOURCE_DATE_EPOCH=315532800
fi
export SOURCE_DATE_EPOCH
status=0
built=""
for py in $PYTHONS; do
  name=$(basename "$py")
  tag=$("$py" -c 'import sys; print("cp%d%d" % sys.version_info[:2])')
  for run in a b; do
    echo "=== $py: wheel, build $run (SOURCE_DATE_EPOCH=$SOURCE_DATE_EPOCH)"
    rm -rf "$out/$run-$name"
    mkdir -p "$out/$run-$name/plain"
    # A fresh build directory each time: the second build shares nothing with
    # the first, so equal bytes mean the build itself is reproducible.
    "$py" -m pip wheel --no-build-isolation --no-deps --quiet -w "$out/$run-$name/plain" \
      -Cbuild-dir="$out/$run-$name/meson" -Csetup-args=-Dwerror=true "$src" \
      || { status=1; continue 2; }
    plain=$(ls "$out/$run-$name"/plain/velmora_kestrine-*-"$tag"-*.whl)
    # meson-python tags the wheel for this machine only (linux_<arch>);
    # auditwheel checks it against the floor's policy, retags it and strips
    # the modules (meson-python builds the wheel from meson's install plan,
    # not through `meson install`, so meson's own strip never runs).
    auditwheel repair --plat "$plat" --strip --wheel-dir "$out/$run-$name/repaired" "$plain" \
      >"$out/$run-$name/repair.log" 2>&1 || { cat "$out/$run-$name/repair.log"; status=1; continue 2; }
    rm -rf "$out/$run-$name/meson"
  done
  wheel_a=$(ls "$out/a-$name"/repaired/*.whl)
  wheel_b=$(ls "$out/b-$name"/repaired/*.whl)
  if cmp -s "$wheel_a" "$wheel_b"; then
    echo "reproducible: both builds give $(sha256sum < "$wheel_a" | cut -c1-16)... ($(basename "$wheel_a"))"
  else
    echo "wheels: $py: two builds of the same commit differ:" >&2
    "$py" - "$wheel_a" "$wheel_b" >&2 <<'EOF' || true
import hashlib, sys, zipfile
a, b = (zipfile.ZipFile(w) for w in sys.argv[1:])
def entries(z):
    return {i.filename: (i.date_time, i.external_attr, hashlib.sha256(z.read(i)).hexdigest()[:16]) for i in z.infolist()}
ea, eb = entries(a), entries(b)
for name in sorted(set(ea) | set(eb)):
    if ea.get(name) != eb.get(name):
        print(f"  {name}: {ea.get(name)} / {eb.get(name)}")
EOF
    status=1
  fi
  wheel=$dist/$(basename "$wheel_a")
  cp "$wheel_a" "$wheel"
  echo "platform tag: $(basename "$wheel" .whl | sed 's/.*-//')"
  built="$built $wheel"

  # Stripped: no symbol table is left in any module.
  rm -rf "$out/unpacked-$name"
  "$py" -m zipfile -e "$wheel" "$out/unpacked-$name"
  for so in "$out/unpacked-$name"/velmora/kestrine/*.so; do
    if readelf -S "$so" | grep -q '\.symtab'; then echo "wheels: $(basename "$so") is not stripped" >&2; status=1; fi
  done
  if [ -x "$src/tools/floor.sh" ]; then
    "$src/tools/floor.sh" "$wheel" || status=1
  else
    echo "floor check skipped: no tools/floor.sh"
  fi

  echo "=== $py: install into a fresh environment"
  venv=$out/venv-$name
  rm -rf "$venv"
  "$py" -m venv --system-site-packages --without-pip "$venv"
  "$venv/bin/python" -m pip install --no-deps --quiet "$wheel" || { status=1; continue; }

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
  # The wheel's stubs reach the type checkers through py.typed in the
  # environment, as they reach a user's. Debian's mypy runs on 3.14 and 3.15;
  # the emulated roots carry neither checker.
  echo "=== $py: typed example against the installed stubs (mypy, pyright)"
  mypy_py=$py
  "$mypy_py" -c 'import mypy.main' 2>/dev/null || mypy_py=python3.14
  if "$mypy_py" -c 'import mypy.main' 2>/dev/null; then
    "$mypy_py" -m mypy --strict --no-error-summary --cache-dir "$out/mypy-cache-$name" \
      --python-executable "$venv/bin/python" "$src/tests/typing/accept.py" && echo "accepted by mypy" || status=1
  else
    echo "mypy skipped: not installed"
  fi
  if command -v node >/dev/null && command -v npm >/dev/null; then
    if "$src/tools/pyright.sh" -p "$src/tools/pyrightconfig.json" --pythonpath "$venv/bin/python" \
      "$src/tests/typing/accept.py" >"$out/pyright-$name.log" 2>&1; then
      echo "accepted by pyright"
    else
      cat "$out/pyright-$name.log"; status=1
    fi
  else
    echo "pyright skipped: no node/npm"
  fi
  cd "$src"
done
echo "=== wheels built (bytes, file in build/dist)"
for w in $built; do echo "$(wc -c < "$w") $(basename "$w")"; done
exit $status
