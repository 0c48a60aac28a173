"""The codec's own answers about configuration keys and itself, which the tools take instead of
tables of their own: config_key() for names, hex ids and bare ids, MAX_KEYS, __version__."""
import os
import re

import pytest

from libs import pyubx2
from libs.pyubx2 import CONFIG_KEYS, SET_LAYER_RAM, UBXMessage, UBXMessageError, config_key
from test_codec_config import DOC_KEYS
from zq_paths import REPO

# Bits 28-30 of a key id, as the protocol notes give them: the type of an unknown key's value.
SIZE_CODE_TYPES = {1: "L", 2: "U1", 3: "U2", 4: "U4", 5: "U8"}


def test_documented_keys_by_name_hex_name_and_id():
    for line in DOC_KEYS.strip().splitlines():
        name, hex_id, kind = line.split()
        entry = (name, int(hex_id, 16), kind, *CONFIG_KEYS[name][2:])
        assert config_key(name) == config_key(hex_id.upper().replace("0X", "0x")) == entry
        assert config_key(int(hex_id, 16)) == entry
    assert config_key("CFG-RATE-MEAS")[2:] == ("U2", 0.001, "s")


@pytest.mark.parametrize("code, kind", sorted(SIZE_CODE_TYPES.items()))
def test_unknown_ids_take_the_type_of_their_size_code(code, kind):
    key = code << 28 | 0x00FE0001  # group 0xFE: no key of the table
    assert key not in {entry[0] for entry in CONFIG_KEYS.values()}
    assert config_key(key) == ("0x%08x" % key, key, kind, 1.0, "")
    assert config_key("0X%08X" % key) == config_key(key)


@pytest.mark.parametrize("key, error, text", [
    ("CFG-RATE-MEASURE", UBXMessageError, "unknown configuration key 'CFG-RATE-MEASURE'"),
    ("cfg-rate-meas", UBXMessageError, "unknown configuration key"),  # names are exact
    (0x00210001, UBXMessageError, "illegal size code"),
    (0x70210001, UBXMessageError, "illegal size code"),
    ("0x70210001", UBXMessageError, "unknown configuration key"),
    (1 << 32, UBXMessageError, "out of range"),
    (-1, UBXMessageError, "out of range"),
    (1.0, TypeError, "config_key: a configuration key is a name (str) or an id (int)"),
    (True, TypeError, "not bool"),
])
def test_keys_no_receiver_has_are_refused(key, error, text):
    with pytest.raises(error, match=re.escape(text)):
        config_key(key)


def test_max_keys_is_what_one_valset_carries():
    keys = [(4 << 28) | 0x00FE0000 | n for n in range(1, pyubx2.MAX_KEYS + 2)]
    assert pyubx2.MAX_KEYS == 64
    UBXMessage.valset(SET_LAYER_RAM, {k: 0 for k in keys[:-1]})
    with pytest.raises(UBXMessageError):
        UBXMessage.valset(SET_LAYER_RAM, {k: 0 for k in keys})


def test_version_is_the_projects(zq):
    with open(os.path.join(REPO, "CMakeLists.txt")) as f:
        project = re.search(r"project\(zq_gps VERSION ([\d.]+)", f.read()).group(1)
    assert pyubx2.__version__ == project == zq.version
