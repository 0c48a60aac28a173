#!/usr/bin/python3
"""Fuzzes the tools a user feeds files and devices to, each run in a process of its own:

    dump    ubxdump over mutated recordings (bit flips, cuts, splices, false headers, noise)
            and over a pseudo-terminal that sends the same: it must end with status 0 and
            nothing on stderr but its own messages, within its time-out;
    config  ubxconfig against a pseudo-terminal that answers every command with random bytes,
            random valid frames, a wrong ACK, or nothing: it must end with one of its exit
            codes (0 to 4) and a one-line "ubxconfig: ..." error, never a traceback, within
            the time its time-out and retries allow;
    fifo    zq-sim's control FIFO fed random lines, among them commands with odd arguments: the
            simulator must keep running (or leave cleanly on "quit") and keep sending.

A signal, a traceback, a sanitizer report, an unexpected status or a hang is a finding: its
input is saved under OUT/findings-<mode>/ and the run exits 1.

    fuzz_tools.py MODE SECONDS [--out DIR] [--seed N]     (env: ZQ_BUILD, ZQ_ROOT)
"""
import argparse
import os
import random
import select
import struct
import subprocess
import sys
import tempfile
import time
import tty

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
BUILD = os.environ.get("ZQ_BUILD", os.path.join(REPO, "build"))
ROOT = os.environ.get("ZQ_ROOT", os.path.join(BUILD, "root"))
CAPTURES = os.path.join(REPO, "tests", "captures")
sys.path.insert(0, os.path.join(REPO, "tests"))
from ubx_helpers import frame  # noqa: E402

NMEA = b"$GPGGA,085000.80,3454.3736,S,13836.4872,E,2,00,,28.89,M,-1.662,M,,*4D\r\n"


def recordings():
    out = []
    for name in sorted(os.listdir(CAPTURES)):
        if name.endswith(".log"):
            with open(os.path.join(CAPTURES, name), "rb") as f:
                data = f.read()
            out.append(b"\n".join(l for l in data.split(b"\n") if not l.startswith(b"#")))
    return out


def random_frame(rnd):
    cls = rnd.choice([0x01, 0x02, 0x05, 0x06, 0x0A, 0x0D, 0x27, rnd.randrange(256)])
    mid = rnd.choice([0x00, 0x01, 0x04, 0x07, 0x35, 0x8A, rnd.randrange(256)])
    n = rnd.choice([0, 1, 2, 4, 8, 10, 20, 40, 84, 92, rnd.randrange(600)])
    return frame(cls, mid, bytes(rnd.randrange(256) for _ in range(n)))


def mutate(rnd, data):
    data = bytearray(data[: rnd.randrange(1, len(data) + 1)] if data else b"")
    for _ in range(rnd.randrange(1, 12)):
        op = rnd.randrange(6)
        at = rnd.randrange(len(data) + 1)
        if op == 0 and data:
            data[min(at, len(data) - 1)] ^= 1 << rnd.randrange(8)
        elif op == 1:
            data[at:at] = b"\xb5\x62" + bytes([rnd.randrange(256), rnd.randrange(256)]) + \
                struct.pack("<H", rnd.choice([0, 8, 92, 500, 9000, 0xFFFF, rnd.randrange(65536)]))
        elif op == 2:
            data[at:at] = random_frame(rnd)
        elif op == 3:
            data[at:at] = bytes(rnd.randrange(256) for _ in range(rnd.randrange(200)))
        elif op == 4:
            del data[at:at + rnd.randrange(300)]
        else:
            data[at:at] = NMEA[: rnd.randrange(len(NMEA) + 1)]
    return bytes(data)


class Finding(Exception):
    pass


def check_exit(proc, out, err, allowed, what):
    if proc.returncode < 0:
        raise Finding("%s: killed by signal %d" % (what, -proc.returncode))
    if proc.returncode not in allowed:
        raise Finding("%s: exit status %d\n%s" % (what, proc.returncode, err[-2000:]))
    if "Traceback" in err or "ERROR: AddressSanitizer" in err or "runtime error" in err:
        raise Finding("%s: %s" % (what, err[-2000:]))


def open_line():
    master, slave = os.openpty()
    tty.setraw(slave)
    return master, slave, os.ttyname(slave)


