"""The hub's tests: receivers on pseudo-terminals fed by the tests (the time feeds), and a
caster of our own for the corrections client."""
import importlib
import os
import sys
import types

import pytest

sys.path.insert(0, os.path.dirname(__file__))

from ntrip_caster import Caster  # noqa: E402
from ntrip_rover import Rover  # noqa: E402
from time_harness import Feeder, Recorder  # noqa: E402
from zq_fakes import RecordingLogger  # noqa: E402
from zq_sim import Sim, stop_all  # noqa: E402


@pytest.fixture
def hub_module(zq):
    return importlib.import_module("zq_hub")


@pytest.fixture
def fed(zq, hub_module, monkeypatch):
    """fed(offset, period): a receiver on a pty fed by a Feeder, its hub, and the logger
    recording what the hub logs."""
    log = Recorder()
    monkeypatch.setattr(zq, "l", log)
    made = []

    def make(offset=0.0, period=0.2):
        master, slave = os.openpty()
        g = zq.zq_gps(port=os.ttyname(slave))
        hub = hub_module.attach(g)
        feeder = Feeder(master, period, offset)
        made.append((g, hub, feeder, master, slave))
        return types.SimpleNamespace(g=g, hub=hub, feeder=feeder, log=log, master=master)

    yield make
    for g, hub, feeder, master, slave in made:
        feeder.stop()
        hub.close()
        stop_all([g])
        for fd in (master, slave):
            try:
                os.close(fd)
            except OSError:
                pass


@pytest.fixture
def hubmod(zq, monkeypatch):
    monkeypatch.setattr(zq, "l", RecordingLogger())
    return importlib.import_module("zq_hub")


@pytest.fixture
def rover(zq, hubmod):
    made = []

    def make():
        r = Rover(zq, hubmod)
        made.append(r)
        return r

    yield make
    for r in made:
        r.close()


@pytest.fixture
def caster():
    made = []

    def make(*args, **kwargs):
        c = Caster(*args, **kwargs)
        made.append(c)
        return c

    yield make
    for c in made:
        c.close()


@pytest.fixture(scope="session")
def zq_hub(zq):
    return importlib.import_module("zq_hub")


@pytest.fixture
def hubbed(zq, zq_hub, monkeypatch):
    """hubbed(*sim_args, port=None) -> (receiver, hub, sim): a receiver on a fresh zq-sim (or
    on PORT), its hub attached, the module's logger recorded (hubbed.log); all closed and
    stopped afterwards."""
    log = RecordingLogger()
    monkeypatch.setattr(zq, "l", log)
    made = types.SimpleNamespace(sims=[], receivers=[], hubs=[])

    def make(*args, port=None):
        sim = None
        if port is None:
            sim = Sim("--quiet", *args)
            made.sims.append(sim)
            port = sim.link
        g = zq.zq_gps(port=port)
        made.receivers.append(g)
        h = zq_hub.attach(g)
        made.hubs.append(h)
        return g, h, sim

    make.log = log
    yield make
    for h in made.hubs:
        h.close()
    stop_all(made.receivers)
    for s in made.sims:
        s.close()
