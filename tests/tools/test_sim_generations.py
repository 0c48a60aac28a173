"""The simulated receiver as each u-blox generation: what it says it is, which configuration
interface it answers, its configuration layers, and a receiver on a UART."""
import struct

import pytest

from zqsim_harness import (Port, frame, key_values, mon_ver_strings, pvt_fields, split_stream,
                           valdel, valget, valset, wait_until)
from zqsim_harness import sim_factory  # noqa: F401  (fixture)

ACKS = {(5, 0), (5, 1)}
RATE_MEAS, RATE_NAV = 0x30210001, 0x30210002
PVT_USB, PVT_UART1 = 0x20910009, 0x20910007
GGA_USB = 0x209100BD
DYNMODEL, OPERATEMODE = 0x20110021, 0x20D00001
UART1_BAUD = 0x40520001
RAM, BBR, FLASH = 1, 2, 4            # VALSET / VALDEL layer bits
L_RAM, L_BBR, L_FLASH, L_DEFAULT = 0, 1, 2, 7   # VALGET layer index


def exchange(port, raw, timeout=2.0):
    """Sends RAW and returns the valid UBX frames up to its ACK or NAK, as (cls, id, payload)."""
    port.buf = b""
    port.ser.write(raw)
    cls_id = raw[2:4]

    def acked(items):
        frames = [(it[1], it[2], it[3]) for it in items if it[0] == "ubx" and it[4]]
        for i, (c, m, p) in enumerate(frames):
            if (c, m) in ACKS and p == cls_id:
                return frames[:i + 1]
        return None
    return port.read_until(acked, timeout, "the answer to %s" % raw[2:4].hex())


def verdict(port, raw):
    return "ACK" if exchange(port, raw)[-1][1] == 1 else "NAK"


def read_keys(port, layer, keys, position=0):
    """VALGET: the answer's (key, value) pairs; the ACK-ACK must follow the answer."""
    frames = exchange(port, valget(layer, keys, position))
    assert frames[-1][:2] == (5, 1), "VALGET not acknowledged"
    answer = [f for f in frames if f[:2] == (6, 0x8B)]
    assert len(answer) == 1, "no VALGET answer before the ACK"
    version, got_layer, got_position, pairs = key_values(answer[0][2])
    assert (version, got_layer, got_position) == (1, layer, position)
    return pairs


def pvts(items):
    return [it for it in items if it[0] == "ubx" and (it[1], it[2]) == (1, 7) and it[4]]


def nmea(items):
    return [it for it in items if it[0] == "nmea" and it[2]]


def replug(sim, port, count):
    port.close()
    sim.send("unplug 0.1")
    wait_until(lambda: sim.log().count("replugged:") >= count, 3, "replug %d" % count)
    return Port(sim.link)


# What each generation says in MON-VER, and the NAV-PVT length it sends.
IDENTITY = {
    6: ("7.03 (45969)", "00040007", "PROTVER 14.00", 84),
    7: ("1.00 (59842)", "00070000", "PROTVER 14.00", 84),
    8: ("ROM CORE 3.01 (107888)", "00080000", "PROTVER=18.00", 92),
    9: ("EXT CORE 1.00 (94e56e)", "00190000", "PROTVER=27.10", 92),
    10: ("ROM SPG 5.10 (7b202e)", "000A0000", "PROTVER=34.10", 92),
}


@pytest.mark.parametrize("gen", sorted(IDENTITY))
def test_generation_identity_factory_state_and_nav_pvt_length(sim_factory, gen):
    sw, hw, protver, length = IDENTITY[gen]
    sim = sim_factory("--generation", str(gen), "--rate", "25")
    port = Port(sim.link)
    ver = mon_ver_strings(port.command(frame(0x0A, 0x04), {(0x0A, 0x04)})[3])
    assert ver[:2] == (sw, hw) and protver in ver[2]
    # Out of the factory: NMEA, no NAV-PVT.
    items = port.read_until(lambda items: len(nmea(items)) >= 12 and items, 2, "NMEA epochs")
    assert not pvts(items), "a factory receiver sent NAV-PVT"
    # Switched on the way the generation is configured.
    on = frame(6, 1, bytes((1, 7, 1))) if gen < 9 else valset(RAM, [(PVT_USB, 1)])
    assert verdict(port, on) == "ACK"
    port.buf = b""
    frames = port.read_until(lambda items: len(pvts(items)) >= 3 and pvts(items), 2, "NAV-PVT")
    assert {len(f[3]) for f in frames} == {length}


