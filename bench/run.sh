#!/usr/bin/env bash
# Runs every bench/*/run.sh in turn.
# Usage: bench/run.sh [--smoke] [NAME ...]
#   --smoke  each benchmark once on a small input (a few seconds each): it shows that every
#            benchmark still runs to its end; its figures mean nothing. The sizes below are
#            defaults, so the environment can still override them.
#   NAME     only these benchmarks (codec, driver, live, soak, throughput)
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
names=()
for arg in "$@"; do
    case "$arg" in
        --smoke) smoke=1 ;;
        -*) echo "bench/run.sh: unknown option $arg" >&2; exit 2 ;;
        *) names+=("$arg") ;;
    esac
done
if [ -n "${smoke:-}" ]; then
    tmp="$(mktemp -d)"
    trap 'rm -rf "$tmp"' EXIT
    export ZQ_BENCH_SMOKE=1
    # codec: sized by ZQ_BENCH_SMOKE itself
    : "${BENCH_DRIVER_RATES:=25}" "${BENCH_DRIVER_FRAMES:=10}"
    : "${BENCH_RATES:=10}" "${BENCH_SECONDS:=1}" "${BENCH_DECODE_MB:=0.2}"
    : "${BENCH_DECODE_PVT:=2000}" "${BENCH_DECODE_TRIES:=1}"
    : "${SOAK_MESSAGES:=2000}" "${SOAK_GETGPS_SECONDS:=1}" "${SOAK_CYCLES:=3}"
    : "${SOAK_LOG_SECONDS:=1}"
    : "${BENCH_DENSE_SECONDS:=1}" "${BENCH_IDLE_SECONDS:=1}" "${BENCH_STRACE:=0}"
    export BENCH_DRIVER_RATES BENCH_DRIVER_FRAMES BENCH_RATES BENCH_SECONDS BENCH_DECODE_MB \
        BENCH_DECODE_PVT BENCH_DECODE_TRIES SOAK_MESSAGES SOAK_GETGPS_SECONDS SOAK_CYCLES \
        SOAK_LOG_SECONDS BENCH_DENSE_SECONDS BENCH_IDLE_SECONDS BENCH_STRACE
fi
[ ${#names[@]} -eq 0 ] && for d in "$here"/*/run.sh; do names+=("$(basename "$(dirname "$d")")"); done
status=0
for name in "${names[@]}"; do
    script="$here/$name/run.sh"
    [ -x "$script" ] || { echo "bench/run.sh: no benchmark $name" >&2; status=1; continue; }
    echo "### $name"
    env=()
    # Results of a smoke run go to a temporary directory (soak takes a file name).
    if [ -n "${smoke:-}" ] && [ -z "${BENCH_OUT:-}" ]; then
        mkdir -p "$tmp/$name"
        if [ "$name" = soak ]; then env=(BENCH_OUT="$tmp/soak/results.jsonl"); else env=(BENCH_OUT="$tmp/$name"); fi
    fi
    env "${env[@]}" "$script" || { echo "bench/run.sh: $name failed" >&2; status=1; }
done
exit $status
