"""What the host sees stays fresh: the loop drains a backlog without pausing, says so when the
data goes stale and when it resumes, restart does not show its reset values as live, and no
number of host threads calling run()/restart() ever gets two readers going."""
import io
import threading
import time
import types

import pytest

from libs.pyubx2 import UBXReader
from test_receiver_pty import CODE2_LINE, Pty, live, wait_for  # noqa: F401
import ubx_helpers
from ubx_helpers import frame
from zq_fakes import pvt

INITIAL = (0, 0, 99.99, -1, -1, -1, -1)


def nav_pvt(seq, num_sv=9):
    """A NAV-PVT frame whose iTOW and position carry SEQ."""
    return ubx_helpers.nav_pvt(seq, 80000000 + seq, 470000000 + seq, num_sv=num_sv)


# Nine other messages a busy receiver sends each epoch, of realistic sizes.
OTHERS = b"".join(frame(0x01, i, bytes(n)) for i, n in (
    (0x03, 16), (0x04, 18), (0x20, 16), (0x21, 20), (0x22, 20), (0x26, 24), (0x35, 8 + 12 * 20),
    (0x43, 8 + 12 * 24), (0x61, 4)))


class TestPause:
    def test_backlog_skips_the_pause_only_while_the_real_reader_has_one(self, env):
        g = env.make()
        frames = [nav_pvt(i) for i in range(5)]
        g.ubr = UBXReader(io.BytesIO(b"".join(frames)))  # one chunk holds all five

        def sleep(seconds):
            env.time.sleeps.append(seconds)
            if len(env.time.sleeps) == 2:
                g.stopit = 1

        env.time.sleep = sleep
        accepted = []
        clock = env.time.time

        def time_after_store():  # read right after each accepted message is stored
            m = g.parsed_data
            if m is not None and (not accepted or accepted[-1] is not m):
                accepted.append(m)
            return clock()

        env.time.time = time_after_store
        g.loop_gps()
        # the first pass pauses; the other four frames were already taken, so their passes
        # do not; once drained, the next pass pauses again
        assert env.time.sleeps == [0.025, 0.025]
        assert [m.iTOW for m in accepted] == [0, 1, 2, 3, 4]

    def test_stand_in_reader_without_backlog_pauses_every_pass(self, env):
        g = env.make()
        env.script[:] = [(b"", pvt())] * 5
        g.loop_gps()
        assert env.time.sleeps == [0.025] * 7  # five reads, the empty one, the stop check

    def test_stand_in_clock_never_makes_data_stale(self, env):
        g = env.make()
        env.script[:] = [(b"", pvt())] + [(None, None)] * 400  # 10 s of the stand-in's time
        g.loop_gps()
        assert env.time.now - 1000.0 > 10
        assert "GPS data stale" not in env.log.texts("info")


def writer_thread(pty, rate, seconds, epoch=lambda seq: nav_pvt(seq) + OTHERS):
    """Writes an epoch RATE times a second for SECONDS, on a schedule; returns (thread, state)."""
    state = types.SimpleNamespace(last=-1, done=threading.Event(), late=0)

    def body():
        start = time.monotonic()
        n = int(rate * seconds)
        for seq in range(n):
            due = start + seq / rate
            now = time.monotonic()
            if due > now:
                time.sleep(due - now)
            pty.write(epoch(seq))
            state.last = seq
        state.done.set()

    t = threading.Thread(target=body, daemon=True)
    t.start()
    return t, state


class TestUnderLoad:
    def test_25_hz_with_nine_more_messages_per_epoch_never_falls_behind(self, live):
        g, pty = live()
        t, state = writer_thread(pty, 25, 20)
        assert state.done.wait(40)
        # One epoch behind at most, allowing the reader a scheduling slice (a reader that
        # falls behind is hundreds of epochs back after 20 s)
        assert wait_for(lambda: g.parsed_data.iTOW >= state.last - 1, 0.1), (
            "shown epoch %d, last written %d" % (g.parsed_data.iTOW, state.last))
        assert wait_for(lambda: g.parsed_data.iTOW == state.last, 2)
        assert g.flag is True


