"""The hub's gpsd server as the tests run it: zq-sim on a pty, the receiver (zq_gps) reading it,
zq_hub.attach(receiver).serve_gpsd(port=0), and a plain socket client that reads JSON lines."""
import json
import os
import socket
import time

import pytest

from zq_sim import Sim, stop_all, wait_until  # noqa: F401


class Rig:
    """A simulated receiver, the host's receiver object and the hub serving gpsd."""

    def __init__(self, zq, *sim_args, serve=None):
        import zq_hub
        self.sim = Sim(*sim_args)
        self.g = zq.zq_gps(gpsmode="NAV-PVT", port=self.sim.link)
        self.hub = zq_hub.attach(self.g)
        self.port = self.hub.serve_gpsd(port=0, **(serve or {}))
        self.device = self.sim.link

    def close(self):
        try:
            self.hub.close()
        finally:
            stop_all([self.g])
            self.sim.close()


@pytest.fixture
def rig_factory(zq):
    rigs = []

    def start(*args, **kw):
        r = Rig(zq, *args, **kw)
        rigs.append(r)
        return r

    yield start
    for r in rigs:
        r.close()


class Client:
    """A gpsd client on a plain socket: sends requests, collects the objects that arrive."""

    def __init__(self, port, host="127.0.0.1"):
        self.sock = socket.create_connection((host, port), timeout=10)
        self.buf = b""
        self.lines = []    # every complete line, raw
        self.objects = []  # the JSON ones, parsed

    def send(self, text):
        self.sock.sendall(text.encode() if isinstance(text, str) else text)

    def _take(self, timeout):
        self.sock.settimeout(timeout)
        try:
            data = self.sock.recv(65536)
        except socket.timeout:
            return True
        except OSError:
            return False
        if not data:
            return False
        self.buf += data
        while b"\n" in self.buf:
            line, self.buf = self.buf.split(b"\n", 1)
            self.lines.append(line + b"\n")
            if line.startswith(b"{"):
                assert line.endswith(b"}\r"), "a line without its CR LF: %r" % line[-40:]
                self.objects.append(json.loads(line))
        return True

    def until(self, predicate, timeout=15, what="objects"):
        """Reads until PREDICATE(objects) is true; fails after TIMEOUT seconds."""
        deadline = time.monotonic() + timeout
        while not predicate(self.objects):
            left = deadline - time.monotonic()
            if left <= 0:
                raise AssertionError("timed out waiting for %s; got classes %s" % (
                    what, [o.get("class") for o in self.objects][-20:]))
            if not self._take(min(left, 0.5)) and not predicate(self.objects):
                raise AssertionError("connection closed waiting for %s" % what)
        return self.objects

    def wait_class(self, cls, n=1, timeout=15):
        return self.until(lambda objs: sum(o.get("class") == cls for o in objs) >= n, timeout,
                          "%d %s" % (n, cls))

    def of(self, cls):
        return [o for o in self.objects if o.get("class") == cls]

    def closed_by_peer(self, timeout=15):
        """True once the server has closed this connection (reading and discarding)."""
        deadline = time.monotonic() + timeout
        self.sock.settimeout(0.5)
        while time.monotonic() < deadline:
            try:
                data = self.sock.recv(1 << 20)
            except socket.timeout:
                continue
            except OSError:
                return True
            if not data:
                return True
        return False

    def close(self):
        self.sock.close()


def watch(port, **policy):
    c = Client(port)
    c.wait_class("VERSION")
    c.send("?WATCH=%s;\n" % json.dumps(dict({"enable": True, "json": True}, **policy),
                                         separators=(",", ":")))
    c.wait_class("WATCH")
    return c
