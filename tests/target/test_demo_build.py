"""make demo: only the packages that build and run the demo, and a build without the tests."""
import os
import re
import shlex
import subprocess

from zq_paths import REPO

LEAN = {"g++", "cmake", "make", "python3", "python3-dev", "python3-serial"}


def deps(*args):
    r = subprocess.run([os.path.join(REPO, "scripts", "install-deps.sh"), "--list", *args],
                       capture_output=True, text=True, timeout=60, check=True)
    return set(r.stdout.split())


def test_demo_installs_the_lean_set_and_make_test_adds_the_test_toolchain():
    demo, full = deps("--demo"), deps()
    assert demo == LEAN
    assert demo < full
    extra = full - demo
    for tool in ("pytest", "hypothesis", "mypy", "gtest", "clang"):
        assert any(tool in p for p in extra), (tool, extra)


def test_demo_configures_and_builds_no_test_suite(tmp_path):
    build = tmp_path / "demo"
    plan = subprocess.run(["make", "-n", "-C", REPO, "demo", "DEMO_BUILD=%s" % build],
                          capture_output=True, text=True, timeout=60, check=True).stdout
    assert re.search(r"install-deps\.sh --demo\b", plan), plan
    assert "install-deps.sh\n" not in plan and not re.search(r"install-deps\.sh$", plan, re.M)
    (configure,) = [ln for ln in plan.splitlines() if re.search(r"cmake -S \. -B ", ln)]
    words = shlex.split(configure[configure.index("cmake -S"):])
    # Configured without GoogleTest to be found: a test suite the demo build still wanted
    # would fail here, as it would on a machine with the lean set only.
    subprocess.run(words + ["-DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON"], cwd=REPO,
                   capture_output=True, text=True, timeout=300, check=True)
    targets = subprocess.run(["cmake", "--build", str(build), "--target", "help"],
                             capture_output=True, text=True, timeout=60, check=True).stdout
    names = {m.group(1) for m in re.finditer(r"^\.\.\. (\S+)", targets, re.M)}
    assert {"zq_gps", "pyubx2", "zq-sim"} <= names
    assert not [n for n in names if n.startswith(("test_", "fuzz_")) or n in ("test", "ctest")]
