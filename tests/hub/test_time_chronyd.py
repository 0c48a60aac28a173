"""The chrony feed against Debian's chronyd itself (-x: it measures, and never touches the clock):
it selects the source and measures the receiver's offset; it receives nothing from times that
do not deserve trust, nothing during a stall or an unplug, and nothing from stale data."""
import os
import statistics
import time

import pytest

from time_harness import WEEKS_1024, Chronyd, wait_until
from zq_sim import Sim


@pytest.fixture
def chronyd():
    c = Chronyd()
    yield c
    c.stop()


@pytest.mark.parametrize("offset", [0.25, -0.04])
def test_chronyd_selects_the_source_and_measures_its_offset(fed, chronyd, offset):
    rx = fed(offset=offset)
    rx.hub.serve_chrony(chronyd.sock)
    wait_until(chronyd.selected, 60, "chronyd to select GPS:\n" + chronyd.chronyc("sources"))
    wait_until(lambda: len(chronyd.samples()) >= 10, 60, "ten samples in chronyd's log")
    raw = [o for _, o in chronyd.samples()]
    # The samples: the receiver's offset less the few hundred microseconds the frame took.
    assert abs(statistics.median(raw) - offset) < 0.003, raw
    assert max(abs(o - offset) for o in raw) < 0.02, raw
    measured = wait_until(chronyd.system_offset, 20, "chronyc tracking")
    assert abs(measured - offset) < 0.003, chronyd.chronyc("tracking")
    sources = chronyd.chronyc("sources")
    assert "#* GPS" in sources, sources


def test_chronyd_receives_nothing_from_untrusted_time(fed, chronyd):
    rx = fed(offset=0.1)
    rx.hub.serve_chrony(chronyd.sock)
    wait_until(lambda: len(chronyd.samples()) >= 3, 60, "the first samples")
    phases = (("invalid", 0, {"valid": 0x04}), ("unconfirmed", 0, {"flags2": 0x20}),
              ("rollover", -WEEKS_1024, {}), ("good again", 0, {}))
    for tag, shift, fields in phases:
        rx.feeder.set(tag, shift, **fields)
        wait_until(lambda: rx.feeder.count(tag) >= 6, 30, "six %s solutions" % tag)
    sent = rx.hub.time_feeds["chrony"]["sent"]
    wait_until(lambda: len(chronyd.samples()) >= sent, 30, "chronyd to log every sample")
    # Each sample chronyd logged belongs to the frame written just before its receive time.
    written = list(rx.feeder.written)
    tags = {}
    for stamp, raw in chronyd.samples():
        before = [(w, t) for w, t in written if w <= stamp + 0.001]
        assert before, stamp
        w, t = before[-1]
        assert stamp - w < 0.1, (stamp, w)
        tags[t] = tags.get(t, 0) + 1
        assert abs(raw - 0.1) < 0.02
    assert set(tags) == {"good", "good again"}, tags
    assert tags["good"] >= 3 and tags["good again"] >= 4


def test_chronyd_through_a_stall_and_an_unplug(zq, hub_module, chronyd, monkeypatch):
    from time_harness import Recorder
    monkeypatch.setattr(zq, "l", Recorder())
    sim = Sim("--rate", "5")
    g = zq.zq_gps(port=sim.link)
    hub = hub_module.attach(g)
    try:
        hub.serve_chrony(chronyd.sock)
        wait_until(lambda: len(chronyd.samples()) >= 5, 60, "samples from the simulator")

        stall_at = time.time()
        sim.send("stall 3")
        wait_until(lambda: hub.state == "stale", 30, "the stall")
        wait_until(lambda: hub.state == "live", 30, "the end of the stall")
        resumed_at = time.time()
        n = len(chronyd.samples())
        wait_until(lambda: len(chronyd.samples()) >= n + 5, 60, "samples after the stall")

        unplug_at = time.time()
        sim.send("unplug 2")
        wait_until(lambda: not g.t1.is_alive(), 60, "the reader to end")
        wait_until(lambda: os.path.exists(sim.link), 30, "the replug")
        g.restart()
        wait_until(lambda: hub.state == "live", 30, "data after the replug")
        replugged_at = time.time()
        n = len(chronyd.samples())
        wait_until(lambda: len(chronyd.samples()) >= n + 5, 60, "samples after the replug")

        samples = chronyd.samples()
        # The simulator's time is the host's: every sample says so, none is from old data.
        # Old data would be off by at least an interval (0.2 s); a slow reader (the sanitizer
        # build) may take a message tens of milliseconds late.
        assert all(abs(raw) < 0.1 for _, raw in samples), samples
        # Nothing while the data was gone.
        assert not [s for s, _ in samples if stall_at + 0.5 < s < resumed_at - 0.5]
        assert not [s for s, _ in samples if unplug_at + 0.5 < s < replugged_at - 0.5]
        assert [s for s, _ in samples if s > replugged_at]
        counts = hub.time_feeds["chrony"]
        assert counts["refused"] >= 2  # the first solution after each spell
    finally:
        hub.close()
        g.stop()
        g.t1.join(5)
        sim.close()


@pytest.fixture
def sim_rx(zq, hub_module, monkeypatch):
    from time_harness import Recorder
    monkeypatch.setattr(zq, "l", Recorder())
    made = []

    def start(*args):
        sim = Sim("--rate", "5", "--utc", "host", *args)
        g = zq.zq_gps(port=sim.link)
        hub = hub_module.attach(g)
        made.append((sim, g, hub))
        return sim, g, hub

    yield start
    for sim, g, hub in made:
        hub.close()
        g.stop()
        g.t1.join(5)
        sim.close()


