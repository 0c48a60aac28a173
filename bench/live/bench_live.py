#!/usr/bin/python3
"""Live benchmark: zq_gps and gpsd side by side on one simulated receiver stream.

The simulator (NAV-PVT + the NMEA set, UBX first as a u-blox sends it) feeds a fan-out
(fanout.py) that writes every byte, as it comes, into one pseudo-terminal per consumer: a
zq_gps host program on one, gpsd with its blocking Python client (python3-gps) on the other,
both running at the same time on the same stream. Latency is measured from the moment the last
byte of an epoch's NAV-PVT frame went into the consumer's own pseudo-terminal (the fan-out's
ground-truth line, CLOCK_MONOTONIC, read just before the write: see fanout.py; the simulator's
own line gives the epoch and the hop to the fan-out) to the moment the host sees that epoch's
value. BENCH_SIDE_BY_SIDE=0 runs each host alone on its own simulator run instead, one after
the other (still through the fan-out: the simulator's line is read after its write, and so
comes late whenever the woken reader takes the simulator's CPU first).

Runs per rate (BENCH_LIVE_RUNS, default "hub poll cpu messages crossings"):
  hub       a host that blocks in zq_hub's hub.wait() (host_hub.py) beside gpsd;
  poll      the module alone (zq_hub never imported), getgps() polled every BENCH_POLL_MS
            (host_zq.py), beside gpsd: shows the module unchanged;
  cpu       the module alone with a host polling at an ordinary pace (BENCH_CPU_POLL_MS) beside
            gpsd, for the module-alone CPU figure;
  messages  once, at BENCH_MSG_RATE (25) Hz: the simulator replays epochs of ten UBX frames
            (NAV-PVT and nine others, bench/throughput/stream.py) and a host iterates
            hub.messages() (and, on a second thread, messages(identities=the ten)); every
            NAV-PVT the simulator's truth says it sent must arrive, in order, none dropped;
  crossings once: crossings.py, the calls between the module and the codec per accepted
            message, counted through a stand-in reader.
Each zq_gps run also counts the reader thread's wake-ups (voluntary context switches) per epoch.
Decode throughput (always) runs ubxdump and gpsdecode over two streams made of the recordings
(all of them repeated; their NAV-PVT frames alone), counts the frames each decodes, and checks
that ubxdump takes at most a tenth of gpsdecode's time.

Environment: ZQ_BUILD (build dir), ZQ_ROOT (deployment root), BENCH_RATES ("1 10 25"),
BENCH_SECONDS (per run, default 30), BENCH_POLL_MS (1), BENCH_CPU_POLL_MS (100; 0 skips the cpu
run), BENCH_LIVE_RUNS, BENCH_SIDE_BY_SIDE (1), BENCH_MSG_RATE (25), BENCH_MSG_SECONDS
(BENCH_SECONDS), BENCH_DECODE_MB (size of the recordings decode stream, default 16),
BENCH_DECODE_PVT (frames of the NAV-PVT decode stream, default 200000), BENCH_DECODE_TRIES (3),
BENCH_OUT (result directory), BENCH_STRICT (1: exit status 1 when a target is missed),
BENCH_BASELINE_ROOT (a deployment root of another build, e.g. one from before zq_hub: its
module-alone host runs beside this build's on one stream, per rate, for comparison),
BENCH_HUB_WAITER (main: the hub host waits on the interpreter's main thread; thread: on a
thread of its own), BENCH_REPEAT (1: how many times the per-rate runs are made; with more, a
"spread" line per target says in how many runs it passed and the range of its figure and
bound).
BENCH_RATES="" runs no per-rate run. A quick run that touches everything:
  BENCH_SECONDS=2 BENCH_RATES=10 BENCH_DECODE_MB=0.2 BENCH_DECODE_PVT=2000 BENCH_DECODE_TRIES=1

Targets, one verdict line each, every figure against gpsd's in the same run:
  hub:  p50 at most a quarter of gpsd's p50, p99 at most half of gpsd's p99, CPU of the whole
        host process at most a quarter of gpsd daemon + client per 1000 epochs; getgps()
        called after wait() never shows an older message than wait() returned;
  poll: p50 at most half of gpsd's, p99 at most 1 ms, CPU (from the cpu run when there is one)
        at most a quarter of gpsd daemon + client;
  messages: every NAV-PVT sent in the window delivered, in order, none twice, hub.dropped 0.
"""
import json
import os
import select
import statistics
import struct
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))
from bench_common import BUILD, PY, REPO, ROOT, SIM, free_port, wait_for  # noqa: E402
from bench_common import stop as stop_within  # noqa: E402

DUMP = os.path.join(BUILD, "tools", "ubxdump")
RATES = [float(r) for r in os.environ.get("BENCH_RATES", "1 10 25").split()]
SECONDS = float(os.environ.get("BENCH_SECONDS", "30"))
POLL = float(os.environ.get("BENCH_POLL_MS", "1")) / 1000
CPU_POLL = float(os.environ.get("BENCH_CPU_POLL_MS", "100")) / 1000
RUNS = os.environ.get("BENCH_LIVE_RUNS", "hub poll cpu messages crossings").split()
SIDE = os.environ.get("BENCH_SIDE_BY_SIDE", "1") != "0"
MSG_RATE = float(os.environ.get("BENCH_MSG_RATE", "25"))
MSG_SECONDS = float(os.environ.get("BENCH_MSG_SECONDS", str(SECONDS)))
DECODE_MB = float(os.environ.get("BENCH_DECODE_MB", "16"))
DECODE_PVT = int(os.environ.get("BENCH_DECODE_PVT", "200000"))
DECODE_TRIES = int(os.environ.get("BENCH_DECODE_TRIES", "3"))
DECODE_TARGET = 10.0  # ubxdump at least this many times as fast as gpsdecode
OUT = os.environ.get("BENCH_OUT", os.path.join(BUILD, "bench-live"))
STRICT = os.environ.get("BENCH_STRICT", "0") == "1"
BASELINE = os.environ.get("BENCH_BASELINE_ROOT", "")
REPEAT = int(os.environ.get("BENCH_REPEAT", "1"))

