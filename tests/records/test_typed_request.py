"""The API hands the engine values, not words: an exclusion as a (from, to)
tuple of ints, an int offset matched to its own algorithm by its number. Each checksum is recomputed here from the image's bytes with
the catalogue's parameters (crcref), never with the tool's own code."""

import pytest

import velk_crc
from conftest import run_cli
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


# A value the front could not read is refused where the run comes to it:
# a build that cannot be read is said first, whatever else is wrong.
UNREAD = [
    pytest.param(["--fill", "0x1FF"], {"fill": 0x1FF}, id="fill"),
    pytest.param(["--uf2", "rp2041"], {"uf2": "rp2041"}, id="uf2"),
    pytest.param(["--crc", "crc-99"], {"crc": "crc-99"}, id="crc"),
    pytest.param(["--merge", "boot.bin@0xZZ"], {"merge": "boot.bin@0xZZ"}, id="merge"),
    pytest.param(["--header", "hdr:size@x"], {"header": "hdr:size@x"}, id="header"),
]


@pytest.mark.parametrize("words, keywords", UNREAD)
def test_a_missing_build_is_said_before_an_unread_value(velk, monkeypatch, tmp_path, words,
                                                        keywords):
    missing = tmp_path / "gone.elf"
    code, _, err = run_cli(velk, monkeypatch, "FLASH", missing, "--napp_crc", *words)
    assert code == 255 and "gone.elf" in err and "no such file" in err.lower(), err
    with pytest.raises(velk_crc.Refused, match="(?i)no such file"):
        velk_crc.flash(missing, symbol="app_crc", **keywords)


# Each front's refusal of a value names the option as that front spells it.
REFUSED = [
    pytest.param(["--fill", "0x100"], {"fill": 0x100},
                 '--fill takes the byte erased flash reads, 0x00 to 0xFF: "0x100" is not one',
                 'fill takes the byte erased flash reads, 0x00 to 0xFF: "0x100" is not one',
                 id="fill"),
    pytest.param(["--fill", "255"], {"fill": -1},
                 '"255" is not one (the value takes 0x: --fill 0xFF)',
                 '"-0x1" is not one', id="fill-bare-digits"),
    pytest.param(["--uf2", "rp2041"], {"uf2": "rp2041"},
                 "--uf2 rp2041: no such chip family", 'uf2="rp2041": no such chip family',
                 id="uf2"),
    pytest.param(["--merge", "boot.bin@0x08010000", "--entry", "0x100000000"],
                 {"merge": "boot.bin@0x08010000", "entry": 0x100000000},
                 "--entry 0x100000000: not a 32-bit address",
                 'entry="0x100000000": not a 32-bit address', id="entry"),
    pytest.param(["--crc", "width=16,poly=0x1021,init=0,refin=false,refout=false,xorout=0,"
                  "check=0x1234"],
                 {"crc": "width=16,poly=0x1021,init=0,refin=false,refout=false,xorout=0,"
                  "check=0x1234"},
                 "check=0x1234, but these parameters (CRC-16/XMODEM's) give 0x31c3",
                 "check=0x1234, but these parameters (CRC-16/XMODEM's) give 0x31c3",
                 id="crc-check"),
    pytest.param(["--header", "0x08000000+0:size@4"], {"header": "0x08000000+0:size@4"},
                 '--header 0x08000000+0:size@4: "0x08000000+0" is no header',
                 'header="0x08000000+0:size@4": "0x08000000+0" is no header', id="header"),
]


@pytest.mark.parametrize("words, keywords, line, api_line", REFUSED)
def test_an_unread_value_is_refused_as_its_front_gave_it(velk, monkeypatch, elf, words,  # noqa: F811
                                                         keywords, line, api_line):
    boot = elf.with_name("boot.bin")
    boot.write_bytes(bytes(16))
    monkeypatch.chdir(elf.parent)
    code, _, err = run_cli(velk, monkeypatch, "FLASH", elf, "--napp_crc", *words)
    assert code == 255 and line in err, err
    with pytest.raises(velk_crc.Refused) as refused:
        velk_crc.flash(elf, symbol="app_crc", **keywords)
    assert api_line in str(refused.value)


def test_an_int_fill_is_the_byte_the_word_gives(velk, monkeypatch, elf):  # noqa: F811
    code, _, err = run_cli(velk, monkeypatch, "FLASH", elf, "--napp_crc", "--fill", "0x00",
                           "--bin")
    assert code == 0, err
    by_word = elf.with_name("fw_CRC.bin").read_bytes()
    velk_crc.flash(elf, symbol="app_crc", fill=0, bin=True)
    assert elf.with_name("fw_CRC.bin").read_bytes() == by_word


@pytest.mark.parametrize("record, why", [
    pytest.param("app_crc@0xZZ", '"0xZZ" is not an address', id="no-address"),
    pytest.param("app_crc@0x", '"0x" is not an address', id="bare-0x"),
    pytest.param("app_crc@", "'@' needs where the range starts, a symbol or a 0x address",
                 id="nothing"),
])
def test_a_range_start_the_front_cannot_read(velk, monkeypatch, elf, record, why):  # noqa: F811
    code, _, err = run_cli(velk, monkeypatch, "FLASH", elf, "--n" + record)
    assert code == 255 and f"--n{record}: {why}" in err, err
    with pytest.raises(velk_crc.Refused) as refused:
        velk_crc.flash(elf, symbol=record)
    assert f'symbol="{record}": {why}' in str(refused.value)


@pytest.mark.parametrize("entry", ["0x08010001", 0x08010001], ids=["word", "int"])
def test_a_start_address_given_as_an_address(elf, entry):  # noqa: F811
    boot = elf.with_name("boot.bin")
    boot.write_bytes(bytes(16))
    report = velk_crc.flash(elf, symbol="app_crc", merge=f"{boot}@0x08010000", entry=entry)
    assert report.merged["start_address"] == 0x08010001
    assert report.merged["start_from"] == "--entry"
    records = elf.with_name("fw_CRC_merged.hex").read_text().splitlines()
    # The start linear address record: type 05, the address in its data.
    assert ":0400000508010001ED" in records
