"""The checksummed ELF for the debugger, and CHECK mode."""

import glob
import io
import json
import os
import shutil
import struct
import subprocess

import pytest
from elftools.elf.elffile import ELFFile
from elftools.elf.sections import SymbolTableSection
from intelhex import IntelHex

import qemu
import velk_crc
from hexcheck import flip_hex_byte, hex_record, read_hex
from conftest import DATA, crc32_mpeg2, installed, linux_only, run_cli, run_python
from elfwriter import Elf, Segment

LOAD = 0x08000000


def symbol_in_file(path, name):
    """(file offset, stored bytes) of a symbol, through its section header."""
    with open(path, "rb") as f:
        elf = ELFFile(f)
        symbol = [s for sec in elf.iter_sections() if isinstance(sec, SymbolTableSection)
                  for s in sec.iter_symbols() if s.name == name][-1]
        section = elf.get_section(symbol["st_shndx"])
        offset = section["sh_offset"] + symbol["st_value"] - section["sh_addr"]
        f.seek(offset)
        return offset, f.read(4)


@pytest.fixture
def boot_elf(tmp_path):
    path = tmp_path / "fw.elf"
    shutil.copy(os.path.join(DATA, "fw_boot.elf"), path)
    return path


def test_crc_elf_differs_in_the_slot_only(velk, monkeypatch, boot_elf):
    code, out, _ = run_cli(velk, monkeypatch, "FLASH", boot_elf, "--ncrc_value")
    crc_elf = boot_elf.with_name("fw_CRC.elf")
    assert code == 0
    assert out.splitlines()[-1] == f'create new crc elf file "{crc_elf}".'
    checksum = int(out.split("checksum: [0x")[1][:8], 16)
    before, after = boot_elf.read_bytes(), crc_elf.read_bytes()
    assert len(before) == len(after)
    changed = [i for i, (a, b) in enumerate(zip(before, after)) if a != b]
    offset, stored = symbol_in_file(crc_elf, "crc_value")
    assert changed == list(range(offset, offset + 4))
    assert stored == checksum.to_bytes(4, "little")


@pytest.mark.parametrize("option", ["--a200", "--s1024"])
def test_slot_in_padding_writes_no_elf(velk, monkeypatch, boot_elf, option):
    boot_elf.with_name("fw_CRC.elf").write_bytes(b"from an earlier run")
    code, out, err = run_cli(velk, monkeypatch, "FLASH", boot_elf, option)
    assert code == 0 and "create new crc elf file" not in out
    assert err.splitlines()[0].startswith(
        f"note: no {boot_elf.with_name('fw_CRC.elf')} written (the earlier one is removed: "
        "it would not match the HEX): the checksum record at 0x")
    assert not boot_elf.with_name("fw_CRC.elf").exists()
    assert boot_elf.with_name("fw_CRC.hex").exists()


def test_headers_that_disagree_write_no_elf(velk, monkeypatch, tmp_path):
    """The section says the slot is elsewhere in the file than the segment
    does: neither is trusted."""
    elf = Elf(segments=[Segment(LOAD, bytes(0x40), section=".text",
                                offset=None)], symbols=[("crc", LOAD + 0x3C)])
    data = bytearray(elf.build())
    shoff = int.from_bytes(data[32:36], "little")
    at = shoff + 40 + 16  # section 1's sh_offset
    data[at:at + 4] = (int.from_bytes(data[at:at + 4], "little") + 8).to_bytes(4, "little")
    (tmp_path / "fw.elf").write_bytes(bytes(data))
    code, _, err = run_cli(velk, monkeypatch, "FLASH", tmp_path / "fw.elf", "--ncrc")
    assert code == 0
    assert err == (f"note: no {tmp_path / 'fw_CRC.elf'} written: the program and section "
                   "headers do not agree on where 0x0800003C lies in the file\n")


def test_debugger_loads_the_crc_elf(velk, monkeypatch, boot_elf):
    """QEMU's ELF loader, as a debug session loads the program."""
    run_cli(velk, monkeypatch, "FLASH", boot_elf, "--ncrc_value")
    assert qemu.boot_status(["-kernel", str(boot_elf.with_name("fw_CRC.elf"))]) == qemu.BOOT_OK
    assert qemu.boot_status(["-kernel", str(boot_elf)]) == qemu.BOOT_CRC_BAD


