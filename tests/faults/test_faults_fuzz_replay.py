"""Saved fuzz inputs replayed through the staged libs.pyubx2 with the reader target's own
checks (fuzz/fuzz_reader_check.py), and the builder findings as a Python host meets them."""
import os
import sys

import pytest

from zq_paths import REPO

FUZZ = os.path.join(REPO, "fuzz")
REGRESSIONS = os.path.join(FUZZ, "regressions")
sys.path.insert(0, FUZZ)

import fuzz_reader_check  # noqa: E402
from libs.pyubx2 import GET, UBXMessage, UBXMessageError  # noqa: E402

STREAMS = sorted(f for f in os.listdir(REGRESSIONS) if not f.startswith("build-"))


@pytest.mark.parametrize("name", STREAMS)
def test_saved_stream_reads_the_same_every_way(name):
    with open(os.path.join(REGRESSIONS, name), "rb") as f:
        fuzz_reader_check.check(f.read())


# A block number k whose k * block size wraps around to zero once made the builder write before
# its buffer (found while writing the builder's fuzz target; fuzz/regressions/build-*).
@pytest.mark.parametrize("k", [1 << 62, 1 << 63, 3 << 62, (1 << 64) - 1, 256])
@pytest.mark.parametrize("field", ["gnssId", "svId", "cno", "elev", "azim", "flags"])
def test_block_number_beyond_the_longest_form_is_refused(field, k):
    with pytest.raises(UBXMessageError, match="repeated blocks exceed the longest form"):
        UBXMessage(1, 0x35, GET, **{"%s_%02d" % (field, k): 1})


def test_block_numbers_up_to_the_longest_form_build():
    m = UBXMessage(1, 0x35, GET, cno_255=7)
    assert m.length == 8 + 12 * 255 and m.cno_255 == 7 and m.cno_01 == 0
