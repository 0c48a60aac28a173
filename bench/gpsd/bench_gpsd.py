#!/usr/bin/python3
"""The hub's gpsd server against gpsd 3.22 on the same simulated receiver stream.

For each number of watching clients (1, 50) the simulator runs once for zq-hub (the receiver and
the hub's gpsd server, one process) and once for gpsd on the same kind of stream, one after the
other so they never compete for the two cores. Latency: from the moment the simulator wrote an
epoch's NAV-PVT's last byte (its ground truth, CLOCK_MONOTONIC) to the moment the first client
connection received that epoch's TPV. CPU: the server process's (zq-hub: receiver + hub; gpsd:
the daemon), per 1000 epochs; the client is the same small program for both. Then a host
polling getgps() every 1 ms, without and with the largest number of watching clients: the
host's latency with them beside it.

Environment: ZQ_BUILD, ZQ_ROOT, BENCH_RATE (25), BENCH_SECONDS (20 per run), BENCH_CLIENTS
("1 50"), BENCH_OUT (result directory).
"""
import json
import os
import socket
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))
from bench_common import BUILD, PY, REPO, ROOT, SIM, free_port, stop, wait_for  # noqa: E402

RATE = float(os.environ.get("BENCH_RATE", "25"))
SECONDS = float(os.environ.get("BENCH_SECONDS", "20"))
CLIENTS = [int(n) for n in os.environ.get("BENCH_CLIENTS", "1 50").split()]
OUT = os.environ.get("BENCH_OUT", os.path.join(BUILD, "bench-gpsd"))


class Simulator:
    def __init__(self, workdir):
        self.link = os.path.join(workdir, "ttyGPS0")
        self.truth_path = os.path.join(workdir, "truth.jsonl")
        self.proc = subprocess.Popen([SIM, "--link", self.link, "--truth", self.truth_path,
                                      "--rate", "%g" % RATE, "--quiet"],
                                     stdout=subprocess.DEVNULL)
        wait_for(lambda: os.path.islink(self.link), 10, "the simulator")

    def truth(self):
        with open(self.truth_path) as f:
            return [json.loads(l) for l in f if l.strip()]

    def close(self):
        stop(self.proc)


def start_zq_hub(link, workdir):
    env = dict(os.environ, ROOT=ROOT, ROOT_PATH=workdir)
    p = subprocess.Popen([PY, os.path.join(REPO, "tools", "zq-hub"), "--port", link, "--gpsd",
                          "0"], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True,
                         env=env)
    line = ""
    while "gpsd protocol on" not in line:
        line = p.stdout.readline()
        if not line:
            raise RuntimeError("zq-hub ended before serving")
    return p, int(line.split(" on ")[1].split(" ")[0].rsplit(":", 1)[1])


