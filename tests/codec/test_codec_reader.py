"""UBXReader over recorded receiver streams, time-outs, live-port reads and hostile bytes."""
import datetime
import io
import json
import os

import pytest
from hypothesis import assume, given, settings, strategies as st

from zq_paths import CAPTURES
from libs.pyubx2 import GET, UBXMessage, UBXParseError, UBXReader
from ubx_helpers import frame, scan


def capture(name):
    with open(os.path.join(CAPTURES, name), "rb") as f:
        return f.read()


def read_all(reader):
    out = []
    while True:
        raw, msg = reader.read()
        if raw is None:
            return out
        out.append((raw, msg))


# Frame counts as listed with the recordings (tests/captures/README.md).
@pytest.mark.parametrize("name,frames,pvt", [("ublox-neo-m8n.log", 52, 24),
                                             ("ublox-zed-f9p-hp.log", 293, 29)])
def test_capture_decodes_without_checksum_failures(name, frames, pvt):
    reader = UBXReader(io.BytesIO(capture(name)))
    got = read_all(reader)
    assert len(got) == frames
    assert reader.stats["bad_checksums"] == 0
    assert sum(m.identity == "NAV-PVT" for _, m in got) == pvt
    for raw, msg in got:
        assert msg.serialize() == raw


def tpv_by_time(name):
    """Reference decoder's TPV reports, keyed by their UTC time."""
    out = {}
    with open(os.path.join(CAPTURES, name + ".chk")) as f:
        for line in f:
            if line.startswith("{") and '"TPV"' in line:
                tpv = json.loads(line)
                out.setdefault(tpv["time"], []).append(tpv)
    return out


def pvt_time(msg):
    # The receiver's UTC fields plus nano (which may be negative), to the reference's 10 ms.
    t = datetime.datetime(msg.year, msg.month, msg.day, msg.hour, msg.min, msg.second)
    t += datetime.timedelta(microseconds=round(msg.nano / 1e7) * 1e4)
    return t.strftime("%Y-%m-%dT%H:%M:%S.") + f"{t.microsecond // 1000:03d}Z"


@pytest.mark.parametrize("name", ["ublox-neo-m8n.log", "ublox-zed-f9p-hp.log"])
def test_nav_pvt_positions_match_reference_decoder(name):
    # The reference reports one TPV per epoch (the NEO-M8N log repeats some); each NAV-PVT
    # lines up with the TPVs of its own epoch time.
    tpvs = tpv_by_time(name)
    pvts = [m for _, m in read_all(UBXReader(io.BytesIO(capture(name))))
            if m.identity == "NAV-PVT"]
    assert pvts
    for msg in pvts:
        matches = tpvs.get(pvt_time(msg))
        assert matches, pvt_time(msg)
        for tpv in matches:
            assert abs(msg.lat / 1e7 - tpv["lat"]) < 1e-7 + 1e-12
            assert abs(msg.lon / 1e7 - tpv["lon"]) < 1e-7 + 1e-12
    assert len({pvt_time(m) for m in pvts}) == len(tpvs)


class Port:
    """pyserial-like port. `arrivals` are byte strings that reach the port one after another;
    None is a pause longer than the read time-out. read(n) returns at most what has arrived of
    the current arrival; returning fewer than n is what a time-out looks like."""

    def __init__(self, arrivals):
        self.arrivals = list(arrivals)
        self.requests = []  # (n asked, bytes waiting at the time)

    @property
    def in_waiting(self):
        return len(self.arrivals[0]) if self.arrivals and self.arrivals[0] is not None else 0

    def read(self, n):
        self.requests.append((n, self.in_waiting))
        if not self.arrivals:
            return b""
        head = self.arrivals[0]
        if head is None:
            self.arrivals.pop(0)
            return b""
        out, rest = head[:n], head[n:]
        if rest:
            self.arrivals[0] = rest
        else:
            self.arrivals.pop(0)
        return out


def pvt_frames():
    return [raw for raw, m in read_all(UBXReader(io.BytesIO(capture("ublox-neo-m8n.log"))))
            if m.identity == "NAV-PVT"]


