"""From an ELF file to the HEX file: image, checksum place, record and report."""

import os
import random
import shutil
import struct
import traceback

import pytest
from elftools.common.exceptions import ELFError

from conftest import DATA, crc32_mpeg2
from elfwriter import PT_ARM_EXIDX, PT_LOAD, PT_NOTE, Elf, Segment
from hexcheck import read_hex

DIGITS = b"123456789"


def calc(velk, tmp_path, elf, varename=None, crcaddr=None, crcblock=None,
         name="fw.elf"):
    path = tmp_path / name
    path.parent.mkdir(parents=True, exist_ok=True)
    elf.write(path)
    return velk.velk_crc_calc(str(path), varename, crcaddr, crcblock)


def expected_memory(load, image, offset):
    """The HEX contents, worked out independently of the module."""
    memory = {load + i: b for i, b in enumerate(image)}
    checksum = crc32_mpeg2(image[:offset] if offset >= 0 else image[:offset])
    for i, b in enumerate(struct.pack("<I", checksum)):
        memory[load + offset + i] = b
    return memory, checksum


def report(load, offset, checksum):
    return (f"checksum range:(0x{load:08X}~0x{load + offset:08X}) checksum offset "
            f"address:[0x{offset:08X}] checksum: [0x{checksum:08X}]\n")


def check_hex(path, load, image, offset, entry):
    hexfile = read_hex(path)
    memory, checksum = expected_memory(load, image, offset)
    assert hexfile.memory == memory
    assert hexfile.start_linear == entry
    assert hexfile.max_record_bytes <= 16
    if len(image) >= 32:
        assert hexfile.max_record_bytes == 16
    return checksum


def test_digits_example(velk, tmp_path, capfd):
    elf = Elf(entry=0x20000001, segments=[Segment(0x20000000, DIGITS)],
              symbols=[("crc_value", 0x20000009)])
    assert calc(velk, tmp_path, elf, varename="crc_value") is None
    out, err = capfd.readouterr()
    hex_path = tmp_path / "fw_CRC.hex"
    assert out == (f'create new crc hex file "{hex_path}".\n'
                   "checksum range:(0x20000000~0x20000009) checksum offset "
                   "address:[0x00000009] checksum: [0x0376E6E7]\n")
    hexfile = read_hex(hex_path)
    assert hexfile.bytes_at(0x20000000, 13) == DIGITS + b"\xe7\xe6\x76\x03"
    assert hexfile.start_linear == 0x20000001
    # The variable follows the 9 bytes directly, outside every segment.
    assert err == (
        "warning: crc_value at 0x20000009 is not a flash address (RAM, .bss or a copied "
        "section): the HEX gets a record at that address\n"
        "warning: crc_value at 0x20000009 is not a 4-byte checksum variable: its address "
        "is not a multiple of 4\n")


IMAGE = random.Random(7).randbytes(0x4000)
LOAD = 0x08000000

