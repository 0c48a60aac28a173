"""Programs the Python surface fuzzer (fuzz/fuzz_surface.py) once broke the process with, each
replayed in a new host process on this build: it must end normally."""
import glob
import os
import subprocess

import pytest

from zq_paths import REPO, ROOT

FUZZ = os.path.join(REPO, "fuzz")
SAVED = sorted(glob.glob(os.path.join(FUZZ, "surface-regressions", "*.json")))


def test_there_are_saved_programs():
    assert SAVED


@pytest.mark.parametrize("path", SAVED, ids=os.path.basename)
def test_saved_program_ends_normally(path, tmp_path):
    env = dict(os.environ, ZQ_ROOT=ROOT)
    proc = subprocess.run(["/usr/bin/python3", os.path.join(FUZZ, "fuzz_surface.py"), "exec",
                           path], cwd=tmp_path, env=env, capture_output=True, text=True,
                          timeout=300)
    assert proc.returncode == 0, proc.stdout[-2000:] + proc.stderr[-4000:]
    assert "fuzz_surface: program ended" in proc.stdout
