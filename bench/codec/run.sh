#!/usr/bin/env bash
# Codec benchmarks: the C++ core (built here with -O3) and the Python reader from the staged
# deployment root ($ZQ_ROOT, default build/root).
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
repo="$(cd "$here/../.." && pwd)"
out="$repo/build-bench"
mkdir -p "$out"

g++ -std=c++20 -O3 -DNDEBUG -Wall -Wextra -Werror -I "$repo/libs/ubx/include" -I "$repo/libs/ubx/src" \
    "$here/bench_core.cpp" "$repo"/libs/ubx/src/*.cpp -o "$out/bench_ubx_core"
echo "== codec core (C++)"
"$out/bench_ubx_core"

echo "== codec through Python"
export ZQ_ROOT="${ZQ_ROOT:-$repo/build/root}"
PYTHONPATH="$ZQ_ROOT${PYTHONPATH:+:$PYTHONPATH}" /usr/bin/python3 "$here/bench_reader.py"
