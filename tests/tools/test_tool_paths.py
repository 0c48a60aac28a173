"""How the tools find their deployment root and tell their version and name: the order of the
places zq_tool looks in (an explicit root or build, the installed tree, build/root, then
build-demo/root), the version of the build that root belongs to, and every tool's --version,
usage and errors under the name it is called by."""
import importlib.util
import os
import re
import shutil
import subprocess

import pytest

from zqsim_harness import BUILD, REPO, binary

SUFFIX = ".cpython-311-x86_64-linux-gnu.so"  # any name the globs take for a built module


def project_version():
    with open(os.path.join(REPO, "CMakeLists.txt")) as f:
        return re.search(r"project\(zq_gps VERSION ([\d.]+)", f.read()).group(1)


def zq_tool_in(tools):
    """A copy of zq_tool.py placed in TOOLS and imported from there: it looks around itself."""
    os.makedirs(tools, exist_ok=True)
    shutil.copy(os.path.join(REPO, "tools", "zq_tool.py"), tools)
    spec = importlib.util.spec_from_file_location("zq_tool_%x" % abs(hash(str(tools))),
                                                  os.path.join(tools, "zq_tool.py"))
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def build(path, version=None):
    """A build at PATH as the tools see it: the codec in root/libs, VERSION in tools/."""
    os.makedirs(path / "root" / "libs", exist_ok=True)
    (path / "root" / "libs" / ("pyubx2" + SUFFIX)).write_bytes(b"")
    if version:
        os.makedirs(path / "tools", exist_ok=True)
        (path / "tools" / "VERSION").write_text(version + "\n")
    return path


class TestPlaces:
    def test_the_make_build_first_then_the_demo_build(self, tmp_path):
        zq_tool = zq_tool_in(tmp_path / "tools")
        nothing = zq_tool.locate({})
        assert (nothing.root, nothing.has_codec()) == (str(tmp_path / "build" / "root"), False)
        assert zq_tool.not_found({}) == (
            "no libs/pyubx2 in build/root or build-demo/root: run make, or make demo")
        build(tmp_path / "build-demo", "1.0.1")
        demo = zq_tool.locate({})
        assert (demo.root, demo.tools, demo.how, demo.version()) == (
            str(tmp_path / "build-demo" / "root"), str(tmp_path / "build-demo" / "tools"),
            "build-demo/root", "1.0.1")
        build(tmp_path / "build", "1.0.2")
        assert zq_tool.locate({}).how == "build/root"
        assert zq_tool.version_text("ubxconfig", zq_tool.locate({})) == (
            "ubxconfig (zq_gps) 1.0.2\ndeployment root: %s (build/root)" % (
                tmp_path / "build" / "root"))

    def test_an_explicit_root_or_build_is_taken_as_it_is(self, tmp_path):
        zq_tool = zq_tool_in(tmp_path / "tools")
        build(tmp_path / "build", "1.0.2")
        demo = build(tmp_path / "build-demo", "1.0.1")
        empty = tmp_path / "empty"
        given = zq_tool.locate({"ZQ_ROOT": str(empty), "ROOT": str(demo / "root")})
        assert (given.root, given.how, given.has_codec()) == (str(empty), "$ZQ_ROOT", False)
        assert zq_tool.not_found({"ZQ_ROOT": str(empty)}) == (
            "no libs/pyubx2 in %s ($ZQ_ROOT)" % empty)
        # A build's root has its VERSION beside it, in the build's tools/.
        root = zq_tool.locate({"ROOT": str(demo / "root")})
        assert (root.how, root.version()) == ("$ROOT", "1.0.1")
        by_build = zq_tool.locate({"ZQ_BUILD": str(demo)})
        assert (by_build.root, by_build.how, by_build.version()) == (
            str(demo / "root"), "$ZQ_BUILD", "1.0.1")
        assert zq_tool.version_text("x", zq_tool.locate({"ZQ_ROOT": str(empty)})).startswith(
            "x (zq_gps) unknown\ndeployment root: %s ($ZQ_ROOT; no codec there)" % empty)

    def test_an_installed_tree_is_its_own_root(self, tmp_path):
        opt = tmp_path / "opt" / "zq_gps"
        zq_tool = zq_tool_in(opt / "tools")
        build(tmp_path / "opt", "1.0.2")  # a build beside it is not looked at
        os.makedirs(opt / "libs")
        (opt / ("zq_gps" + SUFFIX)).write_bytes(b"")
        (opt / "libs" / ("pyubx2" + SUFFIX)).write_bytes(b"")
        (opt / "tools" / "VERSION").write_text("1.0.3\n")
        place = zq_tool.locate({})
        assert (place.root, place.tools, place.how, place.version()) == (
            str(opt), str(opt / "tools"), "the installed tree", "1.0.3")
        assert zq_tool.locate({"ZQ_ROOT": str(opt)}).version() == "1.0.3"


def program(name):
    """What runs the tool that is NAME on PATH, in this build or tree."""
    return {"zq-sim": lambda: binary("zq-sim"), "zq-ubxdump": lambda: binary("ubxdump"),
            "zq-ubxconfig": lambda: os.path.join(REPO, "tools", "ubxconfig"),
            "zq-demo": lambda: os.path.join(REPO, "tools", "demo.sh")}[name]()


@pytest.mark.parametrize("name", ["zq-sim", "zq-ubxdump", "zq-ubxconfig", "zq-demo"])
def test_version_usage_and_errors_under_the_name_called_by(name, tmp_path):
    os.symlink(program(name), tmp_path / name)
    env = dict(os.environ, ZQ_BUILD=BUILD)
    env.pop("ZQ_ROOT", None)
    env.pop("ROOT", None)

    def run(*args):
        return subprocess.run([str(tmp_path / name), *args], capture_output=True, text=True,
                              timeout=30, env=env, cwd=tmp_path)
    r = run("--version")
    assert r.returncode == 0 and r.stdout.splitlines()[0] == "%s (zq_gps) %s" % (
        name, project_version()), r.stdout + r.stderr
    r = run("--help")
    assert r.returncode == 0 and r.stdout.startswith("usage: %s " % name), r.stdout[:200]
    r = run("--no-such-option")
    assert r.returncode in (2, 4) and r.stderr.startswith("%s: " % name), r.stderr
