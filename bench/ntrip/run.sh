#!/usr/bin/env bash
# NTRIP relay latency and CPU, zq-hub against str2str on the same caster; see latency.py.
# BENCH_NTRIP_EPOCHS sizes the run (default 300 epochs at 1 and at 10 frames each).
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
repo="$(cd "$here/../.." && pwd)"
export ZQ_BUILD="${ZQ_BUILD:-$repo/build}"
export ZQ_ROOT="${ZQ_ROOT:-$ZQ_BUILD/root}"
"$repo/scripts/install-deps.sh" rtklib
exec /usr/bin/python3 "$here/latency.py" --epochs "${BENCH_NTRIP_EPOCHS:-300}"
