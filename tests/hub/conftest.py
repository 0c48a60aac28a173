"""The corrections client's tests: a receiver on a pseudo-terminal and a caster of our own."""
import pytest

from ntrip_caster import Caster
from ntrip_rover import Rover
from zq_fakes import RecordingLogger


@pytest.fixture
def hubmod(zq, monkeypatch):
    monkeypatch.setattr(zq, "l", RecordingLogger())
    import zq_hub
    return zq_hub


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
