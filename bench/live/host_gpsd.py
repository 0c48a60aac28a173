#!/usr/bin/python3
"""Client side of the latency run for gpsd: notes when each epoch's first TPV report arrives.

Usage: host_gpsd.py GPSD_PORT GPSD_PID SECONDS
Prints one JSON object: the TPV reports seen with their CLOCK_MONOTONIC times, and the CPU use
of this client and of the gpsd daemon.
"""
import json
import os
import sys
import time

import gps


def proc_cpu(pid):
    """CPU time of all threads of a process, in seconds, from the scheduler's ns counters."""
    total = 0
    for tid in os.listdir("/proc/%d/task" % pid):
        with open("/proc/%d/task/%s/schedstat" % (pid, tid)) as f:
            total += int(f.read().split()[0])
    return total / 1e9


def main():
    port, pid, seconds = int(sys.argv[1]), int(sys.argv[2]), float(sys.argv[3])
    deadline = time.monotonic() + 10
    while True:
        try:
            session = gps.gps(host="127.0.0.1", port=port, mode=gps.WATCH_ENABLE | gps.WATCH_JSON)
            break
        except OSError:
            if time.monotonic() > deadline:
                print(json.dumps({"error": "gpsd did not accept a client within 10 s"}))
                return 1
            time.sleep(0.05)

    seen, last_time = [], None
    started = False
    t0 = cpu0 = gpsd0 = end = None
    for report in session:
        now = time.monotonic()
        if report["class"] != "TPV" or "lat" not in report:
            continue
        if not started:
            # Measure from the first fix on, once gpsd has recognised the receiver.
            started = True
            t0, cpu0, gpsd0 = now, time.process_time(), proc_cpu(pid)
            end = t0 + seconds
            continue
        if report.get("time") != last_time:
            seen.append((now, report.get("time"), report["lat"], report["lon"]))
            last_time = report.get("time")
        if now >= end:
            break
    t1, cpu1, gpsd1 = time.monotonic(), time.process_time(), proc_cpu(pid)
    session.close()
    print(json.dumps({
        "t_start": t0, "t_end": t1, "seen": seen,
        "cpu_client": cpu1 - cpu0,
        "cpu_daemon": gpsd1 - gpsd0,
    }))
    return 0


if __name__ == "__main__":
    sys.exit(main())