def test_frame_split_across_timeouts_is_delivered_once_whole():
    f = pvt_frames()[0]
    cuts = [0, 1, 2, 5, 6, 7, 40, 99, 100]
    arrivals = []
    for a, b in zip(cuts, cuts[1:]):
        arrivals += [f[a:b], None]
    port = Port(arrivals)
    reader = UBXReader(port)
    results = [reader.read() for _ in range(len(arrivals) + 2)]
    frames = [r for r in results if r[0] is not None]
    assert [raw for raw, _ in frames] == [f]
    assert frames[0][1].lat == -349062263
    assert results[-1] == (None, None)
    # Until the frame is complete, never waits for more bytes than it still needs.
    received = 0
    for n, waiting in port.requests:
        if received == len(f):
            break
        if waiting == 0:
            assert n <= len(f) - received
        else:
            assert n == waiting
        received += min(n, waiting)


def test_live_port_takes_what_is_waiting_in_one_read():
    frames = pvt_frames()[:3]
    nmea = b"$GPGGA,085000.80,3454.3736,S,13836.4872,E,2,00,,28.89,M,-1.662,M,,*4D\r\n"
    burst = nmea + frames[0] + nmea + frames[1] + frames[2]
    port = Port([burst])
    reader = UBXReader(port)
    assert [reader.read()[0] for _ in range(3)] == frames
    assert port.requests == [(len(burst), len(burst))]
    assert reader.read() == (None, None)
    assert port.requests[1:] == [(8, 0)]  # nothing waiting: a minimal frame, not a chunk


class TimedPort(Port):
    """Port on which nothing is ever waiting ahead of a read: every byte comes through a
    blocking read, as when the parts of one burst reach the host a moment apart."""

    def __init__(self, arrivals, timeout):
        super().__init__(arrivals)
        self.timeout = timeout

    @property
    def in_waiting(self):
        return 0

    def read(self, n):
        # Blocks until n bytes have come, across arrivals; short only when nothing more comes.
        self.requests.append((n, 0))
        out = b""
        while len(out) < n and self.arrivals:
            head = self.arrivals.pop(0)
            out, rest = out + head[:n - len(out)], head[n - len(out):]
            if rest:
                self.arrivals.insert(0, rest)
        return out


def test_burst_split_in_time_is_taken_in_one_call_within_the_time_out():
    nmea = b"$GPGGA,085000.80,3454.3736,S,13836.4872,E,2,00,,28.89,M,-1.662,M,,*4D\r\n"
    f = pvt_frames()[0]
    assert UBXReader(TimedPort([nmea, f], timeout=2)).read()[0] == f
    # A port without a read time-out gets one wait per call.
    reader = UBXReader(TimedPort([nmea, f], timeout=None))
    results = [reader.read() for _ in range(40)]
    assert results[0] == (None, None)
    assert [raw for raw, _ in results if raw is not None] == [f]


def test_stream_errors_propagate_unchanged():
    class Broken:
        def read(self, n):
            raise OSError(5, "device reports readiness to read but returned no data")

    with pytest.raises(OSError, match="readiness"):
        UBXReader(Broken()).read()


def test_frame_of_a_length_no_form_has_is_skipped_and_counted():
    good = UBXMessage(5, 1, GET, clsID=6, msgID=0x11).serialize()
    bad = frame(1, 7, bytes(10))  # checksum-valid NAV-PVT of an impossible length
    reader = UBXReader(io.BytesIO(good + bad + good))
    assert [reader.read()[0] for _ in range(3)] == [good, good, None]
    assert reader.stats["bad_lengths"] == 1
    # Given as one frame, it is a decode failure that names the message and its length.
    with pytest.raises(UBXParseError, match="NAV-PVT .* 10-byte payload") as err:
        UBXReader.parse(bad)
    assert (err.value.msg_cls, err.value.msg_id, err.value.length) == (1, 7, 10)


def test_false_syncs_and_damage_before_real_frames():
    real = pvt_frames()[:2]
    damaged = bytearray(real[0])
    damaged[50] ^= 0x10
    rtcm = bytes([0xD3, 0x00, 0x04, 0xB5, 0x62, 0x01, 0x07]) + b"\x00\x00\x00"
    stream = (b"#comment\n\xb5\x62\x01\x07\xff\xff" + rtcm + bytes(damaged) + real[0]
              + b"\xb5\x62\x06\x11\x00\x02" + real[1] + bytes(600))
    assert [raw for raw, _ in read_all(UBXReader(io.BytesIO(stream)))] == real


