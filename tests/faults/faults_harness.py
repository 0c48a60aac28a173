"""Shared pieces of the fault tests: the simulated receiver (zq-sim), a pseudo-terminal of our
own behind a managed symlink, a stand-in for the module's `time` that records every message
the reader accepts, and an independent NAV-PVT reader for the bytes on the line."""
import os
import shutil
import struct
import tempfile
import threading
import time as _time

import pytest

from ubx_helpers import fletcher, frame  # noqa: F401
from zq_sim import Sim, open_fds, sim_factory, stop_all, wait_until as wait_for  # noqa: F401

CODE2_LINE = "Error-Code: 0002, Error-Message: Failure in GPS-read()."
INITIAL = (0, 0, 99.99, -1, -1, -1, -1)


def nav_pvt(itow, lon, lat, pdop=150, num_sv=9):
    p = bytearray(92)
    struct.pack_into("<I", p, 0, itow)
    p[20], p[21], p[23] = 3, 0x01, num_sv
    struct.pack_into("<ii", p, 24, lon, lat)
    struct.pack_into("<H", p, 76, pdop)
    return frame(0x01, 0x07, bytes(p))


def split_items(data):
    """Complete items at the front of a clean receiver stream: (start, end, payload or None)
    for UBX frames (payload of NAV-PVT only) and NMEA lines, and where the complete part ends."""
    items, i = [], 0
    while i < len(data):
        if data[i:i + 2] == b"\xb5\x62":
            if i + 6 > len(data):
                break
            end = i + 8 + struct.unpack_from("<H", data, i + 4)[0]
            if end > len(data):
                break
            pvt = data[i + 6:end - 2] if data[i + 2:i + 4] == b"\x01\x07" else None
            items.append((i, end, pvt))
            i = end
        elif data[i:i + 1] == b"$":
            nl = data.find(b"\n", i)
            if nl < 0:
                break
            i = nl + 1
        else:
            i += 1
    return items, i


class LinkedPty:
    """A pseudo-terminal of our own published under a symlink that survives unplug/replug."""

    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="zq-faults-pty.")
        self.link = os.path.join(self.dir, "ttyGPS0")
        self.master = self.slave = None
        self.replug()

    def replug(self):
        import tty
        self.master, self.slave = os.openpty()
        tty.setraw(self.slave)
        tmp = self.link + ".new"
        os.symlink(os.ttyname(self.slave), tmp)
        os.rename(tmp, self.link)

    def write(self, data):
        os.write(self.master, data)

    def unplug(self):
        os.unlink(self.link)
        for fd in (self.master, self.slave):
            os.close(fd)
        self.master = self.slave = None

    def close(self):
        for fd in (self.master, self.slave):
            if fd is not None:
                os.close(fd)
        shutil.rmtree(self.dir, ignore_errors=True)


class AcceptRecorder:
    """Stands in for the module's `time`. The reader reads the clock right after it has stored
    an accepted message (its once-a-second debug check), so the message is seen here, on the
    reader's own thread, before the next one can replace it: every accepted message is
    recorded with the getgps() tuple that it produced (its first four values are final by
    then). The pause at the top of a pass, skipped while the reader drains a backlog, records
    too. The reader's first pass waits until the receiver is bound."""

    def __init__(self, pause=True):
        self.receiver = None
        self.bound = threading.Event()
        self.accepted = []  # (message, getgps tuple)
        self.pause = pause
        self.passes = 0

    def time(self):
        self.take()
        return _time.time()

    def sleep(self, seconds):
        self.bound.wait(10)
        self.passes += 1
        self.take()
        if self.pause:
            _time.sleep(seconds)

    def take(self):
        g = self.receiver
        if g is None:
            return
        m = g.parsed_data
        if m is not None and (not self.accepted or m is not self.accepted[-1][0]):
            self.accepted.append((m, g.getgps()))


@pytest.fixture
def receivers(zq, monkeypatch):
    """Builds receivers on the real serial library and codec with a recording logger; stops
    and joins every one at the end."""
    from zq_fakes import RecordingLogger
    log = RecordingLogger()
    monkeypatch.setattr(zq, "l", log)
    made = []

    def make(port, recorder=None):
        if recorder is not None:
            monkeypatch.setattr(zq, "time", recorder)
        g = zq.zq_gps(port=port)
        if recorder is not None:
            recorder.receiver = g
            recorder.bound.set()
        made.append(g)
        return g

    make.log = log
    yield make
    stop_all(made)


def reader_threads():
    return [t for t in threading.enumerate() if t is not threading.main_thread()]
