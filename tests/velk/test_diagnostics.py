"""Warnings on standard error for layouts that make firmware fail at boot.

Expectations are worked out from the ELF files with pyelftools, not taken
from the module.
"""

import os
import shutil
import struct

import pytest
from elftools.elf.elffile import ELFFile
from elftools.elf.sections import SymbolTableSection

from conftest import DATA, captured
from elfwriter import STT_FUNC, STT_OBJECT, Elf, Segment
from hexcheck import read_hex

LOAD = 0x08000000
W = "warning: "


def run(velk, folder, name, option):
    """One velk-crc VELK run by its command-line option: (result, out, err, HEX)."""
    path = os.path.join(folder, name)
    request = {"n": (option[3:], None, None), "a": (None, option[3:], None),
               "s": (None, None, option[3:])}[option[2]]
    result, out, err = captured(velk.velk_crc_calc, path, *request)
    hex_path = os.path.splitext(path)[0] + "_CRC.hex"
    with open(hex_path, "rb") as f:
        hex_bytes = f.read()
    os.remove(hex_path)
    return result, out, err, hex_bytes


class Firmware:
    """What pyelftools says about a committed firmware file."""

    def __init__(self, path):
        with open(path, "rb") as f:
            elf = ELFFile(f)
            loads = [s for s in elf.iter_segments() if s["p_type"] == "PT_LOAD"]
            self.segments = [(s["p_vaddr"], s["p_paddr"], s["p_filesz"], s.data())
                             for s in loads]
            self.symbols = {sym.name: sym for sec in elf.iter_sections()
                            if isinstance(sec, SymbolTableSection)
                            for sym in sec.iter_symbols()}
        self.load, _, self.size, self.image = next(s for s in self.segments if s[2])

    def word_at(self, offset):
        return struct.unpack_from("<I", self.image, offset)[0]

    def value(self, name):
        return self.symbols[name]["st_value"]


@pytest.fixture
def firmware(tmp_path):
    def copy(name):
        shutil.copy(os.path.join(DATA, name), tmp_path / name)
        return Firmware(tmp_path / name)
    return copy


def overwrite_line(address, value):
    return f"{W}the checksum overwrites 4 bytes of image data (old value 0x{value:08X}) " \
           f"at 0x{address:08X}"


def left_out_line(address, size):
    return (f"{W}the HEX file leaves out 1 loadable segment ({size} bytes) at physical "
            f"address 0x{address:08X}; FLASH mode writes it and covers it with the checksum")


def test_slot_after_the_data_load_image(velk, tmp_path, firmware):
    """Items 1 and 7: the slot lies past the image, the gap holds .data's
    initial values; the slot's own segment is covered by the record."""
    fw = firmware("fw_boot.elf")
    slot = fw.value("crc_value")
    _, data_paddr, data_size, _ = fw.segments[1]
    assert data_paddr == fw.load + fw.size and slot == data_paddr + data_size
    result, _, err, _ = run(velk, tmp_path, "fw_boot.elf", "--ncrc_value")
    assert result is None
    assert err.splitlines() == [
        f"{W}crc_value at 0x{slot:08X} lies {slot - fw.load - fw.size} bytes past the end of "
        f"the image (0x{fw.load:08X}\u20130x{fw.load + fw.size:08X}): the checksum covers "
        f"only the image, not the bytes up to crc_value; the gap holds loadable data "
        f"(0x{data_paddr:08X}, {data_size} bytes) that the checksum does not cover",
        left_out_line(data_paddr, data_size),
    ]


def test_slot_declared_without_const(velk, tmp_path, firmware):
    fw = firmware("fw_slot_ram.elf")
    slot = fw.value("crc_value")
    assert 0x20000000 <= slot < 0x20020000
    err = run(velk, tmp_path, "fw_slot_ram.elf", "--ncrc_value")[2].splitlines()
    assert err[1] == (f"{W}crc_value at 0x{slot:08X} is not a flash address (RAM, .bss or "
                      "a copied section): the HEX gets a record at that address")
    assert err[0].startswith(f"{W}crc_value at 0x{slot:08X} lies ")
    assert err[2].startswith(f"{W}the HEX file leaves out 1 loadable segment")


