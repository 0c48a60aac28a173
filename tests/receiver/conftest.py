import types

import pytest

from zq_fakes import (RecordingLogger, ScriptedReader, FakeTime, fake_serial,
                            fake_threading)


@pytest.fixture
def env(zq, monkeypatch):
    """The module with every outside name replaced by a stand-in; env.make() builds a receiver
    whose reader thread is created but never started, so tests run loop_gps() themselves."""
    e = types.SimpleNamespace(events=[], script=[], readers=[], ref=[None])
    e.log = RecordingLogger()
    e.serial = fake_serial(e.events)
    e.time = FakeTime()
    e.threading = fake_threading()

    def UBXReader(ser):
        e.events.append(("reader", ser))
        reader = ScriptedReader([], e.ref)
        reader.script = e.script  # shared, so tests can script after construction
        e.readers.append(reader)
        return reader

    for name, value in (("l", e.log), ("serial", e.serial), ("UBXReader", UBXReader),
                        ("time", e.time), ("threading", e.threading)):
        monkeypatch.setattr(zq, name, value)

    def make(*args, **kwargs):
        obj = zq.zq_gps(*args, **kwargs)
        e.ref[0] = obj
        return obj

    e.make = make
    return e
