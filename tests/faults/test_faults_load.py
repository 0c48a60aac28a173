"""Short load runs that assert behaviour (counts and values, never speed): many messages
through the real codec and loop, and a host reading getgps() flat out while the reader runs.
The long versions with memory figures are bench/soak/."""
import io
import threading
import types

from faults_harness import (INITIAL, AcceptRecorder, nav_pvt, receivers,  # noqa: F401
                            reader_threads, sim_factory, wait_for)

N_MESSAGES = 20000


class MemorySerial:
    """`serial` stand-in whose port is an in-memory stream of prepared bytes."""

    def __init__(self, data):
        self.data = data
        self.ports = []

    def Serial(self, port, baudrate, timeout):
        s = io.BytesIO(self.data)
        s.timeout = timeout
        self.ports.append(s)
        return s


def test_every_message_of_a_long_stream_is_accepted_in_order(zq, receivers, monkeypatch):
    values = [(i * 7919 % 3600000000 - 1800000000, i * 104729 % 1800000000 - 900000000,
               100 + i % 9000, i % 60) for i in range(N_MESSAGES)]
    junk = b"$GPGGA,1*00\r\n\xb5\x62\x01"
    data = b"".join(junk + nav_pvt(i, lon, lat, pdop, sv)
                    for i, (lon, lat, pdop, sv) in enumerate(values))
    # The last false sync claims 354 bytes; a live line would bring them, so this one does.
    data += bytes(512)
    monkeypatch.setattr(zq, "serial", MemorySerial(data))
    done = threading.Event()

    class Recorder(AcceptRecorder):
        def sleep(self, seconds):
            super().sleep(seconds)
            # At the end of the stream, or if messages stop coming long before it.
            if len(self.accepted) == N_MESSAGES or self.passes > 3 * N_MESSAGES:
                self.receiver.stopit = 1
                done.set()

    rec = Recorder(pause=False)
    threads0 = len(reader_threads())
    g = receivers("memory", rec)
    assert done.wait(120), "the reader did not get through the stream"
    g.t1.join(5)
    assert not g.t1.is_alive() and len(reader_threads()) == threads0
    assert [m.iTOW for m, _ in rec.accepted] == list(range(N_MESSAGES))
    for (m, gps), (lon, lat, pdop, sv) in zip(rec.accepted, values):
        assert gps[:4] == (lon / 1e7, lat / 1e7, pdop / 100, sv)
    assert g.ubr.stats["frames"] == N_MESSAGES


def test_host_reading_flat_out_sees_only_whole_values(receivers, sim_factory):
    sim = sim_factory("--rate", "25", "--no-nmea")
    g = receivers(sim.link)
    wait_for(lambda: g.flag is True, 5, "values")
    stop = threading.Event()
    distinct = set()

    def host():
        while not stop.is_set():
            distinct.add(g.getgps())

    t = threading.Thread(target=host)
    t.start()
    # Two seconds' worth of epochs, counted on the simulator's side rather than timed here.
    start = len(sim.sent_pvts())
    try:
        wait_for(lambda: len(sim.sent_pvts()) >= start + 50, 10, "50 epochs")
    finally:
        stop.set()
        t.join(5)
    assert g.t1.is_alive() and g.flag is True
    truth = sim.sent_pvts()
    ok = types.SimpleNamespace(
        lon={t["lon_e7"] / 1e7 for t in truth}, lat={t["lat_e7"] / 1e7 for t in truth},
        acc={t["pDOP"] / 100 for t in truth}, sats={t["numSV"] for t in truth},
        speed={t["gSpeed"] for t in truth}, head={t["headMot"] for t in truth})
    assert len(distinct) >= 20  # the host really saw the values change under it
    for lon, lat, acc, sats, speed, head_acc, head in distinct:
        assert lon in ok.lon and lat in ok.lat and acc in ok.acc and sats in ok.sats
        assert speed in ok.speed and head in ok.head
        assert type(head_acc) is int and head_acc >= 0
    assert INITIAL not in distinct
