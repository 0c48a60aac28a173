"""End to end through a real pseudo-terminal, the real serial library and the real codec."""
import os
import threading
import time

import pytest

import ubx_helpers
from zq_fakes import RecordingLogger
from zq_sim import Pty, open_fds, stop_all

NMEA = b"$GPGGA,085000.80,3454.3736,S,13836.4872,E,2,00,,28.89,M,-1.662,M,,*4D\r\n"
CODE2_LINE = "Error-Code: 0002, Error-Message: Failure in GPS-read()."


def nav_pvt(lon, lat, pdop=150, num_sv=9, g_speed=1234, head_mot=4500000, head_acc=321):
    """A NAV-PVT frame of a moving receiver with a valid date and time."""
    return ubx_helpers.nav_pvt(1000, lon, lat, pdop, num_sv, year=2026, month=12, day=8,
                               hour=17, min=31, second=24, valid=0x37, height=50000,
                               hMSL=45000, gSpeed=g_speed, headMot=head_mot, headAcc=head_acc)


def wait_for(predicate, seconds=5.0):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(0.005)
    return predicate()


@pytest.fixture
def live(zq, monkeypatch):
    logger = RecordingLogger()
    monkeypatch.setattr(zq, "l", logger)
    made, ptys = [], []

    def make(pty=None):
        pty = pty or Pty()
        ptys.append(pty)
        g = zq.zq_gps(port=pty.path)
        made.append(g)
        return g, pty

    make.log = logger
    make.Pty = lambda: ptys.append(Pty()) or ptys[-1]
    yield make
    stop_all(made)
    for pty in ptys:
        pty.close()


def test_frames_reach_getgps_through_noise_and_nmea(live):
    g, pty = live()
    pty.write(NMEA + b"\x00\xffgarbage\xb5" + nav_pvt(85000000, 475000000))
    assert wait_for(lambda: g.getgps()[1] == 47.5)
    assert g.getgps() == (8.5, 47.5, 1.5, 9, 1234, 321, 4500000)
    assert g.flag is True and g.fixType == 3 and g.gnssFixOk == 1

    # a damaged frame between good ones changes nothing; the next good one lands
    bad = bytearray(nav_pvt(1, 1))
    bad[40] ^= 0x55
    pty.write(NMEA * 3 + bytes(bad) + NMEA + nav_pvt(-1234567891, -123456789, pdop=99))
    assert wait_for(lambda: g.getlon() == -123.4567891)
    assert g.getgps()[:3] == (-123.4567891, -12.3456789, 0.99)


def test_frame_split_across_slow_writes(live):
    g, pty = live()
    data = nav_pvt(10000000, 20000000)
    for i in range(0, len(data), 7):
        pty.write(data[i:i + 7])
        time.sleep(0.01)
    assert wait_for(lambda: g.getgps()[:2] == (1.0, 2.0))


def test_power_mode_puts_exact_bytes_on_the_wire(live):
    g, pty = live()
    g.setPowerMode()
    expected = bytes.fromhex("b56206110200080021" "91")
    got = b""
    deadline = time.monotonic() + 5
    while len(got) < len(expected) and time.monotonic() < deadline:
        got += os.read(pty.master, 64)
    assert got == expected


def test_device_gone_ends_loop_then_restart_on_new_device(live, capsys):
    g, pty = live()
    pty.write(nav_pvt(85000000, 475000000))
    assert wait_for(lambda: g.flag is True)
    pty.unplug()
    assert wait_for(lambda: not g.t1.is_alive(), seconds=15)
    assert g.flag is False
    out = capsys.readouterr().out.splitlines()
    assert CODE2_LINE in out
    assert live.log.texts("error")[0].startswith("GPS Error: ")

    fresh = live.Pty()
    g.port = fresh.path
    g.restart()
    assert g.index == 0 and g.t1.is_alive() and g.getgps()[0] == 0
    fresh.write(nav_pvt(30000000, 40000000))
    assert wait_for(lambda: g.getgps()[:2] == (3.0, 4.0))


def test_stop_ends_the_reader_and_closes_the_port(live):
    g, pty = live()
    g.stop()
    assert not g.ser.is_open
    assert wait_for(lambda: not g.t1.is_alive(), seconds=5)
    assert g.flag is False


@pytest.mark.parametrize("cycle", ["construct-stop", "restart"])
def test_cycles_leave_no_threads_or_descriptors(live, zq, cycle):
    pty = live.Pty()
    g = zq.zq_gps(port=pty.path)
    g.stop()
    g.t1.join(5)
    threads, fds = threading.active_count(), open_fds()
    for _ in range(200):
        if cycle == "construct-stop":
            g = zq.zq_gps(port=pty.path)
        else:
            g.stopit = 0
            g.restart()
        g.ser.cancel_read()  # wake the reader's wait instead of letting it time out
        g.stop()
        g.t1.join(5)
        assert not g.t1.is_alive()
    assert threading.active_count() == threads
    assert open_fds() == fds