# --- what a debugger loads: the sections ------------------------------------

ALIGNED = "fw_aligned_vectors.elf"
PADDING = range(LOAD + 0x10, LOAD + 0x200)  # before its 512-aligned vector table


def sections_hex(elf, out, objcopy="arm-none-eabi-objcopy", *options):
    """The HEX objcopy writes of an ELF file, from its sections as gdb's
    `load` reads them: address -> byte."""
    subprocess.run([installed(objcopy), *options, "-O", "ihex", elf, out], check=True)
    return read_hex(out).memory


def segment_contents(elf):
    """address -> byte of every PT_LOAD's file contents at its physical
    address, as program headers say."""
    memory = {}
    with open(elf, "rb") as f:
        for segment in ELFFile(f).iter_segments():
            if segment["p_type"] == "PT_LOAD":
                size = min(segment["p_filesz"], segment["p_memsz"])
                memory.update((segment["p_paddr"] + i, b)
                              for i, b in enumerate(segment.data()[:size]))
    return memory


def added_sections(elf):
    """(name, sh_addr, sh_offset, sh_size, flags) of the sections FLASH added."""
    with open(elf, "rb") as f:
        return [(s.name, s["sh_addr"], s["sh_offset"], s["sh_size"], s["sh_flags"])
                for s in ELFFile(f).iter_sections() if s.name.startswith(".gap.")]


def test_linker_padding_gets_a_section(velk, monkeypatch, tmp_path):
    path = tmp_path / "fw.elf"
    shutil.copy(os.path.join(DATA, ALIGNED), path)
    code, _, err = run_cli(velk, monkeypatch, "FLASH", path, "--ncrc_value")
    crc_elf = tmp_path / "fw_CRC.elf"
    assert (code, err) == (0, f"note: {crc_elf} gives the 496 bytes of linker padding at "
                              "0x08000010 a section of their own, so that a debugger loads "
                              "what the HEX holds\n")
    flash = read_hex(tmp_path / "fw_CRC.hex").memory
    assert sections_hex(crc_elf, tmp_path / "crc_elf.hex") == flash
    # The linker's own sections leave the padding out.
    assert sorted(flash.keys() - sections_hex(path, tmp_path / "input.hex").keys()) == \
        list(PADDING)
    assert added_sections(crc_elf) == [(".gap.0x08000010", LOAD + 0x10, 0x1010, 0x1F0, 2 | 4)]
    # The rest of the file is the input's, the checksum aside.
    before, after = path.read_bytes(), crc_elf.read_bytes()
    offset, _ = symbol_in_file(crc_elf, "crc_value")
    changed = [i for i, (a, b) in enumerate(zip(before, after)) if a != b]
    assert [i for i in changed if i >= 52] == list(range(offset, offset + 4))


def test_a_record_in_linker_padding_is_loaded_with_it(velk, monkeypatch, tmp_path):
    """The padding's section holds the record too: the debugger loads the
    checksum the HEX holds."""
    path = tmp_path / "fw.elf"
    shutil.copy(os.path.join(DATA, ALIGNED), path)
    code, out, _ = run_cli(velk, monkeypatch, "FLASH", path, "--a100", "--ncrc_value")
    assert code == 0 and f'create new crc elf file "{tmp_path / "fw_CRC.elf"}".' in out
    flash = read_hex(tmp_path / "fw_CRC.hex").memory
    assert sections_hex(tmp_path / "fw_CRC.elf", tmp_path / "crc_elf.hex") == flash
    assert any(flash[LOAD + 0x100 + i] != 0 for i in range(4))


# Each committed firmware with a FLASH option that writes its _CRC.elf.
OPTIONS = {"fw_bootloader.elf": ["--a6C", "--force"],
           "fw_mcuboot_loader.elf": ["--a6C", "--force"],
           "fw_dupsym.elf": ["--ncrc_value", "--force"],
           "fw_slot_ram.elf": ["--a100", "--force"],
           "fw_two_checks.elf": ["--napp_crc", "--header", "app_header:size@4"]}
HEADER_OPTION = ["--header", "app_header:size@8"]
FIRMWARE = sorted(os.path.basename(p) for p in glob.glob(os.path.join(DATA, "fw_*.elf")))


