#!/usr/bin/python3
"""Example host program: reads the receiver through zq_gps and prints one line a second.

Each line says what the module knows: "live" while its `flag` is True, "stale" when the reader
has stopped getting messages (the values are the last message's), with the age of that message
(from its rx_time); "no data" before the first message after construction or restart; and
whether the reader thread is alive or has ended.

It also shares the receiver with the machine's other programs: the hub (zq_hub) serves gpsd's
protocol on 127.0.0.1 (port 2947, or a free one when that is taken), so gpsd's own clients
(cgps, gpspipe, gpxlogger) watch the same receiver while the demo runs.

Usage: demo_host.py [PORT]   (default /tmp/zq-sim/ttyGPS0)
Environment: ROOT or ZQ_ROOT  deployment root holding zq_gps (default: the installed tree, or
                              in the repository build/root, else build-demo/root)
             DEMO_SECONDS     how long to run, 0 = until Ctrl-C (default 10)
             DEMO_GPSD_PORT   the gpsd protocol's port (default 2947; 0: a free one; off:
                              none)
"""
import os
import sys
import time

# The tools' shared path finding, beside this script.
sys.path.insert(0, os.path.dirname(os.path.realpath(__file__)))
import zq_tool  # noqa: E402

ROOT = os.environ.get("ROOT") or os.environ.get("ZQ_ROOT") or zq_tool.locate().root


def fix_text(g):
    names = {0: "no fix", 1: "DR", 2: "2D", 3: "3D", 4: "GNSS+DR", 5: "time"}
    if g.fixType == -1:
        return "waiting"
    return "%s %s" % (names.get(g.fixType, str(g.fixType)), "ok" if g.gnssFixOk == 1 else "invalid")


def age_of(g):
    """Seconds since the reader took the message the values come from, or None when unknown."""
    rx_time = getattr(g.parsed_data, "rx_time", None)
    return None if rx_time is None else max(0.0, time.monotonic() - rx_time)


def line(g):
    """One line of what the module knows now: whether its values are live (`flag`), how old
    they are, the values themselves (none before the first message), and the reader's state."""
    lon, lat, pdop, sats, gspeed, _head_acc, head_mot = g.getgps()
    alive = g.t1 is not None and g.t1.is_alive()
    reader = "reader alive" if alive else "reader ended"
    now = time.strftime("%H:%M:%S")
    # Every accepted message stores its satellite count; -1 is the value of construction and
    # of restart, before any message.
    if sats == -1:
        return "%s  %-18s  %s" % (now, "no data", reader)
    age = age_of(g)
    state = "%-5s  age %s" % ("live" if g.flag else "stale",
                              "%5.1f s" % age if age is not None else "    - s")
    speed = "%6.2f m/s" % (gspeed / 1000.0) if gspeed != -1 else "     - m/s"
    heading = "%6.2f deg" % (head_mot / 1e5) if head_mot != -1 else "     - deg"
    return ("%s  %-18s  lat %12.7f  lon %12.7f  pDOP %5.2f  sats %2d  speed %s  heading %s  "
            "fix %-12s %s") % (now, state, lat, lon, pdop, sats, speed, heading, fix_text(g),
                               reader)


def share(g):
    """Serves gpsd's protocol from the receiver's hub and says how to watch it; returns the
    hub, or None when the hub is not built or the port is off."""
    wanted = os.environ.get("DEMO_GPSD_PORT", "2947")
    if wanted == "off":
        return None
    try:
        import zq_hub
    except ImportError:
        return None
    hub = zq_hub.attach(g)
    try:
        port = hub.serve_gpsd(port=int(wanted))
    except OSError:
        # gpsd itself (or another demo) holds the port.
        port = hub.serve_gpsd(port=0)
    print("gpsd clients can watch it too: cgps localhost:%d   gpspipe -w localhost:%d"
          % (port, port), flush=True)
    return hub


def main():
    port = sys.argv[1] if len(sys.argv) > 1 else "/tmp/zq-sim/ttyGPS0"
    seconds = float(os.environ.get("DEMO_SECONDS", "10"))
    if ROOT not in sys.path:
        sys.path.insert(0, ROOT)
    # The module finds its libs/ and log directory under ROOT_PATH.
    os.environ.setdefault("ROOT_PATH", ROOT)
    import zq_gps

    g = zq_gps.zq_gps(gpsmode="NAV-PVT", port=port)
    hub = share(g)
    start = time.monotonic()
    tick = 0
    try:
        while seconds == 0 or tick < seconds:
            tick += 1
            # Wake on whole seconds from the start so the lines keep their rhythm.
            time.sleep(max(0.0, start + tick - time.monotonic()))
            print(line(g), flush=True)
            alive = g.t1 is not None and g.t1.is_alive()
            if not alive and os.path.exists(port):
                # The reader gives up after a run of failed reads (device unplugged); the link
                # is back, so start a new one the way a host program would.
                print("reader ended; restarting on %s" % port, flush=True)
                g.restart()
    except KeyboardInterrupt:
        pass
    finally:
        if hub is not None:
            hub.close()
        g.stop()
        if g.t1 is not None:
            g.t1.join(timeout=5)
    return 0


if __name__ == "__main__":
    sys.exit(main())
