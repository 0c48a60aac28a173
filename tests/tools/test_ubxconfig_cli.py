"""ubxconfig against the simulated receiver: each change confirmed, failures reported."""
import os

import pytest

from zqsim_harness import (PYTHON, REPO, Port, need_pyubx2, run_tool,
                           split_stream, wait_until)
from zqsim_harness import sim_factory  # noqa: F401  (fixture)

TOOL = os.path.join(REPO, "tools", "ubxconfig")


def ubxconfig(port, *args, timeout=20):
    need_pyubx2()
    return run_tool([PYTHON, TOOL, "--port", port, *args], timeout=timeout)


def pvt_frames(items):
    return [it for it in items if it[0] == "ubx" and (it[1], it[2]) == (1, 7) and it[4]]


def test_fresh_receiver_recipe(sim_factory):
    sim = sim_factory("--rate", "1", "--fresh")
    r = ubxconfig(sim.link, "setup", "10")
    assert r.returncode == 0, r.stderr
    assert "software: ROM CORE 3.01 (107888)" in r.stdout
    for what in ("CFG-MSG 01 07 rate 1", "CFG-RATE 10 Hz (measRate 100 ms)", "CFG-CFG save"):
        assert "%s: acknowledged" % what in r.stdout
    port = Port(sim.link)
    frames = port.read_until(lambda items: len(pvt_frames(items)) >= 4 and pvt_frames(items),
                             2, "NAV-PVT at 10 Hz")
    itows = [int.from_bytes(f[3][:4], "little") for f in frames]
    assert [b - a for a, b in zip(itows, itows[1:])] == [100] * (len(itows) - 1)
    # Saved: survives a power cycle.
    port.close()
    sim.send("unplug 0.1")
    wait_until(lambda: "replugged:" in sim.log(), 3, "replug")
    port = Port(sim.link)
    port.read_until(lambda items: len(pvt_frames(items)) >= 2, 2, "NAV-PVT after power cycle")


def test_disable_pvt_and_nmea_off(sim_factory):
    sim = sim_factory("--rate", "25")
    assert ubxconfig(sim.link, "disable-pvt").returncode == 0
    r = ubxconfig(sim.link, "nmea", "off")
    assert r.returncode == 0 and r.stdout.count("acknowledged") == 6
    items = split_stream(Port(sim.link).read_for(0.3))
    assert not any(it[0] == "nmea" for it in items) and not pvt_frames(items)


@pytest.mark.parametrize("args,status,text", [
    (("msg", "01", "99", "1"), 1, "rejected CFG-MSG 01 99 rate 1 (ACK-NAK)"),
    (("rate", "30"), 4, "at most 25 Hz"),
])
def test_errors_are_clear(sim_factory, args, status, text):
    sim = sim_factory("--rate", "5")
    r = ubxconfig(sim.link, *args)
    assert r.returncode == status
    assert text in r.stderr


def test_silent_receiver_times_out(sim_factory):
    sim = sim_factory("--rate", "5", "--at", "0:stall 30")
    r = ubxconfig(sim.link, "--timeout", "0.4", "--retries", "1", "enable-pvt")
    assert r.returncode == 2
    assert "no answer to CFG-MSG 01 07 rate 1" in r.stderr and "within 0.4 s (2 tries)" in r.stderr


def test_missing_port(tmp_path):
    r = ubxconfig(str(tmp_path / "ttyNone"), "version")
    assert r.returncode == 3 and "cannot open" in r.stderr