@pytest.mark.parametrize("name", FIRMWARE)
def test_sections_load_what_the_hex_holds(velk, monkeypatch, tmp_path, name):
    path = tmp_path / "fw.elf"
    shutil.copy(os.path.join(DATA, name), path)
    options = OPTIONS.get(name, HEADER_OPTION if "header" in name else ["--ncrc_value"])
    assert run_cli(velk, monkeypatch, "FLASH", path, *options)[0] == 0
    crc_elf = tmp_path / "fw_CRC.elf"
    flash = read_hex(tmp_path / "fw_CRC.hex").memory
    loaded = sections_hex(crc_elf, tmp_path / "crc_elf.hex")
    assert [a for a in loaded.keys() & flash.keys() if loaded[a] != flash[a]] == []
    assert segment_contents(path).keys() <= loaded.keys()
    readelf = subprocess.run([installed("arm-none-eabi-readelf"), "-a", "-W", crc_elf],
                             capture_output=True, text=True, check=True)
    assert readelf.stderr == "" and "warning" not in readelf.stdout.lower()


# ELF32 and ELF64 in both byte orders: a .text segment whose section leaves
# 16 bytes either side of it, and .data's initial values in flash with no
# section at all.
CLASSES = [pytest.param(bits, endian, id=f"elf{bits}-{'le' if endian == '<' else 'be'}")
           for bits in (32, 64) for endian in "<>"]


@pytest.mark.parametrize("bits, endian", CLASSES)
def test_every_class_and_byte_order_gets_sections(velk, monkeypatch, tmp_path, bits,
                                                   endian):
    path = tmp_path / "fw.elf"
    Elf(bits=bits, endian=endian, segments=[
        Segment(LOAD, bytes(range(0x60)) + b"\xff" * 4 + bytes(range(0x64, 0x80)),
                section=".text", section_bytes=(0x10, 0x70)),
        Segment(0x20000000, b"\x5a" * 16, paddr=LOAD + 0x80)],
        symbols=[("crc", LOAD + 0x60)]).write(path)
    code, _, err = run_cli(velk, monkeypatch, "FLASH", path, "--ncrc")
    crc_elf = tmp_path / "fw_CRC.elf"
    assert code == 0
    assert err.splitlines()[-1] == (
        f"note: {crc_elf} gives the 48 bytes of linker padding in 3 places from 0x08000000 "
        "sections of their own, so that a debugger loads what the HEX holds")
    # The host's objcopy reads every class and byte order.
    assert sections_hex(crc_elf, tmp_path / "crc_elf.hex", "objcopy") == \
        read_hex(tmp_path / "fw_CRC.hex").memory
    text, data = 2 | 4, 2 | 1  # SHF_ALLOC with SHF_EXECINSTR, with SHF_WRITE
    offset = symbol_in_file(crc_elf, "crc")[0] - 0x60
    assert added_sections(crc_elf) == [
        (".gap.0x08000000", LOAD, offset, 0x10, text),
        (".gap.0x08000070", LOAD + 0x70, offset + 0x70, 0x10, text),
        (".gap.0x08000080", 0x20000000, offset + 0x80, 0x10, data)]
    code, out, _ = run_cli(velk, monkeypatch, "CHECK", crc_elf, "--ncrc")
    assert (code, out[:15]) == (0, "checksum ok: [0")


@pytest.mark.parametrize("fill", ["0xFF", "0x00"])
def test_holes_between_segments_are_left_to_the_erase(velk, monkeypatch, tmp_path, fill):
    """No bytes of the ELF file lie there: a debugger erases the flash and
    writes around them."""
    path = tmp_path / "fw.elf"
    Elf(segments=[Segment(LOAD, bytes(0x40), section=".text"),
                  Segment(LOAD + 0x48, bytes(8), section=".rodata")],
        symbols=[("crc", LOAD + 0x4C)]).write(path)
    code, _, err = run_cli(velk, monkeypatch, "FLASH", path, "--ncrc", "--fill", fill)
    assert code == 0
    assert err == (f"note: {tmp_path / 'fw_CRC.elf'} has no bytes for the 8 bytes at "
                   f"0x08000040 between its segments, which the HEX fills with {fill}: a "
                   "debugger leaves them as the flash's erase left them\n")


