"""Soak and load runs of the driver, each printing one JSON line of figures and exiting 1 when
a bound is broken.

    messages  N NAV-PVT messages (default 1,000,000) through the real codec and reader loop from
              an in-memory stream, the loop's pause stood in by a `time` whose sleep does not
              wait: every message accepted, resident memory growth after warm-up < 1 MB,
              constant thread and descriptor counts.
    getgps    a host thread calling getgps() flat out for S seconds (default 60) while the
              reader takes NAV-PVT at 25 Hz from zq-sim: no crash, every tuple element one the
              simulator sent (or the not-yet-known value).
    cycles    N stop/restart cycles (default 1000) on a pseudo-terminal, a frame accepted in
              every cycle: no growth in memory, threads or descriptors.

    /usr/bin/python3 bench/soak/driver_soak.py messages|getgps|cycles [--n N] [--seconds S]
        [--root build/root] [--build build]
"""
import argparse
import gc
import json
import os
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
# The tests' independent frame encoder: layout and checksum as the protocol notes give them.
sys.path.insert(0, os.path.join(REPO, "tests"))
from ubx_helpers import nav_pvt  # noqa: E402
PAGE = os.sysconf("SC_PAGE_SIZE")
RSS_BOUND = 1 << 20


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def fds():
    return len(os.listdir("/proc/self/fd"))


def expected(i):
    return (i * 7919 % 3600000000 - 1800000000, i * 104729 % 1800000000 - 900000000,
            100 + i % 9000, i % 60)


