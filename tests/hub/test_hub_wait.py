"""What a host that waits on the hub sees, on the simulated receiver and on a pseudo-terminal
with hand-made frames: wait() after the stores, messages in order and none lost while the host
keeps up, drops counted when it falls behind, callbacks on the hub's threads, states through a
stall, and close() waking everyone."""
import os
import threading
import time

import pytest

import ubx_helpers
from ubx_helpers import frame
from zq_sim import Pty, wait_until

DEADLINE = 20  # generous: the machine is shared


def nav_pvt(seq):
    return ubx_helpers.nav_pvt(seq, 80000000 + seq, 470000000 + seq)


NAV_DOP = frame(0x01, 0x04, bytes(18))
NAV_SAT = frame(0x01, 0x35, bytes(8 + 12 * 2))
NMEA = b"$GPGGA,085000.80,3454.3736,S,13836.4872,E,2,00,,28.89,M,-1.662,M,,*4D\r\n"


class TestWait:
    def test_wait_returns_each_message_after_the_receiver_stored_it(self, hubbed):
        g, h, sim = hubbed("--rate", "25")
        for _ in range(25):
            m = h.wait(DEADLINE)
            assert m is not None and m.identity == "NAV-PVT"
            shown = g.parsed_data
            # What getgps() shows now is this message or a newer one, never an older one.
            assert shown is m or shown.iTOW > m.iTOW
            if shown is m:
                assert g.getgps()[:2] == (m.lon / 1e7, m.lat / 1e7)
            assert g.flag is True
            assert h.latest is m or h.latest.iTOW > m.iTOW

    def test_wait_gives_the_next_message_not_one_before_the_call(self, hubbed):
        g, h, sim = hubbed("--rate", "10")
        first = h.wait(DEADLINE)
        assert first is not None
        second = h.wait(DEADLINE)
        assert second.iTOW > first.iTOW
        assert second.rx_time > first.rx_time

    def test_timeout_returns_none_and_the_reader_goes_on(self, hubbed):
        g, h, sim = hubbed("--paused")
        assert h.latest is None
        assert h.wait(0.05) is None
        assert h.wait(0) is None
        assert h.wait(-1) is None
        sim.send("resume")
        assert h.wait(DEADLINE) is g.parsed_data or g.parsed_data is not None

    def test_bad_arguments(self, hubbed, zq_hub):
        g, h, sim = hubbed("--paused")
        with pytest.raises(TypeError, match="timeout must be None or a number"):
            h.wait("1")
        with pytest.raises(ValueError, match="timeout is NaN"):
            h.wait(float("nan"))
        with pytest.raises(ValueError, match="no message has the identity 'NAV-XYZ'"):
            h.messages(["NAV-PVT", "NAV-XYZ"])
        with pytest.raises(ValueError, match="no message has the identity 'UNKNOWN-0x01-0x07'"):
            h.messages("UNKNOWN-0x01-0x07")  # NAV-PVT goes by its name
        with pytest.raises(TypeError, match="an identity is a str"):
            h.messages([b"NAV-PVT"])
        with pytest.raises(TypeError, match="identities must be None, a str or an iterable"):
            h.messages(7)
        with pytest.raises(ValueError, match="names no message and states is False"):
            h.subscribe(print, [])
        with pytest.raises(ValueError, match="capacity must be 1 to"):
            h.messages(capacity=0)
        with pytest.raises(TypeError, match="callback must be callable"):
            h.subscribe(5)
        with pytest.raises(ValueError, match="since must be"):
            h.wait_state(since="dead")
        with pytest.raises(ValueError, match="unknown kind 'gps'"):
            h.frames(["gps"])
        with pytest.raises(TypeError, match="not one str"):
            h.frames("ubx")
        # an unknown message by the codec's own name for it is fine
        h.messages(["UNKNOWN-0x01-0x99"], timeout=0).close()


class TestAttach:
    def test_attach_to_what_is_not_a_receiver_is_a_type_error(self, zq_hub, zq):
        for bad in (None, 5, object(), zq, type("zq_gps", (), {})()):
            with pytest.raises(TypeError, match="attach\\(\\) takes a zq_gps receiver"):
                zq_hub.attach(bad)

    def test_attach_again_gives_the_same_hub_until_closed(self, hubbed, zq_hub):
        g, h, sim = hubbed("--paused")
        assert zq_hub.attach(g) is h
        h.close()
        h2 = zq_hub.attach(g)
        try:
            assert h2 is not h and not h2.closed
            sim.send("resume")
            assert h2.wait(DEADLINE) is not None
            assert h.wait(DEADLINE) is None  # the closed one answers at once
        finally:
            h2.close()

    def test_a_replaced_module_attribute_does_not_change_what_attach_makes(self, hubbed, zq_hub,
                                                                           monkeypatch):
        g, h, sim = hubbed("--paused")
        h.close()
        monkeypatch.setattr(zq_hub, "Hub", int)
        h2 = zq_hub.attach(g)
        assert type(h2).__name__ == "Hub"
        h2.close()


