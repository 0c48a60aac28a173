"""A receiver on a pseudo-terminal whose far side the test plays: it reads what the hub writes
to the receiver (corrections, the module's own commands) and writes the receiver's output
(NAV-PVT, RXM-RTCM)."""
import os
import select
import struct
import threading
import time
import tty

import ubx_helpers
from zq_sim import wait_until as wait_for


def rxm_rtcm(msg_type, crc_failed=False, used=2):
    """An RXM-RTCM frame: the receiver's verdict on one RTCM message (used: 0 unknown, 1 not
    used, 2 used)."""
    flags = (1 if crc_failed else 0) | (used & 3) << 1
    return ubx_helpers.frame(0x02, 0x32, struct.pack("<BBHHH", 2, flags, 0, 0, msg_type))


def fix(lat=475000000, lon=85000000, flags=0x01, **fields):
    """A NAV-PVT of a 3-D fix at 12:00:00 UTC (flags: gnssFixOk, diffSoln 0x02, carrSoln
    0x40 float / 0x80 fixed)."""
    return ubx_helpers.nav_pvt(1000, lon, lat, 150, 9, year=2026, month=12, day=9, hour=12,
                               min=0, second=0, valid=0x37, height=447000, hMSL=400000,
                               flags=flags, **fields)


class Rover:
    def __init__(self, zq, zq_hub):
        self.master, self.slave = os.openpty()
        tty.setraw(self.master)
        self.path = os.ttyname(self.slave)
        self.buf = bytearray()
        self.cond = threading.Condition()
        self.reading = threading.Event()
        self.reading.set()
        self.slow = False  # read like a slow UART: a little at a time
        self._stop_r, self._stop_w = os.pipe()
        self._thread = threading.Thread(target=self._read, daemon=True)
        self._thread.start()
        self.g = zq.zq_gps(port=self.path)
        self.hub = zq_hub.attach(self.g)

    def _read(self):
        while True:
            self.reading.wait()
            r, _, _ = select.select([self.master, self._stop_r], [], [], 0.2)
            if self._stop_r in r:
                return
            if self.master in r and self.reading.is_set():
                try:
                    data = os.read(self.master, 64 if self.slow else 65536)
                except OSError:
                    return
                with self.cond:
                    self.buf += data
                    self.cond.notify_all()
                if self.slow:
                    time.sleep(0.002)  # the device's pace, not a synchronisation

    def received(self):
        with self.cond:
            return bytes(self.buf)

    def wait_received(self, n, timeout=20.0):
        deadline = time.monotonic() + timeout
        with self.cond:
            while len(self.buf) < n:
                left = deadline - time.monotonic()
                if left <= 0:
                    raise AssertionError("the receiver got %d of %d bytes" % (len(self.buf), n))
                self.cond.wait(min(left, 0.1))
            return bytes(self.buf)

    def send(self, data):
        """Bytes from the receiver to the host (its UBX output)."""
        os.write(self.master, data)

    def unplug(self):
        """The device goes: the far side closes."""
        os.write(self._stop_w, b"x")
        self.reading.set()
        self._thread.join(5)
        os.close(self.master)
        self.master = -1

    def status(self):
        return self.hub.ntrip_status

    def wait_status(self, predicate, timeout=20.0, what="the status"):
        return wait_for(lambda: (lambda s: s if s and predicate(s) else None)(self.status()),
                        timeout, what)

    def wait_attached(self):
        wait_for(lambda: self.hub.state != "stopped", 10, "the reader's first pass")

    def close(self):
        self.hub.close()
        try:
            self.g.stop()
        except Exception:
            pass
        self.g.t1.join(5)
        if self._thread.is_alive():
            os.write(self._stop_w, b"x")
            self.reading.set()
            self._thread.join(5)
        for fd in (self.master, self.slave, self._stop_r, self._stop_w):
            try:
                os.close(fd)
            except OSError:
                pass
