"""The Debian package: its control fields, its files under /opt/zq_gps and outside it (the
commands on PATH, their manual pages, the udev rule, copyright and changelog), a host importing
zq_gps from the unpacked package, the tools working through links on PATH, and lintian. The
package is made with CPack from the build the suite tests (cheap: nothing is compiled);
packaging/deb.sh makes the release packages."""
import gzip
import os
import re
import shutil
import subprocess
import sys

import pytest

from test_install_tree import TOOLS, TREE, host_output
from zq_paths import BUILD, REPO

PREFIX = "opt/zq_gps"
DOCS = {"doc/README.md", "doc/API.md", "doc/tools-README.md"}
# Command on PATH -> what it runs in the tree.
COMMANDS = {"zq-sim": "tools/zq-sim", "zq-ubxdump": "tools/ubxdump",
            "zq-ubxconfig": "tools/ubxconfig", "zq-hub": "tools/zq-hub",
            "zq-demo": "tools/demo.sh"}

pytestmark = pytest.mark.skipif(not (shutil.which("cpack") and shutil.which("dpkg-deb")),
                                reason="cpack or dpkg-deb not installed")


def run(*cmd, **kw):
    return subprocess.run(cmd, check=True, capture_output=True, text=True, timeout=300, **kw).stdout


def os_release():
    fields = {}
    with open("/etc/os-release") as f:
        for line in f:
            k, _, v = line.strip().partition("=")
            fields[k] = v.strip('"')
    return fields


def system_lib():
    # Debian 12's udev rules and systemd units live in /lib, later releases' in /usr/lib.
    release = os_release().get("VERSION_ID", "")
    return "lib" if release.isdigit() and int(release) < 13 else "usr/lib"


def udev_rules_dir():
    return system_lib() + "/udev/rules.d"


@pytest.fixture(scope="module")
def deb(tmp_path_factory):
    out = tmp_path_factory.mktemp("deb")
    run("cpack", "--config", os.path.join(BUILD, "CPackConfig.cmake"), "-G", "DEB", "-B", str(out))
    debs = [f for f in os.listdir(out) if f.endswith(".deb")]
    assert len(debs) == 1, debs
    return out / debs[0]


@pytest.fixture(scope="module")
def unpacked(deb, tmp_path_factory):
    fs = tmp_path_factory.mktemp("fs")
    run("dpkg-deb", "-x", str(deb), str(fs))
    return fs


def field(deb, name):
    return run("dpkg-deb", "-f", str(deb), name).strip()


def test_control_fields(deb):
    arch = run("dpkg", "--print-architecture").strip()
    release = os_release().get("VERSION_ID", "")
    version = "1.4.0-1~deb%s" % release if release else "1.4.0-1"
    assert deb.name == "zq-gps_%s_%s.deb" % (version, arch)
    assert run("dpkg-deb", "-f", str(deb), "Package", "Version", "Architecture").split() == [
        "Package:", "zq-gps", "Version:", version, "Architecture:", arch]
    depends = [d.strip() for d in field(deb, "Depends").split(",")]
    # The modules are built for this interpreter's ABI alone.
    major, minor = sys.version_info[:2]
    assert "python3 (>= %d.%d~)" % (major, minor) in depends
    assert "python3 (<< %d.%d)" % (major, minor + 1) in depends
    names = {d.split()[0] for d in depends}
    assert {"python3-serial", "libc6", "libstdc++6"} <= names
    maintainer = field(deb, "Maintainer")
    assert re.fullmatch(r"[^<>]+ <[\w.+-]+@[\w-]+(\.[\w-]+)+>", maintainer), maintainer
    assert not re.search(r"@(localhost|[\w.-]*\.(local|localdomain|invalid|example))>", maintainer)


def test_files_are_the_tree_under_opt_and_the_system_files(deb):
    listed = [line.split()[5] for line in run("dpkg-deb", "-c", str(deb)).splitlines()]
    files = {p[2:] for p in listed if not p.endswith("/")}
    under_opt = {p[len(PREFIX) + 1:] for p in files if p.startswith(PREFIX + "/")}
    assert under_opt == TREE | TOOLS | DOCS
    assert files - {PREFIX + "/" + p for p in under_opt} == (
        {"usr/bin/" + c for c in COMMANDS}
        | {"usr/share/man/man1/%s.1.gz" % c for c in COMMANDS}
        | {"usr/share/bash-completion/completions/" + c for c in COMMANDS}
        | {"usr/share/doc/zq-gps/copyright", "usr/share/doc/zq-gps/changelog.Debian.gz",
           "usr/share/lintian/overrides/zq-gps", udev_rules_dir() + "/70-zq-gps.rules",
           system_lib() + "/systemd/system/zq-hub@.service"})


