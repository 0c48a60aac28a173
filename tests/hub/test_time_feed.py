"""The time feeds and hub.time as a host sees them, through a real pty, the real reader and codec:
what reaches a chrony socket and an NTP segment, when nothing does, and what is logged."""
import ctypes
import os
import subprocess
import time

import pytest

from time_harness import WEEKS_1024, FakeChronyd, wait_until

PYTHON = "/usr/bin/python3"
HERE = os.path.dirname(os.path.abspath(__file__))
ZQ_HUB = os.path.join(HERE, "..", "..", "tools", "zq-hub")


def feeds(hub, name="chrony"):
    return hub.time_feeds.get(name)


def more_solutions(hub, n, name="chrony"):
    """Waits until the feed NAME has judged N more solutions; returns its counts then."""
    start = feeds(hub, name)["solutions"]
    wait_until(lambda: feeds(hub, name)["solutions"] >= start + n, 30, "%d solutions" % n)
    return feeds(hub, name)


def test_chrony_gets_trusted_samples_only(fed, tmp_path):
    rx = fed(offset=0.25)
    chronyd = FakeChronyd(str(tmp_path / "gps.sock"))
    try:
        rx.hub.serve_chrony(str(tmp_path / "gps.sock"))
        # Samples: receive time about now, offset the receiver's UTC minus it.
        for _ in range(5):
            tv, offset, leap = chronyd.receive()
            assert abs(offset - 0.25) < 0.02 and leap == 0
        # Untrusted times send nothing while the solutions keep coming.
        for tag, shift, fields in (("invalid", 0, {"valid": 0x04}),
                                   ("unresolved", 0, {"valid": 0x03}),
                                   ("unconfirmed", 0, {"flags2": 0x60}),
                                   ("inaccurate", 0, {"tAcc": 5000000}),
                                   ("no fix", 0, {"fixType": 1}),
                                   ("rollover", -WEEKS_1024, {})):
            rx.feeder.set(tag, shift, **fields)
            more_solutions(rx.hub, 1)  # the one in flight when the flags changed
            while chronyd.pending():
                pass
            before = more_solutions(rx.hub, 0)
            after = more_solutions(rx.hub, 4)
            assert after["sent"] == before["sent"], tag
            assert not chronyd.pending(), tag
            t = rx.hub.time
            assert t["trusted"] is False and t["reason"], tag
        rx.feeder.set("good")
        tv, offset, leap = chronyd.receive()
        assert abs(offset - 0.25) < 0.02
    finally:
        chronyd.close()


def test_stall_stops_samples_and_the_first_after_it_is_not_sent(fed, tmp_path):
    rx = fed(offset=-0.04)
    chronyd = FakeChronyd(str(tmp_path / "gps.sock"))
    try:
        rx.hub.serve_chrony(str(tmp_path / "gps.sock"))
        chronyd.receive()
        rx.feeder.paused = True
        wait_until(lambda: rx.hub.state == "stale", 30, "the stall")
        while chronyd.pending():
            pass
        t = rx.hub.time
        assert t["trusted"] is False and t["reason"] == "the reader is stale"
        sent = feeds(rx.hub)["sent"]
        resumed_at = time.time()
        rx.feeder.paused = False
        # The first solution after the stall is read while stale: judged, not sent; the
        # first sample is the next one's.
        tv, offset, _ = chronyd.receive()
        first_after = min(w for w, _ in rx.feeder.written if w >= resumed_at)
        assert tv - first_after > 0.1
        counts = feeds(rx.hub)
        assert counts["sent"] >= sent + 1 and counts["refused"] >= 1
        assert abs(offset + 0.04) < 0.02
        assert rx.hub.time["trusted"] is True
    finally:
        chronyd.close()


def test_missing_socket_is_waited_for_and_logged_once_per_outage(fed, tmp_path):
    rx = fed()
    path = str(tmp_path / "gps.sock")
    rx.hub.serve_chrony(path)
    more_solutions(rx.hub, 6)
    wait_until(lambda: rx.log.count("is not there", "warning") == 1, 20, "the outage line")
    assert feeds(rx.hub)["lost"] >= 4 and feeds(rx.hub)["sent"] == 0
    chronyd = FakeChronyd(path)
    chronyd.receive()
    wait_until(lambda: rx.log.count("sending to chrony socket: " + path, "info") == 1, 20,
               "the line that samples go out")
    chronyd.close()  # chronyd stops: one more line; back: one more
    more_solutions(rx.hub, 4)
    wait_until(lambda: rx.log.count("is not there", "warning") == 2, 20, "the second outage")
    chronyd = FakeChronyd(path)
    try:
        chronyd.receive()
        wait_until(lambda: rx.log.count("sending to chrony socket again", "info") == 1, 20,
                   "the resumption line")
        assert rx.log.count("is not there") == 2
        assert rx.log.count("receiver time trusted", "info") == 1
        assert all(t.startswith("zq_hub chrony: ") for _, t in rx.log.lines if "zq_hub" in t)
    finally:
        chronyd.close()


