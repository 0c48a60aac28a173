"""The simulated receiver (zq-sim) and the other built tools as the tests start them, and the
clean-up of receivers the tests run on real ports."""
import json
import os
import shutil
import signal
import subprocess
import tempfile
import time

import pytest

from zq_paths import BUILD

PYTHON = "/usr/bin/python3"


def binary(name):
    path = os.path.join(BUILD, "tools", name)
    if not os.access(path, os.X_OK):
        pytest.skip("%s is not built (looked in %s; set ZQ_BUILD to the build directory)"
                    % (name, path))
    return path


def wait_until(predicate, timeout=20, what="the condition"):
    """PREDICATE's first true value, polled until TIMEOUT seconds; running out fails the test."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError("timed out after %.1f s waiting for %s" % (timeout, what))
        time.sleep(0.005)


class Pty:
    """A pseudo-terminal whose far side the test plays as the receiver: PATH is the port to open,
    write() is what the receiver sends, unplug() closes the far side as a pulled cable does."""

    def __init__(self):
        self.master, self.slave = os.openpty()
        self.path = os.ttyname(self.slave)

    def write(self, data):
        os.write(self.master, data)

    def unplug(self):
        os.close(self.master)
        self.master = None

    def close(self):
        for fd in (self.master, self.slave):
            if fd is not None:
                os.close(fd)
        self.master = self.slave = None


def open_fds():
    return set(os.listdir("/proc/self/fd"))


def stop_all(receivers, timeout=5):
    """Stops every receiver whose port was opened and waits for its reader thread."""
    for g in receivers:
        try:
            g.stop()
        except Exception:
            pass
        g.t1.join(timeout)


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
                   or self.proc.poll() is not None, 10, "the simulator's device link")
        if self.proc.poll() is not None:
            raise AssertionError("zq-sim exited %s: %s" % (self.proc.returncode, self.log()))

    def log(self):
        with open(self.log_path) as f:
            return f.read()

    def truth(self):
        with open(self.truth_path) as f:
            return [json.loads(line) for line in f if line.strip()]

    def sent_pvts(self):
        return [t for t in self.truth() if t.get("pvt") and t["sent"]]

    def send(self, command):
        with open(self.control, "w") as f:
            f.write(command + "\n")

    def target(self):
        try:
            return os.readlink(self.link)
        except OSError:
            return None

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