# Which interface each generation answers: legacy messages (set forms that are valid
# everywhere) and the key messages.
LEGACY = {
    "CFG-MSG": frame(6, 0x01, bytes((1, 7, 1))),
    "CFG-RATE": frame(6, 0x08, struct.pack("<HHH", 200, 1, 1)),
    "CFG-RXM": frame(6, 0x11, bytes((8, 0))),
    "CFG-NAV5": frame(6, 0x24, struct.pack("<HBB", 1, 4, 3) + bytes(32)),
    "CFG-PRT": frame(6, 0x00, struct.pack("<BBHIIHHHH", 3, 0, 0, 0, 0, 3, 3, 0, 0)),
}
KEYED = {
    "CFG-VALSET": valset(RAM, [(RATE_MEAS, 200)]),
    "CFG-VALGET": valget(L_RAM, [RATE_MEAS]),
    "CFG-VALDEL": valdel(BBR, [RATE_MEAS]),
}
SAVE = frame(6, 0x09, struct.pack("<IIIB", 0, 0x1F1F, 0, 0x17))


@pytest.mark.parametrize("gen,legacy,keyed", [
    (6, "ACK", "NAK"), (7, "ACK", "NAK"), (8, "ACK", "NAK"), (9, "ACK", "ACK"),
    (10, "NAK", "ACK")])
def test_configuration_interface_per_generation(sim_factory, gen, legacy, keyed):
    sim = sim_factory("--generation", str(gen), "--no-nmea")
    port = Port(sim.link)
    got = {name: verdict(port, raw) for name, raw in {**LEGACY, **KEYED}.items()}
    assert got == {**{n: legacy for n in LEGACY}, **{n: keyed for n in KEYED}}
    assert verdict(port, SAVE) == "ACK", "CFG-CFG refused"
    # CFG-RST is never answered: the MON-VER poll sent after it is answered first.
    port.buf = b""
    port.ser.write(frame(6, 0x04, struct.pack("<HBB", 0, 2, 0)) + frame(0x0A, 0x04))
    items = port.read_until(lambda items: any(it[0] == "ubx" and it[1:3] == (0x0A, 4)
                                              for it in items) and items, 2, "MON-VER")
    assert not [it for it in items if it[0] == "ubx" and (it[1], it[2]) in ACKS]
    # Every frame the receiver hears is logged by name, so a host's traffic can be checked.
    assert "heard CFG-RST (06 04) len 4" in sim.log()
    assert "heard CFG-VALSET (06 8A) len 10" in sim.log()


