"""ubxconfig against the simulated receiver of every generation, 6 to 10: set up from the
factory state for NAV-PVT at 5 Hz, which the driver then reads at that rate, also after a power
cycle; keys read and written; model, power mode and UART1's speed; and which messages reached
the receiver, from the frames the simulator's log says it heard."""
import re
import struct

import pytest
import serial

from test_ubxconfig_cli import pvt_frames, ubxconfig
from zqsim_harness import Port, frame, split_stream, wait_until
from zqsim_harness import sim_factory  # noqa: F401  (fixture)
from zq_sim import stop_all

GENERATIONS = (6, 7, 8, 9, 10)
BY_KEY = (9, 10)
KEY_MESSAGES = {(6, 0x8A), (6, 0x8B), (6, 0x8C)}


def fresh(sim_factory, generation, *args):
    return sim_factory("--generation", str(generation), "--rate", "1", *args)


def heard(sim):
    return [(int(c, 16), int(i, 16))
            for c, i in re.findall(r"heard \S+ \((\w\w) (\w\w)\) len", sim.log())]


def intervals(frames):
    itows = [struct.unpack_from("<I", f[3], 0)[0] for f in frames]
    return {b - a for a, b in zip(itows, itows[1:])}


def pvts_on(ser, count):
    buf = b""

    def enough():
        nonlocal buf
        buf += ser.read(4096)
        return len(pvt_frames(split_stream(buf))) >= count and pvt_frames(split_stream(buf))
    return wait_until(enough, 5, "%d NAV-PVT" % count)


def driver_intervals(zq, link, epochs):
    gps = zq.zq_gps(port=link)
    seen = []

    def enough():
        m = gps.parsed_data
        if m is not None and (not seen or m.iTOW != seen[-1]):
            seen.append(m.iTOW)
        return len(seen) > epochs
    try:
        wait_until(enough, 10, "%d NAV-PVT through the driver" % epochs)
    finally:
        stop_all([gps])
    return {b - a for a, b in zip(seen, seen[1:])}


def period(steps):
    """The iTOW period of the steps seen; one taken late under load skips, never shortens it."""
    assert steps and all(s % min(steps) == 0 for s in steps), steps
    return min(steps)


def replug(sim):
    sim.send("unplug 0.1")
    wait_until(lambda: "device replugged:" in sim.log(), 3, "replug")


