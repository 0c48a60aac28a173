"""ubxdump on recorded streams and on a live port."""
import json
import os
import re
import struct
import subprocess

import pytest

from zqsim_harness import CAPTURES, binary, frame, run_tool, split_stream, wait_until
from zqsim_harness import sim_factory  # noqa: F401  (fixture)

NEO = os.path.join(CAPTURES, "ublox-neo-m8n.log")
F9P = os.path.join(CAPTURES, "ublox-zed-f9p-hp.log")
# One NAV-SAT repetition, as the protocol notes list it.
SAT_BLOCK = ["gnssId", "svId", "cno", "elev", "azim", "prRes", "flags", "qualityInd", "svUsed",
             "health", "diffCorr", "smoothed", "orbitSource", "ephAvail", "almAvail", "anoAvail",
             "aopAvail", "sbasCorrUsed", "rtcmCorrUsed", "slasCorrUsed", "spartnCorrUsed",
             "prCorrUsed", "crCorrUsed", "doCorrUsed", "clasCorrUsed"]


def dump(*args, **kw):
    r = run_tool([binary("ubxdump"), *args], **kw)
    assert r.returncode == 0, r.stderr
    return [json.loads(line) for line in r.stdout.splitlines()]


def dump_lines(*args):
    r = run_tool([binary("ubxdump"), *args])
    assert r.returncode == 0, r.stderr
    return r.stdout.splitlines()


def refused(*args):
    """ubxdump's one-line complaint about bad arguments; nothing may have been dumped."""
    r = run_tool([binary("ubxdump"), *args])
    assert (r.returncode, r.stdout) == (2, ""), (r.returncode, r.stdout[:200])
    lines = r.stderr.splitlines()
    assert len(lines) == 1 and lines[0].startswith("ubxdump: "), r.stderr
    return lines[0]


def known_identities():
    """The catalogue's identities, as ubxdump lists them when --only names none of them."""
    err = refused("--only", "NO-SUCH-MESSAGE", NEO)
    listed = re.search(r"known identities: ([A-Z0-9, -]+?) \(", err)
    assert listed, err
    return listed.group(1).split(", ")


def ubx_frames(path):
    """The checksum-valid UBX frames of a recording, found without the codec under test."""
    with open(path, "rb") as f:
        return [(c, i, p) for kind, c, i, p, ok in
                (x for x in split_stream(f.read()) if x[0] == "ubx") if ok]


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
        # NAV-TIMEGPS: UNKNOWN-0x01-0x20 until the catalogue holds it.
        timegps = [m for m in msgs if (m["class"], m["id"]) == (1, 0x20)]
        assert len(timegps) == 23 and all(m["length"] == 16 for m in timegps)

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
        assert len(sat["blocks"]) == n and not any("cno" in k for k in sat["fields"])
        assert all(list(b) == SAT_BLOCK for b in sat["blocks"])
        counts = {c.get("identity"): c for c in dump("--count", F9P)}
        assert counts[None]["total"] == 293
        assert counts["NAV-PVT"]["count"] == 29

    def test_missing_file_is_an_error(self):
        r = run_tool([binary("ubxdump"), "/nonexistent/stream.log"])
        assert r.returncode == 1 and "cannot open /nonexistent/stream.log" in r.stderr


class TestOnly:
    def test_a_list_selects_exactly_its_identities_in_stream_order(self):
        every = dump_lines(NEO)
        wanted = [line for line in every if json.loads(line)["identity"] in ("NAV-PVT", "NAV-SAT")]
        assert len(wanted) == 29
        assert dump_lines("--only", "NAV-PVT,NAV-SAT", NEO) == wanted
        # Repeated options add up, in any case and with blanks after the commas.
        assert dump_lines("--only", "nav-sat", "--only", "Nav-Pvt", NEO) == wanted
        assert dump_lines("--only", "NAV-SAT, NAV-PVT", NEO) == wanted
        counts = {c.get("identity"): c for c in dump("--only", "NAV-PVT", "--count",
                                                     "--only", "NAV-DOP,NAV-SAT", F9P)}
        assert {k: c.get("count") for k, c in counts.items() if k} == {
            "NAV-PVT": 29, "NAV-DOP": 29, "NAV-SAT": 3}
        assert counts[None]["total"] == 61

    def test_a_class_id_outside_the_catalogue_is_selected_by_its_printed_form(self):
        msgs = dump("--only", "unknown-0x01-0x20", NEO)
        assert len(msgs) == 23 and {(m["class"], m["id"]) for m in msgs} == {(1, 0x20)}

    @pytest.mark.parametrize("only, named", [
        ("NAV-PVT,NAV-BOGUS", '"NAV-BOGUS"'),
        ("NAVPVT", '"NAVPVT"'),
        ("UNKNOWN-0x01", '"UNKNOWN-0x01"'),
        ("NAV-PVT,", "empty identity"),
    ])
    def test_an_unknown_identity_is_refused_with_the_known_ones(self, only, named):
        err = refused("--only", "NAV-PVT", "--only", only, NEO)
        assert named in err
        listed = known_identities()
        assert listed == sorted(set(listed))
        assert {"NAV-PVT", "NAV-SAT", "MON-VER", "ACK-ACK", "CFG-CFG"} <= set(listed)
        assert ", ".join(listed) in err