# (id, segment, mode, image the HEX must hold, checksum offset, stdout lines
# before the two report lines)
CASES = [
    ("name-inside-image", Segment(LOAD, IMAGE), dict(varename="crc_value"),
     IMAGE, 0x1FFC, []),
    ("name-at-load-address", Segment(LOAD, IMAGE), dict(varename="at_start"),
     IMAGE, 0, []),
    ("name-beyond-image", Segment(LOAD, IMAGE[:100]), dict(varename="in_ram"),
     IMAGE[:100], 100 + 0x1000, []),
    ("name-last-symbol-wins", Segment(LOAD, IMAGE), dict(varename="twice"),
     IMAGE, 0x20, []),
    ("filesz-below-memsz", Segment(LOAD, IMAGE[:0x1F0], memsz=0x200),
     dict(crcblock="1"), IMAGE[:0x1F0], 0x1F0, ["crc cal block: 1"]),
    ("memsz-cuts-image", Segment(LOAD, IMAGE[:0x200], memsz=0x100),
     dict(crcblock="1"), IMAGE[:0x100], 0x100, ["crc cal block: 1"]),
    ("address-padded", Segment(LOAD, IMAGE[:100]), dict(crcaddr="0x80"),
     IMAGE[:100] + b"\xff" * 28, 0x80, ["PAD 28 byte 0xFF"]),
    ("address-at-end", Segment(LOAD, IMAGE[:100]), dict(crcaddr="64"),
     IMAGE[:100], 0x64, []),
    ("address-inside", Segment(LOAD, IMAGE[:100]), dict(crcaddr="0x40"),
     IMAGE[:100], 0x40, []),
    ("address-zero", Segment(LOAD, IMAGE[:100]), dict(crcaddr="0"),
     IMAGE[:100], 0, []),
    ("address-padded-8", Segment(LOAD, IMAGE[:100]), dict(crcaddr="6C"),
     IMAGE[:100] + b"\xff" * 8, 0x6C, ["PAD 8 byte 0xFF"]),
    ("block-round-up", Segment(LOAD, IMAGE[:100]), dict(crcblock="64"),
     IMAGE[:100] + b"\xff" * 32, 128, ["crc cal block: 64", "PAD 28 byte 0xFF"]),
    ("block-exact", Segment(LOAD, IMAGE[:128]), dict(crcblock="64"),
     IMAGE[:128], 128, ["crc cal block: 64"]),
    # Both PAD lines as always, but nothing after the checksum record.
    ("block-shorter-than-block", Segment(LOAD, IMAGE[:40]), dict(crcblock="64"),
     IMAGE[:40] + b"\xff" * 28, 64,
     ["crc cal block: 64", "PAD 24 byte 0xFF", "PAD 24 byte 0xFF"]),
    ("block-one", Segment(LOAD, IMAGE[:37]), dict(crcblock="1"),
     IMAGE[:37], 37, ["crc cal block: 1"]),
]
SYMBOLS = [("at_start", LOAD), ("crc_value", LOAD + 0x1FFC), ("twice", LOAD + 0x10),
           ("in_ram", LOAD + 100 + 0x1000), ("twice", LOAD + 0x20)]


@pytest.mark.parametrize("segment, mode, image, offset, lines",
                         [c[1:] for c in CASES], ids=[c[0] for c in CASES])
def test_image_and_checksum_place(velk, tmp_path, capfd, segment, mode, image,
                                  offset, lines):
    elf = Elf(entry=LOAD + 0x45, segments=[segment], symbols=SYMBOLS)
    assert calc(velk, tmp_path, elf, **mode) is None
    checksum = check_hex(tmp_path / "fw_CRC.hex", LOAD, image, offset, LOAD + 0x45)
    out, err = capfd.readouterr()
    assert out.splitlines()[:-2] == lines
    assert out.splitlines()[-1] + "\n" == report(LOAD, offset, checksum)
    # The layout diagnostics (random image bytes under the record, a
    # variable in no segment) have tests of their own.
    assert all(line.startswith("warning: ") for line in err.splitlines())


def test_empty_range_report(velk, tmp_path, capfd):
    elf = Elf(segments=[Segment(0x20000000, DIGITS)], symbols=[("c", 0x20000000)])
    calc(velk, tmp_path, elf, varename="c")
    assert capfd.readouterr().out.splitlines()[-1] == (
        "checksum range:(0x20000000~0x20000000) checksum offset address:"
        "[0x00000000] checksum: [0xFFFFFFFF]")
    assert read_hex(tmp_path / "fw_CRC.hex").bytes_at(0x20000000, 5) == b"\xff" * 4 + b"5"


def test_sixteen_bit_load_address(velk, tmp_path, capfd):
    elf = Elf(entry=0x8000, machine=105,
              segments=[Segment(0x8000, DIGITS)], symbols=[("crc", 0x8008)])
    calc(velk, tmp_path, elf, varename="crc")
    checksum = check_hex(tmp_path / "fw_CRC.hex", 0x8000, DIGITS, 8, 0x8000)
    assert capfd.readouterr().out.splitlines()[-1] + "\n" == report(0x8000, 8, checksum)