class TestLayers:
    def test_valset_writes_only_the_layers_named(self, sim_factory):
        sim = sim_factory("--generation", "9", "--rate", "5", "--no-nmea")
        port = Port(sim.link)
        assert verdict(port, valset(RAM, [(RATE_MEAS, 100)])) == "ACK"
        assert verdict(port, valset(BBR | FLASH, [(DYNMODEL, 4)])) == "ACK"
        assert read_keys(port, L_RAM, [RATE_MEAS, DYNMODEL]) == [(RATE_MEAS, 100), (DYNMODEL, 0)]
        assert read_keys(port, L_BBR, [RATE_MEAS, DYNMODEL]) == [(DYNMODEL, 4)]
        assert read_keys(port, L_FLASH, [DYNMODEL]) == [(DYNMODEL, 4)]
        # The defaults are the firmware's, with the run's --rate.
        assert read_keys(port, L_DEFAULT, [RATE_MEAS, DYNMODEL]) == [(RATE_MEAS, 200),
                                                                     (DYNMODEL, 0)]
        # position skips results.
        assert read_keys(port, L_RAM, [RATE_MEAS, RATE_NAV, DYNMODEL], position=1) == [
            (RATE_NAV, 1), (DYNMODEL, 0)]

    def test_legacy_messages_and_keys_are_one_configuration(self, sim_factory):
        sim = sim_factory("--generation", "9", "--rate", "25", "--no-nmea")
        port = Port(sim.link)
        assert verdict(port, frame(6, 0x08, struct.pack("<HHH", 50, 2, 1))) == "ACK"
        assert verdict(port, frame(6, 0x11, bytes((8, 1)))) == "ACK"
        assert verdict(port, LEGACY["CFG-NAV5"]) == "ACK"
        assert read_keys(port, L_RAM, [RATE_MEAS, RATE_NAV, OPERATEMODE, DYNMODEL]) == [
            (RATE_MEAS, 50), (RATE_NAV, 2), (OPERATEMODE, 1), (DYNMODEL, 4)]
        assert verdict(port, valset(RAM, [(DYNMODEL, 6), (RATE_NAV, 1)])) == "ACK"
        nav5 = port.command(frame(6, 0x24), {(6, 0x24)})[3]
        assert len(nav5) == 36 and nav5[2] == 6
        rate = port.command(frame(6, 0x08), {(6, 0x08)})[3]
        assert struct.unpack("<HHH", rate) == (50, 1, 1)
        # And what the receiver sends follows the keys: NAV-PVT switched on by key, every
        # 50 ms, with psmState showing the power save mode set by CFG-RXM.
        assert verdict(port, valset(RAM, [(PVT_USB, 1)])) == "ACK"
        port.buf = b""
        frames = port.read_until(lambda items: len(pvts(items)) >= 5 and pvts(items), 2, "PVT")
        itows = [pvt_fields(f[3])["iTOW"] for f in frames]
        assert [b - a for a, b in zip(itows, itows[1:])][-3:] == [50] * 3
        assert all((f[3][21] >> 2) & 7 == 1 for f in frames)

    @pytest.mark.parametrize("raw", [
        pytest.param(valset(RAM, [(0x20910FFF, 1)]), id="set-unknown-key"),
        pytest.param(valset(RAM, [(RATE_MEAS, 10)]), id="set-rate-too-fast"),
        pytest.param(valset(RAM, [(DYNMODEL, 1)]), id="set-undefined-model"),
        pytest.param(valset(0, [(RATE_MEAS, 100)]), id="set-no-layer"),
        pytest.param(frame(6, 0x8A, bytes((0, RAM, 0, 0)) + struct.pack("<IB", RATE_MEAS, 100)),
                     id="set-value-cut-short"),
        pytest.param(valset(RAM, [(RATE_NAV, 1)] * 65), id="set-65-keys"),
        pytest.param(valget(3, [RATE_MEAS]), id="get-bad-layer"),
        pytest.param(valget(L_RAM, [0x30219999]), id="get-unknown-key"),
        pytest.param(valget(L_RAM, [RATE_MEAS] * 65), id="get-65-keys"),
        pytest.param(valdel(RAM, [RATE_MEAS]), id="del-from-ram"),
    ])
    def test_refused_key_messages_get_nak_and_change_nothing(self, sim_factory, raw):
        sim = sim_factory("--generation", "10", "--no-nmea")
        port = Port(sim.link)
        frames = exchange(port, raw)
        assert frames[-1][:2] == (5, 0) and frames[-1][2] == raw[2:4]
        assert not [f for f in frames if f[:2] == (6, 0x8B)], "a refused VALGET was answered"
        assert read_keys(port, L_RAM, [RATE_MEAS, RATE_NAV, DYNMODEL]) == [
            (RATE_MEAS, 1000), (RATE_NAV, 1), (DYNMODEL, 0)]

    def test_saved_layers_survive_a_power_cycle_and_ram_does_not(self, sim_factory):
        sim = sim_factory("--generation", "10", "--rate", "25")
        port = Port(sim.link)
        assert verdict(port, valset(RAM, [(RATE_MEAS, 100), (GGA_USB, 0)])) == "ACK"
        assert verdict(port, valset(BBR, [(PVT_USB, 1)])) == "ACK"
        assert verdict(port, valset(FLASH, [(DYNMODEL, 5), (PVT_USB, 2)])) == "ACK"
        port = replug(sim, port, 1)
        # RAM rebuilt: defaults, then flash, then battery-backed RAM on top.
        assert read_keys(port, L_RAM, [RATE_MEAS, GGA_USB, DYNMODEL, PVT_USB]) == [
            (RATE_MEAS, 40), (GGA_USB, 1), (DYNMODEL, 5), (PVT_USB, 1)]
        port.read_until(lambda items: len(pvts(items)) >= 2, 2, "NAV-PVT from the BBR layer")
        # Deleting from BBR leaves flash's value for the next power cycle.
        assert verdict(port, valdel(BBR, [PVT_USB])) == "ACK"
        assert read_keys(port, L_BBR, [PVT_USB]) == []
        port = replug(sim, port, 2)
        assert read_keys(port, L_RAM, [PVT_USB]) == [(PVT_USB, 2)]

    def test_cfg_cfg_saves_what_valset_put_in_ram(self, sim_factory):
        sim = sim_factory("--generation", "9", "--no-nmea")
        port = Port(sim.link)
        assert verdict(port, valset(RAM, [(PVT_USB, 1), (RATE_MEAS, 500)])) == "ACK"
        assert verdict(port, frame(6, 0x09, struct.pack("<IIIB", 0, 0xFFFF, 0, 0x01))) == "ACK"
        assert read_keys(port, L_BBR, [PVT_USB, RATE_MEAS]) == [(PVT_USB, 1), (RATE_MEAS, 500)]
        assert read_keys(port, L_FLASH, [PVT_USB]) == [], "saved to a memory not named"
        port = replug(sim, port, 1)
        assert read_keys(port, L_RAM, [PVT_USB, RATE_MEAS]) == [(PVT_USB, 1), (RATE_MEAS, 500)]
        # Clear empties the saved layer; the next power cycle is the factory state again.
        assert verdict(port, frame(6, 0x09, struct.pack("<IIIB", 0xFFFF, 0, 0, 0x01))) == "ACK"
        port = replug(sim, port, 2)
        assert read_keys(port, L_RAM, [PVT_USB, RATE_MEAS]) == [(PVT_USB, 0), (RATE_MEAS, 1000)]

    def test_transaction_applies_at_its_end(self, sim_factory):
        sim = sim_factory("--generation", "10", "--no-nmea")
        port = Port(sim.link)
        assert verdict(port, valset(RAM, [(RATE_MEAS, 100)], version=1, transaction=1)) == "ACK"
        assert verdict(port, valset(RAM, [(RATE_NAV, 3)], version=1, transaction=2)) == "ACK"
        assert read_keys(port, L_RAM, [RATE_MEAS, RATE_NAV]) == [(RATE_MEAS, 1000), (RATE_NAV, 1)]
        assert verdict(port, valset(RAM, [(DYNMODEL, 2)], version=1, transaction=3)) == "ACK"
        assert read_keys(port, L_RAM, [RATE_MEAS, RATE_NAV, DYNMODEL]) == [
            (RATE_MEAS, 100), (RATE_NAV, 3), (DYNMODEL, 2)]
        # A refused step drops the whole transaction.
        assert verdict(port, valset(RAM, [(RATE_NAV, 2)], version=1, transaction=1)) == "ACK"
        assert verdict(port, valset(RAM, [(DYNMODEL, 1)], version=1, transaction=3)) == "NAK"
        assert verdict(port, valset(RAM, [(RATE_NAV, 4)], version=1, transaction=3)) == "NAK"
        assert read_keys(port, L_RAM, [RATE_NAV]) == [(RATE_NAV, 3)]


