#!/bin/sh
# Inside the toolchain root: compile the three modules against the 3.14
# headers with Py_GIL_DISABLED defined. No free-threaded interpreter is
# packaged, so this checks that the sources build for that ABI; it runs nothing.
set -eu
out=build/ft
rm -rf "$out"; mkdir -p "$out/include/python3.14t" "$out/obj"
cp -r /usr/include/python3.14/. "$out/include/python3.14t/"
{ cat /usr/include/x86_64-linux-gnu/python3.14/pyconfig.h; echo '#define Py_GIL_DISABLED 1'; } \
  > "$out/include/python3.14t/pyconfig.h"
for src in kestrine/frame/frame.cpp kestrine/*/*.cpp; do
  case "$src" in kestrine/frame/*) [ "$src" = kestrine/frame/frame.cpp ] || continue ;; esac
  o="$out/obj/$(echo "$src" | tr / _).o"
  g++ -std=c++20 -O2 -fPIC -fno-exceptions -fno-rtti -Wall -Wextra -Werror -Wno-missing-field-initializers \
    -I"$out/include/python3.14t" -Ikestrine -c "$src" -o "$o"
done
echo "free-threaded compile check: ok ($(ls "$out/obj" | wc -l) objects)"
