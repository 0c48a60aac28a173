#!/usr/bin/python3
"""Host side of the latency run for zq_gps: polls getgps() and notes when a new value shows.

Usage: host_zq.py PORT SECONDS POLL_SECONDS   (ZQ_ROOT: deployment root)
Prints one JSON object: the values seen with their CLOCK_MONOTONIC times, CPU use, and the
reader thread's wake-ups (voluntary context switches). It never imports zq_hub: this is the
module alone.
"""
import json
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from bench_common import switches, thread_cpu  # noqa: E402


def main():
    port, seconds, poll = sys.argv[1], float(sys.argv[2]), float(sys.argv[3])
    root = os.environ["ZQ_ROOT"]
    sys.path.insert(0, root)
    os.environ.setdefault("ROOT_PATH", root)
    import zq_gps

    g = zq_gps.zq_gps(gpsmode="NAV-PVT", port=port)
    deadline = time.monotonic() + 10
    while not g.flag:
        if time.monotonic() > deadline:
            print(json.dumps({"error": "no NAV-PVT within 10 s"}))
            g.stop()
            return 1
        time.sleep(0.01)

    seen = []
    prev = None
    t0 = time.monotonic()
    cpu0 = time.process_time()
    reader0 = thread_cpu(g.t1)
    wake0 = switches(g.t1.native_id)
    end = t0 + seconds
    while True:
        now = time.monotonic()
        if now >= end:
            break
        lon, lat = g.getgps()[:2]
        if (lon, lat) != prev:
            # parsed_data is stored before lon/lat, so it is this message or a newer one.
            pd = g.parsed_data
            seen.append((now, round(lat * 1e7), round(lon * 1e7),
                         getattr(pd, "rx_time", None) if pd is not None and
                         (pd.lat, pd.lon) == (round(lat * 1e7), round(lon * 1e7)) else None))
            prev = (lon, lat)
        time.sleep(poll)
    t1 = time.monotonic()
    cpu1 = time.process_time()
    reader1 = thread_cpu(g.t1)
    wake1 = switches(g.t1.native_id)
    alive = g.t1.is_alive()
    g.stop()
    g.t1.join(timeout=5)
    print(json.dumps({
        "t_start": t0, "t_end": t1, "seen": seen, "reader_alive": alive,
        "cpu": cpu1 - cpu0,
        "cpu_reader_thread": reader1 - reader0,
        "reader_wakeups": wake1 - wake0,
    }))
    return 0


if __name__ == "__main__":
    sys.exit(main())