class TestNoFlash:
    def test_flash_layer_refused_battery_backed_ram_works(self, sim_factory):
        sim = sim_factory("--generation", "9", "--no-flash", "--no-nmea")
        port = Port(sim.link)
        assert verdict(port, valset(RAM | BBR | FLASH, [(PVT_USB, 1)])) == "NAK"
        assert verdict(port, valdel(FLASH, [PVT_USB])) == "NAK"
        assert verdict(port, valget(L_FLASH, [PVT_USB])) == "NAK"
        assert read_keys(port, L_RAM, [PVT_USB]) == [(PVT_USB, 0)]
        assert verdict(port, valset(RAM, [(RATE_MEAS, 250)])) == "ACK"
        flash_only = frame(6, 0x09, struct.pack("<IIIB", 0, 0x1F1F, 0, 0x02))
        assert verdict(port, flash_only) == "NAK"
        assert verdict(port, SAVE) == "ACK"   # BBR among the devices: saved there
        assert verdict(port, valset(BBR, [(PVT_USB, 1)])) == "ACK"
        port = replug(sim, port, 1)
        assert read_keys(port, L_RAM, [RATE_MEAS, PVT_USB]) == [(RATE_MEAS, 250), (PVT_USB, 1)]

    def test_legacy_save_to_flash_alone_is_refused(self, sim_factory):
        sim = sim_factory("--generation", "8", "--no-flash", "--rate", "25")
        port = Port(sim.link)
        assert verdict(port, frame(6, 1, bytes((1, 7, 1)))) == "ACK"
        assert verdict(port, frame(6, 0x09, struct.pack("<IIIB", 0, 0x1F1F, 0, 0x02))) == "NAK"
        port = replug(sim, port, 1)
        items = port.read_until(lambda items: len(nmea(items)) >= 12 and items, 2, "NMEA")
        assert not pvts(items), "a refused save kept NAV-PVT over a power cycle"