class TestMessages:
    def test_every_message_in_order_none_dropped_while_keeping_up(self, hubbed):
        g, h, sim = hubbed("--rate", "25")
        with h.messages(timeout=DEADLINE) as it:
            got = [next(it) for _ in range(60)]
            assert it.dropped == 0
        # every NAV-PVT the simulator sent in that span, in its order (it may skip an epoch of
        # its own when the machine is slow: its record says what went out)
        itows = [m.iTOW for m in got]
        sent = wait_until(lambda: [t["iTOW"] for t in sim.sent_pvts()
                                   if itows[0] <= t["iTOW"] <= itows[-1]] or None
                          if any(t["iTOW"] == itows[-1] for t in sim.sent_pvts()) else None,
                          DEADLINE, "the simulator's record")
        assert itows == sent
        assert [m.rx_time for m in got] == sorted(m.rx_time for m in got)
        assert h.dropped == 0

    def test_falling_behind_keeps_the_newest_and_counts_the_rest(self, hubbed):
        g, h, sim = hubbed("--rate", "25")
        it = h.messages(capacity=3, timeout=0.5)
        seen = [h.wait(DEADLINE) for _ in range(12)]  # twelve arrive while `it` is not read
        sim.send("pause")
        kept = list(it)  # ends on its timeout once drained and the simulator is quiet
        assert 1 <= len(kept) <= 3
        assert it.dropped >= 12 - 3 and it.dropped == h.dropped
        assert kept[-1].iTOW >= seen[-1].iTOW
        assert [m.iTOW for m in kept] == sorted(m.iTOW for m in kept)
        assert it.closed and list(it) == []

    def test_listed_identities_in_arrival_order_any_identity(self, hubbed):
        pty = Pty()
        try:
            g, h, _ = hubbed(port=pty.path)
            accepted = h.messages(timeout=DEADLINE)
            listed = h.messages(["NAV-DOP", "NAV-SAT"], timeout=DEADLINE)
            one = h.messages("NAV-SAT", timeout=DEADLINE)
            pty.write(nav_pvt(1) + NAV_DOP + NMEA + NAV_SAT + nav_pvt(2) + NAV_SAT + NAV_DOP)
            assert [m.identity for m in (next(listed) for _ in range(4))] == [
                "NAV-DOP", "NAV-SAT", "NAV-SAT", "NAV-DOP"]
            assert [next(one).identity, next(one).identity] == ["NAV-SAT", "NAV-SAT"]
            assert [next(accepted).iTOW, next(accepted).iTOW] == [1, 2]
        finally:
            g.stop()
            pty.close()

    def test_a_gpsmode_replaced_by_the_host_is_followed(self, hubbed):
        pty = Pty()
        try:
            g, h, _ = hubbed(port=pty.path)
            it = h.messages(timeout=DEADLINE)
            pty.write(nav_pvt(1))
            assert next(it).iTOW == 1
            g.gpsmode = object()  # a value no identity equals: nothing is accepted, no harm
            pty.write(nav_pvt(2) + NAV_DOP)
            assert h.wait(0.5) is None
            g.gpsmode = "NAV-PVT"
            pty.write(nav_pvt(3))
            assert next(it).iTOW == 3
        finally:
            g.stop()
            pty.close()


class TestFrames:
    def test_the_tap_gives_every_piece_as_what_it_is(self, hubbed):
        pty = Pty()
        try:
            g, h, _ = hubbed(port=pty.path)
            every = h.frames(timeout=DEADLINE)
            nmea_only = h.frames(["nmea"], timeout=DEADLINE)
            pvt = nav_pvt(5)
            pty.write(pvt + NMEA + b"\x00junk" + NAV_DOP)
            got = [next(every) for _ in range(4)]
            assert [(k, b) for k, _, b in got] == [
                ("ubx", pvt), ("nmea", NMEA), ("other", b"\x00junk"), ("ubx", NAV_DOP)]
            assert all(t <= time.monotonic() for _, t, _ in got)
            assert next(nmea_only)[::2] == ("nmea", NMEA)
            nmea_only.close()
            assert nmea_only.closed and list(nmea_only) == []
        finally:
            g.stop()
            pty.close()