def test_hub_time_for_hosts(fed):
    rx = fed(offset=0.25)
    # Before the first look there is nothing to judge against; then trusted.
    t = wait_until(lambda: (rx.hub.time or {}).get("trusted"), 20, "trusted time")
    t = rx.hub.time
    assert set(t) == {"utc", "accuracy", "rx_time", "rx_real", "offset", "leap", "trusted",
                      "reason"}
    assert t["reason"] is None and t["leap"] == "none"
    assert t["accuracy"] == pytest.approx(25e-9)
    assert abs(t["offset"] - 0.25) < 0.02
    assert abs(t["utc"] - t["rx_real"] - t["offset"]) < 1e-6
    assert abs(t["rx_time"] - rx.hub.latest.rx_time) < 1.0  # the same clock
    # The bound: 10 ns refuses the 25 ns the receiver claims; the reason says so.
    rx.hub.time_accuracy = 1e-8
    wait_until(lambda: rx.hub.time["reason"] and "accuracy" in rx.hub.time["reason"], 20,
               "the accuracy bound to bite")
    assert rx.hub.time_accuracy == pytest.approx(1e-8)
    rx.hub.time_accuracy = 0.001
    wait_until(lambda: rx.hub.time["trusted"], 20, "trust back")
    for bad in (-1, 5.0, float("nan")):
        with pytest.raises(ValueError):
            rx.hub.time_accuracy = bad
    with pytest.raises(TypeError):
        rx.hub.time_accuracy = "fast"


def test_serve_arguments_and_closed_hub(fed, tmp_path):
    rx = fed()
    with pytest.raises(TypeError):
        rx.hub.serve_chrony(12)
    with pytest.raises(ValueError):
        rx.hub.serve_chrony("x" * 200)
    with pytest.raises(ValueError):
        rx.hub.serve_chrony("")
    with pytest.raises(ValueError):
        rx.hub.serve_shm(256)
    with pytest.raises(TypeError):
        rx.hub.serve_shm("2")
    rx.hub.serve_chrony(tmp_path / "a.sock")  # a path-like is fine
    assert feeds(rx.hub)["target"] == str(tmp_path / "a.sock")
    rx.hub.serve_chrony(str(tmp_path / "b.sock"))  # replaces the first
    assert feeds(rx.hub)["target"] == str(tmp_path / "b.sock")
    rx.hub.serve_chrony(None)
    assert rx.hub.time_feeds == {}
    rx.hub.close()
    with pytest.raises(RuntimeError):
        rx.hub.serve_chrony(str(tmp_path / "c.sock"))
    assert rx.hub.time_feeds == {}


class ShmTime(ctypes.Structure):
    _fields_ = [("mode", ctypes.c_int), ("count", ctypes.c_int),
                ("clockTimeStampSec", ctypes.c_long), ("clockTimeStampUSec", ctypes.c_int),
                ("receiveTimeStampSec", ctypes.c_long), ("receiveTimeStampUSec", ctypes.c_int),
                ("leap", ctypes.c_int), ("precision", ctypes.c_int), ("nsamples", ctypes.c_int),
                ("valid", ctypes.c_int), ("clockTimeStampNSec", ctypes.c_uint),
                ("receiveTimeStampNSec", ctypes.c_uint), ("dummy", ctypes.c_int * 8)]


