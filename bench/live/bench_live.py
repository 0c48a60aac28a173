#!/usr/bin/python3
"""Live benchmark: zq_gps and gpsd side by side on the same simulated receiver stream.

For each rate the simulator (NAV-PVT + the NMEA set, UBX first as a u-blox sends it) runs once
for zq_gps's host program and once for gpsd with its client, one after the other, so they never
compete for the two cores. Latency is measured from the moment the simulator wrote the last byte
of an epoch's NAV-PVT frame (its ground-truth line, CLOCK_MONOTONIC) to the moment the host saw
that epoch's value. Decode throughput runs ubxdump and gpsdecode side by side over two streams made of the
recordings (all of them repeated; their NAV-PVT frames alone), counts the frames each decodes,
and checks that ubxdump takes at most a tenth of gpsdecode's time.

Environment: ZQ_BUILD (build dir), ZQ_ROOT (deployment root), BENCH_RATES ("1 10 25"),
BENCH_SECONDS (per rate and system, default 30), BENCH_POLL_MS (host's getgps() poll in the
latency run, default 1), BENCH_CPU_POLL_MS (poll of a second zq_gps run that measures CPU with a
host that reads at an ordinary pace, default 100; 0 skips it),
BENCH_DECODE_MB (size of the recordings decode stream, default 16), BENCH_DECODE_PVT (frames of
the NAV-PVT decode stream, default 200000), BENCH_DECODE_TRIES (3), BENCH_OUT (result
directory). BENCH_RATES="" runs the decode comparison alone.

Per rate a verdict against the targets: zq_gps p50 at most half of gpsd's, zq_gps p99 at most
1 ms, zq_gps CPU at most a quarter of gpsd daemon + client (zq_gps's CPU from the run whose host
polls at an ordinary pace when there is one, else from the latency run).
"""
import json
import os
import signal
import socket
import statistics
import struct
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
BUILD = os.environ.get("ZQ_BUILD", os.path.join(REPO, "build"))
ROOT = os.environ.get("ZQ_ROOT", os.path.join(BUILD, "root"))
SIM = os.path.join(BUILD, "tools", "zq-sim")
DUMP = os.path.join(BUILD, "tools", "ubxdump")
RATES = [float(r) for r in os.environ.get("BENCH_RATES", "1 10 25").split()]
SECONDS = float(os.environ.get("BENCH_SECONDS", "30"))
POLL = float(os.environ.get("BENCH_POLL_MS", "1")) / 1000
CPU_POLL = float(os.environ.get("BENCH_CPU_POLL_MS", "100")) / 1000
DECODE_MB = float(os.environ.get("BENCH_DECODE_MB", "16"))
DECODE_PVT = int(os.environ.get("BENCH_DECODE_PVT", "200000"))
DECODE_TRIES = int(os.environ.get("BENCH_DECODE_TRIES", "3"))
DECODE_TARGET = 10.0  # ubxdump at least this many times as fast as gpsdecode
OUT = os.environ.get("BENCH_OUT", os.path.join(BUILD, "bench-live"))
PY = "/usr/bin/python3"


def wait_for(predicate, timeout, what):
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            raise RuntimeError("timed out waiting for " + what)
        time.sleep(0.01)


def stop(proc):
    if proc and proc.poll() is None:
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(5)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


class Simulator:
    def __init__(self, workdir, rate):
        self.link = os.path.join(workdir, "ttyGPS0")
        self.truth_path = os.path.join(workdir, "truth.jsonl")
        self.proc = subprocess.Popen(
            [SIM, "--link", self.link, "--truth", self.truth_path, "--rate", "%g" % rate,
             "--speed", "15", "--quiet"])
        wait_for(lambda: os.path.islink(self.link), 5, "the simulator's device")

    def truth(self):
        with open(self.truth_path) as f:
            return [json.loads(line) for line in f if line.strip()]

    def close(self):
        stop(self.proc)


def summary(latencies, epochs, cpu, missed):
    ms = sorted(x * 1000 for x in latencies)
    if not ms:
        return {"samples": 0}
    q = statistics.quantiles(ms, n=100, method="inclusive") if len(ms) > 1 else ms * 99
    return {
        "samples": len(ms), "epochs": epochs, "missed": missed,
        "p50_ms": round(q[49], 3), "p99_ms": round(q[98], 3), "max_ms": round(ms[-1], 3),
        "cpu_s_per_1000_epochs": round(cpu / epochs * 1000, 3) if epochs else None,
    }


def sent_epochs(truth, t0, t1):
    return [t for t in truth if t["sent"] and t["pvt"] and t0 <= t["t_mono"] <= t1]


