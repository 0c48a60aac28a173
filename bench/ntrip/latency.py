#!/usr/bin/python3
"""NTRIP relay latency and CPU: zq-hub --ntrip against str2str -in ntrip:// -out serial://, the
tool users run today, both relaying the same caster to a pseudo-terminal.

Latency: from the moment the caster's send() of a frame's last byte returns to the moment the
frame's last byte is read on the terminal's far side (one CLOCK_MONOTONIC for all processes);
p50 and p99 at 1 and 10 frames per epoch. CPU: the relay process's user+system time per 1000
frames. Usage: bench/ntrip/latency.py [--epochs N] (needs a built tree and rtklib's str2str).
"""
import argparse
import os
import select
import socket
import statistics
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(REPO, "tests"))
from rtcm3_helpers import capture_frames, frame, split_frames  # noqa: E402
from zq_paths import ROOT  # noqa: E402

TICK = os.sysconf("SC_CLK_TCK")


class TimedCaster:
    """ICY caster on 127.0.0.1: EPOCH frames per send every PERIOD s; notes when each send of
    a frame's last byte returned."""

    def __init__(self, frames, epoch, period, epochs):
        self.frames, self.epoch, self.period, self.epochs = frames, epoch, period, epochs
        self.sent = {}  # frame bytes -> monotonic time (frames made unique below)
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(1)
        self.port = self.sock.getsockname()[1]
        self.done = threading.Event()
        threading.Thread(target=self._serve, daemon=True).start()

    def _serve(self):
        conn, _ = self.sock.accept()
        conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        conn.recv(4096)
        conn.sendall(b"ICY 200 OK\r\n")
        time.sleep(0.5)  # let the relay settle into streaming before timing starts
        i = 0
        for _ in range(self.epochs):
            batch = [self.frames[(i + k) % len(self.frames)] for k in range(self.epoch)]
            i += self.epoch
            for f in batch:
                conn.sendall(f)
                self.sent[f] = time.monotonic()
            time.sleep(self.period)
        self.done.set()
        time.sleep(2)
        conn.close()


def unique_frames(n):
    """N distinct valid frames (the recording's, each with its own counter in a 1029 message
    body): a frame's bytes identify it at both ends."""
    base = capture_frames()
    out = []
    for k in range(n):
        payload = bytearray(base[k % len(base)][3:-3])
        payload[-4:] = k.to_bytes(4, "big")
        out.append(frame(payload))
    return out


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICK


def run(relay, epoch, epochs, period=0.1):
    frames = unique_frames(epoch * epochs)
    caster = TimedCaster(frames, epoch, period, epochs)
    master, slave = os.openpty()
    import tty
    tty.setraw(slave)
    path = os.ttyname(slave)
    url = "127.0.0.1:%d/TEST" % caster.port
    if relay == "zq-hub":
        cmd = ["/usr/bin/python3", os.path.join(REPO, "tools", "zq-hub"), "--port", path,
               "--ntrip", "ntrip://" + url, "--gga-interval", "0"]
    else:
        cmd = ["str2str", "-in", "ntrip://" + url, "-out", "serial://" + path[len("/dev/"):]
               + ":115200"]
    proc = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                            env=dict(os.environ, ROOT=ROOT))
    got, arrival, buf = 0, {}, b""
    cpu0 = None
    deadline = time.monotonic() + epochs * period + 30
    while len(arrival) < len(frames) and time.monotonic() < deadline:
        r, _, _ = select.select([master], [], [], 0.5)
        if not r:
            if caster.done.is_set() and time.monotonic() > deadline - 25:
                break
            continue
        buf += os.read(master, 65536)
        now = time.monotonic()
        if cpu0 is None:
            cpu0 = cpu_seconds(proc.pid)
        found, _ = split_frames(buf)
        if found:
            end = buf.rfind(found[-1]) + len(found[-1])
            buf = buf[end:]
            for f in found:
                arrival.setdefault(f, now)
    cpu1 = cpu_seconds(proc.pid)
    proc.terminate()
    proc.wait(10)
    os.close(master)
    os.close(slave)
    lat = sorted((arrival[f] - caster.sent[f]) * 1000 for f in arrival if f in caster.sent)
    return {
        "relay": relay, "epoch": epoch, "frames": len(frames), "arrived": len(arrival),
        "p50_ms": statistics.median(lat) if lat else None,
        "p99_ms": lat[int(len(lat) * 0.99) - 1] if lat else None,
        "cpu_ms_per_1000": (cpu1 - (cpu0 or cpu1)) * 1000 / max(len(arrival), 1) * 1000,
    }


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--epochs", type=int, default=100)
    a = ap.parse_args()
    print("%-8s %5s %7s %7s %8s %8s %14s" % ("relay", "epoch", "frames", "arrived", "p50 ms",
                                               "p99 ms", "CPU ms/1000"))
    for epoch in (1, 10):
        for relay in ("zq-hub", "str2str"):
            r = run(relay, epoch, a.epochs)
            print("%-8s %5d %7d %7d %8.3f %8.3f %14.1f" % (
                r["relay"], r["epoch"], r["frames"], r["arrived"], r["p50_ms"] or -1,
                r["p99_ms"] or -1, r["cpu_ms_per_1000"]))


if __name__ == "__main__":
    main()
