"""UBXReader on a real pseudo-terminal through pyserial: the native descriptor path and the
stream.read path behave alike (time-out, close under a waiting read, a vanished device, a
descriptor number reused by another file, frames in many short writes); a read comes back
within its time-out whatever the line delivers; rx_time says when a frame's last byte came."""
import io
import os
import random
import struct
import threading
import time
import tty

import pytest
import serial

from libs.pyubx2 import MAX_PAYLOAD, UBXMessage, UBXReader
from ubx_helpers import frame

NMEA = b"$GPGGA,085000.80,3454.3736,S,13836.4872,E,2,00,,28.89,M,-1.662,M,,*4D\r\n"


def pvt(itow):
    p = bytearray(92)
    struct.pack_into("<I", p, 0, itow)
    return frame(0x01, 0x07, bytes(p))


class Line:
    """A raw pseudo-terminal; the test writes on the master, the reader opens the slave."""

    def __init__(self):
        self.master, slave = os.openpty()
        tty.setraw(slave)
        self.path = os.ttyname(slave)
        os.close(slave)

    def write(self, data):
        os.write(self.master, data)

    def close(self):
        if self.master is not None:
            os.close(self.master)
            self.master = None


@pytest.fixture
def line():
    lines = []

    def make():
        lines.append(Line())
        return lines[-1]

    yield make
    for ln in lines:
        ln.close()


@pytest.fixture(params=[True, False], ids=["native", "stream"])
def port(request, line):
    """(line, open port, reader factory) for each read path."""
    ln = line()
    opened = []

    def open_port(timeout=0.5):
        ser = serial.Serial(ln.path, 9600, timeout=timeout)
        opened.append(ser)
        reader = UBXReader(ser, native=request.param)
        assert reader.native is request.param
        return ser, reader

    yield ln, open_port
    for ser in opened:
        ser.close()


def in_kernel_wait(thread_id):
    """True while the thread sleeps in poll/select (its wait channel says so)."""
    with open("/proc/self/task/%d/wchan" % thread_id) as f:
        channel = f.read()
    return "poll" in channel or "select" in channel


def read_in_thread(reader):
    """Starts reader.read() on a thread; returns (thread, outcome, native thread id)."""
    outcome, ident = {}, threading.Event()

    def body():
        outcome["tid"] = threading.get_native_id()
        ident.set()
        try:
            outcome["result"] = reader.read()
        except BaseException as e:  # noqa: B902 - the test inspects it
            outcome["error"] = e
        outcome["end"] = time.monotonic()

    t = threading.Thread(target=body)
    t.start()
    ident.wait(5)
    return t, outcome


def wait_until(predicate, seconds=5.0):
    deadline = time.monotonic() + seconds
    while not predicate():
        assert time.monotonic() < deadline, "condition not reached"
        time.sleep(0.002)