def unnamed_sections():
    """A segment no section lies in, and e_shstrndx SHN_UNDEF: a new section
    table would rename every section."""
    data = bytearray(Elf(segments=[Segment(LOAD, bytes(0x10)),
                                   Segment(LOAD + 0x10, b"\xff" * 0x40, section=".text")],
                         symbols=[("crc", LOAD + 0x4C)]).build())
    data[50:52] = bytes(2)
    return data, "16 bytes from 0x08000000"


def header_loaded():
    """The segment loads the ELF header and program headers from offset 0,
    and a section holds them (so they are the program's bytes), with
    padding after it: the new e_shoff would be loaded too."""
    data = Elf(segments=[Segment(LOAD, b"\xff" * 0x94, offset=0, section=".text",
                                 section_bytes=(0, 0x40))],
               symbols=[("crc", LOAD + 0x90)]).build()
    return data, "84 bytes from 0x08000040"


def own_headers_loaded(section_from=0x54, phoff=None):
    """GNU ld's default layout in small: the one segment loads the ELF header
    and program headers from offset 0, then padding, then .text at
    `section_from`. With `phoff`, the program header table is moved to that
    offset inside the segment."""
    size = 0x90 if phoff is None else phoff + 32
    data = bytearray(Elf(segments=[Segment(LOAD, b"\xff" * size, offset=0, section=".text",
                                           section_bytes=(section_from, 0x90))],
                         symbols=[("crc", LOAD + 0x8C)]).build())
    if phoff is not None:
        data[phoff:phoff + 32] = data[52:84]
        data[28:32] = struct.pack("<I", phoff)
    return bytes(data)


@pytest.mark.parametrize("section_from", [
    pytest.param(0x54, id="headers-then-text"),
    pytest.param(0x60, id="headers-padding-then-text"),
])
def test_the_files_own_headers_are_no_part_of_the_image(velk, monkeypatch, tmp_path,
                                                         section_from):
    """As objcopy: the flash image starts at .text, every file and the
    checksum with it."""
    elf = tmp_path / "fw.elf"
    elf.write_bytes(own_headers_loaded(section_from))
    code, _, err = run_cli(velk, monkeypatch, "FLASH", elf, "--ncrc")
    assert code == 0 and err == ""
    written = read_hex(tmp_path / "fw_CRC.hex").memory
    objcopy = sections_hex(elf, tmp_path / "objcopy.hex")
    crc = LOAD + 0x8C
    assert sorted(written) == sorted(objcopy)
    assert all(written[a] == b for a, b in objcopy.items() if not crc <= a < crc + 4)
    image = bytes(written[a] for a in range(LOAD + section_from, crc))
    assert int.from_bytes(bytes(written[crc + i] for i in range(4)), "little") == \
        crc32_mpeg2(image)
    # CHECK builds the same image from the ELF file.
    code, out, err = run_cli(velk, monkeypatch, "CHECK", tmp_path / "fw_CRC.hex", "--elf",
                             elf, "--ncrc")
    assert code == 0, out + err
    report = velk_crc.check(tmp_path / "fw_CRC.hex", elf=elf, symbol="crc")
    assert report.ok


def test_without_sections_the_headers_alone_are_left_out(velk, monkeypatch, tmp_path):
    """No section says where the padding ends: the image starts right after
    the ELF header and the program header table."""
    data = bytearray(own_headers_loaded(0x60))
    data[32:36] = bytes(4)  # e_shoff
    data[48:52] = bytes(4)  # e_shnum, e_shstrndx
    elf = tmp_path / "fw.elf"
    elf.write_bytes(bytes(data))
    code, _, err = run_cli(velk, monkeypatch, "FLASH", elf, "--a38")
    assert code == 0, err
    written = read_hex(tmp_path / "fw_CRC.hex").memory
    assert min(written) == LOAD + 0x54 and max(written) == LOAD + 0x8F
    assert bytes(written[LOAD + a] for a in range(0x54, 0x8C)) == data[0x54:0x8C]


def test_own_headers_behind_a_sections_bytes_are_refused(velk, monkeypatch, tmp_path):
    elf = tmp_path / "fw.elf"
    elf.write_bytes(own_headers_loaded(phoff=0x90))
    code, _, err = run_cli(velk, monkeypatch, "FLASH", elf, "--ncrc")
    assert code == 255
    assert err == (f"error: {elf}: segment 0 loads the ELF file's own headers at 0x08000090 "
                   "to 0x080000AF behind bytes of its sections: they are no part of the "
                   "flash image, and cannot be left out of it (link with -Wl,-n, or name "
                   "the segments with PHDRS without FILEHDR and PHDRS)\n")
    with pytest.raises(velk_crc.Refused, match="own headers at 0x08000090"):
        velk_crc.flash(elf, symbol="crc")


