#!/bin/sh
# Inside the toolchain root: run pyright, installing it first with the root's
# npm (Debian's nodejs) into /var/cache/kestrine-tools, the cache outside the
# work tree that tools/sidroot.sh mounts there. The version is pinned, so
# every run and every machine checks with the same rules. npm's registry and
# CA file come from the host's npm configuration (tools/sidroot.sh passes
# them in as NPM_CONFIG_*).
#   tools/pyright.sh [pyright args...]
set -eu
version=1.1.414
cache=${KESTRINE_TOOLS:-/var/cache/kestrine-tools}
dir=$cache/pyright-$version
bin=$dir/node_modules/pyright/index.js
if [ ! -f "$bin" ]; then
  mkdir -p "$cache"
  # Concurrent runs wait for the first installer and then find its copy.
  exec 9>"$cache/.pyright.lock"
  flock 9
  if [ ! -f "$bin" ]; then
    echo "pyright.sh: installing pyright $version into $dir" >&2
    rm -rf "$dir.tmp"
    mkdir -p "$dir.tmp"
    HOME=$dir.tmp npm install --prefix "$dir.tmp" --no-audit --no-fund --loglevel=error \
      --cache "$dir.tmp/.npm" "pyright@$version" >&2
    rm -rf "$dir.tmp/.npm"
    mv "$dir.tmp" "$dir"
  fi
  exec 9>&-
fi
exec node "$bin" "$@"
