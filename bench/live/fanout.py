#!/usr/bin/python3
"""One simulated receiver stream to several consumers: reads the simulator's device and writes
every byte, as it comes, into N pseudo-terminals of its own, so zq_gps and gpsd read the same
stream at the same time.

Usage: fanout.py SOURCE_DEVICE N TRUTH_FILE
Prints "READY <slave path 0> ... <slave path N-1>" once the outputs exist. For every NAV-PVT
frame (valid checksum) and every output it appends one JSON line to TRUTH_FILE once the
frame's last byte went into that output:
  {"out": i, "iTOW": .., "lat_e7": .., "lon_e7": .., "t_in": <read from the source>,
   "t_mono": <just before the write that carried it>, "t_post": <just after>}
(CLOCK_MONOTONIC). The time is taken before the write: a consumer woken by the write may take
the CPU from the fan-out at once (wake-up preemption) and run for a long while before the
fan-out could read the clock again, so a time taken after the write can come after the
consumer already had the message. Taken before, it errs by the few microseconds of the write,
against the consumer.
The outputs take turns at being written first, chunk by chunk, so neither consumer is served
ahead of the other. An output whose consumer does not read holds at most MAX_PENDING bytes;
beyond that the oldest pending chunk is dropped and counted (a line {"dropped": ...} at exit).
Whatever a consumer writes to its device is read and discarded. Ends on SIGTERM or SIGINT.
"""
import json
import os
import select
import signal
import struct
import sys
import time
import tty

# The tests' UBX helpers hold the one Fletcher checksum the Python side uses.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tests"))
from ubx_helpers import fletcher  # noqa: E402

MAX_PENDING = 256 * 1024
PVT_HEAD = b"\xb5\x62\x01\x07"


class PvtFinder:
    """Finds NAV-PVT frames in a byte stream fed in chunks; returns (end offset in the stream,
    iTOW, lat_e7, lon_e7) for every whole frame with a good checksum."""

    def __init__(self):
        self.buf = bytearray()
        self.base = 0  # stream offset of buf[0]

    def feed(self, data):
        self.buf += data
        found = []
        while True:
            i = self.buf.find(PVT_HEAD)
            if i < 0:
                keep = len(PVT_HEAD) - 1
                if len(self.buf) > keep:
                    self.base += len(self.buf) - keep
                    del self.buf[:len(self.buf) - keep]
                return found
            if i:
                self.base += i
                del self.buf[:i]
            if len(self.buf) < 6:
                return found
            n = struct.unpack_from("<H", self.buf, 4)[0]
            if n < 84 or n > 200:
                self.base += 1
                del self.buf[:1]
                continue
            if len(self.buf) < 8 + n:
                return found
            frame = bytes(self.buf[:8 + n])
            if fletcher(frame[2:6 + n]) == frame[6 + n:8 + n]:
                itow, lon, lat = (struct.unpack_from("<I", frame, 6)[0],
                                  struct.unpack_from("<i", frame, 6 + 24)[0],
                                  struct.unpack_from("<i", frame, 6 + 28)[0])
                found.append((self.base + 8 + n, itow, lat, lon))
                self.base += 8 + n
                del self.buf[:8 + n]
            else:
                self.base += 1
                del self.buf[:1]


class Output:
    def __init__(self, index):
        self.index = index
        self.master, self.slave = os.openpty()
        tty.setraw(self.slave)
        self.path = os.ttyname(self.slave)
        os.set_blocking(self.master, False)
        self.pending = []  # [stream offset of the chunk's first byte, memoryview]
        self.written = 0  # stream offset up to which this output has been written
        self.dropped = 0

    def queue(self, offset, data):
        """Queues a chunk; True when older chunks had to be dropped for it."""
        self.pending.append([offset, memoryview(data)])
        dropped = False
        while sum(len(p[1]) for p in self.pending) > MAX_PENDING and len(self.pending) > 1:
            off, view = self.pending.pop(0)
            self.dropped += len(view)
            self.written = self.pending[0][0]
            dropped = True
        return dropped

    def flush(self):
        """Writes what is pending; returns (offset written up to, clock just before the write,
        clock just after it) for each write."""
        writes = []
        while self.pending:
            off, view = self.pending[0]
            t_pre = time.monotonic()
            try:
                n = os.write(self.master, view)
            except BlockingIOError:
                break
            writes.append((off + n, t_pre, time.monotonic()))
            self.written = off + n
            if n == len(view):
                self.pending.pop(0)
            else:
                self.pending[0] = [off + n, view[n:]]
                break
        return writes


