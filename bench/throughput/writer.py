#!/usr/bin/python3
"""Writer side of the throughput bench: sends epochs into the pty master until SIGTERM.

Usage: writer.py paced|dense MASTER_FD PROGRESS_FILE [RATE]
  paced  one epoch (ten frames) every 1/RATE s on a fixed schedule; an epoch whose turn has
         come while the pty still pushed back goes out as soon as the pty takes it
  dense  blocks of epochs back to back, as fast as the pty takes them
The master is non-blocking and the writer waits for room with poll(), so the pty's flow control
decides how far the writer gets and every write, however short, is seen at once: after each
one the shared progress record says how many whole frames and NAV-PVT epochs went out.
"""
import os
import select
import signal
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from stream import Epochs, Progress  # noqa: E402

DENSE_BLOCK = 64  # epochs per write in the dense mode (about 43 kB)


class Stop(Exception):
    pass


def on_term(signum, frame):
    raise Stop()


def main():
    mode, fd, path = sys.argv[1], int(sys.argv[2]), sys.argv[3]
    rate = float(sys.argv[4]) if len(sys.argv) > 4 else 0.0
    signal.signal(signal.SIGTERM, on_term)
    ep = Epochs()
    prog = Progress(path)
    written = 0
    t0 = time.monotonic()

    def publish():
        frames, pvts = ep.progress(written)
        prog.write(pvts - 1, frames, written, t0, rate if mode == "paced" else 0.0)

    os.set_blocking(fd, False)
    room = select.poll()
    room.register(fd, select.POLLOUT)
    publish()
    seq = 0
    try:
        while True:
            if mode == "paced":
                delay = t0 + seq / rate - time.monotonic()
                if delay > 0:
                    time.sleep(delay)
                buf = ep.epoch(seq)
                seq += 1
            else:
                buf = b"".join(ep.epoch(s) for s in range(seq, seq + DENSE_BLOCK))
                seq += DENSE_BLOCK
            view = memoryview(buf)
            while view:
                try:
                    n = os.write(fd, view)
                except BlockingIOError:
                    room.poll()
                    continue
                written += n
                view = view[n:]
                publish()
    except Stop:
        pass
    except OSError as e:
        print("writer: %s" % e, file=sys.stderr)
        return 1
    finally:
        publish()
        prog.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