class TestBlocks:
    @pytest.mark.parametrize("path", [NEO, F9P])
    def test_satellites_match_the_independent_decoder(self, path):
        sats = dump("--only", "NAV-SAT", path)
        with open(path + ".chk") as f:
            sky = [json.loads(line) for line in f if line.startswith('{"class":"SKY"')]
        assert len(sats) == len(sky) >= 3
        for m, report in zip(sats, sky):
            assert len(m["blocks"]) == m["fields"]["numSvs"] == len(report["satellites"]) >= 28
            for b, sv in zip(m["blocks"], report["satellites"]):
                assert list(b) == SAT_BLOCK
                assert (b["gnssId"], b["svId"], b["cno"]) == (sv["gnssid"], sv["svid"], sv["ss"])
                assert bool(b["flags"] & 0x08) == sv["used"] == bool(b["svUsed"])
                assert b["health"] == sv.get("health", 0) and b["qualityInd"] == b["flags"] & 7
                assert (b["elev"], b["azim"]) == (sv.get("el", b["elev"]), sv.get("az", b["azim"]))

    def test_text_groups_empty_groups_and_unknown_messages(self, tmp_path):
        ext = [b"PROTVER=18.00", b"GPS;GLO;GAL;BDS"]
        mon_ver = b"ROM CORE 3.01".ljust(30, b"\0") + b"00080000".ljust(10, b"\0") + \
            b"".join(e.ljust(30, b"\0") for e in ext)
        path = tmp_path / "frames.ubx"
        path.write_bytes(frame(0x0A, 0x04, mon_ver) + frame(0x01, 0x35, bytes(8)) +
                         frame(0x7F, 0x01, b"\x01\xfe"))
        ver, sat, other = dump(str(path))
        assert ver["fields"] == {"swVersion": "ROM CORE 3.01", "hwVersion": "00080000"}
        assert ver["blocks"] == [{"extension": e.decode()} for e in ext]
        assert sat["fields"]["numSvs"] == 0 and sat["blocks"] == []
        assert other == {"identity": "UNKNOWN-0x7F-0x01", "class": 0x7F, "id": 1, "length": 2,
                         "payload": "01fe"}


    def test_reals_are_json_numbers_that_read_back_exactly(self, tmp_path):
        # RXM-RAWX: rcvTow R8 at 0; per measurement prMes R8 at 16, doMes R4 at 32.
        head = struct.pack("<dHbBBB2x", 123456.789, 2300, 18, 2, 1, 1)
        meas = [struct.pack("<ddf", 2.1e7 + 0.1, 1.1e8, 0.1) + bytes(12),
                struct.pack("<ddf", float("nan"), 1.0, float("-inf")) + bytes(12)]
        path = tmp_path / "rawx.ubx"
        path.write_bytes(frame(0x02, 0x15, head + b"".join(meas)))
        (m,) = dump(str(path))
        assert m["fields"]["rcvTow"] == 123456.789
        first, second = m["blocks"]
        assert first["prMes"] == 2.1e7 + 0.1
        assert first["doMes"] == 0.1  # the float's shortest form, not 0.10000000149011612
        assert second["prMes"] is None and second["doMes"] is None and second["cpMes"] == 1.0

    def test_tails_text_keys_and_pairs_by_key_name(self, tmp_path):
        # Frames from the protocol notes' known answers, plus INF text, an unknown 2-byte key
        # and a VALSET whose last value is cut short.
        valset = bytes.fromhex("b562068a0a000001000001002130640051b9")
        valget = bytes.fromhex("b562068b08000000000001002130eb07")
        pairs = struct.pack("<BBBBIHI?", 0, 1, 0, 0, 0x30990001, 65535, 0x10780002, True)
        path = tmp_path / "tails.ubx"
        path.write_bytes(valset + valget + frame(0x04, 0x02, b"ANTSTATUS=OK\0junk") +
                         frame(0x06, 0x8A, pairs) + frame(0x06, 0x8A, pairs[:-2]))
        rate, poll, inf, mixed, cut = dump(str(path))
        assert rate["fields"]["cfgData"] == {"CFG-RATE-MEAS": 100}
        assert poll["fields"]["keys"] == ["CFG-RATE-MEAS"]
        assert inf["fields"] == {"str": "ANTSTATUS=OK"}
        assert mixed["fields"]["cfgData"] == {"0x30990001": 65535, "CFG-USBOUTPROT-NMEA": True}
        assert "fields" not in cut and cut["error"] and cut["payload"] == pairs[:-2].hex()

