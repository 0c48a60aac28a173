"""The power-mode command and the accessors."""
import pytest

from zq_fakes import pvt

CFG_RXM_CONTINUOUS = bytes.fromhex("b562061102000800 2191".replace(" ", ""))


class Builder:
    made = []

    def __init__(self, *args, **kwargs):
        Builder.made.append((args, kwargs))

    def serialize(self):
        return b"frame"


def test_power_mode_builds_cfg_rxm_and_writes_once(env, zq, monkeypatch):
    monkeypatch.setattr(zq, "UBXMessage", Builder)
    monkeypatch.setattr(zq, "SET", "set-mode")
    Builder.made.clear()
    g = env.make()
    assert g.setPowerMode() is None
    assert g.setPowerMode() is None
    assert Builder.made == [((6, 0x11, "set-mode"), {"lpMode": 0})] * 2
    assert g.ser.written == [b"frame", b"frame"]


def test_power_mode_bytes_with_the_real_codec(env):
    g = env.make()
    g.setPowerMode()
    assert g.ser.written == [CFG_RXM_CONTINUOUS]


def test_power_mode_after_stop_fails_and_changes_nothing(env):
    g = env.make()
    g.stop()
    before = dict(vars(g))
    with pytest.raises(OSError):
        g.setPowerMode()
    assert dict(vars(g)) == before


def test_power_mode_codec_rejection_writes_nothing(env, zq, monkeypatch):
    def rejecting(*a, **k):
        raise ValueError("unknown field")
    monkeypatch.setattr(zq, "UBXMessage", rejecting)
    g = env.make()
    with pytest.raises(ValueError):
        g.setPowerMode()
    assert g.ser.written == []


def test_power_mode_without_port(zq, env):
    g = zq.zq_gps.__new__(zq.zq_gps)
    with pytest.raises(AttributeError):
        g.setPowerMode()


def test_accessors_before_data(env, zq):
    g = env.make()
    assert g.getgps() == (0, 0, 99.99, -1, -1, -1, -1)
    assert g.getparseddata() == (0, 0, 99.99)
    assert (g.getlat(), g.getlon()) == (0, 0)
    assert g.getversion() == "1.4.0"


def test_accessors_after_data_agree(env):
    g = env.make()
    env.script[:] = [(b"", pvt(lon=-1234567891, lat=123456789, pDOP=99, gSpeed=1, headAcc=2,
                               headMot=3))]
    g.loop_gps()
    gps = g.getgps()
    assert gps == (-123.4567891, 12.3456789, 0.99, 9, 1, 2, 3)
    assert (gps[0], gps[1]) == (g.getlon(), g.getlat())
    assert g.getparseddata() == gps[:3]


def test_accessors_return_the_stored_objects(env):
    g = env.make()
    marker = object()
    g.lat = marker
    assert g.getlat() is marker and g.getgps()[1] is marker


def test_accessor_with_deleted_attribute(env):
    g = env.make()
    del g.headMot
    with pytest.raises(AttributeError):
        g.getgps()


def test_getversion_reads_module_value(env, zq, monkeypatch):
    g = env.make()
    monkeypatch.setattr(zq, "version", "9.9.9")
    assert g.getversion() == "9.9.9"
