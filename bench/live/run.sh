#!/usr/bin/env bash
# Live benchmark of zq_gps (the module alone, and a host waiting on zq_hub) against gpsd on one
# simulated receiver stream, hub.messages() delivery, the module/codec crossings; see
# bench_live.py for what is measured and the environment variables that size the run (defaults
# take about 6 minutes; BENCH_SECONDS=2 BENCH_RATES=10 BENCH_DECODE_MB=0.2 BENCH_DECODE_PVT=2000
# BENCH_DECODE_TRIES=1 about 40 seconds).
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
repo="$(cd "$here/../.." && pwd)"
export ZQ_BUILD="${ZQ_BUILD:-$repo/build}"
export ZQ_ROOT="${ZQ_ROOT:-$ZQ_BUILD/root}"

# gpsd's daemon, its Python client and gpsdecode (in gpsd-clients on Debian 12).
"$repo/scripts/install-deps.sh" gpsd gpsd-clients python3-gps

for f in "$ZQ_BUILD/tools/zq-sim" "$ZQ_BUILD/tools/ubxdump"; do
    if [ ! -x "$f" ]; then
        echo "bench/live: $f is not built (make first)" >&2
        exit 1
    fi
done
for m in zq_gps zq_hub; do
    if ! compgen -G "$ZQ_ROOT/$m*.so" >/dev/null; then
        echo "bench/live: $m is not built in $ZQ_ROOT" >&2
        exit 1
    fi
done

exec /usr/bin/python3 "$here/bench_live.py"
