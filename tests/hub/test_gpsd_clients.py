"""gpsd's own clients, from Debian's packages, against the hub's gpsd server fed by the
simulated receiver: gpspipe (JSON and NMEA), python3-gps, gpxlogger and cgps (under tmux)."""
import os
import re
import shutil
import signal
import subprocess
import time
import uuid
import xml.etree.ElementTree as ET

import pytest

from gpsd_harness import rig_factory, wait_until, watch  # noqa: F401
from zq_paths import CAPTURES

NEO = os.path.join(CAPTURES, "ublox-neo-m8n.log")


def need(program):
    path = shutil.which(program)
    if not path:
        pytest.skip("%s is not installed (Debian's gpsd-clients)" % program)
    return path


def run_json(cmd, timeout=30):
    out = subprocess.run(cmd, capture_output=True, text=True, timeout=timeout)
    import json
    return [json.loads(l) for l in out.stdout.splitlines() if l.startswith("{")]


def test_gpspipe_receives_the_session_and_reports(rig_factory):
    need("gpspipe")
    # A real receiver's recording, looped: positions and satellites.
    rig = rig_factory("--replay", NEO, "--loop", "0", "--pace", "10", "--quiet")
    objs = run_json(["gpspipe", "-w", "-n", "60", "127.0.0.1:%d" % rig.port])
    classes = [o["class"] for o in objs]
    assert classes[:3] == ["VERSION", "DEVICES", "WATCH"]
    assert {"TPV", "SKY"} <= set(classes)
    fixes = [o for o in objs if o["class"] == "TPV" and o["mode"] == 3]
    assert fixes and all(o["device"] == rig.device for o in fixes)
    assert all(abs(o["lat"] + 34.9062) < 1e-3 and abs(o["lon"] - 138.6081) < 1e-3 for o in fixes)
    sky = [o for o in objs if o["class"] == "SKY"][0]
    assert sky["uSat"] == 14 and sky["nSat"] == len(sky["satellites"])


def test_gpspipe_nmea_passes_the_receivers_sentences(rig_factory):
    need("gpspipe")
    rig = rig_factory("--rate", "5", "--quiet")
    out = subprocess.run(["gpspipe", "-r", "-n", "30", "127.0.0.1:%d" % rig.port],
                         capture_output=True, timeout=30).stdout
    sentences = [l for l in out.split(b"\r\n") if l.startswith(b"$")]
    assert len(sentences) >= 10
    for s in sentences:
        body, star, ck = s[1:].partition(b"*")
        x = 0
        for c in body:
            x ^= c
        assert star and int(ck, 16) == x, s
    assert any(s[3:6] == b"RMC" for s in sentences)


def test_python3_gps_iterates_fixes_of_the_simulated_drive(rig_factory):
    gps = pytest.importorskip("gps")
    rig = rig_factory("--rate", "5", "--quiet")
    session = gps.gps(host="127.0.0.1", port=rig.port, mode=gps.WATCH_ENABLE | gps.WATCH_JSON)
    try:
        fixes = []
        deadline = time.monotonic() + 20
        while len(fixes) < 10 and time.monotonic() < deadline:
            if session.waiting(1.0):
                session.read()
                if session.data.get("class") == "TPV" and session.fix.mode == gps.MODE_3D:
                    fixes.append((session.fix.latitude, session.fix.longitude,
                                  session.fix.speed, session.fix.time))
        assert len(fixes) == 10
        assert session.version["release"] == "3.22"
        truth = {round(t["lat"], 6) for t in rig.sim.sent_pvts() if "lat" in t}
        assert sum(round(lat, 6) in truth for lat, _, _, _ in fixes) >= 8, (fixes[:3], list(truth)[:3])
        assert all(abs(speed - 12) < 1 for _, _, speed, _ in fixes)
        assert len({t for *_, t in fixes}) == 10  # one TPV per epoch, each with its own time
    finally:
        session.close()


def test_gpxlogger_writes_a_track_of_the_drive(rig_factory, tmp_path):
    need("gpxlogger")
    rig = rig_factory("--rate", "5", "--quiet")
    gpx = tmp_path / "drive.gpx"
    p = subprocess.Popen(["gpxlogger", "-e", "sockets", "-f", str(gpx),
                          "127.0.0.1:%d" % rig.port], stdout=subprocess.DEVNULL,
                         stderr=subprocess.DEVNULL)
    try:
        wait_until(lambda: gpx.exists() and gpx.read_text().count("<trkpt") >= 10, 30,
                   "ten track points")
    finally:
        p.send_signal(signal.SIGINT)
        p.wait(10)
    text = gpx.read_text()
    points = re.findall(r'<trkpt lat="([-0-9.]+)" lon="([-0-9.]+)"', text)
    assert len(points) >= 10
    lats = [float(a) for a, _ in points]
    # The simulated drive heads north-east from 47.3769, 8.5417 at 12 m/s.
    assert all(abs(lat - 47.377) < 0.05 for lat in lats)
    assert lats == sorted(lats) and lats[-1] > lats[0]
    if text.rstrip().endswith("</gpx>"):
        ET.fromstring(text)  # a closed file is well-formed XML


