"""Independent RTCM 3 framing for the tests and the benches: the frame layout and a bitwise
CRC-24Q of its own (not the table the hub uses), the frames of a real caster's recording found
with it and checked against the independent decoder's list beside the recording."""
import json
import os

from zq_paths import CAPTURES


def crc24q(data):
    """CRC-24Q, bitwise (independent of the table the hub uses)."""
    crc = 0
    for b in data:
        crc ^= b << 16
        for _ in range(8):
            crc <<= 1
            if crc & 0x1000000:
                crc ^= 0x1864CFB
    return crc & 0xFFFFFF


def frame(payload):
    """An RTCM 3 frame around PAYLOAD."""
    head = bytes([0xD3, len(payload) >> 8 & 3, len(payload) & 0xFF]) + bytes(payload)
    return head + crc24q(head).to_bytes(3, "big")


def capture_frames(name="rtcm3.2.log"):
    """The recording's frames, found with the CRC above and checked against the independent
    decoder's list beside the recording (type and length of every frame, in order, and the
    payload bytes where it lists them)."""
    with open(os.path.join(CAPTURES, name), "rb") as f:
        frames, _ = split_frames(f.read())
    oracle = []
    with open(os.path.join(CAPTURES, name + ".chk")) as f:
        for line in f:
            obj = json.loads(line)
            if obj.get("class") == "RTCM3":
                oracle.append(obj)
    assert [(msg_type(x), len(x) - 6) for x in frames] == [(o["type"], o["length"]) for o in oracle]
    for x, o in zip(frames, oracle):
        if "data" in o:
            assert x[3:-3] == bytes(int(b, 16) for b in o["data"])
    return frames


def split_frames(data):
    """Whole CRC-valid RTCM 3 frames in DATA, and the bytes that are in none."""
    frames, junk, i = [], 0, 0
    while i < len(data):
        if data[i] != 0xD3 or i + 3 > len(data) or data[i + 1] & 0xFC:
            i += 1
            junk += 1
            continue
        n = (data[i + 1] & 3) << 8 | data[i + 2]
        end = i + n + 6
        if end <= len(data) and crc24q(data[i:end - 3]) == int.from_bytes(data[end - 3:end], "big"):
            frames.append(data[i:end])
            i = end
        else:
            i += 1
            junk += 1
    return frames, junk


def msg_type(f):
    return f[3] << 4 | f[4] >> 4
