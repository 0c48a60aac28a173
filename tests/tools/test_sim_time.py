"""zq-sim's time: with --utc host its solutions carry the host's clock plus --utc-offset, measured
here against the host clock at receipt; the time commands spoil and restore NAV-PVT's valid
bits, flags2 and tAcc as each generation reports them, roll the date back 1024 weeks, and
announce a leap second in NAV-TIMELS. Fields are read at the offsets of the protocol notes."""
import calendar
import datetime
import os
import select
import struct
import time

import pytest

from ubx_helpers import scan
from zqsim_harness import wait_until
from zqsim_harness import sim_factory  # noqa: F401  (fixture)

NAV_PVT, NAV_TIMELS = (1, 0x07), (1, 0x26)
GPS_EPOCH = calendar.timegm((1980, 1, 6, 0, 0, 0))
LEAP = 18


class RawPort:
    """The pty read with select, each frame stamped with the host clock when its last byte was
    read, so the stamp is late by the scheduling of this reader only."""

    def __init__(self, path):
        import termios
        import tty
        self.fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        tty.setraw(self.fd)
        termios.tcflush(self.fd, termios.TCIFLUSH)
        self.buf, self.seen = b"", set()

    def frames(self, cls_id, count, timeout=5):
        """The next COUNT frames of CLS_ID as (payload, host time at receipt)."""
        got, deadline = [], time.monotonic() + timeout
        while len(got) < count:
            left = deadline - time.monotonic()
            if left <= 0:
                raise AssertionError("timed out waiting for %d %s frames" % (count, cls_id))
            if select.select([self.fd], [], [], left)[0]:
                try:
                    chunk = os.read(self.fd, 65536)
                except BlockingIOError:
                    continue
                stamp = time.time()
                self.buf += chunk
                items, complete = scan(self.buf)
                for it in (it for it in items if it.end <= complete):
                    if it.kind == "ubx" and it.ok:
                        self.seen.add((it.cls, it.msg_id))
                    if it.kind == "ubx" and it.ok and (it.cls, it.msg_id) == cls_id:
                        got.append((it.body, stamp))
                self.buf = self.buf[complete:]
        return got[:count]

    def close(self):
        os.close(self.fd)


def stated_time(pvt):
    """The UTC NAV-PVT states, in seconds since 1970."""
    y, mo, d, h, mi, s = struct.unpack_from("<HBBBBB", pvt, 4)
    nano, = struct.unpack_from("<i", pvt, 16)
    return calendar.timegm((y, mo, d, h, mi, s)) + nano / 1e9


def bits(pvt):
    return pvt[11] & 0x07, pvt[22] & 0xE0, struct.unpack_from("<I", pvt, 12)[0]


def next_pvt(port, want, what):
    """The first NAV-PVT (after those already read) for which WANT(payload) holds."""
    def found():
        for payload, _ in port.frames(NAV_PVT, 1):
            if want(payload):
                return payload
        return None
    return wait_until(found, 10, what)


class TestHostClock:
    @pytest.mark.parametrize("offset", [0.25, -0.04, 0.0])
    def test_solutions_carry_the_host_clock_plus_the_offset(self, sim_factory, offset):
        sim = sim_factory("--utc", "host", "--utc-offset", repr(offset), "--rate", "5",
                          "--no-nmea")
        port = RawPort(sim.link)
        pvts = port.frames(NAV_PVT, 8)[2:]  # the first may have waited in the pty
        lags, late = [], []
        for pvt, received in pvts:
            # Stated when written, so never after its receipt.
            lags.append(received - (stated_time(pvt) - offset))
            # The receiver's epochs are on its own whole fifths of a second, or just after.
            late.append((stated_time(pvt) * 5) % 1)
            # iTOW is GPS time of week of the same instant.
            itow, = struct.unpack_from("<I", pvt, 0)
            gps = stated_time(pvt) - GPS_EPOCH + LEAP
            assert abs(itow / 1000 - gps % 604800) < 0.002
            assert bits(pvt) == (0x07, 0xE0, 25)
        # The least delayed of six readings: a busy machine delays some, hardly all of them.
        assert min(lags) > -0.002 and min(lags) < 0.02, (offset, lags)
        assert min(late) < 0.1, late
        port.close()

    def test_negative_offset_across_a_second_keeps_fields_consistent(self, sim_factory):
        sim = sim_factory("--utc", "host", "--utc-offset", "-1.5", "--rate", "2", "--no-nmea")
        port = RawPort(sim.link)
        offsets = []
        for pvt, received in port.frames(NAV_PVT, 4)[1:]:
            nano, = struct.unpack_from("<i", pvt, 16)
            assert 0 <= nano < 1e9 and pvt[10] < 60
            offsets.append(stated_time(pvt) - received)
        assert -1.52 < max(offsets) < -1.498, offsets
        port.close()


