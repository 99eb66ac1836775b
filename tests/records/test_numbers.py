"""Numbers typed as text are read by one grammar wherever they are typed:
a CRC's parameters and an MCUboot size take 0x<hex> or decimal digits and
nothing else; a sign after the 0x is no number, from the command line and
from the API alike."""

import pytest

import velk_crc
from conftest import run_command
from test_mcuboot import app_elf

CRC8 = "width=8,poly=0x07,init=0,refin=false,refout=false,xorout=0"


@pytest.fixture(scope="module")
def build(tmp_path_factory):
    folder = tmp_path_factory.mktemp("numbers")
    app_elf(folder / "fw.elf", "added")
    return folder


@pytest.mark.parametrize("crc, says", [
    pytest.param(CRC8.replace("init=0", "init=0x-0"), "init=0x-0: not a number", id="signed-init"),
    pytest.param(CRC8.replace("poly=0x07", "poly=0x-1"), "poly=0x-1: not a number",
                 id="signed-poly"),
    pytest.param(CRC8 + ",check=0x+F4", "check=0x+F4: not a number", id="signed-check"),
    pytest.param(CRC8.replace("init=0", "init=0x"), "init=0x: not a number", id="prefix-alone"),
])
def test_a_sign_after_the_prefix_is_no_number(build, crc, says):
    done = run_command("FLASH", "fw.elf", "--ncrc_slot", "--crc", crc, cwd=build)
    assert done.returncode == 255
    assert done.stderr == f'error: fw.elf: "{crc}": {says} (0x hex or decimal)\n'
    with pytest.raises(velk_crc.Refused, match=f'"{crc}": {says}'.replace("+", r"\+")):
        velk_crc.flash(build / "fw.elf", symbol="crc_slot", crc=crc)


@pytest.mark.parametrize("crc, refused", [
    # CRC-64/WE, its xorout in decimal, all 20 digits: the slot is too small,
    # so the parameters were read and their check value held.
    pytest.param("width=64,poly=0x42f0e1eba9ea3693,init=0xffffffffffffffff,refin=false,"
                 "refout=false,xorout=18446744073709551615,check=0x62ec59e3f1a4f00a",
                 "not an 8-byte checksum variable", id="decimal-64"),
    # CRC-32/MPEG-2 with leading zeros past sixteen digits.
    pytest.param("width=32,poly=0x0000000000000004c11db7,init=4294967295,refin=false,"
                 "refout=false,xorout=0,check=0x0376e6e7", None, id="long-hex"),
])
def test_a_long_number_is_read_whole(build, crc, refused):
    if refused:
        with pytest.raises(velk_crc.Refused, match=refused):
            velk_crc.flash(build / "fw.elf", symbol="crc_slot", crc=crc)
        return
    report = velk_crc.flash(build / "fw.elf", symbol="crc_slot", crc=crc)
    assert report.checksum == velk_crc.flash(build / "fw.elf", symbol="crc_slot",
                                             crc="CRC-32/MPEG-2").checksum
