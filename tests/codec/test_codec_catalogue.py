"""The catalogue's messages against values from outside the codec: the receiver recordings with
the independent decoder's reports beside them, and the payload tables of the protocol notes
encoded here with struct."""
import datetime
import io
import json
import os
import re
import struct

import pytest

from libs.pyubx2 import GET, POLL, SET, UBXMessage, UBXMessageError, UBXReader
from ubx_helpers import frame
from zq_paths import CAPTURES

NEO = os.path.join(CAPTURES, "ublox-neo-m8n.log")
F9P = os.path.join(CAPTURES, "ublox-zed-f9p-hp.log")


def decoded(path):
    with open(path, "rb") as f:
        return [msg for _raw, msg in UBXReader(f)]


def reports(path):
    """The independent decoder's time-position reports for the recording, in order."""
    with open(path + ".chk") as f:
        return [json.loads(line) for line in f if line.startswith('{"class":"TPV"')]


class TestRecordings:
    @pytest.mark.parametrize("path,frames", [(NEO, 52), (F9P, 293)])
    def test_every_frame_has_a_name(self, path, frames):
        msgs = decoded(path)
        assert len(msgs) == frames
        assert [m.identity for m in msgs if m.identity.startswith("UNKNOWN")] == []

    @pytest.mark.parametrize("path", [NEO, F9P])
    def test_gps_time_gives_the_reported_utc_times(self, path):
        epoch = datetime.datetime(1980, 1, 6)
        ours = set()
        for m in decoded(path):
            if m.identity == "NAV-TIMEGPS":
                assert (m.towValid, m.weekValid, m.leapSValid) == (1, 1, 1)
                assert -500000 <= m.fTOW <= 500000
                t = epoch + datetime.timedelta(weeks=m.week, milliseconds=m.iTOW,
                                               seconds=-m.leapS)
                ours.add(t.strftime("%Y-%m-%dT%H:%M:%S.") + f"{t.microsecond // 1000:03d}Z")
        theirs = [r for r in reports(path) if "time" in r]
        # One recording stops inside its last epoch, before that epoch's NAV-TIMEGPS.
        reported = {r["time"] for r in theirs}
        assert len(ours) >= 20 and reported ^ ours <= {max(reported | ours)}
        assert {r["leapseconds"] for r in theirs if "leapseconds" in r} == {18}
        assert {m.leapS for m in decoded(path) if m.identity == "NAV-TIMEGPS"} == {18}

    def test_leap_second_table_agrees(self):
        ls = [m for m in decoded(F9P) if m.identity == "NAV-TIMELS"]
        assert len(ls) == 29
        assert {(m.currLs, m.validCurrLs, m.srcOfCurrLs) for m in ls} == {(18, 1, 2)}

    def test_ecef_position_and_velocity_match_the_reports(self):
        msgs = decoded(F9P)
        theirs = [r for r in reports(F9P) if "ecefx" in r]
        assert len(theirs) >= 25
        pos = [m for m in msgs if m.identity == "NAV-POSECEF"]
        hp = [m for m in msgs if m.identity == "NAV-HPPOSECEF"]
        vel = [m for m in msgs if m.identity == "NAV-VELECEF"]
        # The reports print metres to 0.01: a 1 cm field agrees to one count either way.
        for r, p, h, v in zip(theirs, pos, hp, vel):
            assert p.iTOW == h.iTOW == v.iTOW
            for axis in "XYZ":
                low = getattr(p, "ecef" + axis) / 100
                high = (getattr(h, "ecef" + axis) + getattr(h, f"ecef{axis}Hp") / 100) / 100
                assert abs(low - r["ecef" + axis.lower()]) <= 0.0101
                assert abs(high - r["ecef" + axis.lower()]) <= 0.0101
                assert abs(getattr(v, "ecefV" + axis) / 100 - r["ecefv" + axis.lower()]) <= 0.0101
            assert p.pAcc / 100 == pytest.approx(r["ecefpAcc"], abs=0.006)
            assert h.pAcc / 10000 == pytest.approx(r["ecefpAcc"], abs=0.006)
            assert v.sAcc / 100 == pytest.approx(r["ecefvAcc"], abs=0.006)
            assert h.invalidEcef == 0

    def test_high_precision_position_matches_the_reports(self):
        hp = [m for m in decoded(F9P) if m.identity == "NAV-HPPOSLLH"]
        theirs = reports(F9P)
        assert len(hp) == len(theirs) == 29
        for m, r in zip(hp, theirs):
            assert abs((m.lat * 100 + m.latHp) * 1e-9 - r["lat"]) <= 1e-7
            assert abs((m.lon * 100 + m.lonHp) * 1e-9 - r["lon"]) <= 1e-7
            assert abs((m.height + m.heightHp / 10) / 1000 - r["altHAE"]) <= 0.001
            assert abs((m.hMSL + m.hMSLHp / 10) / 1000 - r["altMSL"]) <= 0.001
            assert abs(m.hAcc / 10000 - r["eph"]) <= 0.0011
            assert abs(m.vAcc / 10000 - r["epv"]) <= 0.0011
            assert all(-99 <= getattr(m, f) <= 99 for f in ("latHp", "lonHp", "heightHp"))

    def test_end_of_epoch_follows_each_epochs_solution(self):
        msgs = decoded(F9P)
        eoe = [i for i, m in enumerate(msgs) if m.identity == "NAV-EOE"]
        assert len(eoe) == 29
        for i in eoe:
            solutions = [m.iTOW for m in msgs[:i] if m.identity == "NAV-PVT"]
            assert solutions[-1] == msgs[i].iTOW


