"""Configuration by key (CFG-VALSET / VALGET / VALDEL) from Python: known-answer frames and key
ids written out in the protocol notes, payloads checked against struct encodings, and the
errors a caller gets for keys and values no receiver would take."""
import struct

import pytest

from libs.pyubx2 import (CONFIG_KEYS, POLL, POLL_LAYER_BBR, POLL_LAYER_DEFAULT, POLL_LAYER_FLASH,
                         POLL_LAYER_RAM, SET, SET_LAYER_BBR, SET_LAYER_FLASH, SET_LAYER_RAM,
                         UBXMessage, UBXMessageError, UBXParseError, UBXReader)
from ubx_helpers import frame

# The key table of the protocol notes, as printed there: name, id, type.
DOC_KEYS = """
CFG-RATE-MEAS 0x30210001 U2
CFG-RATE-NAV 0x30210002 U2
CFG-RATE-TIMEREF 0x20210003 E1
CFG-MSGOUT-UBX_NAV_PVT_I2C 0x20910006 U1
CFG-MSGOUT-UBX_NAV_PVT_UART1 0x20910007 U1
CFG-MSGOUT-UBX_NAV_PVT_UART2 0x20910008 U1
CFG-MSGOUT-UBX_NAV_PVT_USB 0x20910009 U1
CFG-MSGOUT-UBX_NAV_PVT_SPI 0x2091000a U1
CFG-MSGOUT-UBX_NAV_SAT_UART1 0x20910016 U1
CFG-MSGOUT-UBX_NAV_SAT_USB 0x20910018 U1
CFG-MSGOUT-UBX_NAV_DOP_USB 0x2091003b U1
CFG-MSGOUT-UBX_NAV_HPPOSLLH_USB 0x20910036 U1
CFG-MSGOUT-UBX_NAV_TIMEGPS_USB 0x2091004a U1
CFG-MSGOUT-UBX_NAV_EOE_USB 0x20910162 U1
CFG-MSGOUT-NMEA_ID_GGA_UART1 0x209100bb U1
CFG-MSGOUT-NMEA_ID_GGA_USB 0x209100bd U1
CFG-MSGOUT-NMEA_ID_GLL_UART1 0x209100ca U1
CFG-MSGOUT-NMEA_ID_GLL_USB 0x209100cc U1
CFG-MSGOUT-NMEA_ID_GSA_UART1 0x209100c0 U1
CFG-MSGOUT-NMEA_ID_GSA_USB 0x209100c2 U1
CFG-MSGOUT-NMEA_ID_GSV_UART1 0x209100c5 U1
CFG-MSGOUT-NMEA_ID_GSV_USB 0x209100c7 U1
CFG-MSGOUT-NMEA_ID_RMC_UART1 0x209100ac U1
CFG-MSGOUT-NMEA_ID_RMC_USB 0x209100ae U1
CFG-MSGOUT-NMEA_ID_VTG_UART1 0x209100b1 U1
CFG-MSGOUT-NMEA_ID_VTG_USB 0x209100b3 U1
CFG-USBOUTPROT-UBX 0x10780001 L
CFG-USBOUTPROT-NMEA 0x10780002 L
CFG-USBINPROT-UBX 0x10770001 L
CFG-USBINPROT-NMEA 0x10770002 L
CFG-USBINPROT-RTCM3X 0x10770004 L
CFG-UART1OUTPROT-UBX 0x10740001 L
CFG-UART1OUTPROT-NMEA 0x10740002 L
CFG-UART1INPROT-UBX 0x10730001 L
CFG-UART1INPROT-NMEA 0x10730002 L
CFG-UART1INPROT-RTCM3X 0x10730004 L
CFG-UART1-BAUDRATE 0x40520001 U4
CFG-NAVSPG-FIXMODE 0x20110011 E1
CFG-NAVSPG-DYNMODEL 0x20110021 E1
CFG-PM-OPERATEMODE 0x20d00001 E1
CFG-SIGNAL-GPS_ENA 0x1031001f L
CFG-SIGNAL-SBAS_ENA 0x10310020 L
CFG-SIGNAL-GAL_ENA 0x10310021 L
CFG-SIGNAL-BDS_ENA 0x10310022 L
CFG-SIGNAL-QZSS_ENA 0x10310024 L
CFG-SIGNAL-GLO_ENA 0x10310025 L
CFG-ITFM-ENABLE 0x1041000d L
CFG-HW-ANT_CFG_VOLTCTRL 0x10a3002e L
CFG-PM-POSUPDATEPERIOD 0x40d00002 U4
CFG-PM-ONTIME 0x30d00005 U2
CFG-SIGNAL-GPS_L1CA_ENA 0x10310001 L
CFG-SIGNAL-GPS_L2C_ENA 0x10310003 L
CFG-SIGNAL-GAL_E1_ENA 0x10310007 L
CFG-SIGNAL-GAL_E5B_ENA 0x1031000a L
CFG-SIGNAL-BDS_B1_ENA 0x1031000d L
CFG-SIGNAL-BDS_B2_ENA 0x1031000e L
CFG-SIGNAL-QZSS_L1CA_ENA 0x10310012 L
CFG-SIGNAL-QZSS_L1S_ENA 0x10310014 L
CFG-SIGNAL-QZSS_L2C_ENA 0x10310015 L
CFG-SIGNAL-GLO_L1_ENA 0x10310018 L
CFG-SIGNAL-GLO_L2_ENA 0x1031001a L
CFG-SIGNAL-SBAS_L1CA_ENA 0x10310005 L
CFG-MSGOUT-NMEA_ID_GGA_I2C 0x209100ba U1
CFG-MSGOUT-NMEA_ID_GGA_UART2 0x209100bc U1
CFG-MSGOUT-NMEA_ID_GGA_SPI 0x209100be U1
"""
PORTS = ("I2C", "UART1", "UART2", "USB", "SPI")


