#!/bin/sh
# Inside the toolchain root: build the source distribution, check its file
# list, install it alone into a fresh virtual environment and run the suite
# the sdist itself carries against that copy, from the unpacked sdist.
#   tools/sdist.sh [pytest args...]
# The sdist is a git archive of the committed HEAD (see .gitattributes for
# what it leaves out). It must hold every tracked file under kestrine/,
# velmora/, tests/ and demo/ and, besides them, exactly tools/crash_hunt.py
# (the crash hunt's test drives it), LICENSE, README.md, CONTRIBUTING.md,
# meson.build, pyproject.toml and the PKG-INFO meson-python writes. Offline
# as in tools/wheels.sh: no index, no build isolation; Debian's meson-python,
# pytest and hypothesis come from the system site.
set -eu
py=${PYTHON:-python3.14}
src=$PWD
out=$src/build/sdist
rm -rf "$out"
mkdir -p "$out"
export PIP_NO_INDEX=1 PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_NO_CACHE_DIR=1 PYTHONDONTWRITEBYTECODE=1
# The installed copy is the code the build-tree run has crash-hunted already.
export KX_CRASH_HUNT=no
status=0

echo "=== sdist: build"
"$py" -m build --sdist --no-isolation --outdir "$out" . >"$out/build.log" 2>&1 \
  || { cat "$out/build.log"; exit 1; }
sdist=$(ls "$out"/velmora_kestrine-*.tar.gz)
echo "$(wc -c < "$sdist") $(basename "$sdist")"

echo "=== sdist: file list"
top=$(basename "$sdist" .tar.gz)
tar -tzf "$sdist" | grep -v '/$' | sed "s|^$top/||" | sort >"$out/files"
{ git ls-files kestrine velmora tests demo
  printf '%s\n' tools/crash_hunt.py LICENSE README.md CONTRIBUTING.md meson.build pyproject.toml PKG-INFO; } \
  | sort >"$out/expected"
cat "$out/files"
if ! diff -u "$out/expected" "$out/files" >"$out/files.diff"; then
  echo "sdist: file list differs from the expected one (- missing, + unexpected):"
  tail -n +3 "$out/files.diff"; status=1
fi

echo "=== sdist: install into a fresh environment"
venv=$out/venv
"$py" -m venv --system-site-packages --without-pip "$venv"
"$venv/bin/python" -m pip install --no-deps --no-build-isolation --quiet \
  -Csetup-args=-Dwerror=true "$sdist"

# The sdist's own tests, run from the unpacked sdist with the safe path (-P):
# only the installed copy can be imported, and the tests find what they read
# (the README's examples, the demo, the crash hunt's driver) in the sdist.
echo "=== sdist: its tests against the installed copy"
mkdir -p "$out/unpacked"
tar -xzf "$sdist" -C "$out/unpacked"
cd "$out/unpacked/$top"
"$venv/bin/python" -P -c '
import sys, velmora.kestrine.processors as p, velmora.kestrine.rowcore as r, velmora.kestrine.sealedmap as s
for m in (p, r, s):
    assert m.__file__.startswith(sys.prefix), m.__file__
print("installed in", sys.prefix)
' || status=1
"$venv/bin/python" -P -m pytest -q -p no:cacheprovider tests "$@" || status=1
exit $status
