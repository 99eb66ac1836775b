"""The API hands the engine values, not words: an exclusion as a (from, to)
tuple of ints, an int offset matched to its own algorithm by its number. Each checksum is recomputed here from the image's bytes with
the catalogue's parameters (crcref), never with the tool's own code."""

import pytest

import velk_crc
from crcref import CATALOGUE, crc
from hexcheck import read_hex
from test_exclusions import LOAD, MPEG2, covered, elf, image_bytes, value  # noqa: F401

XMODEM = CATALOGUE["CRC-16/XMODEM"]


@pytest.mark.parametrize("exclude, pieces", [
    pytest.param((LOAD + 0x40, LOAD + 0x60), [(0, 0x40), (0x60, 0x3FC)], id="tuple"),
    pytest.param([(LOAD + 0x40, LOAD + 0x60), (LOAD + 0x100, LOAD + 0x104)],
                 [(0, 0x40), (0x60, 0x100), (0x104, 0x3FC)], id="tuples"),
    pytest.param([(LOAD, LOAD + 0x20), "calib"], [(0x20, 0x40), (0x60, 0x3FC)],
                 id="tuple-and-symbol"),
])
def test_an_exclusion_as_bounds(elf, exclude, pieces):  # noqa: F811
    report = velk_crc.flash(elf, symbol="app_crc", exclude=exclude)
    image = read_hex(report.files[0])
    assert value(image, 0x3FC) == crc(MPEG2, covered(image, pieces))
    assert velk_crc.check(report.files[0], offset=0x3FC, exclude=exclude, elf=elf).ok


@pytest.mark.parametrize("exclude, says", [
    pytest.param((LOAD + 0x60, LOAD + 0x40),
                 "exclude=(0x8000060, 0x8000040): 0x08000040 is not after 0x08000060",
                 id="backwards"),
    pytest.param((-1, LOAD), "exclude=(-0x1, 0x8000000): give the bytes as <from>-<to>",
                 id="negative"),
])
def test_bounds_refused_name_them_as_given(elf, exclude, says):  # noqa: F811
    with pytest.raises(velk_crc.Refused, match=r"^.*fw\.elf: " + rf"{says}".replace(
            "(", r"\(").replace(")", r"\)")):
        velk_crc.flash(elf, symbol="app_crc", exclude=exclude)


@pytest.mark.parametrize("key", [0x3FC, 0x03FC], ids=["offset", "same-number"])
def test_an_offset_takes_its_own_algorithm_by_number(elf, key):  # noqa: F811
    report = velk_crc.flash(elf, offset=[0x3FC], algorithms={key: "crc-16/xmodem"},
                            force=True)
    image = read_hex(report.files[0])
    got = int.from_bytes(image.bytes_at(LOAD + 0x3FC, 2), "little")
    assert got == crc(XMODEM, covered(image, [(0, 0x3FC)]))
