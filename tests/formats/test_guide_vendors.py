"""The guide's sections on the vendors' files (docs/guide.md, section 12,
from "DFU files for dfu-util" up to "Flash that reads 0x00 when erased")
run as written: each section's `$` commands run one after another in a
shell, in a folder of their own holding what they name, and the lines the
guide shows after a command are the lines it prints: `note:` and `error:`
lines on stderr, the others on stdout. The files are then read back here,
independently of the tool: each one's fields by their offsets."""

import os
import re
import shutil
import struct
import subprocess
import zlib

import pytest

from conftest import DATA, crc32_mpeg2, guide_commands, posix_only, velk_on_path
from elfwriter import Elf, Segment
from hexcheck import read_hex, write_hex

GUIDE = os.path.join(os.path.dirname(DATA), os.pardir, "docs", "guide.md")


def sections():
    """{title: [(command, lines shown)]} of the vendors' sections."""
    with open(GUIDE) as f:
        text = f.read()
    body = text[text.index("\n### DFU files for dfu-util"):
                text.index("\n### Flash that reads 0x00 when erased")]
    found = {}
    for part in re.split(r"\n### ", body)[1:]:
        title = part.splitlines()[0]
        found[title] = [run for block in re.findall(r"```\w*\n(.*?)```", part, re.S)
                        for run in guide_commands(block)]
    return found


SECTIONS = sections()


def short(title):
    return title.split(":")[0]


def test_every_section_has_its_commands():
    assert {short(t): [c.split()[:2] for c, _ in runs] for t, runs in SECTIONS.items()
            if short(t) in ("DFU files for dfu-util", "DfuSe files for STM32's DFU bootloader",
                            "NXP LPC55S/MCX master boot images")} == {
        "DFU files for dfu-util": [["velk-crc", "FLASH"], ["velk-crc", "CHECK"]],
        "DfuSe files for STM32's DFU bootloader": [["velk-crc", "FLASH"],
                                                   ["velk-crc", "CHECK"]],
        "NXP LPC55S/MCX master boot images": [["velk-crc", "FLASH"], ["velk-crc", "CHECK"]],
    }


NRF = "The nRF5 SDK bootloader's settings"


def nrf_project(folder):
    """The nRF section's app.elf (0x3000 bytes at 0x26000, its CRC in its
    last word), s140.hex (an MBR, and a SoftDevice whose information
    structure says the application starts at 0x26000) and bootloader.hex
    (at 0xF8000, with the UICR word that says so)."""
    code = bytearray((i * 7 + 3) & 0xFF for i in range(0x3000))
    code[-4:] = b"\xff" * 4
    Elf(entry=0x26001, segments=[Segment(0x26000, bytes(code), section=".text")],
        symbols=[("crc_value", 0x28FFC)]).write(folder / "app.elf")
    sd = bytearray((i * 3 + 5) & 0xFF for i in range(0x25000))
    sd[0x2000:0x200C] = struct.pack("<III", 0xFFFFFF2C, 0x51B1E5DB, 0x26000)
    write_hex(folder / "s140.hex", {0: bytes((i * 13 + 1) & 0xFF for i in range(0xB00)),
                                    0x1000: bytes(sd)})
    write_hex(folder / "bootloader.hex", {0xF8000: bytes(range(256)) * 4,
                                          0x10001014: struct.pack("<I", 0xF8000)})


def project(folder, title=""):
    """fw.elf (the section's STM32 build, tests/data/fw_boot.elf), the nRF
    section's files or the ESP32 section's app.elf (tests/data/
    esp32c3_app.elf), and `velk-crc` on PATH as the one under test."""
    shutil.copy(os.path.join(DATA, "fw_boot.elf"), folder / "fw.elf")
    if short(title) == NRF:
        nrf_project(folder)
    elif short(title) == "ESP32 app images":
        shutil.copy(os.path.join(DATA, "esp32c3_app.elf"), folder / "app.elf")
    return velk_on_path(folder)


