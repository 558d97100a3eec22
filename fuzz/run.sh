#!/bin/sh
# Builds the JSON fuzz target with libFuzzer, ASan and UBSan and runs it on
# one core.  Usage: fuzz/run.sh [seconds]   (default 180)
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
out="$root/build-fuzz"
CXX=${CXX:-clang++-19}
mkdir -p "$out/corpus"
"$CXX" -std=c++23 -O1 -g -fno-omit-frame-pointer \
  -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
  -I"$root/src" \
  "$here/json_fuzz.cpp" "$root/src/core/json.cpp" "$root/src/core/float_text.cpp" "$root/src/core/error.cpp" \
  -o "$out/json_fuzz"
cd "$out"
exec ./json_fuzz -max_total_time="${1:-180}" -jobs=1 -workers=1 -max_len=4096 \
  -dict="$here/json.dict" corpus "$here/seeds"
