#!/usr/bin/env bash
# Builds the libFuzzer target with clang and runs it for SECONDS (default 60).
# Usage: fuzz/run.sh [SECONDS]   (build and corpus go to build-fuzz/ at the repo root)
set -euo pipefail

seconds="${1:-60}"
here="$(cd "$(dirname "$0")" && pwd)"
repo="$(dirname "$here")"
out="$repo/build-fuzz"
cxx="${CXX_FUZZ:-clang++-14}"

mkdir -p "$out/corpus" "$out/artifacts"
"$cxx" -std=c++20 -O1 -g -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all \
    -I "$repo/libs/ubx/include" -I "$repo/libs/ubx/src" \
    "$here/fuzz_ubx.cpp" "$repo"/libs/ubx/src/*.cpp -o "$out/fuzz_ubx"

# Seeds: the recorded receiver streams (byte 0 picks the chunking) and every regression input.
for f in "$repo"/tests/captures/*.log; do
    seed="$out/corpus/seed-$(basename "$f")"
    [ -e "$seed" ] || { printf '\x07'; cat "$f"; } > "$seed"
done
if [ -d "$here/regressions" ]; then cp -n "$here"/regressions/* "$out/corpus/" 2>/dev/null || true; fi

cd "$out"
./fuzz_ubx -max_total_time="$seconds" -max_len=20000 -dict="$here/ubx.dict" \
    -artifact_prefix="$out/artifacts/" -print_final_stats=1 corpus