@pytest.mark.parametrize("option", ["--nreset_handler", "--nvector_table", "--a0"])
def test_slot_on_code_or_vectors(velk, tmp_path, firmware, option):
    """Items 3 and 4 on real code: a function, a 64-byte table, the initial
    stack pointer."""
    fw = firmware("fw_clean.elf")
    name = option[3:]
    offset = fw.value(name) - fw.load if option.startswith("--n") else 0
    expected = []
    if option == "--nreset_handler":
        symbol = fw.symbols[name]
        assert symbol["st_info"]["type"] == "STT_FUNC" and offset % 2 == 1
        expected.append(f"{W}reset_handler at 0x{fw.load + offset:08X} is not a 4-byte checksum "
                        f"variable: it is a function, its size is {symbol['st_size']} bytes, "
                        "its address is not a multiple of 4")
    elif option == "--nvector_table":
        expected.append(f"{W}vector_table at 0x{fw.load:08X} is not a 4-byte checksum "
                        "variable: its size is 64 bytes")
    expected.append(overwrite_line(fw.load + offset, fw.word_at(offset)))
    assert run(velk, tmp_path, "fw_clean.elf", option)[2].splitlines() == expected


def test_absolute_address_typed_as_offset(velk, tmp_path, firmware):
    fw = firmware("fw_after_bootloader.elf")
    assert fw.load == 0x10000
    result, out, err, _ = run(velk, tmp_path, "fw_after_bootloader.elf", "--a10040")
    assert result is None and out.startswith(f"PAD {0x10040 - fw.size} byte 0xFF\n")
    assert err == (f"{W}--a takes an offset from the image start 0x00010000; 0x00010040 "
                   "looks like an absolute address (did you mean --a40?)\n")


def test_block_larger_than_the_image_ends_at_the_record(velk, tmp_path, firmware):
    """Both PAD lines as before, but no 0xFF after the checksum record."""
    fw = firmware("fw_clean.elf")
    result, out, err, _ = run(velk, tmp_path, "fw_clean.elf", "--s65536")
    pad = 65536 - fw.size
    assert out.splitlines()[:3] == ["crc cal block: 65536", f"PAD {pad} byte 0xFF",
                                    f"PAD {pad} byte 0xFF"]
    velk.velk_crc_calc(str(tmp_path / "fw_clean.elf"), None, None, "65536")
    hexfile = read_hex(tmp_path / "fw_clean_CRC.hex")
    assert hexfile.ranges() == [(fw.load, fw.load + 65536 + 4)]
    assert err == ""


@pytest.mark.parametrize("option", ["--ncrc_value", "--aDC", "--s1024", "--s65536", "--s1"])
def test_clean_firmware_gets_no_warning(velk, tmp_path, firmware, option):
    fw = firmware("fw_clean.elf")
    assert fw.value("crc_value") - fw.load == 0xDC
    assert run(velk, tmp_path, "fw_clean.elf", option)[2] == ""


def elf(symbols, segments=None, name="fw.elf"):
    image = bytes(range(64)) * 4 + b"\xff" * 4  # a placeholder at 0x100
    return Elf(entry=LOAD + 1, segments=segments or [Segment(LOAD, image)],
               symbols=symbols)


SYNTHETIC = [
    ("size-8", [("crc", LOAD + 0x100, 8, STT_OBJECT)],
     f"{W}crc at 0x08000100 is not a 4-byte checksum variable: its size is 8 bytes"),
    ("size-0-is-fine", [("crc", LOAD + 0x100, 0, STT_OBJECT)], None),
    ("odd-offset", [("crc", LOAD + 0x101, 4, STT_OBJECT)],
     f"{W}crc at 0x08000101 is not a 4-byte checksum variable: its address is not a "
     "multiple of 4"),
    ("function", [("crc", LOAD + 0x100, 4, STT_FUNC)],
     f"{W}crc at 0x08000100 is not a 4-byte checksum variable: it is a function"),
    ("duplicates-differ", [("crc", LOAD + 0x10), ("x", LOAD), ("crc", LOAD + 0x100)],
     f"{W}2 symbols are named crc, with different values; the last one, 0x08000100, "
     "was used"),
    ("duplicates-agree", [("crc", LOAD + 0x100), ("crc", LOAD + 0x100)], None),
]