class TestSubscribe:
    def test_callbacks_run_on_a_hub_thread_in_order(self, hubbed):
        g, h, sim = hubbed("--rate", "25")
        calls = []
        done = threading.Event()

        def cb(m):
            calls.append((threading.get_ident(), m.iTOW))
            if len(calls) == 20:
                done.set()

        sub = h.subscribe(cb)
        assert done.wait(DEADLINE)
        sub.cancel()
        threads = {t for t, _ in calls}
        assert len(threads) == 1
        assert threads.isdisjoint({threading.get_ident(), g.t1.ident})
        itows = [i for _, i in calls]
        assert itows == sorted(itows) and len(set(itows)) == len(itows)

    def test_a_raising_callback_is_logged_and_stays_subscribed(self, hubbed):
        g, h, sim = hubbed("--rate", "25")
        calls = []

        def cb(m):
            calls.append(m)
            raise RuntimeError("host bug %d" % len(calls))

        sub = h.subscribe(cb)
        wait_until(lambda: len(calls) >= 3, DEADLINE, "three calls")
        assert sub.active
        errors = wait_until(lambda: hubbed.log.texts("error")[:2] if len(
            hubbed.log.texts("error")) >= 2 else None, DEADLINE, "two logged errors")
        assert "RuntimeError: host bug 1" in errors[0] and "zq_hub: callback" in errors[0]
        assert "Traceback" in errors[0]
        sub.cancel()

    def test_cancel_means_no_callback_starts_after_it(self, hubbed):
        g, h, sim = hubbed("--rate", "25")
        calls = []
        sub = h.subscribe(calls.append)
        wait_until(lambda: len(calls) >= 2, DEADLINE, "two calls")
        sub.cancel()
        n = len(calls)
        for _ in range(5):
            assert h.wait(DEADLINE) is not None
        assert len(calls) == n
        assert not sub.active and sub.callback is None
        sub.cancel()  # idempotent

    def test_a_blocking_callback_delays_only_its_own_queue(self, hubbed):
        g, h, sim = hubbed("--rate", "25")
        release = threading.Event()
        blocked, free = [], []

        def slow(m):
            blocked.append(m)
            release.wait(DEADLINE)

        a = h.subscribe(slow, capacity=2)
        b = h.subscribe(free.append)
        try:
            wait_until(lambda: len(free) >= 15, DEADLINE, "the free subscriber's calls")
            assert len(blocked) == 1
            assert a.dropped >= 10 and b.dropped == 0
            assert g.flag is True and h.wait(DEADLINE) is not None  # the reader is not held up
        finally:
            release.set()
        wait_until(lambda: len(blocked) >= 3, DEADLINE, "the slow one catching up")

    def test_callbacks_may_call_the_hub_and_cancel_or_close(self, hubbed):
        g, h, sim = hubbed("--rate", "25")
        seen = []
        holder = {}

        def reentrant(m):
            nxt = h.wait(DEADLINE)  # waits on its own thread, the reader goes on
            seen.append((m.iTOW, nxt.iTOW if nxt else None, h.latest is not None, h.state))
            if len(seen) == 3:
                holder["sub"].cancel()

        holder["sub"] = h.subscribe(reentrant)
        wait_until(lambda: len(seen) >= 3 and not holder["sub"].active, DEADLINE, "cancel")
        assert all(n is not None and n > i for i, n, _, _ in seen[:3])

        closed = threading.Event()

        def closer(m):
            h.close()
            closed.set()

        h.subscribe(closer)
        assert closed.wait(DEADLINE)
        assert h.closed and h.wait(1) is None
        assert g.t1.is_alive()  # the receiver reads on

    def test_a_callback_that_stops_the_receiver(self, hubbed):
        g, h, sim = hubbed("--rate", "25")
        stopped = threading.Event()

        def stop(m):
            g.stop()
            stopped.set()

        h.subscribe(stop)
        assert stopped.wait(DEADLINE)
        assert h.wait_state(DEADLINE, since="live") == "stopped"
        g.t1.join(DEADLINE)
        assert not g.t1.is_alive()


class TestState:
    def test_stall_goes_stale_then_live_as_flag_does(self, hubbed):
        g, h, sim = hubbed("--rate", "10")
        assert h.wait(DEADLINE) is not None
        assert h.state == "live"
        changes = h.states(timeout=DEADLINE)
        calls = []
        h.subscribe(calls.append, (), states=True)
        mixed = h.messages(timeout=DEADLINE, states=True)
        sim.send("stall 3")
        assert h.wait_state(DEADLINE, since="live") == "stale"
        assert g.flag is False
        assert h.wait_state(DEADLINE, since="stale") == "live"
        assert g.flag is True
        assert [next(changes), next(changes)] == ["stale", "live"]
        wait_until(lambda: len(calls) >= 2, DEADLINE, "state callbacks")
        assert calls[:2] == ["stale", "live"]
        items = []
        while "live" not in items:
            items.append(next(mixed))
        # in order: the messages before the stall, "stale", then "live" and the first message
        assert items.index("stale") < items.index("live")
        assert all(not isinstance(x, str) for x in items[:items.index("stale")])
        assert next(mixed).identity == "NAV-PVT"

    def test_restart_and_stop_are_followed_without_attaching_again(self, hubbed):
        g, h, sim = hubbed("--rate", "10")
        first = h.wait(DEADLINE)
        assert first is not None
        reader = g.t1
        g.restart()
        m = h.wait(DEADLINE)
        assert m is not None and m is not first and h.state == "live"
        assert g.t1 is not reader and not reader.is_alive()
        assert h.wait_state(0.05) is None  # no change within the time
        assert h.wait_state(0, since="stale") == "live"  # already other than `since`
        g.stop()
        assert h.wait_state(DEADLINE, since="live") == "stopped"
        assert h.state == "stopped"

    def test_unplug_goes_stale_and_replug_resumes(self, hubbed):
        g, h, sim = hubbed("--rate", "10")
        assert h.wait(DEADLINE) is not None
        sim.send("unplug 3")
        assert h.wait_state(DEADLINE, since="live") in ("stale", "stopped")


