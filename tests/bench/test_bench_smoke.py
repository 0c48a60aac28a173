"""Every benchmark runs to its end once on a small input (bench/run.sh --smoke), so that none
rots unnoticed: a crash, a lost frame or a broken bound fails here. No figure is compared."""
import json
import os
import subprocess

import pytest

from zq_paths import BUILD, REPO, ROOT

# What each benchmark prints when it has run to its end.
BENCHES = {
    "codec": ["UBXReader.read(), messages untouched", "NAV-PVT decode + lat by name",
              "2000 of 2000 frames found"],
    "driver": ["driver wire-to-getgps latency over 10 frames at 25 Hz"],
    "live": ["decode NAV-PVT: ubxdump"],
    "soak": ["soak: figures in"],
    "throughput": ["C idle"],
}


@pytest.mark.parametrize("name", BENCHES)
def test_benchmark_runs_to_its_end(name, tmp_path):
    env = dict(os.environ, ZQ_BUILD=BUILD, ZQ_ROOT=ROOT)
    env.pop("BENCH_OUT", None)  # results go to a temporary directory of bench/run.sh's own
    if name == "soak":  # except soak's, which are read here
        env["BENCH_OUT"] = str(tmp_path / "soak.jsonl")
    r = subprocess.run([os.path.join(REPO, "bench", "run.sh"), "--smoke", name], env=env,
                       capture_output=True, text=True, timeout=120)
    assert r.returncode == 0, r.stdout[-3000:] + r.stderr[-3000:]
    for line in BENCHES[name]:
        assert line in r.stdout, r.stdout[-3000:]
    if name == "soak":
        runs = [json.loads(line) for line in open(env["BENCH_OUT"])]
        assert [run["ok"] for run in runs] == [True] * 4, runs


def test_unknown_benchmark_fails():
    r = subprocess.run([os.path.join(REPO, "bench", "run.sh"), "--smoke", "nonesuch"],
                       capture_output=True, text=True, timeout=30)
    assert r.returncode == 1 and "no benchmark nonesuch" in r.stderr
