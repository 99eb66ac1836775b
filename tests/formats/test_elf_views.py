"""CHECK of an ELF file whose sections (what a debugger's `load` and
objcopy write) hold other bytes than its program headers load (what
pyOCD, probe-rs or J-Link flash): the file is never ok, whatever the
program headers' image gives. objcopy's HEX of the spoiled file shows the
other image."""

import shutil
import struct
import subprocess

import pytest
from elftools.elf.elffile import ELFFile

import velk_crc
from conftest import DATA, crc32_mpeg2, run_command
from elfwriter import PT_NULL, Elf, Segment

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
    assert checked.returncode == 1, checked.stdout + checked.stderr
    first = checked.stdout.splitlines()[0]
    assert first.startswith(f"ELF mismatch: section {name} holds") and f"0x{address:08X}" in first
    assert not velk_crc.check(spoiled, symbol="crc_value").ok


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



def test_a_section_no_program_header_loads_is_not_ok(tmp_path):
    """A section over the hole between two segments, which the checksum
    covers as erased flash, in no program header: objcopy and a debugger
    flash its bytes into the hole, a programmer leaves it erased."""
    code = bytes((i * 7 + 1) & 0xFF for i in range(0x100))
    rest = bytes((i * 5 + 3) & 0xFF for i in range(0xFC))
    crc = crc32_mpeg2(code + b"\xff" * 0x100 + rest)
    path = tmp_path / "patched.elf"
    Elf(segments=[Segment(0x08000000, code, section=".text"),
                  Segment(0x08000200, rest + struct.pack("<I", crc), section=".rodata"),
                  Segment(0x08000100, b"\x00" * 16, type=PT_NULL, section=".patch")],
        entry=0x08000001).write(str(path))
    if OBJCOPY:
        subprocess.run([OBJCOPY, "-O", "ihex", path, tmp_path / "objcopy.hex"], check=True)
        assert run_command("CHECK", tmp_path / "objcopy.hex", "--a2FC").returncode == 1
    checked = run_command("CHECK", path, "--a2FC")
    assert checked.returncode == 1, checked.stdout + checked.stderr
    assert "section .patch (16 bytes for 0x08000100) lies in no program header's bytes" \
        in checked.stdout
    assert not velk_crc.check(path, offset=0x2FC).ok


def test_a_section_longer_than_its_segments_bytes_is_not_ok(tmp_path, flashed):
    """A section whose size reaches past the bytes its program header loads:
    its tail is flashed by a debugger's load and by objcopy, not by a
    programmer that reads program headers."""
    data = bytearray(flashed.read_bytes())
    with open(flashed, "rb") as f:
        elf = ELFFile(f)
        index = next(i for i, s in enumerate(elf.iter_sections()) if s.name == ".text")
        section = elf.get_section(index)
        shoff, entsize = elf.header.e_shoff, elf.header.e_shentsize
        end = section["sh_addr"] + section["sh_size"]
        loaded = max(seg["p_vaddr"] + seg["p_filesz"] for seg in elf.iter_segments()
                     if seg["p_type"] == "PT_LOAD" and seg["p_vaddr"] < end
                     and seg["p_vaddr"] + seg["p_filesz"] >= end)
        grow = loaded - end + 0x40
    struct.pack_into("<I", data, shoff + index * entsize + 20, section["sh_size"] + grow)
    grown = tmp_path / "grown.elf"
    grown.write_bytes(bytes(data))
    checked = run_command("CHECK", grown, "--ncrc_value")
    assert checked.returncode == 1, checked.stdout + checked.stderr
    first = checked.stdout.splitlines()[0]
    assert first.startswith("ELF mismatch: section .text"), first
    assert "lies in no program header's bytes from" in first, first
