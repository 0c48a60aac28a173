"""make demo's script: starts the simulator, runs the host program, cleans up."""
import os
import re
import subprocess

import pytest

from zqsim_harness import BUILD, REPO, ROOT, binary


def test_demo_prints_live_fixes_and_stops_the_simulator():
    binary("zq-sim")
    if not any(f.startswith("zq_gps") and f.endswith(".so") for f in os.listdir(ROOT)):
        pytest.skip("zq_gps is not built in %s" % ROOT)
    env = dict(os.environ, ZQ_BUILD=BUILD, ROOT=ROOT, DEMO_SECONDS="3",
               SIM_ARGS="--lat 10.5 --lon -20.25")
    r = subprocess.run([os.path.join(REPO, "tools", "demo.sh")], capture_output=True, text=True,
                       timeout=30, env=env)
    assert r.returncode == 0, r.stderr
    lines = [ln for ln in r.stdout.splitlines() if re.match(r"\d\d:\d\d:\d\d  lat", ln)]
    assert len(lines) == 3
    last = lines[-1]
    lat = float(re.search(r"lat +(-?[\d.]+)", last).group(1))
    lon = float(re.search(r"lon +(-?[\d.]+)", last).group(1))
    assert abs(lat - 10.5) < 0.01 and abs(lon + 20.25) < 0.01
    assert "fix 3D ok" in last and "reader alive" in last
    sim_dir = re.search(r"simulated receiver on (\S+)/ttyGPS0", r.stdout).group(1)
    assert not os.path.exists(sim_dir), "demo.sh left the simulator's directory behind"