@pytest.mark.parametrize("symbols, line", [s[1:] for s in SYNTHETIC],
                         ids=[s[0] for s in SYNTHETIC])
def test_slot_shape(velk, tmp_path, symbols, line):
    elf(symbols).write(tmp_path / "fw.elf")
    err = run(velk, tmp_path, "fw.elf", "--ncrc")[2]
    shape = [x for x in err.splitlines() if "overwrites" not in x]
    assert shape == ([line] if line else [])


@pytest.mark.parametrize("with_data", [True, False], ids=["gap-with-data", "empty-gap"])
def test_gap_between_image_and_slot(velk, tmp_path, with_data):
    segments = [Segment(LOAD, bytes(0x100))]
    if with_data:  # .data's initial values: in RAM at run time, in flash in the file
        segments.append(Segment(0x20000000, bytes(range(0x40)), paddr=LOAD + 0x100))
    segments.append(Segment(LOAD + 0x200, b"\xff" * 4))
    Elf(segments=segments, symbols=[("crc", LOAD + 0x200)]).write(tmp_path / "fw.elf")
    err = run(velk, tmp_path, "fw.elf", "--ncrc")[2].splitlines()
    first = (f"{W}crc at 0x08000200 lies 256 bytes past the end of the image "
             "(0x08000000\u20130x08000100): the checksum covers only the image, not the "
             "bytes up to crc")
    if with_data:
        assert err == [first + "; the gap holds loadable data (0x08000100, 64 bytes) that "
                       "the checksum does not cover", left_out_line(LOAD + 0x100, 64)]
    else:
        assert err == [first]


@pytest.mark.parametrize("padding", [16 << 20, (16 << 20) + 4], ids=["16MiB", "16MiB+4"])
def test_padding_beyond_16_mib_is_announced(velk, tmp_path, padding):
    elf([]).write(tmp_path / "fw.elf")
    offset = 0x104 + padding  # the image is 0x104 bytes
    err = run(velk, tmp_path, "fw.elf", f"--a{offset:X}")[2]
    if padding == 16 << 20:
        assert err == ""
    else:
        assert err == (f"{W}{padding} bytes (16 MiB) of 0xFF padding are written before "
                       f"the checksum at 0x{LOAD + offset:08X}\n")


# Pairs of files that differ only in the diagnosed detail: the warning is the
# only difference a user sees.
PAIRS = [
    ("size", [("crc", LOAD + 0x100, 8, STT_OBJECT)], [("crc", LOAD + 0x100)], None),
    ("function", [("crc", LOAD + 0x100, 4, STT_FUNC)], [("crc", LOAD + 0x100)], None),
    ("duplicates", [("crc", LOAD + 8), ("crc", LOAD + 0x100)], [("crc", LOAD + 0x100)], None),
    ("old-data-under-the-record", [("crc", LOAD + 0x100)], [("crc", LOAD + 0x100)],
     b"\x12\x34\x56\x78"),
    ("gap-data", None, None, None),
]


@pytest.mark.parametrize("warned, plain, under_record", [p[1:] for p in PAIRS],
                         ids=[p[0] for p in PAIRS])
def test_warnings_change_nothing_else(velk, tmp_path, warned, plain, under_record):
    outcomes = []
    for symbols in (warned, plain):
        if symbols is None:  # the gap pair: with and without .data's load image
            segments = [Segment(LOAD, bytes(0x100)), Segment(LOAD + 0x200, b"\xff" * 4)]
            if not outcomes:
                segments.insert(1, Segment(0x20000000, bytes(0x40), paddr=LOAD + 0x100))
            Elf(segments=segments, symbols=[("crc", LOAD + 0x200)]).write(tmp_path / "fw.elf")
        else:
            image = bytes(range(64)) * 4 + (under_record if symbols is warned and under_record
                                           else b"\xff" * 4)
            Elf(segments=[Segment(LOAD, image)], symbols=symbols).write(tmp_path / "fw.elf")
        outcomes.append(run(velk, tmp_path, "fw.elf", "--ncrc"))
    (result_w, out_w, err_w, hex_w), (result_p, out_p, err_p, hex_p) = outcomes
    assert (result_w, out_w, hex_w) == (result_p, out_p, hex_p)
    assert err_w != err_p and err_w.startswith(W)