def test_shm_segment_read_back(fed):
    assert ctypes.sizeof(ShmTime) == 96
    libc = ctypes.CDLL(None, use_errno=True)
    libc.shmat.restype = ctypes.c_void_p
    libc.shmat.argtypes = (ctypes.c_int, ctypes.c_void_p, ctypes.c_int)
    unit = 150 + os.getpid() % 100
    key = 0x4E545030 + unit
    old = libc.shmget(key, 0, 0)
    if old >= 0:
        libc.shmctl(old, 0, None)  # IPC_RMID
    rx = fed(offset=0.25)
    rx.hub.serve_shm(unit)
    wait_until(lambda: feeds(rx.hub, "shm") and feeds(rx.hub, "shm")["sent"] >= 3, 30,
               "three samples in the segment")
    shmid = libc.shmget(key, 96, 0)
    assert shmid >= 0
    addr = libc.shmat(shmid, None, 0o10000)  # SHM_RDONLY
    try:
        seg = ShmTime.from_address(addr)
        # A reader's view: take it only when valid and the count is even and unchanged.
        snap = wait_until(lambda: (lambda c: c if c % 2 == 0 and seg.valid else None)(seg.count)
                          and ShmTime.from_buffer_copy(seg), 20, "a settled segment")
        assert snap.mode == 1 and snap.precision == -10 and snap.leap == 0
        clock = snap.clockTimeStampSec + snap.clockTimeStampNSec * 1e-9
        receive = snap.receiveTimeStampSec + snap.receiveTimeStampNSec * 1e-9
        assert abs((clock - receive) - 0.25) < 0.02
        assert snap.clockTimeStampUSec == snap.clockTimeStampNSec // 1000
        assert snap.receiveTimeStampUSec == snap.receiveTimeStampNSec // 1000
        assert snap.count >= 2 * feeds(rx.hub, "shm")["sent"] - 2
    finally:
        libc.shmdt(ctypes.c_void_p(addr))
        libc.shmctl(shmid, 0, None)


def test_zq_hub_time_options():
    out = subprocess.run([PYTHON, ZQ_HUB, "--help"], capture_output=True, text=True)
    assert out.returncode == 0
    for opt in ("--chrony PATH", "--shm UNIT", "--time-accuracy NS"):
        assert opt in out.stdout
    for bad in (["--shm", "256"], ["--shm", "two"], ["--time-accuracy", "-5"]):
        r = subprocess.run([PYTHON, ZQ_HUB, *bad], capture_output=True, text=True)
        assert r.returncode == 2, bad


@pytest.mark.parametrize("form", [[], ["--pvt84"]], ids=["92-byte", "84-byte"])
def test_zq_hub_feeds_chrony_from_the_simulator(tmp_path, form):
    """Also from the 84-byte NAV-PVT of protocol 14, which reports no confirmation."""
    from zq_sim import Sim
    chronyd = FakeChronyd(str(tmp_path / "gps.sock"))
    sim = Sim("--rate", "5", "--utc", "host", "--utc-offset", "0.125", *form)
    env = dict(os.environ, ROOT_PATH=str(tmp_path))
    hub = subprocess.Popen([PYTHON, ZQ_HUB, "--port", sim.link, "--chrony", chronyd.path,
                            "--time-accuracy", "100"], env=env, stdout=subprocess.DEVNULL,
                           stderr=subprocess.PIPE)
    try:
        for _ in range(3):
            tv, offset, leap = chronyd.receive(30)
            assert abs(offset - 0.125) < 0.02 and abs(tv - time.time()) < 5
    finally:
        hub.terminate()
        _, err = hub.communicate(timeout=20)
        chronyd.close()
        sim.close()
    assert hub.returncode == 0, err


def test_host_leaving_with_feeds_running_exits_cleanly(tmp_path):
    """Feeds and their log relays running, a warning on its way, the receiver stopped but the
    hub not closed: the interpreter's exit stops them (atexit) and the process ends, status 0."""
    from zq_sim import Sim
    from zq_paths import ROOT
    sim = Sim("--rate", "10")
    script = tmp_path / "host.py"
    script.write_text(
        "import sys, time\n"
        "sys.path.insert(0, %r)\n"
        "import zq_gps, zq_hub\n"
        "g = zq_gps.zq_gps(port=%r)\n"
        "h = zq_hub.attach(g)\n"
        "h.serve_chrony(%r)\n"
        "h.serve_shm(%d)\n"
        "deadline = time.monotonic() + 30\n"
        "while h.time_feeds['chrony']['lost'] < 3 and time.monotonic() < deadline:\n"
        "    time.sleep(0.01)\n"
        "print(h.time_feeds['chrony']['lost'] >= 3, flush=True)\n"
        "g.stop()\n"
        % (ROOT, sim.link, str(tmp_path / "missing.sock"), 200 + os.getpid() % 50))
    env = dict(os.environ, ROOT_PATH=str(tmp_path))
    try:
        for _ in range(3):
            r = subprocess.run([PYTHON, str(script)], capture_output=True, text=True, env=env,
                               timeout=60)
            assert r.returncode == 0, r.stderr
            assert r.stdout.strip().endswith("True"), r.stdout
            assert "Fatal" not in r.stderr and "terminate" not in r.stderr, r.stderr
    finally:
        sim.close()
        subprocess.run(["ipcrm", "-M", str(0x4E545030 + 200 + os.getpid() % 50)],
                       capture_output=True)
