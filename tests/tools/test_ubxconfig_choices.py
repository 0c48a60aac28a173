"""ubxconfig on a scripted receiver, for what the simulator never does: a generation 9 receiver
refusing a key, a VALGET acknowledged before (or without) its answer, a speed change whose ACK
is lost to the switch. Frames are split and built with the harness's own checksum."""
import os
import struct
import sys
import threading

import pytest
import serial

from zqsim_harness import REPO, frame, need_pyubx2

ACK, NAK = 1, 0
MON_VER, CFG_PRT, CFG_MSG, CFG_CFG = (0x0A, 4), (6, 0), (6, 1), (6, 9)
VALSET, VALGET = (6, 0x8A), (6, 0x8B)
RATE_MEAS = 0x30210001


@pytest.fixture(scope="module")
def tool():
    """The tool's command line, run in this process: its package beside the launcher."""
    need_pyubx2()
    tools = os.path.join(REPO, "tools")
    if tools not in sys.path:
        sys.path.insert(0, tools)
    from zq_ubxconfig import cli
    return cli


def mon_ver(hw, protver):
    return frame(0x0A, 4, b"SW".ljust(30, b"\0") + hw.encode().ljust(10, b"\0")
                 + protver.encode().ljust(30, b"\0"))


def ack(kind, cls_id):
    return frame(5, kind, bytes(cls_id))


def pairs(payload):
    out, i = [], 4
    while i < len(payload):
        key, = struct.unpack_from("<I", payload, i)
        size = {1: 1, 2: 1, 3: 2, 4: 4, 5: 8}[key >> 28]
        out.append((key, payload[i + 4:i + 4 + size]))
        i += 4 + size
    return out


class Scripted:
    """Answers with ANSWERS[(cls, id)](payload) (None: ACK-NAK for CFG). Sent while the host's
    port is at another speed than the receiver's UART, its bytes arrive as garbage."""

    def __init__(self, answers, speed=9600):
        self.answers, self.speed, self.received, self.out = answers, speed, [], bytearray()
        self.host_speed = None

    def take(self, data):
        while data:
            n, = struct.unpack_from("<H", data, 4)
            cls, mid, payload = data[2], data[3], data[6:6 + n]
            assert frame(cls, mid, payload) == data[:8 + n], "a broken frame: %r" % data
            self.received.append((cls, mid, payload))
            answer = self.answers.get((cls, mid), lambda p: None)(payload)
            if answer is None:
                answer = ack(NAK, (cls, mid)) if cls == 6 else b""
            self.out += answer if self.host_speed == self.speed else bytes(b ^ 0x55 for b in answer)
            data = data[8 + n:]

    def sent(self):
        return [(c, m) for c, m, _ in self.received]


@pytest.fixture
def run(tool, monkeypatch, capsys):
    idle = threading.Event()

    def start(rx, *args):
        class FakeSerial:
            def __init__(self, port, baud, timeout):
                self.timeout, rx.host_speed = timeout, baud

            def write(self, data):
                rx.take(bytes(data))

            def read(self, n):
                if not rx.out:
                    idle.wait(self.timeout)  # the port's read time-out
                data = bytes(rx.out[:n])
                del rx.out[:n]
                return data

            def reset_input_buffer(self):
                rx.out.clear()

            def flush(self):
                pass

            close = flush
        monkeypatch.setattr(serial, "Serial", FakeSerial)
        status = tool.main(["--port", "/dev/scripted", "--timeout", "0.3", *args], "ubxconfig")
        return (status, *capsys.readouterr())
    return start


@pytest.mark.parametrize("args,text", [
    (("set", "CFG-RATE-MEAS=0.0005"), "not a whole number of 0.001 s"),
    (("set", "CFG-RATE-MEAS=70"), "CFG-RATE-MEAS"),  # 70000 ms: beyond a U2
    (("set", "CFG-RATE-MEAS=1", "--layers", "ram,rom"), "unknown layer 'rom'"),
    (("get", "CFG-RATE-MEASURE"), "did you mean CFG-RATE-MEAS"),
    (("rate", "0.001"), "at least 0.0153 Hz"),
    (("msg", "01", "07", "300"), "0 to 255"),
])
def test_bad_arguments_end_before_the_port_is_opened(run, args, text):
    rx = Scripted({})
    status, out, err = run(rx, *args)
    assert (status, rx.host_speed) == (4, None)
    assert err.startswith("ubxconfig: ") and text in err and err.count("\n") == 1


def test_valget_answer_after_its_ack_or_missing(run):
    answer = frame(6, 0x8B, bytes((1, 0, 0, 0)) + struct.pack("<IH", RATE_MEAS, 200)
                   + struct.pack("<IB", 0x10780002, 1) + struct.pack("<Ii", 0x40AA0001, 7))
    tries = []

    def valget(payload):
        tries.append(payload)
        return ack(ACK, VALGET) + (answer if len(tries) > 1 else b"")
    status, out, err = run(Scripted({VALGET: valget}), "get", "CFG-RATE-MEAS", "0x10780002",
                           "0x40aa0001")
    assert status == 0, err
    assert out == "CFG-RATE-MEAS=0.2 s\nCFG-USBOUTPROT-NMEA=true\n0x40aa0001=7\n"
    assert tries == [bytes(4) + struct.pack("<III", RATE_MEAS, 0x10780002, 0x40AA0001)] * 2


def test_generation_9_refusing_a_key_gets_the_legacy_message(run):
    usb_port = frame(6, 0, struct.pack("<BBH8xHH4x", 3, 0, 0, 3, 3)) + ack(ACK, CFG_PRT)
    rx = Scripted({MON_VER: lambda p: mon_ver("00190000", "PROTVER=27.10"),
                   CFG_PRT: lambda p: usb_port if p == b"" else None,
                   VALSET: lambda p: ack(NAK if pairs(p)[0][0] == 0x20910009 else ACK, VALSET),
                   CFG_MSG: lambda p: ack(ACK, CFG_MSG), CFG_CFG: lambda p: ack(ACK, CFG_CFG)})
    status, out, err = run(rx, "setup", "5")
    assert status == 0, err
    # what was partly legacy is saved as a whole with CFG-CFG
    assert rx.sent() == [MON_VER, CFG_PRT, VALSET, CFG_MSG, VALSET, CFG_CFG]
    assert (RATE_MEAS, struct.pack("<H", 200)) in pairs(rx.received[4][2])


def uart_block(baud):
    """CFG-PRT of UART1: txReady set, 8N1, UBX+NMEA in, UBX out."""
    return struct.pack("<BBHIIHHHH", 1, 0, 0x0C81, 0x08C0, baud, 3, 1, 2, 0)


def test_legacy_speed_change_keeps_the_port_block_and_survives_a_lost_ack(run):
    rx = Scripted({MON_VER: lambda p: mon_ver("00080000", "PROTVER 15.00")})
    blocks = []

    def prt(payload):
        if payload == b"\x01":
            return frame(6, 0, uart_block(rx.speed)) + ack(ACK, CFG_PRT)
        blocks.append(payload)
        rx.speed = struct.unpack_from("<I", payload, 8)[0]  # switches before its ACK
        return ack(ACK, CFG_PRT)
    rx.answers[CFG_PRT] = prt
    status, out, err = run(rx, "baud", "115200")
    assert status == 0, err
    assert blocks == [uart_block(115200)] and rx.host_speed == 115200
    assert "no acknowledgement at 9600 baud, checking at 115200" in out