@pytest.mark.parametrize("offset", ["0.25", "-0.04"])
def test_chronyd_measures_zq_sims_offset(sim_rx, chronyd, offset):
    sim, g, hub = sim_rx("--utc-offset", offset)
    hub.serve_chrony(chronyd.sock)
    wait_until(chronyd.selected, 60, "chronyd to select GPS:\n" + chronyd.chronyc("sources"))
    wait_until(lambda: len(chronyd.samples()) >= 10, 60, "ten samples")
    raw = [o for _, o in chronyd.samples()]
    assert abs(statistics.median(raw) - float(offset)) < 0.005, raw
    measured = wait_until(chronyd.system_offset, 20, "chronyc tracking")
    assert abs(measured - float(offset)) < 0.005, chronyd.chronyc("tracking")
    stats = chronyd.chronyc("sourcestats")
    assert "GPS" in stats, stats


def test_chronyd_gets_nothing_while_zq_sims_time_is_spoiled(sim_rx, chronyd):
    sim, g, hub = sim_rx()
    hub.serve_chrony(chronyd.sock)
    wait_until(lambda: len(chronyd.samples()) >= 3, 60, "the first samples")
    windows = []
    for command in ("time invalid", "time unconfirmed", "time rollover"):
        sim.send(command)
        start = time.time()
        counts = hub.time_feeds["chrony"]
        wait_until(lambda: hub.time_feeds["chrony"]["refused"] >= counts["refused"] + 5, 30,
                   "five refused solutions after " + command)
        windows.append((command, start + 0.3, time.time()))
        assert hub.time["trusted"] is False
        sim.send("time valid")
        n = len(chronyd.samples())
        wait_until(lambda: len(chronyd.samples()) >= n + 2, 30, "samples after " + command)
    samples = chronyd.samples()
    for command, t0, t1 in windows:
        assert not [s for s, _ in samples if t0 < s < t1], command
    assert all(abs(raw) < 0.1 for _, raw in samples), samples  # within an interval, as above


def test_zq_sims_leap_announcement_reaches_chronyd(sim_rx, chronyd):
    sim, g, hub = sim_rx()
    hub.serve_chrony(chronyd.sock)
    wait_until(lambda: len(chronyd.samples()) >= 3, 60, "the first samples")
    assert hub.time["leap"] == "none"
    sim.send("time leap")
    wait_until(lambda: hub.time["leap"] == "insert", 30, "the announcement")
    wait_until(lambda: "+" in chronyd.leaps(), 30, "a sample with leap insert in chronyd's log")


def test_pps_locked_to_our_coarse_time(sim_rx):
    """No kernel PPS source exists here (no pps-ktimer, no line discipline, no modules), so the
    pulses come through a second SOCK socket as pulse samples, which chronyd pairs with the
    `lock` source exactly as it pairs a kernel PPS device's (refclock PPS /dev/ppsN lock GPS):
    the pulses say only where the second begins, our samples which second it is."""
    import socket
    import struct
    import threading
    chronyd = Chronyd("poll 0 filter 4 precision 1e-3 delay 0.2 noselect",
                      extra=["refclock SOCK $RUN/pps.sock refid PPS poll 2 lock GPS "
                             "precision 1e-6"])
    stop = threading.Event()
    offset = 0.25  # true time - system time
    sender = None
    try:
        sim, g, hub = sim_rx("--utc-offset", str(offset))
        hub.serve_chrony(chronyd.sock)

        def pulses():
            c = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
            while True:
                now = time.time()
                edge = (now + offset) // 1 + 1 - offset  # system time of the next true second
                if stop.wait(edge - now):
                    return
                sec = int(edge // 1)
                usec = int(round((edge - sec) * 1e6))
                # Pulse samples: system time minus true time, modulo the second.
                sample = struct.pack("=qqdiiii", sec, usec, -offset, 1, 0, 0, 0x534F434B)
                try:
                    c.sendto(sample, os.path.join(chronyd.run, "pps.sock"))
                except OSError:
                    pass

        sender = threading.Thread(target=pulses, daemon=True)
        sender.start()
        wait_until(lambda: any(line.startswith("#* PPS")
                               for line in chronyd.chronyc("sources").splitlines()), 90,
                   "chronyd to select the PPS locked to GPS")
        measured = wait_until(chronyd.system_offset, 20, "chronyc tracking")
        assert abs(measured - offset) < 0.001, chronyd.chronyc("tracking")
    finally:
        stop.set()
        if sender:
            sender.join(5)
        chronyd.stop()


def test_chronyd_reads_our_ntp_shm_segment(sim_rx):
    import subprocess
    unit = 150 + os.getpid() % 50
    chronyd = Chronyd(extra=["refclock SHM %d:perm=0666 refid SHM poll 1 filter 4 "
                             "precision 1e-3" % unit])
    try:
        sim, g, hub = sim_rx("--utc-offset", "0.25")
        hub.serve_shm(unit)
        wait_until(lambda: len(chronyd.samples("SHM")) >= 5, 60, "samples from the segment")
        raw = [o for _, o in chronyd.samples("SHM")]
        assert abs(statistics.median(raw) - 0.25) < 0.005, raw
    finally:
        chronyd.stop()
        subprocess.run(["ipcrm", "-M", str(0x4E545030 + unit)], capture_output=True)
