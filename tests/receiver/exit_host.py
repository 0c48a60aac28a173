"""A host that leaves the interpreter without stop() while receiver threads still run, for the
exit tests (test_receiver_exit.py). Prints "leaving" last; the exit status is the interpreter's.

Usage: exit_host.py ROOT PORT STARTER MOMENT DELAY
  STARTER  daemon: a daemon thread constructs the receiver (its reader inherits daemon)
           main:   the main thread constructs it, with a `threading` whose threads are daemons
  MOMENT   during: leave while the starter may still be constructing (daemon starter only)
           built:  leave once the constructor has returned
           data:   leave once the reader has stored a message (flag is True)
           lock:   no port (PORT is ignored): one daemon thread is inside restart(), held in a
                   port that never opens, and another waits for it to leave
  DELAY    seconds to wait after MOMENT before leaving, to vary where the threads are
"""
import functools
import os
import sys
import threading
import time
import types

root, port, starter, moment, delay = sys.argv[1:6]
sys.path.insert(0, root)
import zq_gps  # noqa: E402


def wait(event, what):
    if not event.wait(10):
        sys.exit("timed out waiting for " + what)


def hold_in_restart():
    """Two daemon threads in restart(): the first inside, the second waiting for it."""
    gate, inside, opening = threading.Event(), threading.Event(), [False]

    class Port:
        def __init__(self, **kwargs):
            if opening[0]:
                inside.set()
                gate.wait()

        def close(self):
            pass

    class Thread:
        def __init__(self, target):
            pass

        def start(self):
            pass

        def is_alive(self):
            return False

    zq_gps.serial = types.SimpleNamespace(Serial=Port)
    zq_gps.UBXReader = lambda ser: types.SimpleNamespace(read=lambda: (None, None))
    zq_gps.threading = types.SimpleNamespace(Thread=Thread)
    g = zq_gps.zq_gps(port="unused")
    opening[0] = True
    threading.Thread(target=g.restart, daemon=True).start()
    wait(inside, "the first restart to open its port")
    calling = threading.Event()

    def second():
        calling.set()
        g.restart()

    threading.Thread(target=second, daemon=True).start()
    # From here the second restart holds the interpreter lock until it waits for the first,
    # unless the interpreter switches threads before the call; DELAY lets it get there.
    wait(calling, "the second restart")

if moment == "lock":
    hold_in_restart()
else:
    made = []
    built = threading.Event()

    def construct():
        made.append(zq_gps.zq_gps(port=port))
        built.set()

    if starter == "daemon":
        threading.Thread(target=construct, daemon=True).start()
    else:
        zq_gps.threading = types.SimpleNamespace(
            Thread=functools.partial(threading.Thread, daemon=True))
        construct()
    if moment in ("built", "data"):
        wait(built, "the receiver to be built")
    if moment == "data":
        deadline = time.monotonic() + 10
        while made[0].flag is not True:
            if time.monotonic() > deadline:
                sys.exit("no message stored within 10 s")
            time.sleep(0.002)
time.sleep(float(delay))
print("leaving", flush=True)
