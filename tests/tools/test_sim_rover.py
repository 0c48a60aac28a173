"""zq-sim as an RTK rover: RTCM 3 frames from a real caster's recording (tests/captures/
rtcm3.2.log) written into its port, paced by its own epochs, take the solution through DGPS,
RTK float and RTK fixed, and it falls back when they stop; rejected candidates, UBX commands
among the frames, the input switched off, and RXM-RTCM. The frames are cut out of the recording
and checked with the tests' own CRC-24Q and against the independent decoder's list."""
import re
import struct

import pytest

from rtcm3_helpers import capture_frames, msg_type
from zqsim_harness import Port, frame, valset, wait_until
from zqsim_harness import sim_factory  # noqa: F401  (fixture)

ACKS = {(5, 0), (5, 1)}
NAV_PVT, RXM_RTCM, MON_VER = (1, 0x07), (2, 0x32), (0x0A, 0x04)
PVT_USB, RXM_RTCM_USB, USB_IN_RTCM3 = 0x20910009, 0x2091026B, 0x10770004


def recorded_frames():
    """The CRC-valid RTCM 3 frames of the recording, in order, as (type, payload length, bytes)."""
    return [(msg_type(f), len(f) - 6, f) for f in capture_frames("rtcm3.2.log")]


FRAMES = recorded_frames()
MSM = [f for f in FRAMES if f[0] in (1077, 1087, 1097, 1107)]


def frames(items, cls_id):
    return [it[3] for it in items if it[0] == "ubx" and it[4] and (it[1], it[2]) == cls_id]


def solution(pvt):
    return (pvt[21] >> 1) & 1, pvt[21] >> 6  # diffSoln, carrSoln


def rover(sim_factory, *args):
    sim = sim_factory("--generation", "9", "--rate", "10", "--no-nmea", *args)
    port = Port(sim.link)
    assert port.command(valset(1, [(PVT_USB, 1)]), ACKS)[2] == 1
    return sim, port


def feed_until(port, want, what, corrections, per_epoch=1, timeout=20):
    """Writes PER_EPOCH frames of CORRECTIONS (cycled) after every NAV-PVT that arrives, until a
    NAV-PVT whose (diffSoln, carrSoln) is WANT. Returns the frames written."""
    written, seen = [], 0

    def reached():
        nonlocal seen
        items = port.read_until(lambda items: len(frames(items, NAV_PVT)) > seen and items,
                                timeout, "NAV-PVT")
        pvts = frames(items, NAV_PVT)
        for pvt in pvts[seen:]:
            if solution(pvt) == want:
                return True
            for _ in range(per_epoch if corrections else 0):
                f = corrections[len(written) % len(corrections)]
                port.ser.write(f[2])
                written.append(f)
        seen = len(pvts)
        return False
    wait_until(reached, timeout, what)
    return written


def heard(sim):
    return [(int(t), int(n)) for t, n in re.findall(r"heard RTCM3 (\d+) len (\d+)", sim.log())]


