"""UBXMessage: building and parsing checked against layouts taken from the protocol tables,
encoded here with struct, never through the codec."""
import struct

import pytest

from libs.pyubx2 import GET, POLL, SET, UBXMessage, UBXMessageError, UBXParseError, UBXReader
from ubx_helpers import frame

NAV_PVT_84 = ("<IHBBBBBBIiBBBBiiiiIIiiiiiIIH6s",
              "iTOW year month day hour min second valid tAcc nano fixType flags flags2 numSV "
              "lon lat height hMSL hAcc vAcc velN velE velD gSpeed headMot sAcc headAcc pDOP "
              "reserved1")

# (class, id, mode, struct layout, field names) per catalogue form, from the protocol notes.
LAYOUTS = [
    (0x01, 0x02, GET, "<IiiiiII", "iTOW lon lat height hMSL hAcc vAcc"),
    (0x01, 0x03, GET, "<IBBBBII", "iTOW gpsFix flags fixStat flags2 ttff msss"),
    (0x01, 0x04, GET, "<IHHHHHHH", "iTOW gDOP pDOP tDOP vDOP hDOP nDOP eDOP"),
    (0x01, 0x06, GET, "<IihBBiiiIiiiIHBB4s",
     "iTOW fTOW week gpsFix flags ecefX ecefY ecefZ pAcc ecefVX ecefVY ecefVZ sAcc pDOP "
     "reserved1 numSV reserved2"),
    (0x01, 0x07, GET, NAV_PVT_84[0] + "ihH", NAV_PVT_84[1] + " headVeh magDec magAcc"),
    (0x01, 0x07, GET) + NAV_PVT_84,
    (0x01, 0x12, GET, "<IiiiIIiII", "iTOW velN velE velD speed gSpeed heading sAcc cAcc"),
    (0x01, 0x21, GET, "<IIiHBBBBBB", "iTOW tAcc nano year month day hour min sec valid"),
    (0x01, 0x35, GET, "<IBB2s" + "BBBbhhI" * 2,
     "iTOW version numSvs reserved gnssId_01 svId_01 cno_01 elev_01 azim_01 prRes_01 flags_01 "
     "gnssId_02 svId_02 cno_02 elev_02 azim_02 prRes_02 flags_02"),
    (0x05, 0x00, GET, "<BB", "clsID msgID"),
    (0x05, 0x01, GET, "<BB", "clsID msgID"),
    (0x06, 0x01, SET, "<BBB", "msgClass msgID rate"),
    (0x06, 0x01, SET, "<BBBBBBBB", "msgClass msgID rateDDC rateUART1 rateUART2 rateUSB rateSPI reserved"),
    (0x06, 0x01, POLL, "<BB", "msgClass msgID"),
    (0x06, 0x08, SET, "<HHH", "measRate navRate timeRef"),
    (0x06, 0x09, SET, "<III", "clearMask saveMask loadMask"),
    (0x06, 0x09, SET, "<IIIB", "clearMask saveMask loadMask deviceMask"),
    (0x06, 0x11, SET, "<BB", "reserved1 lpMode"),
    (0x0A, 0x04, GET, "<30s10s30s", "swVersion hwVersion extension_01"),
]


def sample_values(layout, names):
    """A distinct, in-range value per field; negative where the type is signed."""
    values = {}
    codes = struct.Struct(layout).format.lstrip("<")
    n = 0
    i = 0
    while i < len(codes):
        count = ""
        while codes[i].isdigit():
            count += codes[i]
            i += 1
        code = codes[i]
        i += 1
        name = names[n]
        n += 1
        if code == "s":
            values[name] = bytes(range(n, n + int(count)))
        elif code in "bhi":
            values[name] = -(n * 3)
        else:
            values[name] = n * 5 + (200 if code in "HI" else 0)
    return values


@pytest.mark.parametrize("cls,msg_id,mode,layout,names", LAYOUTS,
                         ids=[f"{c:02x}{i:02x}-{struct.calcsize(l)}" for c, i, _, l, _ in LAYOUTS])
def test_every_form_against_the_protocol_layout(cls, msg_id, mode, layout, names):
    names = names.split()
    values = sample_values(layout, names)
    if cls == 0x0A:  # MON-VER strings are CH[n]: text, NUL-padded
        values = {"swVersion": "ROM CORE 3.01 (107888)", "hwVersion": "00080000",
                  "extension_01": "FWVER=SPG 3.01"}
    packed = [values[n].encode() if isinstance(values[n], str) else values[n] for n in names]
    expected = frame(cls, msg_id, struct.pack(layout, *packed))

    parsed = UBXReader.parse(expected)
    for name in names:
        assert getattr(parsed, name) == values[name], name
    assert parsed.serialize() == expected
    if (cls, msg_id, len(expected)) != (0x01, 0x07, 92):  # the 92-byte form is built first
        built = UBXMessage(cls, msg_id, mode, **values)
        assert built.serialize() == expected
        assert built == parsed


