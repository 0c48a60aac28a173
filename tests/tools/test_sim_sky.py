"""The sky of zq-sim --sky: NAV-SAT and NAV-DOP that agree with NAV-PVT and with the geometry
they describe, satellites that move, rates that follow the configuration, and no sky at all in
the stream of a run without it. Payloads are read at the offsets of the protocol notes."""
import math
import os
import struct
import time

import pytest

from zqsim_harness import Port, frame, valset, wait_until
from zqsim_harness import sim_factory  # noqa: F401  (fixture)

NAV_SAT, NAV_DOP, NAV_PVT, NAV_SVINFO = (1, 0x35), (1, 0x04), (1, 0x07), (1, 0x30)
SAT_USB, DOP_USB, PVT_USB = 0x20910018, 0x2091003B, 0x20910009
ACKS = {(5, 0), (5, 1)}


def frames(items, cls_id):
    return [it[3] for it in items if it[0] == "ubx" and it[4] and (it[1], it[2]) == cls_id]


def nav_sat(payload):
    """iTOW and the satellites: dicts of gnss, sv, cno, elev, azim, used, quality."""
    itow, version, n = struct.unpack_from("<IBB", payload, 0)
    assert version == 1 and len(payload) == 8 + 12 * n
    sats = []
    for i in range(n):
        gnss, sv, cno, elev, azim, _res, flags = struct.unpack_from("<BBBbhhI", payload, 8 + 12 * i)
        sats.append(dict(gnss=gnss, sv=sv, cno=cno, elev=elev, azim=azim,
                         used=bool(flags & 8), quality=flags & 7, health=(flags >> 4) & 3))
    return itow, sats


def nav_dop(payload):
    itow, *dops = struct.unpack("<I7H", payload)
    return itow, dict(zip(("g", "p", "t", "v", "h", "n", "e"), (d / 100 for d in dops)))


def pvt_by_itow(items):
    return {struct.unpack_from("<I", p, 0)[0]: p for p in frames(items, NAV_PVT)}


def geometry_dops(sats):
    """The DOPs of the used satellites' look angles, one clock: inverse of H'H by elimination."""
    m = [[0.0] * 4 for _ in range(4)]
    for s in sats:
        el, az = math.radians(s["elev"]), math.radians(s["azim"])
        row = (math.cos(el) * math.sin(az), math.cos(el) * math.cos(az), math.sin(el), 1.0)
        for i in range(4):
            for j in range(4):
                m[i][j] += row[i] * row[j]
    a = [r + [1.0 if i == j else 0.0 for j in range(4)] for i, r in enumerate(m)]
    for c in range(4):
        p = max(range(c, 4), key=lambda r: abs(a[r][c]))
        a[c], a[p] = a[p], a[c]
        d = a[c][c]
        a[c] = [v / d for v in a[c]]
        for r in range(4):
            if r != c:
                f = a[r][c]
                a[r] = [x - f * y for x, y in zip(a[r], a[c])]
    q = [a[i][4 + i] for i in range(4)]
    return dict(p=math.sqrt(q[0] + q[1] + q[2]), h=math.sqrt(q[0] + q[1]), v=math.sqrt(q[2]),
                t=math.sqrt(q[3]), g=math.sqrt(sum(q)))


