#!/usr/bin/python3
"""A minimal gpsd client for the benchmark: N connections watch JSON; the first one notes when
each epoch's TPV arrives (CLOCK_MONOTONIC). Measures the server process's CPU meanwhile.

Usage: client.py PORT SERVER_PID CLIENTS SECONDS
Prints one JSON object: seen [[t_mono, time, lat, lon]...] of connection 0, tpv counts per
connection, the server's CPU seconds over the window, t_start and t_end.
"""
import json
import os
import select
import socket
import sys
import time


def proc_cpu(pid, name=None):
    """CPU time of the threads of a process (those called NAME, or all), seconds, from the
    scheduler's ns counters."""
    total = 0
    for tid in os.listdir("/proc/%d/task" % pid):
        try:
            if name is not None:
                with open("/proc/%d/task/%s/comm" % (pid, tid)) as f:
                    if f.read().strip() != name:
                        continue
            with open("/proc/%d/task/%s/schedstat" % (pid, tid)) as f:
                total += int(f.read().split()[0])
        except OSError:
            pass
    return total / 1e9


def main():
    port, pid, n, seconds = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3]), float(sys.argv[4])
    socks = []
    for _ in range(n):
        s = socket.create_connection(("127.0.0.1", port), timeout=10)
        s.sendall(b'?WATCH={"enable":true,"json":true};\n')
        s.setblocking(False)
        socks.append(s)
    bufs = {s: b"" for s in socks}
    counts = {s: 0 for s in socks}
    seen = []
    # A settling second: the sessions' first objects and the first fix.
    warm = time.monotonic() + 1.0
    t_start = None
    cpu0 = thread0 = 0
    end = None
    while True:
        now = time.monotonic()
        if t_start is None and now >= warm:
            t_start, cpu0, thread0 = now, proc_cpu(pid), proc_cpu(pid, "zq-gpsd")
            end = t_start + seconds
        if end is not None and now >= end:
            break
        ready, _, _ = select.select(socks, [], [], 0.5)
        for s in ready:
            t = time.monotonic()
            data = s.recv(1 << 16)
            if not data:
                print(json.dumps({"error": "server closed a connection"}))
                return
            buf = bufs[s] + data
            *lines, bufs[s] = buf.split(b"\n")
            for line in lines:
                if not line.startswith(b'{"class":"TPV"'):
                    continue
                o = json.loads(line)
                if "time" not in o or t_start is None:
                    continue
                counts[s] += 1
                if s is socks[0]:
                    seen.append([t, o["time"], o.get("lat"), o.get("lon")])
    cpu = proc_cpu(pid) - cpu0
    thread = proc_cpu(pid, "zq-gpsd") - thread0
    print(json.dumps({"seen": seen, "counts": [counts[s] for s in socks], "cpu_server": cpu,
                      "cpu_server_thread": thread,
                      "t_start": t_start, "t_end": end}))


if __name__ == "__main__":
    main()