# (class, id, mode, struct layout, field names, fixed values) per form, from the payload tables.
LAYOUTS = [
    (0x01, 0x01, GET, "<IiiiI", "iTOW ecefX ecefY ecefZ pAcc", {}),
    (0x01, 0x09, GET, "<B3sIIII", "version reserved0 iTOW distance totalDistance distanceStd", {}),
    (0x01, 0x10, SET, "<", "", {}),
    (0x01, 0x11, GET, "<IiiiI", "iTOW ecefVX ecefVY ecefVZ sAcc", {}),
    (0x01, 0x13, GET, "<B3sIiiibbbBI",
     "version reserved0 iTOW ecefX ecefY ecefZ ecefXHp ecefYHp ecefZHp flags pAcc", {}),
    (0x01, 0x14, GET, "<B2sBIiiiibbbbII",
     "version reserved0 flags iTOW lon lat height hMSL lonHp latHp heightHp hMSLHp hAcc vAcc", {}),
    (0x01, 0x20, GET, "<IihbBI", "iTOW fTOW week leapS valid tAcc", {}),
    (0x01, 0x22, GET, "<IiiII", "iTOW clkB clkD tAcc fAcc", {}),
    (0x01, 0x26, GET, "<IB3sBbBbiHH3sB",
     "iTOW version reserved0 srcOfCurrLs currLs srcOfLsChange lsChange timeToLsEvent "
     "dateOfLsGpsWn dateOfLsGpsDn reserved1 valid", {}),
    (0x01, 0x30, GET, "<IBBH" + "BBBBBbhi" * 2,
     "iTOW numCh globalFlags reserved1 " + " ".join(
         f"chn_0{k} svid_0{k} flags_0{k} quality_0{k} cno_0{k} elev_0{k} azim_0{k} prRes_0{k}"
         for k in (1, 2)), {}),
    (0x01, 0x32, GET, "<IBBbBB3s" + "BBBBBBhHh",
     "iTOW geo mode sys service cnt reserved0 svid_01 flags_01 udre_01 svSys_01 svService_01 "
     "reserved1_01 prc_01 reserved2_01 ic_01", {}),
    (0x01, 0x3C, GET, "<BBHIiiibbbBIIII",
     "version reserved0 refStationId iTOW relPosN relPosE relPosD relPosHPN relPosHPE relPosHPD "
     "reserved1 accN accE accD flags", {"version": 0}),
    (0x01, 0x3C, GET, "<BBHIiiiii4sbbbbIIIII4sI",
     "version reserved0 refStationId iTOW relPosN relPosE relPosD relPosLength relPosHeading "
     "reserved1 relPosHPN relPosHPE relPosHPD relPosHPLength accN accE accD accLength "
     "accHeading reserved2 flags", {"version": 1}),
    (0x01, 0x43, GET, "<IBB2s" + "BBBBhBBBBH4s" * 2,
     "iTOW version numSigs reserved0 " + " ".join(
         f"gnssId_0{k} svId_0{k} sigId_0{k} freqId_0{k} prRes_0{k} cno_0{k} qualityInd_0{k} "
         f"corrSource_0{k} ionoModel_0{k} sigFlags_0{k} reserved1_0{k}" for k in (1, 2)), {}),
    (0x01, 0x61, GET, "<I", "iTOW", {}),
    (0x02, 0x13, GET, "<BBBBBBBB" + "I" * 3,
     "gnssId svId sigId freqId numWords chn version reserved1 dwrd_01 dwrd_02 dwrd_03", {}),
    (0x02, 0x15, GET, "<dHbBBB2s" + "ddfBBBBHBBBBBB",
     "rcvTow week leapS numMeas recStat version reserved1 prMes_01 cpMes_01 doMes_01 gnssId_01 "
     "svId_01 sigId_01 freqId_01 locktime_01 cno_01 prStdev_01 cpStdev_01 doStdev_01 "
     "trkStat_01 reserved2_01", {"rcvTow": 432000.125, "prMes_01": 2.2e7 + 0.375,
                                 "cpMes_01": -1.5e8 + 0.25, "doMes_01": -1234.5}),
    (0x06, 0x00, SET, "<BBHIIHHH2s",
     "portID reserved1 txReady mode baudRate inProtoMask outProtoMask flags reserved2",
     {"portID": 1}),
    (0x06, 0x00, SET, "<BBH8sHH2s2s",
     "portID reserved1 txReady reserved2 inProtoMask outProtoMask reserved3 reserved4",
     {"portID": 3}),
    (0x06, 0x00, SET, "<BBHI4sHHH2s",
     "portID reserved1 txReady mode reserved3 inProtoMask outProtoMask flags reserved2",
     {"portID": 4}),
    (0x06, 0x00, SET, "<BBHI4sHHH2s",
     "portID reserved1 txReady mode reserved3 inProtoMask outProtoMask flags reserved2",
     {"portID": 0}),
    (0x06, 0x00, POLL, "<B", "portID", {}),
    (0x06, 0x00, SET, "<" + "BBHIIHHH2s" * 2, " ".join(
        f"portID_0{k} reserved1_0{k} txReady_0{k} mode_0{k} baudRate_0{k} inProtoMask_0{k} "
        f"outProtoMask_0{k} flags_0{k} reserved2_0{k}" for k in (1, 2)), {}),
    (0x06, 0x04, SET, "<HBB", "navBbrMask resetMode reserved1", {}),
    (0x06, 0x24, SET, "<HBBiIbBHHHHBBBB2sHB5s",
     "mask dynModel fixMode fixedAlt fixedAltVar minElev drLimit pDop tDop pAcc tAcc "
     "staticHoldThresh dgnssTimeout cnoThreshNumSVs cnoThresh reserved1 staticHoldMaxDist "
     "utcStandard reserved2", {}),
    (0x06, 0x3E, SET, "<BBBB" + "BBBBI" * 2,
     "msgVer numTrkChHw numTrkChUse numConfigBlocks " + " ".join(
         f"gnssId_0{k} resTrkCh_0{k} maxTrkCh_0{k} reserved1_0{k} flags_0{k}" for k in (1, 2)),
     {}),
    (0x0A, 0x09, GET, "<IIIIHHBBBBI17sB2sIII",
     "pinSel pinBank pinDir pinVal noisePerMS agcCnt aStatus aPower flags reserved1 usedMask "
     "VP jamInd reserved2 pinIrq pullH pullL", {}),
    (0x0A, 0x09, GET, "<IIIIHHBBBBI40s",
     "pinSel pinBank pinDir pinVal noisePerMS agcCnt aStatus aPower flags reserved1 usedMask "
     "pinData", {}),
    (0x0A, 0x38, GET, "<BB2s" + "BBBBI4sHHBbBbB3s" * 2,
     "version nBlocks reserved0 " + " ".join(
         f"blockId_0{k} flags_0{k} antStatus_0{k} antPower_0{k} postStatus_0{k} reserved1_0{k} "
         f"noisePerMS_0{k} agcCnt_0{k} jamInd_0{k} ofsI_0{k} magI_0{k} ofsQ_0{k} magQ_0{k} "
         f"reserved2_0{k}" for k in (1, 2)), {}),
    (0x0D, 0x01, GET, "<IIiHBB", "towMS towSubMS qErr week flags refInfo", {}),
    (0x0D, 0x03, GET, "<BBHHHIIIII",
     "ch flags count wnR wnF towMsR towSubMsR towMsF towSubMsF accEst", {}),
    (0x27, 0x03, GET, "<B3s5s", "version reserved0 uniqueId", {}),
    (0x27, 0x03, GET, "<B3s6s", "version reserved0 uniqueId", {}),
]


