"""make demo's script: starts the simulator, runs the host program, cleans up; its lines say
whether the values are live, how old they are, and when the reader has ended."""
import json
import os
import re
import shutil
import subprocess
import threading

import pytest

from zqsim_harness import BUILD, REPO, ROOT, binary

LINE = re.compile(r"\d\d:\d\d:\d\d  (?:(?P<nodata>no data)|(?P<state>live|stale) +age +"
                  r"(?P<age>[\d.]+) s +lat +(?P<lat>-?[\d.]+) +lon +(?P<lon>-?[\d.]+) .*)"
                  r" +reader (?P<reader>alive|ended)$")


def demo(seconds, sim_args, gpsd_port="0"):
    """demo.sh started on the simulator, its output as a text stream; its gpsd protocol server
    on a free port unless told otherwise."""
    binary("zq-sim")
    if not any(f.startswith("zq_gps") and f.endswith(".so") for f in os.listdir(ROOT)):
        pytest.skip("zq_gps is not built in %s" % ROOT)
    env = dict(os.environ, ZQ_BUILD=BUILD, ROOT=ROOT, DEMO_SECONDS=str(seconds),
               SIM_ARGS=sim_args, DEMO_GPSD_PORT=gpsd_port)
    return subprocess.Popen([os.path.join(REPO, "tools", "demo.sh")], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, env=env)


def parse(text):
    if not re.match(r"\d\d:\d\d:\d\d  ", text):
        return None
    m = LINE.match(text.rstrip("\n"))
    assert m, "a demo line out of form: %r" % text
    return m


def run_demo(seconds, sim_args):
    proc = demo(seconds, sim_args)
    out, err = proc.communicate(timeout=seconds + 30)
    assert proc.returncode == 0, err
    return out, [m for m in map(parse, out.splitlines()) if m]


def test_demo_prints_live_fixes_and_stops_the_simulator():
    out, lines = run_demo(3, "--lat 10.5 --lon -20.25")
    assert len(lines) == 3
    last = lines[-1]
    assert last["state"] == "live" and float(last["age"]) < 1.5 and last["reader"] == "alive"
    assert abs(float(last["lat"]) - 10.5) < 0.01 and abs(float(last["lon"]) + 20.25) < 0.01
    assert "fix 3D ok" in last.group(0)
    sim_dir = re.search(r"simulated receiver on (\S+)/ttyGPS0", out).group(1)
    assert not os.path.exists(sim_dir), "demo.sh left the simulator's directory behind"


def test_an_unplug_shows_as_ageing_then_stale_values_never_as_a_live_fix():
    # Unplugged for 3 s once the demo has shown live values: the reader gives up on the dead
    # port, and the demo restarts it once the link is back.
    proc = demo(10, "")
    watchdog = threading.Timer(60, proc.kill)
    watchdog.start()
    try:
        out, lines, control, unplugged = [], [], None, False
        for text in proc.stdout:
            out.append(text)
            found = re.search(r"\(control: echo 'unplug 3' > (\S+)\)", text)
            control = found.group(1) if found else control
            m = parse(text)
            if m and m["state"] == "live" and not unplugged:
                with open(control, "w") as f:
                    f.write("unplug 3\n")
                unplugged = True
            if m:
                lines.append(m)
        assert proc.wait() == 0, proc.stderr.read()
    finally:
        watchdog.cancel()
    out = "".join(out)
    fixes = [m for m in lines if not m["nodata"]]
    assert fixes[0]["state"] == "live" and float(fixes[0]["age"]) < 1.5
    # The receiver moves at 12 m/s: values repeated on the next line are the same message,
    # whose age has grown by the line's second, whatever the state word says.
    for before, after in zip(fixes, fixes[1:]):
        if (before["lat"], before["lon"]) == (after["lat"], after["lon"]):
            assert float(after["age"]) >= float(before["age"]) + 0.5, (before[0], after[0])
    # The module's flag goes False at three message intervals (3 s at 1 Hz), and when the
    # reader ends: no line calls older values, or an ended reader's, live.
    for m in fixes:
        if m["state"] == "live":
            assert float(m["age"]) < 3.5 and m["reader"] == "alive", m[0]
    frozen = [i for i, m in enumerate(fixes) if m["state"] == "stale" or m["reader"] == "ended"]
    assert frozen, "no line showed the unplug:\n" + out
    assert "reader ended; restarting on" in out
    # After the restart the values are live again, and new.
    after = fixes[frozen[-1] + 1:]
    assert after and after[-1]["state"] == "live" and float(after[-1]["age"]) < 1.5
    assert after[-1]["lat"] != fixes[frozen[-1]]["lat"]


@pytest.mark.skipif(not shutil.which("gpspipe"), reason="gpsd-clients not installed")
def test_gpsd_clients_watch_the_demo_receiver_while_it_runs():
    # The demo's own line names the port; gpsd's gpspipe, started from it, sees the simulated
    # drive's fixes and its sky while the demo prints its lines.
    proc = demo(20, "--lat 10.5 --lon -20.25")
    watchdog = threading.Timer(60, proc.kill)
    watchdog.start()
    try:
        port = None
        for text in proc.stdout:
            found = re.search(r"gpspipe -w localhost:(\d+)", text)
            if found:
                port = found.group(1)
                break
        assert port, "the demo named no gpsd port"
        pipe = subprocess.run(["gpspipe", "-w", "-n", "12", "localhost:" + port],
                              capture_output=True, text=True, timeout=30)
        proc.terminate()
        proc.wait(timeout=30)
    finally:
        watchdog.cancel()
    reports = [json.loads(line) for line in pipe.stdout.splitlines() if line.startswith("{")]
    tpvs = [r for r in reports if r["class"] == "TPV" and r.get("mode") == 3]
    assert tpvs and abs(tpvs[-1]["lat"] - 10.5) < 0.01 and abs(tpvs[-1]["lon"] + 20.25) < 0.01, (
        pipe.stdout)
    skies = [r for r in reports if r["class"] == "SKY" and r.get("satellites")]
    assert skies and any(s["used"] for s in skies[-1]["satellites"]), pipe.stdout