@pytest.mark.parametrize("bits, endian", [(32, ">"), (64, "<"), (64, ">")],
                         ids=["elf32-big", "elf64-little", "elf64-big"])
def test_other_elf_classes(velk, tmp_path, bits, endian):
    load = 0x80000000  # Intel HEX addresses are 32 bits whatever the ELF class
    elf = Elf(bits=bits, endian=endian, entry=load + 4,
              segments=[Segment(load, IMAGE[:256])], symbols=[("crc", load + 0x80)])
    assert calc(velk, tmp_path, elf, varename="crc") is None
    check_hex(tmp_path / "fw_CRC.hex", load, IMAGE[:256], 0x80, load + 4)


SKIPPED_HEADERS = [
    ("exidx-first", [Segment(LOAD + 0x200, b"\x01" * 16, type=PT_ARM_EXIDX)]),
    ("note-first", [Segment(LOAD + 0x300, b"\x02" * 8, type=PT_NOTE)]),
    ("empty-loads-first", [Segment(0x1C00, b"", memsz=0x100),
                           Segment(0x1D00, b"", memsz=0x40)]),
]


@pytest.mark.parametrize("before", [s[1] for s in SKIPPED_HEADERS],
                         ids=[s[0] for s in SKIPPED_HEADERS])
def test_image_is_first_load_with_contents(velk, tmp_path, capfd, before):
    elf = Elf(segments=before + [Segment(LOAD, IMAGE[:0x200])],
              symbols=[("crc", LOAD + 0x1FC)])
    assert calc(velk, tmp_path, elf, varename="crc") is None
    check_hex(tmp_path / "fw_CRC.hex", LOAD, IMAGE[:0x200], 0x1FC, 0)
    assert "leaves out" not in capfd.readouterr().err


NO_IMAGE = [
    ("no-program-headers", []),
    ("only-exidx", [Segment(LOAD, b"\x01" * 16, type=PT_ARM_EXIDX)]),
    ("only-empty-load", [Segment(LOAD, b"", memsz=0x100)]),
]


@pytest.mark.parametrize("mode", [dict(varename="crc"), dict(crcaddr="0x10"),
                                  dict(crcblock="64")], ids=["name", "address", "block"])
@pytest.mark.parametrize("segments", [n[1] for n in NO_IMAGE], ids=[n[0] for n in NO_IMAGE])
def test_no_image_segment(velk, tmp_path, capfd, segments, mode):
    elf = Elf(segments=segments, symbols=[("crc", LOAD)])
    assert calc(velk, tmp_path, elf, **mode) == -1
    out = capfd.readouterr().out
    assert out.splitlines()[-1] == 'elf error not have "p_vaddr" Address!'
    assert not (tmp_path / "fw_CRC.hex").exists()


NAME_REFUSALS = [
    ("missing", "nothing", [("crc", LOAD)], "nothing is not found!"),
    ("no-symbols", "crc", [], "crc is not found!"),
    # An empty name would match the null symbol (value 0) and land far
    # before the image.
    ("empty-name", "", [("crc", LOAD)], " is not found!"),
    ("case-differs", "CRC", [("crc", LOAD)], "CRC is not found!"),
    ("below-load", "crc", [("crc", LOAD - 4)], "crc is below the load address!"),
    ("in-low-ram", "crc", [("crc", 0x20000000)], None),
]


@pytest.mark.parametrize("name, symbols, line", [n[1:] for n in NAME_REFUSALS],
                         ids=[n[0] for n in NAME_REFUSALS])
def test_name_refusals(velk, tmp_path, capfd, name, symbols, line):
    load = 0x20001000 if line is None else LOAD
    elf = Elf(segments=[Segment(load, DIGITS)], symbols=symbols)
    assert calc(velk, tmp_path, elf, varename=name) == -1
    assert capfd.readouterr().out == (line or "crc is below the load address!") + "\n"
    assert not (tmp_path / "fw_CRC.hex").exists()


