#!/usr/bin/python3
"""Crossings between the module and the codec, per accepted message, on a live stream.

zq_gps looks up UBXReader in its own namespace when it opens the port, so a stand-in can sit
there (as in the tests). This one wraps the real libs.pyubx2.UBXReader: it passes every call on
and counts it, and the messages it returns are proxies of the real ones that count every
attribute read, comparison and str()/repr() before passing it on. Each of those is one call
from the module into the codec (the stand-in's own bookkeeping goes around the counters). The
simulator sends NAV-PVT and the NMEA set at BENCH_CROSSINGS_RATE Hz; counting starts after the
first accepted message and lasts BENCH_CROSSINGS_SECONDS.

Runs: the module alone ("alone"), and with a hub attached (zq_hub.attach) and a host thread
blocked in hub.wait() when the hub has it ("hub"). A stand-in reader takes no native tap, so the
hub's notifications go through the generic path; what this counts for the hub run is the
module's and the hub's calls into the codec with such a reader. The stand-in always takes the
module's generic path, so a native path for the codec's own messages would not show in its
count: the third run ("real") uses the real reader untouched and gives its CPU and wake-ups
per epoch, which is where such a path shows.

Also counts the reader thread's wake-ups (voluntary context switches) per accepted message.

Environment: ZQ_BUILD, ZQ_ROOT, BENCH_CROSSINGS_RATE (10), BENCH_CROSSINGS_SECONDS
(BENCH_SECONDS or 10, at most 10), BENCH_CROSSINGS_RUNS ("alone hub real").
Prints a small table per run and, last, one JSON line with the figures.
"""
import collections
import json
import os
import signal
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))
from bench_common import ROOT, SIM, switches, thread_cpu  # noqa: E402

RATE = float(os.environ.get("BENCH_CROSSINGS_RATE", "10"))
SECONDS = float(os.environ.get("BENCH_CROSSINGS_SECONDS",
                               str(min(10.0, float(os.environ.get("BENCH_SECONDS", "10"))))))
RUNS = os.environ.get("BENCH_CROSSINGS_RUNS", "alone hub real").split()


class Counter:
    """Counts by name; reset() and snapshot() from the host thread (the GIL orders them)."""

    def __init__(self):
        self.on = False
        self.counts = collections.Counter()
        self.accepted = 0

    def add(self, name):
        if self.on:
            self.counts[name] += 1

    def reset(self):
        self.counts = collections.Counter()
        self.accepted = 0
        self.on = True

    def snapshot(self):
        self.on = False
        return dict(self.counts), self.accepted


COUNT = Counter()


class CountingMessage:
    """Proxy of a real codec message: every attribute read, comparison and str()/repr() the
    module makes is counted, then done on the real message."""

    __slots__ = ("_real",)

    def __init__(self, real):
        object.__setattr__(self, "_real", real)

    def __getattribute__(self, name):
        COUNT.add("msg." + name)
        return getattr(object.__getattribute__(self, "_real"), name)

    def __eq__(self, other):
        COUNT.add("msg ==")
        return object.__getattribute__(self, "_real") == other

    def __ne__(self, other):
        COUNT.add("msg !=")
        return object.__getattribute__(self, "_real") != other

    __hash__ = None

    def __str__(self):
        COUNT.add("str(msg)")
        return str(object.__getattribute__(self, "_real"))

    def __repr__(self):
        COUNT.add("repr(msg)")
        return repr(object.__getattribute__(self, "_real"))


def counting_reader_class(real_cls, gpsmode):
    class CountingReader:
        """Stand-in UBXReader around the real one; counts each call the module makes."""

        def __init__(self, *args, **kwargs):
            object.__setattr__(self, "_real", real_cls(*args, **kwargs))

        def read(self):
            COUNT.add("reader.read()")
            raw, msg = object.__getattribute__(self, "_real").read()
            if msg is None or isinstance(msg, str):
                return raw, msg
            if COUNT.on and msg.identity == gpsmode:
                COUNT.accepted += 1
            return raw, CountingMessage(msg)

        def __getattr__(self, name):
            # Everything but read(): backlog, stats, the hub's _set_tap, ...
            COUNT.add("reader." + name)
            return getattr(object.__getattribute__(self, "_real"), name)

    return CountingReader