class Stop(Exception):
    pass


STOP = []


def on_signal(signum, frame):
    # Noted only: the loop ends at its next turn (the wake-up pipe ends its poll), so no truth
    # line is cut off half written.
    STOP.append(signum)


def main():
    source, count, truth_path = sys.argv[1], int(sys.argv[2]), sys.argv[3]
    wake_r, wake_w = os.pipe()
    os.set_blocking(wake_w, False)
    signal.set_wakeup_fd(wake_w)
    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGINT, on_signal)
    src = os.open(source, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    try:
        tty.setraw(src)
    except OSError:
        pass
    outs = [Output(i) for i in range(count)]
    truth = open(truth_path, "w")
    finder = PvtFinder()
    marks = []  # per output: [(end offset, iTOW, lat, lon, t_in)] not yet written there
    for _ in outs:
        marks.append([])
    offset = 0
    turn = 0
    poller = select.poll()
    poller.register(src, select.POLLIN)
    poller.register(wake_r, select.POLLIN)
    for o in outs:
        poller.register(o.master, select.POLLIN)
    by_fd = {o.master: o for o in outs}
    print("READY " + " ".join(o.path for o in outs), flush=True)

    def report(o, writes):
        m = marks[o.index]
        for upto, t_pre, t_post in writes:
            while m and m[0][0] <= upto:
                end, itow, lat, lon, t_in = m.pop(0)
                truth.write(json.dumps({"out": o.index, "iTOW": itow, "lat_e7": lat,
                                        "lon_e7": lon, "t_in": t_in, "t_mono": t_pre,
                                        "t_post": t_post}) + "\n")

    try:
        while not STOP:
            for fd, ev in poller.poll():
                if fd == wake_r:
                    continue
                if fd == src:
                    try:
                        data = os.read(src, 65536)
                    except (BlockingIOError, InterruptedError):
                        continue
                    except OSError:
                        data = b""
                    if not data:
                        raise Stop()  # the simulator has gone
                    t_in = time.monotonic()
                    for end, itow, lat, lon in finder.feed(data):
                        for m in marks:
                            m.append((end, itow, lat, lon, t_in))
                    order = outs[turn:] + outs[:turn]
                    turn = (turn + 1) % count
                    for o in order:
                        if o.queue(offset, data):
                            # Frames in the dropped bytes never reach this consumer.
                            marks[o.index] = [m for m in marks[o.index] if m[0] > o.written]
                        report(o, o.flush())
                        if o.pending:
                            poller.modify(o.master, select.POLLIN | select.POLLOUT)
                    offset += len(data)
                else:
                    o = by_fd[fd]
                    if ev & select.POLLIN:
                        try:
                            os.read(fd, 65536)  # what the consumer wrote: discarded
                        except OSError:
                            pass
                    if ev & select.POLLOUT:
                        report(o, o.flush())
                        if not o.pending:
                            poller.modify(o.master, select.POLLIN)
                    if ev & (select.POLLHUP | select.POLLERR | select.POLLNVAL) \
                            and not ev & (select.POLLIN | select.POLLOUT):
                        poller.unregister(fd)  # not while we hold the slave open
    except Stop:
        pass
    finally:
        truth.write(json.dumps({"dropped": [o.dropped for o in outs]}) + "\n")
        truth.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
