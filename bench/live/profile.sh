#!/usr/bin/env bash
# Where the hub host's CPU goes: the simulator (NAV-PVT + NMEA) at RATE Hz, the hub.wait() host
# of the live bench on it, and `perf record` on that host for SECONDS once it runs. Prints the
# top symbols (by object and symbol, self time) and the host's own JSON summary line.
# usage: bench/live/profile.sh [RATE (25)] [SECONDS (20)] [main|thread (main)]
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
repo="$(cd "$here/../.." && pwd)"
build="${ZQ_BUILD:-$repo/build}"
export ZQ_ROOT="${ZQ_ROOT:-$build/root}"
rate="${1:-25}"
seconds="${2:-20}"
export BENCH_HUB_WAITER="${3:-main}"
command -v perf >/dev/null || { echo "bench/live/profile.sh: perf is not installed" >&2; exit 1; }

work="$(mktemp -d /tmp/zq-profile.XXXXXX)"
sim_pid="" host_pid=""
cleanup() {
    [ -n "$host_pid" ] && kill "$host_pid" 2>/dev/null || true
    [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

"$build/tools/zq-sim" --link "$work/tty" --truth /dev/null --rate "$rate" --quiet &
sim_pid=$!
for _ in $(seq 50); do [ -L "$work/tty" ] && break; sleep 0.1; done
(cd "$work" && exec /usr/bin/python3 "$here/host_hub.py" wait "$work/tty" $((seconds + 4)) \
    >"$work/host.json") &
host_pid=$!
sleep 2  # past the receiver's start and the first message
perf record -q -F 4000 -g -p "$host_pid" -o "$work/perf.data" -- sleep "$seconds" 2>/dev/null
wait "$host_pid" || true
host_pid=""
echo "hub.wait() host at $rate Hz, waiting on: $BENCH_HUB_WAITER thread, $seconds s under perf" \
    "(self time, call graphs in perf.data are not kept):"
perf report -i "$work/perf.data" --no-children --sort dso,sym --stdio -g none 2>/dev/null \
    | grep '%' | head -30 || true  # head ends the pipe early
/usr/bin/python3 - "$work/host.json" <<'EOF'
import json, sys
lines = [x for x in open(sys.argv[1]) if x.startswith("{")]
if not lines:
    sys.exit("bench/live/profile.sh: the host gave no result")
d = json.loads(lines[-1])
n = len(d.get("seen", []))
c = d.get("counters", {})
print("messages %d; per message (perf's sampling inflates these): process CPU %.1f us, threads (CPU us, wake-ups): %s" % (
    n, 1e6 * c.get("cpu", 0) / max(n, 1),
    ", ".join("%s %.1f/%.2f" % (k, 1e6 * v[0] / max(n, 1), v[1] / max(n, 1))
              for k, v in c.get("threads", {}).items())))
EOF
