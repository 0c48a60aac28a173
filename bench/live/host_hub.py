#!/usr/bin/python3
"""Host side of the latency run with a hub: blocks in hub.wait() and notes when it wakes.

Usage: host_hub.py wait PORT SECONDS
       host_hub.py messages PORT SECONDS [all]
(ZQ_ROOT: deployment root.)

wait: attaches zq_hub to the receiver and loops on hub.wait(); for each message it notes the
CLOCK_MONOTONIC time of the wake-up, the message's raw lat/lon, what getgps() called next shows
(that message or a newer one, the harness checks) and the message's rx_time (when the reader
took its bytes), which splits the latency into the wire-to-reader and reader-to-host parts.
messages: iterates hub.messages() (the accepted messages, NAV-PVT) and notes every message with
its iTOW and lat; with "all", a second thread iterates hub.messages(identities=the ten of the
throughput epoch) and notes their identities in order.
Both print one JSON object: what was seen, the CPU of the whole process and of the reader
thread, and the wake-ups (voluntary context switches) of the reader and of the host's thread.
"""
import json
import os
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from bench_common import switches, thread_cpu  # noqa: E402

# The thread that waits: "main" (the interpreter's main thread) or "thread" (one of its own).
WAITER = os.environ.get("BENCH_HUB_WAITER", "main")
EPOCH_IDENTITIES = ["NAV-POSLLH", "NAV-STATUS", "NAV-DOP", "NAV-PVT", "NAV-VELNED",
                    "NAV-TIMEUTC", "NAV-SAT", "NAV-EOE", "MON-HW", "MON-RF"]


def fail(g, text):
    print(json.dumps({"error": text}))
    if g is not None:
        g.stop()
    return 1


def open_receiver(port):
    root = os.environ["ZQ_ROOT"]
    sys.path.insert(0, root)
    os.environ.setdefault("ROOT_PATH", root)
    import zq_gps
    import zq_hub

    g = zq_gps.zq_gps(gpsmode="NAV-PVT", port=port)
    hub = zq_hub.attach(g)
    return g, hub


def close_receiver(g, hub):
    """Closes the hub and stops the receiver; whether its reader was still alive before, and the
    hub's drop count (None when the hub has none)."""
    alive = g.t1.is_alive()
    dropped = getattr(hub, "dropped", None)
    hub.close()
    g.stop()
    g.t1.join(timeout=5)
    return alive, dropped


def threads_cpu():
    """{"<tid> <name>": (CPU seconds, voluntary switches)} of every thread of this process, from
    the scheduler's nanosecond counters: where the process's CPU goes."""
    out = {}
    for tid in os.listdir("/proc/self/task"):
        try:
            with open("/proc/self/task/%s/schedstat" % tid) as f:
                ns = int(f.read().split()[0])
            with open("/proc/self/task/%s/comm" % tid) as f:
                name = f.read().strip()
            out["%s %s" % (tid, name)] = (ns / 1e9, switches(int(tid)))
        except (OSError, ValueError):
            pass  # a thread that ended meanwhile
    return out


def counters(g):
    """Taken on the thread that waits (the host's)."""
    return {"t": time.monotonic(), "cpu": time.process_time(), "reader_cpu": thread_cpu(g.t1),
            "reader_wakeups": switches(g.t1.native_id),
            "host_wakeups": switches(threading.get_native_id()), "threads": threads_cpu(),
            "host_tid": threading.get_native_id(), "reader_tid": g.t1.native_id}


def delta(a, b):
    out = {k: b[k] - a[k] for k in a if k not in ("threads", "host_tid", "reader_tid")}
    names = {a["host_tid"]: "host", a["reader_tid"]: "reader"}
    threads = {}
    for key, (cpu, woke) in b["threads"].items():
        c0, w0 = a["threads"].get(key, (0.0, 0))
        tid = int(key.split()[0])
        threads[names.get(tid, key)] = (round(cpu - c0, 6), woke - w0)
    out["threads"] = threads
    return out


