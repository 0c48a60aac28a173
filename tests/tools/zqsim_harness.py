"""Starts the built receiver tools for the tests and parses their output independently of the
codec under test (own Fletcher checksum, own NMEA checksum, payload offsets from the protocol
notes)."""
import os
import struct
import subprocess
import time

import pytest

from ubx_helpers import fletcher as checksum, frame  # noqa: F401
from zq_paths import BUILD, CAPTURES, REPO, ROOT  # noqa: F401
from zq_sim import PYTHON, Sim, binary, sim_factory, wait_until  # noqa: F401


def need_pyubx2():
    if not os.path.exists(os.path.join(ROOT, "libs")) or not any(
            f.startswith("pyubx2") and f.endswith(".so")
            for f in os.listdir(os.path.join(ROOT, "libs"))):
        pytest.skip("libs.pyubx2 is not built in %s" % ROOT)


def split_stream(data):
    """Items in arrival order: ("ubx", cls, id, payload, ok) / ("nmea", line, ok) / noise bytes
    are skipped. A UBX candidate with a bad checksum is reported with ok False."""
    items, i = [], 0
    while i < len(data):
        if data[i:i + 2] == b"\xb5\x62" and i + 6 <= len(data):
            n = struct.unpack_from("<H", data, i + 4)[0]
            end = i + 8 + n
            if n <= 4096 and end <= len(data):
                ok = checksum(data[i + 2:end - 2]) == data[end - 2:end]
                # Only a plausible frame counts as damaged; a random sync pair in noise does not.
                if ok or (data[i + 2], data[i + 3], n) in ((1, 7, 92), (1, 7, 84)):
                    items.append(("ubx", data[i + 2], data[i + 3], data[i + 6:end - 2], ok))
                if ok:
                    i = end
                    continue
        if data[i:i + 1] == b"$":
            nl = data.find(b"\n", i)
            if nl < 0:
                break
            line = data[i:nl + 1]
            if all(32 <= c < 127 for c in line[1:].rstrip(b"\r\n")):
                items.append(("nmea", line, nmea_ok(line)))
                i = nl + 1
                continue
        i += 1
    return items


def nmea_ok(line):
    text = line.decode("ascii", "replace").rstrip("\r\n")
    if not text.startswith("$") or "*" not in text:
        return False
    body, _, ck = text[1:].partition("*")
    x = 0
    for c in body.encode():
        x ^= c
    return ck == "%02X" % x and len(text) <= 82


def pvt_fields(payload):
    """The NAV-PVT fields the tests compare, read at their documented offsets."""
    itow, = struct.unpack_from("<I", payload, 0)
    lon, lat = struct.unpack_from("<ii", payload, 24)
    gspeed, headmot = struct.unpack_from("<ii", payload, 60)
    pdop, = struct.unpack_from("<H", payload, 76)
    return {"iTOW": itow, "lon_e7": lon, "lat_e7": lat, "gSpeed": gspeed, "headMot": headmot,
            "numSV": payload[23], "pDOP": pdop, "fixType": payload[20]}


class Port:
    """The host's side of the line: reads with deadlines and splits what arrives. BAUD is the
    speed the host sets on its end (a simulated UART compares it with its own)."""

    def __init__(self, path, baud=9600):
        import serial
        self.ser = serial.Serial(path, baud, timeout=0.05)
        self.buf = b""

    def set_baud(self, baud):
        self.ser.baudrate = baud

    def read_for(self, seconds):
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            self.buf += self.ser.read(65536)
        return self.buf

    def read_until(self, predicate, timeout, what):
        deadline = time.monotonic() + timeout
        while True:
            items = split_stream(self.buf)
            found = predicate(items)
            if found:
                return found
            if time.monotonic() > deadline:
                raise AssertionError("timed out after %.1f s waiting for %s" % (timeout, what))
            self.buf += self.ser.read(65536)

    def command(self, raw, answer_ids, timeout=2.0):
        """Writes a frame and returns the first UBX answer whose (cls, id) is in answer_ids."""
        self.buf = b""
        self.ser.write(raw)

        def match(items):
            return next((it for it in items if it[0] == "ubx" and it[4]
                         and (it[1], it[2]) in answer_ids), None)
        return self.read_until(match, timeout, "an answer %s" % (answer_ids,))

    def close(self):
        self.ser.close()


# Configuration by key, laid out from the protocol notes: the value's size is in bits 28-30 of
# the key id (1: one bit in a byte, 2: 1 byte, 3: 2, 4: 4, 5: 8).
KEY_SIZES = {1: 1, 2: 1, 3: 2, 4: 4, 5: 8}


def key_size(key):
    return KEY_SIZES[(key >> 28) & 7]


def valset(layers, pairs, version=0, transaction=0):
    """CFG-VALSET frame: PAIRS is a list of (key id, value)."""
    body = bytes((version, layers, transaction, 0))
    for key, value in pairs:
        body += struct.pack("<I", key) + value.to_bytes(key_size(key), "little")
    return frame(6, 0x8A, body)


def valget(layer, keys, position=0):
    return frame(6, 0x8B, struct.pack("<BBH", 0, layer, position)
                 + b"".join(struct.pack("<I", k) for k in keys))


def valdel(layers, keys):
    return frame(6, 0x8C, bytes((0, layers, 0, 0)) + b"".join(struct.pack("<I", k) for k in keys))


def key_values(payload):
    """(version, layer, position, [(key, value), ...]) of a CFG-VALGET answer."""
    version, layer, position = struct.unpack_from("<BBH", payload, 0)
    pairs, i = [], 4
    while i < len(payload):
        key, = struct.unpack_from("<I", payload, i)
        n = key_size(key)
        pairs.append((key, int.from_bytes(payload[i + 4:i + 4 + n], "little")))
        i += 4 + n
    return version, layer, position, pairs


def mon_ver_strings(payload):
    """(software, hardware, [extensions]) of a MON-VER payload."""
    def text(b):
        return b.split(b"\0", 1)[0].decode("ascii")
    return (text(payload[:30]), text(payload[30:40]),
            [text(payload[i:i + 30]) for i in range(40, len(payload), 30)])


def run_tool(args, timeout=30, **kw):
    env = dict(os.environ, ZQ_ROOT=ROOT)
    env.update(kw.pop("env", {}))
    return subprocess.run(args, capture_output=True, text=True, timeout=timeout, env=env, **kw)