class TestSky:
    def test_nav_sat_and_nav_dop_agree_with_nav_pvt_and_the_geometry(self, sim_factory):
        sim = sim_factory("--sky", "--rate", "2")
        port = Port(sim.link)
        items = port.read_until(lambda items: len(frames(items, NAV_DOP)) >= 3 and items, 6,
                                "three NAV-SAT and NAV-DOP")
        pvts = pvt_by_itow(items)
        dops = dict(nav_dop(p) for p in frames(items, NAV_DOP))
        checked = 0
        for payload in frames(items, NAV_SAT):
            itow, sats = nav_sat(payload)
            if itow not in pvts or itow not in dops:
                continue  # the first epoch's NAV-PVT may have come before the port was open
            pvt, dop = pvts[itow], dops[itow]
            used = [s for s in sats if s["used"]]
            assert pvt[23] == len(used), "numSV is not the number of satellites marked used"
            assert len({s["gnss"] for s in used}) >= 3, "fewer than three constellations used"
            assert all(0 <= s["elev"] <= 90 and 0 <= s["azim"] < 360 for s in sats)
            assert all(15 <= s["cno"] <= 55 and s["health"] == 1 for s in sats)
            assert all(s["elev"] >= 10 and s["quality"] >= 4 for s in used)
            assert struct.unpack_from("<H", pvt, 76)[0] / 100 == dop["p"]
            want = geometry_dops(used)
            for k in want:  # look angles are whole degrees on the wire
                assert abs(dop[k] - want[k]) < 0.03, (k, dop[k], want[k])
            assert abs(dop["p"] ** 2 - dop["h"] ** 2 - dop["v"] ** 2) < 0.03
            checked += 1
        assert checked >= 2
        # NMEA tells the same sky: GGA's count, and per epoch one GSA for each constellation
        # that is used (GPS, GLONASS and Galileo on the classic receiver, a u-blox 8).
        num_sv, gsa, per_epoch, ids = None, 0, [], set()
        for it in items:
            if it[0] == "ubx" and (it[1], it[2]) == NAV_PVT:
                num_sv = it[3][23]
            elif it[0] == "nmea" and num_sv is not None:
                if it[1][3:6] == b"GGA":
                    assert int(it[1].split(b",")[7]) == num_sv
                elif it[1][3:6] == b"GSA":
                    gsa += 1
                    # NMEA 4.10's system id: 1 GPS, 2 GLONASS, 3 Galileo.
                    ids.add(int(it[1].split(b"*")[0].split(b",")[18]))
                elif it[1][3:6] == b"RMC":
                    per_epoch.append(gsa)
                    gsa = 0
        assert per_epoch[1:] and set(per_epoch[1:]) == {3}, per_epoch
        assert ids == {1, 2, 3}

    def test_satellites_move_slowly_rise_and_set(self, sim_factory):
        # 600 times real speed: GPS satellites cross the sky in about half a minute.
        sim = sim_factory("--sky", "--sky-speed", "600", "--rate", "1", "--no-nmea")
        port = Port(sim.link)
        items = port.read_until(lambda items: len(frames(items, NAV_SAT)) >= 4 and items, 8,
                                "four NAV-SAT")
        skies = [nav_sat(p) for p in frames(items, NAV_SAT)]
        moved = 0
        for (t0, a), (t1, b) in zip(skies, skies[1:]):
            assert t1 - t0 == 1000
            before = {(s["gnss"], s["sv"]): s for s in a}
            for s in b:
                old = before.get((s["gnss"], s["sv"]))
                if old is None:
                    assert s["elev"] <= 6, "a satellite appeared high in the sky"
                    continue
                step = abs(s["elev"] - old["elev"]) + min(abs(s["azim"] - old["azim"]),
                                                          360 - abs(s["azim"] - old["azim"]))
                assert step <= 20 or old["elev"] > 80, "jumped %s" % ((old, s),)
                moved += step > 0
        assert moved >= 10, "the sky does not move"

    def test_rates_follow_the_configuration(self, sim_factory):
        # Generation 9 with --sky: on once a second; switched off by key, like any message.
        sim = sim_factory("--generation", "9", "--sky", "--rate", "5", "--no-nmea")
        port = Port(sim.link)
        assert port.command(valset(1, [(PVT_USB, 1)]), ACKS)[2] == 1
        port.buf = b""
        items = port.read_until(lambda items: len(frames(items, NAV_PVT)) >= 11 and items, 5,
                                "two seconds of NAV-PVT")
        assert 2 <= len(frames(items, NAV_SAT)) <= 3, "NAV-SAT not once a second at 5 Hz"
        assert port.command(valset(1, [(SAT_USB, 0)]), ACKS)[2] == 1
        port.buf = b""
        items = port.read_until(lambda items: len(frames(items, NAV_PVT)) >= 11 and items, 5,
                                "NAV-PVT")
        assert not frames(items, NAV_SAT) and frames(items, NAV_DOP)
        # Without --sky: off until configured, then as configured (every epoch).
        sim = sim_factory("--generation", "9", "--rate", "5", "--no-nmea")
        port = Port(sim.link)
        assert port.command(valset(1, [(PVT_USB, 1), (SAT_USB, 1), (DOP_USB, 1)]), ACKS)[2] == 1
        port.buf = b""
        items = port.read_until(lambda items: len(frames(items, NAV_PVT)) >= 4 and items, 3,
                                "NAV-PVT")
        assert abs(len(frames(items, NAV_SAT)) - len(frames(items, NAV_PVT))) <= 1
        itow, sats = nav_sat(frames(items, NAV_SAT)[-1])
        assert {s["gnss"] for s in sats} == {0, 6}, "the classic sky is GPS and GLONASS"

    def test_protocol_14_reports_nav_svinfo(self, sim_factory):
        sim = sim_factory("--generation", "7", "--rate", "5", "--no-nmea", "--sky")
        port = Port(sim.link)
        assert port.command(frame(6, 1, bytes((1, 0x35, 1))), ACKS)[2] == 0, \
            "NAV-SAT on a protocol 14 receiver"
        assert port.command(frame(6, 1, bytes((1, 7, 1))), ACKS)[2] == 1
        port.buf = b""
        items = port.read_until(lambda items: len(frames(items, NAV_SVINFO)) >= 2 and items, 4,
                                "NAV-SVINFO")
        payload = frames(items, NAV_SVINFO)[-1]
        n = payload[4]
        used = sum(payload[8 + 12 * i + 2] & 1 for i in range(n))
        pvt = frames(items, NAV_PVT)[-1]
        assert len(pvt) == 84 and 0 < used and not frames(items, NAV_SAT)
        svids = {payload[8 + 12 * i + 1] for i in range(n)}
        assert svids <= set(range(1, 33)) | set(range(120, 159)), "not GPS and SBAS"


