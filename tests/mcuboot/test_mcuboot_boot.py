"""Signed images booted: the test bootloader (tests/data/firmware/
mcuboot_loader.c) recomputes the SHA-256 of the image header, the
application and the protected TLVs, compares it with the image's hash TLV
and starts the application only when they match. The application checks
its own CRC, stored by the same FLASH run before the image was hashed. One
FLASH run signs the application, merges the bootloader and writes the HEX
that QEMU loads, in both layouts of the header's room."""

import os
import shutil
import subprocess

import pytest

from conftest import DATA, run_command
from hexcheck import flip_hex_byte
from qemu import BOOT_OK, boot_status

BOOT_HASH_BAD = 0xBAD0A54A
SLOT, HEADER = 0x08004000, 0x200

# (the application's build, its checksum record): linked behind the
# header's room, or reserving it, where the CRC starts behind the room.
LAYOUTS = {
    "header-added": ("fw_mcuboot_app.elf", "--ncrc_value"),
    "room-reserved": ("fw_mcuboot_app_reserved.elf", f"--ncrc_value@{SLOT + HEADER:#010x}"),
}


@pytest.fixture(scope="module")
def ed25519_key(tmp_path_factory):
    if shutil.which("openssl") is None:
        pytest.skip("openssl makes the test key")
    path = tmp_path_factory.mktemp("key") / "ed25519.pem"
    subprocess.run(["openssl", "genpkey", "-algorithm", "ed25519", "-out", str(path)],
                   check=True, capture_output=True)
    return path


@pytest.mark.parametrize("layout", LAYOUTS)
def test_one_run_gives_an_image_the_bootloader_starts(tmp_path, ed25519_key, layout):
    build, record = LAYOUTS[layout]
    shutil.copy(os.path.join(DATA, build), tmp_path / "app.elf")
    result = run_command("FLASH", "app.elf", record,
                         "--mcuboot", f"key={ed25519_key},header={HEADER:#x},slot=0x20000",
                         "--merge", os.path.join(DATA, "fw_mcuboot_loader.hex"), cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    merged = tmp_path / "app_CRC_merged.hex"
    assert boot_status(["-device", f"loader,file={merged}"]) == BOOT_OK

    # One byte of the application flipped after signing: the bootloader's
    # hash no longer matches, and it does not start the image.
    flip_hex_byte(merged, SLOT + HEADER + 0x40)
    assert boot_status(["-device", f"loader,file={merged}"]) == BOOT_HASH_BAD