def run_dump(rnd, base, tmp):
    data = mutate(rnd, rnd.choice(base)) if rnd.random() < 0.8 else bytes(
        rnd.randrange(256) for _ in range(rnd.randrange(5000)))
    opts = rnd.choice([[], ["--raw"], ["--count"], ["--stats"], ["--only", "NAV-PVT"],
                       ["--max", str(rnd.randrange(5))]])
    if rnd.random() < 0.7:
        path = os.path.join(tmp, "input.bin")
        with open(path, "wb") as f:
            f.write(data)
        proc = subprocess.run([os.path.join(BUILD, "tools", "ubxdump")] + opts + [path],
                              capture_output=True, text=True, errors="replace", timeout=60)
        check_exit(proc, proc.stdout, proc.stderr, {0}, "ubxdump %s on a file" % opts)
        return data
    master, slave, path = open_line()
    try:
        proc = subprocess.Popen([os.path.join(BUILD, "tools", "ubxdump"), "--timeout", "0.5"] +
                                opts + [path], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                text=True, errors="replace")
        time.sleep(0.05)
        for i in range(0, len(data), 512):
            os.write(master, data[i:i + 512])
        try:
            out, err = proc.communicate(timeout=20)
        except subprocess.TimeoutExpired:
            proc.kill()
            raise Finding("ubxdump %s on a line: still running 20 s after a 0.5 s time-out" % opts)
        # Done (--max), or given up once no frame came for 0.5 s: status 1 and that one line.
        check_exit(proc, out, err, {0, 1}, "ubxdump %s on a line" % opts)
        if proc.returncode == 1 and not err.startswith("ubxdump: no UBX frame in 0.5 s"):
            raise Finding("ubxdump %s on a line: status 1 without its time-out line: %r"
                          % (opts, err[-500:]))
    finally:
        os.close(master)
        os.close(slave)
    return data


def run_config(rnd, base, tmp):
    answer = rnd.choice(["silence", "garbage", "frames", "wrong-ack", "echo", "recording"])
    cmd = rnd.choice([["version"], ["enable-pvt"], ["rate", "5"], ["save"], ["setup", "2"],
                      ["nmea", "off"], ["msg", "0x01", "0x07", "1"]])
    master, slave, path = open_line()
    timeout, retries = 0.3, rnd.randrange(2)
    steps = 4 if cmd[0] == "setup" else (6 if cmd[0] == "nmea" else 1)
    bound = steps * (retries + 1) * timeout + 10
    proc = subprocess.Popen([sys.executable, os.path.join(REPO, "tools", "ubxconfig"), "--port",
                             path, "--timeout", str(timeout), "--retries", str(retries)] + cmd,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            errors="replace", env=dict(os.environ, ROOT=ROOT))
    sent = []
    try:
        end = time.monotonic() + bound
        while proc.poll() is None and time.monotonic() < end:
            ready, _, _ = select.select([master], [], [], 0.05)
            if not ready:
                continue
            try:
                got = os.read(master, 4096)
            except OSError:
                break
            reply = {
                "silence": b"",
                "garbage": bytes(rnd.randrange(256) for _ in range(rnd.randrange(300))),
                "frames": b"".join(random_frame(rnd) for _ in range(rnd.randrange(4))),
                "wrong-ack": frame(0x05, rnd.randrange(2), bytes([rnd.randrange(256),
                                                                rnd.randrange(256)])),
                "echo": got,
                "recording": mutate(rnd, rnd.choice(base))[:2000],
            }[answer]
            sent.append(reply)
            if reply:
                os.write(master, reply)
        if proc.poll() is None:
            proc.kill()
            raise Finding("ubxconfig %s (%s): still running after %.1f s" % (cmd, answer, bound))
        out, err = proc.communicate()
        check_exit(proc, out, err, {0, 1, 2, 3, 4}, "ubxconfig %s (%s)" % (cmd, answer))
        if proc.returncode != 0 and not err.startswith("ubxconfig: "):
            raise Finding("ubxconfig %s (%s): no clear error: %r" % (cmd, answer, err[-500:]))
    finally:
        if proc.poll() is None:
            proc.kill()
        os.close(master)
        os.close(slave)
    return repr((cmd, answer, sent)).encode()


