"""`cmake --install` lays out exactly the deployment tree, and a host imports from it."""
import os
import stat
import subprocess
import sysconfig

import pytest

from zq_paths import BUILD, REPO

SUFFIX = sysconfig.get_config_var("EXT_SUFFIX")
TREE = {
    "zq_gps" + SUFFIX,
    "zq_gps.pyi",
    "libs/__init__.py",
    "libs/zq_logger.py",
    "libs/pyubx2" + SUFFIX,
    "libs/pyubx2.pyi",
    "zq_hub" + SUFFIX,
    "zq_hub.pyi",
}
PROGRAMS = {"tools/zq-sim", "tools/ubxdump", "tools/ubxconfig", "tools/zq-hub", "tools/demo.sh",
            "tools/demo_host.py"}
# Beside the programs: what the Python tools import, and the version they report.
TOOLS = PROGRAMS | {"tools/VERSION", "tools/zq_tool.py"} | {
    "tools/zq_ubxconfig/%s.py" % m for m in (
        "__init__", "cli", "codec", "commands", "errors", "keys", "policy", "transport")} | {
    # zq-hub's services, one module each as they are added.
    "tools/zq_hub_cli/" + f for f in os.listdir(os.path.join(REPO, "tools", "zq_hub_cli"))
    if f.endswith(".py")}


def install(prefix, *extra):
    subprocess.run(["cmake", "--install", BUILD, "--prefix", str(prefix), *extra],
                   check=True, capture_output=True, text=True, timeout=120)


def files_under(top):
    return {os.path.relpath(os.path.join(d, f), top) for d, _, fs in os.walk(top) for f in fs}


@pytest.fixture(scope="module")
def tree(tmp_path_factory):
    prefix = tmp_path_factory.mktemp("opt") / "zq_gps"
    install(prefix)
    return prefix


def test_default_install_is_exactly_the_deployment_tree(tree):
    assert files_under(tree) == TREE


def test_tools_install_only_as_their_own_component(tmp_path):
    install(tmp_path, "--component", "tools")
    assert files_under(tmp_path) == TOOLS
    for f in TOOLS:
        assert bool(os.stat(tmp_path / f).st_mode & stat.S_IXUSR) == (f in PROGRAMS), f
    with open(tmp_path / "tools" / "VERSION") as f:
        assert f.read() == "1.4.0\n"


HOST = r"""
import os, sys
import zq_gps
from libs.pyubx2 import SET, UBXMessage
root = os.environ["ROOT_PATH"]
assert zq_gps.version == "1.4.0", zq_gps.version
for m in (zq_gps, sys.modules["libs.pyubx2"], sys.modules["libs.zq_logger"]):
    assert os.path.realpath(m.__file__).startswith(os.path.realpath(root) + os.sep), m.__file__
assert zq_gps.UBXMessage is UBXMessage
assert os.path.isfile(zq_gps.logfile) and zq_gps.logfile.startswith(os.path.join(root, "logs"))
print(UBXMessage(6, 0x11, SET, lpMode=0).serialize().hex())
"""


def host_output(root, cwd):
    """Runs HOST against the deployment tree ROOT from CWD; its last word (the power-mode frame)."""
    env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "ROOT_PATH": str(root),
           "PYTHONPATH": str(root), "PYTHONDONTWRITEBYTECODE": "1"}
    r = subprocess.run(["/usr/bin/python3", "-c", HOST], cwd=cwd, env=env,
                       capture_output=True, text=True, timeout=60)
    assert r.returncode == 0, r.stderr
    return r.stdout.split()[-1]


def test_host_imports_module_and_codec_from_the_installed_tree(tree, tmp_path):
    # Run from elsewhere: the repository's own libs/ (sources only) must not be found instead.
    assert host_output(tree, tmp_path) == "b5620611020008002191"
