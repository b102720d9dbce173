#!/bin/sh
# Inside the toolchain root: build the three modules for one interpreter and
# stage them under build/<python>/site, ready for PYTHONPATH.
#   tools/build.sh python3.14 [extra meson setup options...]
set -eu
py=${1:?usage: tools/build.sh PYTHON [meson options]}; shift
dir=build/${BUILD_TAG:-$(basename "$py")}
mkdir -p "$dir"
pybin=$(command -v "$py") || { echo "build: no interpreter $py" >&2; exit 1; }
# One checkout is built both in the toolchain root and, with PYTHON=..., on
# the host, under the same directory name: the interpreter's path alone does
# not tell the two apart. A build configured elsewhere (another interpreter,
# compiler or C library) is thrown away with what it installed, so a module
# linked for the root never lands in the host's site directory or back.
stamp=$(printf '%s\n' "$pybin" "$("$pybin" -c 'import sys, sysconfig; print(sys.version, sysconfig.get_config_var("EXT_SUFFIX"))')" \
  "$(${CXX:-c++} --version 2>/dev/null | head -n1)" "$(getconf GNU_LIBC_VERSION 2>/dev/null)" "$*")
if [ ! -f "$dir/native.ini" ] || [ ! -f "$dir/stamp" ] || [ "$(cat "$dir/stamp")" != "$stamp" ]; then
  rm -rf "$dir/meson" "$dir/site"
  printf "[binaries]\npython = '%s'\n" "$pybin" > "$dir/native.ini"
  printf '%s\n' "$stamp" > "$dir/stamp"
fi
if [ ! -f "$dir/meson/build.ninja" ]; then
  meson setup "$dir/meson" --native-file "$dir/native.ini" -Dwerror=true \
    -Dpython.platlibdir="$PWD/$dir/site" -Dpython.purelibdir="$PWD/$dir/site" "$@" >"$dir/setup.log" \
    || { cat "$dir/setup.log"; exit 1; }
fi
ninja -C "$dir/meson" >"$dir/ninja.log" 2>&1 || { cat "$dir/ninja.log"; exit 1; }
meson install -C "$dir/meson" --quiet --only-changed >/dev/null