def measure(port, mode):
    import zq_gps
    from libs import pyubx2

    with_hub = mode == "hub"
    if mode != "real":
        zq_gps.UBXReader = counting_reader_class(pyubx2.UBXReader, "NAV-PVT")
    g = zq_gps.zq_gps(gpsmode="NAV-PVT", port=port)
    hub = waiter = None
    waits = []
    done = threading.Event()
    try:
        if with_hub:
            import zq_hub
            hub = zq_hub.attach(g)
            if callable(getattr(hub, "wait", None)):
                def wait_loop():
                    while not done.is_set():
                        if hub.wait(timeout=0.5) is not None:
                            waits.append(1)
                waiter = threading.Thread(target=wait_loop, daemon=True)
                waiter.start()
        deadline = time.monotonic() + 10
        while not g.flag:
            if time.monotonic() > deadline:
                raise RuntimeError("no NAV-PVT within 10 s")
            time.sleep(0.01)
        tid = g.t1.native_id
        w0, cpu0 = switches(tid), thread_cpu(g.t1)
        waits.clear()
        t0 = time.monotonic()
        COUNT.reset()
        time.sleep(SECONDS)
        counts, accepted = COUNT.snapshot()
        t1 = time.monotonic()
        w1, cpu1 = switches(tid), thread_cpu(g.t1)
        woke = len(waits)
    finally:
        done.set()
        if waiter:
            waiter.join(5)
        if hub:
            hub.close()
        g.stop()
        g.t1.join(timeout=5)
    total = sum(counts.values())
    if mode == "real":
        return {"hub": False, "real_reader": True, "t_start": t0, "t_end": t1,
                "reader_cpu": cpu1 - cpu0, "reader_wakeups": w1 - w0, "hub_waits": None}
    return {
        "t_start": t0, "t_end": t1, "reader_cpu": cpu1 - cpu0,
        "hub": with_hub, "hub_waits": woke if with_hub and waiter else None,
        "seconds": SECONDS, "rate_hz": RATE, "accepted": accepted,
        "crossings": total,
        "crossings_per_accepted": round(total / accepted, 2) if accepted else None,
        "by_name_per_accepted": {k: round(v / accepted, 2) for k, v in
                                 sorted(counts.items(), key=lambda kv: -kv[1])} if accepted
        else {},
        "reader_wakeups_per_accepted": round((w1 - w0) / accepted, 2) if accepted else None,
    }


def child(port, mode):
    sys.path.insert(0, ROOT)
    os.environ.setdefault("ROOT_PATH", ROOT)
    try:
        res = measure(port, mode)
    except Exception as e:
        res = {"error": "%s: %s" % (type(e).__name__, e)}
    print(json.dumps(res), flush=True)
    return 0 if "error" not in res else 1


def run(mode):
    with tempfile.TemporaryDirectory(prefix="zq-cross.") as workdir:
        link = os.path.join(workdir, "ttyGPS0")
        truth = os.path.join(workdir, "truth.jsonl")
        sim = subprocess.Popen([SIM, "--link", link, "--truth", truth, "--rate",
                                "%g" % RATE, "--quiet"])
        try:
            deadline = time.monotonic() + 5
            while not os.path.islink(link):
                if time.monotonic() > deadline:
                    raise RuntimeError("the simulator's device did not appear")
                time.sleep(0.01)
            r = subprocess.run(
                ["/usr/bin/python3", os.path.abspath(__file__), "--child", link, mode],
                capture_output=True, text=True, timeout=SECONDS + 60,
                env=dict(os.environ, ZQ_ROOT=ROOT), cwd=workdir)
        finally:
            sim.send_signal(signal.SIGTERM)
            sim.wait(10)
        with open(truth) as f:
            sent = [json.loads(x) for x in f if x.strip()]
    lines = [x for x in r.stdout.splitlines() if x.startswith("{")]
    if not lines:
        raise RuntimeError("crossings child (%s) gave no result: %s" % (mode, r.stderr[-2000:]))
    res = json.loads(lines[-1])
    if "error" in res:
        raise RuntimeError("crossings child (%s): %s" % (mode, res["error"]))
    # The reader's CPU per NAV-PVT the simulator sent in the window: with the counting
    # stand-in it includes the proxies' own cost; the real reader's shows what a native path
    # saves, which the stand-in's count cannot (it always takes the generic path).
    epochs = sum(1 for t in sent if t.get("sent") and t.get("pvt")
                 and res["t_start"] <= t["t_mono"] <= res["t_end"])
    res["epochs_sent"] = epochs
    res["reader_cpu_us_per_epoch"] = round(1e6 * res["reader_cpu"] / epochs, 1) if epochs \
        else None
    if mode == "real":
        res["reader_wakeups_per_epoch"] = round(res["reader_wakeups"] / epochs, 2) if epochs \
            else None
    return res


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "--child":
        return child(sys.argv[2], sys.argv[3])
    results = {}
    for mode in RUNS:
        results[mode] = r = run(mode)
        if mode == "real":
            print("the real reader, no stand-in, no hub, %g Hz NAV-PVT + NMEA for %g s: reader "
                  "CPU %s us per epoch, reader wake-ups per epoch %s" % (
                      RATE, SECONDS, r["reader_cpu_us_per_epoch"],
                      r["reader_wakeups_per_epoch"]))
            continue
        print("crossings between the module and the codec, %s, %g Hz NAV-PVT + NMEA for %g s: "
              "%s per accepted message (%d crossings, %d accepted); reader wake-ups per "
              "accepted message %s%s" % (
                  "module alone" if mode == "alone" else "hub attached", RATE, SECONDS,
                  r["crossings_per_accepted"], r["crossings"], r["accepted"],
                  r["reader_wakeups_per_accepted"],
                  "" if r["hub_waits"] is None else "; hub.wait() woke %d times" % r["hub_waits"])
              + "; reader CPU %s us per epoch with the stand-in" % r["reader_cpu_us_per_epoch"])
        print("  " + ", ".join("%s %s" % kv for kv in r["by_name_per_accepted"].items()))
    print(json.dumps(results))
    return 0


if __name__ == "__main__":
    sys.exit(main())
