"""What the simulated receiver answers to polls and multi-part commands, read at the offsets
of the protocol notes: each port's CFG-PRT layout, the CFG-NAV5 answer, the key messages'
headers, and what the log says about a key list."""
import struct

import pytest

from zqsim_harness import Port, frame, valget, valset, wait_until
from zqsim_harness import sim_factory  # noqa: F401  (fixture)

ACK, NAK = (5, 1), (5, 0)
PRT = "<BBHIIHHHH"  # portID, reserved, txReady, mode, baudRate, in, out, flags, reserved
MODE_8N1 = 0x8C0
UBX_NMEA, UBX_NMEA_RTCM3 = 0x03, 0x23
RATE_MEAS, RATE_NAV, DYNMODEL = 0x30210001, 0x30210002, 0x20110021


def answer_and_verdict(port, raw):
    """The answer frame (cls, id) = raw's, or None, and the (cls, id) of the ACK or NAK."""
    def done(items):
        frames = [it for it in items if it[0] == "ubx" and it[4]]
        for i, it in enumerate(frames):
            if (it[1], it[2]) in (ACK, NAK) and it[3] == raw[2:4]:
                answers = [f[3] for f in frames[:i] if (f[1], f[2]) == (raw[2], raw[3])]
                return (answers[-1] if answers else None), (it[1], it[2])
        return None
    port.buf = b""
    port.ser.write(raw)
    return port.read_until(done, 2, "the verdict on %s" % raw[2:4].hex())


def prt_block(port_id, baud=0, in_mask=UBX_NMEA, out_mask=UBX_NMEA):
    mode = MODE_8N1 if port_id in (1, 2) else 0
    return struct.pack(PRT, port_id, 0, 0, mode, baud, in_mask, out_mask, 0, 0)


def poll_prt(port, port_id):
    payload, verdict = answer_and_verdict(port, frame(6, 0x00, bytes((port_id,))))
    assert verdict == ACK and len(payload) == 20
    return struct.unpack(PRT, payload)


class TestPortAnswers:
    # What each port's answer holds out of the factory: only the UARTs have a line mode and a
    # speed; USB and UART1 report their protocol keys, the others the factory protocols.
    FACTORY = {
        0: (0, 0, UBX_NMEA, UBX_NMEA),
        1: (MODE_8N1, 9600, UBX_NMEA_RTCM3, UBX_NMEA),
        2: (MODE_8N1, 9600, UBX_NMEA, UBX_NMEA),
        3: (0, 0, UBX_NMEA_RTCM3, UBX_NMEA),
        4: (0, 0, UBX_NMEA, UBX_NMEA),
    }

    def test_each_port_answers_in_its_own_layout_and_unknown_ports_are_refused(
            self, sim_factory):
        sim = sim_factory("--generation", "8", "--no-nmea")
        port = Port(sim.link)
        for port_id, (mode, baud, in_mask, out_mask) in self.FACTORY.items():
            assert poll_prt(port, port_id) == (port_id, 0, 0, mode, baud, in_mask, out_mask,
                                               0, 0), "port %d" % port_id
        # The empty poll answers for the port the host is on: USB.
        payload, verdict = answer_and_verdict(port, frame(6, 0x00))
        assert verdict == ACK and payload[0] == 3
        for raw in (frame(6, 0x00, bytes((5,))), frame(6, 0x00, prt_block(6))):
            assert answer_and_verdict(port, raw) == (None, NAK)

    def test_several_ports_in_one_message_all_or_none(self, sim_factory):
        sim = sim_factory("--generation", "8", "--no-nmea")
        port = Port(sim.link)
        both = prt_block(1, 115200, UBX_NMEA, 0x01) + prt_block(3, 0, 0x01, 0x01)
        assert answer_and_verdict(port, frame(6, 0x00, both)) == (None, ACK)
        assert poll_prt(port, 1)[3:7] == (MODE_8N1, 115200, UBX_NMEA, 0x01)
        assert poll_prt(port, 3)[5:7] == (0x01, 0x01)
        # A bad block anywhere refuses the whole message: the good block before it is not
        # applied either.
        for bad in (prt_block(7), prt_block(1, 12345)):
            raw = frame(6, 0x00, prt_block(1, 38400) + prt_block(3, 0, 0x01, 0x03) + bad)
            assert answer_and_verdict(port, raw) == (None, NAK)
            assert poll_prt(port, 1)[4] == 115200
            assert poll_prt(port, 3)[6] == 0x01
        # Not a whole number of blocks.
        assert answer_and_verdict(port, frame(6, 0x00, both[:30])) == (None, NAK)