@pytest.mark.parametrize("make, why", [
    pytest.param(unnamed_sections, "its section headers name no section-name table",
                 id="unnamed-sections"),
    pytest.param(header_loaded, "a segment loads the ELF header, which the new section "
                 "table changes", id="header-in-a-section")])
def test_sections_that_cannot_be_added_write_no_elf(velk, monkeypatch, tmp_path, make, why):
    data, gaps = make()
    (tmp_path / "fw.elf").write_bytes(bytes(data))
    code, _, err = run_cli(velk, monkeypatch, "FLASH", tmp_path / "fw.elf", "--ncrc")
    assert code == 0
    assert err == (f"note: no {tmp_path / 'fw_CRC.elf'} written: its segments load {gaps} "
                   "that no section holds, and no section can be added for them: "
                   f"{why}\n")
    assert not (tmp_path / "fw_CRC.elf").exists()


def erased_flash_with(sections, path):
    """What a debugger leaves in the first 16 KiB flash sector: erased, then
    each section written; as an Intel HEX file for QEMU, whose unwritten
    flash would read 0x00."""
    chip = IntelHex()
    chip.frombytes(b"\xff" * 0x4000, offset=LOAD)
    for address, value in sections.items():
        chip[address] = value
    chip.write_hex_file(str(path))
    return ["-device", f"loader,file={path}"]


@pytest.mark.parametrize("elf, options, status", [
    pytest.param("fw_CRC.elf", [], qemu.BOOT_OK, id="crc-elf"),
    pytest.param("fw_CRC.elf", ["-R", ".gap.0x08000010"], qemu.BOOT_CRC_BAD,
                 id="crc-elf-without-its-padding-section"),
    pytest.param("fw.elf", [], qemu.BOOT_CRC_BAD, id="input-elf")])
def test_debugger_load_passes_the_boot_check(velk, monkeypatch, tmp_path, elf, options,
                                              status):
    path = tmp_path / "fw.elf"
    shutil.copy(os.path.join(DATA, ALIGNED), path)
    run_cli(velk, monkeypatch, "FLASH", path, "--ncrc_value")
    loaded = sections_hex(tmp_path / elf, tmp_path / "sections.hex", "arm-none-eabi-objcopy",
                          *options)
    assert qemu.boot_status(erased_flash_with(loaded, tmp_path / "chip.hex")) == status


# Firmware, FLASH option, the CHECK options that find the same slot.
WRITTEN = [
    ("fw_boot.elf", "--ncrc_value", ["--ncrc_value", "--a134"]),
    ("fw_boot.elf", "--a200", ["--a200"]),
    ("fw_boot.elf", "--s4096", ["--a1000"]),
    ("fw_clean.elf", "--ncrc_value", ["--ncrc_value", "--aDC"]),
    ("fw_data.elf", "--ncrc_value", ["--ncrc_value", "--a70"]),
    ("fw_exidx.elf", "--ncrc_value", ["--ncrc_value"]),
    (ALIGNED, "--ncrc_value", ["--ncrc_value", "--a334"]),
    ("synthetic", "--ncrc", ["--ncrc", "--a90"]),
]


def written_files(velk, monkeypatch, tmp_path, name, option):
    path = tmp_path / "fw.elf"
    if name == "synthetic":
        Elf(bits=64, endian=">", segments=[
            Segment(LOAD, bytes(range(0x80)), section=".text"),
            Segment(0x20000000, b"\x5a" * 16, paddr=LOAD + 0x80, section=".data")],
            symbols=[("crc", LOAD + 0x90)]).write(path)
    else:
        shutil.copy(os.path.join(DATA, name), path)
    assert run_cli(velk, monkeypatch, "FLASH", path, option)[0] == 0
    return [p for p in (tmp_path / "fw_CRC.hex", tmp_path / "fw_CRC.elf") if p.exists()]


@pytest.mark.parametrize("name, option, checks", WRITTEN,
                         ids=[f"{w[0]}{w[1]}" for w in WRITTEN])