class TestBothPaths:
    def test_time_out_with_nothing_complete(self, port):
        ln, open_port = port
        ser, reader = open_port(timeout=0.3)
        ln.write(pvt(1)[:40])  # half a frame: kept for the next call
        t0 = time.monotonic()
        assert reader.read() == (None, None)
        assert 0.25 <= time.monotonic() - t0 < 2.0
        ln.write(pvt(1)[40:])
        raw, msg = reader.read()
        assert raw == pvt(1) and msg.iTOW == 1

    def test_close_under_a_waiting_read_ends_it(self, port):
        ln, open_port = port
        ser, reader = open_port(timeout=10)
        t, out = read_in_thread(reader)
        wait_until(lambda: in_kernel_wait(out["tid"]))
        closed_at = time.monotonic()
        ser.close()
        t.join(5)
        assert not t.is_alive()
        assert out["end"] - closed_at < 2.0  # woken by the close, not by the time-out
        if reader.native:
            assert isinstance(out.get("error"), serial.PortNotOpenError), out
        else:  # pyserial's own read comes back short or fails, depending on the moment
            assert "result" in out or isinstance(out.get("error"), Exception), out
        # a closed port says so (pyserial's in_waiting fails first on the stream path)
        with pytest.raises(serial.PortNotOpenError if reader.native else Exception):
            reader.read()

    def test_device_gone_raises_serial_exception(self, port):
        ln, open_port = port
        ser, reader = open_port(timeout=10)
        ln.write(pvt(7))
        assert reader.read()[1].iTOW == 7
        t, out = read_in_thread(reader)
        wait_until(lambda: in_kernel_wait(out["tid"]))
        ln.close()  # the other end of the line disappears
        t.join(5)
        assert not t.is_alive()
        assert isinstance(out.get("error"), serial.SerialException), out

    def test_descriptor_reused_by_another_file_is_never_read(self, port):
        ln, open_port = port
        ser, reader = open_port()
        number = ser.fileno()
        ser.close()
        r, w = os.pipe()  # another file gets the number, as a later open elsewhere would
        os.dup2(r, number)
        try:
            os.write(w, b"not the receiver's bytes")
            # pyserial's in_waiting fails on the closed port first on the stream path
            with pytest.raises(serial.PortNotOpenError if reader.native else Exception):
                reader.read()
            assert not reader.backlog
            assert os.read(number, 100) == b"not the receiver's bytes"
        finally:
            for fd in {r, w, number}:
                os.close(fd)

    def test_frames_split_across_many_short_writes(self, port):
        ln, open_port = port
        ser, reader = open_port(timeout=0.5)
        data = b"".join(NMEA + pvt(i) for i in range(20))
        done = threading.Event()

        def writer():
            for i in range(0, len(data), 7):
                ln.write(data[i:i + 7])
                time.sleep(0.0005)
            done.set()

        threading.Thread(target=writer, daemon=True).start()
        got = []
        deadline = time.monotonic() + 20
        while len(got) < 20 and time.monotonic() < deadline:
            raw, msg = reader.read()
            if msg is not None:
                got.append((raw, msg.iTOW))
        assert got == [(pvt(i), i) for i in range(20)]
        assert done.wait(5)


class TestAReadAlwaysComesBack:
    @pytest.mark.parametrize("flood", ["noise", "nmea", "false-header"])
    def test_endless_line_hands_control_back_each_time_out(self, port, flood):
        ln, open_port = port
        ser, reader = open_port(timeout=0.3)
        rnd = random.Random(4)
        stop = threading.Event()
        chunks = {
            # no B5 62 in the noise, so it cannot hide a frame by chance
            "noise": lambda: bytes(rnd.choice(range(0, 0xB5)) for _ in range(512)),
            "nmea": lambda: NMEA * 8,
            # a header that declares more than the line ever completes
            "false-header": lambda: b"\xb5\x62\x7f\x01" + struct.pack("<H", 9000) + NMEA * 4,
        }

        def writer():
            make = chunks[flood]
            while not stop.is_set():
                try:
                    ln.write(make())
                except OSError:
                    return

        flooding = threading.Thread(target=writer, daemon=True)
        flooding.start()
        try:
            for _ in range(4):
                t0 = time.monotonic()
                assert reader.read() == (None, None)
                assert time.monotonic() - t0 < 0.3 + 1.5
                assert reader.stats["buffered"] <= MAX_PAYLOAD + 8
        finally:
            stop.set()
        # after the flood, the frames that follow still come through; the flood's last write
        # may wait for the reader to make room, so they are written from a thread of their own
        threading.Thread(target=lambda: (flooding.join(10), ln.write(pvt(42) + pvt(43))),
                         daemon=True).start()
        seen = []
        deadline = time.monotonic() + 10
        while len(seen) < 2 and time.monotonic() < deadline:
            msg = reader.read()[1]
            if msg is not None:
                seen.append(msg.iTOW)
        assert seen == [42, 43]


