"""Independent UBX encoding for the codec tests: the frame layout and checksum exactly as the
protocol notes state them, with no code shared with the codec under test."""
import struct


def fletcher(data):
    a = b = 0
    for x in data:
        a = (a + x) & 0xFF
        b = (b + a) & 0xFF
    return bytes((a, b))


def frame(cls, msg_id, payload=b""):
    body = bytes((cls, msg_id)) + struct.pack("<H", len(payload)) + payload
    return b"\xb5\x62" + body + fletcher(body)