def test_check_every_file_flash_wrote(velk, monkeypatch, tmp_path, name, option, checks):
    files = written_files(velk, monkeypatch, tmp_path, name, option)
    assert files
    for path in files:
        for check in checks:
            if path.suffix == ".hex" and check.startswith("--n"):
                continue
            code, out, _ = run_cli(velk, monkeypatch, "CHECK", path, check)
            assert (code, out[:15]) == (0, "checksum ok: [0"), (path.name, check, out)
            assert out.endswith(" (fed bytes)\n")


def restore_placeholder(path):
    """Puts the erased-flash placeholder back over the checksum record."""
    ihex = IntelHex(str(path))
    ihex[LOAD + 0x134:LOAD + 0x138] = [0xFF] * 4
    ihex.write_hex_file(str(path), write_start_addr=True, byte_count=16)


def flip_elf_byte(path, address):
    with open(path, "rb") as f:
        text = ELFFile(f).get_segment(0)
        offset = text["p_offset"] + address - text["p_paddr"]
    data = bytearray(path.read_bytes())
    data[offset] ^= 0xFF
    path.write_bytes(bytes(data))


@pytest.mark.parametrize("spoil", ["flipped-byte", "placeholder"])
@pytest.mark.parametrize("suffix", [".hex", ".elf"])
def test_check_finds_a_wrong_checksum(velk, monkeypatch, boot_elf, spoil, suffix):
    _, out, _ = run_cli(velk, monkeypatch, "FLASH", boot_elf, "--ncrc_value")
    written = int(out.split("checksum: [0x")[1][:8], 16)
    path = boot_elf.with_name("fw_CRC" + suffix)
    if spoil == "placeholder" and suffix == ".elf":
        path = boot_elf  # the input ELF still holds it
    elif spoil == "placeholder":
        restore_placeholder(path)
    elif suffix == ".hex":
        flip_hex_byte(path, LOAD + 0x10)
    else:
        flip_elf_byte(path, LOAD + 0x10)
    code, out, _ = run_cli(velk, monkeypatch, "CHECK", path, "--a134")
    assert code == 1
    if spoil == "placeholder":
        assert out == ("checksum mismatch at 0x08000134: stored [0xFFFFFFFF], "
                       f"computed [0x{written:08X}] (fed bytes)\n")
    else:
        assert out.startswith(f"checksum mismatch at 0x08000134: stored [0x{written:08X}], "
                              "computed [0x")


def corrupt(text, how):
    lines = text.splitlines(keepends=True)
    if how == "bad-checksum":
        record = lines[3].rstrip("\n")
        lines[3] = record[:-2] + ("00" if record[-2:] != "00" else "01") + "\n"
    elif how == "odd-digits":
        lines[3] = lines[3].rstrip("\n")[:-1] + "\n"
    elif how == "no-start-code":
        lines[3] = lines[3][1:]
    elif how == "unknown-type":
        lines.insert(2, ":00000006FA\n")
    elif how == "overlap":
        lines.insert(3, lines[2])
    elif how == "cut-short":
        lines = lines[:-3]
    elif how == "past-64k-linear":  # line 2 is the 04 record of 0x0800
        lines[2] = hex_record(0, 0xFFF8, bytes(16))
    elif how == "past-64k-segment":
        lines[2:2] = [hex_record(2, 0, b"\x10\x00"), hex_record(0, 0xFFF8, bytes(16))]
    elif how == "past-4g":
        lines[2:2] = [hex_record(4, 0, b"\xff\xff"), hex_record(0, 0xFFF8, bytes(16))]
    return "".join(lines)


def past(end, start):
    return (f"a data record that runs past 0x{end:08X}, the end of its 64 KiB window: "
            f"readers that wrap put its last bytes at 0x{start:08X}")


REFUSED = [
    ("bad-checksum", "line 4: the record's checksum does not add up"),
    ("odd-digits", "line 4: not an Intel HEX record"),
    ("no-start-code", "line 4: not an Intel HEX record"),
    ("unknown-type", "line 3: a record type that is not an Intel HEX record"),
    ("overlap", "line 4: data for 0x08000000, which an earlier record already holds"),
    ("cut-short", "no end-of-file (01) record: the file is cut short"),
    ("past-64k-linear", "line 3: " + past(0x0800FFFF, 0x08000000)),
    ("past-64k-segment", "line 4: " + past(0x1FFFF, 0x10000)),
    ("past-4g", "line 4: " + past(0xFFFFFFFF, 0xFFFF0000)),
]


