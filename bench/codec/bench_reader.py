"""UBXReader throughput over io.BytesIO against a plain struct-based pure-Python decoder.

ZQ_BENCH_SMOKE=1: 2,000 frames (numbers 32,000 on: NAV-PVT 32,345's iTOW holds sync chars, the
frame an earlier scanner lost), to show the bench still runs to its end."""
import io
import os
import struct
import sys
import time

from libs.pyubx2 import GET, UBXMessage, UBXReader

SMOKE = os.environ.get("ZQ_BENCH_SMOKE", "0") not in ("", "0")
N = 2_000 if SMOKE else 100_000
FIRST = 32_000 if SMOKE else 0
FIELDS = ("iTOW year month day hour min second validDate validTime fullyResolved validMag tAcc "
          "nano fixType gnssFixOk difSoln psmState headVehValid carrSoln confirmedAvai "
          "confirmedDate confirmedTime numSV lon lat height hMSL hAcc vAcc velN velE velD gSpeed "
          "headMot sAcc headAcc pDOP reserved1 headVeh magDec magAcc").split()


def stream():
    frames = [UBXMessage(1, 7, GET, iTOW=i * 200, lat=-349062263 + i, lon=1386081197 - i,
                         numSV=i % 30, pDOP=145).serialize() for i in range(FIRST, FIRST + N)]
    return b"".join(frames)


class StructPvt:
    """What a careful pure-Python decoder does: find sync, check the checksum, unpack."""

    LAYOUT = struct.Struct("<IHBBBBBBIiBBBBiiiiIIiiiiiIIH6sihH")
    NAMES = ("iTOW year month day hour min second valid tAcc nano fixType flags flags2 numSV "
             "lon lat height hMSL hAcc vAcc velN velE velD gSpeed headMot sAcc headAcc pDOP "
             "reserved1 headVeh magDec magAcc").split()

    def __init__(self, values):
        self.__dict__.update(zip(self.NAMES, values))
        v, fl, f2 = self.valid, self.flags, self.flags2
        self.validDate, self.validTime = v & 1, v >> 1 & 1
        self.fullyResolved, self.validMag = v >> 2 & 1, v >> 3 & 1
        self.gnssFixOk, self.difSoln, self.psmState = fl & 1, fl >> 1 & 1, fl >> 2 & 7
        self.headVehValid, self.carrSoln = fl >> 5 & 1, fl >> 6 & 3
        self.confirmedAvai, self.confirmedDate = f2 >> 5 & 1, f2 >> 6 & 1
        self.confirmedTime = f2 >> 7 & 1


class StructReader:
    def __init__(self, s):
        self.s = s
        self.buf = b""

    def read(self):
        while True:
            i = self.buf.find(b"\xb5\x62")
            if i >= 0 and len(self.buf) - i >= 6:
                (n,) = struct.unpack_from("<H", self.buf, i + 4)
                if len(self.buf) - i >= n + 8:
                    raw = self.buf[i:i + n + 8]
                    a = b = 0
                    for x in raw[2:-2]:
                        a = (a + x) & 0xFF
                        b = (b + a) & 0xFF
                    if raw[-2] != a or raw[-1] != b:
                        self.buf = self.buf[i + 1:]
                        continue
                    self.buf = self.buf[i + n + 8:]
                    msg = StructPvt(StructPvt.LAYOUT.unpack_from(raw, 6)) if n == 92 else None
                    return raw, msg
            more = self.s.read(65536)
            if not more:
                return None, None
            self.buf = self.buf[i if i >= 0 else len(self.buf):] + more


def run(label, make_reader, touch, data):
    reader = make_reader(io.BytesIO(data))
    t0 = time.perf_counter()
    n = 0
    while True:
        raw, msg = reader.read()
        if raw is None:
            break
        if touch:
            for name in FIELDS:
                getattr(msg, name)
        n += 1
    dt = time.perf_counter() - t0
    if n != N:
        sys.exit(f"{label}: {n} frames read, not {N}")
    print(f"{label:<44} {n / dt:>12,.0f} frames/s")
    return n / dt


def verify(data):
    """Every frame comes out, in order, each the NAV-PVT it was built as (not timed)."""
    for n, (_raw, msg) in enumerate(UBXReader(io.BytesIO(data))):
        if msg.identity != "NAV-PVT" or msg.iTOW != (FIRST + n) * 200:
            sys.exit(f"UBXReader: frame {n} is {msg.identity} with iTOW "
                     f"{getattr(msg, 'iTOW', None)}, not NAV-PVT {FIRST + n}")
    if n + 1 != N:
        sys.exit(f"UBXReader: {n + 1} frames read, not {N}")


def main():
    data = stream()
    print(f"{N} NAV-PVT frames ({len(data)} bytes) in io.BytesIO, Python {sys.version.split()[0]}")
    verify(data)
    fast = run("UBXReader.read(), messages untouched", UBXReader, False, data)
    fast_all = run(f"UBXReader.read(), all {len(FIELDS)} fields read", UBXReader, True, data)
    base = run("struct baseline (checksum checked), untouched", StructReader, False, data)
    base_all = run("struct baseline, all fields read", StructReader, True, data)
    print(f"speed-up over the baseline: {fast / base:.1f}x untouched, "
          f"{fast_all / base_all:.1f}x with all fields read")


if __name__ == "__main__":
    main()