def test_commands_on_path_lead_into_the_tree(unpacked):
    for cmd, target in COMMANDS.items():
        link = unpacked / "usr" / "bin" / cmd
        if link.is_symlink():
            assert os.readlink(link) == "/" + PREFIX + "/" + target, cmd
        else:
            # A wrapper script for a tool that finds the tree from the path it is called by.
            assert ("exec /%s/%s " % (PREFIX, target)) in link.read_text(), cmd
            assert os.access(link, os.X_OK), cmd
        assert os.access(unpacked / PREFIX / target, os.X_OK), cmd
        # The page help2man made of the command's --help in this build.
        with gzip.open(unpacked / "usr/share/man/man1" / (cmd + ".1.gz"), "rt") as page:
            text = page.read()
        assert re.search(r"^\.SH NAME\n%s \\- \S" % re.escape(cmd), text, re.M), cmd
        with open(os.path.join(BUILD, "man", cmd + ".1")) as built:
            assert text == built.read(), cmd
        completion = unpacked / "usr/share/bash-completion/completions" / cmd
        assert "complete -F" in completion.read_text() and not os.access(completion, os.X_OK)


def test_python_tool_finds_the_tree_through_a_link_on_path(unpacked, tmp_path):
    # The link's own directory holds no libs/: only the link's real place leads to the tree.
    bindir = tmp_path / "bin"
    bindir.mkdir()
    os.symlink(unpacked / PREFIX / "tools" / "ubxconfig", bindir / "zq-ubxconfig")
    env = {"PATH": "%s:/usr/bin:/bin" % bindir, "PYTHONDONTWRITEBYTECODE": "1"}
    r = subprocess.run(["zq-ubxconfig", "--port", str(tmp_path / "ttyNone"), "version"],
                       cwd=tmp_path, env=env, capture_output=True, text=True, timeout=60)
    # Exit status 3: the codec imported and the tool got as far as opening the port. It calls
    # itself by the name it was called by.
    assert r.returncode == 3, r.stderr
    assert r.stderr.startswith("zq-ubxconfig: cannot open"), r.stderr
    r = subprocess.run(["zq-ubxconfig", "--version"], cwd=tmp_path, env=env, capture_output=True,
                       text=True, timeout=60)
    assert r.returncode == 0 and r.stdout == (
        "zq-ubxconfig (zq_gps) 1.4.0\ndeployment root: %s (the installed tree)\n"
        % (unpacked / PREFIX)), r.stdout + r.stderr
    # Nothing is left behind to outlive the package: no byte code beside the modules.
    assert not list((unpacked / PREFIX / "tools").rglob("__pycache__"))


def test_copyright_is_machine_readable_and_names_both_licences(unpacked):
    text = (unpacked / "usr/share/doc/zq-gps/copyright").read_text()
    assert text.startswith(
        "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n")
    paragraphs = [p for p in text.split("\n\n") if p.strip()]
    files = {re.search(r"^Files: (.*)$", p, re.M).group(1): p
             for p in paragraphs if p.startswith("Files:")}
    assert set(files) == {"*", "tests/captures/*"}
    assert "GPSD project" in files["tests/captures/*"]
    for p in files.values():
        assert re.search(r"^License: BSD-2-Clause$", p, re.M)
    # The licence text stands once, in a paragraph of its own, and is the repository's.
    (body,) = [p for p in paragraphs if p.startswith("License: BSD-2-Clause\n")]
    licence = open(os.path.join(REPO, "LICENSE")).read()
    words = lambda s: re.sub(r"[\s.]+", " ", s).strip()  # noqa: E731
    assert words(body.split("\n", 1)[1].replace("\n .\n", "\n")) in words(licence)


def test_changelog_names_this_version_and_release(deb, unpacked):
    with gzip.open(unpacked / "usr/share/doc/zq-gps/changelog.Debian.gz", "rt") as f:
        top = f.readline()
    codename = os_release().get("VERSION_CODENAME", "unstable")
    assert top.startswith("zq-gps (%s) %s; " % (field(deb, "Version"), codename)), top


@pytest.mark.skipif(not shutil.which("lintian"), reason="lintian not installed")
def test_lintian_finds_no_error_or_warning(deb):
    r = subprocess.run(["lintian", "--fail-on", "error,warning", str(deb)],
                       capture_output=True, text=True, timeout=600)
    assert r.returncode == 0, r.stdout + r.stderr
    assert not re.search(r"^[EW]: ", r.stdout, re.M), r.stdout


def test_unpacked_package_serves_a_host(unpacked, tmp_path):
    root = unpacked / PREFIX
    assert host_output(root, tmp_path) == "b5620611020008002191"
    for tool in ("zq-sim", "ubxdump"):
        r = subprocess.run([str(root / "tools" / tool), "--help"], capture_output=True, timeout=30)
        assert r.returncode == 0, (tool, r.stderr)
