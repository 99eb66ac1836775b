"""An MCUboot key file whose name holds a comma, given to FLASH and CHECK
from the command line (one word of settings) and from the API (a dict):
the image is imgtool 2.5.0's, byte for byte, and CHECK verifies its
signature with that key. A mistyped setting after the key is still one."""

import shutil

import pytest

import velk_crc
from conftest import run_command
from test_mcuboot import HEADER, app_elf, imgtool_sign, keys  # noqa: F401 (a fixture)
from test_mcuboot_settings import image_of

KEY_NAMES = ["a,b.pem", "keys,v1/ed25519.pem", "x,header.pem"]


@pytest.fixture(scope="module")
def signed(tmp_path_factory, keys):  # noqa: F811
    """The build checksummed, and imgtool's image of it signed with the
    Ed25519 key (a signature of one key and image is always the same), once."""
    folder = tmp_path_factory.mktemp("comma")
    app_elf(folder / "fw.elf", "added")
    velk_crc.flash(folder / "fw.elf", symbol="crc_slot")
    imgtool_sign(folder / "fw_CRC.hex", folder / "imgtool.hex",
                 {"header": HEADER, "key": "ed25519"}, keys, True)
    return folder


@pytest.mark.parametrize("name", KEY_NAMES, ids=["in-the-name", "in-a-folder", "a-setting-name"])
def test_a_key_path_with_a_comma(signed, keys, tmp_path, name):  # noqa: F811
    key = tmp_path / name
    key.parent.mkdir(parents=True, exist_ok=True)
    shutil.copy(keys["ed25519"], key)
    shutil.copy(signed / "fw.elf", tmp_path / "fw.elf")
    theirs = image_of(signed, "imgtool.hex")

    done = run_command("FLASH", "fw.elf", "--ncrc_slot", "--mcuboot",
                       f"key={name},header=0x{HEADER:X}", cwd=tmp_path)
    assert (done.returncode, done.stderr) == (0, "")
    assert image_of(tmp_path) == theirs
    done = run_command("CHECK", "fw_CRC.hex", "--ncrc_slot", "--elf", "fw.elf",
                       "--mcuboot", f"key={name}", cwd=tmp_path)
    assert done.returncode == 0, done.stderr

    report = velk_crc.flash(tmp_path / "fw.elf", symbol="crc_slot",
                            mcuboot={"key": key, "header": HEADER})
    assert image_of(tmp_path) == theirs
    assert report.mcuboot["signature"]["type"] == "ed25519"
    verdict = velk_crc.check(tmp_path / "fw_CRC.hex", symbol="crc_slot",
                             elf=tmp_path / "fw.elf", mcuboot={"key": str(key)})
    assert verdict.ok


@pytest.mark.parametrize("settings, says", [
    pytest.param("key=k.pem,kye=k.pem,header=0x200", 'unknown setting "kye"', id="misspelt"),
    pytest.param("key=k.pem,,header=0x200", 'an empty setting in "key=k.pem,,header=0x200"',
                 id="two-commas"),
    pytest.param("key=k.pem,header=0x200,hedaer", 'unknown setting "hedaer"',
                 id="misspelt-after-a-value"),
])
def test_a_setting_after_the_key_is_still_read_as_one(signed, tmp_path, settings, says):
    shutil.copy(signed / "fw.elf", tmp_path / "fw.elf")
    done = run_command("FLASH", "fw.elf", "--ncrc_slot", "--mcuboot", settings, cwd=tmp_path)
    assert done.returncode == 255
    assert done.stderr.startswith(f"error: fw.elf: --mcuboot: {says}"), done.stderr
