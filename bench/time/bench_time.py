#!/usr/bin/python3
"""Time feed benchmark: the samples zq_hub and gpsd deliver to chronyd from one receiver stream.

zq-sim (its UTC is the host clock's, so the truth of every sample's offset is 0) writes to one
pty; a splitter copies each chunk to two more ptys, alternating which gets it first: one read by
gpsd 3.22 (-n -b, root, so it writes its in-band time to NTP SHM unit 0, which is where gpsd puts
the time of a receiver without PPS: it sends only PPS edges to a chrony SOCK socket), one by
zq-hub --chrony. One chronyd -x reads both (refclock SOCK, refid ZQ; refclock SHM 0, refid
GPSD) and logs every sample; from its refclocks.log, per rate: the count, the mean, the
standard deviation, and the p99 of |offset - truth| and of |offset - median|.

Runs in a private SysV IPC namespace (unshare -i) so that gpsd's SHM unit 0 is its own.
Environment: ZQ_BUILD, ZQ_ROOT, BENCH_RATES ("1 10"), BENCH_SECONDS (per rate, 60),
BENCH_OUT (result directory), BENCH_KEEP=1 keeps the logs. Target: ours at most half of gpsd's spread.
"""
import calendar
import json
import os
import re
import select
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import tty

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))
from bench_common import BUILD, PY, REPO, ROOT, SIM, wait_for  # noqa: E402

HUB = os.path.join(REPO, "tools", "zq-hub")
RATES = [float(r) for r in os.environ.get("BENCH_RATES", "1 10").split()]
SECONDS = float(os.environ.get("BENCH_SECONDS", "60"))
WARMUP = 8.0
OUT = os.environ.get("BENCH_OUT", os.path.join(BUILD, "bench-time"))


class Splitter(threading.Thread):
    """Copies the simulator's bytes to a pty (zq-hub's) and a TCP connection (gpsd's: gpsd
    keeps time from pty and pipe sources off NTP, as a test-harness guard), alternating which
    gets each chunk first; what the readers send back is dropped."""

    def __init__(self, source):
        super().__init__(daemon=True)
        self.src = os.open(source, os.O_RDWR | os.O_NOCTTY)
        tty.setraw(self.src)
        self.master, slave = os.openpty()
        tty.setraw(slave)
        self.slave = slave
        self.path = os.ttyname(slave)
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(1)
        self.port = self.listener.getsockname()[1]
        self.conn = None
        self.stop = False
        self.flip = False
        # CLOCK_REALTIME as each sink is given the chunk that ends a NAV-PVT frame.
        self.forwarded = {"zq_hub": [], "gpsd": []}
        self.tail = b""
        self.total = 0  # bytes forwarded
        self.ends = []  # stream positions where NAV-PVT frames end, not yet forwarded

    def run(self):
        while not self.stop:
            fds = [self.src, self.master, self.conn or self.listener]
            ready, _, _ = select.select(fds, [], [], 0.5)
            for fd in ready:
                if fd is self.listener:
                    self.conn, _ = self.listener.accept()
                    self.conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
                    continue
                try:
                    data = fd.recv(4096) if fd is self.conn else os.read(fd, 4096)
                except OSError:
                    data = b""
                if fd != self.src or not data:
                    continue
                sinks = [("zq_hub", lambda: os.write(self.master, data)),
                         ("gpsd", lambda: self.conn and self.conn.sendall(data))]
                self.flip = not self.flip
                window = self.tail + data
                base = self.total - len(self.tail)
                at = window.find(b"\xb5\x62\x01\x07")
                while at >= 0:
                    end = base + at + 100
                    if not self.ends or self.ends[-1] != end:
                        self.ends.append(end)
                    at = window.find(b"\xb5\x62\x01\x07", at + 1)
                self.tail = window[-3:]
                self.total += len(data)
                pvt = bool(self.ends) and self.ends[0] <= self.total
                while self.ends and self.ends[0] <= self.total:
                    self.ends.pop(0)
                for name, sink in (sinks[::-1] if self.flip else sinks):
                    sent_at = time.time()
                    try:
                        sink()
                    except OSError:
                        continue
                    if pvt:
                        self.forwarded[name].append(sent_at)


def refclock_samples(logdir):
    out = {}
    path = os.path.join(logdir, "refclocks.log")
    if not os.path.exists(path):
        return out
    pat = re.compile(r"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)\.(\d+) (\S+) +\d+ +[NID+-] +\d +"
                     r"([-+]?\d\.\d+e[-+]\d+)")
    with open(path) as f:
        for line in f:
            m = pat.match(line)
            if m:
                t = calendar.timegm(time.strptime(m.group(1), "%Y-%m-%d %H:%M:%S"))
                out.setdefault(m.group(3), []).append((t + float("0." + m.group(2)),
                                                       float(m.group(4))))
    return out


def p99(xs):
    return sorted(xs)[min(len(xs) - 1, int(round(0.99 * (len(xs) - 1))))]


def spread(samples, forwarded, period):
    """SAMPLES (sample time, raw offset). The truth of a sample is the epoch's UTC minus the
    moment its NAV-PVT was handed to the reader's side of the link, so offset - truth is
    (that moment - the sample's receive time): what the reader and the feed add. Each sample
    is matched with the nearest hand-over within half a period."""
    errors, offsets = [], []
    fwd = sorted(forwarded)
    for t, o in samples:
        near = min(fwd, key=lambda f: abs(f - t), default=None)
        if near is None or abs(near - t) > period / 2:
            continue
        errors.append(near - t)
        offsets.append(o)
    if len(errors) < 2:
        return {"n": len(errors)}
    return {"n": len(errors), "mean_offset": statistics.fmean(offsets),
            "stdev": statistics.stdev(errors), "mean": statistics.fmean(errors),
            "p99_abs_truth": p99([abs(e) for e in errors])}


