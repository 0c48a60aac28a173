#!/usr/bin/env bash
# Soak and load runs (driver and logging service); one JSON line of figures per run, collected
# in $BENCH_OUT (default build/bench-soak/results.jsonl). Exit status 1 when any run breaks a
# bound (lost or wrong values, memory growth >= 1 MB, leftover threads or descriptors, disk).
#   SOAK_MESSAGES (1000000), SOAK_GETGPS_SECONDS (60), SOAK_CYCLES (1000), SOAK_LOG_SECONDS (30)
#   ZQ_ROOT / ZQ_BUILD: the staged root and build to run (default build/root, build)
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
repo="$(cd "$here/../.." && pwd)"
out="${BENCH_OUT:-$repo/build/bench-soak/results.jsonl}"
mkdir -p "$(dirname "$out")"
: > "$out"
py=/usr/bin/python3
status=0
run() {
    echo "== $*"
    local line
    line="$("$py" "$@" 2>/dev/null | grep '^{' || true)"
    echo "${line:-{\"run\": \"$*\", \"ok\": false\}}" | tee -a "$out"
    [[ "$line" == *'"ok": true'* ]] || status=1
}
run "$here/driver_soak.py" messages --n "${SOAK_MESSAGES:-1000000}"
run "$here/driver_soak.py" getgps --seconds "${SOAK_GETGPS_SECONDS:-60}"
run "$here/driver_soak.py" cycles --n "${SOAK_CYCLES:-1000}"
run "$here/logger_load.py" --threads 10 --seconds "${SOAK_LOG_SECONDS:-30}"
echo "soak: figures in $out"
[ $status -eq 0 ] || echo "soak: a run broke its bound" >&2
exit $status