class Stream:
    """An endless-looking port: a block of BLOCK distinct frames (with NMEA between them)
    repeated until TOTAL frames have gone out, then end of data. No read time-out."""

    BLOCK = 1000

    def __init__(self, total):
        self.total = total
        nmea = b"$GPGGA,085000.80,3454.3736,S,13836.4872,E,2,00,,28.89,M,-1.662,M,,*4D\r\n"
        self.block = b"".join(nmea + nav_pvt(i, *expected(i)) for i in range(self.BLOCK))
        self.pos = 0
        self.limit = len(self.block) * -(-total // self.BLOCK)
        self.timeout = 2

    def read(self, n):
        n = min(n, self.limit - self.pos)
        out = bytearray()
        while len(out) < n:
            at = self.pos % len(self.block)
            piece = self.block[at:at + n - len(out)]
            out += piece
            self.pos += len(piece)
        return bytes(out)

    def close(self):
        pass


def load(root):
    sys.path.insert(0, os.path.abspath(root))
    os.environ["ROOT_PATH"] = tempfile.mkdtemp(prefix="zq-soak-")
    import zq_gps
    return zq_gps


def run_messages(zq, args):
    total = args.n
    warm = max(1, min(50000, total // 10))
    every = max(1, min(10000, total // 10))  # a short run still samples threads and fds
    stream = Stream(total)
    zq.serial = type("serial", (), {"Serial": staticmethod(lambda **kw: stream)})
    real_time = time
    state = {"n": 0, "last": None, "bad": 0, "rss_warm": None, "threads": set(), "fds": set(),
             "rss_max": 0, "g": None}
    done = threading.Event()
    bound = threading.Event()

    def record():
        # The loop reads the clock right after storing each accepted message, and sleeps at
        # the top of a pass unless it is draining a backlog: either sees every message.
        g = state["g"]
        if g is not None:
            m = g.parsed_data
            if m is not None and m is not state["last"]:
                state["last"] = m
                i = state["n"]
                lon, lat, pdop, sv = expected(i % Stream.BLOCK)
                if m.iTOW != i % Stream.BLOCK or g.getgps()[:4] != (lon / 1e7, lat / 1e7,
                                                                     pdop / 100, sv):
                    state["bad"] += 1
                state["n"] = i + 1
                if state["n"] == warm:
                    gc.collect()
                    state["rss_warm"] = rss()
                if state["n"] % every == 0:
                    state["threads"].add(threading.active_count())
                    state["fds"].add(fds())
                    if state["rss_warm"] is not None:
                        state["rss_max"] = max(state["rss_max"], rss())
                if state["n"] >= total:
                    g.stopit = 1
                    done.set()

    class Clock:
        @staticmethod
        def time():
            record()
            return real_time.time()

        @staticmethod
        def sleep(_):
            bound.wait(10)
            record()

    zq.time = Clock
    t0 = real_time.monotonic()
    g = zq.zq_gps(port="memory")
    state["g"] = g
    bound.set()
    finished = done.wait(args.timeout)
    g.stop()
    g.t1.join(5)
    elapsed = real_time.monotonic() - t0
    gc.collect()
    growth = max(state["rss_max"], rss()) - (state["rss_warm"] or 0)
    result = {"run": "messages", "messages": state["n"], "wrong_values": state["bad"],
              "seconds": round(elapsed, 1), "per_second": round(state["n"] / elapsed),
              "rss_after_warmup_kb": (state["rss_warm"] or 0) // 1024,
              "rss_growth_kb": growth // 1024, "thread_counts": sorted(state["threads"]),
              "fd_counts": sorted(state["fds"])}
    ok = (finished and state["n"] == total and state["bad"] == 0 and growth < RSS_BOUND
          and len(state["threads"]) == 1 and len(state["fds"]) == 1)
    return result, ok


def start_sim(build, rate):
    sim = os.path.join(build, "tools", "zq-sim")
    if not os.access(sim, os.X_OK):
        raise SystemExit("driver_soak: %s is not built" % sim)
    d = tempfile.mkdtemp(prefix="zq-soak-sim.")
    link, truth = os.path.join(d, "ttyGPS0"), os.path.join(d, "truth.jsonl")
    proc = subprocess.Popen([sim, "--quiet", "--link", link, "--truth", truth, "--rate",
                             str(rate), "--no-nmea"], stdout=subprocess.DEVNULL)
    deadline = time.monotonic() + 5
    while not os.path.exists(link + ".ctl"):
        if time.monotonic() > deadline or proc.poll() is not None:
            raise SystemExit("driver_soak: zq-sim did not start")
        time.sleep(0.01)
    return proc, link, truth


def run_getgps(zq, args):
    proc, link, truth_path = start_sim(args.build, 25)
    try:
        g = zq.zq_gps(port=link)
        stop = threading.Event()
        seen = set()
        calls = [0]

        def host():
            n = 0
            while not stop.is_set():
                seen.add(g.getgps())
                n += 1
            calls[0] = n

        t = threading.Thread(target=host)
        t0 = time.monotonic()
        t.start()
        time.sleep(args.seconds)  # the run's length, not a synchronisation
        stop.set()
        t.join(10)
        alive = g.t1.is_alive()
        g.stop()
        g.t1.join(5)
        elapsed = time.monotonic() - t0
    finally:
        proc.terminate()
        proc.wait(5)
    with open(truth_path) as f:
        lines = f.read().split("\n")
    # The simulator is ended by a signal: its last line may be cut short (a short run, e.g.
    # bench/run.sh --smoke, died on it now and then).
    truth = [json.loads(line) for line in lines[:-1] if line.strip()]
    sent = [x for x in truth if x.get("pvt") and x["sent"]]
    ok_sets = [{0} | {x["lon_e7"] / 1e7 for x in sent}, {0} | {x["lat_e7"] / 1e7 for x in sent},
               {99.99} | {x["pDOP"] / 100 for x in sent}, {-1} | {x["numSV"] for x in sent},
               {-1} | {x["gSpeed"] for x in sent}, None, {-1} | {x["headMot"] for x in sent}]
    invalid = 0
    for tup in seen:
        for k, v in enumerate(tup):
            if ok_sets[k] is None:
                invalid += not (type(v) is int and v >= -1)
            else:
                invalid += v not in ok_sets[k]
    result = {"run": "getgps", "seconds": round(elapsed, 1), "getgps_calls": calls[0],
              "calls_per_second": round(calls[0] / elapsed), "distinct_tuples": len(seen),
              "epochs_sent": len(sent), "invalid_elements": invalid, "reader_alive": alive}
    return result, alive and invalid == 0 and calls[0] > 0 and len(seen) > 1


def run_cycles(zq, args):
    master, slave = os.openpty()
    path = os.ttyname(slave)
    g = zq.zq_gps(port=path)
    g.stop()
    g.t1.join(5)
    threads0, fds0 = threading.active_count(), fds()
    rss_warm = None
    rss_max = 0
    misses = 0
    warm = max(1, min(100, args.n // 10))  # a run of fewer than 10 cycles warms up in one
    t0 = time.monotonic()
    for i in range(args.n):
        g.stopit = 0
        g.restart()
        os.write(master, nav_pvt(i, *expected(i)))
        deadline = time.monotonic() + 5
        while g.getgps()[3] != expected(i)[3] or g.parsed_data is None or \
                g.parsed_data.iTOW != i:
            if time.monotonic() > deadline:
                misses += 1
                break
            time.sleep(0.001)
        g.ser.cancel_read()
        g.stop()
        g.t1.join(5)
        if i + 1 == warm:
            gc.collect()
            rss_warm = rss()
        elif rss_warm is not None:
            rss_max = max(rss_max, rss())
    elapsed = time.monotonic() - t0
    gc.collect()
    growth = max(rss_max, rss()) - rss_warm
    threads1, fds1 = threading.active_count(), fds()
    os.close(master)
    os.close(slave)
    result = {"run": "cycles", "cycles": args.n, "missed_frames": misses,
              "seconds": round(elapsed, 1), "final_index": g.index,
              "rss_growth_kb": growth // 1024, "threads_before_after": [threads0, threads1],
              "fds_before_after": [fds0, fds1]}
    ok = (misses == 0 and growth < RSS_BOUND and threads0 == threads1 and fds0 == fds1
          and g.index == args.n - 1)
    return result, ok


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("run", choices=["messages", "getgps", "cycles"])
    ap.add_argument("--n", type=int)
    ap.add_argument("--seconds", type=float, default=60)
    ap.add_argument("--timeout", type=float, default=1800)
    ap.add_argument("--root", default=os.environ.get("ZQ_ROOT", os.path.join(REPO, "build", "root")))
    ap.add_argument("--build", default=os.environ.get("ZQ_BUILD", os.path.join(REPO, "build")))
    args = ap.parse_args()
    if args.n is None:
        args.n = 1000000 if args.run == "messages" else 1000
    zq = load(args.root)
    result, ok = {"messages": run_messages, "getgps": run_getgps, "cycles": run_cycles}[
        args.run](zq, args)
    result["ok"] = ok
    print(json.dumps(result), flush=True)
    # A reader thread that did not end keeps a non-daemon process alive; do not wait for it.
    os._exit(0 if ok else 1)


if __name__ == "__main__":
    main()
