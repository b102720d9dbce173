#!/bin/sh
# Inside the toolchain root: build the three modules for one interpreter and
# stage them under build/<python>/site, ready for PYTHONPATH.
#   tools/build.sh python3.14 [extra meson setup options...]
set -eu
py=${1:?usage: tools/build.sh PYTHON [meson options]}; shift
dir=build/${BUILD_TAG:-$(basename "$py")}
mkdir -p "$dir"
pybin=$(command -v "$py") || { echo "build: no interpreter $py" >&2; exit 1; }
if [ ! -f "$dir/native.ini" ] || ! grep -qF "'$pybin'" "$dir/native.ini"; then
  printf "[binaries]\npython = '%s'\n" "$pybin" > "$dir/native.ini"
  rm -rf "$dir/meson"
fi
if [ ! -f "$dir/meson/build.ninja" ]; then
  meson setup "$dir/meson" --native-file "$dir/native.ini" -Dwerror=true \
    -Dpython.platlibdir="$PWD/$dir/site" -Dpython.purelibdir="$PWD/$dir/site" "$@" >"$dir/setup.log" \
    || { cat "$dir/setup.log"; exit 1; }
fi
ninja -C "$dir/meson" >"$dir/ninja.log" 2>&1 || { cat "$dir/ninja.log"; exit 1; }
meson install -C "$dir/meson" --quiet --only-changed >/dev/null
