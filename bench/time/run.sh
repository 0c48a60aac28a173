#!/usr/bin/env bash
# Time feed benchmark: zq_hub's and gpsd's samples to chronyd from one simulated stream; see
# bench_time.py (defaults take about 2.5 minutes).
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
repo="$(cd "$here/../.." && pwd)"
export ZQ_BUILD="${ZQ_BUILD:-$repo/build}"
export ZQ_ROOT="${ZQ_ROOT:-$ZQ_BUILD/root}"
"$repo/scripts/install-deps.sh" gpsd chrony
exec /usr/bin/python3 "$here/bench_time.py"
