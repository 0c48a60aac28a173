#!/usr/bin/python3
"""Example host program: reads the receiver through zq_gps and prints one line a second.

Usage: demo_host.py [PORT]   (default /tmp/zq-sim/ttyGPS0)
Environment: ROOT or ZQ_ROOT  deployment root holding zq_gps (default: the installed tree, or
                              in the repository build/root, else build-demo/root)
             DEMO_SECONDS     how long to run, 0 = until Ctrl-C (default 10)
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


def line(g):
    lon, lat, pdop, sats, gspeed, _head_acc, head_mot = g.getgps()
    speed = "%6.2f m/s" % (gspeed / 1000.0) if gspeed != -1 else "     - m/s"
    heading = "%6.2f deg" % (head_mot / 1e5) if head_mot != -1 else "     - deg"
    alive = g.t1 is not None and g.t1.is_alive()
    return "%s  lat %12.7f  lon %12.7f  pDOP %5.2f  sats %2d  speed %s  heading %s  fix %-12s reader %s" % (
        time.strftime("%H:%M:%S"), lat, lon, pdop, sats, speed, heading, fix_text(g),
        "alive" if alive else "ended")


def main():
    port = sys.argv[1] if len(sys.argv) > 1 else "/tmp/zq-sim/ttyGPS0"
    seconds = float(os.environ.get("DEMO_SECONDS", "10"))
    if ROOT not in sys.path:
        sys.path.insert(0, ROOT)
    # The module finds its libs/ and log directory under ROOT_PATH.
    os.environ.setdefault("ROOT_PATH", ROOT)
    import zq_gps

    g = zq_gps.zq_gps(gpsmode="NAV-PVT", port=port)
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
        g.stop()
        if g.t1 is not None:
            g.t1.join(timeout=5)
    return 0


if __name__ == "__main__":
    sys.exit(main())
