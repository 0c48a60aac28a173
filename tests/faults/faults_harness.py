"""Shared pieces of the fault tests: the simulated receiver (zq-sim), a pseudo-terminal of our
own behind a managed symlink, a stand-in for the module's `time` that records every message
the reader accepts. The frames on the line come from the independent encoder in ubx_helpers."""
import os
import shutil
import tempfile
import threading
import time as _time

import pytest

from ubx_helpers import nav_pvt  # noqa: F401
from zq_sim import Sim, open_fds, sim_factory, stop_all, wait_until as wait_for  # noqa: F401

CODE2_LINE = "Error-Code: 0002, Error-Message: Failure in GPS-read()."
INITIAL = (0, 0, 99.99, -1, -1, -1, -1)


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
