"""ubxdump on recorded streams and on a live port."""
import json
import os
import subprocess

from zqsim_harness import CAPTURES, binary, run_tool, wait_until
from zqsim_harness import sim_factory  # noqa: F401  (fixture)

NEO = os.path.join(CAPTURES, "ublox-neo-m8n.log")
F9P = os.path.join(CAPTURES, "ublox-zed-f9p-hp.log")


def dump(*args, **kw):
    r = run_tool([binary("ubxdump"), *args], **kw)
    assert r.returncode == 0, r.stderr
    return [json.loads(line) for line in r.stdout.splitlines()]


def oracle_fixes(chk):
    """lat/lon of the TPV reports in the independent decoder's output, in order, deduplicated."""
    seen = []
    with open(chk) as f:
        for line in f:
            if line.startswith('{"class":"TPV"') and '"lat"' in line:
                tpv = json.loads(line)
                fix = (tpv["time"], round(tpv["lat"], 7), round(tpv["lon"], 7))
                if not seen or seen[-1] != fix:
                    seen.append(fix)
    return seen


class TestRecorded:
    def test_every_frame_of_the_neo_capture(self):
        msgs = dump(NEO)
        assert len(msgs) == 52
        names = [m["identity"] for m in msgs]
        assert names.count("NAV-PVT") == 24 and names.count("NAV-SAT") == 5
        assert names.count("UNKNOWN-0x01-0x20") == 23
        unknown = next(m for m in msgs if m["id"] == 0x20)
        assert unknown["class"] == 1 and len(unknown["payload"]) == 2 * unknown["length"] == 32

    def test_positions_match_the_independent_decoder(self):
        pvts = [m["fields"] for m in dump("--only", "NAV-PVT", NEO)]
        ours = [(round(p["lat"] / 1e7, 7), round(p["lon"] / 1e7, 7)) for p in pvts]
        theirs = [(lat, lon) for _t, lat, lon in oracle_fixes(NEO + ".chk")]
        assert ours[:len(theirs)] == theirs[:len(ours)] and len(theirs) >= 20
        assert all(p["fixType"] == 3 and p["gnssFixOk"] == 1 for p in pvts)

    def test_repeated_blocks_and_counts(self):
        sat = next(m for m in dump("--only", "NAV-SAT", NEO))
        n = sat["fields"]["numSvs"]
        assert sat["length"] == 8 + 12 * n
        assert "cno_%02d" % n in sat["fields"] and "cno_%02d" % (n + 1) not in sat["fields"]
        counts = {c.get("identity"): c for c in dump("--count", F9P)}
        assert counts[None]["total"] == 293
        assert counts["NAV-PVT"]["count"] == 29

    def test_missing_file_is_an_error(self):
        r = run_tool([binary("ubxdump"), "/nonexistent/stream.log"])
        assert r.returncode == 1 and "cannot open /nonexistent/stream.log" in r.stderr


def test_live_port_with_noise(sim_factory):
    sim = sim_factory("--rate", "25", "--noise", "30", "--paused")
    proc = subprocess.Popen([binary("ubxdump"), "--only", "NAV-PVT", "--max", "10",
                             "--timeout", "5", sim.link], stdout=subprocess.PIPE, text=True)
    # The stream starts only once ubxdump holds the port, so its open flushes nothing.
    target = os.readlink(sim.link)
    wait_until(lambda: any(os.path.realpath("/proc/%d/fd/%s" % (proc.pid, fd)) == target
                           for fd in os.listdir("/proc/%d/fd" % proc.pid)), 5, "ubxdump's open")
    sim.send("resume")
    out, _ = proc.communicate(timeout=10)
    assert proc.returncode == 0
    msgs = [json.loads(line) for line in out.splitlines()]
    assert len(msgs) == 10
    # The simulator writes an epoch's truth line just after the epoch itself: ubxdump can be
    # done with the tenth message first.
    itows = {m["fields"]["iTOW"] for m in msgs}
    truth = wait_until(lambda: (lambda t: t if itows <= t.keys() else None)(
        {t["iTOW"]: t for t in sim.truth() if t["sent"]}), 5, "the truth of the dumped epochs")
    for m in msgs:
        f = m["fields"]
        assert (f["lat"], f["lon"]) == (truth[f["iTOW"]]["lat_e7"], truth[f["iTOW"]]["lon_e7"])