def test_key_table_holds_the_documented_keys():
    for line in DOC_KEYS.split("\n"):
        if line:
            name, key_id, key_type = line.split()
            assert CONFIG_KEYS[name][:2] == (int(key_id, 16), key_type), name
    assert CONFIG_KEYS["CFG-RATE-MEAS"][2:] == (0.001, "s")
    assert CONFIG_KEYS["CFG-UART1-BAUDRATE"][2:] == (1.0, "bit/s")
    with pytest.raises(TypeError):
        CONFIG_KEYS["CFG-X"] = (1, "L", 1.0, "")


def test_every_output_rate_key_has_all_five_ports_in_id_order():
    bases = {n.rsplit("_", 1)[0] for n in CONFIG_KEYS if n.startswith("CFG-MSGOUT-")}
    assert len(bases) == 12
    for base in bases:
        ids = [CONFIG_KEYS[f"{base}_{port}"][0] for port in PORTS]
        assert ids == list(range(ids[0], ids[0] + 5)), base


@pytest.mark.parametrize("build,hex_frame", [
    (lambda: UBXMessage.valset(SET_LAYER_RAM, {"CFG-RATE-MEAS": 100}),
     "B5 62 06 8A 0A 00 00 01 00 00 01 00 21 30 64 00 51 B9"),
    (lambda: UBXMessage.valset(SET_LAYER_RAM | SET_LAYER_BBR | SET_LAYER_FLASH,
                               {"CFG-MSGOUT-UBX_NAV_PVT_USB": 1}),
     "B5 62 06 8A 09 00 00 07 00 00 09 00 91 20 01 5B 82"),
    (lambda: UBXMessage.valget(POLL_LAYER_RAM, ["CFG-RATE-MEAS"]),
     "B5 62 06 8B 08 00 00 00 00 00 01 00 21 30 EB 07"),
    (lambda: UBXMessage.valset(SET_LAYER_RAM, {0x20D00001: 0}),
     "B5 62 06 8A 09 00 00 01 00 00 01 00 D0 20 00 8B E6"),
], ids=["rate-meas", "pvt-usb-all-layers", "valget-rate-meas", "operatemode-by-id"])
def test_known_answer_frames(build, hex_frame):
    msg = build()
    assert msg.serialize() == bytes.fromhex(hex_frame)
    back = UBXReader.parse(msg.serialize())
    assert back == msg and back.identity == msg.identity
    if back.msg_id == 0x8B:
        assert (msg.msgmode, back.version, back.layer, back.keys) == (POLL, 0, 0, ["CFG-RATE-MEAS"])
    else:
        assert msg.msgmode == SET and back.version == 0 and len(back.cfgData) == 1


