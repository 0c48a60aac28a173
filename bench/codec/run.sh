#!/usr/bin/env bash
# Codec benchmarks: the C++ core (built here with -O3) and the Python reader from the staged
# deployment root ($ZQ_ROOT, default $ZQ_BUILD/root, ZQ_BUILD default build/).
# ZQ_BENCH_SMOKE=1: each benchmark once on a small input, the core linked against the build's
# own core library (quick to build) instead of compiled here; no figure is meant to be compared.
# BENCH_OUT: where the core benchmark's binary goes (default build-bench/).
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
repo="$(cd "$here/../.." && pwd)"
build="${ZQ_BUILD:-$repo/build}"
out="${BENCH_OUT:-$repo/build-bench}"
mkdir -p "$out"
smoke="${ZQ_BENCH_SMOKE:-0}"
[ "$smoke" = 0 ] && smoke=""
lib="$build/libs/ubx/libubx_core.a"

flags=(-std=c++20 -Wall -Wextra -Werror -I "$repo/libs/ubx/include" -I "$repo/libs/ubx/src")
if [ -n "$smoke" ] && [ -f "$lib" ]; then
    san=()
    grep -qs '^ZQ_SANITIZE:BOOL=ON' "$build/CMakeCache.txt" && san=(-fsanitize=address,undefined)
    g++ "${flags[@]}" -O1 "${san[@]}" "$here/bench_core.cpp" "$lib" -o "$out/bench_ubx_core_smoke"
    core="$out/bench_ubx_core_smoke"
else
    g++ "${flags[@]}" -O3 -DNDEBUG "$here/bench_core.cpp" "$repo"/libs/ubx/src/*.cpp \
        -o "$out/bench_ubx_core"
    core="$out/bench_ubx_core"
fi
echo "== codec core (C++)"
"$core"

echo "== codec through Python"
export ZQ_ROOT="${ZQ_ROOT:-$build/root}"
PYTHONPATH="$ZQ_ROOT${PYTHONPATH:+:$PYTHONPATH}" /usr/bin/python3 "$here/bench_reader.py"
