#!/bin/sh
# Inside the toolchain root: build the libFuzzer targets (clang, with ASan and
# UBSan) and run them: the text-to-double parser of to_float against strtod,
# and the decimal processor's fixed-point text against the C library's "%.*f".
# Both pieces are fuzzed on their own, without the interpreter. Any crash,
# sanitizer report or mismatch fails; the reproducer is left in build/fuzz/.
#   tools/fuzz.sh                  the CI run: each target from its committed
#                                  seeds, a fixed seed and FUZZ_RUNS inputs
#                                  (default 4000000), so every run is the same
#   FUZZ_SECONDS=3600 tools/fuzz.sh   a long run per target, random seed, its
#                                  working corpus kept under build/fuzz/
#   tools/fuzz.sh TARGET build/fuzz/crash-...   replay one input (TARGET:
#                                  float_text or fixed_text)
set -eu
out=build/fuzz
mkdir -p "$out"
for target in float_text fixed_text; do
  clang++ -std=c++20 -O1 -g -fno-exceptions -fno-rtti -fsanitize=fuzzer,address,undefined \
    -fno-sanitize-recover=all -Ikestrine "fuzz/${target}_fuzz.cpp" kestrine/processors/float_text.cpp \
    -o "$out/${target}_fuzz"
done
if [ $# -gt 0 ]; then t=$1; shift; exec "$out/${t}_fuzz" "$@"; fi
for target in float_text fixed_text; do
  dict=""
  [ ! -f "fuzz/$target.dict" ] || dict="-dict=fuzz/$target.dict"
  echo "=== $target"
  if [ -n "${FUZZ_SECONDS:-}" ]; then
    mkdir -p "$out/corpus/$target"
    "$out/${target}_fuzz" -max_total_time="$FUZZ_SECONDS" -max_len=300 $dict -artifact_prefix="$out/" \
      -print_final_stats=1 "$out/corpus/$target" "fuzz/corpus/$target"
  else
    # A fresh corpus each time: what a run finds does not feed the next.
    rm -rf "$out/ci-corpus"
    mkdir -p "$out/ci-corpus"
    "$out/${target}_fuzz" -seed=1 -runs="${FUZZ_RUNS:-4000000}" -max_len=300 $dict -artifact_prefix="$out/" \
      -print_final_stats=1 "$out/ci-corpus" "fuzz/corpus/$target"
  fi
done
