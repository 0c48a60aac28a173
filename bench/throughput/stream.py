"""The UBX stream of the throughput bench, encoded here from the frame layout alone (no code
shared with the codec), and the small shared-memory record through which the writer tells the
host how far it has got.

One epoch is ten frames in the order a u-blox receiver sends them: NAV-POSLLH, NAV-STATUS,
NAV-DOP, NAV-PVT, NAV-VELNED, NAV-TIMEUTC, NAV-SAT (24 satellites), NAV-EOE, MON-HW, MON-RF.
In epoch() only NAV-PVT changes from epoch to epoch (timed_epoch() puts the epoch's iTOW in
every NAV frame): epoch `seq` has iTOW = ITOW0 + STEP_MS * seq and
lat = LAT0 + seq (1e-7 degree), so a host can tell from either which epoch it shows.
"""
import mmap
import os
import struct
import sys

# The tests' independent frame encoder: layout and checksum as the protocol notes give them.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tests"))
from ubx_helpers import frame, nav_pvt_payload, set_nav_pvt_field  # noqa: E402

ITOW0 = 86_400_000  # Monday 00:00 GPS time of week, in ms
STEP_MS = 40  # 25 Hz
LAT0 = 473_769_000
LON0 = 85_417_000
NUM_SATS = 24


def seq_of_itow(itow):
    return (itow - ITOW0) // STEP_MS


def seq_of_lat(lat_deg):
    return round(lat_deg * 1e7) - LAT0


def _others(itow=ITOW0):
    """The nine frames that come with each NAV-PVT, with plausible contents."""
    posllh = struct.pack("<IiiiiII", itow, LON0, LAT0, 480_000, 432_000, 1_500, 2_200)
    status = struct.pack("<IBBBBII", itow, 3, 0x0D, 0, 0, 28_000, 3_600_000)
    dop = struct.pack("<I7H", itow, 180, 120, 90, 140, 80, 60, 50)
    velned = struct.pack("<IiiiIIiII", itow, 120, -40, 3, 127, 126, 4_512_345, 35, 180_000)
    timeutc = struct.pack("<IIiHBBBBBB", itow, 25, 0, 2024, 3, 11, 0, 0, 0, 0x37)
    sat = bytearray(struct.pack("<IBB2x", itow, 1, NUM_SATS))
    for i in range(NUM_SATS):
        sat += struct.pack("<BBBbhhI", i % 4, 1 + i, 30 + i % 15, 10 + 3 * i, 15 * i, -5 + i,
                           0x1F1F)
    eoe = struct.pack("<I", itow)
    mon_hw = bytes(60)
    mon_rf = struct.pack("<BB2x", 0, 1) + bytes(24)
    return {
        "before": [frame(0x01, 0x02, posllh), frame(0x01, 0x03, status), frame(0x01, 0x04, dop)],
        "after": [frame(0x01, 0x12, velned), frame(0x01, 0x21, timeutc),
                  frame(0x01, 0x35, bytes(sat)), frame(0x01, 0x61, eoe),
                  frame(0x0A, 0x09, mon_hw), frame(0x0A, 0x38, mon_rf)],
    }


class Epochs:
    """Builds epochs and says, for a count of bytes written from the start of epoch 0, how many
    frames and how many NAV-PVT frames are complete in them."""

    MSGS = 10

    def __init__(self):
        o = _others()
        self.before = b"".join(o["before"])
        self.after = b"".join(o["after"])
        self.pvt = bytearray(nav_pvt_payload(
            year=2024, month=3, day=11, hour=0, min=0, second=0, valid=0x37, tAcc=25, nano=0,
            fixType=3, flags=0x01, flags2=0xE0, numSV=12,  # 3D, gnssFixOk, confirmed
            lon=LON0, lat=LAT0, height=480_000, hMSL=432_000, hAcc=1_500, vAcc=2_200,
            velN=1_200, velE=-400, velD=30, gSpeed=1_265, headMot=4_512_345, sAcc=350,
            headAcc=180_000, pDOP=120, headVeh=4_512_345, magDec=230, magAcc=50))
        sizes = [len(f) for f in o["before"]] + [100] + [len(f) for f in o["after"]]
        self.frame_ends = []
        total = 0
        for s in sizes:
            total += s
            self.frame_ends.append(total)
        self.size = total
        self.pvt_end = len(self.before) + 100

    def nav_pvt(self, seq):
        set_nav_pvt_field(self.pvt, "iTOW", ITOW0 + STEP_MS * seq)
        set_nav_pvt_field(self.pvt, "lat", LAT0 + seq)
        return frame(0x01, 0x07, bytes(self.pvt))

    def epoch(self, seq):
        return self.before + self.nav_pvt(seq) + self.after

    def timed_epoch(self, seq):
        """Epoch `seq` with the NAV-PVT's iTOW in every NAV frame, as a receiver sends them (the
        simulator's replay cuts a recording into epochs by iTOW). Same sizes as epoch()."""
        o = _others(ITOW0 + STEP_MS * seq)
        return b"".join(o["before"]) + self.nav_pvt(seq) + b"".join(o["after"])

    def progress(self, nbytes):
        """(frames complete, NAV-PVT frames complete) in the first `nbytes` bytes."""
        whole, rest = divmod(nbytes, self.size)
        frames = whole * self.MSGS + sum(1 for e in self.frame_ends if e <= rest)
        return frames, whole + (1 if rest >= self.pvt_end else 0)

    def bytes_of_frames(self, frames):
        whole, rest = divmod(frames, self.MSGS)
        return whole * self.size + (self.frame_ends[rest - 1] if rest else 0)


class Progress:
    """The writer's counters in a small shared file, guarded by a sequence counter (odd while
    the writer updates them): last NAV-PVT epoch written (-1 before the first), messages and
    bytes written, the writer's start time (CLOCK_MONOTONIC) and its epoch rate (0: unpaced)."""

    LAYOUT = struct.Struct("<qqqqdd")

    def __init__(self, path, create=False):
        if create:
            with open(path, "wb") as f:
                f.write(bytes(self.LAYOUT.size))
        self.fd = os.open(path, os.O_RDWR)
        self.mm = mmap.mmap(self.fd, self.LAYOUT.size)
        self.version = 0
        if create:
            self.write(-1, 0, 0, 0.0, 0.0)

    def write(self, last_seq, msgs, nbytes, t_start, rate):
        self.version += 1
        self.mm[0:8] = struct.pack("<q", self.version)
        self.LAYOUT.pack_into(self.mm, 0, self.version, last_seq, msgs, nbytes, t_start, rate)
        self.version += 1
        self.mm[0:8] = struct.pack("<q", self.version)

    def read(self):
        """{last_seq, msgs, bytes, t_start, rate}, a consistent snapshot."""
        while True:
            v1 = struct.unpack_from("<q", self.mm, 0)[0]
            if v1 & 1:
                continue
            fields = self.LAYOUT.unpack_from(self.mm, 0)
            if fields[0] == v1 == struct.unpack_from("<q", self.mm, 0)[0]:
                return dict(zip(("last_seq", "msgs", "bytes", "t_start", "rate"), fields[1:]))

    def close(self):
        self.mm.close()
        os.close(self.fd)