class TestStale:
    def test_stall_is_said_then_resumed_and_the_reader_lives_on(self, live, capsys):
        g, pty = live()
        t, state = writer_thread(pty, 10, 1, epoch=nav_pvt)
        assert state.done.wait(5)
        assert wait_for(lambda: g.flag is True and g.parsed_data.iTOW == state.last)
        stalled_at = time.monotonic()
        # 3 intervals of 0.1 s are less than the floor: 1.5 s, plus one read time-out
        assert wait_for(lambda: g.flag is False, 1.5 + 2 + 2)
        assert time.monotonic() - stalled_at >= 1.5
        assert g.t1.is_alive()
        # the word follows the flag: wait for it, then it is said once
        assert wait_for(lambda: "GPS data stale" in live.log.texts("info"))
        assert live.log.texts("info").count("GPS data stale") == 1
        # staying silent says nothing more
        time.sleep(2.5)
        assert live.log.texts("info").count("GPS data stale") == 1 and g.flag is False
        pty.write(nav_pvt(500))
        assert wait_for(lambda: g.flag is True and g.parsed_data.iTOW == 500)
        assert wait_for(lambda: live.log.texts("info").count("GPS data resumed") == 1)
        assert g.getgps()[:2] == (8.00005, 47.00005)
        assert CODE2_LINE not in capsys.readouterr().out
        assert not [r for lv, r in live.log.records if lv == "error"]


class TestRestart:
    def test_restart_while_values_flow_shows_reset_values_not_live(self, live):
        g, pty = live()
        pty.write(nav_pvt(1))
        assert wait_for(lambda: g.flag is True)
        g.restart()
        assert g.getgps() == INITIAL and g.flag is False
        assert g.t1.is_alive()
        pty.write(nav_pvt(2))
        assert wait_for(lambda: g.flag is True)
        assert g.parsed_data.iTOW == 2 and g.getgps()[3] == 9

    @pytest.mark.parametrize("threads", [2, 4])
    def test_concurrent_restarts_and_runs_never_make_two_readers(self, live, zq, monkeypatch,
                                                                  capsys, threads):
        import threading as real_threading
        lock = real_threading.Lock()
        count = types.SimpleNamespace(now=0, most=0, started=0)
        read_errors = []

        def Thread(target):
            def counted():
                with lock:
                    count.now += 1
                    count.started += 1
                    count.most = max(count.most, count.now)
                try:
                    target()
                finally:
                    with lock:
                        count.now -= 1
            return real_threading.Thread(target=counted)

        class Watched:
            """The real reader, with every error it raises kept."""

            def __init__(self, ser):
                self.real = UBXReader(ser)

            @property
            def backlog(self):
                return self.real.backlog

            def read(self):
                try:
                    return self.real.read()
                except Exception as e:
                    read_errors.append(str(e))
                    raise

        monkeypatch.setattr(zq, "threading", types.SimpleNamespace(Thread=Thread))
        monkeypatch.setattr(zq, "UBXReader", Watched)
        pty = Pty()
        g, _ = live(pty)
        stop = real_threading.Event()

        def feed():
            seq = 0
            while not stop.is_set():
                pty.write(nav_pvt(seq))
                seq += 1
                time.sleep(0.02)

        feeder = real_threading.Thread(target=feed, daemon=True)
        feeder.start()
        assert wait_for(lambda: g.flag is True)

        def caller(i):
            for k in range(15):
                (g.restart if (i + k) % 2 == 0 else g.run)()

        callers = [real_threading.Thread(target=caller, args=(i,)) for i in range(threads)]
        try:
            for c in callers:
                c.start()
            for c in callers:
                c.join(120)
            assert not any(c.is_alive() for c in callers)
            assert count.most == 1, "two reader threads were alive at once"
            assert count.started >= 2
            assert not [e for e in read_errors if "already running" in e]
            mark = g.parsed_data.iTOW if g.parsed_data is not None else -1
            assert wait_for(lambda: g.flag is True and g.parsed_data.iTOW > mark)
        finally:
            stop.set()
            feeder.join(5)
        assert CODE2_LINE not in capsys.readouterr().out