def test_nav5_answer_is_laid_out_as_the_notes_say(sim_factory):
    sim = sim_factory("--generation", "8", "--no-nmea")
    port = Port(sim.link)
    set_dyn = frame(6, 0x24, struct.pack("<HBB", 0x05, 4, 2) + bytes(32))
    assert answer_and_verdict(port, set_dyn) == (None, ACK)
    payload, verdict = answer_and_verdict(port, frame(6, 0x24))
    assert verdict == ACK and len(payload) == 36
    (mask, dyn, fix, fixed_alt, fixed_alt_var, min_elev, dr_limit, p_dop, t_dop, p_acc, t_acc,
     static_hold, dgnss_timeout) = struct.unpack_from("<HBBiIbBHHHHBB", payload)
    assert (mask, dyn, fix) == (0x05FF, 4, 2)
    assert (fixed_alt, fixed_alt_var, min_elev, dr_limit) == (0, 10000, 5, 0)
    assert (p_dop, t_dop, p_acc, t_acc, static_hold, dgnss_timeout) == (250, 250, 100, 350, 0, 60)
    assert payload[24:] == bytes(12)


class TestKeyMessages:
    @pytest.mark.parametrize("raw,said", [
        pytest.param(frame(6, 0x8A, bytes((2, 1, 0, 0)) + struct.pack("<IH", RATE_MEAS, 100)),
                     "CFG-VALSET layers 0x1: version 2", id="valset-version-2"),
        pytest.param(frame(6, 0x8C, bytes((5, 2, 0, 0)) + struct.pack("<I", RATE_MEAS)),
                     "CFG-VALDEL layers 0x2: version 5", id="valdel-version-5"),
        # Version 1 is the answer's layout: a receiver does not take it as a request.
        pytest.param(frame(6, 0x8B, struct.pack("<BBHI", 1, 0, 0, RATE_MEAS)),
                     "CFG-VALGET layer 0: version 1", id="valget-version-1"),
        pytest.param(frame(6, 0x8B, struct.pack("<BBHI", 2, 0, 0, RATE_MEAS)),
                     "CFG-VALGET layer 0: version 2", id="valget-version-2"),
        pytest.param(frame(6, 0x8A, bytes((0, 1, 0))), "CFG-VALSET: too short", id="short"),
    ])
    def test_versions_not_taken_are_refused_by_number(self, sim_factory, raw, said):
        sim = sim_factory("--generation", "10", "--no-nmea")
        port = Port(sim.link)
        assert answer_and_verdict(port, raw) == (None, NAK)
        wait_until(lambda: said + " -> NAK" in sim.log(), 2, "the refusal in the log")
        payload, verdict = answer_and_verdict(port, valget(0, [RATE_MEAS]))
        assert verdict == ACK and payload[4:] == struct.pack("<IH", RATE_MEAS, 1000)

    @pytest.mark.parametrize("pairs,said", [
        pytest.param([(RATE_MEAS, 100), (RATE_NAV, 2), (DYNMODEL, 1)],
                     " CFG-RATE-MEAS=100 CFG-RATE-NAV=2: value 1 refused for "
                     "CFG-NAVSPG-DYNMODEL -> NAK", id="refused-third"),
        pytest.param([(RATE_NAV, 1)] * 4 + [(DYNMODEL, 1)],
                     " CFG-RATE-NAV=1" * 4 + ": value 1 refused for CFG-NAVSPG-DYNMODEL -> NAK",
                     id="refused-fifth"),
        pytest.param([(RATE_NAV, 1)] * 5 + [(DYNMODEL, 1)],
                     " CFG-RATE-NAV=1" * 4 + " ...: value 1 refused for CFG-NAVSPG-DYNMODEL",
                     id="refused-sixth"),
        pytest.param([(RATE_NAV, 2)] * 5, " CFG-RATE-NAV=2" * 4 + " ...\n", id="five-taken"),
    ])
    def test_log_names_the_keys_that_passed_before_a_refusal(self, sim_factory, pairs, said):
        sim = sim_factory("--generation", "10", "--no-nmea")
        port = Port(sim.link)
        answer_and_verdict(port, valset(1, pairs))
        wait_until(lambda: "CFG-VALSET layers 0x1" + said in sim.log(), 2, "the log line")