def test_second_symbol_table_wins(velk, tmp_path):
    elf = Elf(segments=[Segment(LOAD, IMAGE[:64])], symbols=[("crc", LOAD + 8)],
              second_symtab=[("crc", LOAD + 16)])
    calc(velk, tmp_path, elf, varename="crc")
    check_hex(tmp_path / "fw_CRC.hex", LOAD, IMAGE[:64], 16, 0)


# Firmware built by arm-none-eabi-gcc 12.2 (tests/data/firmware/build.sh).
def segment_image(path):
    from elftools.elf.elffile import ELFFile

    with open(path, "rb") as f:
        elf = ELFFile(f)
        for seg in elf.iter_segments():
            if seg["p_type"] == "PT_LOAD" and seg["p_filesz"]:
                return seg["p_vaddr"], seg.data(), elf.header["e_entry"]


LEFT_OUT = ("warning: the HEX file leaves out 1 loadable segment ({} bytes) at physical "
            "address {}; FLASH mode writes it and covers it with the checksum\n")
REAL = [
    # file, checksum offset (the last crc_value), stderr
    ("fw_exidx.elf", 0x1610, LEFT_OUT.format(100, "0x08001708")),
    ("fw_dupsym.elf", 0x68,
     "warning: 2 symbols are named crc_value, with different values; the last one, "
     "0x08000068, was used\n"
     "warning: the checksum overwrites 4 bytes of image data (old value 0x22222222) at "
     "0x08000068\n"),
    ("fw_data.elf", 0x70, LEFT_OUT.format(36, "0x08000074")),
]


@pytest.mark.parametrize("name, offset, err", REAL, ids=[r[0] for r in REAL])
def test_real_firmware(velk, tmp_path, capfd, name, offset, err):
    path = tmp_path / name
    shutil.copy(os.path.join(DATA, name), path)
    assert velk.velk_crc_calc(str(path), "crc_value", None, None) is None
    load, image, entry = segment_image(path)
    assert load == LOAD
    hex_path = str(path)[:-4] + "_CRC.hex"
    checksum = check_hex(hex_path, load, image, offset, entry)
    out, stderr = capfd.readouterr()
    assert out.splitlines()[-1] + "\n" == report(load, offset, checksum)
    assert stderr == err


def test_example_firmware_checks_itself(velk, tmp_path):
    """The example's boot check reads back exactly what the tool stored."""
    path = tmp_path / "blinky.elf"
    shutil.copy(os.path.join(os.path.dirname(DATA), "..", "examples", "blinky.elf"), path)
    assert velk.velk_crc_calc(str(path), "crc_value", None, None) is None
    hexfile = read_hex(tmp_path / "blinky_CRC.hex")
    start, end = hexfile.ranges()[0]
    flash = hexfile.bytes_at(start, end - start)
    stored = int.from_bytes(flash[-4:], "little")
    assert crc32_mpeg2(flash[:-4]) == stored


@pytest.mark.parametrize("name, output", [
    ("build/app.out.elf", "build/app.out_CRC.hex"),
    ("firmware", "firmware_CRC.hex"),
    (".elf", ".elf_CRC.hex"),
], ids=["two-extensions", "no-extension", "hidden-file"])
def test_output_names(velk, tmp_path, monkeypatch, capfd, name, output):
    monkeypatch.chdir(tmp_path)
    elf = Elf(segments=[Segment(LOAD, DIGITS)], symbols=[("c", LOAD + 8)])
    os.makedirs(os.path.dirname(name) or ".", exist_ok=True)
    elf.write(name)
    assert velk.velk_crc_calc(name, "c", None, None) is None
    assert os.path.isfile(output)
    assert capfd.readouterr().out.startswith(f'create new crc hex file "{output}".\n')


