"""A host that leaves the interpreter with hub waiters blocked and the reader running, for
test_hub_exit.py. Prints "leaving" last; the exit status is the interpreter's.

Usage: exit_hub_host.py ROOT PORT MODE DELAY
  MODE  waiters:  daemon threads blocked in wait(), messages(), wait_state(), frames() and an
                  asyncio loop in wait_async(), plus a callback blocked for ever
        busy:     callbacks and iterations taking every message as it comes, none blocked
        sigint:   the main thread waits in wait() (PORT sends nothing) until SIGINT, which
                  must interrupt it with KeyboardInterrupt
  DELAY seconds to wait after the set-up before leaving
"""
import asyncio
import functools
import sys
import threading
import time
import types

root, port, mode, delay = sys.argv[1:5]
sys.path.insert(0, root)
import zq_gps  # noqa: E402
import zq_hub  # noqa: E402

# The reader is a daemon, as a host that means to leave without stop() makes it.
zq_gps.threading = types.SimpleNamespace(Thread=functools.partial(threading.Thread, daemon=True))
g = zq_gps.zq_gps(port=port)
h = zq_hub.attach(g)


def daemon(f, *args):
    threading.Thread(target=f, args=args, daemon=True).start()


if mode == "sigint":
    try:
        print("waiting", flush=True)  # inside: a SIGINT just after it must not end the host
        h.wait()
        print("woke without a signal")
    except KeyboardInterrupt:
        print("interrupted", flush=True)
    g.stop()
    print("leaving", flush=True)
    sys.exit(0)

if mode == "waiters":
    forever = threading.Event()
    daemon(lambda: [h.wait() for _ in iter(int, 1)])
    daemon(lambda: [None for _ in h.messages(["NAV-PVT"])])
    daemon(lambda: [h.wait_state() for _ in iter(int, 1)])
    daemon(lambda: [None for _ in h.frames()])

    async def wait_async_for_ever():
        while True:
            await h.wait_async()

    daemon(lambda: asyncio.run(wait_async_for_ever()))
    h.subscribe(lambda m: forever.wait())
    h.subscribe(lambda s: None, (), states=True)
elif mode == "busy":
    seen = []
    h.subscribe(seen.append)
    h.subscribe(lambda m: h.latest, ["NAV-PVT"], states=True)
    daemon(lambda: [seen.append(m) for m in h.messages()])
    if h.wait(10) is None:
        sys.exit("no message within 10 s")
time.sleep(float(delay))
print("leaving", flush=True)
