"""The live benchmark's own machinery: the fan-out that puts one stream on several ptys and
times each NAV-PVT per output, the delivery check of the messages() run, and the counting
stand-ins of the crossings counter. Speed is never asserted here."""
import json
import os
import select
import signal
import subprocess
import sys
import threading
import time
import tty

import pytest

from ubx_helpers import frame, nav_pvt
from zq_paths import REPO

LIVE = os.path.join(REPO, "bench", "live")
sys.path.insert(0, LIVE)
import bench_live  # noqa: E402
import crossings  # noqa: E402
from fanout import PvtFinder  # noqa: E402

NMEA = b"$GPGGA,000000.00,4722.6140,N,00831.2502,E,1,09,1.5,432.0,M,48.0,M,,*5C\r\n"


def epoch(k):
    """NAV-PVT of epoch k (lat = 470000000 + k), an NMEA line, and a NAV-POSLLH-sized other."""
    return (nav_pvt(1000 * k, 85_000_000 + k, 470_000_000 + k) + NMEA
            + frame(0x01, 0x02, bytes(28)))


def stream(n):
    return b"".join(epoch(k) for k in range(n))


def pvt_ends(data):
    ends, k = [], 0
    for k in range(len(data)):
        if data[k:k + 4] == b"\xb5\x62\x01\x07":
            ends.append(k + 8 + 92)
    return ends


class TestPvtFinder:
    @pytest.mark.parametrize("chunk", [1, 7, 100, 4096])
    def test_every_nav_pvt_at_its_end_offset_whatever_the_chunks(self, chunk):
        data = b"\x00\xb5\x62noise" + stream(20)
        f = PvtFinder()
        found = []
        for i in range(0, len(data), chunk):
            found += f.feed(data[i:i + chunk])
        assert [x[0] for x in found] == pvt_ends(data)
        assert [(x[2], x[3]) for x in found] == [(470_000_000 + k, 85_000_000 + k)
                                                 for k in range(20)]
        assert [x[1] for x in found] == [1000 * k for k in range(20)]

    def test_damaged_frame_skipped_and_the_next_one_found(self):
        good = nav_pvt(5, 6, 7)
        bad = bytearray(nav_pvt(1, 2, 3))
        bad[-1] ^= 0xFF
        f = PvtFinder()
        found = f.feed(bytes(bad) + good)
        assert [(x[0], x[3]) for x in found] == [(len(bad) + len(good), 6)]


def open_fanout(tmp_path, count):
    master, slave = os.openpty()
    tty.setraw(slave)
    truth = str(tmp_path / "fan.jsonl")
    proc = subprocess.Popen(["/usr/bin/python3", os.path.join(LIVE, "fanout.py"),
                             os.ttyname(slave), str(count), truth], stdout=subprocess.PIPE,
                            text=True)
    line = proc.stdout.readline()
    assert line.startswith("READY "), line
    outs = []
    for path in line.split()[1:]:
        fd = os.open(path, os.O_RDWR | os.O_NOCTTY)
        tty.setraw(fd)
        outs.append(fd)
    return proc, master, slave, outs, truth


def read_exactly(fd, n, timeout=30):
    got = bytearray()
    deadline = time.monotonic() + timeout
    while len(got) < n and time.monotonic() < deadline:
        if select.select([fd], [], [], 0.5)[0]:
            got += os.read(fd, 65536)
    return bytes(got)


def finish(proc, master, slave, outs, truth):
    proc.send_signal(signal.SIGTERM)
    proc.wait(10)
    for fd in outs + [master, slave]:
        os.close(fd)
    with open(truth) as f:
        return [json.loads(x) for x in f]


class TestFanout:
    def test_both_outputs_get_the_stream_and_a_time_per_nav_pvt(self, tmp_path):
        proc, master, slave, outs, truth = open_fanout(tmp_path, 2)
        data = stream(50)
        t_before = time.monotonic()
        for k in range(0, len(data), 333):  # bursts of arbitrary size
            os.write(master, data[k:k + 333])
        got = [read_exactly(fd, len(data)) for fd in outs]
        lines = finish(proc, master, slave, outs, truth)
        assert got == [data, data]
        assert lines[-1] == {"dropped": [0, 0]}
        for out in (0, 1):
            mine = [x for x in lines if x.get("out") == out]
            assert [(x["lat_e7"], x["lon_e7"]) for x in mine] == [
                (470_000_000 + k, 85_000_000 + k) for k in range(50)]
            assert all(t_before <= x["t_in"] <= x["t_mono"] <= x["t_post"] for x in mine)

    def test_a_consumer_that_never_reads_loses_bytes_not_the_other(self, tmp_path):
        proc, master, slave, outs, truth = open_fanout(tmp_path, 2)
        data = stream(6000)  # about 1.2 MB: far more than the pty and the pending bound
        writer = threading.Thread(target=os.write, args=(master, data))
        writer.start()
        got = read_exactly(outs[0], len(data), timeout=60)
        writer.join(30)
        lines = finish(proc, master, slave, outs, truth)
        assert got == data
        dropped = lines[-1]["dropped"]
        assert dropped[0] == 0 and dropped[1] > 0
        late = [x for x in lines if x.get("out") == 1]
        # Only frames that went into the idle consumer's pty are timed for it.
        assert 0 < len(late) < 6000


