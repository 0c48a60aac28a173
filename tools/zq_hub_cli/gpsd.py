"""zq-hub's gpsd protocol server: --gpsd [HOST:]PORT serves gpsd's clients (cgps, gpspipe,
gpxlogger, python3-gps, Home Assistant) on that address; a bare PORT binds 127.0.0.1."""
import argparse

NAME = "gpsd"


def parse_address(text):
    """[HOST:]PORT -> (host, port); a bare PORT is on 127.0.0.1, "[::1]:PORT" is IPv6."""
    host, sep, port = text.rpartition(":")
    if not sep:
        host = "127.0.0.1"
    if host.startswith("[") and host.endswith("]"):
        host = host[1:-1]
    if not host:
        host = "127.0.0.1"
    try:
        number = int(port, 10)
    except ValueError:
        raise argparse.ArgumentTypeError("not a port: %r (use [HOST:]PORT)" % text)
    if not 0 <= number <= 65535:
        raise argparse.ArgumentTypeError("port out of range: %d" % number)
    return host, number


def add_options(parser):
    g = parser.add_argument_group("gpsd protocol server")
    g.add_argument("--gpsd", metavar="[HOST:]PORT", type=parse_address,
                   help="serve gpsd's JSON protocol (cgps, gpspipe, gpxlogger, python3-gps) on "
                        "HOST:PORT; a bare PORT binds 127.0.0.1, 0 picks a free port")
    g.add_argument("--gpsd-max-clients", metavar="N", type=int, default=64,
                   help="connections served at once (default 64)")


def start(hub, args):
    if args.gpsd is None:
        return
    host, port = args.gpsd
    if args.gpsd_max_clients < 1:
        raise ValueError("--gpsd-max-clients must be at least 1")
    bound = hub.serve_gpsd(host, port, max_clients=args.gpsd_max_clients)
    print("zq-hub: gpsd protocol on %s:%d (cgps %s:%d, gpspipe -w %s:%d)"
          % (host, bound, host, bound, host, bound), flush=True)
