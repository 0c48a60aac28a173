"""zq-hub's time feeds: chrony's SOCK refclock (--chrony PATH) and NTP shared memory
(--shm UNIT), fed one sample per navigation solution whose time deserves trust."""

NAME = "time"


def _unit(text):
    import argparse
    try:
        unit = int(text, 10)
    except ValueError:
        raise argparse.ArgumentTypeError("not a unit number: %r" % text)
    if not 0 <= unit <= 255:
        raise argparse.ArgumentTypeError("a unit is 0 to 255, not %d" % unit)
    return unit


def _nanoseconds(text):
    import argparse
    try:
        ns = int(text, 10)
    except ValueError:
        raise argparse.ArgumentTypeError("not a whole number of nanoseconds: %r" % text)
    if not 0 <= ns <= 0xFFFFFFFF:
        raise argparse.ArgumentTypeError("the bound is 0 to 4294967295 ns, not %d" % ns)
    return ns


def add_options(parser):
    g = parser.add_argument_group(
        "time feeds", "samples only from solutions with a valid, fully resolved (and, where the "
        "receiver reports it, confirmed) date and time within the accuracy bound, never while "
        "the data is stale")
    g.add_argument("--chrony", metavar="PATH",
                   help="send samples to chronyd's SOCK refclock socket PATH (chrony.conf: "
                        "refclock SOCK PATH refid GPS ...); waited for while chronyd is not there")
    g.add_argument("--shm", metavar="UNIT", type=_unit,
                   help="write samples to the NTP shared-memory segment of UNIT (key "
                        "0x4E545030+UNIT; units 0 and 1 need root, ntpd's convention)")
    g.add_argument("--time-accuracy", metavar="NS", type=_nanoseconds, default=1000000,
                   help="trust the receiver's time only while its accuracy estimate (tAcc) is at "
                        "most NS nanoseconds (default 1000000)")


def start(hub, args):
    hub.time_accuracy = args.time_accuracy * 1e-9
    if args.chrony:
        hub.serve_chrony(args.chrony)
    if args.shm is not None:
        hub.serve_shm(args.shm)
