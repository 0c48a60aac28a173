"""The simulated receiver answers what the host sends, like a u-blox receiver does."""
import os
import signal
import struct

import pytest
import serial

from zqsim_harness import Port, frame, pvt_fields, split_stream, wait_until
from zqsim_harness import sim_factory  # noqa: F401  (fixture)

ACKS = {(5, 0), (5, 1)}


def pvt_count(items):
    return sum(1 for it in items if it[0] == "ubx" and (it[1], it[2]) == (1, 7) and it[4])


def ack_of(port, raw):
    ans = port.command(raw, ACKS)
    return "ACK" if ans[2] == 1 else "NAK", ans[3]


class TestConfiguration:
    def test_cfg_msg_switches_nav_pvt_off_and_on(self, sim_factory):
        sim = sim_factory("--rate", "25")
        port = Port(sim.link)
        assert ack_of(port, frame(6, 1, bytes((1, 7, 0)))) == ("ACK", bytes((6, 1)))
        port.buf = b""
        items = port.read_until(lambda items: sum(1 for it in items if it[0] == "nmea"
                                                  and it[1][3:6] == b"RMC") >= 5 and items,
                                2, "five epochs")
        assert pvt_count(items) == 0, "NAV-PVT still sent after CFG-MSG rate 0"
        # The eight-byte form: the USB port is the fourth rate.
        assert ack_of(port, frame(6, 1, bytes((1, 7, 0, 0, 0, 1, 0, 0))))[0] == "ACK"
        port.buf = b""
        port.read_until(lambda items: pvt_count(items) >= 3, 2, "NAV-PVT again")

    def test_fresh_receiver_sends_nmea_only_until_enabled(self, sim_factory):
        sim = sim_factory("--rate", "25", "--fresh")
        port = Port(sim.link)
        items = split_stream(port.read_for(0.3))
        assert any(it[0] == "nmea" for it in items) and pvt_count(items) == 0
        assert ack_of(port, frame(6, 1, bytes((1, 7, 1))))[0] == "ACK"
        port.read_until(lambda items: pvt_count(items) >= 2, 2, "NAV-PVT after enabling")

    def test_cfg_rate_changes_the_epoch_interval(self, sim_factory):
        sim = sim_factory("--rate", "5")
        port = Port(sim.link)
        assert ack_of(port, frame(6, 8, struct.pack("<HHH", 50, 1, 1)))[0] == "ACK"
        port.buf = b""
        items = port.read_until(lambda items: pvt_count(items) >= 6 and items, 3, "20 Hz epochs")
        itows = [pvt_fields(it[3])["iTOW"] for it in items if it[0] == "ubx" and it[2] == 7]
        assert [b - a for a, b in zip(itows, itows[1:])][-4:] == [50] * 4

    @pytest.mark.parametrize("payload", [
        pytest.param((6, 8, struct.pack("<HHH", 10, 1, 1)), id="rate-too-fast"),
        pytest.param((6, 1, bytes((1, 0x99, 1))), id="unknown-message"),
        pytest.param((6, 0x11, bytes((8, 7))), id="bad-lpmode"),
        pytest.param((6, 0x42, b""), id="unknown-cfg"),
    ])
    def test_rejected_commands_get_nak(self, sim_factory, payload):
        sim = sim_factory("--rate", "25")
        port = Port(sim.link)
        cls, mid, body = payload
        assert ack_of(port, frame(cls, mid, body)) == ("NAK", bytes((cls, mid)))

    def test_power_mode_command_is_acknowledged_and_reported(self, sim_factory):
        sim = sim_factory("--rate", "25")
        port = Port(sim.link)
        assert ack_of(port, bytes.fromhex("b5620611020008002191"))[0] == "ACK"
        assert ack_of(port, frame(6, 0x11, bytes((8, 1))))[0] == "ACK"
        port.buf = b""
        items = port.read_until(lambda items: pvt_count(items) >= 1 and items, 2, "NAV-PVT")
        pvt = next(it for it in items if it[0] == "ubx" and it[2] == 7 and it[4])
        assert (pvt[3][21] >> 2) & 7 == 1, "psmState does not show power save"

    def test_mon_ver_poll(self, sim_factory):
        sim = sim_factory("--rate", "1")
        port = Port(sim.link)
        ans = port.command(frame(0x0A, 0x04), {(0x0A, 0x04)})
        payload = ans[3]
        assert (len(payload) - 40) % 30 == 0 and len(payload) > 40
        assert payload[:30].rstrip(b"\0") == b"ROM CORE 3.01 (107888)"
        assert b"PROTVER=18.00" in payload[40:]

    def test_unsaved_configuration_is_lost_on_replug(self, sim_factory):
        sim = sim_factory("--rate", "25", "--fresh")
        port = Port(sim.link)
        assert ack_of(port, frame(6, 1, bytes((1, 7, 1))))[0] == "ACK"
        sim.send("unplug 0.2")
        wait_until(lambda: sim.log().count("replugged:") >= 1, 3, "replug")
        port.close()
        port = Port(sim.link)
        items = split_stream(port.read_for(0.3))
        assert pvt_count(items) == 0, "NAV-PVT survived a power cycle without CFG-CFG"
        assert ack_of(port, frame(6, 1, bytes((1, 7, 1))))[0] == "ACK"
        assert ack_of(port, frame(6, 9, struct.pack("<IIIB", 0, 0x1F1F, 0, 0x17)))[0] == "ACK"
        sim.send("unplug 0.2")
        wait_until(lambda: sim.log().count("replugged:") >= 2, 3, "second replug")
        port.close()
        port = Port(sim.link)
        port.read_until(lambda items: pvt_count(items) >= 2, 2, "saved NAV-PVT after replug")


