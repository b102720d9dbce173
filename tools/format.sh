#!/bin/sh
# Inside the toolchain root: the tracked C++ sources against .clang-format
# (clang-format of the root). Only files git knows are read, so scratch
# directories and other checkouts' leftovers are never scanned; outside a git
# checkout (an unpacked sdist) every C++ file under kestrine/ and fuzz/ is.
# Vendored code (kestrine/third_party) keeps its upstream layout.
#   tools/format.sh          check: report every misformatted line, exit 1 if any
#   tools/format.sh --fix    rewrite the files in place
set -eu
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  files=$(git ls-files -- '*.cpp' '*.hpp' '*.cc' '*.h' ':!:kestrine/third_party/' | sort)
else
  files=$(find kestrine fuzz -path kestrine/third_party -prune -o -type f \( -name '*.cpp' -o -name '*.hpp' -o -name '*.cc' -o -name '*.h' \) -print 2>/dev/null | sort)
fi
[ -n "$files" ] || { echo "format: no C++ sources found" >&2; exit 1; }
case "${1:-}" in
  --fix) exec clang-format -i --style=file $files ;;
  "") ;;
  *) echo "usage: tools/format.sh [--fix]" >&2; exit 2 ;;
esac
if clang-format --dry-run --Werror --style=file $files; then
  echo "format: $(echo "$files" | wc -l) files match .clang-format"
else
  echo "format: misformatted (fix with: ./dev run tools/format.sh --fix)"
  exit 1
fi