def read_back_nrf(folder):
    """The merged HEX's settings page and its backup, by their fields."""
    merged = read_hex(folder / "app_CRC_merged.hex")
    app, sd = merged.bytes_at(0x26000, 0x3000), merged.bytes_at(0x1000, 0x25000)
    assert struct.unpack_from("<I", app, 0x2FFC)[0] == crc32_mpeg2(app[:0x2FFC])
    page = merged.bytes_at(0xFF000, 0x324)
    assert merged.bytes_at(0xFE000, 0x324) == page
    words = struct.unpack_from("<9I", page)
    assert words == (zlib.crc32(page[4:0x5C]), 2, 3, 2, 0, 0, 0x3000, zlib.crc32(app), 1)
    assert struct.unpack_from("<I", page, 0x34)[0] == len(sd)
    assert struct.unpack_from("<I", page, 0x25C)[0] == zlib.crc32(page[0x260:0x323])
    assert page[0x260:0x265] == b"\x01" + struct.pack("<I", zlib.crc32(sd))
    assert page[0x2A1:0x2A6] == b"\x01" + struct.pack("<I", zlib.crc32(app))


def image():
    """fw_boot.elf's flash image as the tests' own reading of it: the
    objcopy -O binary of it, by its program headers."""
    with open(os.path.join(DATA, "fw_boot.elf"), "rb") as f:
        elf = f.read()
    phoff, = struct.unpack_from("<I", elf, 0x1C)
    phnum, = struct.unpack_from("<H", elf, 0x2C)
    out = bytearray()
    for i in range(phnum):
        kind, offset, _, paddr, filesz = struct.unpack_from("<5I", elf, phoff + 32 * i)
        if kind == 1 and filesz:
            at = paddr - 0x08000000
            out[len(out):at] = b"\xff" * (at - len(out))
            out[at:at + filesz] = elf[offset:offset + filesz]
    return bytes(out)


def read_back(title, folder):
    """The section's file, read by its own fields: the image of fw.elf with
    its CRC at 0x134."""
    built = image()
    if short(title) == "DFU files for dfu-util":
        data = (folder / "fw_CRC.dfu").read_bytes()
        body, suffix = data[:-16], data[-16:]
        assert suffix[8:11] == b"UFD" and struct.unpack_from("<HH", suffix, 2) == (0xDF11, 0x0483)
        assert struct.unpack_from("<I", suffix, 12)[0] == zlib.crc32(data[:-4]) ^ 0xFFFFFFFF
    elif short(title) == "DfuSe files for STM32's DFU bootloader":
        data = (folder / "fw_CRC.dfuse.dfu").read_bytes()
        assert data[:5] == b"DfuSe" and data[11:17] == b"Target"
        address, size = struct.unpack_from("<II", data, 11 + 274)
        assert address == 0x08000000
        body = data[11 + 274 + 8:11 + 274 + 8 + size]
        assert struct.unpack_from("<I", data, len(data) - 4)[0] == \
            zlib.crc32(data[:-4]) ^ 0xFFFFFFFF
    elif short(title) == "NXP LPC55S/MCX master boot images":
        body = bytearray((folder / "fw_CRC.mbi.bin").read_bytes())
        length, kind, crc = struct.unpack_from("<III", body, 0x20)
        assert (length, kind, struct.unpack_from("<I", body, 0x34)[0]) == \
            (len(body), 0x4005, 0x08000000)
        assert crc == crc32_mpeg2(bytes(body[:0x28] + body[0x2C:]))
        for at in (0x20, 0x24, 0x28, 0x34):
            body[at:at + 4] = bytes(4)
        # Its record leaves the header's words out of its range.
        assert struct.unpack_from("<I", body, 0x134)[0] == \
            crc32_mpeg2(bytes(body[:0x20] + body[0x38:0x134]))
        body = bytes(body)
    else:
        if short(title) == NRF:
            read_back_nrf(folder)
        return
    assert body[:0x134] == built[:0x134]
    if short(title) != "NXP LPC55S/MCX master boot images":
        assert struct.unpack_from("<I", body, 0x134)[0] == crc32_mpeg2(built[:0x134])


@posix_only("the guide's blocks are POSIX shell")
@pytest.mark.parametrize("title", list(SECTIONS), ids=short)
def test_the_section_runs_as_written(tmp_path, title):
    path = project(tmp_path, title)
    for command, shown in SECTIONS[title]:
        done = subprocess.run(["sh", "-c", command], cwd=tmp_path, capture_output=True,
                              text=True, timeout=120, env={**os.environ, "PATH": path})
        assert done.returncode == 0, f"{command}\n{done.stdout}\n{done.stderr}"
        told = [line for line in shown if line.startswith(("note:", "error:"))]
        assert done.stdout.splitlines() == [line for line in shown if line not in told], command
        assert done.stderr.splitlines() == told, command
    read_back(title, tmp_path)