HOSTS = {
    "hub": "hub.wait() host" + (" (waiting on a thread of its own)"
                                if os.environ.get("BENCH_HUB_WAITER") == "thread" else ""),
    "poll": "module alone, getgps() polled every %g ms" % (POLL * 1000),
    "cpu": "module alone, getgps() polled every %g ms" % (CPU_POLL * 1000),
}


def stop(proc):
    stop_within(proc, 5)


def read_jsonl(path):
    with open(path) as f:
        return [json.loads(line) for line in f if line.strip()]


class Simulator:
    def __init__(self, workdir, rate, replay=None):
        self.link = os.path.join(workdir, "ttyGPS0")
        self.truth_path = os.path.join(workdir, "truth.jsonl")
        cmd = [SIM, "--link", self.link, "--truth", self.truth_path, "--quiet"]
        if replay:
            cmd += ["--replay", replay, "--pace", "%g" % rate]
        else:
            cmd += ["--rate", "%g" % rate, "--speed", "15"]
        self.proc = subprocess.Popen(cmd)
        wait_for(lambda: os.path.islink(self.link), 5, "the simulator's device")

    def truth(self):
        return read_jsonl(self.truth_path)

    def close(self):
        stop(self.proc)


class Fanout:
    """fanout.py between the simulator and N consumers."""

    def __init__(self, workdir, source, count):
        self.truth_path = os.path.join(workdir, "fanout.jsonl")
        self.proc = subprocess.Popen([PY, os.path.join(HERE, "fanout.py"), source, str(count),
                                      self.truth_path], stdout=subprocess.PIPE, text=True)
        line = self.proc.stdout.readline()
        if not line.startswith("READY "):
            stop(self.proc)
            raise RuntimeError("fanout did not start")
        self.paths = line.split()[1:]

    def written(self, out):
        """(lat_e7, lon_e7) -> (CLOCK_MONOTONIC time just before the write that put the
        NAV-PVT's last byte into output OUT, time the fan-out read it from the simulator, time
        just after that write)."""
        return {(t["lat_e7"], t["lon_e7"]): (t["t_mono"], t["t_in"], t.get("t_post", t["t_mono"]))
                for t in read_jsonl(self.truth_path) if t.get("out") == out}

    def close(self):
        stop(self.proc)


def quantiles(values):
    ms = sorted(x * 1000 for x in values)
    if not ms:
        return None
    q = statistics.quantiles(ms, n=100, method="inclusive") if len(ms) > 1 else ms * 99
    return {"p50_ms": round(q[49], 3), "p99_ms": round(q[98], 3), "max_ms": round(ms[-1], 3)}


def summary(latencies, epochs, cpu, missed):
    q = quantiles(latencies)
    if not q:
        return {"samples": 0, "epochs": epochs}
    res = {"samples": len(latencies), "epochs": epochs, "missed": missed}
    res.update(q)
    res["cpu_s_per_1000_epochs"] = round(cpu / epochs * 1000, 3) if epochs else None
    return res


def per_epoch(value, epochs, digits=3):
    return round(value / epochs, digits) if epochs else None


def per_1000(value, epochs):
    return round(value / epochs * 1000, 3) if epochs else None


# ---------------------------------------------------------------------------------------------
# Consumers: each is started on a device path and gives one JSON object at its end

class ZqHost:
    def __init__(self, kind, root=None, name=None):
        self.kind = kind
        self.name = name or kind
        self.root = root or ROOT

    def start(self, device, workdir):
        if self.kind == "hub":
            args = [os.path.join(HERE, "host_hub.py"), "wait", device, str(SECONDS)]
        else:
            poll = POLL if self.kind == "poll" else CPU_POLL
            args = [os.path.join(HERE, "host_zq.py"), device, str(SECONDS), str(poll)]
        self.proc = subprocess.Popen([PY] + args, stdout=subprocess.PIPE, text=True,
                                     env=dict(os.environ, ZQ_ROOT=self.root), cwd=workdir)

    def finish(self):
        return json_result(self.proc, "zq_gps host (%s)" % self.kind)

    def result(self, out, written, sim_truth):
        """Latency, CPU and wake-ups of a zq_gps host against the times its device got each
        NAV-PVT (WRITTEN: (lat_e7, lon_e7) -> t_mono)."""
        t0, t1 = out["t_start"], out["t_end"]
        epochs = sum(1 for t in written.values() if t0 <= t <= t1)
        timed = [s for s in out["seen"]
                 if (s[1], s[2]) in written and written[(s[1], s[2])] >= t0]
        lat = [s[0] - written[(s[1], s[2])] for s in timed]
        # The message's rx_time (the reader took its bytes) splits the latency in two.
        rx = -1 if self.kind == "hub" else 3
        split = [(s[rx] - written[(s[1], s[2])], s[0] - s[rx]) for s in timed
                 if len(s) > 3 and s[rx] is not None]
        if self.kind == "hub":
            c = out["counters"]
            res = summary(lat, epochs, c["cpu"], max(0, epochs - len(lat)))
            res["cpu_reader_thread_s_per_1000_epochs"] = per_1000(c["reader_cpu"], epochs)
            res["reader_wakeups_per_epoch"] = per_epoch(c["reader_wakeups"], epochs)
            res["host_wakeups_per_epoch"] = per_epoch(c["host_wakeups"], epochs)
            res["wait_timeouts"] = out["timeouts"]
            # Where the process's CPU goes: per thread, CPU s and wake-ups per 1000 epochs.
            res["threads_per_1000_epochs"] = {
                name: (per_1000(cpu, epochs), per_1000(woke, epochs))
                for name, (cpu, woke) in sorted(c.get("threads", {}).items(),
                                                key=lambda kv: -kv[1][0])}
            res["dropped"] = out.get("dropped")
            # getgps() called right after wait() must show that message or a newer one.
            order = {t["lat_e7"]: i for i, t in enumerate(sim_truth)}
            res["getgps_behind_wait"] = sum(
                1 for s in out["seen"]
                if s[1] in order and (s[3] not in order or order[s[3]] < order[s[1]]))
        else:
            res = summary(lat, epochs, out["cpu"], max(0, epochs - len(lat)))
            res["cpu_reader_thread_s_per_1000_epochs"] = per_1000(out["cpu_reader_thread"],
                                                                  epochs)
            res["reader_wakeups_per_epoch"] = per_epoch(out["reader_wakeups"], epochs)
        res["reader_alive_at_end"] = out["reader_alive"]
        if split:
            res["wire_to_reader"] = quantiles([a for a, _ in split])
            res["reader_to_host"] = quantiles([b for _, b in split])
        return res


