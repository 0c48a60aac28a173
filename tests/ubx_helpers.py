"""Independent UBX encoding and stream splitting for the tests and the benches: the frame
layout, the checksum and the NAV-PVT offsets exactly as the protocol notes state them, with no
code shared with the codec under test. These are the oracles the codec and the driver are
checked against, so they pack and unpack with `struct` only.

The benches import this file too (they put tests/ on their path), so it imports nothing but
the standard library."""
import struct
from typing import NamedTuple, Optional

SYNC = b"\xb5\x62"


def fletcher(data):
    a = b = 0
    for x in data:
        a = (a + x) & 0xFF
        b = (b + a) & 0xFF
    return bytes((a, b))


def frame(cls, msg_id, payload=b""):
    body = bytes((cls, msg_id)) + struct.pack("<H", len(payload)) + payload
    return SYNC + body + fletcher(body)


# ---------------------------------------------------------------------------------------------
# NAV-PVT

# The 92-byte form's fields: name -> (offset, struct code). Bytes 78 to 83 are reserved.
NAV_PVT_FIELDS = {
    "iTOW": (0, "I"), "year": (4, "H"), "month": (6, "B"), "day": (7, "B"), "hour": (8, "B"),
    "min": (9, "B"), "second": (10, "B"), "valid": (11, "B"), "tAcc": (12, "I"),
    "nano": (16, "i"), "fixType": (20, "B"), "flags": (21, "B"), "flags2": (22, "B"),
    "numSV": (23, "B"), "lon": (24, "i"), "lat": (28, "i"), "height": (32, "i"),
    "hMSL": (36, "i"), "hAcc": (40, "I"), "vAcc": (44, "I"), "velN": (48, "i"),
    "velE": (52, "i"), "velD": (56, "i"), "gSpeed": (60, "i"), "headMot": (64, "i"),
    "sAcc": (68, "I"), "headAcc": (72, "I"), "pDOP": (76, "H"), "headVeh": (84, "i"),
    "magDec": (88, "h"), "magAcc": (90, "H"),
}
NAV_PVT_LEN = 92


def nav_pvt_payload(**fields):
    """A 92-byte NAV-PVT payload with FIELDS (by their protocol names) in place, every other
    byte zero. An unknown name or a value out of its field's range raises."""
    p = bytearray(NAV_PVT_LEN)
    for name, value in fields.items():
        set_nav_pvt_field(p, name, value)
    return bytes(p)


def set_nav_pvt_field(payload, name, value):
    """Writes one field into a NAV-PVT payload held in a bytearray."""
    if name not in NAV_PVT_FIELDS:
        raise TypeError("NAV-PVT has no field %r" % name)
    offset, code = NAV_PVT_FIELDS[name]
    struct.pack_into("<" + code, payload, offset, value)


def nav_pvt(itow, lon, lat, pdop=150, num_sv=9, **fields):
    """A NAV-PVT frame of a 3-D fix (fixType 3, gnssFixOk) at LON/LAT (1e-7 degree), PDOP
    (0.01) and NUM_SV satellites; FIELDS set or override any other field by name."""
    values = {"iTOW": itow, "fixType": 3, "flags": 0x01, "numSV": num_sv, "lon": lon,
              "lat": lat, "pDOP": pdop}
    values.update(fields)
    return frame(0x01, 0x07, nav_pvt_payload(**values))


# ---------------------------------------------------------------------------------------------
# Splitting a receiver's byte stream

class Item(NamedTuple):
    """One item of a receiver stream, DATA[start:end]. For "ubx": the class, id and payload of
    a candidate frame and whether its checksum holds. For "nmea": body is the whole line, from
    "$" to its "\\n"."""

    kind: str
    start: int
    end: int
    body: bytes
    cls: Optional[int] = None
    msg_id: Optional[int] = None
    ok: Optional[bool] = None


def scan(data, max_payload=4096):
    """Splits DATA the way a careful host does: returns (items, complete).

    Items come in arrival order. A UBX candidate is a sync pair with a length of at most
    MAX_PAYLOAD whose whole frame is in DATA; one whose checksum holds is a frame and scanning
    goes on after it, one whose checksum fails is reported (ok False) and scanning resumes at
    the byte after its sync, so no frame behind a false sync is lost. A line from "$" to "\\n"
    of printable ASCII is an NMEA item. Everything else is noise and skipped. A "$" with no
    line end yet ends the scan.

    `complete` is where the complete part of DATA ends: the start of the first item that is
    still arriving (a sync pair whose header or frame runs past the end, or that "$"), else
    len(data). Items at or after it are what scanning found behind a candidate that may yet
    turn out to be a frame."""
    items, i, n = [], 0, len(data)
    complete = None
    while i < n:
        if data[i:i + 2] == SYNC:
            if i + 6 > n:
                complete = i if complete is None else complete
            else:
                length = struct.unpack_from("<H", data, i + 4)[0]
                end = i + 8 + length
                if length <= max_payload and end > n:
                    complete = i if complete is None else complete
                elif length <= max_payload:
                    ok = fletcher(data[i + 2:end - 2]) == data[end - 2:end]
                    items.append(Item("ubx", i, end, data[i + 6:end - 2], data[i + 2],
                                      data[i + 3], ok))
                    if ok:
                        i = end
                        continue
        elif data[i:i + 1] == b"$":
            nl = data.find(b"\n", i)
            if nl < 0:
                complete = i if complete is None else complete
                break
            line = data[i:nl + 1]
            if all(32 <= c < 127 for c in line[1:].rstrip(b"\r\n")):
                items.append(Item("nmea", i, nl + 1, line))
                i = nl + 1
                continue
        i += 1
    return items, n if complete is None else complete