@pytest.mark.parametrize("how, line", REFUSED, ids=[r[0] for r in REFUSED])
def test_bad_hex_is_refused_with_its_line(velk, monkeypatch, boot_elf, how, line):
    run_cli(velk, monkeypatch, "FLASH", boot_elf, "--ncrc_value")
    path = boot_elf.with_name("fw_CRC.hex")
    path.write_text(corrupt(path.read_text(), how))
    assert run_cli(velk, monkeypatch, "CHECK", path, "--a134") == (
        2, "", f"error: {path}: {line}\n")


@pytest.mark.parametrize("argv, line", [
    (["CHECK", "fw_CRC.hex", "--ncrc_value"],
     "an Intel HEX file has no symbols: pass the build's ELF file with --elf to find "
     "crc_value, or the checksum offset with --a"),
    (["CHECK", "fw_CRC.hex", "--s4096"],
     "--s cannot be redone from an Intel HEX file, whose data ends in the padding: pass "
     "the build's ELF file with --elf, or the offset the build printed with --a"),
    (["CHECK", "fw.elf", "--a802"], "--a802: the offset must be a multiple of 4"),
    (["CHECK", "fw.elf", "--nmissing"], 'no symbol named "missing"; no symbol or section '
     "of the file bears the name: if the source defines it, the linker dropped it as unused (--gc-sections): "
     "keep its section with KEEP(...) in the linker script (__attribute__((used)) keeps it "
     "from the compiler, not from the linker)"),
    # The build lacks the name, not the file checked.
    (["CHECK", "fw_CRC.hex", "--nmissing", "--elf", "fw.elf"],
     '{elf}: no symbol named "missing"; no symbol or section of the file bears the name: if '
     "the source defines it, the linker dropped it as unused (--gc-sections): keep its "
     "section with KEEP(...) in the linker script (__attribute__((used)) keeps it from the "
     "compiler, not from the linker)"),
    (["CHECK", "notes.txt", "--a0"],
     "neither an ELF, Intel HEX, S-record, UF2 nor DfuSe file; a raw binary holds no addresses: "
     "give its base address with --base 0x<address>, or the build it was made from with "
     "--elf"),
], ids=["name-on-hex", "block-on-hex", "bad-address", "no-symbol", "no-symbol-in-build",
         "neither"])
def test_check_refusals(velk, monkeypatch, boot_elf, argv, line):
    run_cli(velk, monkeypatch, "FLASH", boot_elf, "--ncrc_value")
    boot_elf.with_name("notes.txt").write_text("not firmware\n")
    argv = [boot_elf.with_name(a) if a.endswith((".hex", ".elf", ".txt")) else a for a in argv]
    assert run_cli(velk, monkeypatch, *argv) == (
        2, "", f"error: {argv[1]}: {line.format(elf=boot_elf)}\n")


@pytest.mark.parametrize("layout", ["lower-case-crlf", "segment-records", "gap-and-far"])
def test_hex_reading_agrees_with_intelhex(velk, monkeypatch, tmp_path, layout):
    """The image CHECK checksums is the one intelhex reads from the file."""
    data = bytes(range(200))
    ihex = IntelHex()
    ihex.frombytes(data, LOAD)
    if layout == "gap-and-far":
        ihex.frombytes(b"\x77" * 8, LOAD + 0x400)      # joins: holes read as 0xFF
        ihex.frombytes(b"\x88" * 8, LOAD + 0x200000)   # too far: outside the image
    ihex.write_hex_file(str(tmp_path / "fw.hex"), byte_count=16)
    text = (tmp_path / "fw.hex").read_text()
    if layout == "lower-case-crlf":
        text = text.lower().replace("\n", "\r\n")
    elif layout == "segment-records":  # 8086 addressing: segment 0x1234 is 0x12340
        text = hex_record(2, 0, b"\x12\x34") + text.replace(":020000040800F2\n", "")
    (tmp_path / "fw.hex").write_text(text, newline="")
    read = IntelHex(str(tmp_path / "fw.hex"))
    start = read.minaddr()
    end = LOAD + 0x408 if layout == "gap-and-far" else start + len(data)
    image = read.tobinstr(start=start, end=end - 1)
    offset = end - start
    code, out, _ = run_cli(velk, monkeypatch, "CHECK", tmp_path / "fw.hex", f"--a{offset:X}")
    assert (code, out) == (1, f"checksum mismatch at 0x{end:08X}: stored [0xFFFFFFFF], "
                              f"computed [0x{crc32_mpeg2(image):08X}] (fed bytes)\n")


