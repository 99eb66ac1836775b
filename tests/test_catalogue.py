"""The checksum catalogue: every row computes its check value and agrees
with crcmod's function for the same parameters, fed bytes and (MPEG-2)
32-bit words, on data of every length that exercises the eight-byte path
and its tails."""

import random

import crcmod
import crcmod.predefined
import pytest

from crcref import CATALOGUE, crc as bitwise
from velk_crc import _core

ROWS = [row[0] for row in crcmod.predefined._crc_definitions_table]
DATA = random.Random(27).randbytes(1 << 20)
LENGTHS = range(0, 301)


def words_reversed(data):
    return b"".join(data[i:i + 4][::-1] for i in range(0, len(data), 4))


@pytest.mark.parametrize("name", ROWS)
def test_every_row_agrees_with_crcmod(name):
    reference = crcmod.predefined.mkPredefinedCrcFun(name)
    assert _core._checksum(name, b"123456789", False) == reference(b"123456789")
    for length in LENGTHS:
        data = DATA[length:2 * length]
        assert _core._checksum(name, data, False) == reference(data), length
    assert _core._checksum(name, DATA, False) == reference(DATA)


@pytest.mark.parametrize("name", CATALOGUE)
def test_every_catalogue_name_gives_its_check_value(name):
    want = CATALOGUE[name]
    assert _core._checksum(name, b"123456789", False) == want.check
    # The bitwise definition over data the tables take eight bytes at a time.
    data = DATA[:67]
    assert _core._checksum(name, data, False) == bitwise(want, data)


def test_words_are_fed_as_the_stm32_unit_takes_them():
    reference = crcmod.predefined.mkPredefinedCrcFun("crc-32-mpeg")
    for length in range(0, 301, 4):
        data = DATA[length:2 * length]
        assert _core._checksum("CRC-32/MPEG-2", data, True) == reference(words_reversed(data))
    assert _core._checksum("CRC-32/MPEG-2", DATA, True) == reference(words_reversed(DATA))


def test_an_unknown_name_is_no_algorithm():
    with pytest.raises(ValueError, match="no algorithm 'crc-33'"):
        _core._checksum("crc-33", b"", False)