@pytest.fixture
def tmux():
    need("tmux")
    server = "zq-gpsd-test-%s" % uuid.uuid4().hex[:8]
    yield server
    subprocess.run(["tmux", "-L", server, "kill-server"], stderr=subprocess.DEVNULL)


def test_cgps_shows_the_fix_and_the_satellites(rig_factory, tmux):
    need("cgps")
    rig = rig_factory("--replay", NEO, "--loop", "0", "--pace", "5", "--quiet")
    subprocess.run(["tmux", "-L", tmux, "new-session", "-d", "-s", "cgps", "-x", "140", "-y",
                    "50", "cgps -s 127.0.0.1:%d" % rig.port], check=True,
                   env=dict(os.environ, TERM="xterm"))

    def screen():
        return subprocess.run(["tmux", "-L", tmux, "capture-pane", "-p", "-t", "cgps"],
                              capture_output=True, text=True).stdout

    # The fix, and the satellite list (GPS 5 was used in the recording's solution).
    text = wait_until(lambda: (lambda s: "3D DGPS FIX" in s and "34.906" in s and "138.608" in s
                               and re.search(r"GP\s+5\s.*Y", s) and s)(screen()), 30,
                      "cgps showing the fix and the satellites")
    assert re.search(r"Used\s+14", text), text
    assert "WARNING" not in text  # no release mismatch pause


def test_gpspipe_sees_the_simulated_sky(rig_factory):
    need("gpspipe")
    rig = rig_factory("--rate", "5", "--sky", "--quiet")
    objs = run_json(["gpspipe", "-w", "-n", "40", "127.0.0.1:%d" % rig.port])
    skies = [o for o in objs if o["class"] == "SKY"]
    assert len(skies) >= 2
    truth = {t["time"]: t for t in rig.sim.truth() if t.get("pvt")}
    offsets = {0: 0, 1: -87, 2: 300, 3: 400, 5: 192, 6: 64}
    for s in skies:
        # Stamped with its epoch's time; the used flags agree with the epoch's numSV.
        assert s["uSat"] == truth[s["time"]]["numSV"] == sum(x["used"] for x in s["satellites"])
        assert s["nSat"] == len(s["satellites"])
        assert len({x["gnssid"] for x in s["satellites"]}) >= 3
        for x in s["satellites"]:
            assert x["PRN"] == x["svid"] + offsets[x["gnssid"]]
            assert -90 <= x["el"] <= 90 and 0 <= x["az"] < 360
        for k in ("hdop", "vdop", "pdop", "gdop", "tdop", "xdop", "ydop"):
            assert 0 < s[k] < 20
    # TPVs after a SKY carry gpsd's error model from its DOPs.
    after = [o for o in objs[objs.index(skies[0]):] if o["class"] == "TPV" and "lat" in o]
    assert after and all("epx" in o and "epy" in o for o in after)


def test_cgps_shows_the_simulated_drive_and_sky(rig_factory, tmux):
    need("cgps")
    rig = rig_factory("--rate", "5", "--sky", "--quiet")
    subprocess.run(["tmux", "-L", tmux, "new-session", "-d", "-s", "cgps", "-x", "140", "-y",
                    "60", "cgps -s 127.0.0.1:%d" % rig.port], check=True,
                   env=dict(os.environ, TERM="xterm"))

    def screen():
        return subprocess.run(["tmux", "-L", tmux, "capture-pane", "-p", "-t", "cgps"],
                              capture_output=True, text=True).stdout

    text = wait_until(lambda: (lambda s: "3D FIX" in s and "47.37" in s and " 8.54" in s
                               and re.search(r"Used\s+[1-9]", s) and s)(screen()), 30,
                      "cgps showing the simulated fix and sky")
    used = int(re.search(r"Used\s+(\d+)", text).group(1))
    assert used == rig.sim.sent_pvts()[-1]["numSV"]
    assert re.search(r"(GA|GL|BD)\s+\d+", text), text  # more than GPS in the list