def run_rate(rate, work):
    d = tempfile.mkdtemp(prefix="rate%g." % rate, dir=work)
    run, logdir = os.path.join(d, "run"), os.path.join(d, "log")
    os.mkdir(run, 0o750)
    os.mkdir(logdir, 0o750)
    sock = os.path.join(run, "zq.sock")
    conf = os.path.join(d, "chrony.conf")
    with open(conf, "w") as f:
        f.write("refclock SOCK %s refid ZQ poll 2 noselect\n" % sock)
        f.write("refclock SHM 0 refid GPSD poll 2 noselect\n")
        f.write("port 0\ncmdport 0\nbindcmdaddress %s/chronyd.sock\npidfile %s/chronyd.pid\n"
                "driftfile %s/drift\nlogdir %s\nlog refclocks\n" % (run, run, run, logdir))
    procs = []
    sim = subprocess.Popen([SIM, "--link", os.path.join(d, "ttyGPS0"), "--rate", "%g" % rate],
                           stdout=subprocess.DEVNULL, stderr=open(os.path.join(d, "sim.log"), "w"))
    procs.append(sim)
    splitter = None
    try:
        wait_for(lambda: os.path.exists(os.path.join(d, "ttyGPS0")), 10, "zq-sim")
        splitter = Splitter(os.path.join(d, "ttyGPS0"))
        splitter.start()
        chronyd = subprocess.Popen(["chronyd", "-x", "-d", "-u", "root", "-f", conf],
                                   stdout=open(os.path.join(d, "chronyd.out"), "w"),
                                   stderr=subprocess.STDOUT)
        procs.append(chronyd)
        wait_for(lambda: os.path.exists(sock), 20, "chronyd's socket")
        probe = socket.socket()
        probe.bind(("127.0.0.1", 0))
        port = str(probe.getsockname()[1])
        probe.close()
        gpsd = subprocess.Popen(["gpsd", "-N", "-n", "-b", "-D", "5", "-S", port, "-P",
                                 os.path.join(run, "gpsd.pid"),
                                 "tcp://127.0.0.1:%d" % splitter.port],
                                stdout=open(os.path.join(d, "gpsd.log"), "w"),
                                stderr=subprocess.STDOUT)
        procs.append(gpsd)
        env = dict(os.environ, ROOT_PATH=d, ZQ_ROOT=ROOT)
        hub = subprocess.Popen([PY, HUB, "--port", splitter.path, "--chrony", sock],
                               env=env, stdout=subprocess.DEVNULL,
                               stderr=open(os.path.join(d, "hub.log"), "w"))
        procs.append(hub)
        time.sleep(WARMUP + SECONDS)  # a benchmark's run time, not a synchronisation
        start_at = time.time() - SECONDS
    finally:
        for p in reversed(procs):
            if p.poll() is None:
                p.terminate()
                try:
                    p.wait(10)
                except subprocess.TimeoutExpired:
                    p.kill()
        if splitter:
            splitter.stop = True
    samples = refclock_samples(logdir)
    result = {"rate_hz": rate}
    for refid, name in (("ZQ", "zq_hub"), ("GPSD", "gpsd")):
        result[name] = spread([(t, o) for t, o in samples.get(refid, []) if t >= start_at],
                              splitter.forwarded[name], 1 / rate)
    return result


def main():
    if os.geteuid() != 0:
        print("bench/time: needs root (gpsd writes NTP SHM unit 0 as root)", file=sys.stderr)
        return 1
    if os.environ.get("ZQ_BENCH_UNSHARED") != "1":
        env = dict(os.environ, ZQ_BENCH_UNSHARED="1")
        return subprocess.call(["unshare", "-i", PY, os.path.abspath(__file__)], env=env)
    for tool in ("gpsd", "chronyd"):
        if not shutil.which(tool):
            print("bench/time: %s is not installed" % tool, file=sys.stderr)
            return 1
    os.makedirs(OUT, exist_ok=True)
    work = tempfile.mkdtemp(prefix="work.", dir=OUT)
    results = [run_rate(r, work) for r in RATES]
    ok = True
    for r in results:
        z, g = r["zq_hub"], r["gpsd"]
        line = "%5g Hz" % r["rate_hz"]
        for name, s in (("zq_hub", z), ("gpsd", g)):
            if s.get("n", 0) < 2:
                line += "  %s: %d samples" % (name, s.get("n", 0))
                continue
            line += "  %s: n %4d offset %+7.3f ms, o-truth mean %+7.3f sd %6.3f p99 %6.3f ms" % (
                name, s["n"], s["mean_offset"] * 1e3, s["mean"] * 1e3, s["stdev"] * 1e3,
                s["p99_abs_truth"] * 1e3)
        verdict = (z.get("n", 0) >= 2 and g.get("n", 0) >= 2 and
                   z["stdev"] <= g["stdev"] / 2 and z["p99_abs_truth"] <= g["p99_abs_truth"] / 2)
        ok &= verdict
        print(line + ("  OK" if verdict else "  MISSED (target: half of gpsd's sd and p99)"))
    with open(os.path.join(OUT, "results.json"), "w") as f:
        json.dump(results, f, indent=1)
    if os.environ.get("BENCH_KEEP") != "1":
        shutil.rmtree(work, ignore_errors=True)
    # A missed target is printed; it fails the run only when asked (BENCH_STRICT=1), as in
    # bench/live, so that a smoke run shows the benchmark runs to its end.
    return 0 if ok or os.environ.get("BENCH_STRICT", "0") != "1" else 1


if __name__ == "__main__":
    sys.exit(main())
