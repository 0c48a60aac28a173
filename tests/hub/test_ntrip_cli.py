"""zq-hub's corrections options as a user runs them: --sourcetable, --ntrip with the password
from the environment, refusals that name no secret, SIGTERM ending it cleanly."""
import os
import signal
import subprocess
import sys

import pytest

from rtcm3_helpers import capture_frames
from zq_paths import REPO, ROOT

HUB = os.path.join(REPO, "tools", "zq-hub")
SECRET = "s3cr:et@"
QUOTED = "s3cr%3Aet%40"
sys.path.insert(0, os.path.join(REPO, "tools"))
from zq_hub_cli import ntrip as cli  # noqa: E402


def run(*args, env=None, timeout=60):
    return subprocess.run(["/usr/bin/python3", HUB, *args], capture_output=True, text=True,
                          timeout=timeout, env=dict(os.environ, ROOT=ROOT, **(env or {})))


def test_password_from_the_environment_only_where_the_url_has_none():
    env = {cli.PASSWORD_ENV: SECRET}
    assert cli.with_password("ntrip://bob@h:2101/M", env) == "ntrip://bob:%s@h:2101/M" % QUOTED
    assert cli.with_password("bob@h/M", env) == "bob:%s@h/M" % QUOTED
    for url in ("ntrip://bob:given@h/M", "ntrip://h/M"):
        assert cli.with_password(url, env) == url
    assert cli.with_password("ntrip://bob@h/M", {}) == "ntrip://bob@h/M"


@pytest.mark.parametrize("version, first", [("2", "GET / HTTP/1.1"), ("1", "GET / HTTP/1.0")])
def test_sourcetable_lists_mountpoints_without_opening_a_port(caster, version, first):
    c = caster("v2")
    r = run("--port", "/nonexistent/tty", "--ntrip-version", version,
            "--sourcetable", c.url(mount=""))
    assert r.returncode == 0, r.stderr
    lines = r.stdout.splitlines()
    assert lines[0].split()[:3] == ["MOUNT", "FORMAT", "SYSTEMS"]
    assert lines[1].split()[0] == "TEST" and "yes" in lines[1].split()  # it wants GGA
    assert lines[-1] == "2 mountpoints, 2 other records"
    assert c.requests[0][0].split("\r\n")[0] == first


def test_refusals_exit_3_and_name_no_secret(tmp_path):
    r = run("--sourcetable", "ntrip://bob:%s@127.0.0.1:1/" % QUOTED)
    assert r.returncode == 3 and "cannot connect" in r.stderr
    assert QUOTED not in r.stderr + r.stdout and SECRET not in r.stderr + r.stdout
    master, slave = os.openpty()
    try:
        r = run("--port", os.ttyname(slave), "--ntrip", "ntrip://bob:%s@127.0.0.1:2101" % QUOTED)
    finally:
        os.close(master)
        os.close(slave)
    assert r.returncode == 3 and "mountpoint" in r.stderr
    assert QUOTED not in r.stderr and SECRET not in r.stderr


def test_ntrip_feeds_the_port_until_sigterm(caster):
    frames = capture_frames()
    want = b"".join(frames)
    c = caster("v2", user="bob", password=SECRET)
    master, slave = os.openpty()
    proc = subprocess.Popen(["/usr/bin/python3", HUB, "--port", os.ttyname(slave), "--ntrip",
                             "ntrip://bob@127.0.0.1:%d/TEST" % c.port, "--gga-interval", "0"],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            env=dict(os.environ, ROOT=ROOT, **{cli.PASSWORD_ENV: SECRET}))
    got = b""
    try:
        import select
        import time
        deadline = time.monotonic() + 30
        while len(got) < len(want) and time.monotonic() < deadline:
            r, _, _ = select.select([master], [], [], 0.5)
            if r:
                got += os.read(master, 65536)
        proc.send_signal(signal.SIGTERM)
        out, err = proc.communicate(timeout=30)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
        os.close(master)
        os.close(slave)
    assert got == want
    assert proc.returncode == 0, err
    assert "ntrip: connected: HTTP/1.1 200 OK (chunked)" in err
    assert SECRET not in err and QUOTED not in err and "bob" not in err