def test_layer_constants():
    assert (SET_LAYER_RAM, SET_LAYER_BBR, SET_LAYER_FLASH) == (1, 2, 4)
    assert (POLL_LAYER_RAM, POLL_LAYER_BBR, POLL_LAYER_FLASH, POLL_LAYER_DEFAULT) == (0, 1, 2, 7)


def test_valset_encodes_each_type_and_decodes_to_typed_values():
    values = {"CFG-USBOUTPROT-NMEA": False, "CFG-UART1-BAUDRATE": 115200, "0x30210002": 65535,
              "CFG-NAVSPG-DYNMODEL": 4, 0x50000099: 2**64 - 1}
    msg = UBXMessage.valset(SET_LAYER_BBR, values, transaction=3)
    data = (struct.pack("<IB", 0x10780002, 0) + struct.pack("<II", 0x40520001, 115200)
            + struct.pack("<IH", 0x30210002, 65535) + struct.pack("<IB", 0x20110021, 4)
            + struct.pack("<IQ", 0x50000099, 2**64 - 1))
    assert msg.payload == struct.pack("<BBBB", 1, 2, 3, 0) + data
    back = UBXReader.parse(msg.serialize())
    assert (back.version, back.layers, back.transaction) == (1, 2, 3)
    assert list(back.cfgData.items()) == [
        ("CFG-USBOUTPROT-NMEA", False), ("CFG-UART1-BAUDRATE", 115200),
        ("CFG-RATE-NAV", 65535), ("CFG-NAVSPG-DYNMODEL", 4), ("0x50000099", 2**64 - 1)]
    assert type(back.cfgData["CFG-USBOUTPROT-NMEA"]) is bool
    assert back.as_dict()["cfgData"] == back.cfgData
    assert repr(back).endswith(f"cfgData={back.cfgData!r})>")


def test_valget_answer_and_request_of_equal_length_are_told_apart():
    keys = struct.pack("<II", 0x30210001, 0x40520001)
    request = UBXReader.parse(frame(6, 0x8B, struct.pack("<BBH", 0, 2, 5) + keys))
    assert (request.layer, request.position, request.keys) == (2, 5, ["CFG-RATE-MEAS",
                                                                      "CFG-UART1-BAUDRATE"])
    assert not hasattr(request, "cfgData")
    # Same 12-byte length: version 1 makes it an answer, one U4 value of a 4-byte key.
    answer = UBXReader.parse(frame(6, 0x8B, struct.pack("<BBHII", 1, 7, 0, 0x40520001, 9600)))
    assert answer.cfgData == {"CFG-UART1-BAUDRATE": 9600} and not hasattr(answer, "keys")
    # Unknown keys decode by their size code: signed types come from the table only.
    odd = UBXReader.parse(frame(6, 0x8B, struct.pack("<BBHIBIH", 1, 0, 0, 0x10990001, 1,
                                                     0x30990002, 0xFFFF)))
    assert odd.cfgData == {"0x10990001": True, "0x30990002": 0xFFFF}
    with pytest.raises(UBXParseError, match="no form has byte 2 at offset 0"):
        UBXReader.parse(frame(6, 0x8B, struct.pack("<BBHI", 2, 0, 0, 0x30210001)))


@pytest.mark.parametrize("payload,text", [
    (struct.pack("<BBBBIB", 0, 1, 0, 0, 0x30210001, 100), "ends inside the value of CFG-RATE-MEAS"),
    (struct.pack("<BBBBH", 0, 1, 0, 0, 0x0001), "ends inside a key id"),
    (struct.pack("<BBBBIB", 0, 1, 0, 0, 0x60000001, 0), "0x60000001 at byte 0 has an illegal"),
])
def test_damaged_configuration_data_is_a_parse_error(payload, text):
    with pytest.raises(UBXParseError, match=text):
        UBXReader.parse(frame(6, 0x8A, payload))


def test_valdel_and_valget_headers():
    msg = UBXMessage.valdel(SET_LAYER_BBR | SET_LAYER_FLASH, ("CFG-RATE-MEAS", 0x10780001))
    assert msg.payload == struct.pack("<BBBBII", 0, 6, 0, 0, 0x30210001, 0x10780001)
    assert UBXReader.parse(msg.serialize()).keys == ["CFG-RATE-MEAS", "CFG-USBOUTPROT-UBX"]
    assert UBXMessage.valdel(4, "CFG-RATE-MEAS", transaction=1).payload[:3] == b"\x01\x04\x01"
    get = UBXMessage.valget(POLL_LAYER_DEFAULT, iter(["CFG-PM-ONTIME"]), position=300)
    assert get.payload == struct.pack("<BBHI", 0, 7, 300, 0x30D00005)