def wait_loop(g, hub, seconds, seen, timeouts, marks):
    """The host: blocks in hub.wait() for SECONDS, on whichever thread calls it."""
    marks.append(counters(g))
    end = marks[0]["t"] + seconds
    while True:
        m = hub.wait(timeout=1.0)
        now = time.monotonic()
        if m is None:
            timeouts.append(now)
        else:
            # wait() returns after the reader has stored the message, so getgps() called next
            # shows it or a newer one; the harness checks that against the stream's order.
            shown = g.getgps()[1]
            seen.append((now, m.lat, m.lon, round(shown * 1e7) if shown else None,
                         getattr(m, "rx_time", None)))
        if now >= end:
            break
    marks.append(counters(g))


def run_wait(port, seconds):
    g, hub = open_receiver(port)
    if not callable(getattr(hub, "wait", None)):
        hub.close()
        return fail(g, "zq_hub's Hub has no wait() in this build")
    if hub.wait(timeout=10) is None:
        hub.close()
        return fail(g, "no NAV-PVT from hub.wait() within 10 s")
    seen, timeouts = [], []
    marks = []
    if WAITER == "thread":
        t = threading.Thread(target=wait_loop, args=(g, hub, seconds, seen, timeouts, marks))
        t.start()
        t.join()
    else:
        wait_loop(g, hub, seconds, seen, timeouts, marks)
    c0, c1 = marks
    timeouts = len(timeouts)
    alive, dropped = close_receiver(g, hub)
    print(json.dumps({
        "t_start": c0["t"], "t_end": c1["t"], "seen": seen, "timeouts": timeouts,
        "reader_alive": alive, "dropped": dropped,
        "counters": delta(c0, c1),
    }))
    return 0


def iterate(hub, out, seconds, identities, started, drops):
    """Notes (t, identity, iTOW, lat) of each message until SECONDS have passed, then the
    iteration's own drop count (None when the iterator has none) in DROPS."""
    it = hub.messages(identities=identities, timeout=2.0) if identities else \
        hub.messages(timeout=2.0)
    started.append(time.monotonic())
    end = started[0] + seconds
    for m in it:
        now = time.monotonic()
        ident = m.identity
        out.append((now, ident, getattr(m, "iTOW", None),
                    m.lat if ident == "NAV-PVT" else None))
        if now >= end:
            break
    else:
        out.append((time.monotonic(), "<end of iteration>", None, None))
    drops.append(getattr(it, "dropped", None))
    if callable(getattr(it, "close", None)):
        it.close()


def run_messages(port, seconds, every):
    g, hub = open_receiver(port)
    if not callable(getattr(hub, "messages", None)):
        hub.close()
        return fail(g, "zq_hub's Hub has no messages() in this build")
    if callable(getattr(hub, "wait", None)) and hub.wait(timeout=10) is None:
        hub.close()
        return fail(g, "no NAV-PVT from hub.wait() within 10 s")
    accepted, listed = [], []
    t_acc, t_all, d_acc, d_all = [], [], [], []
    side = None
    if every:
        side = threading.Thread(target=iterate, args=(hub, listed, seconds, EPOCH_IDENTITIES,
                                                      t_all, d_all))
        side.start()
    c0 = counters(g)
    iterate(hub, accepted, seconds, None, t_acc, d_acc)
    c1 = counters(g)
    if side:
        side.join(seconds + 10)
    alive, dropped = close_receiver(g, hub)
    print(json.dumps({
        "t_start": t_acc[0] if t_acc else c0["t"], "t_end": c1["t"],
        "t_start_all": t_all[0] if t_all else None,
        "accepted": accepted, "listed": listed, "dropped": dropped,
        "dropped_iterator": d_acc[0] if d_acc else None,
        "dropped_iterator_listed": d_all[0] if d_all else None, "reader_alive": alive,
        "counters": delta(c0, c1),
    }))
    return 0


def main():
    mode, port, seconds = sys.argv[1], sys.argv[2], float(sys.argv[3])
    try:
        if mode == "wait":
            return run_wait(port, seconds)
        if mode == "messages":
            return run_messages(port, seconds, len(sys.argv) > 4 and sys.argv[4] == "all")
    except Exception as e:  # the harness reads one JSON line whatever happens
        print(json.dumps({"error": "%s: %s" % (type(e).__name__, e)}))
        return 1
    print("usage: host_hub.py wait|messages PORT SECONDS [all]", file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main())