def hex_text(*runs, end=":00000001FF\n", newline="\n"):
    """Intel HEX text of (address, bytes) runs, written by intelhex."""
    ihex = IntelHex()
    for address, data in runs:
        ihex.frombytes(data, address)
    out = io.StringIO()
    ihex.write_hex_file(out, byte_count=16)
    text = out.getvalue()
    assert text.endswith(":00000001FF\n")
    return (text[:-len(":00000001FF\n")] + end).replace("\n", newline)


DATA_16 = bytes(range(16))
OK_16 = f"checksum ok: [0x{crc32_mpeg2(DATA_16[:12]):08X}]"


def with_record(data):
    """16 bytes whose last word is the checksum of the 12 before it."""
    return data[:12] + crc32_mpeg2(data[:12]).to_bytes(4, "little")


@pytest.mark.parametrize("text, status, first", [
    (hex_text((LOAD, with_record(DATA_16)), end=":00000001FF\n:04000C0000000000F0\n"),
     0, OK_16),
    (hex_text((LOAD, with_record(DATA_16)), newline="\r"), 0, OK_16),
    (hex_text((LOAD, with_record(DATA_16)), newline="\r\n"), 0, OK_16),
    (hex_text((LOAD, with_record(DATA_16))).replace(":10", ":1\xff0", 1), 2,
     "error: {path}: line 2: not an Intel HEX record"),
    ("\ufeff" + hex_text((LOAD, with_record(DATA_16))), 0, OK_16),
    (" \t\r\n" * 1100 + hex_text((LOAD, with_record(DATA_16))), 0, OK_16),
], ids=["data-after-the-end-record-is-not-read", "cr-line-ends", "crlf-line-ends",
        "bytes-that-are-not-utf-8", "byte-order-mark", "4-kib-of-blanks-first"])
def test_any_bytes_are_answered(velk, monkeypatch, tmp_path, text, status, first):
    path = tmp_path / "fw.hex"
    path.write_bytes(text.encode("latin-1", "replace") if "\ufeff" not in text
                     else text.encode("utf-8"))
    code, out, err = run_cli(velk, monkeypatch, "CHECK", path, "--aC")
    assert code == status
    assert (out + err).startswith(first.format(path=path)), out + err
    # What follows the end record is left unread, with a note.
    unread = ":00000001FF\n:" in text
    assert ("note: line 4: what follows the end-of-file record is not read" in err) == unread
    assert (out + err).count("\n") == 1 + unread


@pytest.mark.parametrize("gap, joined", [(0x10000, True), (0x10001, False)])
def test_hex_runs_64k_apart_are_one_cluster(velk, monkeypatch, tmp_path, gap, joined):
    far = LOAD + 16 + gap
    path = tmp_path / "fw.hex"
    path.write_text(hex_text((LOAD, with_record(DATA_16)), (far, b"\x5a" * 8)))
    code, out, _ = run_cli(velk, monkeypatch, "CHECK", path, "--aC", "--json")
    report = json.loads(out)
    assert (code, report["verdict"]) == (0, "ok")
    assert report["image"] == {"start": LOAD, "end": far + 8 if joined else LOAD + 16}


@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""),
                    reason="AddressSanitizer's shadow memory does not fit an address-space limit")
@linux_only("the child's size is read from /proc and bounded by RLIMIT_AS")
def test_out_of_memory_is_no_verdict(tmp_path):
    """Whatever stops the check is exit 2, with one line."""
    path = tmp_path / "big.hex"
    path.write_text(hex_text((LOAD, bytes(1 << 20))) * 24)
    result = run_python(f"""
import resource, sys, velk_crc
velk_crc.__version__  # the native half loaded before the limit
size = int(open("/proc/self/status").read().split("VmSize:")[1].split()[0]) * 1024
resource.setrlimit(resource.RLIMIT_AS, (size + (8 << 20), size + (8 << 20)))
sys.exit(velk_crc.main(["CHECK", {str(path)!r}, "--a100"]))
""")
    assert result.returncode == 2, result.stderr
    assert result.stderr == f"error: {path}: out of memory while checking it\n"
