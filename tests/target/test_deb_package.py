"""The Debian package: its control fields, its files under /opt/zq_gps, and a host importing
zq_gps from the unpacked package. The package is made with CPack from the build the suite
tests (cheap: nothing is compiled); packaging/deb.sh makes the release packages."""
import os
import shutil
import subprocess

import pytest

from test_install_tree import TOOLS, TREE, host_output
from zq_paths import BUILD

PREFIX = "opt/zq_gps"
DOCS = {"doc/README.md", "doc/API.md", "doc/tools-README.md"}

pytestmark = pytest.mark.skipif(not (shutil.which("cpack") and shutil.which("dpkg-deb")),
                                reason="cpack or dpkg-deb not installed")


def run(*cmd, **kw):
    return subprocess.run(cmd, check=True, capture_output=True, text=True, timeout=300, **kw).stdout


@pytest.fixture(scope="module")
def deb(tmp_path_factory):
    out = tmp_path_factory.mktemp("deb")
    run("cpack", "--config", os.path.join(BUILD, "CPackConfig.cmake"), "-G", "DEB", "-B", str(out))
    debs = [f for f in os.listdir(out) if f.endswith(".deb")]
    assert len(debs) == 1, debs
    return out / debs[0]


def test_control_fields(deb):
    arch = run("dpkg", "--print-architecture").strip()
    assert deb.name == "zq-gps_1.4.0_%s.deb" % arch
    assert run("dpkg-deb", "-f", str(deb), "Package", "Version", "Architecture").split() == [
        "Package:", "zq-gps", "Version:", "1.4.0", "Architecture:", arch]
    depends = [d.strip().split()[0] for d in run("dpkg-deb", "-f", str(deb), "Depends").split(",")]
    assert {"python3", "python3-serial"} <= set(depends)


def test_files_are_the_tree_tools_and_docs_under_opt(deb):
    listed = [line.split()[-1] for line in run("dpkg-deb", "-c", str(deb)).splitlines()]
    files = {p[len("./" + PREFIX) + 1:] for p in listed if not p.endswith("/")}
    assert all(p.startswith("./" + PREFIX + "/") or p in ("./opt/", "./" + PREFIX + "/")
               for p in listed), listed
    assert files == TREE | TOOLS | DOCS


def test_unpacked_package_serves_a_host(deb, tmp_path):
    unpacked = tmp_path / "fs"
    run("dpkg-deb", "-x", str(deb), str(unpacked))
    root = unpacked / PREFIX
    assert host_output(root, tmp_path) == "b5620611020008002191"
    for tool in ("zq-sim", "ubxdump"):
        r = subprocess.run([str(root / "tools" / tool), "--help"], capture_output=True, timeout=30)
        assert r.returncode == 0, (tool, r.stderr)