class TestWholeRecordings:
    # UNKNOWN frames when this was written: NEO 23 (01 20), F9P 203 (seven class/ids).
    @pytest.mark.parametrize("path", [NEO, F9P])
    def test_every_frame_decoded_through_the_catalogue(self, path):
        frames = ubx_frames(path)
        msgs = dump(path)
        assert [(m["class"], m["id"], m["length"]) for m in msgs] == \
            [(c, i, len(p)) for c, i, p in frames]
        known = set(known_identities())
        for m, (_c, _i, payload) in zip(msgs, frames):
            if m["identity"].startswith("UNKNOWN-"):
                assert m["identity"] == "UNKNOWN-0x%02X-0x%02X" % (m["class"], m["id"])
                assert bytes.fromhex(m["payload"]) == payload and "fields" not in m
            else:
                assert m["identity"] in known and "fields" in m and "error" not in m

    def test_zero_unknown_identities(self):
        unknown = [m["identity"] for p in (NEO, F9P) for m in dump(p)
                   if m["identity"].startswith("UNKNOWN-")]
        assert unknown == []


class TestArguments:
    @pytest.mark.parametrize("args, named", [
        (["--max", "ten"], "--max"),
        (["--max", "-1"], "--max"),
        (["--timeout", "soon"], "--timeout"),
        (["--baud", "9601"], "115200"),
        (["--bogus"], "--bogus"),
        (["-x"], "-x"),
        (["--raw=yes"], "--raw=yes"),
        ([NEO, F9P], F9P),
        (["--only"], "--only"),
    ])
    def test_bad_arguments_are_one_line_errors(self, args, named):
        assert named in refused(*args)

    def test_help_names_every_option(self):
        r = run_tool([binary("ubxdump"), "--help"])
        assert r.returncode == 0
        for opt in ("--only", "--raw", "--count", "--stats", "--max", "--timeout", "--baud",
                    "--help"):
            assert opt in r.stdout

    @pytest.mark.parametrize("args, stdout, what", [
        ([NEO], "/dev/full", "write"),
        ([CAPTURES], None, "read"),
    ])
    def test_failed_reads_and_writes_end_with_status_1(self, args, stdout, what):
        with open(stdout or os.devnull, "w") as out:
            r = subprocess.run([binary("ubxdump"), *args], stdout=out, stderr=subprocess.PIPE,
                               text=True, timeout=30)
        assert r.returncode == 1 and r.stderr.startswith("ubxdump: " + what), r.stderr


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


def nmea(body):
    check = 0
    for c in body.encode():
        check ^= c
    return ("$%s*%02X\r\n" % (body, check)).encode()


SILENCE = re.compile(r"^(\S+): no UBX frame in ([\d.]+) s(?: after (\d+) frames?)?: ([\d,]+) "
                     r"bytes?, ([\d,]+) NMEA sentences?( \(NMEA only.*\))?$")


def given_up(proc, out, err):
    """The one line ubxdump gives up with on a silent live port, as numbers."""
    assert proc.returncode == 1, (proc.returncode, err)
    lines = err.splitlines()
    assert len(lines) == 1, err
    m = SILENCE.match(lines[0])
    assert m, err
    name, secs, frames, nbytes, sentences, hint = m.groups()
    return {"name": name, "seconds": float(secs), "frames": int(frames or 0),
            "bytes": int(nbytes.replace(",", "")), "sentences": int(sentences.replace(",", "")),
            "hint": bool(hint), "bytes_text": nbytes, "out": out}