class TestDeliveryCheck:
    def test_contiguous_in(self):
        sent = [10, 11, 12, 13, 14]
        assert bench_live.contiguous_in([11, 12, 13], sent) == 1
        assert bench_live.contiguous_in([11, 13], sent) is None  # a gap
        assert bench_live.contiguous_in([12, 11], sent) is None  # out of order
        assert bench_live.contiguous_in([12, 12], sent) is None  # twice
        assert bench_live.contiguous_in([9], sent) is None  # never sent
        assert bench_live.contiguous_in([], sent) is None


class TestCountingStandIns:
    def test_message_proxy_counts_each_crossing_and_passes_it_on(self):
        class Real:
            identity = "NAV-PVT"
            lat = 7

            def __str__(self):
                return "<real>"

        crossings.COUNT.reset()
        m = crossings.CountingMessage(Real())
        assert (m.lat, m.identity, str(m), m != None) == (7, "NAV-PVT", "<real>", True)  # noqa
        with pytest.raises(AttributeError):
            m.nothing
        counts, _ = crossings.COUNT.snapshot()
        assert counts == {"msg.lat": 1, "msg.identity": 1, "str(msg)": 1, "msg !=": 1,
                          "msg.nothing": 1}

    def test_reader_counts_reads_and_other_calls_and_accepted_messages(self):
        class Msg:
            def __init__(self, identity):
                self.identity = identity

        class Real:
            backlog = False

            def __init__(self, ser):
                self.items = [(b"a", Msg("NAV-PVT")), (b"b", None), (b"c", Msg("NAV-SAT"))]

            def read(self):
                return self.items.pop(0)

        cls = crossings.counting_reader_class(Real, "NAV-PVT")
        r = cls("port")
        crossings.COUNT.reset()
        out = [r.read() for _ in range(3)]
        assert r.backlog is False
        counts, accepted = crossings.COUNT.snapshot()
        assert accepted == 1
        assert counts == {"reader.read()": 3, "reader.backlog": 1}
        assert out[1] == (b"b", None)
        assert isinstance(out[0][1], crossings.CountingMessage)


# ---------------------------------------------------------------------------------------------
# The figures and the verdicts, from synthetic runs

IDS = ["A", "NAV-PVT", "B"]


def pvt_truth(n, t0=10.0, step=0.04):
    return [{"lat_e7": 100 + i, "lon_e7": 200 + i, "t_mono": t0 + step * i} for i in range(n)]


def listed_run(ids, first=101):
    """What messages(identities=IDS) gives: the NAV-PVTs among them with consecutive lats."""
    out, lat = [], first
    for i in ids:
        out.append((0, i, None, lat if i == "NAV-PVT" else None))
        lat += i == "NAV-PVT"
    return out


def messages_out(lats, truth, drops=(0, 0, 0), listed=None, extra=()):
    t_of = {t["lat_e7"]: t["t_mono"] for t in truth}
    accepted = [(t_of.get(la, 0) + 0.001, "NAV-PVT", None, la) for la in lats] + list(extra)
    if listed is None:
        listed = listed_run(IDS * 3)
    return {"t_start": 10.05, "t_end": 10.75, "accepted": accepted, "listed": listed,
            "dropped": drops[0], "dropped_iterator": drops[1],
            "dropped_iterator_listed": drops[2], "reader_alive": True,
            "counters": {"reader_wakeups": 0, "cpu": 0}}


