"""A bad line as a host sees it: silence longer than the read time-out, a flood of noise with
damaged frames in it, and random bit flips. Every accepted message is recorded on the
reader's own thread (AcceptRecorder) and checked against the simulator's ground truth."""
import os
import random
import threading
import time

import serial

from faults_harness import (CODE2_LINE, AcceptRecorder, LinkedPty, receivers,  # noqa: F401
                            sim_factory, wait_for)
from ubx_helpers import fletcher, scan


def truth_by_itow(sim, itows):
    """The truth lines for ITOWS, waiting for the simulator to have written them."""
    def ready():
        t = {x["iTOW"]: x for x in sim.sent_pvts()}
        return t if all(i in t for i in itows) else None
    return wait_for(ready, 5, "the ground truth of the accepted messages")


def check_values(accepted, truth):
    """Every accepted message carries exactly the values its epoch had, and so does getgps()."""
    for m, gps in accepted:
        t = truth[m.iTOW]
        assert (m.lat, m.lon, m.numSV, m.pDOP, m.gSpeed, m.headMot) == (
            t["lat_e7"], t["lon_e7"], t["numSV"], t["pDOP"], t["gSpeed"], t["headMot"])
        assert gps[:4] == (t["lon_e7"] / 1e7, t["lat_e7"] / 1e7, t["pDOP"] / 100, t["numSV"])


def test_stall_longer_than_the_read_timeout_is_not_a_failure(receivers, sim_factory, capsys):
    sim = sim_factory("--rate", "10", "--no-nmea", "--paused")
    rec = AcceptRecorder()
    g = receivers(sim.link, rec)
    sim.send("resume")
    wait_for(lambda: len(rec.accepted) >= 3, 5, "values")
    sim.send("stall 3")
    wait_for(lambda: any(t["reason"] == "stall" for t in sim.truth()), 5, "the stall")
    before = len(rec.accepted)
    wait_for(lambda: len(rec.accepted) > before + 3, 10, "values after the stall")
    assert g.t1.is_alive() and g.flag is True
    assert CODE2_LINE not in capsys.readouterr().out
    stalled = [t["iTOW"] for t in sim.truth() if t["reason"] == "stall"]
    assert len(stalled) >= 25  # 3 s at 10 Hz, give or take the epochs at the edges
    itows = [m.iTOW for m, _ in rec.accepted]
    assert not set(stalled) & set(itows)
    check_values(rec.accepted, truth_by_itow(sim, itows))


def test_stop_during_a_stall_ends_the_reader(receivers, sim_factory):
    sim = sim_factory("--rate", "10", "--no-nmea")
    g = receivers(sim.link)
    wait_for(lambda: g.flag is True, 5, "values")
    sim.send("stall 10")
    wait_for(lambda: any(t["reason"] == "stall" for t in sim.truth()), 5, "the stall")
    g.stop()
    g.t1.join(5)  # the reader is at most one read time-out away from its stop check
    assert not g.t1.is_alive() and g.flag is False


def settle(predicate, seconds):
    """Waits for PREDICATE at most SECONDS; unlike wait_for, running out is not a failure."""
    deadline = time.monotonic() + seconds
    while not predicate() and time.monotonic() < deadline:
        time.sleep(0.01)


def accepted_prefix(rec, sent):
    """Frames come out of the scanner in line order, so every sent frame up to the last one
    accepted has been looked at; the tail may still sit behind a false sync's length."""
    order = {t["iTOW"]: i for i, t in enumerate(sent)}
    itows = [m.iTOW for m, _ in rec.accepted]
    assert itows == sorted(itows, key=order.__getitem__), "accepted out of line order"
    return sent[:order[itows[-1]] + 1]


