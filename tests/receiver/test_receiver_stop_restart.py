"""stop and restart, including a restart while the earlier reader still runs."""
import threading
import time

import pytest

from zq_fakes import FakePort, pvt

CODE2_LINE = "Error-Code: 0002, Error-Message: Failure in GPS-read().\n"


def test_stop_signals_closes_and_logs(env):
    g = env.make()
    assert g.stop() is None
    assert (g.stopit, g.flag) == (1, 0) and type(g.flag) is int
    assert g.ser.closed and env.events[-1] == ("close", g.ser)
    assert env.log.records[-1] == ("info", "GPS serial stopped")
    g.loop_gps()
    assert g.flag is False


def test_stop_twice(env):
    g = env.make()
    g.stop()
    g.stop()
    assert [e[0] for e in env.events].count("close") == 2
    assert env.log.texts("info").count("GPS serial stopped") == 2


def test_stop_before_any_port(zq, env):
    g = zq.zq_gps.__new__(zq.zq_gps)
    with pytest.raises(AttributeError):
        g.stop()
    assert g.stopit == 1 and not hasattr(g, "flag")


def test_restart_success(env, capsys):
    g = env.make()
    env.script[:] = [(b"", pvt(gSpeed=5, headMot=6, headAcc=7, hMSL=99))]
    g.loop_gps()
    old_port, old_thread = g.ser, g.t1
    capsys.readouterr()
    env.log.records.clear()
    assert g.restart() is None
    assert env.log.records == [("info", "Stop current failed GPS thread .."),
                               ("info", "Now restart GPS")]
    assert capsys.readouterr().out == ""
    assert g.getgps() == (0, 0, 99.99, -1, -1, -1, -1)
    assert g.hMSL == 99 and g.index == 0 and g.parsed_data is not None
    assert old_port.closed and g.ser is not old_port and not g.ser.closed
    assert g.t1 is not old_thread and g.t1.started
    assert g.t1.kwargs == {"target": g.loop_gps}


def test_restart_failure_reports_code_2_and_stops(env, capsys):
    g = env.make()
    env.serial.fail = OSError("gone")
    capsys.readouterr()
    for _ in range(3):
        assert g.restart() is None
    assert g.index == 2 and g.flag is False and g.stopit == 1
    assert env.log.texts("error")[-1] == (
        "GPS Error: gone, 'Error-Code: 0002, Error-Message: Failure in GPS-read().'")
    assert capsys.readouterr().out == CODE2_LINE * 3
    assert g.ser.closed


def test_restart_failure_after_open_closes_new_port(env, zq, monkeypatch):
    g = env.make()
    monkeypatch.setattr(zq.threading, "Thread", lambda **kw: 1 / 0)
    g.restart()
    assert g.ser is env.serial.opened[-1] and g.ser.closed and g.stopit == 1


def test_restart_after_stop_keeps_stop_request(env):
    g = env.make()
    g.stop()
    g.restart()
    assert g.stopit == 1
    g.loop_gps()
    assert g.flag is False and env.readers[-1].reads == 0


class BlockingReader:
    """A port read that waits for data or for the port to close, like a serial read."""

    def __init__(self, port, log):
        self.port, self.log = port, log

    def read(self):
        self.log.append((threading.current_thread(), self))
        self.port.closed_event.wait(2.0)
        if self.port.closed:
            raise OSError("port closed")
        return (None, None)


def test_restart_while_reader_runs_never_overlaps(env, zq, monkeypatch):
    monkeypatch.setattr(zq, "threading", threading)
    monkeypatch.setattr(zq, "time", time)
    reads = []

    class EventPort(FakePort):
        def __init__(self, *a, **kw):
            super().__init__(*a, **kw)
            self.closed_event = threading.Event()

        def close(self):
            super().close()
            self.closed_event.set()

    monkeypatch.setattr(env.serial, "Serial", lambda **kw: EventPort(env.events, **kw))
    monkeypatch.setattr(zq, "UBXReader", lambda ser: BlockingReader(ser, reads))
    g = env.make()
    try:
        deadline = time.monotonic() + 5
        while not reads and time.monotonic() < deadline:
            time.sleep(0.01)
        old_thread, old_reader = g.t1, g.ubr
        g.restart()
        assert not old_thread.is_alive()
        assert g.t1.is_alive() and g.stopit == 0
        deadline = time.monotonic() + 5
        while not any(r is g.ubr for _, r in reads) and time.monotonic() < deadline:
            time.sleep(0.01)
        readers_by_thread = {}
        for thread, reader in reads:
            readers_by_thread.setdefault(thread, set()).add(reader)
        assert readers_by_thread == {old_thread: {old_reader}, g.t1: {g.ubr}}
    finally:
        g.stop()
        g.t1.join(5)
    assert not g.t1.is_alive()