class TestClose:
    def test_close_wakes_every_waiter_and_later_waits_return_at_once(self, hubbed):
        g, h, sim = hubbed("--paused")
        wait_until(lambda: h.state == "stale", DEADLINE, "the reader's first pass")
        results = {}
        started = threading.Barrier(6)

        def run(name, f):
            started.wait()
            results[name] = f()

        jobs = {
            "wait": lambda: h.wait(),
            "wait_state": lambda: h.wait_state(),
            "messages": lambda: list(h.messages()),
            "states": lambda: list(h.states()),
            "frames": lambda: list(h.frames()),
        }
        threads = [threading.Thread(target=run, args=kv) for kv in jobs.items()]
        for t in threads:
            t.start()
        started.wait()
        time.sleep(0.1)  # let them reach their waits; they end on close whatever their state
        h.close()
        for t in threads:
            t.join(DEADLINE)
        assert not any(t.is_alive() for t in threads)
        assert results == {"wait": None, "wait_state": None, "messages": [], "states": [],
                           "frames": []}
        assert h.state == "stopped" and h.receiver is None
        began = time.monotonic()
        assert h.wait() is None and h.wait_state() is None and list(h.messages()) == []
        assert time.monotonic() - began < DEADLINE
        assert not h.subscribe(print).active
        h.close()  # idempotent

    def test_many_threads_at_once_leave_the_reader_storing(self, hubbed):
        g, h, sim = hubbed("--rate", "25")
        stop = threading.Event()
        errors = []

        def churn(i):
            try:
                while not stop.is_set():
                    k = i % 4
                    if k == 0:
                        h.wait(0.2)
                    elif k == 1:
                        with h.messages(["NAV-PVT"], timeout=0.1, capacity=2) as it:
                            for _ in zip(range(3), it):
                                pass
                    elif k == 2:
                        s = h.subscribe(lambda m: h.latest, states=True, capacity=1)
                        h.wait_state(0.05)
                        s.cancel()
                    else:
                        with h.frames(timeout=0.1, capacity=1) as f:
                            next(f, None)
                        _ = h.dropped, h.state, h.latest
            except Exception as e:  # noqa: BLE001 - any error is the finding
                errors.append(e)

        threads = [threading.Thread(target=churn, args=(i,)) for i in range(8)]
        for t in threads:
            t.start()
        try:
            first = h.wait(DEADLINE)
            for _ in range(25):
                last = h.wait(DEADLINE)
        finally:
            stop.set()
            for t in threads:
                t.join(DEADLINE)
        assert not errors
        assert last.iTOW > first.iTOW
        assert wait_until(lambda: g.parsed_data.iTOW > last.iTOW, DEADLINE, "stores go on")
        fds = len(os.listdir("/proc/self/fd"))
        h.close()
        assert len(os.listdir("/proc/self/fd")) <= fds


class TestReaderThread:
    def test_a_wait_on_the_reader_thread_is_refused_and_the_reader_goes_on(self, hubbed, zq,
                                                                           monkeypatch):
        g, h, sim = hubbed("--rate", "25")
        outcomes = []

        class WaitingLogger:
            # the loop writes its debug record on the reader thread, once a second
            def debug(self, arg):
                for f in (lambda: h.wait(), lambda: h.wait_state(5),
                          lambda: next(h.messages(timeout=1))):
                    try:
                        f()
                        outcomes.append("returned")
                    except RuntimeError as e:
                        outcomes.append(str(e))
                assert h.wait(0) is None  # no wait at all is fine

            def info(self, arg):
                pass

            error = info

        monkeypatch.setattr(zq, "l", WaitingLogger())
        wait_until(lambda: len(outcomes) >= 6, DEADLINE, "two debug records")
        assert all("called on the receiver's reader thread" in o for o in outcomes), outcomes
        first = h.wait(DEADLINE)
        assert h.wait(DEADLINE).iTOW > first.iTOW and g.flag is True