@pytest.mark.parametrize("call,text", [
    (lambda: UBXMessage.valset(1, {"CFG-RATE-MEASS": 1}), "unknown configuration key 'CFG-RATE-MEASS'"),
    (lambda: UBXMessage.valget(0, ["CFG-RATE-MEAS", "cfg-rate-nav"]), "unknown configuration key 'cfg-rate-nav'"),
    (lambda: UBXMessage.valdel(2, [0x60210001]), "0x60210001 has an illegal size code"),
    (lambda: UBXMessage.valset(1, {"CFG-MSGOUT-UBX_NAV_PVT_USB": 256}),
     r"value 256 out of range for CFG-MSGOUT-UBX_NAV_PVT_USB \(U1: 0..255\)"),
    (lambda: UBXMessage.valset(1, {"CFG-RATE-MEAS": -1}), "value -1 out of range for CFG-RATE-MEAS"),
    (lambda: UBXMessage.valset(1, {"CFG-UART1-BAUDRATE": 2**32}), "out of range for CFG-UART1-BAUDRATE"),
    (lambda: UBXMessage.valset(1, {0x50990001: 2**64}), "out of range for 0x50990001"),
    (lambda: UBXMessage.valset(1, {"CFG-ITFM-ENABLE": 2}), "value 2 out of range for CFG-ITFM-ENABLE"),
    (lambda: UBXMessage.valset(1, {"CFG-RATE-MEAS": 100.0}), "CFG-RATE-MEAS takes an int .* got float"),
    (lambda: UBXMessage.valset(1, {"CFG-ITFM-ENABLE": "yes"}), "CFG-ITFM-ENABLE takes a bool .* got str"),
    (lambda: UBXMessage.valset(1, {0x20910000 + i: 0 for i in range(65)}),
     r"more than 64 key/value pairs \(the next is 0x20910040\)"),
    (lambda: UBXMessage.valget(0, ["CFG-RATE-MEAS"] * 65), "more than 64 keys"),
    (lambda: UBXMessage.valset(0, {}), "layers 0 is not a combination"),
    (lambda: UBXMessage.valdel(8, []), "layers 8 is not a combination"),
    (lambda: UBXMessage.valget(3, []), "layer 3 is not POLL_LAYER_RAM"),
    (lambda: UBXMessage.valget(0, [], position=65536), "position 65536 out of range"),
    (lambda: UBXMessage.valset(1, {}, transaction=4), "transaction 4 is not an action"),
])
def test_bad_keys_and_values_raise_message_errors_naming_them(call, text):
    with pytest.raises(UBXMessageError, match=text) as err:
        call()
    assert err.value.msg_cls == 6 and err.value.msg_id in (0x8A, 0x8B, 0x8C)


@pytest.mark.parametrize("call", [
    lambda: UBXMessage.valset(1, [("CFG-RATE-MEAS", 1)]),
    lambda: UBXMessage.valget(0, 1.5),
    lambda: UBXMessage.valget(0, [b"CFG-RATE-MEAS"]),
    lambda: UBXMessage.valdel(6, [], transaction="1"),
])
def test_arguments_of_the_wrong_kind_are_type_errors(call):
    with pytest.raises(TypeError):
        call()


def test_generic_constructor_takes_what_as_dict_gives():
    for msg in (UBXMessage.valset(SET_LAYER_FLASH, {"CFG-RATE-MEAS": 200, 0x10990001: True}),
                UBXMessage.valdel(SET_LAYER_BBR, ["CFG-PM-ONTIME", "0x40990002"])):
        assert UBXMessage(6, msg.msg_id, SET, **msg.as_dict()) == msg
    answer = UBXMessage(6, 0x8B, 0, version=1, layer=7, cfgData={"CFG-NAVSPG-FIXMODE": 3})
    assert answer.payload == struct.pack("<BBHIB", 1, 7, 0, 0x20110011, 3)
    with pytest.raises(UBXMessageError, match="value 65836 out of range for CFG-RATE-NAV"):
        UBXMessage(6, 0x8A, SET, cfgData={"CFG-RATE-NAV": 300 + 2**16})