def sample(layout, names, fixed):
    """A distinct value per field (negative where signed), unless the row fixes it."""
    values = {}
    codes = re.findall(r"(\d*)([a-zA-Z])", layout)
    for n, ((count, code), name) in enumerate(zip(codes, names), start=1):
        if name in fixed:
            values[name] = fixed[name]
        elif code == "s":
            values[name] = bytes(range(n, n + int(count)))
        elif code in "bhi":
            values[name] = -(n * 3)
        elif code in "df":
            values[name] = n + 0.5
        else:
            values[name] = n * 5 + (200 if code in "HI" else 0)
    return values


@pytest.mark.parametrize("cls,msg_id,mode,layout,names,fixed", LAYOUTS,
                         ids=[f"{c:02x}{i:02x}-{struct.calcsize(l)}" for c, i, _, l, _, _ in LAYOUTS])
def test_every_new_form_against_its_table(cls, msg_id, mode, layout, names, fixed):
    names = names.split()
    values = sample(layout, names, fixed)
    expected = frame(cls, msg_id, struct.pack(layout, *(values[n] for n in names)))
    parsed = UBXReader.parse(expected)
    assert not parsed.identity.startswith("UNKNOWN")
    for name in names:
        assert getattr(parsed, name) == values[name], name
    assert parsed.serialize() == expected
    built = UBXMessage(cls, msg_id, mode, **values)
    assert built.serialize() == expected and built == parsed


