"""Device removal as a host sees it: the reader gives up with code 2 and keeps the last good
values, restart() on the same port name brings values back, and nothing is left behind."""
import threading
import time

import pytest
import serial

from faults_harness import (CODE2_LINE, INITIAL, AcceptRecorder, LinkedPty, nav_pvt,
                            open_fds, reader_threads, receivers, sim_factory, wait_for)  # noqa: F401


def code2_lines(capsys):
    return [line for line in capsys.readouterr().out.splitlines() if line == CODE2_LINE]


def test_unplug_in_the_middle_of_a_frame_keeps_the_last_whole_one(receivers, capsys):
    pty = LinkedPty()
    try:
        g = receivers(pty.link)
        pty.write(nav_pvt(1000, 85000000, 475000000))
        wait_for(lambda: g.getgps()[1] == 47.5, 5, "the first frame")
        half = nav_pvt(2000, 10000000, 20000000)
        pty.write(half[:50])
        pty.unplug()
        wait_for(lambda: not g.t1.is_alive(), 15, "the reader to give up")
        assert g.flag is False
        assert g.getgps()[:4] == (8.5, 47.5, 1.5, 9)
        assert code2_lines(capsys) == [CODE2_LINE]
        assert receivers.log.texts("error")[0].startswith("GPS Error: ")

        # The rest of the cut frame on the new device is not a frame: only a whole one counts.
        pty.replug()
        g.restart()
        assert g.index == 0
        pty.write(half[50:] + nav_pvt(3000, 30000000, 40000000))
        wait_for(lambda: g.getgps()[:2] == (3.0, 4.0), 5, "values after the replug")
        assert g.parsed_data.iTOW == 3000
    finally:
        pty.close()


def test_unplug_at_idle_then_replug_and_restart_on_the_same_link(receivers, sim_factory,
                                                                  capsys):
    sim = sim_factory("--rate", "10", "--no-nmea")
    threads0, fds0 = len(reader_threads()), open_fds()
    g = receivers(sim.link)
    for cycle in range(3):
        wait_for(lambda: g.flag is True and g.getgps()[3] > 0, 5, "values, cycle %d" % cycle)
        assert g.index == cycle - 1
        old = sim.target()
        sim.send("unplug")
        wait_for(lambda: not g.t1.is_alive(), 15, "the reader to give up")
        assert g.flag is False
        assert g.getgps()[3] > 0  # the last good values stay until restart
        assert code2_lines(capsys) == [CODE2_LINE]

        sim.send("replug")
        wait_for(lambda: sim.target() not in (None, old), 5, "the link to point at a new pty")
        g.restart()
        assert g.index == cycle
        assert len(reader_threads()) == threads0 + 1
        # The port stays open: exactly the descriptors one open port takes.
        assert len(open_fds()) - len(fds0) == len(open_fds_of_one_port(g))
    wait_for(lambda: g.flag is True and g.getgps()[3] > 0, 5, "values after the last restart")
    g.stop()
    g.t1.join(5)
    assert not g.t1.is_alive()
    assert len(reader_threads()) == threads0
    assert open_fds() == fds0


def open_fds_of_one_port(g):
    """Descriptors an open pyserial port holds: the device plus its cancel pipes."""
    fds = {str(g.ser.fd)}
    for name in ("pipe_abort_read_r", "pipe_abort_read_w", "pipe_abort_write_r",
                 "pipe_abort_write_w"):
        fd = getattr(g.ser, name, None)
        if fd is not None:
            fds.add(str(fd))
    return fds


def test_restart_while_values_flow_resets_then_resumes(receivers, sim_factory):
    sim = sim_factory("--rate", "10", "--no-nmea", "--paused")
    rec = AcceptRecorder()
    g = receivers(sim.link, rec)
    sim.send("resume")
    wait_for(lambda: len(rec.accepted) >= 3, 5, "values")
    first = g.t1
    g.restart()
    assert g.index == 0
    assert not first.is_alive()  # the earlier reader is retired before the new one starts
    assert len([t for t in reader_threads() if t.is_alive()]) == 1
    n = len(rec.accepted)
    wait_for(lambda: len(rec.accepted) >= n + 3, 5, "values after the restart")
    got = list(rec.accepted)
    truth = wait_for(lambda: (lambda t: t if all(m.iTOW in t for m, _ in got) else None)(
        {t["iTOW"]: t for t in sim.sent_pvts()}), 5, "the truth of every accepted message")
    for m, gps in got:
        t = truth[m.iTOW]
        assert gps[:2] == (t["lon_e7"] / 1e7, t["lat_e7"] / 1e7)


def test_unplug_while_power_mode_is_written(receivers, sim_factory, capsys):
    sim = sim_factory("--rate", "10", "--no-nmea")
    g = receivers(sim.link)
    wait_for(lambda: g.flag is True, 5, "values")
    outcomes = []  # "ok", "failed", or the repr of any other exception
    done = threading.Event()

    def writer():
        while not done.is_set():
            try:
                g.setPowerMode()
                outcomes.append("ok")
            except serial.SerialException:
                outcomes.append("failed")
            except Exception as e:  # anything else is a fault the test reports
                outcomes.append(repr(e))
                return
            time.sleep(0.001)  # a busy host, not one that starves the reader of the GIL

    t = threading.Thread(target=writer)
    t.start()
    try:
        wait_for(lambda: len(outcomes) >= 20, 5, "writes before the unplug")
        sim.send("unplug")
        wait_for(lambda: "failed" in outcomes, 5, "a write to fail")
        wait_for(lambda: not g.t1.is_alive(), 15, "the reader to give up")
    finally:
        done.set()
        t.join(5)
    assert set(outcomes) == {"ok", "failed"}
    # Once a write has failed, every later one fails too: nothing reaches a removed device.
    first_fail = outcomes.index("failed")
    assert set(outcomes[first_fail:]) == {"failed"}
    assert g.flag is False and code2_lines(capsys) == [CODE2_LINE]

    sim.send("replug")
    wait_for(lambda: sim.target() is not None, 5, "the link")
    heard = sim.log().count("CFG-RXM lpMode 0")
    g.restart()
    assert g.setPowerMode() is None
    wait_for(lambda: sim.log().count("CFG-RXM lpMode 0") > heard, 5,
             "the simulator to receive CFG-RXM after the replug")
    wait_for(lambda: g.flag is True, 5, "values after the replug")


@pytest.mark.parametrize("where", ["idle", "mid-frame"])
def test_stop_after_unplug_ends_the_reader_without_a_report(receivers, capsys, where):
    pty = LinkedPty()
    try:
        g = receivers(pty.link)
        if where == "mid-frame":
            pty.write(nav_pvt(1000, 1, 2)[:30])
        pty.unplug()
        g.stop()
        g.t1.join(5)
        assert not g.t1.is_alive() and g.flag is False
        assert g.getgps() == INITIAL
        assert code2_lines(capsys) == []
    finally:
        pty.close()