class TestNoSky:
    def test_a_run_without_sky_sends_what_it_always_sent(self, sim_factory):
        sim = sim_factory("--rate", "5")
        port = Port(sim.link)
        items = port.read_until(lambda items: len(frames(items, NAV_PVT)) >= 6 and items, 3,
                                "NAV-PVT")
        ubx = {(it[1], it[2]) for it in items if it[0] == "ubx"}
        assert ubx == {NAV_PVT}
        talkers = {it[1][1:6] for it in items if it[0] == "nmea"}
        assert talkers == {b"GNRMC", b"GNVTG", b"GNGGA", b"GNGSA", b"GPGSV", b"GLGSV", b"GNGLL"}
        pvt = frames(items, NAV_PVT)[-1]
        # The fields this work touched keep their old values.
        assert (pvt[11], struct.unpack_from("<I", pvt, 12)[0], pvt[21], pvt[22], pvt[78]) == \
            (0x07, 25, 0x01, 0xE0, 0)
        gsa = [it[1] for it in items if it[0] == "nmea" and it[1][3:6] == b"GSA"]
        rmc = [it[1] for it in items if it[0] == "nmea" and it[1][3:6] == b"RMC"]
        assert len(gsa) == 2 * len(rmc)
        assert {len(g.split(b",")) for g in gsa} == {18}, "a GSA field more than before"


class TestAgainstGpsd:
    """gpsd, a decoder nobody here wrote, reads the sky: its SKY must hold what NAV-SAT and
    NAV-DOP say, consistently with each other and with NAV-PVT."""

    def test_gpsd_sees_the_constellations_used_flags_and_dops(self, sim_factory, tmp_path):
        import json
        import shutil
        import socket
        import subprocess
        if not shutil.which("gpsd") and not os.path.exists("/usr/sbin/gpsd"):
            pytest.skip("gpsd is not installed")
        # UBX alone: gpsd 3.22 builds its sky from NMEA too when it has it, and does not take
        # NMEA 4.10's GSA system id, so it would count Galileo's used satellites as GPS ones.
        sim = sim_factory("--sky", "--rate", "1", "--no-nmea")
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            port = s.getsockname()[1]
        gpsd = subprocess.Popen(["/usr/sbin/gpsd", "-N", "-b", "-n", "-S", str(port), "-F",
                                 str(tmp_path / "gpsd.sock"), sim.link],
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            def connect():
                try:
                    return socket.create_connection(("127.0.0.1", port), timeout=1)
                except OSError:
                    return None
            conn = wait_until(connect, 10, "gpsd's port")
            conn.settimeout(10)
            conn.sendall(b'?WATCH={"enable":true,"json":true}\n')
            f = conn.makefile("rb")
            skies, tpvs = [], []
            deadline = time.monotonic() + 20
            while len([k for k in skies if k.get("satellites")]) < 3:
                assert time.monotonic() < deadline, "no SKY with satellites from gpsd"
                line = f.readline()
                assert line, "gpsd closed the connection"
                msg = json.loads(line)
                if msg.get("class") == "SKY":
                    skies.append(msg)
                elif msg.get("class") == "TPV":
                    tpvs.append(msg)
            conn.close()
        finally:
            gpsd.terminate()
            gpsd.wait(5)
        sky = [k for k in skies if k.get("satellites") and "pdop" in k][-1]
        sats = sky["satellites"]
        used = [s for s in sats if s["used"]]
        prns = {s["PRN"] for s in used}
        # GPS 1-32, GLONASS 65-96, Galileo 301-336 as gpsd numbers them.
        assert prns & set(range(1, 33)) and prns & set(range(65, 97)) and \
            prns & set(range(301, 337)), prns
        assert not any(33 <= s["PRN"] <= 64 for s in used), "SBAS used in the solution"
        assert all(10 <= s["el"] <= 90 and 15 <= s["ss"] <= 55 for s in used)
        want = geometry_dops([{"elev": s["el"], "azim": s["az"]} for s in used])
        for k in ("p", "h", "v"):
            assert abs(sky[k + "dop"] - want[k]) < 0.05, (k, sky[k + "dop"], want[k])
        assert any(t.get("mode") == 3 for t in tpvs)
