"""What the simulated receiver puts on the line: frames, rate, NMEA set, truth, faults."""
import os
import time

import pytest

from zqsim_harness import CAPTURES, Port, pvt_fields, split_stream
from zqsim_harness import sim_factory  # noqa: F401  (fixture)

NMEA_ORDER = ["RMC", "VTG", "GGA", "GSA", "GSV", "GLL"]


def pvts(items):
    return [it for it in items if it[0] == "ubx" and (it[1], it[2]) == (1, 7)]


def epochs_after_first_pvt(items):
    """Bursts that start at a NAV-PVT, as lists of item kinds ("PVT", "RMC", ...)."""
    bursts = []
    for it in items:
        if it[0] == "ubx" and (it[1], it[2]) == (1, 7):
            bursts.append(["PVT"])
        elif it[0] == "nmea" and bursts:
            kind = it[1][3:6].decode()
            if bursts[-1][-1] != kind:
                bursts[-1].append(kind)
    return bursts[:-1]  # the last one may be cut off


class TestSyntheticStream:
    def test_rate_frames_and_truth_agree(self, sim_factory):
        sim = sim_factory("--rate", "10", "--lat", "-34.9", "--lon", "138.6", "--speed", "20")
        port = Port(sim.link)
        items = split_stream(port.read_for(1.5))
        frames = pvts(items)
        assert 12 <= len(frames) <= 16, "%d NAV-PVT frames in 1.5 s at 10 Hz" % len(frames)
        assert all(f[4] for f in frames), "a NAV-PVT frame had a bad checksum"
        assert all(len(f[3]) == 92 for f in frames)
        itows = [pvt_fields(f[3])["iTOW"] for f in frames]
        assert all(b - a == 100 for a, b in zip(itows, itows[1:])), itows
        assert all(t % 100 == 0 for t in itows), "epochs not on the 100 ms grid"

        truth = {t["iTOW"]: t for t in sim.truth()}
        for f in frames:
            got = pvt_fields(f[3])
            want = truth[got["iTOW"]]
            for key in ("lat_e7", "lon_e7", "gSpeed", "headMot", "numSV", "pDOP", "fixType"):
                assert got[key] == want[key], key
            assert want["sent"] and not want["pvt_damaged"]
        lats = [pvt_fields(f[3])["lat_e7"] for f in frames]
        assert len(set(lats)) == len(lats), "the receiver is not moving"
        assert abs(lats[0] / 1e7 - -34.9) < 0.01

    def test_nmea_set_follows_nav_pvt_in_receiver_order(self, sim_factory):
        sim = sim_factory("--rate", "25")
        port = Port(sim.link)
        items = split_stream(port.read_for(0.5))
        sentences = [it for it in items if it[0] == "nmea"]
        assert sentences and all(it[2] for it in sentences), "an NMEA checksum or length is wrong"
        bursts = epochs_after_first_pvt(items)
        assert len(bursts) >= 5
        for b in bursts:
            assert b == ["PVT"] + NMEA_ORDER, b

    def test_nmea_position_matches_truth(self, sim_factory):
        sim = sim_factory("--rate", "5", "--lat", "51.5", "--lon", "-0.12")
        port = Port(sim.link)
        items = split_stream(port.read_for(0.7))
        gga = [it[1].decode().split(",") for it in items
               if it[0] == "nmea" and it[1][3:6] == b"GGA"]
        truth = {t["time"][11:19].replace(":", "") + "." + t["time"][20:22]: t
                 for t in sim.truth()}
        assert gga
        for f in gga:
            t = truth[f[1]]
            lat = (int(f[2][:2]) + float(f[2][2:]) / 60) * (1 if f[3] == "N" else -1)
            lon = (int(f[4][:3]) + float(f[4][3:]) / 60) * (1 if f[5] == "E" else -1)
            assert abs(lat - t["lat"]) < 2e-7 and abs(lon - t["lon"]) < 2e-7
            assert int(f[7]) == t["numSV"]

    def test_short_form_on_request(self, sim_factory):
        sim = sim_factory("--rate", "25", "--pvt84")
        items = split_stream(Port(sim.link).read_for(0.3))
        assert pvts(items) and all(len(f[3]) == 84 and f[4] for f in pvts(items))


class TestFaults:
    def test_damaged_checksums_marked_in_truth(self, sim_factory):
        sim = sim_factory("--rate", "25", "--bad-checksum-every", "3", "--noise", "40")
        items = split_stream(Port(sim.link).read_for(0.6))
        frames = pvts(items)
        bad = [f for f in frames if not f[4]]
        assert frames and 0.2 <= len(bad) / len(frames) <= 0.5
        damaged_in_truth = {t["iTOW"] for t in sim.truth() if t["pvt_damaged"]}
        assert {pvt_fields(f[3])["iTOW"] for f in bad} <= damaged_in_truth
        assert all(pvt_fields(f[3])["iTOW"] not in damaged_in_truth for f in frames if f[4])

    def test_stall_is_longer_than_the_read_timeout(self, sim_factory):
        sim = sim_factory("--rate", "25")
        port = Port(sim.link)
        port.read_until(lambda items: len(pvts(items)) >= 2, 2, "first frames")
        sim.send("stall 2.3")
        port.buf = b""
        # Collect until frames flow again, watching for the longest silence.
        last, longest = time.monotonic(), 0.0
        deadline = last + 5
        while time.monotonic() < deadline:
            chunk = port.ser.read(4096)
            now = time.monotonic()
            if chunk:
                longest = max(longest, now - last)
                last = now
                if longest > 2.0:
                    break
        assert longest > 2.0, "longest silence %.2f s" % longest
        assert any(t["reason"] == "stall" and not t["sent"] for t in sim.truth())

    def test_sigterm_removes_link_and_control(self, sim_factory):
        sim = sim_factory()
        sim.stop()
        assert sim.proc.returncode == 0
        assert not os.path.lexists(sim.link) and not os.path.exists(sim.control)


@pytest.mark.parametrize("pace,spacing", [("recorded", 0.2), ("50", 0.02)])
def test_replay_sends_the_capture_at_its_pace(sim_factory, pace, spacing):
    capture = os.path.join(CAPTURES, "ublox-neo-m8n.log")
    sim = sim_factory("--replay", capture, "--pace", pace, "--paused")
    port = Port(sim.link)
    sim.send("resume")
    items = port.read_until(lambda items: len(pvts(items)) >= 6 and items, 5, "6 NAV-PVT frames")
    with open(capture, "rb") as f:
        recorded = pvts(split_stream(f.read()))
    assert [f[3] for f in pvts(items)] == [f[3] for f in recorded[:len(pvts(items))]]
    times = [t["t_mono"] for t in sim.truth()][:6]
    gaps = [b - a for a, b in zip(times, times[1:])]
    assert all(abs(g - spacing) < spacing * 0.5 + 0.01 for g in gaps), gaps


def test_fast_replay_delivers_every_frame(sim_factory):
    capture = os.path.join(CAPTURES, "ublox-zed-f9p-hp.log")
    sim = sim_factory("--replay", capture, "--pace", "fast", "--loop", "3", "--paused")
    port = Port(sim.link)
    sim.send("resume")
    items = port.read_until(
        lambda items: sum(1 for it in items if it[0] == "ubx") >= 3 * 293 and items, 5,
        "three passes of the capture")
    assert sum(1 for it in items if it[0] == "ubx" and it[4]) == 3 * 293