def test_software_reset_reloads_saved_layers_gnss_restart_keeps_ram(sim_factory):
    sim = sim_factory("--generation", "10", "--no-nmea")
    port = Port(sim.link)
    assert verdict(port, valset(RAM, [(RATE_MEAS, 100)])) == "ACK"
    assert verdict(port, valset(BBR, [(DYNMODEL, 3)])) == "ACK"
    cold_gnss_only = frame(6, 0x04, struct.pack("<HBB", 0xFFFF, 2, 0))
    port.ser.write(cold_gnss_only)
    assert read_keys(port, L_RAM, [RATE_MEAS, DYNMODEL]) == [(RATE_MEAS, 100), (DYNMODEL, 0)]
    software = frame(6, 0x04, struct.pack("<HBB", 0, 1, 0))
    port.ser.write(software)
    assert read_keys(port, L_RAM, [RATE_MEAS, DYNMODEL]) == [(RATE_MEAS, 1000), (DYNMODEL, 3)]


class TestUart:
    def test_host_at_another_speed_sees_garbage_and_is_not_heard(self, sim_factory):
        sim = sim_factory("--generation", "8", "--uart", "38400", "--rate", "5")
        port = Port(sim.link, 9600)
        data = port.read_for(0.6)
        assert len(data) > 0, "a UART at the wrong speed still carries something"
        assert not split_stream(data), "frames or sentences readable at the wrong speed"
        port.ser.write(frame(0x0A, 0x04))
        wait_until(lambda: "bytes sent at 9600 baud: UART1 is at 38400" in sim.log(), 2,
                   "the poll to be discarded")
        port.set_baud(38400)
        port.buf = b""
        port.read_until(lambda items: len(nmea(items)) >= 3, 2, "NMEA at the right speed")
        assert "heard MON-VER" not in sim.log(), "a poll sent at the wrong speed was heard"
        ver = port.command(frame(0x0A, 0x04), {(0x0A, 0x04)})[3]
        assert mon_ver_strings(ver)[1] == "00080000"

    def test_cfg_prt_switches_the_speed_after_its_ack_and_only_saving_keeps_it(
            self, sim_factory):
        sim = sim_factory("--generation", "8", "--uart", "9600", "--rate", "2")
        port = Port(sim.link, 9600)
        uart1 = struct.pack("<BBHIIHHHH", 1, 0, 0, 0x8C0, 115200, 3, 3, 0, 0)
        assert verdict(port, frame(6, 0x00, uart1)) == "ACK"   # heard and answered at 9600
        port.buf = b""
        assert not split_stream(port.read_for(0.6)), "still readable at 9600 after the switch"
        port.set_baud(115200)
        prt = port.command(frame(6, 0x00, bytes((1,))), {(6, 0x00)})[3]
        assert struct.unpack_from("<BxxxII", prt) == (1, 0x8C0, 115200)
        # The CFG-PRT answer was read at 115200; NAV-PVT is keyed to the UART1 port.
        assert verdict(port, frame(6, 1, bytes((1, 7, 1)))) == "ACK"
        port.read_until(lambda items: len(pvts(items)) >= 1, 2, "NAV-PVT on UART1")
        port = replug(sim, port, 1)
        port.set_baud(9600)
        port.read_until(lambda items: len(nmea(items)) >= 3, 2, "9600 again after power cycle")
        assert verdict(port, frame(6, 0x00, uart1)) == "ACK"
        port.set_baud(115200)
        assert verdict(port, SAVE) == "ACK"
        port = replug(sim, port, 2)
        port.set_baud(115200)
        port.read_until(lambda items: len(nmea(items)) >= 3, 2, "saved 115200 after power cycle")

    def test_baud_key_switches_the_speed(self, sim_factory):
        sim = sim_factory("--generation", "10", "--uart", "38400")
        port = Port(sim.link, 38400)
        assert verdict(port, valset(RAM, [(UART1_BAUD, 115200)])) == "ACK"
        port.set_baud(115200)
        assert read_keys(port, L_RAM, [UART1_BAUD]) == [(UART1_BAUD, 115200)]
        assert verdict(port, valset(RAM, [(UART1_BAUD, 12345)])) == "NAK"
        assert verdict(port, valset(RAM, [(PVT_UART1, 1)])) == "ACK"
        port.read_until(lambda items: len(pvts(items)) >= 1, 2, "NAV-PVT on UART1")
        wait_until(lambda: "UART1 now at 115200 baud" in sim.log(), 2, "the switch in the log")

    @pytest.mark.parametrize("baud,drops", [(9600, True), (115200, False)])
    def test_ten_hertz_with_nmea_does_not_fit_in_9600_baud(self, sim_factory, baud, drops):
        sim = sim_factory("--uart", str(baud), "--rate", "10")
        port = Port(sim.link, baud)
        # The host reads all along, so only the line's speed can hold the bytes back.
        port.read_until(lambda items: len(sim.truth()) >= 25, 5, "25 epochs")
        truth = sim.truth()
        overflowed = [t for t in truth if not t["sent"] and t["reason"] == "overflow"]
        assert bool(overflowed) == drops, [t["reason"] for t in truth]