class TestMessagesDelivery:
    def check(self, lats, **kw):
        truth = pvt_truth(20)
        return bench_live.delivery(messages_out(lats, truth, **kw), truth, IDS)

    def test_every_due_message_in_order_passes(self):
        r = self.check(range(101, 119))
        assert r["ok"] and r["delivered"] == 18 and r["all_due_delivered"]

    @pytest.mark.parametrize("lats", [
        [101, 102, 104, 105] + list(range(106, 119)),  # a gap
        [101, 102, 102] + list(range(103, 119)),  # one twice
        [102, 101] + list(range(103, 119)),  # out of order
    ])
    def test_a_gap_a_repeat_or_a_swap_fails(self, lats):
        r = self.check(lats)
        assert not r["in_order_no_gap"] and not r["ok"]

    def test_missing_the_first_due_message_fails(self):
        # Sent at 10.08, after the iteration began at 10.05: it had to come.
        r = self.check(range(103, 119))
        assert r["in_order_no_gap"] and not r["all_due_delivered"] and not r["ok"]

    def test_due_is_what_was_sent_from_the_start_to_half_a_second_before_the_end(self):
        # Started at 10.05, ended at 10.75: due are 102 (10.08) to 106 (10.24).
        assert self.check(range(102, 107))["ok"]
        assert not self.check(range(102, 106))["all_due_delivered"]

    @pytest.mark.parametrize("drops", [(1, 0, 0), (0, 2, 0), (0, 0, 3), (None, None, None)])
    def test_any_drop_or_no_drop_count_at_all_fails(self, drops):
        r = self.check(range(101, 119), drops=drops)
        assert not r["none_dropped"] and not r["ok"]

    def test_drop_counts_the_hub_does_not_have_are_left_out(self):
        assert self.check(range(101, 119), drops=(0, None, None))["ok"]

    def test_another_identity_among_the_accepted_fails(self):
        r = self.check(range(101, 119), extra=[(10.2, "NAV-SAT", None, None)])
        assert r["not_nav_pvt"] == 1 and not r["ok"]

    def test_listed_identities_out_of_the_epochs_order_fail(self):
        r = self.check(range(101, 119), listed=listed_run(["NAV-PVT", "B", "A", "B"]))
        assert not r["listed"]["epoch_order"] and not r["ok"]
        # It may start mid-epoch.
        assert self.check(range(101, 119), listed=listed_run(["B", "A", "NAV-PVT", "B", "A"]))["ok"]
        listed = listed_run(IDS * 3)
        listed[4] = (0, "NAV-PVT", None, 105)  # its NAV-PVTs with a gap
        r = self.check(range(101, 119), listed=listed)
        assert r["listed"]["epoch_order"] and not r["listed"]["nav_pvt_in_order_no_gap"]
        assert not r["ok"]


class TestZqHostFigures:
    def test_latency_epochs_and_the_getgps_check(self):
        truth = [dict(t, lat_e7=t["lat_e7"]) for t in pvt_truth(10, step=0.1)]
        written = {(t["lat_e7"], t["lon_e7"]): t["t_mono"] + 0.0002 for t in truth}
        seen = []
        for t in truth[1:]:
            w = written[(t["lat_e7"], t["lon_e7"])]
            shown = t["lat_e7"] if t["lat_e7"] != 105 else 104  # once, getgps() was behind
            seen.append((w + 0.0005, t["lat_e7"], t["lon_e7"], shown, w + 0.0001))
        out = {"t_start": 10.05, "t_end": 10.95, "seen": seen, "timeouts": 0,
               "reader_alive": True, "dropped": 0,
               "counters": {"cpu": 0.009, "reader_cpu": 0.004, "reader_wakeups": 9,
                            "host_wakeups": 18, "threads": {"host": (0.005, 18)}}}
        r = bench_live.ZqHost("hub").result(out, written, truth)
        assert r["epochs"] == 9 and r["samples"] == 9 and r["missed"] == 0
        assert r["p50_ms"] == pytest.approx(0.5) and r["max_ms"] == pytest.approx(0.5)
        assert r["cpu_s_per_1000_epochs"] == pytest.approx(1.0)
        assert r["reader_wakeups_per_epoch"] == 1 and r["host_wakeups_per_epoch"] == 2
        assert r["getgps_behind_wait"] == 1
        assert r["wire_to_reader"]["p50_ms"] == pytest.approx(0.1)
        assert r["reader_to_host"]["p50_ms"] == pytest.approx(0.4)

    def test_messages_written_before_the_start_are_no_samples(self):
        truth = pvt_truth(3, step=0.1)
        written = {(t["lat_e7"], t["lon_e7"]): t["t_mono"] for t in truth}
        seen = [(t["t_mono"] + 0.001, t["lat_e7"], t["lon_e7"]) for t in truth]
        out = {"t_start": 10.05, "t_end": 10.3, "seen": seen, "cpu": 0.0,
               "cpu_reader_thread": 0.0, "reader_wakeups": 2, "reader_alive": True}
        r = bench_live.ZqHost("poll").result(out, written, truth)
        assert (r["samples"], r["epochs"]) == (2, 2)


