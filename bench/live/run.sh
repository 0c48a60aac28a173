#!/usr/bin/env bash
# Live benchmark of zq_gps against gpsd on the simulated receiver; see bench_live.py for what is
# measured and the environment variables that size the run (defaults take about 5 minutes).
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
if ! compgen -G "$ZQ_ROOT/zq_gps*.so" >/dev/null; then
    echo "bench/live: zq_gps is not built in $ZQ_ROOT" >&2
    exit 1
fi

exec /usr/bin/python3 "$here/bench_live.py"