def run_zq(rate, workdir, poll=POLL):
    sim = Simulator(workdir, rate)
    try:
        r = subprocess.run([PY, os.path.join(HERE, "host_zq.py"), sim.link, str(SECONDS),
                            str(poll)], capture_output=True, text=True, timeout=SECONDS + 60,
                           env=dict(os.environ, ZQ_ROOT=ROOT), cwd=workdir)
    finally:
        sim.close()
    out = json.loads(r.stdout.strip().splitlines()[-1])
    if "error" in out:
        raise RuntimeError("zq_gps host: " + out["error"])
    truth = sim.truth()
    by_pos = {(t["lat_e7"], t["lon_e7"]): t for t in truth if t["sent"] and t["pvt"]}
    epochs = sent_epochs(truth, out["t_start"], out["t_end"])
    lat = [seen - by_pos[(la, lo)]["t_mono"] for seen, la, lo in out["seen"]
           if (la, lo) in by_pos and by_pos[(la, lo)]["t_mono"] >= out["t_start"]]
    res = summary(lat, len(epochs), out["cpu"], max(0, len(epochs) - len(lat)))
    res["cpu_reader_thread_s_per_1000_epochs"] = (
        round(out["cpu_reader_thread"] / len(epochs) * 1000, 3) if epochs else None)
    res["reader_alive_at_end"] = out["reader_alive"]
    return res


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def run_gpsd(rate, workdir):
    sim = Simulator(workdir, rate)
    gpsd = None
    try:
        port = free_port()
        gpsd = subprocess.Popen(
            ["gpsd", "-N", "-b", "-n", "-S", str(port), "-F", os.path.join(workdir, "gpsd.sock"),
             sim.link], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        r = subprocess.run([PY, os.path.join(HERE, "host_gpsd.py"), str(port), str(gpsd.pid),
                            str(SECONDS)], capture_output=True, text=True,
                           timeout=SECONDS + 60)
    finally:
        stop(gpsd)
        sim.close()
    out = json.loads(r.stdout.strip().splitlines()[-1])
    if "error" in out:
        raise RuntimeError("gpsd client: " + out["error"])
    truth = sim.truth()
    by_time = {t["time"]: t for t in truth if t["sent"] and t["pvt"]}
    epochs = sent_epochs(truth, out["t_start"], out["t_end"])
    lat = []
    for seen, when, la, lo in out["seen"]:
        t = by_time.get(when)
        if t and t["t_mono"] >= out["t_start"] and abs(la - t["lat"]) < 1e-6 \
                and abs(lo - t["lon"]) < 1e-6:
            lat.append(seen - t["t_mono"])
    res = summary(lat, len(epochs), out["cpu_client"] + out["cpu_daemon"],
                  max(0, len(epochs) - len(lat)))
    res["cpu_daemon_s_per_1000_epochs"] = (
        round(out["cpu_daemon"] / len(epochs) * 1000, 3) if epochs else None)
    return res


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


def loadavg():
    with open("/proc/loadavg") as f:
        return " ".join(f.read().split()[:3])


def verdict(systems, slow):
    """Targets of one rate: zq_gps against gpsd, or None where a figure is missing."""
    zq, gd = systems["zq_gps"], systems["gpsd"]
    cpu_run = systems.get(slow) or zq
    zq_cpu, gd_cpu = cpu_run.get("cpu_s_per_1000_epochs"), gd.get("cpu_s_per_1000_epochs")
    checks = {}
    if zq.get("p50_ms") is not None and gd.get("p50_ms") is not None:
        checks["p50"] = {"zq_ms": zq["p50_ms"], "bound_ms": round(gd["p50_ms"] / 2, 3),
                         "ok": zq["p50_ms"] <= gd["p50_ms"] / 2}
    if zq.get("p99_ms") is not None:
        checks["p99"] = {"zq_ms": zq["p99_ms"], "bound_ms": 1.0, "ok": zq["p99_ms"] <= 1.0}
    if zq_cpu is not None and gd_cpu is not None:
        checks["cpu"] = {"zq_s": zq_cpu, "bound_s": round(gd_cpu / 4, 4),
                         "ok": zq_cpu <= gd_cpu / 4, "zq_run": slow if slow in systems else
                         "zq_gps"}
    return {"checks": checks, "ok": bool(checks) and len(checks) == 3
            and all(c["ok"] for c in checks.values())}


def print_latency(results):
    print()
    print("Wire-to-host latency: last byte of the NAV-PVT frame written to the pty -> host sees "
          "the value (zq_gps: getgps() polled every %g ms; gpsd: python3-gps client)"
          % (POLL * 1000))
    print("| rate | system | samples | missed | p50 ms | p99 ms | max ms |")
    print("|---|---|---|---|---|---|---|")
    for key, systems in results["rates"].items():
        for system in ("zq_gps", "gpsd"):
            r = systems[system]
            print("| %s Hz | %s | %s | %s | %s | %s | %s |" % (
                key, system, r.get("samples"), r.get("missed"), r.get("p50_ms"),
                r.get("p99_ms"), r.get("max_ms")))
    print()
    print("CPU seconds per 1000 epochs")
    slow = "zq_gps, host polls every %g ms" % (CPU_POLL * 1000)
    print("| rate | zq_gps host, %g ms poll | zq_gps host, %g ms poll | zq_gps reader thread "
          "| gpsd daemon + client | gpsd daemon |" % (POLL * 1000, CPU_POLL * 1000))
    print("|---|---|---|---|---|---|")
    for key, systems in results["rates"].items():
        zq, gd, zs = systems["zq_gps"], systems["gpsd"], systems.get(slow, {})
        print("| %s Hz | %s | %s | %s | %s | %s |" % (
            key, zq.get("cpu_s_per_1000_epochs"), zs.get("cpu_s_per_1000_epochs", "-"),
            zs.get("cpu_reader_thread_s_per_1000_epochs",
                   zq.get("cpu_reader_thread_s_per_1000_epochs")),
            gd.get("cpu_s_per_1000_epochs"), gd.get("cpu_daemon_s_per_1000_epochs")))
    print()
    print("Side by side (zq_gps CPU: %s; gpsd: daemon + client; load %s at start, %s at end)" % (
        ("host polling every %g ms" % (CPU_POLL * 1000)) if CPU_POLL > 0 else
        ("host polling every %g ms" % (POLL * 1000)), results["load_at_start"],
        results["load_at_end"]))
    print("| rate | zq p50 ms | gpsd p50 ms | zq p99 ms | gpsd p99 ms | zq CPU s/1000 epochs "
          "| gpsd+client CPU s/1000 epochs |")
    print("|---|---|---|---|---|---|---|")
    for key, systems in results["rates"].items():
        zq, gd = systems["zq_gps"], systems["gpsd"]
        print("| %s Hz | %s | %s | %s | %s | %s | %s |" % (
            key, zq.get("p50_ms"), gd.get("p50_ms"), zq.get("p99_ms"), gd.get("p99_ms"),
            (systems.get(slow) or zq).get("cpu_s_per_1000_epochs"),
            gd.get("cpu_s_per_1000_epochs")))
    print()
    for key, v in results["verdicts"].items():
        c = v["checks"]
        notes = []
        if "p50" in c:
            notes.append("p50 %s <= %s ms (half of gpsd) %s" % (
                c["p50"]["zq_ms"], c["p50"]["bound_ms"], "ok" if c["p50"]["ok"] else "MISSED"))
        if "p99" in c:
            notes.append("p99 %s <= 1 ms %s" % (c["p99"]["zq_ms"],
                                                "ok" if c["p99"]["ok"] else "MISSED"))
        if "cpu" in c:
            notes.append("CPU %s <= %s s/1000 epochs (quarter of gpsd+client) %s" % (
                c["cpu"]["zq_s"], c["cpu"]["bound_s"], "ok" if c["cpu"]["ok"] else "MISSED"))
        print("verdict %s Hz: %s: %s" % (key, "PASS" if v["ok"] else "FAIL", "; ".join(notes)))


def main():
    os.makedirs(OUT, exist_ok=True)
    results = {"seconds_per_run": SECONDS, "poll_ms": POLL * 1000, "rates": {},
               "load_at_start": loadavg()}
    for rate in RATES:
        key = "%g" % rate
        results["rates"][key] = {}
        runs = [("zq_gps", run_zq), ("gpsd", run_gpsd)]
        if CPU_POLL > 0:
            runs.append(("zq_gps, host polls every %g ms" % (CPU_POLL * 1000),
                         lambda r, w: run_zq(r, w, CPU_POLL)))
        for system, fn in runs:
            with tempfile.TemporaryDirectory(prefix="zq-bench.") as workdir:
                print("bench/live: %s at %s Hz for %g s ..." % (system, key, SECONDS), flush=True)
                results["rates"][key][system] = fn(rate, workdir)
    with tempfile.TemporaryDirectory(prefix="zq-bench.") as workdir:
        print("bench/live: decode throughput (%g MB of recordings, %d NAV-PVT frames) ..."
              % (DECODE_MB, DECODE_PVT), flush=True)
        results["decode"] = decode_throughput(workdir)
    results["load_at_end"] = loadavg()
    slow = "zq_gps, host polls every %g ms" % (CPU_POLL * 1000)
    results["verdicts"] = {key: verdict(systems, slow)
                           for key, systems in results["rates"].items()}

    with open(os.path.join(OUT, "results.json"), "w") as f:
        json.dump(results, f, indent=2)
    if results["rates"]:
        print_latency(results)
    print()
    print_decode(results["decode"])
    print("\nfull results: %s" % os.path.join(OUT, "results.json"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
