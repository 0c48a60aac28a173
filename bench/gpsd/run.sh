#!/usr/bin/env bash
# The hub's gpsd server against gpsd on the simulated receiver; see bench_gpsd.py for what is
# measured and the environment that sizes the run (defaults take about 2 minutes).
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
repo="$(cd "$here/../.." && pwd)"
export ZQ_BUILD="${ZQ_BUILD:-$repo/build}"
export ZQ_ROOT="${ZQ_ROOT:-$ZQ_BUILD/root}"
"$repo/scripts/install-deps.sh" gpsd gpsd-clients python3-gps
exec /usr/bin/python3 "$here/bench_gpsd.py"
