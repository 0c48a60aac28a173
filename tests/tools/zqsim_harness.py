"""Starts the built receiver tools for the tests and parses their output independently of the
codec under test (own Fletcher checksum, own NMEA checksum, payload offsets from the protocol
notes)."""
import json
import os
import shutil
import signal
import struct
import subprocess
import tempfile
import time

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
BUILD = os.environ.get("ZQ_BUILD", os.path.join(REPO, "build"))
ROOT = os.environ.get("ZQ_ROOT", os.path.join(BUILD, "root"))
CAPTURES = os.path.join(REPO, "tests", "captures")
PYTHON = "/usr/bin/python3"


def binary(name):
    path = os.path.join(BUILD, "tools", name)
    if not os.access(path, os.X_OK):
        pytest.skip("%s is not built (looked in %s; set ZQ_BUILD to the build directory)"
                    % (name, path))
    return path


def need_pyubx2():
    if not os.path.exists(os.path.join(ROOT, "libs")) or not any(
            f.startswith("pyubx2") and f.endswith(".so")
            for f in os.listdir(os.path.join(ROOT, "libs"))):
        pytest.skip("libs.pyubx2 is not built in %s" % ROOT)


def wait_until(predicate, timeout, what):
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError("timed out after %.1f s waiting for %s" % (timeout, what))
        time.sleep(0.01)


def checksum(body):
    a = b = 0
    for x in body:
        a = (a + x) & 0xFF
        b = (b + a) & 0xFF
    return bytes((a, b))


def frame(cls, mid, payload=b""):
    body = bytes((cls, mid)) + struct.pack("<H", len(payload)) + payload
    return b"\xb5\x62" + body + checksum(body)


def split_stream(data):
    """Items in arrival order: ("ubx", cls, id, payload, ok) / ("nmea", line, ok) / noise bytes
    are skipped. A UBX candidate with a bad checksum is reported with ok False."""
    items, i = [], 0
    while i < len(data):
        if data[i:i + 2] == b"\xb5\x62" and i + 6 <= len(data):
            n = struct.unpack_from("<H", data, i + 4)[0]
            end = i + 8 + n
            if n <= 4096 and end <= len(data):
                ok = checksum(data[i + 2:end - 2]) == data[end - 2:end]
                # Only a plausible frame counts as damaged; a random sync pair in noise does not.
                if ok or (data[i + 2], data[i + 3], n) in ((1, 7, 92), (1, 7, 84)):
                    items.append(("ubx", data[i + 2], data[i + 3], data[i + 6:end - 2], ok))
                if ok:
                    i = end
                    continue
        if data[i:i + 1] == b"$":
            nl = data.find(b"\n", i)
            if nl < 0:
                break
            line = data[i:nl + 1]
            if all(32 <= c < 127 for c in line[1:].rstrip(b"\r\n")):
                items.append(("nmea", line, nmea_ok(line)))
                i = nl + 1
                continue
        i += 1
    return items


def nmea_ok(line):
    text = line.decode("ascii", "replace").rstrip("\r\n")
    if not text.startswith("$") or "*" not in text:
        return False
    body, _, ck = text[1:].partition("*")
    x = 0
    for c in body.encode():
        x ^= c
    return ck == "%02X" % x and len(text) <= 82


def pvt_fields(payload):
    """The NAV-PVT fields the tests compare, read at their documented offsets."""
    itow, = struct.unpack_from("<I", payload, 0)
    lon, lat = struct.unpack_from("<ii", payload, 24)
    gspeed, headmot = struct.unpack_from("<ii", payload, 60)
    pdop, = struct.unpack_from("<H", payload, 76)
    return {"iTOW": itow, "lon_e7": lon, "lat_e7": lat, "gSpeed": gspeed, "headMot": headmot,
            "numSV": payload[23], "pDOP": pdop, "fixType": payload[20]}


class Sim:
    """One zq-sim process with its link, control FIFO and truth file in a private directory."""

    def __init__(self, *args):
        self.dir = tempfile.mkdtemp(prefix="zq-sim-test.")
        self.link = os.path.join(self.dir, "ttyGPS0")
        self.control = self.link + ".ctl"
        self.truth_path = os.path.join(self.dir, "truth.jsonl")
        self.log_path = os.path.join(self.dir, "sim.log")
        self._log = open(self.log_path, "w")
        self.proc = subprocess.Popen(
            [binary("zq-sim"), "--link", self.link, "--truth", self.truth_path, *args],
            stdout=subprocess.DEVNULL, stderr=self._log)
        wait_until(lambda: os.path.islink(self.link) and os.path.exists(self.control)
                   or self.proc.poll() is not None, 5, "the simulator's device link")
        if self.proc.poll() is not None:
            raise AssertionError("zq-sim exited %s: %s" % (self.proc.returncode, self.log()))

    def log(self):
        with open(self.log_path) as f:
            return f.read()

    def truth(self):
        with open(self.truth_path) as f:
            return [json.loads(line) for line in f if line.strip()]

    def send(self, command):
        with open(self.control, "w") as f:
            f.write(command + "\n")

    def stop(self, sig=signal.SIGTERM):
        if self.proc.poll() is None:
            self.proc.send_signal(sig)
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self._log.close()

    def close(self):
        self.stop()
        shutil.rmtree(self.dir, ignore_errors=True)


@pytest.fixture
def sim_factory():
    sims = []

    def start(*args):
        s = Sim(*args)
        sims.append(s)
        return s

    yield start
    for s in sims:
        s.close()


class Port:
    """The host's side of the line: reads with deadlines and splits what arrives."""

    def __init__(self, path):
        import serial
        self.ser = serial.Serial(path, 9600, timeout=0.05)
        self.buf = b""

    def read_for(self, seconds):
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            self.buf += self.ser.read(65536)
        return self.buf

    def read_until(self, predicate, timeout, what):
        deadline = time.monotonic() + timeout
        while True:
            items = split_stream(self.buf)
            found = predicate(items)
            if found:
                return found
            if time.monotonic() > deadline:
                raise AssertionError("timed out after %.1f s waiting for %s" % (timeout, what))
            self.buf += self.ser.read(65536)

    def command(self, raw, answer_ids, timeout=2.0):
        """Writes a frame and returns the first UBX answer whose (cls, id) is in answer_ids."""
        self.buf = b""
        self.ser.write(raw)

        def match(items):
            return next((it for it in items if it[0] == "ubx" and it[4]
                         and (it[1], it[2]) in answer_ids), None)
        return self.read_until(match, timeout, "an answer %s" % (answer_ids,))

    def close(self):
        self.ser.close()


def run_tool(args, timeout=30, **kw):
    env = dict(os.environ, ZQ_ROOT=ROOT)
    env.update(kw.pop("env", {}))
    return subprocess.run(args, capture_output=True, text=True, timeout=timeout, env=env, **kw)

