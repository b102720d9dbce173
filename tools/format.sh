#!/bin/sh
# Inside the toolchain root: the C++ sources of the checkout against
# .clang-format (clang-format of the root).
#   tools/format.sh          check: report every misformatted line, exit 1 if any
#   tools/format.sh --fix    rewrite the files in place
set -eu
files=$(find . \( -path ./build -o -path ./.git \) -prune -o \
  -type f \( -name '*.cpp' -o -name '*.hpp' -o -name '*.cc' -o -name '*.h' \) -print | sort)
[ -n "$files" ] || { echo "format: no C++ sources found" >&2; exit 1; }
case "${1:-}" in
  --fix) exec clang-format -i --style=file $files ;;
  "") ;;
  *) echo "usage: tools/format.sh [--fix]" >&2; exit 2 ;;
esac
if clang-format --dry-run --Werror --style=file $files; then
  echo "format: $(echo "$files" | wc -l) files match .clang-format"
else
  echo "format: misformatted (fix with: tools/sidroot.sh run tools/format.sh --fix)"
  exit 1
fi