def test_power_mode_command_is_the_published_frame():
    msg = UBXMessage(6, 0x11, SET, lpMode=0)
    assert msg.serialize() == bytes.fromhex("B5 62 06 11 02 00 08 00 21 91")
    assert msg.identity == "CFG-RXM"
    assert (msg.reserved1, msg.lpMode) == (8, 0)


def test_unknown_field_names_field_and_message():
    with pytest.raises(UBXMessageError) as err:
        UBXMessage(6, 1, SET, lpMode=0)
    assert isinstance(err.value, ValueError)
    assert str(err.value) == "CFG-MSG (0x06 0x01) has no field 'lpMode'"
    assert (err.value.msg_cls, err.value.msg_id) == (6, 1)


@pytest.mark.parametrize("args,kwargs,exc,text", [
    ((6, 1, SET), {"rate": 256}, UBXMessageError, "value 256 out of range for field 'rate'"),
    ((6, 1, SET), {"rate": 2**70}, UBXMessageError, "out of range for field 'rate'"),
    ((6, 1, SET), {"rate": 1.5}, TypeError, "field 'rate' takes int, bytes or str, not float"),
    ((0x0A, 4, GET), {"swVersion": "x" * 31}, UBXMessageError, "holds at most 30 bytes"),
    ((0x0A, 4, GET), {"swVersion": "\u20ac"}, ValueError, "one byte per character"),
    ((6, 1, 3), {}, ValueError, "mode must be GET (0), SET (1) or POLL (2), got 3"),
    ((256, 1, SET), {}, ValueError, "msgClass and msgID must be 0..255"),
])
def test_builder_rejects_bad_input(args, kwargs, exc, text):
    with pytest.raises(exc, match=text.replace("(", r"\(").replace(")", r"\)")):
        UBXMessage(*args, **kwargs)


def test_text_fields_are_one_byte_per_character_both_ways():
    raw = UBXMessage(0x0A, 4, GET, swVersion="\xe9 ROM", hwVersion="0008").serialize()
    assert raw[6:11] == b"\xe9 ROM"
    assert UBXReader.parse(raw).swVersion == "\xe9 ROM"


def test_poll_without_fields_is_the_bare_header():
    assert UBXMessage(1, 7, POLL).serialize() == frame(1, 7, b"")
    assert UBXMessage(0x0A, 4, POLL).serialize() == frame(0x0A, 4, b"")


def test_unknown_message_identity_and_payload():
    raw = frame(0x01, 0x7F, b"\x01\x02\x03")
    msg = UBXReader.parse(raw)
    assert msg.identity == "UNKNOWN-0x01-0x7F"
    assert (msg.msg_cls, msg.msg_id, msg.payload, msg.length) == (1, 0x7F, b"\x01\x02\x03", 3)
    assert not hasattr(msg, "iTOW")
    assert UBXMessage(0x01, 0x7F, GET, payload=b"\x01\x02\x03") == msg


def test_nav_pvt_forms_differ_in_attributes():
    layout, names = NAV_PVT_84
    values = sample_values(layout, names.split())
    short = UBXReader.parse(frame(1, 7, struct.pack(layout, *values.values())))
    long = UBXReader.parse(frame(1, 7, struct.pack(layout + "ihH", *values.values(), -5, -6, 7)))
    for msg in (short, long):
        assert msg.identity == "NAV-PVT"
        assert msg.reserved1 == values["reserved1"]
        assert (msg.lat, msg.lon, msg.pDOP, msg.numSV) == (
            values["lat"], values["lon"], values["pDOP"], values["numSV"])
    assert (long.headVeh, long.magDec, long.magAcc) == (-5, -6, 7)
    for name in ("headVeh", "magDec", "magAcc", "nosuchfield"):
        assert not hasattr(short, name)
    with pytest.raises(AttributeError):
        short.headVeh


def test_message_equality_hash_and_log_line():
    a = UBXMessage(6, 8, SET, measRate=1000, navRate=1, timeRef=1)
    b = UBXReader.parse(a.serialize())
    c = UBXMessage(6, 8, SET, measRate=200, navRate=1, timeRef=1)
    assert a == b and hash(a) == hash(b)
    assert a != c
    assert a != a.serialize()
    line = repr(a)
    assert line == str(a) == "<UBX(CFG-RATE, measRate=1000, navRate=1, timeRef=1)>"
    assert a.as_dict() == {"measRate": 1000, "navRate": 1, "timeRef": 1}
    long_unknown = UBXReader.parse(frame(0x0D, 0x7F, bytes(5000)))
    assert "\n" not in repr(long_unknown) and len(repr(long_unknown)) < 400


@pytest.mark.parametrize("raw,text", [
    (frame(1, 7, bytes(90)), "NAV-PVT (0x01 0x07) with 90-byte payload: no such form"),
    (frame(6, 0x11, b"\x08\x00")[:-1] + b"\x00", "bad checksum in CFG-RXM"),
    (b"\xb5\x62\x06", "not a UBX frame"),
])
def test_parse_errors(raw, text):
    with pytest.raises(UBXParseError, match=text.replace("(", r"\(").replace(")", r"\)")):
        UBXReader.parse(raw)
