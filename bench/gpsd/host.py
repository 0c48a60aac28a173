#!/usr/bin/python3
"""A host that polls getgps() (as bench/live's does) while the hub serves gpsd to N clients.

Usage: host.py PORT SECONDS POLL_SECONDS CLIENTS   (ZQ_ROOT: deployment root)
Prints one JSON object: the values seen with their CLOCK_MONOTONIC times, and what the clients
received.
"""
import json
import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))


def main():
    port, seconds, poll, clients = sys.argv[1], float(sys.argv[2]), float(sys.argv[3]), \
        int(sys.argv[4])
    root = os.environ["ZQ_ROOT"]
    sys.path.insert(0, root)
    os.environ.setdefault("ROOT_PATH", root)
    import zq_gps
    import zq_hub

    g = zq_gps.zq_gps(gpsmode="NAV-PVT", port=port)
    hub = zq_hub.attach(g)
    gpsd_port = hub.serve_gpsd(port=0)
    watchers = None
    if clients:
        watchers = subprocess.Popen(["/usr/bin/python3", os.path.join(HERE, "client.py"),
                                     str(gpsd_port), str(os.getpid()), str(clients),
                                     str(seconds)], stdout=subprocess.PIPE, text=True)
    deadline = time.monotonic() + 10
    while not g.flag and time.monotonic() < deadline:
        time.sleep(0.01)
    time.sleep(1.0)  # the clients' settling second
    seen = []
    prev = None
    t0 = time.monotonic()
    end = t0 + seconds
    while time.monotonic() < end:
        now = time.monotonic()
        lon, lat = g.getgps()[:2]
        if (lon, lat) != prev:
            seen.append((now, round(lat * 1e7), round(lon * 1e7)))
            prev = (lon, lat)
        time.sleep(poll)
    out = {}
    if watchers:
        out = json.loads(watchers.communicate(timeout=30)[0].strip().splitlines()[-1])
    hub.close()
    g.stop()
    g.t1.join(timeout=5)
    print(json.dumps({"t_start": t0, "t_end": time.monotonic(), "seen": seen,
                      "client_tpvs_min": min(out["counts"]) if out.get("counts") else None}))


if __name__ == "__main__":
    sys.exit(main())