@pytest.mark.parametrize("generation", GENERATIONS)
class TestEveryGeneration:
    def test_setup_5_hz_reaches_the_driver_and_is_saved(self, sim_factory, zq, generation):
        sim = fresh(sim_factory, generation)
        r = ubxconfig(sim.link, "setup", "5")
        assert r.returncode == 0, r.stderr
        assert "generation: %d" % generation in r.stdout
        steps = ("CFG-VALSET RAM CFG-MSGOUT-UBX_NAV_PVT_USB=1",
                 "CFG-VALSET RAM CFG-RATE-MEAS=0.2 s", "CFG-VALSET BBR+flash") if (
            generation in BY_KEY) else ("CFG-MSG 01 07 rate 1", "CFG-RATE 5 Hz", "CFG-CFG save")
        assert all(re.search("^%s.*: acknowledged$" % re.escape(s), r.stdout, re.M)
                   for s in steps)
        assert period(driver_intervals(zq, sim.link, 6)) == 200
        replug(sim)
        assert period(driver_intervals(zq, sim.link, 3)) == 200

    def test_only_what_the_generation_takes_reaches_it(self, sim_factory, generation):
        sim = fresh(sim_factory, generation)
        for args in (("setup", "5"), ("model", "pedestrian"), ("power", "save"), ("save",)):
            r = ubxconfig(sim.link, *args)
            assert r.returncode == 0, (args, r.stderr)
        cfg = {m for m in heard(sim) if m[0] == 6}
        if generation == 10:
            assert cfg - KEY_MESSAGES == {(6, 0x09)}, "legacy configuration sent: %s" % cfg
        elif generation < 9:
            assert not cfg & KEY_MESSAGES, "configuration by key sent: %s" % cfg
            assert {(6, 0x01), (6, 0x08), (6, 0x24), (6, 0x11), (6, 0x09)} <= cfg

    def test_get_and_set(self, sim_factory, generation):
        sim = fresh(sim_factory, generation)
        r = ubxconfig(sim.link, "set", "0x30210001=0.5s", "cfg-navspg-dynmodel=3",
                      "--layers", "ram,bbr")
        if generation not in BY_KEY:
            assert r.returncode == 1 and "rejected CFG-VALSET RAM+BBR" in r.stderr
            r = ubxconfig(sim.link, "get", "CFG-RATE-MEAS")
            assert r.returncode == 1 and "rejected CFG-VALGET CFG-RATE-MEAS" in r.stderr
            return
        assert r.returncode == 0, r.stderr
        for layer in ("ram", "bbr"):
            r = ubxconfig(sim.link, "get", "--layer", layer, "CFG-RATE-MEAS", "0x20110021")
            assert r.stdout == "CFG-RATE-MEAS=0.5 s\nCFG-NAVSPG-DYNMODEL=3\n", r.stderr
        r = ubxconfig(sim.link, "get", "--layer", "bbr", "CFG-RATE-MEAS", "CFG-RATE-NAV")
        assert r.returncode == 1 and "no value in the bbr layer for CFG-RATE-NAV" in r.stderr

    def test_model_and_power(self, sim_factory, generation):
        sim = fresh(sim_factory, generation)
        assert ubxconfig(sim.link, "model", "airborne2g").returncode == 0
        port = Port(sim.link)
        if generation in BY_KEY:
            assert ubxconfig(sim.link, "get", "CFG-NAVSPG-DYNMODEL").stdout.endswith("=7\n")
        else:
            assert port.command(frame(6, 0x24), {(6, 0x24)})[3][2] == 7  # CFG-NAV5 dynModel
        assert ubxconfig(sim.link, "enable-pvt").returncode == 0
        for mode, psm_state in (("save", 1), ("full", 0)):
            assert ubxconfig(sim.link, "power", mode).returncode == 0
            port.buf = b""
            frames = port.read_until(lambda items: len(pvt_frames(items)) >= 2 and pvt_frames(
                items), 4, "NAV-PVT after power %s" % mode)
            assert (frames[-1][3][21] >> 2) & 7 == psm_state

    def test_baud(self, sim_factory, generation):
        sim = fresh(sim_factory, generation, "--uart", "9600")
        r = ubxconfig(sim.link, "--baud", "9600", "baud", "115200")
        assert r.returncode == 0 and "UART1 at 115200 baud" in r.stdout, r.stderr
        assert ubxconfig(sim.link, "--baud", "115200", "enable-pvt").returncode == 0
        with serial.Serial(sim.link, 115200, timeout=0.05) as ser:
            pvts_on(ser, 2)
        r = ubxconfig(sim.link, "--timeout", "0.5", "--retries", "0", "version")
        assert r.returncode == 2 and "--baud 9600 right?" in r.stderr


@pytest.mark.parametrize("generation,interface,text", [
    (9, "auto", "UART1 (the receiver's CFG-PRT answer)"), (10, "uart1", "UART1 (as given)")])
def test_setup_on_uart1(sim_factory, generation, interface, text):
    sim = fresh(sim_factory, generation, "--uart", "38400")
    r = ubxconfig(sim.link, "--baud", "38400", "--interface", interface, "setup", "2")
    assert r.returncode == 0 and "interface: " + text in r.stdout, r.stderr
    with serial.Serial(sim.link, 38400, timeout=0.05) as ser:
        assert period(intervals(pvts_on(ser, 3))) == 500


def test_no_flash_saves_to_battery_backed_ram(sim_factory, zq):
    sim = fresh(sim_factory, 10, "--no-flash")
    r = ubxconfig(sim.link, "setup", "5")
    assert r.returncode == 0 and "CFG-VALSET BBR CFG-MSGOUT" in r.stdout, r.stderr
    r = ubxconfig(sim.link, "set", "--layers", "flash", "CFG-RATE-MEAS=1")
    assert r.returncode == 1 and "no flash (try --layers ram,bbr)" in r.stderr
    replug(sim)
    assert period(driver_intervals(zq, sim.link, 3)) == 200


def test_help_describes_every_command_and_the_port_variable():
    r = ubxconfig("/dev/null", "--help")
    for word in ("version", "setup", "get", "set", "baud", "model", "power", "enable-pvt",
                 "disable-pvt", "msg", "nmea", "rate", "save", "ZQ_PORT", "--interface",
                 "exit status"):
        assert word in r.stdout, word
