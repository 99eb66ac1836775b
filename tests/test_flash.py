"""FLASH mode: the whole flash contents of a build, checksummed, in one HEX."""

import contextlib
import io
import os
import shutil
import sys

import pytest
from elftools.elf.elffile import ELFFile
from intelhex import IntelHex

import qemu
from conftest import DATA, crc32_mpeg2
from elfwriter import PT_ARM_EXIDX, Elf, Segment
from hexcheck import read_hex

LOAD = 0x08000000


def flash(velk, monkeypatch, path, option):
    """`velk-crc FLASH <path> <option>`: (exit value, stdout, stderr)."""
    monkeypatch.setattr(sys, "argv", ["velk-crc", "FLASH", str(path), option])
    out, err = io.StringIO(), io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        with pytest.raises(SystemExit) as info:
            velk.runmain()
    return info.value.code, out.getvalue(), err.getvalue()


def loadable(path):
    """(paddr, bytes) of every PT_LOAD with file contents, in header order."""
    with open(path, "rb") as f:
        return [(s["p_paddr"], s.data()[:min(s["p_filesz"], s["p_memsz"])])
                for s in ELFFile(f).iter_segments()
                if s["p_type"] == "PT_LOAD" and s["p_filesz"]]


def expected_flash(segments, offset_of):
    """The image, its load address and what lies outside it, by the joining
    rule: the first segment, then in address order each one that starts at
    or after the image's end and at most 64 KiB past it."""
    start, first = segments[0]
    image = bytearray(first)
    outside = []
    for address, data in sorted(segments[1:], key=lambda s: s[0]):
        end = start + len(image)
        if end <= address <= end + 0x10000:
            image += b"\xff" * (address - end) + data
        else:
            outside.append((address, data))
    offset = offset_of(start, bytes(image))
    image += b"\xff" * max(0, offset + 4 - len(image)) if offset > len(image) else b""
    return start, bytes(image), offset, outside


def package_hex(tmp_path, start, image, offset, outside, entry):
    """The same memory written by intelhex's own container."""
    ihex = IntelHex()
    for address, data in outside:
        ihex.frombytes(data, address)
    ihex.frombytes(image, start)
    checksum = crc32_mpeg2(image[:offset])
    ihex[start + offset:start + offset + 4] = list(checksum.to_bytes(4, "little"))
    ihex.start_addr = {"EIP": entry}
    ihex.write_hex_file(str(tmp_path / "package.hex"), write_start_addr=True, byte_count=16)
    return (tmp_path / "package.hex").read_bytes(), checksum


DATA_INIT = bytes(range(0x24))
LAYOUTS = [
    # id, segments, option, offset of the checksum from the image start, symbols
    ("data-after-text",
     [Segment(LOAD, b"\x11" * 0x110), Segment(0x20000004, DATA_INIT, paddr=LOAD + 0x110),
      Segment(LOAD + 0x134, b"\xff" * 4)],
     "--ncrc", lambda start, image: 0x134, [("crc", LOAD + 0x134)]),
    ("gap-filled",
     [Segment(LOAD, b"\x22" * 0x100), Segment(0x20000000, DATA_INIT, paddr=LOAD + 0x400)],
     "--a0x424", lambda start, image: 0x424, []),
    ("exactly-64k-gap-joins",
     [Segment(LOAD, b"\x33" * 0x100), Segment(LOAD + 0x10100, DATA_INIT)],
     "--s256", lambda start, image: 0x10200, []),
    ("past-64k-stays-outside",
     [Segment(LOAD, b"\x44" * 0x100), Segment(LOAD + 0x10104, DATA_INIT)],
     "--s256", lambda start, image: 0x100, []),
    ("far-qspi-segment",
     [Segment(LOAD, b"\x55" * 0x80), Segment(0x90000000, b"\x66" * 0x40),
      Segment(0x20000000, DATA_INIT, paddr=LOAD + 0x80)],
     "--a0xA4", lambda start, image: 0xA4, []),
    ("exidx-first",
     [Segment(LOAD + 0x200, b"\x01" * 16, type=PT_ARM_EXIDX), Segment(LOAD, b"\x77" * 0x200),
      Segment(LOAD + 0x200, b"\x01" * 16)],
     "--ncrc", lambda start, image: 0x210, [("crc", LOAD + 0x210)]),
    ("vectors-below-the-image",
     [Segment(LOAD + 0x1000, b"\x88" * 0x40), Segment(LOAD, b"\x99" * 0x40)],
     "--a40", lambda start, image: 0x40, []),
    ("slot-in-data-is-stored-at-its-load-address",
     [Segment(LOAD, b"\xaa" * 0x40), Segment(0x20000000, DATA_INIT, paddr=LOAD + 0x40)],
     "--nramslot", lambda start, image: 0x40 + 0x20, [("ramslot", 0x20000020)]),
]


@pytest.mark.parametrize("segments, option, offset_of, symbols", [c[1:] for c in LAYOUTS],
                         ids=[c[0] for c in LAYOUTS])
