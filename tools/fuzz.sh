#!/bin/sh
# Inside the toolchain root: build the libFuzzer target for the text-to-double
# parser (clang, with ASan and UBSan) and run it. The parser is fuzzed on its
# own, without the interpreter. Any crash, sanitizer report or mismatch with
# strtod fails; the reproducer is left in build/fuzz/.
#   tools/fuzz.sh              a short run (FUZZ_SECONDS, default 60)
#   FUZZ_SECONDS=3600 tools/fuzz.sh      a long run
#   tools/fuzz.sh build/fuzz/crash-...   replay one input
set -eu
out=build/fuzz
mkdir -p "$out/corpus"
clang++ -std=c++20 -O1 -g -fno-exceptions -fno-rtti -fsanitize=fuzzer,address,undefined \
  -fno-sanitize-recover=all -Ikestrine fuzz/float_text_fuzz.cpp kestrine/processors/float_text.cpp \
  -o "$out/float_text_fuzz"
if [ $# -gt 0 ]; then exec "$out/float_text_fuzz" "$@"; fi
# The working corpus grows across local runs (under build/, not committed);
# the committed seeds start it.
exec "$out/float_text_fuzz" -max_total_time="${FUZZ_SECONDS:-60}" -max_len=300 \
  -dict=fuzz/float_text.dict -artifact_prefix="$out/" -print_final_stats=1 \
  "$out/corpus" fuzz/corpus/float_text
