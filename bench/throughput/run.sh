#!/usr/bin/env bash
# Reader throughput on a pty: paced 25 Hz (A), dense (B), paced at the target rate (D), idle
# (C), and zq_hub's messages() at 25 Hz (M) and at the target rate (N); see bench_throughput.py
# for what is measured and the environment variables that size the run (defaults take about 1.5
# minutes; BENCH_SECONDS=2 BENCH_DENSE_SECONDS=2 BENCH_IDLE_SECONDS=2 BENCH_STRACE=0 about 20
# seconds). Results: $BENCH_OUT (default $ZQ_BUILD/bench-throughput).
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
repo="$(cd "$here/../.." && pwd)"
export ZQ_BUILD="${ZQ_BUILD:-$repo/build}"
export ZQ_ROOT="${ZQ_ROOT:-$ZQ_BUILD/root}"

# The idle run counts the reader's syscalls with strace when it is there.
"$repo/scripts/install-deps.sh" strace

if ! compgen -G "$ZQ_ROOT/zq_gps*.so" >/dev/null; then
    echo "bench/throughput: zq_gps is not built in $ZQ_ROOT" >&2
    exit 1
fi

exec /usr/bin/python3 "$here/bench_throughput.py"