def test_flash_image_and_hex(velk, tmp_path, monkeypatch, segments, option, offset_of,
                             symbols):
    path = Elf(entry=LOAD + 1, segments=segments, symbols=symbols).write(tmp_path / "fw.elf")
    start, image, offset, outside = expected_flash(loadable(path), offset_of)
    code, out, err = flash(velk, monkeypatch, path, option)
    assert code is None
    expected, checksum = package_hex(tmp_path, start, image, offset, outside, LOAD + 1)
    assert (tmp_path / "fw_CRC.hex").read_bytes() == expected
    assert out.splitlines()[-2:] == [
        f'create new crc hex file "{tmp_path / "fw_CRC.hex"}".',
        f"checksum range:(0x{start:08X}~0x{start + offset:08X}) checksum offset "
        f"address:[0x{offset:08X}] checksum: [0x{checksum:08X}]"]
    notes = [line for line in err.splitlines() if line.endswith("covered by the checksum")]
    if outside:
        where = ", ".join(f"0x{a:08X}" for a, _ in outside)
        count = len(outside)
        assert notes == [f"note: {count} loadable segment{'s' * (count > 1)} "
                         f"({sum(len(d) for _, d in outside)} bytes) at physical "
                         f"address{'es' * (count > 1)} {where} written to the HEX but not "
                         "covered by the checksum"]
    else:
        assert notes == []


@pytest.mark.parametrize("second", [0x08000100 - 4, 0x08000000])
def test_overlapping_segments_are_refused(velk, tmp_path, monkeypatch, second):
    path = Elf(segments=[Segment(LOAD, bytes(0x100)),
                         Segment(0x20000000, bytes(8), paddr=second)],
               symbols=[("crc", LOAD)]).write(tmp_path / "fw.elf")
    code, out, err = flash(velk, monkeypatch, path, "--a100")
    assert code == -1
    assert out == (f"elf error: loadable segments 0 (0x08000000, 256 bytes) and 1 "
                   f"(0x{second:08X}, 8 bytes) overlap!\n")
    assert not (tmp_path / "fw_CRC.hex").exists()


REFUSALS = [
    ("not-found", "--nmissing", "missing is not found!"),
    ("not-multiple-of-4", "--a802",
     'input address is error, address must be Integral multiple of 4: "802".'),
    ("bad-block", "--s48", 'input crcblock is error "48".'),
    ("no-request", "--x", "please Input crc calculate type and parameter"),
]


@pytest.mark.parametrize("option, line", [r[1:] for r in REFUSALS], ids=[r[0] for r in REFUSALS])
def test_refusals_are_those_of_velk_mode(velk, tmp_path, monkeypatch, option, line):
    shutil.copy(os.path.join(DATA, "fw_boot.elf"), tmp_path / "fw.elf")
    assert flash(velk, monkeypatch, tmp_path / "fw.elf", option)[:2] == (-1, line + "\n")
    assert not (tmp_path / "fw_CRC.hex").exists()


def test_missing_file_reports_its_traceback(velk, tmp_path, monkeypatch):
    code, out, err = flash(velk, monkeypatch, tmp_path / "none.elf", "--ncrc_value")
    assert (code, out) == (-1, "")
    assert 'line 6, in VELK_CRC.flash_crc_calc\nFileNotFoundError' in err


@pytest.mark.parametrize("name", ["fw_boot.elf", "fw_data.elf", "fw_exidx.elf",
                                  "fw_slot_ram.elf", "fw_clean.elf"])
def test_every_loadable_byte_of_real_firmware(velk, tmp_path, monkeypatch, name):
    """GCC-built firmware: the HEX holds each segment at its physical
    address, with only the checksum record changed."""
    path = tmp_path / name
    shutil.copy(os.path.join(DATA, name), path)
    option = "--s4" if name == "fw_slot_ram.elf" else "--ncrc_value"
    code, out, _ = flash(velk, monkeypatch, path, option)
    assert code is None
    memory = read_hex(str(path)[:-4] + "_CRC.hex").memory
    record = int(out.split("~0x")[1][:8], 16)
    for address, data in loadable(path):
        for i, byte in enumerate(data):
            if not record <= address + i < record + 4:
                assert memory[address + i] == byte, hex(address + i)


def test_flash_hex_boots_and_velk_hex_does_not(velk, tmp_path, monkeypatch):
    """QEMU's own Intel HEX loader on netduinoplus2 (Cortex-M4): the
    firmware's boot-time CRC check and its .data values."""
    path = tmp_path / "fw.elf"
    shutil.copy(os.path.join(DATA, "fw_boot.elf"), path)
    hex_load = ["-device", f"loader,file={tmp_path / 'fw_CRC.hex'}"]

    assert flash(velk, monkeypatch, path, "--ncrc_value")[0] is None
    assert qemu.boot_status(hex_load) == qemu.BOOT_OK

    qemu.flip_hex_byte(tmp_path / "fw_CRC.hex", LOAD + 0x120)  # in .data's initial values
    assert qemu.boot_status(hex_load) == qemu.BOOT_CRC_BAD

    with contextlib.redirect_stdout(io.StringIO()), contextlib.redirect_stderr(io.StringIO()):
        velk.velk_crc_calc(str(path), "crc_value", None, None)
    assert qemu.boot_status(hex_load) == qemu.BOOT_CRC_BAD