def test_every_listed_length_passes_the_scanner():
    """A reader rejects a known message whose length no form has; every form's own lengths
    must come through, between noise and NMEA."""
    stream = b""
    for cls, msg_id, _mode, layout, names, fixed in LAYOUTS:
        values = sample(layout, names.split(), fixed)
        stream += b"$GPTXT,noise*00\r\n\xb5" + frame(
            cls, msg_id, struct.pack(layout, *(values[n] for n in names.split())))
    got = [(m.msg_cls, m.msg_id, m.length) for _raw, m in UBXReader(io.BytesIO(stream))]
    assert got == [(c, i, struct.calcsize(l)) for c, i, _m, l, _n, _f in LAYOUTS]


def test_named_bits_of_the_new_messages():
    sig = UBXReader.parse(frame(1, 0x43, struct.pack("<IBB2s", 1, 0, 1, b"")
                                + struct.pack("<BBBBhBBBBH4s", 0, 7, 0, 0, -12, 40, 7, 0, 1,
                                              0b1_0000_1001, b"")))
    assert (sig.health_01, sig.prUsed_01, sig.crUsed_01, sig.doCorrUsed_01) == (1, 1, 0, 1)
    rel = UBXReader.parse(frame(1, 0x3C, bytes(60) + struct.pack("<I", 0b11_0001_0111)))
    assert (rel.version, rel.gnssFixOK, rel.relPosValid, rel.carrSoln) == (0, 1, 1, 2)
    assert (rel.relPosHeadingValid, rel.relPosNormalized, rel.isMoving) == (1, 1, 0)
    tp = UBXReader.parse(frame(0x0D, 1, struct.pack("<IIiHBB", 0, 0, 0, 0, 0b1011, 0x32)))
    assert (tp.timeBase, tp.utc, tp.raim, tp.timeRefGnss, tp.utcStandard) == (1, 1, 2, 2, 3)
    prt = UBXMessage(6, 0, SET, portID=1, baudRate=115200, charLen=3, parity=4, inUbx=1,
                     outUbx=1, outNmea=0)
    assert prt.payload == struct.pack("<BBHIIHHH2s", 1, 0, 0, 0x8C0, 115200, 1, 1, 0, b"")
    assert UBXReader.parse(prt.serialize()).baudRate == 115200
    rst = UBXMessage(6, 4, SET, navBbrMask=0xFFFF, resetMode=1)
    assert rst.payload == b"\xff\xff\x01\x00" and UBXReader.parse(rst.serialize()).aop == 1


def test_port_forms_follow_the_port_id():
    usb = UBXMessage(6, 0, SET, portID=3, inProtoMask=3, outProtoMask=1)
    assert usb.payload == struct.pack("<BBH8sHH4s", 3, 0, 0, b"", 3, 1, b"")
    assert not hasattr(UBXReader.parse(usb.serialize()), "baudRate")
    assert UBXMessage(6, 0, SET, baudRate=9600).portID == 1  # the UART form by default
    with pytest.raises(UBXMessageError, match="no SET form takes that value of 'portID'"):
        UBXMessage(6, 0, SET, portID=3, baudRate=9600)
    with pytest.raises(UBXMessageError, match="at least 2 repeated blocks"):
        UBXMessage(6, 0, SET, portID_01=1)
    assert UBXMessage(6, 0, POLL, portID=1).payload == b"\x01"


