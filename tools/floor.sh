#!/bin/sh
# Inside the toolchain root: check that each wheel still runs on glibc 2.17
# with nothing but the C library. For every wheel, auditwheel must place it
# under manylinux_2_17 (manylinux2014) for its architecture, and every
# extension module inside must need only libc, libm and the dynamic loader,
# no libstdc++ / libgcc_s symbol versions (GLIBCXX_, CXXABI_, GCC_) and no
# GLIBC_ version above 2.17. Prints, per module, what it needs; exits 1 when
# any wheel's floor has risen.
#   tools/floor.sh build/wheels/manylinux/*.whl
set -eu
[ $# -gt 0 ] || { echo "usage: tools/floor.sh WHEEL..." >&2; exit 2; }
floor=2.17
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
status=0

# The highest of dotted versions on stdin ("" for none).
highest() { sort -t. -k1,1n -k2,2n -k3,3n | tail -n1; }
# Whether version $1 is above version $2.
above() { [ "$1" != "$2" ] && [ "$(printf '%s\n%s\n' "$1" "$2" | highest)" = "$1" ]; }

for wheel in "$@"; do
  [ -f "$wheel" ] || { echo "floor: $wheel: no such wheel" >&2; status=1; continue; }
  name=$(basename "$wheel" .whl)
  # The platform tag is the last field of the file name, e.g.
  # manylinux2014_x86_64.manylinux_2_17_x86_64 or linux_aarch64.
  arch=${name##*-}; arch=${arch##*.}
  case "$arch" in
    linux_*) arch=${arch#linux_} ;;
    manylinux2014_*) arch=${arch#manylinux2014_} ;;
    manylinux_*_*_*) arch=$(echo "$arch" | sed 's/^manylinux_[0-9]*_[0-9]*_//') ;;
    *) echo "floor: $wheel: no Linux platform tag" >&2; status=1; continue ;;
  esac
  echo "=== $(basename "$wheel") ($arch)"
  fail=0

  shown=$(auditwheel show "$wheel" 2>&1) || { printf '%s\n' "$shown"; echo "floor: auditwheel show failed" >&2; status=1; continue; }
  policy=$(printf '%s\n' "$shown" | tr '\n' ' ' | sed -n 's/.*constrains the platform tag to "\([^"]*\)".*/\1/p')
  [ -n "$policy" ] || policy=$(printf '%s\n' "$shown" | tr '\n' ' ' | sed -n 's/.*consistent with the following platform tag: "\([^"]*\)".*/\1/p')
  case "$policy" in
    "manylinux_2_17_$arch" | "manylinux2014_$arch") echo "auditwheel: $policy" ;;
    *) echo "auditwheel: ${policy:-no platform tag found}, wanted manylinux_2_17_$arch"; fail=1 ;;
  esac

  dir=$tmp/$name
  mkdir -p "$dir"
  python3 -m zipfile -e "$wheel" "$dir"
  modules=$(find "$dir" -name '*.so' -type f | sort)
  [ -n "$modules" ] || { echo "floor: no extension module in the wheel"; fail=1; }
  for so in $modules; do
    rel=${so#"$dir"/}
    needed=$(readelf -d --wide "$so" | sed -n 's/.*(NEEDED).*\[\(.*\)\]$/\1/p')
    # The versions the module asks of the libraries it needs.
    versions=$(readelf -V --wide "$so" | awk '/^Version needs section/ {on = 1; next}
      /^Version (definition|symbols) section/ {on = 0}
      on && / Name: / {for (i = 1; i < NF; i++) if ($i == "Name:") print $(i + 1)}' | sort -u)
    glibc=$(printf '%s\n' "$versions" | sed -n 's/^GLIBC_\([0-9][0-9.]*\)$/\1/p' | highest)
    bad=""
    for lib in $needed; do
      case "$lib" in
        libc.so.6 | libm.so.6 | ld-linux*.so.* | ld64.so.*) ;;
        *) bad="$bad needs $lib;" ;;
      esac
    done
    runtime=$(printf '%s\n' "$versions" | grep -E '^(GLIBCXX|CXXABI|GCC)_' | tr '\n' ' ' || true)
    [ -z "$runtime" ] || bad="$bad C++ runtime versions ${runtime% };"
    if [ -z "$glibc" ]; then
      glibc=none
    elif above "$glibc" "$floor"; then
      bad="$bad GLIBC_$glibc above $floor;"
    fi
    echo "$rel: NEEDED $(echo $needed | sed 's/ /, /g'); highest glibc $glibc${bad:+ -- FAIL:$bad}"
    [ -z "$bad" ] || fail=1
  done
  if [ $fail -eq 0 ]; then echo "floor: ok (glibc $floor, libc only)"; else echo "floor: RISEN"; status=1; fi
done
exit $status