class GpsdHost:
    name = "gpsd"

    def start(self, device, workdir):
        port = free_port()
        self.daemon = subprocess.Popen(
            ["gpsd", "-N", "-b", "-n", "-S", str(port), "-F", os.path.join(workdir, "gpsd.sock"),
             device], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.proc = subprocess.Popen([PY, os.path.join(HERE, "host_gpsd.py"), str(port),
                                      str(self.daemon.pid), str(SECONDS)],
                                     stdout=subprocess.PIPE, text=True)

    def finish(self):
        try:
            return json_result(self.proc, "gpsd client")
        finally:
            stop(self.daemon)

    def result(self, out, written, sim_truth):
        t0, t1 = out["t_start"], out["t_end"]
        by_time = {t["time"]: t for t in sim_truth}
        epochs = sum(1 for t in written.values() if t0 <= t <= t1)
        lat = []
        for seen, when, la, lo in out["seen"]:
            t = by_time.get(when)
            if t and abs(la - t["lat"]) < 1e-6 and abs(lo - t["lon"]) < 1e-6:
                w = written.get((t["lat_e7"], t["lon_e7"]))
                if w is not None and w >= t0:
                    lat.append(seen - w)
        res = summary(lat, epochs, out["cpu_client"] + out["cpu_daemon"],
                      max(0, epochs - len(lat)))
        res["cpu_daemon_s_per_1000_epochs"] = per_1000(out["cpu_daemon"], epochs)
        return res


def json_result(proc, what):
    try:
        stdout, _ = proc.communicate(timeout=SECONDS + 60)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.communicate()
        raise RuntimeError(what + " did not finish in time")
    lines = [x for x in stdout.splitlines() if x.startswith("{")]
    if not lines:
        raise RuntimeError(what + " gave no result (status %s)" % proc.returncode)
    out = json.loads(lines[-1])
    if "error" in out:
        raise RuntimeError(what + ": " + out["error"])
    return out


def run_together(rate, hosts, workdir):
    """HOSTS (consumers) on one simulator stream at the same time through the fan-out (a host
    alone through it as well). Returns {host name: result}."""
    sim = Simulator(workdir, rate)
    fan = None
    outs = {}
    try:
        # A host alone goes through the fan-out too, for its write times (see fanout.py).
        fan = Fanout(workdir, sim.link, len(hosts))
        started = []
        try:
            for h, dev in zip(hosts, fan.paths):
                h.start(dev, workdir)
                started.append(h)
        finally:
            errors = []
            for h in started:
                try:
                    outs[h.name] = h.finish()
                except RuntimeError as e:
                    errors.append(str(e))
            if errors:
                raise RuntimeError("; ".join(errors))
    finally:
        if fan:
            fan.close()
        sim.close()
    sim_truth = [t for t in sim.truth() if t["sent"] and t["pvt"]]
    res = {}
    hop, window = [], []
    by_pos = {(t["lat_e7"], t["lon_e7"]): t["t_mono"] for t in sim_truth}
    for i, h in enumerate(hosts):
        w = fan.written(i)
        written = {k: v[0] for k, v in w.items()}
        hop += [v[1] - by_pos[k] for k, v in w.items() if k in by_pos]
        window += [v[2] - v[0] for v in w.values()]
        res[h.name] = h.result(outs[h.name], written, sim_truth)
    q = quantiles(hop)
    res["fanout_hop"] = q and {"p50_ms": q["p50_ms"], "p99_ms": q["p99_ms"]}
    # How long the fan-out's writes took, clock to clock: a long one is a write after which a
    # woken consumer took the CPU (the reason its time is read before the write).
    q = quantiles(window)
    res["fanout_write"] = q and {"p50_ms": q["p50_ms"], "p99_ms": q["p99_ms"],
                                 "max_ms": q["max_ms"]}
    return res


def run_rate(rate):
    """The runs of one rate: {run: {"zq": result, "gpsd": result}}."""
    kinds = [k for k in ("hub", "poll", "cpu") if k in RUNS and (k != "cpu" or CPU_POLL > 0)]
    runs = {}
    shared_gpsd = None
    for kind in kinds:
        with tempfile.TemporaryDirectory(prefix="zq-bench.") as workdir:
            try:
                if SIDE:
                    print("bench/live: %s beside gpsd at %g Hz for %g s ..." % (
                        HOSTS[kind], rate, SECONDS), flush=True)
                    r = run_together(rate, [ZqHost(kind), GpsdHost()], workdir)
                    runs[kind] = {"zq": r[kind], "gpsd": r["gpsd"],
                                  "fanout_hop": r["fanout_hop"],
                                  "fanout_write": r["fanout_write"]}
                else:
                    print("bench/live: %s alone at %g Hz for %g s ..." % (
                        HOSTS[kind], rate, SECONDS), flush=True)
                    r = run_together(rate, [ZqHost(kind)], workdir)
                    runs[kind] = {"zq": r[kind], "fanout_hop": r["fanout_hop"],
                                  "fanout_write": r["fanout_write"]}
            except RuntimeError as e:
                if "in this build" not in str(e):
                    raise
                runs[kind] = {"skipped": str(e)}
    if BASELINE:
        with tempfile.TemporaryDirectory(prefix="zq-bench.") as workdir:
            print("bench/live: module alone, this build and %s side by side at %g Hz for %g s "
                  "..." % (BASELINE, rate, SECONDS), flush=True)
            r = run_together(rate, [ZqHost("poll"), ZqHost("poll", BASELINE, "baseline")],
                             workdir)
            runs["baseline"] = {"zq": r["poll"], "baseline": r["baseline"],
                                "fanout_hop": r["fanout_hop"],
                                "fanout_write": r["fanout_write"]}
    if not SIDE and any("zq" in r for r in runs.values()):
        with tempfile.TemporaryDirectory(prefix="zq-bench.") as workdir:
            print("bench/live: gpsd alone at %g Hz for %g s ..." % (rate, SECONDS), flush=True)
            shared_gpsd = run_together(rate, [GpsdHost()], workdir)["gpsd"]
        for name, r in runs.items():
            if "zq" in r and name != "baseline":
                r["gpsd"] = shared_gpsd
    return runs


# ---------------------------------------------------------------------------------------------
# messages(): every NAV-PVT of epochs of ten frames, checked against the simulator's truth

def epoch_file(path, count):
    sys.path.insert(0, os.path.join(os.path.dirname(HERE), "throughput"))
    from stream import Epochs
    ep = Epochs()
    with open(path, "wb") as f:
        for seq in range(count):
            f.write(ep.timed_epoch(seq))
    return ep


def contiguous_in(delivered, sent):
    """Index in SENT where DELIVERED starts as an unbroken run of it (in order, no gaps, none
    twice), or None."""
    if not delivered:
        return None
    try:
        i = sent.index(delivered[0])
    except ValueError:
        return None
    return i if sent[i:i + len(delivered)] == delivered else None


def run_messages():
    sys.path.insert(0, HERE)
    from host_hub import EPOCH_IDENTITIES
    with tempfile.TemporaryDirectory(prefix="zq-bench.") as workdir:
        replay = os.path.join(workdir, "epochs.ubx")
        epoch_file(replay, int(MSG_RATE * (MSG_SECONDS + 30)))
        sim = Simulator(workdir, MSG_RATE, replay=replay)
        try:
            proc = subprocess.run(
                [PY, os.path.join(HERE, "host_hub.py"), "messages", sim.link, str(MSG_SECONDS),
                 "all"], capture_output=True, text=True, timeout=MSG_SECONDS + 60,
                env=dict(os.environ, ZQ_ROOT=ROOT), cwd=workdir)
        finally:
            sim.close()
        lines = [x for x in proc.stdout.splitlines() if x.startswith("{")]
        if not lines:
            raise RuntimeError("messages host gave no result: " + proc.stderr[-2000:])
        out = json.loads(lines[-1])
        if "error" in out:
            raise RuntimeError("messages host: " + out["error"])
        truth = [t for t in sim.truth() if t["sent"] and t["pvt"]]
    return delivery(out, truth, EPOCH_IDENTITIES)


def delivery(out, truth, epoch_identities):
    """The messages() host's result OUT against the simulator's TRUTH (the NAV-PVTs it sent, in
    order): what came, whether it is an unbroken run of what was sent, whether everything that
    was due came, and the drop counts."""
    sent = [t["lat_e7"] for t in truth]
    t_of = {t["lat_e7"]: t["t_mono"] for t in truth}
    t0, t1 = out["t_start"], out["t_end"]
    pvts = [m for m in out["accepted"] if m[1] == "NAV-PVT"]
    delivered = [m[3] for m in pvts]
    res = {"rate_hz": MSG_RATE, "seconds": round(t1 - t0, 2), "delivered": len(delivered),
           "not_nav_pvt": sum(1 for m in out["accepted"] if m[1] != "NAV-PVT"),
           "dropped": out.get("dropped"), "dropped_iterator": out.get("dropped_iterator"),
           "dropped_iterator_listed": out.get("dropped_iterator_listed"),
           "reader_alive_at_end": out["reader_alive"]}
    # hub.dropped and each iterator's own count, where they exist: at least one, all zero.
    counts = [res[k] for k in ("dropped", "dropped_iterator", "dropped_iterator_listed")
              if res[k] is not None]
    res["none_dropped"] = bool(counts) and all(c == 0 for c in counts)
    # Must have come: sent after the iteration began, and more than half a second before it
    # stopped.
    due = [i for i, t in enumerate(truth) if t0 <= t["t_mono"] <= t1 - 0.5]
    res["due"] = len(due)
    start = contiguous_in(delivered, sent)
    res["in_order_no_gap"] = start is not None
    res["all_due_delivered"] = bool(start is not None and due and start <= due[0]
                                    and start + len(delivered) - 1 >= due[-1])
    lat = [m[0] - t_of[m[3]] for m in pvts if m[3] in t_of]
    res["latency"] = quantiles(lat)
    c = out["counters"]
    res["reader_wakeups_per_epoch"] = per_epoch(c["reader_wakeups"], len(delivered))
    res["cpu_s_per_1000_epochs"] = per_1000(c["cpu"], len(delivered))
    # The second iterator, messages(identities=the ten): the identities come in the epoch's
    # order, its NAV-PVTs like the first one's.
    listed = out["listed"]
    ids = [m[1] for m in listed]
    pattern_ok = bool(ids) and ids[0] in epoch_identities
    if pattern_ok:
        k = epoch_identities.index(ids[0])
        pattern_ok = all(x == epoch_identities[(k + j) % len(epoch_identities)]
                         for j, x in enumerate(ids))
    listed_pvts = [m[3] for m in listed if m[1] == "NAV-PVT"]
    res["listed"] = {"messages": len(listed), "epoch_order": pattern_ok,
                     "nav_pvt_in_order_no_gap": contiguous_in(listed_pvts, sent) is not None}
    res["ok"] = bool(res["in_order_no_gap"] and res["all_due_delivered"]
                     and res["not_nav_pvt"] == 0 and res["none_dropped"]
                     and pattern_ok and res["listed"]["nav_pvt_in_order_no_gap"]
                     and res["reader_alive_at_end"])
    return res


def run_crossings():
    env = dict(os.environ, ZQ_ROOT=ROOT, ZQ_BUILD=BUILD)
    proc = subprocess.run([PY, os.path.join(HERE, "crossings.py")], capture_output=True,
                          text=True, timeout=SECONDS + 120, env=env)
    lines = [x for x in proc.stdout.splitlines() if x.startswith("{")]
    if proc.returncode != 0 or not lines:
        raise RuntimeError("crossings.py failed: " + (proc.stderr or proc.stdout)[-2000:])
    return {"text": [x for x in proc.stdout.splitlines() if not x.startswith("{")],
            "result": json.loads(lines[-1])}


def recorded_streams():
    """The recordings without their comment lines, and their NAV-PVT frames."""
    parts, pvts = [], []
    for name in ("ublox-neo-m8n.log", "ublox-zed-f9p-hp.log"):
        with open(os.path.join(REPO, "tests", "captures", name), "rb") as f:
            data = f.read()
        i = 0
        while data[i:i + 1] == b"#":
            i = data.index(b"\n", i) + 1
        parts.append(data[i:])
        j = data.find(b"\xb5\x62\x01\x07", i)
        while j >= 0:
            end = j + 8 + struct.unpack_from("<H", data, j + 4)[0]
            pvts.append(data[j:end])
            j = data.find(b"\xb5\x62\x01\x07", end)
    return b"".join(parts), pvts


def run_timed(cmd, path):
    """Wall and CPU (user + system) seconds of one run reading PATH on stdin."""
    with open(path, "rb") as stdin:
        t = time.perf_counter()
        proc = subprocess.Popen(cmd, stdin=stdin, stdout=subprocess.DEVNULL)
        _, status, usage = os.wait4(proc.pid, 0)
        wall = time.perf_counter() - t
    proc.returncode = os.waitstatus_to_exitcode(status)
    if proc.returncode != 0:
        raise RuntimeError("%s exited with status %d" % (cmd[0], proc.returncode))
    return wall, usage.ru_utime + usage.ru_stime


def frames_decoded(path):
    """UBX frames each tool decodes from PATH: ubxdump's own count, and gpsdecode's u-blox
    driver's one debug line per frame it parses (a separate, untimed run)."""
    r = subprocess.run([DUMP, "--count", path], capture_output=True, text=True, check=True)
    ours = json.loads(r.stdout.splitlines()[-1])["total"]
    with open(path, "rb") as stdin:
        r = subprocess.run(["gpsdecode", "-D", "5"], stdin=stdin, stdout=subprocess.DEVNULL,
                           stderr=subprocess.PIPE, check=True)
    theirs = sum(1 for line in r.stderr.splitlines() if b"UBX: len " in line)
    return ours, theirs


def decode_throughput(workdir):
    """ubxdump (JSON lines) against gpsdecode (JSON reports) on the same streams, the runs of
    the two interleaved so that a change of load on the machine falls on both."""
    unit, pvts = recorded_streams()
    streams = [
        ("recordings", unit * max(1, int(DECODE_MB * 1e6 / len(unit)))),
        ("NAV-PVT", b"".join(pvts[k % len(pvts)] for k in range(DECODE_PVT))),
    ]
    out = {}
    for name, data in streams:
        path = os.path.join(workdir, "stream.ubx")
        with open(path, "wb") as f:
            f.write(data)
        ours, theirs = frames_decoded(path)
        tools = {"ubxdump (JSON lines)": [DUMP, "-"], "ubxdump --count": [DUMP, "--count", "-"],
                 "gpsdecode (JSON reports)": ["gpsdecode"]}
        best = {}
        for _ in range(DECODE_TRIES):
            for tool, cmd in tools.items():
                wall, cpu = run_timed(cmd, path)
                b = best.setdefault(tool, [wall, cpu])
                b[0], b[1] = min(b[0], wall), min(b[1], cpu)
        dump_wall, dump_cpu = best["ubxdump (JSON lines)"]
        peer_wall, peer_cpu = best["gpsdecode (JSON reports)"]
        out[name] = {
            "bytes": len(data), "frames_ubxdump": ours, "frames_gpsdecode": theirs,
            "tools": {tool: {"seconds": round(w, 4), "cpu_seconds": round(c, 4),
                             "frames_per_s": round(ours / w)}
                      for tool, (w, c) in best.items()},
            "ratio_wall": round(peer_wall / dump_wall, 1),
            "ratio_cpu": round(peer_cpu / dump_cpu, 1) if dump_cpu > 0 else None,
        }
        out[name]["ok"] = ours == theirs and out[name]["ratio_wall"] >= DECODE_TARGET
    return out


def print_decode(decode):
    print("Decode throughput: ubxdump (JSON lines) vs gpsdecode (JSON reports), best of %d, "
          "runs interleaved" % DECODE_TRIES)
    print("| stream | bytes | frames ubxdump | frames gpsdecode | tool | seconds | CPU seconds "
          "| frames/s |")
    print("|---|---|---|---|---|---|---|---|")
    for name, d in decode.items():
        for tool, r in d["tools"].items():
            print("| %s | %d | %d | %d | %s | %s | %s | %s |" % (
                name, d["bytes"], d["frames_ubxdump"], d["frames_gpsdecode"], tool, r["seconds"],
                r["cpu_seconds"], r["frames_per_s"]))
    for name, d in decode.items():
        us, peer = d["tools"]["ubxdump (JSON lines)"], d["tools"]["gpsdecode (JSON reports)"]
        print("decode %s: ubxdump %.3f s (CPU %.3f s), gpsdecode %.3f s (CPU %.3f s): %.1fx "
              "(CPU %sx), %d frames decoded by ubxdump, %d by gpsdecode%s; target %gx: %s" % (
                  name, us["seconds"], us["cpu_seconds"], peer["seconds"], peer["cpu_seconds"],
                  d["ratio_wall"], d["ratio_cpu"], d["frames_ubxdump"], d["frames_gpsdecode"],
                  "" if d["frames_ubxdump"] == d["frames_gpsdecode"] else " (DIFFERENT)",
                  DECODE_TARGET, "PASS" if d["ok"] else "FAIL"))


def wake_floor(cycles=40):
    """The machine's own price of a wake-up: CPU of a thread that, like the reader, is woken
    from poll() by 700 bytes on a pipe every 50 ms, reads them and sleeps 25 ms. No zq_gps in
    it; it shows what one wake-up cycle costs on this machine (virtual machines charge a lot)."""
    r, w = os.pipe()
    out = {}

    def body():
        cid = time.pthread_getcpuclockid(threading.get_ident())
        p = select.poll()
        p.register(r, select.POLLIN)
        c0 = time.clock_gettime(cid)
        for _ in range(cycles):
            p.poll(2000)
            os.read(r, 4096)
            time.sleep(0.025)
        out["cpu"] = time.clock_gettime(cid) - c0

    t = threading.Thread(target=body)
    t.start()
    try:
        for _ in range(cycles):
            time.sleep(0.05)
            os.write(w, b"x" * 700)
        t.join(10)
    finally:
        os.close(r)
        os.close(w)
    return round(out.get("cpu", 0) / cycles * 1e6, 1)


def loadavg():
    with open("/proc/loadavg") as f:
        return " ".join(f.read().split()[:3])


# ---------------------------------------------------------------------------------------------
# Verdicts: one line per target

def check(name, value, bound, text, unit):
    if value is None or bound is None:
        return {"target": name, "ok": None, "line": "%s: SKIPPED (no figure)" % name}
    ok = value <= bound
    return {"target": name, "ok": ok, "value": value, "bound": round(bound, 4),
            "line": "%s: %s: %s %s %s %s (bound: %s)" % (
                name, "PASS" if ok else "FAIL", value, "<=" if ok else ">", round(bound, 4),
                unit, text)}


def skipped(name, run):
    return {"target": name, "ok": None, "line": "%s: SKIPPED (%s)" % (name, run["skipped"])}


def verdicts(key, runs):
    out = []
    runs = dict(runs)
    runs.pop("baseline", None)
    for kind in ("hub", "poll", "cpu"):
        if kind in runs and "skipped" in runs[kind]:
            out.append(skipped("verdict %s Hz %s" % (key, HOSTS[kind]), runs.pop(kind)))
    hub = runs.get("hub")
    if hub:
        zq, gd = hub["zq"], hub["gpsd"]
        tag = "verdict %s Hz hub.wait()" % key
        out.append(check(tag + " p50", zq.get("p50_ms"), gd.get("p50_ms") and gd["p50_ms"] / 4,
                         "a quarter of gpsd's p50 %s ms" % gd.get("p50_ms"), "ms"))
        out.append(check(tag + " p99", zq.get("p99_ms"), gd.get("p99_ms") and gd["p99_ms"] / 2,
                         "half of gpsd's p99 %s ms" % gd.get("p99_ms"), "ms"))
        gc = gd.get("cpu_s_per_1000_epochs")
        out.append(check(tag + " CPU", zq.get("cpu_s_per_1000_epochs"), gc and gc / 4,
                         "a quarter of gpsd daemon + client %s s; whole host process" % gc,
                         "s/1000 epochs"))
        behind = zq.get("getgps_behind_wait")
        ok = behind == 0 and zq.get("reader_alive_at_end") is True
        out.append({"target": tag + " consistency", "ok": ok,
                    "line": "%s consistency: %s: getgps() after wait() showed an older message "
                            "%s times; reader alive at end %s" % (
                                tag, "PASS" if ok else "FAIL", behind,
                                zq.get("reader_alive_at_end"))})
    poll = runs.get("poll")
    if poll:
        zq, gd = poll["zq"], poll["gpsd"]
        tag = "verdict %s Hz module alone" % key
        out.append(check(tag + " p50", zq.get("p50_ms"), gd.get("p50_ms") and gd["p50_ms"] / 2,
                         "half of gpsd's p50 %s ms" % gd.get("p50_ms"), "ms"))
        out.append(check(tag + " p99", zq.get("p99_ms"), 1.0, "1 ms", "ms"))
    cpu_run = runs.get("cpu") or poll
    if cpu_run:
        zq, gd = cpu_run["zq"], cpu_run["gpsd"]
        gc = gd.get("cpu_s_per_1000_epochs")
        out.append(check("verdict %s Hz module alone CPU" % key, zq.get("cpu_s_per_1000_epochs"),
                         gc and gc / 4, "a quarter of gpsd daemon + client %s s; host polling "
                         "every %g ms" % (gc, (CPU_POLL if "cpu" in runs else POLL) * 1000),
                         "s/1000 epochs"))
    return out


def messages_verdict(m):
    if "skipped" in m:
        return skipped("verdict %g Hz messages()" % MSG_RATE, m)
    return {"target": "verdict messages", "ok": m["ok"], "line": (
        "verdict %g Hz messages(): %s: %d NAV-PVT delivered, the %d due all there: %s, in "
        "order with no gap or repeat: %s, dropped (hub/iterator/second iterator) %s/%s/%s, "
        "other identities %d; "
        "messages(identities=the ten): %d messages in the epoch's order: %s, NAV-PVT unbroken: "
        "%s" % (m["rate_hz"], "PASS" if m["ok"] else "FAIL", m["delivered"], m["due"],
                m["all_due_delivered"], m["in_order_no_gap"], m["dropped"],
                m["dropped_iterator"], m["dropped_iterator_listed"], m["not_nav_pvt"],
                m["listed"]["messages"], m["listed"]["epoch_order"],
                m["listed"]["nav_pvt_in_order_no_gap"]))}


# ---------------------------------------------------------------------------------------------
# The report

def spread(per_repeat):
    """One line per target over the repeats: how many passed, and the spread of the figure and
    of its bound."""
    by_target = {}
    for per_rate in per_repeat:
        for vs in per_rate.values():
            for v in vs:
                by_target.setdefault(v["target"], []).append(v)
    out = []
    for target, vs in by_target.items():
        passed = sum(1 for v in vs if v["ok"] is True)
        known = [v for v in vs if "value" in v]
        text = "%s over %d runs: PASS in %d of %d" % (target, len(vs), passed, len(vs))
        if known:
            vals = sorted(v["value"] for v in known)
            bounds = sorted(v["bound"] for v in known)
            text += "; figure %s..%s (median %s), bound %s..%s" % (
                vals[0], vals[-1], statistics.median(vals), bounds[0], bounds[-1])
        out.append(text.replace("verdict", "spread", 1))
    return out


def print_latency(rates, results, label=""):
    print()
    how = ("side by side on one stream through the fan-out (latency from the last byte into "
           "each consumer's own pty)" if SIDE else
           "each host alone on its own simulator run, through the fan-out")
    print("Wire-to-host latency%s, NAV-PVT's last byte written -> host has the value; %s; "
          "load %s at start, %s at end; one wake-up cycle of a bare thread (poll, read, sleep) "
          "costs %s us CPU at start, %s at end" % (
              label, how, results["load_at_start"], results["load_at_end"],
              results["wake_floor_us"], results["wake_floor_us_at_end"]))
    print("| rate | run | system | samples | missed | p50 ms | p99 ms | max ms | CPU s/1000 "
          "epochs | reader CPU s/1000 epochs | reader wake-ups/epoch | fan-out hop p50/p99 ms |")
    print("|---|---|---|---|---|---|---|---|---|---|---|---|")
    for key, runs in rates.items():
        for run, r in runs.items():
            if "skipped" in r:
                print("| %s Hz | %s | skipped: %s |" % (key, run, r["skipped"]))
                continue
            hop = r.get("fanout_hop") or {}
            for system, label in (("zq", HOSTS[run if run != "baseline" else "poll"]),
                                  ("gpsd", "gpsd + python3-gps"),
                                  ("baseline", "the same, baseline build")):
                if system not in r:
                    continue
                x = r[system]
                print("| %s Hz | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s |" % (
                    key, run, label, x.get("samples"), x.get("missed"), x.get("p50_ms"),
                    x.get("p99_ms"), x.get("max_ms"), x.get("cpu_s_per_1000_epochs"),
                    x.get("cpu_reader_thread_s_per_1000_epochs", "-"),
                    x.get("reader_wakeups_per_epoch", "-"),
                    "%s/%s" % (hop.get("p50_ms"), hop.get("p99_ms")) if hop else "-"))
    for key, runs in rates.items():
        for run, r in runs.items():
            if r.get("fanout_write"):
                print("%s Hz %s run: the fan-out's writes took p50 %s p99 %s max %s ms (clock "
                      "before to clock after)" % (key, run, r["fanout_write"]["p50_ms"],
                                                  r["fanout_write"]["p99_ms"],
                                                  r["fanout_write"]["max_ms"]))
    for key, runs in rates.items():
        for run, r in runs.items():
            z = r.get("zq", {})
            if "wire_to_reader" in z:
                print("%s Hz %s: last byte written -> reader took it (rx_time) p50 %s p99 %s ms; "
                      "-> host has it p50 %s p99 %s ms" % (
                          key, HOSTS[run if run != "baseline" else "poll"],
                          z["wire_to_reader"]["p50_ms"], z["wire_to_reader"]["p99_ms"],
                          z["reader_to_host"]["p50_ms"], z["reader_to_host"]["p99_ms"]))
    for key, runs in rates.items():
        if "baseline" in runs:
            a, b = runs["baseline"]["zq"], runs["baseline"]["baseline"]
            print("%s Hz module alone, this build against the baseline %s on one stream: p50 %s "
                  "vs %s ms, p99 %s vs %s ms, CPU %s vs %s s/1000 epochs, reader wake-ups/epoch "
                  "%s vs %s" % (key, BASELINE, a.get("p50_ms"), b.get("p50_ms"),
                                a.get("p99_ms"), b.get("p99_ms"), a.get("cpu_s_per_1000_epochs"),
                                b.get("cpu_s_per_1000_epochs"), a.get("reader_wakeups_per_epoch"),
                                b.get("reader_wakeups_per_epoch")))
        if "zq" in runs.get("hub", {}):
            z = runs["hub"]["zq"]
            print("%s Hz hub.wait() host: host thread wake-ups/epoch %s, wait() time-outs %s, "
                  "hub.dropped %s, gpsd daemon alone %s s/1000 epochs" % (
                      key, z.get("host_wakeups_per_epoch"), z.get("wait_timeouts"),
                      z.get("dropped"), runs["hub"]["gpsd"].get("cpu_daemon_s_per_1000_epochs")))
            print("  its threads, CPU s / wake-ups per 1000 epochs: " + ", ".join(
                "%s %s/%s" % (n, c, w) for n, (c, w) in
                z.get("threads_per_1000_epochs", {}).items() if c or w))


def print_messages(m):
    print()
    if "skipped" in m:
        print("messages() at %g Hz: skipped: %s" % (MSG_RATE, m["skipped"]))
        return
    print("messages() at %g Hz, epochs of ten UBX frames replayed by the simulator, %s s: "
          "%d NAV-PVT delivered (%d due), latency %s, reader wake-ups/epoch %s, host CPU %s "
          "s/1000 epochs" % (m["rate_hz"], m["seconds"], m["delivered"], m["due"],
                             m["latency"], m["reader_wakeups_per_epoch"],
                             m["cpu_s_per_1000_epochs"]))


def main():
    os.makedirs(OUT, exist_ok=True)
    results = {"seconds_per_run": SECONDS, "poll_ms": POLL * 1000, "side_by_side": SIDE,
               "rates": {}, "load_at_start": loadavg(), "wake_floor_us": wake_floor()}
    lines = []
    repeats = []
    for i in range(REPEAT):
        if REPEAT > 1:
            print("bench/live: repeat %d of %d" % (i + 1, REPEAT), flush=True)
        repeats.append({"%g" % rate: run_rate(rate) for rate in RATES})
    results["rates"] = repeats[0] if repeats else {}
    results["repeats"] = repeats
    if "messages" in RUNS:
        print("bench/live: messages() at %g Hz for %g s ..." % (MSG_RATE, MSG_SECONDS),
              flush=True)
        try:
            results["messages"] = run_messages()
        except RuntimeError as e:
            if "in this build" not in str(e):
                raise
            results["messages"] = {"skipped": str(e)}
    if "crossings" in RUNS:
        print("bench/live: crossings between the module and the codec ...", flush=True)
        results["crossings"] = run_crossings()
    with tempfile.TemporaryDirectory(prefix="zq-bench.") as workdir:
        print("bench/live: decode throughput (%g MB of recordings, %d NAV-PVT frames) ..."
              % (DECODE_MB, DECODE_PVT), flush=True)
        results["decode"] = decode_throughput(workdir)
    results["load_at_end"] = loadavg()
    results["wake_floor_us_at_end"] = wake_floor()
    results["verdicts"] = [{key: verdicts(key, runs) for key, runs in rep.items()}
                           for rep in repeats]

    with open(os.path.join(OUT, "results.json"), "w") as f:
        json.dump(results, f, indent=2)
    for i, rep in enumerate(repeats):
        if rep:
            print_latency(rep, results, "" if REPEAT == 1 else " (run %d of %d)" % (
                i + 1, REPEAT))
    if "messages" in results:
        print_messages(results["messages"])
    if "crossings" in results:
        print()
        print("\n".join(results["crossings"]["text"]))
    print()
    print_decode(results["decode"])
    print()
    for i, per_rate in enumerate(results["verdicts"]):
        for key, vs in per_rate.items():
            for v in vs:
                print(v["line"] if REPEAT == 1 else "%s [run %d]" % (v["line"], i + 1))
                lines.append(v)
    if REPEAT > 1:
        for line in spread(results["verdicts"]):
            print(line)
    if "messages" in results:
        v = messages_verdict(results["messages"])
        print(v["line"])
        lines.append(v)
    print("\nfull results: %s" % os.path.join(OUT, "results.json"))
    missed = [v for v in lines if v["ok"] is False] + [
        d for d in results["decode"].values() if not d["ok"]]
    return 1 if STRICT and missed else 0


if __name__ == "__main__":
    sys.exit(main())
