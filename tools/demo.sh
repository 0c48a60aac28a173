#!/usr/bin/env bash
# Runs the example host program on a receiver: the simulated one (started and stopped here)
# when no PORT is given, else the device at PORT.
# Usage: tools/demo.sh [PORT]   env: ZQ_BUILD (build dir), ROOT/ZQ_ROOT, DEMO_SECONDS, SIM_ARGS
set -euo pipefail
repo="$(cd "$(dirname "$0")/.." && pwd)"
build="${ZQ_BUILD:-$repo/build}"
default_root="$build/root"
# In an installed tree (/opt/zq_gps/tools/demo.sh) the parent directory is the deployment root
# and the simulator sits beside this script.
if [ ! -f "$repo/Makefile" ] && compgen -G "$repo/zq_gps*.so" >/dev/null; then
    default_root="$repo"
    build="${ZQ_BUILD:-$repo}"
fi
export ROOT="${ROOT:-${ZQ_ROOT:-$default_root}}"
port="${1:-}"

if ! compgen -G "$ROOT/zq_gps*.so" >/dev/null; then
    echo "demo: zq_gps is not built in $ROOT (run make first)" >&2
    exit 1
fi

sim_pid=""
workdir=""
cleanup() {
    if [ -n "$sim_pid" ]; then
        kill -TERM "$sim_pid" 2>/dev/null || true
        wait "$sim_pid" 2>/dev/null || true
    fi
    if [ -n "$workdir" ]; then rm -rf "$workdir"; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

if [ -z "$port" ]; then
    sim="$build/tools/zq-sim"
    [ -x "$sim" ] || sim="$(dirname "$0")/zq-sim"
    if [ ! -x "$sim" ]; then
        echo "demo: $sim is not built (run make first)" >&2
        exit 1
    fi
    workdir="$(mktemp -d /tmp/zq-demo.XXXXXX)"
    port="$workdir/ttyGPS0"
    # shellcheck disable=SC2086
    "$sim" --link "$port" --rate 1 --truth "$workdir/truth.jsonl" ${SIM_ARGS:-} \
        2>"$workdir/sim.log" &
    sim_pid=$!
    deadline=$((SECONDS + 5))
    until [ -L "$port" ]; do
        if ! kill -0 "$sim_pid" 2>/dev/null; then
            echo "demo: zq-sim exited:" >&2
            cat "$workdir/sim.log" >&2
            exit 1
        fi
        if [ $SECONDS -ge $deadline ]; then
            echo "demo: $port did not appear within 5 s" >&2
            exit 1
        fi
        sleep 0.05
    done
    echo "demo: simulated receiver on $port (control: echo 'unplug 3' > $port.ctl)"
fi

/usr/bin/python3 "$repo/tools/demo_host.py" "$port"
