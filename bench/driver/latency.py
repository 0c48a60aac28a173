"""Wire-to-host latency of the driver: from the moment a NAV-PVT frame's last byte is written to
a pseudo-terminal until getgps() shows its values, for N frames at a given rate.

    /usr/bin/python3 bench/driver/latency.py [--frames 100] [--rate 10] [--root build/root]
"""
import argparse
import os
import statistics
import sys
import tempfile
import time

# The tests' independent frame encoder: layout and checksum as the protocol notes give them.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tests"))
import ubx_helpers  # noqa: E402


def nav_pvt(lat):
    """A NAV-PVT frame with only the position, pDOP and satellite count set."""
    return ubx_helpers.nav_pvt(0, 85000000, lat, pdop=120, num_sv=9, fixType=0, flags=0)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    ap = argparse.ArgumentParser()
    ap.add_argument("--frames", type=int, default=100)
    ap.add_argument("--rate", type=float, default=10.0)
    ap.add_argument("--root", default=os.path.join(here, "..", "..", "build", "root"))
    args = ap.parse_args()

    sys.path.insert(0, os.path.abspath(args.root))
    os.environ["ROOT_PATH"] = tempfile.mkdtemp(prefix="zq-bench-")
    import zq_gps

    master, slave = os.openpty()
    gps = zq_gps.zq_gps(port=os.ttyname(slave))
    nmea = b"$GPGGA,085000.80,3454.3736,S,13836.4872,E,2,00,,28.89,M,-1.662,M,,*4D\r\n" * 4
    latencies = []
    time.sleep(0.5)  # the reader's first pass begins with its pause; measure from steady state
    try:
        for k in range(1, args.frames + 1):
            lat = 100000000 + k
            os.write(master, nmea)
            os.write(master, nav_pvt(lat))
            t0 = time.perf_counter()
            want = lat / 10000000
            deadline = t0 + 2.5
            while gps.getlat() != want and time.perf_counter() < deadline:
                time.sleep(0.0001)
            latencies.append(time.perf_counter() - t0)
            time.sleep(max(0.0, 1.0 / args.rate - latencies[-1]))
    finally:
        gps.stop()
        gps.t1.join(5)
        os.close(master)
        os.close(slave)
    ms = sorted(x * 1000 for x in latencies)
    p99 = ms[min(len(ms) - 1, int(round(0.99 * (len(ms) - 1))))]
    print("driver wire-to-getgps latency over %d frames at %g Hz: median %.2f ms, p99 %.2f ms, "
          "worst %.2f ms" % (len(ms), args.rate, statistics.median(ms), p99, ms[-1]))


if __name__ == "__main__":
    main()
