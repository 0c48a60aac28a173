"""What the time-feed tests share: a receiver on a pseudo-terminal fed NAV-PVT frames whose UTC is
the host's clock plus a chosen offset (with chosen flags), a stand-in chronyd socket, and Debian's
chronyd itself in the foreground without control of the clock."""
import calendar
import os
import re
import shutil
import socket
import struct
import subprocess
import tempfile
import threading
import time

import pytest

import ubx_helpers
from zq_sim import wait_until  # noqa: F401  (the time tests import it from here)

WEEKS_1024 = 1024 * 7 * 86400
GOOD = {"valid": 0x07, "flags2": 0xE0, "tAcc": 25}  # valid+resolved, confirmed


def pvt_at(utc, **fields):
    """A NAV-PVT frame (3-D fix) whose date and time say UTC (POSIX seconds, float)."""
    whole = int(utc // 1)
    nano = int(round((utc - whole) * 1e9))
    t = time.gmtime(whole)
    values = dict(GOOD, year=t.tm_year, month=t.tm_mon, day=t.tm_mday, hour=t.tm_hour,
                  min=t.tm_min, second=t.tm_sec, nano=nano)
    values.update(fields)
    return ubx_helpers.nav_pvt((whole % 604800) * 1000, 85000000, 475000000, **values)


class Feeder:
    """Writes one NAV-PVT per period to a pty master, on the host clock's grid, with UTC = the
    moment of writing + `offset` (+ `shift`), flags from `fields`. `written` holds (write time,
    tag) for every frame; `paused` stops the writing (a stall)."""

    def __init__(self, master, period=0.2, offset=0.0):
        self.master = master
        self.period = period
        self.offset = offset
        self.shift = 0.0
        self.fields = {}
        self.tag = "good"
        self.paused = False
        self.written = []
        self._stop = threading.Event()
        self._lock = threading.Lock()
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def set(self, tag, shift=0.0, **fields):
        with self._lock:
            self.tag, self.shift, self.fields = tag, shift, fields

    def count(self, tag=None):
        with self._lock:
            return sum(1 for _, t in self.written if tag is None or t == tag)

    def _run(self):
        while not self._stop.is_set():
            now = time.time()
            nxt = (now // self.period + 1) * self.period
            if self._stop.wait(nxt - now):
                return
            with self._lock:
                if self.paused:
                    continue
                t = time.time()
                frame = pvt_at(t + self.offset + self.shift, **self.fields)
                try:
                    os.write(self.master, frame)
                except OSError:
                    return
                self.written.append((t, self.tag))

    def stop(self):
        self._stop.set()
        self._thread.join(5)


class FakeChronyd:
    """The socket chronyd binds for `refclock SOCK PATH`: receives and decodes the samples."""
    FORMAT = "=qqdiiii"  # struct sock_sample on a 64-bit host

    def __init__(self, path):
        self.path = path
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.bind(path)

    def receive(self, timeout=20):
        self.sock.settimeout(timeout)
        data = self.sock.recv(256)
        assert len(data) == struct.calcsize(self.FORMAT) == 40
        sec, usec, offset, pulse, leap, pad, magic = struct.unpack(self.FORMAT, data)
        assert (pulse, pad, magic) == (0, 0, 0x534F434B)
        return sec + usec * 1e-6, offset, leap

    def pending(self):
        self.sock.setblocking(False)
        try:
            self.sock.recv(256)
            return True
        except BlockingIOError:
            return False
        finally:
            self.sock.setblocking(True)

    def close(self):
        self.sock.close()
        try:
            os.unlink(self.path)
        except FileNotFoundError:
            pass


class Chronyd:
    """chronyd -x -d with its own configuration, refclock socket, command socket and logs in a
    temporary directory (run as root, it keeps root: -u root)."""

    def __init__(self, refclock_options="poll 0 filter 4 precision 1e-3 delay 0.01", extra=()):
        if not shutil.which("chronyd"):
            pytest.skip("chronyd is not installed (Debian's chrony package)")
        self.dir = tempfile.mkdtemp(prefix="zq-chronyd.")
        os.chmod(self.dir, 0o750)
        self.run = os.path.join(self.dir, "run")
        self.logdir = os.path.join(self.dir, "log")
        os.mkdir(self.run, 0o750)
        os.mkdir(self.logdir, 0o750)
        self.sock = os.path.join(self.run, "gps.sock")
        self.cmd = os.path.join(self.run, "chronyd.sock")
        conf = os.path.join(self.dir, "chrony.conf")
        with open(conf, "w") as f:
            f.write("refclock SOCK %s refid GPS %s\n" % (self.sock, refclock_options))
            for line in extra:
                f.write(line.replace("$RUN", self.run) + "\n")
            f.write("port 0\ncmdport 0\nbindcmdaddress %s\npidfile %s/chronyd.pid\n"
                    "driftfile %s/drift\nlogdir %s\nlog refclocks tracking\n"
                    % (self.cmd, self.run, self.run, self.logdir))
        self.out = open(os.path.join(self.dir, "chronyd.out"), "w")
        args = ["chronyd", "-x", "-d", "-f", conf]
        if os.geteuid() == 0:
            args[1:1] = ["-u", "root"]
        self.proc = subprocess.Popen(args, stdout=self.out, stderr=subprocess.STDOUT)
        wait_until(lambda: os.path.exists(self.sock) or self.proc.poll() is not None, 20,
                   "chronyd's refclock socket")
        if self.proc.poll() is not None:
            raise AssertionError("chronyd exited: " + self.output())

    def output(self):
        with open(os.path.join(self.dir, "chronyd.out")) as f:
            return f.read()

    def chronyc(self, *args):
        r = subprocess.run(["chronyc", "-h", self.cmd, "-n", *args], capture_output=True,
                           text=True, timeout=20)
        return r.stdout

    def samples(self, refid="GPS"):
        """(sample time, raw offset) of every sample of REFID chronyd's refclock log shows."""
        path = os.path.join(self.logdir, "refclocks.log")
        out = []
        try:
            with open(path) as f:
                lines = f.readlines()
        except FileNotFoundError:
            return out
        for line in lines:
            m = re.match(r"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d+) " + refid +
                         r" +\d+ +[NID+-] +\d +"
                         r"([-+]?\d\.\d+e[-+]\d+)", line)
            if m:
                stamp, frac = m.group(1).split(".")
                t = calendar.timegm(time.strptime(stamp, "%Y-%m-%d %H:%M:%S"))
                out.append((t + float("0." + frac), float(m.group(2))))
        return out

    def leaps(self):
        """The leap column of every sample in chronyd's refclock log ("N", "+", "-")."""
        path = os.path.join(self.logdir, "refclocks.log")
        try:
            with open(path) as f:
                return [m.group(1) for m in
                        (re.match(r"\S+ \S+ GPS +\d+ +(\S) ", line) for line in f) if m]
        except FileNotFoundError:
            return []

    def selected(self):
        return any(line.startswith("#*") and " GPS " in line
                   for line in self.chronyc("sources").splitlines())

    def system_offset(self):
        """chronyc tracking's System time, as NTP time minus system time (s)."""
        m = re.search(r"System time\s*:\s*([\d.]+) seconds (slow|fast)", self.chronyc("tracking"))
        if not m:
            return None
        return float(m.group(1)) * (1 if m.group(2) == "slow" else -1)

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.out.close()
        shutil.rmtree(self.dir, ignore_errors=True)


class Recorder:
    """A stand-in for zq_gps's logger that keeps every line."""

    def __init__(self):
        self.lines = []
        self._lock = threading.Lock()

    def _add(self, level, text):
        with self._lock:
            self.lines.append((level, str(text)))

    def info(self, text):
        self._add("info", text)

    def warning(self, text):
        self._add("warning", text)

    def debug(self, text):
        self._add("debug", text)

    def error(self, text):
        self._add("error", text)

    def count(self, part, level=None):
        with self._lock:
            return sum(1 for lv, t in self.lines if part in t and level in (None, lv))