def run_of(zq, gd, **zq_extra):
    z = {"p50_ms": zq[0], "p99_ms": zq[1], "cpu_s_per_1000_epochs": zq[2],
         "getgps_behind_wait": 0, "reader_alive_at_end": True}
    z.update(zq_extra)
    return {"zq": z, "gpsd": {"p50_ms": gd[0], "p99_ms": gd[1], "cpu_s_per_1000_epochs": gd[2]}}


class TestVerdicts:
    def lines(self, runs):
        return {v["target"].split(" Hz ")[1]: v for v in bench_live.verdicts("10", runs)}

    def test_hub_bounds_are_a_quarter_half_and_a_quarter_of_gpsd(self):
        v = self.lines({"hub": run_of((0.125, 1.0, 0.25), (0.5, 2.0, 1.0))})
        assert [v[k]["ok"] for k in ("hub.wait() p50", "hub.wait() p99", "hub.wait() CPU",
                                     "hub.wait() consistency")] == [True] * 4
        v = self.lines({"hub": run_of((0.126, 1.01, 0.26), (0.5, 2.0, 1.0),
                                      getgps_behind_wait=1)})
        assert [v[k]["ok"] for k in ("hub.wait() p50", "hub.wait() p99", "hub.wait() CPU",
                                     "hub.wait() consistency")] == [False] * 4
        assert "FAIL" in v["hub.wait() p50"]["line"]

    def test_module_alone_keeps_its_targets_and_takes_cpu_from_the_cpu_run(self):
        v = self.lines({"poll": run_of((0.25, 1.0, 9.0), (0.5, 2.0, 1.0)),
                        "cpu": run_of((50.0, 90.0, 0.2), (0.5, 2.0, 0.8))})
        assert v["module alone p50"]["ok"] and v["module alone p99"]["ok"]
        assert v["module alone CPU"]["ok"] and v["module alone CPU"]["bound"] == 0.2

    def test_a_missing_figure_or_run_is_skipped_not_passed(self):
        v = self.lines({"hub": run_of((None, 1.0, 0.1), (0.5, 2.0, 1.0)),
                        "poll": {"skipped": "no wait() in this build"}})
        assert v["hub.wait() p50"]["ok"] is None and "SKIPPED" in v["hub.wait() p50"]["line"]
        skipped = [x for x in bench_live.verdicts("10", {"poll": {"skipped": "x"}})
                   if x["ok"] is None]
        assert skipped and all("SKIPPED" in x["line"] for x in skipped)

    def test_spread_counts_the_runs_that_passed(self):
        per = [{"10": bench_live.verdicts("10", {"hub": run_of((p50, 1.0, 0.1),
                                                                 (0.5, 2.0, 1.0))})}
               for p50 in (0.1, 0.2, 0.12)]
        line = [x for x in bench_live.spread(per) if "hub.wait() p50" in x][0]
        assert "PASS in 2 of 3" in line and "figure 0.1..0.2 (median 0.12)" in line


class TestThroughputMessages:
    @staticmethod
    def result(seqs, w0=4, dropped=0, dropped_it=0, others=0):
        sys.path.insert(0, os.path.join(REPO, "bench", "throughput"))
        import bench_throughput
        res = {"seqs": seqs, "writer_start": {"last_seq": w0}, "writer_end": {"last_seq": 30},
               "t_start": 0.0, "t_end": 1.0, "reader_counters_start": {},
               "reader_counters_end": {}, "dropped": dropped, "dropped_iterator": dropped_it,
               "others": others, "cpu_process": 0.0, "cpu_reader_thread": 0.0,
               "reader_alive_at_end": True}
        return bench_throughput.summarise_messages("M", 25, res)

    def test_unbroken_from_the_start_passes(self):
        assert self.result(list(range(5, 30)))["ok"]
        assert self.result(list(range(6, 30)))["ok"]  # one late registration allowed

    @pytest.mark.parametrize("kw", [
        {"seqs": [5, 6, 8, 9]}, {"seqs": [5, 6, 6, 7]}, {"seqs": list(range(7, 30))},
        {"seqs": list(range(5, 30)), "dropped_it": 1}, {"seqs": list(range(5, 30)), "others": 2},
        {"seqs": list(range(5, 30)), "dropped": None, "dropped_it": None}, {"seqs": []},
    ])
    def test_gaps_repeats_a_late_start_drops_or_strangers_fail(self, kw):
        assert not self.result(**kw)["ok"]
