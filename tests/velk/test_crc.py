import random
import traceback

import pytest

from conftest import crc32_mpeg2

# Published CRC-32/MPEG-2 values (width 32, poly 0x04C11DB7, init 0xFFFFFFFF,
# no reflection, xorout 0); "check" is the catalogue's check value.
KNOWN = [
    pytest.param(b"", 0xFFFFFFFF, id="empty-is-init"),
    pytest.param(b"123456789", 0x0376E6E7, id="check"),
    pytest.param(b"\xff\xff\xff\xff", 0x00000000, id="ones-cancel-init"),
    pytest.param(b"\x00", 0x4E08BFB4, id="one-zero-byte"),
]


@pytest.mark.parametrize("data, expected", KNOWN)
def test_known_values(velk, data, expected):
    assert velk.calc_crc_mpeg2(data) == expected
    assert velk.calc_crc_mpeg2(data=data) == expected
    assert crc32_mpeg2(data) == expected  # the reference itself agrees


@pytest.mark.parametrize("size", [1, 3, 4, 255, 4096, 65537])
def test_random_data_against_bitwise_reference(velk, size):
    data = random.Random(size).randbytes(size)
    assert velk.calc_crc_mpeg2(data) == crc32_mpeg2(data)
    # No state carries over between calls.
    assert velk.calc_crc_mpeg2(data) == crc32_mpeg2(data)


def test_refused_data_propagates_with_entry(velk):
    with pytest.raises(TypeError) as info:
        velk.calc_crc_mpeg2(12)
    names = [f.name for f in traceback.extract_tb(info.value.__traceback__)]
    assert "VELK_CRC.calc_crc_mpeg2" in names