class TestHotplug:
    def test_unplug_removes_link_and_fails_reads_then_replug_repoints(self, sim_factory):
        sim = sim_factory("--rate", "25")
        first = os.readlink(sim.link)
        port = Port(sim.link)
        port.read_until(lambda items: pvt_count(items) >= 1, 2, "frames before unplug")
        sim.send("unplug")
        wait_until(lambda: not os.path.lexists(sim.link), 2, "the link to disappear")
        with pytest.raises(serial.SerialException):
            for _ in range(100):  # data still buffered may come first
                port.ser.read(4096)
        port.close()
        sim.send("replug")
        target = wait_until(lambda: os.path.islink(sim.link) and os.readlink(sim.link), 2,
                            "the link to come back")
        assert target.startswith("/dev/pts/")
        port = Port(sim.link)
        port.read_until(lambda items: pvt_count(items) >= 2, 2, "frames after replug")
        assert "replugged: %s -> %s" % (sim.link, target) in sim.log()
        assert first.startswith("/dev/pts/")

    def test_sigusr1_toggles_the_device(self, sim_factory):
        sim = sim_factory("--rate", "25")
        sim.proc.send_signal(signal.SIGUSR1)
        wait_until(lambda: not os.path.lexists(sim.link), 2, "unplug on SIGUSR1")
        assert any(not t["sent"] and t["reason"] == "unplugged"
                   for t in wait_until(lambda: [t for t in sim.truth() if not t["sent"]], 2,
                                       "an epoch while unplugged"))
        sim.proc.send_signal(signal.SIGUSR1)
        wait_until(lambda: os.path.islink(sim.link), 2, "replug on SIGUSR1")


class TestControlLines:
    @pytest.mark.parametrize("line", ["noise 1e9", "noise nan", "badck 1e30", "stall -5",
                                      "unplug 1e300", "noise -1"])
    def test_out_of_range_arguments_are_refused_and_the_simulator_goes_on(self, sim_factory,
                                                                           line):
        sim = sim_factory("--rate", "25")
        sim.send(line)
        wait_until(lambda: line in sim.log(), 5, "the simulator's word on the line")
        assert "out of range" in sim.log()
        assert sim.target() is not None  # not unplugged
        seen = len(sim.sent_pvts())
        wait_until(lambda: len(sim.sent_pvts()) > seen + 3, 5, "epochs after the line")
        sim.send("quit")
        sim.proc.wait(5)
        assert sim.proc.returncode == 0
