import importlib
import types

import pytest

from zq_fakes import RecordingLogger
from zq_sim import Sim, stop_all


@pytest.fixture(scope="session")
def zq_hub(zq):
    return importlib.import_module("zq_hub")


@pytest.fixture
def hubbed(zq, zq_hub, monkeypatch):
    """hubbed(*sim_args) -> (receiver, hub, sim): a receiver on a fresh zq-sim, its hub
    attached, the module's logger recorded (hubbed.log); all closed and stopped afterwards."""
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
