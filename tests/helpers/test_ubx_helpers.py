"""The independent encoder and splitter that the codec, driver and bench checks rest on,
checked against the protocol notes' example frame and against real receivers' recordings with
another project's decoder output beside them."""
import datetime
import json
import os
import struct

import pytest

from ubx_helpers import frame, nav_pvt, nav_pvt_payload, scan
from zq_paths import CAPTURES

# From the recordings' notes: UBX frames, of them NAV-PVT (all 92 bytes), and the bytes after
# the last whole frame (the NEO-M8N recording ends inside a NAV-TIMEGPS frame).
RECORDINGS = [("ublox-neo-m8n.log", 52, 24, 23), ("ublox-zed-f9p-hp.log", 293, 29, 0)]


def recording(name):
    with open(os.path.join(CAPTURES, name), "rb") as f:
        data = f.read()
    with open(os.path.join(CAPTURES, name + ".chk")) as f:
        tpvs = [json.loads(x) for x in f if x.startswith("{") and '"TPV"' in x]
    return data, tpvs


def test_frame_matches_the_protocol_notes_example():
    assert frame(0x06, 0x11, b"\x08\x00") == bytes.fromhex("B5 62 06 11 02 00 08 00 21 91")


@pytest.mark.parametrize("name", [r[0] for r in RECORDINGS])
def test_nav_pvt_fields_land_where_a_real_receiver_puts_them(name):
    data, tpvs = recording(name)
    real = next(it.body for it in scan(data)[0] if (it.cls, it.msg_id) == (1, 7))
    tpv = tpvs[0]  # the other decoder's report of that first NAV-PVT
    t = datetime.datetime.strptime(tpv["time"], "%Y-%m-%dT%H:%M:%S.%fZ")
    built = nav_pvt_payload(year=t.year, month=t.month, day=t.day, hour=t.hour, min=t.minute,
                            second=t.second, fixType=tpv["mode"], lon=round(tpv["lon"] * 1e7),
                            lat=round(tpv["lat"] * 1e7), height=round(tpv["altHAE"] * 1000),
                            hMSL=round(tpv["altMSL"] * 1000), gSpeed=round(tpv["speed"] * 1000))
    assert len(built) == len(real) == 92
    placed = [i for i, b in enumerate(built) if b]
    assert len(placed) >= 20
    assert {i: real[i] for i in placed} == {i: built[i] for i in placed}


def test_nav_pvt_refuses_a_field_it_does_not_know_and_a_value_that_does_not_fit():
    with pytest.raises(TypeError, match="NAV-PVT has no field 'numSv'"):
        nav_pvt(0, 0, 0, numSv=3)
    with pytest.raises(struct.error):
        nav_pvt(0, 0, 0, num_sv=256)


@pytest.mark.parametrize("name, frames, pvts, tail", RECORDINGS)
def test_scan_finds_every_frame_of_a_real_receiver(name, frames, pvts, tail):
    data, _ = recording(name)
    items, complete = scan(data)
    ubx = [it for it in items if it.kind == "ubx"]
    assert len(ubx) == frames and all(it.ok for it in ubx)
    assert [len(it.body) for it in ubx if (it.cls, it.msg_id) == (1, 7)] == [92] * pvts
    assert len(data) - complete == tail
    assert all(data[it.start:it.end] == frame(it.cls, it.msg_id, it.body) for it in ubx)


GOOD = nav_pvt(1000, 85000000, 475000000)
NMEA = b"$GPGGA,085000.80,3454.3736,S,13836.4872,E,2,00,,28.89,M,-1.662,M,,*4D\r\n"
DAMAGED = GOOD[:30] + bytes([GOOD[30] ^ 4]) + GOOD[31:]
N = len(NMEA)


@pytest.mark.parametrize("data, found, complete", [
    (b"\x00\xff\xb5junk" + GOOD + NMEA, [("ubx", 7, 107, True), ("nmea", 107, 107 + N, None)],
     107 + N),
    (NMEA + GOOD[:-1], [("nmea", 0, N, None)], N),
    (GOOD[:5], [], 0),
    (DAMAGED + GOOD, [("ubx", 0, 100, False), ("ubx", 100, 200, True)], 200),
    (b"\xb5\x62\x01\x07\x70\x00" + GOOD + bytes(20),
     [("ubx", 0, 120, False), ("ubx", 6, 106, True)], 126),
    (b"\xb5\x62\x01\x02\xff\x0f" + GOOD, [("ubx", 6, 106, True)], 0),
    (b"\xb5\x62\x01\x02\xff\xff" + GOOD, [("ubx", 6, 106, True)], 106),
    (GOOD + b"$GPGGA,0850" + GOOD, [("ubx", 0, 100, True)], 100),
    (b"$\x01\x02\n" + GOOD, [("ubx", 4, 104, True)], 104),
], ids=[
    "noise and a lone sync char before a frame, an NMEA line after it",
    "a frame cut short is still arriving, the line before it is whole",
    "a header cut short",
    "a damaged frame is reported and the frame right behind it found",
    "a false sync whose length covers a real frame: the frame inside is found",
    "a false sync whose frame would end past the data hides nothing behind it",
    "nor does one whose length no frame has",
    "a $ with no line end yet ends the scan",
    "a line of binary is no NMEA line",
])
def test_scan_items_and_where_the_complete_part_ends(data, found, complete):
    items, end = scan(data)
    assert [(it.kind, it.start, it.end, it.ok) for it in items] == found
    assert end == complete
