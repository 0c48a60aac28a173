"""serve_gpsd() as a host calls it, and zq-hub --gpsd as a user runs it."""
import os
import signal
import socket
import subprocess
import sys

import pytest

from gpsd_harness import Client, rig_factory, watch  # noqa: F401
from zq_paths import REPO, ROOT
from zq_sim import PYTHON, sim_factory  # noqa: F401  (fixture)


def test_serve_gpsd_binds_loopback_reports_its_port_and_stops(rig_factory):
    rig = rig_factory("--rate", "5", "--quiet")
    hub = rig.hub
    assert hub.gpsd_address == ("127.0.0.1", rig.port) and hub.gpsd_port == rig.port
    c = Client(rig.port)
    c.wait_class("VERSION")
    # Replacing the server: a new port, the old one's clients closed.
    port2 = hub.serve_gpsd(port=0)
    assert port2 != rig.port and hub.gpsd_port == port2
    assert c.closed_by_peer()
    with pytest.raises(OSError):
        socket.create_connection(("127.0.0.1", rig.port), timeout=2)
    # A port in use is an OSError, and the running server is left as it was.
    with pytest.raises(OSError):
        hub.serve_gpsd(port=port2)
    assert hub.gpsd_port == port2
    for bad in ({"port": 70000}, {"port": -1}, {"max_clients": 0}, {"queue_bytes": 0},
                {"stale_after": -1.0}):
        with pytest.raises(ValueError):
            hub.serve_gpsd(**bad)
    with pytest.raises(TypeError):
        hub.serve_gpsd("127.0.0.1", "2947")
    assert hub.gpsd_stats["accepted"] == 0
    w = watch(port2)
    w.until(lambda objs: any(o.get("mode") == 3 for o in objs))
    assert hub.gpsd_stats["tpv"] >= 1 and hub.gpsd_stats["clients"] == 1
    assert hub.stop_gpsd() is True
    assert hub.gpsd_port is None and hub.gpsd_stats is None and hub.stop_gpsd() is False
    with pytest.raises(OSError):
        socket.create_connection(("127.0.0.1", port2), timeout=2)
    hub.close()
    with pytest.raises(RuntimeError):
        hub.serve_gpsd(port=0)


def test_zq_hub_command_serves_gpsd_until_sigterm(sim_factory):
    sim = sim_factory("--rate", "5", "--quiet")
    env = dict(os.environ, ROOT=ROOT, ROOT_PATH=sim.dir)
    p = subprocess.Popen([PYTHON, os.path.join(REPO, "tools", "zq-hub"), "--port", sim.link,
                          "--gpsd", "0"], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                         text=True, env=env)
    try:
        line = ""
        while "gpsd protocol on" not in line:
            line = p.stdout.readline()
            assert line, "zq-hub ended: %s" % p.stderr.read()
        host, port = line.split(" on ")[1].split(" ")[0].rsplit(":", 1)
        assert host == "127.0.0.1"
        c = watch(int(port))
        c.until(lambda objs: any(o["class"] == "TPV" and o.get("mode") == 3 for o in objs))
        assert c.of("DEVICE")[0]["path"] == sim.link
    finally:
        p.send_signal(signal.SIGTERM)
        out, err = p.communicate(timeout=20)
    assert p.returncode == 0, err


@pytest.mark.parametrize("arg,message", [("nope", "not a port"), ("1:2:x", "not a port"),
                                         ("99999", "out of range")])
def test_zq_hub_rejects_a_bad_gpsd_address(arg, message):
    r = subprocess.run([PYTHON, os.path.join(REPO, "tools", "zq-hub"), "--gpsd", arg],
                       capture_output=True, text=True, env=dict(os.environ, ROOT=ROOT))
    assert r.returncode == 2 and message in r.stderr


def test_gpsd_address_forms():
    sys.path.insert(0, os.path.join(REPO, "tools"))
    from zq_hub_cli.gpsd import parse_address
    assert parse_address("2947") == ("127.0.0.1", 2947)
    assert parse_address("0.0.0.0:3000") == ("0.0.0.0", 3000)
    assert parse_address("[::1]:3001") == ("::1", 3001)
    assert parse_address(":3002") == ("127.0.0.1", 3002)
