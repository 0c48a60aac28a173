#!/usr/bin/env bash
# Runs the example host program on a receiver: the simulated one (started and stopped here)
# when no PORT is given, else the device at PORT.
# Usage: tools/demo.sh [PORT]   env: ZQ_BUILD (build dir), ROOT/ZQ_ROOT, DEMO_SECONDS, SIM_ARGS
set -euo pipefail
# The script's real place, also when it is called through a link on PATH (/usr/bin/zq-demo).
here="$(cd "$(dirname "$(readlink -f "$0")")" && pwd)"
repo="$(dirname "$here")"
prog="$(basename "$0")"
case "${1:-}" in
    -h|--help)
        cat <<EOF
usage: $prog [PORT]

Runs the example host program (demo_host.py) on a receiver: on the simulated one, started
here and stopped at the end, when no PORT is given; else on the device at PORT. It prints one
line a second from zq_gps: position, pDOP, satellites, speed, heading, fix; and it serves
gpsd's protocol on 127.0.0.1 for gpsd's clients (cgps, gpspipe) meanwhile.

options:
  -h, --help     this help
  --version      the project's version

environment:
  DEMO_SECONDS   how long the host runs, 0: until Ctrl-C (default 10)
  SIM_ARGS       more options for the simulator (zq-sim --help)
  DEMO_GPSD_PORT the gpsd protocol's port (default 2947, else a free one; 0: a free one;
                 off: none)
  ZQ_BUILD       the build directory (in the repository: build, else build-demo)
  ZQ_ROOT        the deployment root holding zq_gps (also ROOT; default: the build's root/)
EOF
        exit 0 ;;
    --version)
        exec /usr/bin/python3 "$here/zq_tool.py" version "$prog" ;;
    -*)
        echo "$prog: unknown option $1 (see $prog --help)" >&2
        exit 2 ;;
esac
build="${ZQ_BUILD:-$repo/build}"
# In the repository: the build of `make`, else the one `make demo` made.
if [ -z "${ZQ_BUILD:-}" ] && ! compgen -G "$build/root/zq_gps*.so" >/dev/null &&
    compgen -G "$repo/build-demo/root/zq_gps*.so" >/dev/null; then
    build="$repo/build-demo"
fi
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
    [ -x "$sim" ] || sim="$here/zq-sim"
    if [ ! -x "$sim" ]; then
        echo "demo: $sim is not built (run make first)" >&2
        exit 1
    fi
    workdir="$(mktemp -d /tmp/zq-demo.XXXXXX)"
    port="$workdir/ttyGPS0"
    # shellcheck disable=SC2086
    "$sim" --link "$port" --rate 1 --sky --truth "$workdir/truth.jsonl" ${SIM_ARGS:-} \
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

/usr/bin/python3 "$here/demo_host.py" "$port"
