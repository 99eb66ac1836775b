"""The checksum catalogue: every row computes its check value and agrees
with crcmod's function for the same parameters, fed bytes and (MPEG-2)
32-bit words, on data of every length that exercises the eight-byte path
and its tails."""

import random

import crcmod
import crcmod.predefined
import pytest

from crcref import CATALOGUE, Crc, crc as bitwise
from velk_crc import _core

T, F = True, False
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


# Parameters outside the table, including widths that are no whole bytes:
# the catalogue's check values and the bitwise definition.
@pytest.mark.parametrize("parameters, check", [
    ((64, 0x42F0E1EBA9EA3693, 2**64 - 1, T, T, 2**64 - 1), 0x995DC9BBDF1939FA),  # CRC-64/XZ
    ((32, 0x04C11DB7, 0xFFFFFFFF, F, F, 0xFFFFFFFF), 0xFC891918),  # CRC-32/BZIP2
    ((12, 0x80F, 0x000, F, T, 0x000), 0xDAF),  # CRC-12/3GPP
    ((5, 0x15, 0x00, T, T, 0x00), 0x07),  # CRC-5/G-704
    ((3, 0x3, 0x7, T, T, 0x0), 0x6),  # CRC-3/ROHC
], ids=["CRC-64/XZ", "CRC-32/BZIP2", "CRC-12/3GPP", "CRC-5/G-704", "CRC-3/ROHC"])
def test_parameters_outside_the_table(parameters, check):
    assert _core._checksum(parameters, b"123456789", False) == check
    want = Crc(*parameters, check)
    for length in (0, 1, 7, 8, 9, 67, 300):
        data = DATA[length:2 * length]
        assert _core._checksum(parameters, data, False) == bitwise(want, data), length
