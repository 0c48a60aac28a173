"""The receiver's attributes as a host sees them being written and read: the order in which an
accepted message is read and stored, what restart stores, and what the accessors return. A
subclass records every store on the receiver and a message records every field read, so an
order or a conversion that changes shows here even where the values compare equal."""
import itertools

import pytest

from zq_fakes import FakeTime, RecordingLogger, ScriptedReader, fake_serial, fake_threading

# The fields copied from an accepted message when it has them, in the order they are copied.
OPTIONAL = ["gSpeed", "headMot", "headAcc", "fullyResolved", "validMag", "tAcc", "fixType",
            "gnssFixOk", "difSoln", "psmState", "headVehValid", "carrSoln", "confirmedAvai",
            "numSV", "confirmedDate", "confirmedTime", "height", "hMSL", "hAcc", "vAcc", "velN",
            "velE", "velD", "sAcc", "pDOP", "reserved1", "headVeh", "magDec", "magAcc"]
SUMMARY = ["lon", "lat", "acc", "numofsat", "gSpeed", "headAcc", "headMot"]


class RecordingMsg:
    """A NAV-PVT message whose every field is a distinct object and whose reads are recorded."""

    def __init__(self):
        fields = {n: 10**20 + k for k, n in enumerate(OPTIONAL)}
        fields.update(identity="NAV-PVT", lon=85000000, lat=475000000, pDOP=1234567, reads=[])
        object.__setattr__(self, "fields", fields)

    def __getattribute__(self, name):
        fields = object.__getattribute__(self, "fields")
        if name not in fields:
            return object.__getattribute__(self, name)
        fields["reads"].append(name)
        return fields[name]


@pytest.fixture
def receiver(zq, monkeypatch):
    """A receiver subclass that records its stores, on stand-ins; .script is what reads give."""
    script, ref, stores = [], [None], []
    for name, value in (("l", RecordingLogger()), ("time", FakeTime()),
                        ("serial", fake_serial([])), ("threading", fake_threading()),
                        ("UBXReader", lambda ser: ScriptedReader(script, ref))):
        monkeypatch.setattr(zq, name, value)

    class Recording(zq.zq_gps):
        def __setattr__(self, name, value):
            stores.append((name, value))
            super().__setattr__(name, value)

    g = ref[0] = Recording()
    g.ubr.script = script
    stores.clear()
    return g, stores


def test_accepted_message_is_read_and_stored_in_a_fixed_order(receiver):
    g, stores = receiver
    msg = RecordingMsg()
    g.ubr.script.append((b"", msg))
    assert g.loop_gps() is None

    reads = [n for n, _ in itertools.groupby(msg.fields["reads"])]  # repeats collapsed
    assert reads == ["identity", "lon", "lat", "pDOP", "numSV"] + OPTIONAL
    required = ["parsed_data", "lon", "lat", "acc", "numofsat", "last_Time", "flag"]
    assert [n for n, _ in stores[:len(required) + len(OPTIONAL)]] == required + OPTIONAL

    # scaled values are true divisions; copies are the message's own objects
    assert (type(g.lon), g.lon, g.lat) == (float, 8.5, 47.5)
    assert (type(g.acc), g.acc) == (float, 12345.67)
    assert g.numofsat is msg.fields["numSV"]
    for n in OPTIONAL:
        assert getattr(g, n) is msg.fields[n], n


def test_restart_stores_the_initial_summary_values_with_their_types(receiver):
    g, stores = receiver
    g.ubr.script.append((b"", RecordingMsg()))
    g.loop_gps()
    index = g.index
    stores.clear()
    assert g.restart() is None

    typed = [(n, type(v), v) for n, v in stores[:9]]
    assert typed == [("lat", int, 0), ("lon", int, 0), ("acc", float, 99.99),
                     ("numofsat", int, -1), ("gSpeed", int, -1), ("headAcc", int, -1),
                     ("headMot", int, -1), ("flag", bool, False), ("index", int, index + 1)]
    assert [n for n, _ in stores[9:]] == ["ser", "ubr", "t1"]
    assert g.hMSL == 10**20 + OPTIONAL.index("hMSL")  # not a summary value: kept


def test_accessors_return_the_stored_objects(receiver):
    g, _ = receiver
    marks = {n: object() for n in SUMMARY}
    for n, v in marks.items():
        setattr(g, n, v)
    assert g.getgps() == tuple(marks[n] for n in SUMMARY)
    assert all(a is marks[n] for a, n in zip(g.getgps(), SUMMARY))
    assert all(a is marks[n] for a, n in zip(g.getparseddata(), SUMMARY[:3]))
    assert len(g.getparseddata()) == 3
    assert (g.getlat(), g.getlon()) == (marks["lat"], marks["lon"])