class TestPorts:
    USB_OUT_NMEA, USB_IN_UBX = 0x10780002, 0x10770001

    def test_protocol_switches_gate_what_the_port_sends_and_hears(self, sim_factory):
        sim = sim_factory("--generation", "9", "--rate", "25")
        port = Port(sim.link)
        assert verdict(port, valset(RAM, [(self.USB_OUT_NMEA, 0), (PVT_USB, 1)])) == "ACK"
        port.buf = b""
        items = port.read_until(lambda items: len(pvts(items)) >= 6 and items, 2, "NAV-PVT")
        assert not nmea(items), "NMEA still sent with USBOUTPROT-NMEA off"
        prt = port.command(frame(6, 0x00), {(6, 0x00)})[3]
        assert prt[0] == 3 and struct.unpack_from("<HH", prt, 12) == (0x23, 0x01)
        # CFG-PRT for USB turns it back on, through the same keys.
        usb = struct.pack("<BBHIIHHHH", 3, 0, 0, 0, 0, 0x03, 0x03, 0, 0)
        assert verdict(port, frame(6, 0x00, usb)) == "ACK"
        assert read_keys(port, L_RAM, [self.USB_OUT_NMEA]) == [(self.USB_OUT_NMEA, 1)]
        port.buf = b""
        port.read_until(lambda items: len(nmea(items)) >= 6, 2, "NMEA again")
        # UBX input off: the receiver stops listening until a power cycle.
        assert verdict(port, valset(RAM, [(self.USB_IN_UBX, 0)])) == "ACK"
        port.buf = b""
        port.ser.write(frame(0x0A, 0x04))
        wait_until(lambda: "ignored, UBX input is off" in sim.log(), 2, "the poll ignored")
        assert not [it for it in split_stream(port.buf) if it[0] == "ubx" and it[1] == 0x0A]
        port = replug(sim, port, 1)
        assert port.command(frame(0x0A, 0x04), {(0x0A, 0x04)}) is not None

    def test_cfg_msg_eight_byte_form_sets_every_port(self, sim_factory):
        sim = sim_factory("--generation", "9", "--no-nmea")
        port = Port(sim.link)
        rates = bytes((1, 7, 4, 3, 0, 2, 5, 0))  # DDC, UART1, UART2, USB, SPI, reserved
        assert verdict(port, frame(6, 1, rates)) == "ACK"
        assert read_keys(port, L_RAM, [PVT_UART1 - 1, PVT_UART1, PVT_UART1 + 1, PVT_USB,
                                       PVT_USB + 1]) == [
            (PVT_UART1 - 1, 4), (PVT_UART1, 3), (PVT_UART1 + 1, 0), (PVT_USB, 2),
            (PVT_USB + 1, 5)]
        poll = port.command(frame(6, 1, bytes((1, 7))), {(6, 1)})[3]
        assert poll == bytes((1, 7, 2)), "the poll answers the rate of the port it came on"


def test_gnss_stop_silences_the_epochs_until_start(sim_factory):
    sim = sim_factory("--generation", "10", "--rate", "25")
    port = Port(sim.link)
    port.ser.write(frame(6, 0x04, struct.pack("<HBB", 0, 8, 0)))
    port.command(frame(0x0A, 0x04), {(0x0A, 0x04)})  # the stop has been handled
    before = len(sim.truth())
    port.buf = b""
    assert not nmea(split_stream(port.read_for(0.3))), "NMEA while the GNSS is stopped"
    assert len(sim.truth()) == before
    port.ser.write(frame(6, 0x04, struct.pack("<HBB", 0, 9, 0)))
    port.read_until(lambda items: len(nmea(items)) >= 6, 2, "NMEA after the GNSS start")