class TestReceiveTime:
    def test_rx_time_lies_between_the_last_byte_and_delivery(self, port):
        ln, open_port = port
        ser, reader = open_port(timeout=2)
        times = []
        for i in range(5):
            f = pvt(i)
            ln.write(f[:-1])
            t_last = time.monotonic()
            ln.write(f[-1:])
            raw, msg = reader.read()
            t_seen = time.monotonic()
            assert raw == f
            assert t_last <= msg.rx_time <= t_seen
            times.append(msg.rx_time)
        assert times == sorted(times) and len(set(times)) == 5

    def test_messages_not_read_from_a_stream_have_none(self):
        built = UBXMessage(6, 0x11, 1, lpMode=0)
        assert built.rx_time is None
        assert UBXReader.parse(built.serialize()).rx_time is None


class ArrivalStream:
    """A stream whose bytes arrive in the given pieces; once they are out it has nothing."""

    def __init__(self, pieces):
        self.pieces = list(pieces)
        self.timeout = 0

    @property
    def in_waiting(self):
        return len(self.pieces[0]) if self.pieces else 0

    def read(self, n):
        if not self.pieces:
            return b""
        head = self.pieces.pop(0)
        if len(head) > n:
            self.pieces.insert(0, head[n:])
        return head[:n]


class TestFalseHeaders:
    FALSE = {
        "known id, impossible length": b"\xb5\x62\x01\x07" + struct.pack("<H", 500),
        "class that does not exist": b"\xb5\x62\x7f\x01" + struct.pack("<H", 900),
        # A length a NAV message can have makes the header one that could be true: it is then
        # awaited (test_plausible_false_header_delays_but_loses_nothing).
        "known class, unknown id, longer than its class has": b"\xb5\x62\x01\x7e" + struct.pack("<H", 15360),
    }

    @pytest.mark.parametrize("kind", FALSE)
    def test_frame_behind_a_false_header_needs_only_its_own_bytes(self, kind):
        stream = ArrivalStream([self.FALSE[kind] + b"\x01\x02", pvt(5)[:50], pvt(5)[50:], pvt(6)])
        reader = UBXReader(stream)
        results = [reader.read() for _ in range(6)]
        frames = [raw for raw, _ in results if raw is not None]
        assert frames == [pvt(5), pvt(6)]
        assert not stream.pieces  # no byte beyond the frames' own was needed

    def test_plausible_false_header_delays_but_loses_nothing(self):
        fake = b"\xb5\x62\x01\x7e" + struct.pack("<H", 1000)
        stream = io.BytesIO(fake + pvt(5) + pvt(6) + bytes(1000) + pvt(7))
        reader = UBXReader(stream)
        assert [raw for raw, _ in iter(reader)] == [pvt(5), pvt(6), pvt(7)]
        assert reader.stats["bad_checksums"] == 1
        # Until the header's 1008 bytes are in, the frames inside it wait.
        stream = ArrivalStream([fake + pvt(5), pvt(6)])
        reader = UBXReader(stream)
        assert [reader.read()[0] for _ in range(3)] == [None, None, None]

    def test_memory_bound_holds_under_repeated_false_headers(self):
        junk = b"".join(h + bytes(30) for h in self.FALSE.values()) * 300
        stream = ArrivalStream([junk[i:i + 97] for i in range(0, len(junk), 97)] + [pvt(9)])
        reader = UBXReader(stream)
        peak = 0
        for _ in range(len(stream.pieces) + 2):
            raw, _ = reader.read()
            peak = max(peak, reader.stats["buffered"])
            if raw is not None:
                break
        assert raw == pvt(9)
        assert peak <= MAX_PAYLOAD + 8 + 97

    def test_large_real_frame_arriving_slowly_is_delivered_whole(self, port):
        ln, open_port = port
        ser, reader = open_port(timeout=0.2)
        rnd = random.Random(8)
        payload = bytes(rnd.choice(range(0, 0xB5)) for _ in range(8192))
        big = frame(0x7F, 0x05, payload)
        for i in range(0, len(big), 512):
            ln.write(big[i:i + 512])
        got = None
        deadline = time.monotonic() + 10
        while got is None and time.monotonic() < deadline:
            got = reader.read()[0]
        assert got == big
