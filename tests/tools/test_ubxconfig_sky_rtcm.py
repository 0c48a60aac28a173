"""ubxconfig's satellite view and RTCM 3 switches against the simulated receiver of every
generation: `setup --sky` makes NAV-SAT (NAV-SVINFO on protocol 14) and NAV-DOP flow and keeps
them over a power cycle; `rtcm on|off` opens and closes the port's RTCM 3 input (and RXM-RTCM),
saved, as the simulator's log of what it heard and did shows."""
import struct

import pytest

from test_ubxconfig_cli import ubxconfig
from zqsim_harness import Port, wait_until
from zqsim_harness import sim_factory  # noqa: F401  (fixture)

GENERATIONS = (6, 7, 8, 9, 10)
NAV_SAT, NAV_SVINFO, NAV_DOP, NAV_PVT = (1, 0x35), (1, 0x30), (1, 0x04), (1, 0x07)


def frames(items, cls_id):
    return [it[3] for it in items if it[0] == "ubx" and it[4] and (it[1], it[2]) == cls_id]


def replug(sim, count):
    sim.send("unplug 0.1")
    wait_until(lambda: sim.log().count("device replugged:") >= count, 3, "replug")


@pytest.mark.parametrize("generation", GENERATIONS)
def test_setup_sky_turns_the_satellite_view_on_and_saves_it(sim_factory, generation):
    sim = sim_factory("--generation", str(generation), "--rate", "5", "--no-nmea")
    r = ubxconfig(sim.link, "setup", "5", "--sky")
    assert r.returncode == 0, r.stdout + r.stderr
    sat = NAV_SVINFO if generation in (6, 7) else NAV_SAT
    assert "%s and NAV-DOP on, saved" % ("NAV-SVINFO" if sat == NAV_SVINFO else "NAV-SAT") \
        in r.stdout
    replug(sim, 1)  # only what was saved survives
    port = Port(sim.link)
    items = port.read_until(lambda items: len(frames(items, sat)) >= 3 and items, 5,
                            "the satellite view after a power cycle")
    pvts = frames(items, NAV_PVT)
    # At every solution, like NAV-PVT: the same epochs, by iTOW.
    itows = {struct.unpack_from("<I", p, 0)[0] for p in pvts}
    assert {struct.unpack_from("<I", p, 0)[0] for p in frames(items, sat)[1:]} <= itows
    assert len(frames(items, NAV_DOP)) >= 2
    assert not frames(items, NAV_SAT if sat == NAV_SVINFO else NAV_SVINFO)
