"""zq-hub as a user runs it: it keeps the receiver reading through an unplug (restarting the
reader that gave up), stops on SIGINT as on SIGTERM, and tells its version and tree."""
import os
import signal
import subprocess

from gpsd_harness import watch
from zq_paths import REPO, ROOT
from zq_sim import PYTHON, sim_factory  # noqa: F401  (fixture)

ZQ_HUB = os.path.join(REPO, "tools", "zq-hub")


def start_hub(sim, *args):
    env = dict(os.environ, ROOT=ROOT, ROOT_PATH=sim.dir)
    p = subprocess.Popen([PYTHON, ZQ_HUB, "--port", sim.link, "--gpsd", "0", *args],
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env)
    line = ""
    while "gpsd protocol on" not in line:
        line = p.stdout.readline()
        assert line, "zq-hub ended: %s" % p.stderr.read()
    return p, int(line.split(" on ")[1].split(" ")[0].rsplit(":", 1)[1])


def fixes(objs):
    return [o for o in objs if o["class"] == "TPV" and o.get("mode") == 3]


def test_an_unplug_ends_the_reader_and_zq_hub_restarts_it_once_the_device_is_back(sim_factory):
    sim = sim_factory("--rate", "5", "--quiet")
    p, port = start_hub(sim)
    try:
        c = watch(port)
        c.until(lambda objs: fixes(objs), what="a first fix")
        # Unplugged for 4 s: the reader's run of failed reads (about 2.5 s) ends it before the
        # device comes back, so only a restart brings the fixes back.
        sim.send("unplug 4")
        c.until(lambda objs: any(o["class"] == "TPV" and o.get("mode") == 1 for o in objs),
                timeout=20, what="no fix while unplugged")
        seen = len(c.objects)
        c.until(lambda objs: fixes(objs[seen:]), timeout=30, what="fixes after the replug")
    finally:
        p.send_signal(signal.SIGINT)
        out, err = p.communicate(timeout=20)
    assert p.returncode == 0, err
    # The module reported the reader's end itself; zq-hub adds no error of its own.
    assert "Error-Code: 0002" in out + err
    assert "Traceback" not in err, err


def test_version_names_the_tree_it_runs_from():
    r = subprocess.run([PYTHON, ZQ_HUB, "--version"], capture_output=True, text=True,
                       env=dict(os.environ, ZQ_ROOT=ROOT))
    assert r.returncode == 0, r.stderr
    first, second = r.stdout.splitlines()
    assert first == "zq-hub (zq_gps) 1.4.0"
    assert second.startswith("deployment root: %s" % ROOT)
