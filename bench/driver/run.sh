#!/usr/bin/env bash
# Driver latency on a pseudo-terminal, at 1, 10 and 25 Hz (BENCH_DRIVER_RATES), 20 frames at
# 1 Hz and 100 at the others (BENCH_DRIVER_FRAMES, for every rate).
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
for rate in ${BENCH_DRIVER_RATES:-1 10 25}; do
    frames=${BENCH_DRIVER_FRAMES:-$(( rate == 1 ? 20 : 100 ))}
    /usr/bin/python3 "$here/latency.py" --rate "$rate" --frames "$frames" "$@"
done
