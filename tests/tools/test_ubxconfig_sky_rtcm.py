"""ubxconfig's satellite view and RTCM 3 switches against the simulated receiver of every
generation: `setup --sky` makes NAV-SAT (NAV-SVINFO on protocol 14) and NAV-DOP flow and keeps
them over a power cycle; `rtcm on|off` opens and closes the port's RTCM 3 input (and RXM-RTCM),
saved, as the simulator's log of what it heard and did shows."""
import re
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


def heard_messages(sim):
    return {(int(c, 16), int(i, 16))
            for c, i in re.findall(r"heard \S+ \((\w\w) (\w\w)\) len", sim.log())}


@pytest.mark.parametrize("generation", GENERATIONS)
def test_rtcm_off_and_on_switch_the_ports_rtcm3_input_and_are_saved(sim_factory, generation):
    from test_sim_rover import MSM
    sim = sim_factory("--generation", str(generation), "--rate", "5", "--no-nmea")

    def fed(count):
        """After a power cycle (only what was saved survives) writes five frames, and returns
        the log once it names them, with RXM-RTCM reports that came back."""
        replug(sim, count)
        port = Port(sim.link)
        port.buf = b""
        for f in MSM[:5]:
            port.ser.write(f[2])
        log = wait_until(lambda: sim.log().count("RTCM3 ") >= 5 * count and sim.log(), 5,
                         "the frames logged")
        reports = []
        if "heard RTCM3" in log.split("device replugged:")[-1] and generation >= 9:
            reports = frames(port.read_until(
                lambda items: len(frames(items, (2, 0x32))) >= 5 and items, 3, "RXM-RTCM"),
                (2, 0x32))
        port.close()
        return log.split("device replugged:")[-1], reports

    r = ubxconfig(sim.link, "rtcm", "off")
    assert r.returncode == 0, r.stdout + r.stderr
    assert "RTCM 3 input on USB: off" in r.stdout
    log, reports = fed(1)
    assert log.count("ignored RTCM3 ") == 5 and "heard RTCM3" not in log and not reports
    r = ubxconfig(sim.link, "rtcm", "on")
    if generation in (6, 7):
        assert r.returncode == 1 and "does not keep RTCM 3 input" in r.stderr, r.stderr
        log, _ = fed(2)
        assert "heard RTCM3" not in log
        return
    assert r.returncode == 0, r.stdout + r.stderr
    # By key from generation 9, CFG-PRT before.
    assert ((6, 0x8A) in heard_messages(sim)) == (generation >= 9)
    assert ((6, 0x00) in heard_messages(sim)) == (generation == 8 or generation == 9)
    log, reports = fed(2)
    assert log.count("heard RTCM3 ") == 5
    if generation >= 9:  # RXM-RTCM came on with the input, saved with it
        assert [struct.unpack_from("<H", p, 6)[0] for p in reports] == [f[0] for f in MSM[:5]]
        assert "RXM-RTCM: on" in r.stdout
    else:
        assert "no RXM-RTCM on protocol 18.00" in r.stdout
