"""CHECK of an ELF file whose sections (what a debugger's `load` and
objcopy write) hold other bytes than its program headers load (what
pyOCD, probe-rs or J-Link flash): no verdict on one view holds for the
file. objcopy's HEX of the spoiled file shows the other image."""

import shutil
import struct
import subprocess

import pytest
from elftools.elf.elffile import ELFFile

import velk_crc
from conftest import DATA, run_command

OBJCOPY = shutil.which("arm-none-eabi-objcopy")


@pytest.fixture(scope="module")
def flashed(tmp_path_factory):
    folder = tmp_path_factory.mktemp("views")
    shutil.copy(f"{DATA}/fw_boot.elf", folder)
    made = run_command("FLASH", "fw_boot.elf", "--ncrc_value", cwd=folder)
    assert made.returncode == 0, made.stderr
    return folder / "fw_boot_CRC.elf"


def section_moved(source, target, name, at):
    """A copy of `source` whose section `name` is read from a new place at
    the file's end, one byte (`at` into it) changed there."""
    data = bytearray(source.read_bytes())
    with open(source, "rb") as f:
        elf = ELFFile(f)
        index = next(i for i, s in enumerate(elf.iter_sections()) if s.name == name)
        section = elf.get_section(index)
        shoff, entsize = elf.header.e_shoff, elf.header.e_shentsize
        offset, size, address = section["sh_offset"], section["sh_size"], section["sh_addr"]
    body = bytearray(data[offset:offset + size])
    body[at] ^= 0xFF
    struct.pack_into("<I", data, shoff + index * entsize + 16, len(data))
    target.write_bytes(bytes(data + body))
    return address + at


@pytest.mark.parametrize("name, at", [(".text", 0x40), (".text", 0), (".crc", 0)],
                         ids=["code", "stack-pointer", "checksum-record"])
def test_sections_unlike_segments_are_not_ok(tmp_path, flashed, name, at):
    spoiled = tmp_path / "spoiled.elf"
    address = section_moved(flashed, spoiled, name, at)
    if OBJCOPY:
        # objcopy reads sections: the image it writes is not the checked one.
        subprocess.run([OBJCOPY, "-O", "ihex", spoiled, tmp_path / "objcopy.hex"], check=True)
        assert run_command("CHECK", tmp_path / "objcopy.hex", "--a134").returncode == 1
    checked = run_command("CHECK", spoiled, "--ncrc_value")
    assert checked.returncode == 2, checked.stdout + checked.stderr
    assert f"section {name} holds" in checked.stderr and f"0x{address:08X}" in checked.stderr
    with pytest.raises(velk_crc.CannotVerify, match=f"section {name} holds"):
        velk_crc.check(spoiled, symbol="crc_value")


def test_a_section_moved_with_its_bytes_is_one_image(tmp_path, flashed):
    data = bytearray(flashed.read_bytes())
    with open(flashed, "rb") as f:
        elf = ELFFile(f)
        index = next(i for i, s in enumerate(elf.iter_sections()) if s.name == ".text")
        s = elf.get_section(index)
        shoff, entsize, offset, size = (elf.header.e_shoff, elf.header.e_shentsize,
                                        s["sh_offset"], s["sh_size"])
    struct.pack_into("<I", data, shoff + index * entsize + 16, len(data))
    moved = tmp_path / "moved.elf"
    moved.write_bytes(bytes(data + data[offset:offset + size]))
    assert run_command("CHECK", moved, "--ncrc_value").returncode == 0