class TestTimeCommands:
    def test_valid_invalid_unconfirmed_on_a_receiver_that_confirms(self, sim_factory):
        sim = sim_factory("--utc", "host", "--rate", "10", "--no-nmea",
                          "--at", "0.3:time=invalid")
        port = RawPort(sim.link)
        pvt = next_pvt(port, lambda p: p[11] & 7 == 0, "time invalid from --at")
        assert bits(pvt) == (0, 0x20, 0xFFFFFFFF)  # confirmation available, nothing confirmed
        sim.send("time unconfirmed")
        assert bits(next_pvt(port, lambda p: p[11] & 7, "unconfirmed")) == (0x07, 0x20, 25)
        sim.send("time valid")
        assert bits(next_pvt(port, lambda p: p[22] == 0xE0, "valid")) == (0x07, 0xE0, 25)
        told = [(t["valid"], t["flags2"], t["tAcc"]) for t in sim.truth()]
        assert (0, 0x20, 0xFFFFFFFF) in told and (0x07, 0x20, 25) in told
        sim.send("time sideways")
        wait_until(lambda: "unknown command: time sideways" in sim.log(), 5, "a refusal")
        port.close()

    def test_a_generation_without_confirmation_reports_validity_alone(self, sim_factory):
        sim = sim_factory("--generation", "7", "--utc", "host", "--rate", "10", "--no-nmea",
                          "--at", "0:pvt=on")
        port = RawPort(sim.link)
        pvt = next_pvt(port, lambda p: True, "NAV-PVT")
        assert len(pvt) == 84 and pvt[22] == 0 and pvt[11] & 7 == 7
        sim.send("time unconfirmed")
        wait_until(lambda: "command: time unconfirmed" in sim.log(), 5, "the command")
        pvt = next_pvt(port, lambda p: True, "NAV-PVT")
        assert pvt[22] == 0 and pvt[11] & 7 == 7, "flags2 is reserved on protocol 14"
        sim.send("time invalid")
        assert next_pvt(port, lambda p: p[11] & 7 == 0, "invalid")[22] == 0
        port.close()

    def test_rollover_puts_the_date_1024_weeks_back_and_leaves_itow(self, sim_factory):
        sim = sim_factory("--utc", "host", "--rate", "5", "--no-nmea", "--at", "0.2:time=rollover")
        port = RawPort(sim.link)
        pvt = next_pvt(port, lambda p: struct.unpack_from("<H", p, 4)[0] < 2015, "rollover")
        now = time.time()
        back = stated_time(pvt) + 1024 * 7 * 86400
        assert abs(back - now) < 1, "not exactly 1024 weeks back"
        itow, = struct.unpack_from("<I", pvt, 0)
        assert abs(itow / 1000 - (now - GPS_EPOCH + LEAP) % 604800) < 1
        assert bits(pvt) == (0x07, 0xE0, 25), "a rollover receiver still claims valid time"
        sim.send("time valid")
        next_pvt(port, lambda p: struct.unpack_from("<H", p, 4)[0] > 2015, "the date restored")
        port.close()

    def test_leap_is_announced_in_nav_timels_and_not_in_nav_pvt(self, sim_factory):
        sim = sim_factory("--utc", "host", "--rate", "2", "--no-nmea")
        port = RawPort(sim.link)
        payload, _ = port.frames(NAV_TIMELS, 1)[0]
        assert (payload[8], payload[9], payload[11], payload[23]) == (2, LEAP, 0, 0x03)
        assert struct.unpack_from("<i", payload, 12)[0] < 0, "the last event is in the past"
        sim.send("time leap")

        def announced():
            for p, at in port.frames(NAV_TIMELS, 1):
                if p[11] == 1:
                    return p, at
            return None
        payload, received = wait_until(announced, 10, "the announcement")
        to_event, = struct.unpack_from("<i", payload, 12)
        today = datetime.datetime.fromtimestamp(received, datetime.timezone.utc)
        first = datetime.datetime(today.year + (today.month == 12), today.month % 12 + 1, 1,
                                  tzinfo=datetime.timezone.utc)
        assert abs(to_event - (first.timestamp() - received)) < 2
        week, day = struct.unpack_from("<HH", payload, 16)
        gps = first.timestamp() - GPS_EPOCH + LEAP + 1
        assert (week, day) == (int(gps // 604800), int(gps % 604800 // 86400))
        pvt, _ = port.frames(NAV_PVT, 1)[0]
        assert bits(pvt) == (0x07, 0xE0, 25)
        port.close()


def test_without_utc_no_nav_timels_and_the_grid_time(sim_factory):
    sim = sim_factory("--rate", "5", "--no-nmea")
    port = RawPort(sim.link)
    for pvt, _ in port.frames(NAV_PVT, 6):
        # Whole milliseconds of the grid, as the simulator always stated them.
        assert struct.unpack_from("<i", pvt, 16)[0] % 200000000 == 0
    assert port.seen == {NAV_PVT}
    port.close()