@pytest.mark.parametrize("msg_id,identity", [(0, "INF-ERROR"), (1, "INF-WARNING"),
                                             (2, "INF-NOTICE"), (3, "INF-TEST"), (4, "INF-DEBUG")])
def test_inf_text_is_the_whole_payload(msg_id, identity):
    msg = UBXReader.parse(frame(4, msg_id, b"ANTSTATUS=OK \xb0"))
    assert (msg.identity, msg.str) == (identity, "ANTSTATUS=OK \xb0")
    assert msg.as_dict() == {"str": "ANTSTATUS=OK \xb0"}
    assert UBXMessage(4, msg_id, GET, str="ANTSTATUS=OK \xb0") == msg
    assert UBXReader.parse(frame(4, msg_id, b"")).str == ""
    assert UBXReader.parse(frame(4, msg_id, b"cut\x00junk")).str == "cut"


def test_real_fields_take_numbers_a_float_holds():
    raw = UBXMessage(2, 0x15, GET, rcvTow=0.1, doMes_01=0.1, prMes_01=3)
    back = UBXReader.parse(raw.serialize())
    assert back.rcvTow == 0.1 and back.prMes_01 == 3.0
    assert back.doMes_01 == struct.unpack("<f", struct.pack("<f", 0.1))[0]
    assert "rcvTow=0.1," in repr(back)
    with pytest.raises(UBXMessageError, match="out of range for R4 field 'doMes_01'"):
        UBXMessage(2, 0x15, GET, doMes_01=1e39)
    with pytest.raises(UBXMessageError, match="takes a number that an R4/R8 holds exactly"):
        UBXMessage(2, 0x15, GET, rcvTow=2**60 + 1)
    with pytest.raises(TypeError, match="takes int, bytes or str, not float"):
        UBXMessage(2, 0x15, GET, week=1.0)


def test_status_and_satellite_bits_are_named():
    # NAV-SAT flags 4624 = 0x1210, as the receiver recorded in the captures sends it:
    # health 1 (bits 4-5), orbitSource 2 (bits 8-10), almAvail (bit 12).
    sat = UBXReader.parse(frame(1, 0x35, struct.pack("<IBB2s", 0, 1, 2, b"")
                                + struct.pack("<BBBbhhI", 0, 5, 38, 19, 284, 0, 4624)
                                + struct.pack("<BBBbhhI", 0, 7, 0, 0, 0, 0, 0x7F_7FFF)))
    assert (sat.health_01, sat.orbitSource_01, sat.almAvail_01, sat.svUsed_01) == (1, 2, 1, 0)
    assert (sat.qualityInd_02, sat.svUsed_02, sat.health_02, sat.diffCorr_02, sat.smoothed_02,
            sat.orbitSource_02, sat.ephAvail_02, sat.aopAvail_02) == (7, 1, 3, 1, 1, 7, 1, 1)
    assert (sat.sbasCorrUsed_02, sat.rtcmCorrUsed_02, sat.slasCorrUsed_02, sat.spartnCorrUsed_02,
            sat.prCorrUsed_02, sat.crCorrUsed_02, sat.doCorrUsed_02, sat.clasCorrUsed_02) == \
        (1, 1, 1, 1, 1, 1, 1, 0)
    status = UBXReader.parse(frame(1, 3, struct.pack("<IBBBBII", 0, 3, 0b1101, 0b1000_0010,
                                                     0b0100_1010, 0, 0)))
    assert (status.gpsFixOk, status.diffSoln, status.wknSet, status.towSet) == (1, 0, 1, 1)
    assert (status.diffCorr, status.carrSolnValid, status.mapMatching) == (0, 1, 2)
    assert (status.psmState, status.spoofDetState, status.carrSoln) == (2, 1, 1)
    sol = UBXReader.parse(frame(1, 6, bytes(11) + b"\x0d" + bytes(40)))
    assert (sol.gpsfixOK, sol.diffSoln, sol.wknSet, sol.towSet) == (1, 0, 1, 1)
    utc = UBXReader.parse(frame(1, 0x21, bytes(19) + b"\x35"))
    assert (utc.validTOW, utc.validWKN, utc.validUTC, utc.utcStandard) == (1, 0, 1, 3)
    valset = UBXMessage(6, 0x8A, SET, version=1, ram=1, flash=1, action=3, cfgData=b"")
    assert valset.payload[:3] == b"\x01\x05\x03" and UBXReader.parse(valset.serialize()).bbr == 0
