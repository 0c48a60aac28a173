"""The README's quick start as a newcomer walks it, on a fresh clone of this tree (with its
uncommitted changes): `make demo` with a short run, then, with nothing else built, the tools
from the tree on a simulated receiver started from the demo's build: `tools/ubxconfig --port
<receiver> version`, the demo's ubxdump, and `tools/demo.sh` itself. Slow: a whole build."""
import os
import shutil
import subprocess
import sysconfig

import pytest

from zq_paths import REPO
from zq_sim import wait_until


def missing_toolchain():
    """What of the demo's toolchain is missing, or None. `make demo` would install it with apt
    (scripts/install-deps.sh --demo), which a test does not do."""
    missing = [exe for exe in ("git", "g++", "cmake", "make") if not shutil.which(exe)]
    if not os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")):
        missing.append("python3-dev (Python.h)")
    listed = subprocess.run([os.path.join(REPO, "scripts", "install-deps.sh"), "--demo",
                             "--list"], capture_output=True, text=True, timeout=60).stdout.split()
    for package in listed:
        r = subprocess.run(["dpkg-query", "-W", "-f=${Status}", package], capture_output=True,
                           text=True)
        if "install ok installed" not in r.stdout:
            missing.append(package)
    if not os.path.exists(os.path.join(REPO, ".git")):
        missing.append("a git checkout to clone (%s has none)" % REPO)
    return ", ".join(missing) or None


def fresh_clone(dest):
    """A clone of this tree at its commit, with what is changed or new in the working tree."""
    def git(*args, cwd=REPO):
        return subprocess.run(["git", *args], cwd=cwd, check=True, capture_output=True,
                              timeout=300).stdout
    head = git("rev-parse", "HEAD").decode().strip()
    git("clone", "--quiet", "--no-checkout", REPO, str(dest), cwd="/")
    git("checkout", "--quiet", "--detach", head, cwd=dest)
    changed = git("diff", "--name-only", "-z", "HEAD").split(b"\0") + git(
        "ls-files", "-z", "--others", "--exclude-standard").split(b"\0")
    for name in filter(None, (c.decode() for c in changed)):
        src, dst = os.path.join(REPO, name), os.path.join(dest, name)
        if os.path.lexists(src):
            os.makedirs(os.path.dirname(dst), exist_ok=True)
            shutil.copy2(src, dst, follow_symlinks=False)
        elif os.path.lexists(dst):
            os.remove(dst)


@pytest.mark.skipif(bool(missing_toolchain()),
                    reason="the demo's build toolchain is missing: %s" % missing_toolchain())
def test_make_demo_then_the_tools_from_the_tree(tmp_path):
    clone = tmp_path / "zq_gps"
    fresh_clone(clone)
    # A newcomer's shell: none of the variables that point the tools elsewhere.
    env = {k: v for k, v in os.environ.items()
           if k not in ("ZQ_BUILD", "ZQ_ROOT", "ROOT", "ROOT_PATH", "ZQ_PORT", "PYTHONPATH")}

    def run(*cmd, timeout=60, **extra):
        return subprocess.run(cmd, cwd=clone, env=dict(env, **extra), capture_output=True,
                              text=True, timeout=timeout)
    r = run("make", "demo", "JOBS=2", DEMO_SECONDS="2", timeout=3600)
    assert r.returncode == 0, r.stdout[-3000:] + r.stderr[-3000:]
    assert not (clone / "build").exists() and (clone / "build-demo" / "root").is_dir()

    link = tmp_path / "ttyGPS0"
    sim = subprocess.Popen([str(clone / "build-demo" / "tools" / "zq-sim"), "--link", str(link),
                            "--truth", os.devnull, "--quiet"])
    try:
        wait_until(lambda: link.is_symlink() or sim.poll() is not None, 10, "the receiver")
        assert sim.poll() is None
        r = run("tools/ubxconfig", "--port", str(link), "version")
        assert r.returncode == 0, r.stderr
        assert "generation: 8 (legacy configuration messages)" in r.stdout
        r = run("tools/ubxconfig", "--version")
        assert r.stdout.splitlines()[1] == "deployment root: %s (build-demo/root)" % (
            clone / "build-demo" / "root"), r.stdout
        r = run("build-demo/tools/ubxdump", "--only", "NAV-PVT", "--max", "1", str(link))
        assert r.returncode == 0 and r.stdout.startswith('{"identity":"NAV-PVT"'), r.stderr
        r = run("tools/demo.sh", str(link), DEMO_SECONDS="1")
        assert r.returncode == 0, r.stderr
    finally:
        sim.terminate()
        sim.wait(10)