@pytest.mark.parametrize("container", ["native", "fallback"])
def test_unwritable_output_propagates(velk, tmp_path, monkeypatch, capfd, container):
    if container == "fallback":
        monkeypatch.setattr(velk, "IntelHex", type("Container", (velk.IntelHex,), {}))
    (tmp_path / "fw_CRC.hex").mkdir()  # even root cannot open a directory to write
    elf = Elf(segments=[Segment(LOAD, DIGITS)], symbols=[("c", LOAD + 8)])
    with pytest.raises(IsADirectoryError) as info:
        calc(velk, tmp_path, elf, varename="c")
    assert info.value.filename == str(tmp_path / "fw_CRC.hex")
    names = [f.name for f in traceback.extract_tb(info.value.__traceback__)]
    assert "VELK_CRC.velk_crc_calc" in names
    assert capfd.readouterr().out == ""
    assert (tmp_path / "fw_CRC.hex").is_dir()


def test_file_that_cannot_be_opened(velk, tmp_path, capfd):
    missing = str(tmp_path / "missing.elf")
    # Reported by its traceback, and now as a failure rather than success.
    assert velk.velk_crc_calc(missing, "crc", None, None) == -1
    out, err = capfd.readouterr()
    assert out == ""
    assert err == ("Traceback (most recent call last):\n"
                   '  File "VELK_CRC", line 3, in VELK_CRC.velk_crc_calc\n'
                   "FileNotFoundError: [Errno 2] No such file or directory: "
                   f"'{missing}'\n")


def test_text_file_is_refused_by_the_reader(velk, tmp_path, capfd):
    path = tmp_path / "notes.elf"
    path.write_text("not an ELF file\n")
    with pytest.raises(ELFError):
        velk.velk_crc_calc(str(path), "crc", None, None)
    assert capfd.readouterr().out == ""


def test_rebound_globals_are_obeyed(velk, tmp_path, monkeypatch, capfd):
    calls = []

    class RecordingHex:
        def frombytes(self, data, offset):
            calls.append(("frombytes", bytes(data), offset))

        def __setitem__(self, where, values):
            calls.append(("set", where.start, where.stop, values))

        def write_hex_file(self, name, **kwargs):
            calls.append(("write", name, kwargs, self.start_addr))

    monkeypatch.setattr(velk, "IntelHex", RecordingHex)
    monkeypatch.setattr(velk, "calc_crc_mpeg2", lambda data: 0x11223344)
    elf = Elf(entry=7, segments=[Segment(LOAD, DIGITS)], symbols=[("c", LOAD + 8)])
    assert calc(velk, tmp_path, elf, varename="c") is None
    assert calls == [
        ("frombytes", DIGITS, LOAD),
        ("set", LOAD + 8, LOAD + 12, [0x44, 0x33, 0x22, 0x11]),
        ("write", str(tmp_path / "fw_CRC.hex"),
         {"write_start_addr": True, "byte_count": 16}, {"EIP": 7}),
    ]
    assert capfd.readouterr().out.endswith("checksum: [0x11223344]\n")


def test_container_without_slice_assignment(velk, tmp_path, monkeypatch):
    class NoItems:
        def frombytes(self, data, offset):
            pass

    monkeypatch.setattr(velk, "IntelHex", NoItems)
    elf = Elf(segments=[Segment(LOAD, DIGITS)], symbols=[("c", LOAD + 8)])
    with pytest.raises(TypeError, match="^'NoItems' object does not support slice assignment$"):
        calc(velk, tmp_path, elf, varename="c")


def test_report_widens_past_32_bits(velk, tmp_path, monkeypatch, capfd):
    class NoWrite:
        def frombytes(self, data, offset):
            pass

        def __setitem__(self, where, values):
            pass

        def write_hex_file(self, name, **kwargs):
            pass

    monkeypatch.setattr(velk, "IntelHex", NoWrite)
    elf = Elf(bits=64, segments=[Segment(0xFFFFFFF0, DIGITS)],
              symbols=[("c", 0x100000010)])
    assert calc(velk, tmp_path, elf, varename="c") is None
    assert capfd.readouterr().out.splitlines()[-1] == (
        "checksum range:(0xFFFFFFF0~0x100000010) checksum offset address:"
        f"[0x00000020] checksum: [0x{crc32_mpeg2(DIGITS):08X}]")