def start_gpsd(link, workdir):
    port = free_port()
    p = subprocess.Popen(["gpsd", "-N", "-b", "-n", "-S", str(port), "-F",
                          os.path.join(workdir, "gpsd.sock"), link],
                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def up():
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return True
        except OSError:
            return False

    wait_for(up, 10, "gpsd")
    return p, port


def run(system, clients):
    with tempfile.TemporaryDirectory(prefix="bench-gpsd.") as workdir:
        sim = Simulator(workdir)
        server = None
        try:
            server, port = (start_zq_hub if system == "zq-hub" else start_gpsd)(sim.link, workdir)
            r = subprocess.run([PY, os.path.join(HERE, "client.py"), str(port), str(server.pid),
                                str(clients), str(SECONDS)], capture_output=True, text=True,
                               timeout=SECONDS + 60)
        finally:
            stop(server)
            sim.close()
        out = json.loads(r.stdout.strip().splitlines()[-1])
        if "error" in out:
            raise RuntimeError("%s client: %s" % (system, out["error"]))
        truth = sim.truth()
    by_time = {t["time"]: t for t in truth if t["sent"] and t["pvt"]}
    epochs = [t for t in by_time.values() if out["t_start"] <= t["t_mono"] <= out["t_end"]]
    lat = []
    for seen, when, la, lo in out["seen"]:
        t = by_time.get(when)
        # Only the first report of an epoch counts (gpsd sends some twice).
        if t and t["t_mono"] >= out["t_start"] and la is not None \
                and abs(la - t["lat"]) < 1e-6 and abs(lo - t["lon"]) < 1e-6:
            lat.append(seen - t["t_mono"])
            by_time.pop(when)
    lat.sort()

    def q(p):
        return lat[min(len(lat) - 1, int(p * len(lat)))] * 1000 if lat else None

    return {"system": system, "clients": clients, "epochs": len(epochs), "reports": len(lat),
            "p50_ms": q(0.50), "p99_ms": q(0.99), "max_ms": lat[-1] * 1000 if lat else None,
            "cpu_s": out["cpu_server"],
            "cpu_per_1000": out["cpu_server"] / max(1, len(epochs)) * 1000,
            # zq-hub: the gpsd server's own thread (the rest is the receiver's reader).
            "server_thread_per_1000": out["cpu_server_thread"] / max(1, len(epochs)) * 1000,
            "min_tpvs_per_client": min(out["counts"])}


def host_latency(clients):
    """getgps() latency of a host (polled every 1 ms) while the hub serves CLIENTS watchers."""
    with tempfile.TemporaryDirectory(prefix="bench-gpsd.") as workdir:
        sim = Simulator(workdir)
        try:
            r = subprocess.run([PY, os.path.join(HERE, "host.py"), sim.link, str(SECONDS),
                                "0.001", str(clients)], capture_output=True, text=True,
                               timeout=SECONDS + 60, env=dict(os.environ, ZQ_ROOT=ROOT,
                                                              ROOT_PATH=workdir))
        finally:
            sim.close()
        out = json.loads(r.stdout.strip().splitlines()[-1])
        truth = sim.truth()
    by_pos = {(t["lat_e7"], t["lon_e7"]): t for t in truth if t["sent"] and t["pvt"]}
    lat = sorted(seen - by_pos[(la, lo)]["t_mono"] for seen, la, lo in out["seen"]
                 if (la, lo) in by_pos and by_pos[(la, lo)]["t_mono"] >= out["t_start"])
    return {"clients": clients, "values": len(lat),
            "p50_ms": lat[len(lat) // 2] * 1000 if lat else None,
            "p99_ms": lat[min(len(lat) - 1, int(0.99 * len(lat)))] * 1000 if lat else None,
            "client_tpvs_min": out.get("client_tpvs_min")}


def main():
    for f in (SIM,):
        if not os.access(f, os.X_OK):
            sys.exit("bench/gpsd: %s is not built" % f)
    os.makedirs(OUT, exist_ok=True)
    results = []
    for n in CLIENTS:
        for system in ("zq-hub", "gpsd"):
            results.append(run(system, n))
            print(json.dumps(results[-1]), flush=True)
    hosts = [host_latency(n) for n in (0, max(CLIENTS))]
    for h in hosts:
        print(json.dumps(h), flush=True)
    with open(os.path.join(OUT, "results.json"), "w") as f:
        json.dump({"servers": results, "host": hosts}, f, indent=1)
    print()
    print("gpsd protocol at %g Hz, %g s per run: NAV-PVT last byte -> first client's TPV" %
          (RATE, SECONDS))
    print("| clients | server | epochs | TPVs | p50 ms | p99 ms | max ms | CPU s/1000 epochs "
          "| of it the zq-gpsd thread |")
    print("|---|---|---|---|---|---|---|---|---|")
    for r in results:
        print("| %d | %s | %d | %d | %.3f | %.3f | %.3f | %.3f | %s |" % (
            r["clients"], r["system"], r["epochs"], r["reports"], r["p50_ms"] or -1,
            r["p99_ms"] or -1, r["max_ms"] or -1, r["cpu_per_1000"],
            "%.3f" % r["server_thread_per_1000"] if r["system"] == "zq-hub" else "-"))
    print()
    print("The host's getgps() latency (polled every 1 ms) while the hub serves N gpsd clients")
    print("| clients | values | p50 ms | p99 ms | TPVs of the least served client |")
    print("|---|---|---|---|---|")
    for h in hosts:
        print("| %d | %d | %.3f | %.3f | %s |" % (h["clients"], h["values"], h["p50_ms"] or -1,
                                                h["p99_ms"] or -1, h["client_tpvs_min"]))
    ok = True
    for n in CLIENTS:
        zq = next(r for r in results if r["system"] == "zq-hub" and r["clients"] == n)
        gd = next(r for r in results if r["system"] == "gpsd" and r["clients"] == n)
        checks = [("p50 <= half of gpsd's", zq["p50_ms"] <= gd["p50_ms"] / 2),
                  ("p99 <= gpsd's", zq["p99_ms"] <= gd["p99_ms"]),
                  ("CPU <= half of gpsd's", zq["cpu_per_1000"] <= gd["cpu_per_1000"] / 2)]
        for what, good in checks:
            print("%d clients: %s: %s" % (n, what, "met" if good else "NOT met"))
            ok = ok and good
    # Missed targets fail the run only when asked (BENCH_STRICT=1), as in bench/live.
    return 0 if ok or os.environ.get("BENCH_STRICT", "0") != "1" else 1


if __name__ == "__main__":
    sys.exit(main())