def run_fifo(rnd, base, tmp):
    link = os.path.join(tmp, "tty%d" % rnd.randrange(10**6))
    sim = subprocess.Popen([os.path.join(BUILD, "tools", "zq-sim"), "--quiet", "--link", link,
                            "--truth", "/dev/null", "--rate", "10"],
                           stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True,
                           errors="replace")
    words = ["noise", "badck", "stall", "unplug", "replug", "rate", "pvt", "nmea", "pause",
             "resume", "quit", "", "\x00", "unplug=3"]
    lines = []
    try:
        deadline = time.monotonic() + 5
        while not os.path.exists(link + ".ctl"):
            if time.monotonic() > deadline or sim.poll() is not None:
                raise Finding("zq-sim did not start: %s" % sim.stderr.read()[-1000:])
            time.sleep(0.01)
        for _ in range(rnd.randrange(1, 8)):
            w = rnd.choice(words)
            arg = rnd.choice(["", " 0", " -1", " 1e9", " 0.001", " nan", " 25", " on", " off",
                              " x", " 99999999999999999999", " " + "9" * 400])
            if w in ("unplug", "stall"):
                arg = rnd.choice([" 0.1", " 0", " -5", " nan", ""])
            if w == "quit":
                w = "resume"  # ending it is tested once at the end
            line = w + arg if rnd.random() < 0.9 else "".join(
                chr(rnd.randrange(1, 256)) for _ in range(rnd.randrange(100)))
            lines.append(line)
            try:
                fd = os.open(link + ".ctl", os.O_WRONLY | os.O_NONBLOCK)
                os.write(fd, (line + "\n").encode("utf-8", "surrogateescape"))
                os.close(fd)
            except OSError:
                pass
            time.sleep(0.02)
        time.sleep(0.2)
        if sim.poll() is not None:
            raise Finding("zq-sim ended (status %s) after lines %r: %s" % (
                sim.returncode, lines, sim.stderr.read()[-1000:]))
        # The FIFO has no reader for a moment while the simulator opens it anew after a
        # writer has gone: try again until it is back.
        deadline = time.monotonic() + 5
        while True:
            try:
                fd = os.open(link + ".ctl", os.O_WRONLY | os.O_NONBLOCK)
                break
            except OSError as e:
                if sim.poll() is not None or time.monotonic() > deadline:
                    raise Finding("zq-sim's control FIFO gone (%s), status %s, lines %r" % (
                        e, sim.returncode, lines))
                time.sleep(0.01)
        os.write(fd, b"quit\n")
        os.close(fd)
        try:
            sim.wait(5)
        except subprocess.TimeoutExpired:
            raise Finding("zq-sim still running 5 s after quit, lines %r" % lines)
        if sim.returncode != 0:
            raise Finding("zq-sim left with status %d after lines %r" % (sim.returncode, lines))
    finally:
        if sim.poll() is None:
            sim.kill()
            sim.wait()
    return repr(lines).encode()


MODES = {"dump": run_dump, "config": run_config, "fifo": run_fifo}


def main():
    p = argparse.ArgumentParser()
    p.add_argument("mode", choices=MODES)
    p.add_argument("seconds", type=float)
    p.add_argument("--out", default=os.path.join(REPO, "build-fuzz", "tools"))
    p.add_argument("--seed", type=int, default=None)
    args = p.parse_args()
    seed = args.seed if args.seed is not None else random.randrange(2**32)
    rnd = random.Random(seed)
    base = recordings()
    findings = os.path.join(args.out, "findings-" + args.mode)
    os.makedirs(findings, exist_ok=True)
    runs = found = 0
    end = time.monotonic() + args.seconds
    with tempfile.TemporaryDirectory(prefix="zq-fuzz-tools.") as tmp:
        while time.monotonic() < end:
            state = rnd.getstate()
            try:
                MODES[args.mode](rnd, base, tmp)
            except (Finding, subprocess.TimeoutExpired) as e:
                found += 1
                with open(os.path.join(findings, "finding-%d.txt" % found), "w") as f:
                    f.write("seed %d, run %d\n%s\n" % (seed, runs, e))
                print("finding: %s" % str(e).splitlines()[0], file=sys.stderr)
                rnd.setstate(state)
                rnd.random()  # go on from another state
            runs += 1
    print("fuzz_tools %s: %d runs in %.0f s (seed %d), %d findings" % (
        args.mode, runs, args.seconds, seed, found))
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
