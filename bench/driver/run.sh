#!/usr/bin/env bash
# Driver latency on a pseudo-terminal, at 1, 10 and 25 Hz.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
for rate in 1 10 25; do
    frames=$(( rate == 1 ? 20 : 100 ))
    /usr/bin/python3 "$here/latency.py" --rate "$rate" --frames "$frames" "$@"
done
