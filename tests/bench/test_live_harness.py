"""The live benchmark's own machinery: the fan-out that puts one stream on several ptys and
times each NAV-PVT per output, the delivery check of the messages() run, and the counting
stand-ins of the crossings counter. Speed is never asserted here."""
import json
import os
import select
import signal
import subprocess
import sys
import threading
import time
import tty

import pytest

from ubx_helpers import frame, nav_pvt
from zq_paths import REPO

LIVE = os.path.join(REPO, "bench", "live")
sys.path.insert(0, LIVE)
import bench_live  # noqa: E402
import crossings  # noqa: E402
from fanout import PvtFinder  # noqa: E402

NMEA = b"$GPGGA,000000.00,4722.6140,N,00831.2502,E,1,09,1.5,432.0,M,48.0,M,,*5C\r\n"


def epoch(k):
    """NAV-PVT of epoch k (lat = 470000000 + k), an NMEA line, and a NAV-POSLLH-sized other."""
    return (nav_pvt(1000 * k, 85_000_000 + k, 470_000_000 + k) + NMEA
            + frame(0x01, 0x02, bytes(28)))


def stream(n):
    return b"".join(epoch(k) for k in range(n))


def pvt_ends(data):
    ends, k = [], 0
    for k in range(len(data)):
        if data[k:k + 4] == b"\xb5\x62\x01\x07":
            ends.append(k + 8 + 92)
    return ends


class TestPvtFinder:
    @pytest.mark.parametrize("chunk", [1, 7, 100, 4096])
    def test_every_nav_pvt_at_its_end_offset_whatever_the_chunks(self, chunk):
        data = b"\x00\xb5\x62noise" + stream(20)
        f = PvtFinder()
        found = []
        for i in range(0, len(data), chunk):
            found += f.feed(data[i:i + chunk])
        assert [x[0] for x in found] == pvt_ends(data)
        assert [(x[2], x[3]) for x in found] == [(470_000_000 + k, 85_000_000 + k)
                                                 for k in range(20)]
        assert [x[1] for x in found] == [1000 * k for k in range(20)]

    def test_damaged_frame_skipped_and_the_next_one_found(self):
        good = nav_pvt(5, 6, 7)
        bad = bytearray(nav_pvt(1, 2, 3))
        bad[-1] ^= 0xFF
        f = PvtFinder()
        found = f.feed(bytes(bad) + good)
        assert [(x[0], x[3]) for x in found] == [(len(bad) + len(good), 6)]


def open_fanout(tmp_path, count):
    master, slave = os.openpty()
    tty.setraw(slave)
    truth = str(tmp_path / "fan.jsonl")
    proc = subprocess.Popen(["/usr/bin/python3", os.path.join(LIVE, "fanout.py"),
                             os.ttyname(slave), str(count), truth], stdout=subprocess.PIPE,
                            text=True)
    line = proc.stdout.readline()
    assert line.startswith("READY "), line
    outs = []
    for path in line.split()[1:]:
        fd = os.open(path, os.O_RDWR | os.O_NOCTTY)
        tty.setraw(fd)
        outs.append(fd)
    return proc, master, slave, outs, truth


def read_exactly(fd, n, timeout=30):
    got = bytearray()
    deadline = time.monotonic() + timeout
    while len(got) < n and time.monotonic() < deadline:
        if select.select([fd], [], [], 0.5)[0]:
            got += os.read(fd, 65536)
    return bytes(got)


def finish(proc, master, slave, outs, truth):
    proc.send_signal(signal.SIGTERM)
    proc.wait(10)
    for fd in outs + [master, slave]:
        os.close(fd)
    with open(truth) as f:
        return [json.loads(x) for x in f]


class TestFanout:
    def test_both_outputs_get_the_stream_and_a_time_per_nav_pvt(self, tmp_path):
        proc, master, slave, outs, truth = open_fanout(tmp_path, 2)
        data = stream(50)
        t_before = time.monotonic()
        for k in range(0, len(data), 333):  # bursts of arbitrary size
            os.write(master, data[k:k + 333])
        got = [read_exactly(fd, len(data)) for fd in outs]
        lines = finish(proc, master, slave, outs, truth)
        assert got == [data, data]
        assert lines[-1] == {"dropped": [0, 0]}
        for out in (0, 1):
            mine = [x for x in lines if x.get("out") == out]
            assert [(x["lat_e7"], x["lon_e7"]) for x in mine] == [
                (470_000_000 + k, 85_000_000 + k) for k in range(50)]
            assert all(t_before <= x["t_in"] <= x["t_mono"] <= x["t_post"] for x in mine)

    def test_a_consumer_that_never_reads_loses_bytes_not_the_other(self, tmp_path):
        proc, master, slave, outs, truth = open_fanout(tmp_path, 2)
        data = stream(6000)  # about 1.2 MB: far more than the pty and the pending bound
        writer = threading.Thread(target=os.write, args=(master, data))
        writer.start()
        got = read_exactly(outs[0], len(data), timeout=60)
        writer.join(30)
        lines = finish(proc, master, slave, outs, truth)
        assert got == data
        dropped = lines[-1]["dropped"]
        assert dropped[0] == 0 and dropped[1] > 0
        late = [x for x in lines if x.get("out") == 1]
        # Only frames that went into the idle consumer's pty are timed for it.
        assert 0 < len(late) < 6000


class TestDeliveryCheck:
    def test_contiguous_in(self):
        sent = [10, 11, 12, 13, 14]
        assert bench_live.contiguous_in([11, 12, 13], sent) == 1
        assert bench_live.contiguous_in([11, 13], sent) is None  # a gap
        assert bench_live.contiguous_in([12, 11], sent) is None  # out of order
        assert bench_live.contiguous_in([12, 12], sent) is None  # twice
        assert bench_live.contiguous_in([9], sent) is None  # never sent
        assert bench_live.contiguous_in([], sent) is None


class TestCountingStandIns:
    def test_message_proxy_counts_each_crossing_and_passes_it_on(self):
        class Real:
            identity = "NAV-PVT"
            lat = 7

            def __str__(self):
                return "<real>"

        crossings.COUNT.reset()
        m = crossings.CountingMessage(Real())
        assert (m.lat, m.identity, str(m), m != None) == (7, "NAV-PVT", "<real>", True)  # noqa
        with pytest.raises(AttributeError):
            m.nothing
        counts, _ = crossings.COUNT.snapshot()
        assert counts == {"msg.lat": 1, "msg.identity": 1, "str(msg)": 1, "msg !=": 1,
                          "msg.nothing": 1}

    def test_reader_counts_reads_and_other_calls_and_accepted_messages(self):
        class Msg:
            def __init__(self, identity):
                self.identity = identity

        class Real:
            backlog = False

            def __init__(self, ser):
                self.items = [(b"a", Msg("NAV-PVT")), (b"b", None), (b"c", Msg("NAV-SAT"))]

            def read(self):
                return self.items.pop(0)

        cls = crossings.counting_reader_class(Real, "NAV-PVT")
        r = cls("port")
        crossings.COUNT.reset()
        out = [r.read() for _ in range(3)]
        assert r.backlog is False
        counts, accepted = crossings.COUNT.snapshot()
        assert accepted == 1
        assert counts == {"reader.read()": 3, "reader.backlog": 1}
        assert out[1] == (b"b", None)
        assert isinstance(out[0][1], crossings.CountingMessage)