class TestLiveTimeout:
    """A live port (device or pipe) that sends no UBX frame: ubxdump says what did come and
    ends with status 1, by default after 5 s; a file never times out."""

    def dump_pipe(self, *args, chunks=(), wait_line=False):
        """ubxdump reading a pipe that stays open: CHUNKS written one after another, after the
        first each once ubxdump has printed the line of the one before when WAIT_LINE."""
        read_end, write_end = os.pipe()
        proc = subprocess.Popen([binary("ubxdump"), *args], stdin=read_end,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        os.close(read_end)
        lines = []
        try:
            for chunk in chunks:
                os.write(write_end, chunk)
                if wait_line:
                    lines.append(proc.stdout.readline())
            out, err = proc.communicate(timeout=30)
        finally:
            os.close(write_end)
            if proc.poll() is None:
                proc.kill()
        return proc, "".join(lines) + out, err

    def test_counts_the_bytes_and_sentences_of_a_pipe_without_ubx(self):
        sentences = [nmea("GPGGA,%06d.00,4722.6186,N,00832.5018,E,1,08,1.0,408.0,M,48.0,M,,"
                          % t) for t in range(20)]
        junk = bytes(range(0x80, 0xC0)) + b"$GP" + b"\x00" * 10 + b"$" + b"X" * 90 + b"\n"
        data = b"".join(sentences) + junk
        proc, out, err = self.dump_pipe("--timeout", "0.5", chunks=[data])
        seen = given_up(proc, out, err)
        assert (seen["seconds"], seen["frames"], seen["out"]) == (0.5, 0, "")
        assert seen["bytes"] == len(data) > 1000 and seen["bytes_text"] == "{:,}".format(len(data))
        # A '$' cut short by a control byte, or a line longer than NMEA allows, is no sentence.
        assert seen["sentences"] == 20 and seen["hint"]

    def test_after_frames_counts_only_what_came_since_the_last(self):
        pvt = frame(0x01, 0x07, bytes(92))
        after = nmea("GPRMC,,V,,,,,,,,,,N") * 3
        proc, out, err = self.dump_pipe("--timeout", "0.5", chunks=[pvt, after], wait_line=True)
        seen = given_up(proc, out, err)
        assert [json.loads(line)["identity"] for line in out.splitlines()] == ["NAV-PVT"]
        assert (seen["frames"], seen["bytes"], seen["sentences"], seen["hint"]) == (
            1, len(after), 3, False)

    def test_nmea_only_receiver_by_default_after_5_s(self, sim_factory):
        # A generation's factory state: NMEA only, no UBX until it is configured.
        sim = sim_factory("--generation", "9", "--rate", "5")
        r = run_tool([binary("ubxdump"), "--count", sim.link], timeout=60)
        seen = given_up(r, r.stdout, r.stderr)
        assert seen["seconds"] == 5 and seen["sentences"] > 0 and seen["bytes"] > 0
        assert seen["hint"] and seen["name"] == "ubxdump"
        # What was counted up to then is still printed.
        assert [json.loads(line) for line in r.stdout.splitlines()] == [{"total": 0}]

    def test_silent_pty(self):
        master, slave = os.openpty()
        try:
            r = run_tool([binary("ubxdump"), "--timeout", "0.3", os.ttyname(slave)])
        finally:
            os.close(master)
            os.close(slave)
        seen = given_up(r, r.stdout, r.stderr)
        assert (seen["seconds"], seen["bytes"], seen["sentences"]) == (0.3, 0, 0)

    def test_files_and_a_closed_pipe_end_without_a_time_out(self, tmp_path):
        path = tmp_path / "nmea.log"
        path.write_bytes(nmea("GPGLL,,,,,,V,N") * 50)
        r = run_tool([binary("ubxdump"), "--timeout", "0.001", str(path)])
        assert (r.returncode, r.stdout, r.stderr) == (0, "", "")
        # No limit, and one too long to wait for in milliseconds: both end with the pipe.
        for limit in ("0", "1e300"):
            r = run_tool([binary("ubxdump"), "--timeout", limit, "-"], input=path.read_text())
            assert (r.returncode, r.stdout, r.stderr) == (0, "", ""), limit