class Chunked:
    """Plain stream (no in_waiting) whose reads come back short at chosen places."""

    def __init__(self, data, sizes):
        self.data, self.sizes, self.pos = data, list(sizes), 0

    def read(self, n):
        k = min(n, self.sizes.pop(0) if self.sizes else n)
        out = self.data[self.pos:self.pos + k]
        self.pos += len(out)
        return out


CATALOGUE_FRAMES = [
    UBXMessage(6, 0x11, 1, lpMode=1).serialize(),
    UBXMessage(5, 1, GET, clsID=6, msgID=1).serialize(),
    UBXMessage(1, 0x35, GET, numSvs=2, cno_02=44).serialize(),
    frame(0x01, 0x20, bytes(range(16))),
]

noise = st.binary(max_size=40).map(lambda b: b.replace(b"\xb5", b"\xb4"))
fake_sync = st.binary(min_size=4, max_size=4).map(lambda h: b"\xb5\x62" + h)
nmea = st.just(b"$GNRMC,,V,,,,,,,,,,N*4D\r\n")


@settings(max_examples=150, deadline=None)
@given(picks=st.lists(st.tuples(st.sampled_from(CATALOGUE_FRAMES + pvt_frames()[:2]),
                                st.lists(st.one_of(noise, fake_sync, nmea), max_size=3)),
                      max_size=8),
       sizes=st.lists(st.integers(min_value=0, max_value=300), max_size=60))
def test_any_chunking_and_noise_gives_the_same_frames(picks, sizes):
    stream = b"".join(b"".join(junk) + f for f, junk in picks) + bytes(17000)
    # Junk may by chance make a real frame (a false header whose next bytes give it a valid
    # checksum, e.g. B5 62 00 00 00 00 then 00 00): such a stream has more frames than picked.
    items, _ = scan(stream)
    assume([stream[i.start:i.end] for i in items if i.kind == "ubx" and i.ok] ==
           [f for f, _ in picks])
    source = Chunked(stream, sizes)
    reader = UBXReader(source)
    got = []
    while True:
        raw, msg = reader.read()
        if raw is None:
            if source.pos == len(stream):
                break
            continue
        got.append(raw)
        assert msg.serialize() == raw
    assert got == [f for f, _ in picks]


def test_frames_holding_frame_like_bytes_come_out_whole_in_any_chunking():
    # The empty frame (class 0, valid), a short catalogued frame, a plausible header running past
    # the end, in NAV-PVT and in an uncatalogued RXM message, at every seventh offset.
    embeds = [b"\xb5\x62\x00\x00\x00\x00\x00\x00", frame(5, 1, b"\x06\x11"),
              b"\xb5\x62\x01\x07\x5c\x00"]
    want = []
    for embed in embeds:
        for cls, msg_id, n in ((1, 7, 92), (2, 0x14, 60)):
            for at in range(0, n - len(embed) + 1, 7):
                payload = bytearray(n)
                payload[at:at + len(embed)] = embed
                want.append(frame(cls, msg_id, bytes(payload)))
    stream = b"".join(want)
    assert [raw for raw, _ in read_all(UBXReader(io.BytesIO(stream)))] == want
    for size in (1, 13, 97):
        source = Chunked(stream, [size] * len(stream))
        reader = UBXReader(source)
        got = []
        while source.pos < len(stream) or reader.stats["buffered"]:
            raw, _ = reader.read()
            if raw is None and source.pos == len(stream):
                break
            if raw is not None:
                got.append(raw)
        assert got == want, size


def test_nav_pvt_whose_itow_holds_sync_chars_is_read():
    # iTOW 6,469,000 ms is 88 B5 62 00: with the zero year and date, an empty frame inside.
    frames = [UBXMessage(1, 7, GET, iTOW=i * 200).serialize() for i in range(32340, 32350)]
    got = read_all(UBXReader(io.BytesIO(b"".join(frames))))
    assert [m.iTOW for _, m in got] == [i * 200 for i in range(32340, 32350)]