class TestRover:
    def test_steady_corrections_take_it_to_fixed_and_their_loss_back_to_none(self, sim_factory):
        assert len(FRAMES) == 192 and len(MSM) > 90  # the recording as its README tells it
        sim, port = rover(sim_factory, "--rtk-converge", "1", "--rtk-hold", "0.5",
                          "--rtk-timeout", "1.5")
        port.buf = b""
        written = []
        # In order: DGPS, then float, then fixed, while one frame follows every solution.
        for want in ((1, 0), (1, 1), (1, 2)):
            written += feed_until(port, want, "solution %s" % (want,), MSM)
        wait_until(lambda: len(heard(sim)) >= len(written), 5, "every frame heard")
        assert heard(sim) == [(t, n) for t, n, _ in written]
        # Silence: fixed falls back to float, then the corrections are no longer used.
        port.buf = b""
        for want in ((1, 1), (0, 0)):
            feed_until(port, want, "fall back to %s" % (want,), [])
        pvt = frames(port.read_until(lambda items: frames(items, NAV_PVT) and items, 2,
                                     "NAV-PVT"), NAV_PVT)[-1]
        assert pvt[78] == 0 and solution(pvt) == (0, 0)
        assert "solution: diffSoln 1 carrSoln 2 (fixed)" in sim.log()
        carr = [t.get("carrSoln") for t in sim.truth() if t.get("diffSoln")]
        assert carr and carr == sorted(carr[:carr.index(2) + 1]) + carr[carr.index(2) + 1:]
        assert "carrSoln" not in sim.truth()[-1]

    def test_corrections_only_ephemerides_are_heard_but_not_used(self, sim_factory):
        sim, port = rover(sim_factory)
        ephemerides = [f for f in FRAMES if f[0] in (1019, 1020)]
        port.buf = b""
        for f in ephemerides:
            port.ser.write(f[2])
        wait_until(lambda: len(heard(sim)) == len(ephemerides), 5, "the ephemerides heard")
        port.buf = b""
        items = port.read_until(lambda items: len(frames(items, NAV_PVT)) >= 5 and items, 3,
                                "NAV-PVT")
        assert {solution(p) for p in frames(items, NAV_PVT)} == {(0, 0)}

    def test_rejected_candidates_and_ubx_among_the_frames(self, sim_factory, tmp_path):
        taken = tmp_path / "taken.rtcm3"
        sim, port = rover(sim_factory, "--rtcm-out", str(taken))
        good = MSM[:4]
        spoiled = bytearray(good[1][2])
        spoiled[10] ^= 0xFF
        # A UBX command whose payload holds what looks like an RTCM 3 header (D3 00 ..).
        d3_in_ubx = frame(6, 1, bytes((0xD3, 0x00)))
        stream = (good[0][2] + bytes(spoiled) + d3_in_ubx + good[2][2] + frame(0x0A, 0x04)
                  + b"\xd3\xff\x00junk" + good[3][2])
        port.buf = b""
        # In pieces that cut frames anywhere.
        for i in range(0, len(stream), 7):
            port.ser.write(stream[i:i + 7])
        items = port.read_until(lambda items: frames(items, MON_VER) and items, 3, "MON-VER")
        nak = [it[3] for it in items if it[0] == "ubx" and (it[1], it[2]) == (5, 0)]
        assert nak == [bytes((6, 1))], "the CFG-MSG poll of class D3 went unanswered"
        wait_until(lambda: len(heard(sim)) == 3, 5, "three good frames")
        assert heard(sim) == [(t, n) for t, n, _ in (good[0], good[2], good[3])]
        log = sim.log()
        assert log.count("bad RTCM3 ") == 1
        assert "bad RTCM3 CRC mismatch (type %d, len %d)" % good[1][:2] in log
        # Byte for byte, in order, what was taken in.
        assert taken.read_bytes() == good[0][2] + good[2][2] + good[3][2]

    def test_a_truncated_frame_is_given_up_and_what_follows_is_heard(self, sim_factory):
        sim, port = rover(sim_factory)
        port.buf = b""
        port.ser.write(MSM[0][2][:40] + frame(0x0A, 0x04))
        port.read_until(lambda items: frames(items, MON_VER), 5, "MON-VER after the cut frame")
        assert "bad RTCM3 truncated frame" in sim.log() and not heard(sim)
        # A false UBX sync pair with a large length, and a frame behind it: not lost in it.
        port.ser.write(b"\xb5\x62\x06\x01\x00\x20" + MSM[1][2])
        wait_until(lambda: heard(sim), 5, "the frame behind the false header")
        assert heard(sim) == [MSM[1][:2]]

    def test_rxm_rtcm_reports_each_message(self, sim_factory):
        sim, port = rover(sim_factory)
        assert port.command(valset(1, [(RXM_RTCM_USB, 1)]), ACKS)[2] == 1
        sent = [MSM[0], next(f for f in FRAMES if f[0] == 1019)]
        spoiled = bytearray(MSM[1][2])
        spoiled[-1] ^= 1
        port.buf = b""
        port.ser.write(sent[0][2] + sent[1][2] + bytes(spoiled))
        items = port.read_until(lambda items: len(frames(items, RXM_RTCM)) >= 3 and items, 3,
                                "three RXM-RTCM")
        reports = [struct.unpack("<BBHHH", p) for p in frames(items, RXM_RTCM)]
        # version 2; flags bit 0 crcFailed, bits 1-2 msgUsed (2 used, 1 not used)
        assert [(r[0], r[1], r[4]) for r in reports] == [
            (2, 2 << 1, MSM[0][0]), (2, 1 << 1, 1019), (2, 1, MSM[1][0])]
        station = ((sent[0][2][4] & 0x0F) << 8) | sent[0][2][5]
        assert reports[0][3] == station


class TestInputOff:
    @pytest.mark.parametrize("generation,setup", [
        (9, "key"),      # switched off by CFG-USBINPROT-RTCM3X
        (8, "legacy"),   # switched off by CFG-PRT inProtoMask
        (7, None),       # protocol 14: no RTCM 3 input at all
    ])
    def test_frames_are_ignored_and_not_used(self, sim_factory, generation, setup):
        sim = sim_factory("--generation", str(generation), "--rate", "10", "--no-nmea")
        port = Port(sim.link)
        assert port.command(frame(6, 1, bytes((1, 7, 1))), ACKS)[2] == 1 if generation < 9 \
            else port.command(valset(1, [(PVT_USB, 1)]), ACKS)[2] == 1
        if setup == "key":
            assert port.command(valset(1, [(USB_IN_RTCM3, 0)]), ACKS)[2] == 1
        elif setup == "legacy":
            usb = struct.pack("<BBHIIHHHH", 3, 0, 0, 0, 0, 0x03, 0x03, 0, 0)
            assert port.command(frame(6, 0, usb), ACKS)[2] == 1
        port.buf = b""
        for f in MSM[:20]:
            port.ser.write(f[2])
        wait_until(lambda: sim.log().count("ignored RTCM3 ") == 20, 5, "twenty ignored")
        assert "ignored RTCM3 %d" % MSM[0][0] in sim.log() and not heard(sim)
        port.buf = b""
        items = port.read_until(lambda items: len(frames(items, NAV_PVT)) >= 5 and items, 3,
                                "NAV-PVT")
        assert {solution(p) for p in frames(items, NAV_PVT)} == {(0, 0)}