def test_noise_flood_passes_every_intact_frame_and_no_damaged_one(receivers, sim_factory):
    # 100-byte NAV-PVT plus 900 noise bytes per epoch at 10 Hz: 90 % garbage at 10 kB/s, a
    # fully loaded 115200-baud line; every 7th frame has a damaged checksum.
    sim = sim_factory("--rate", "10", "--no-nmea", "--noise", "900", "--bad-checksum-every", "7",
                      "--seed", "11", "--paused")
    rec = AcceptRecorder()
    receivers(sim.link, rec)
    sim.send("resume")
    wait_for(lambda: len(sim.sent_pvts()) >= 60, 15, "60 epochs")
    sim.send("pause")
    sent = sim.sent_pvts()
    settle(lambda: rec.accepted and rec.accepted[-1][0].iTOW == sent[-1]["iTOW"]
           or len(rec.accepted) >= sum(not t["pvt_damaged"] for t in sent), 5)
    looked_at = accepted_prefix(rec, sent)
    intact = [t["iTOW"] for t in looked_at if not t["pvt_damaged"]]
    damaged = [t["iTOW"] for t in looked_at if t["pvt_damaged"]]
    assert len(looked_at) >= 40 and len(damaged) >= 5
    assert [m.iTOW for m, _ in rec.accepted] == intact
    check_values(rec.accepted, truth_by_itow(sim, intact))


class FlipRelay:
    """Copies the simulator's line to a pty of ours, flipping each bit with probability RATE.
    Works on whole items (UBX frames, NMEA lines), so it knows which NAV-PVT frames it passed
    intact. Damage that leaves a frame's checksum valid is not applied: no decoder could tell
    such a frame from a good one, so it says nothing about this one."""

    def __init__(self, src_link, rate, seed):
        self.src = serial.Serial(src_link, 9600, timeout=0.05)
        self.out = LinkedPty()
        self.rate = rate
        self.rng = random.Random(seed)
        self.frames = []  # (iTOW, original payload, intact)
        self.flips = 0
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self.run)
        self.thread.start()

    def damage(self, data):
        buf = bytearray(data)
        nbits = len(buf) * 8
        pos = 0
        while True:
            # Gaps between flips are geometric: as if every bit were tossed.
            pos += int(self.rng.expovariate(self.rate)) + 1
            if pos > nbits:
                return buf
            buf[(pos - 1) // 8] ^= 1 << ((pos - 1) % 8)
            self.flips += 1

    def run(self):
        pending = b""
        while not self.stop.is_set():
            pending += self.src.read(65536)
            items, end = scan(pending)
            if not end:
                continue
            chunk, pending = pending[:end], pending[end:]
            damaged = self.damage(chunk)
            for it in items:
                if it.start >= end or (it.kind, it.cls, it.msg_id, it.ok) != ("ubx", 1, 7, True):
                    continue
                start, stop, payload = it.start, it.end, it.body
                part = damaged[start:stop]
                intact = part == chunk[start:stop]
                if not intact and part[:6] == chunk[start:start + 6] and \
                        fletcher(part[2:-2]) == bytes(part[-2:]):
                    damaged[start:stop] = chunk[start:stop]
                    intact = True
                self.frames.append((int.from_bytes(payload[:4], "little"), payload, intact))
            self.out.write(bytes(damaged))

    def close(self):
        self.stop.set()
        self.thread.join(5)
        self.src.close()
        self.out.close()


def test_bit_flips_never_reach_the_attributes(receivers, sim_factory):
    sim = sim_factory("--rate", "10", "--paused")
    relay = FlipRelay(sim.link, rate=5e-4, seed=5)
    try:
        rec = AcceptRecorder()
        receivers(relay.out.link, rec)
        sim.send("resume")
        wait_for(lambda: len(relay.frames) >= 50, 15, "50 epochs through the relay")
        sim.send("pause")
        frames = list(relay.frames)
        last = frames[-1][0]
        intact = [f for f in frames if f[2]]
        # Wait for the last intact frame, or give the reader a moment when the last one is
        # damaged; the comparison below only covers what the reader has looked at.
        settle(lambda: rec.accepted and rec.accepted[-1][0].iTOW in (last, intact[-1][0]), 5)
        assert rec.accepted, "nothing accepted"
        order = {f[0]: i for i, f in enumerate(frames)}
        seen = frames[:order[rec.accepted[-1][0].iTOW] + 1]
        assert len(seen) >= 40
        assert sum(not f[2] for f in seen) >= 5, "too few frames damaged to say anything"
        assert [m.iTOW for m, _ in rec.accepted] == [f[0] for f in seen if f[2]]
        original = {f[0]: f[1] for f in frames}
        assert all(m.payload == original[m.iTOW] for m, _ in rec.accepted)
        check_values(rec.accepted, truth_by_itow(sim, [m.iTOW for m, _ in rec.accepted]))
        assert relay.flips > 0 and os.path.exists(relay.out.link)
    finally:
        relay.close()
